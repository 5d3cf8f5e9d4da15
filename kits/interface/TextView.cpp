#include <TextViewPrivate.h>
#include <ViewPrivate.h>

#include <QApplication>
#include <QFontMetrics>

namespace {

// A one-line field whose text fits its height: a field kept shorter than
// the desktop's font gets a font to match rather than clipped letters.
class FittingLineEdit : public QLineEdit
{
public:
    using QLineEdit::QLineEdit;

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QFont font = QApplication::font(this);
        for (int i = 0; i < 8 && QFontMetrics(font).height() > height() - 1; i++) {
            if (font.pointSizeF() > 0) {
                if (font.pointSizeF() <= 5)
                    break;
                font.setPointSizeF(font.pointSizeF() - 0.5);
            } else {
                if (font.pixelSize() <= 6)
                    break;
                font.setPixelSize(font.pixelSize() - 1);
            }
        }
        if (font != this->font())
            setFont(font);
        QLineEdit::resizeEvent(event);
    }
};

} // namespace

BTextView::BTextView(BRect frame, const char* name, BRect textRect, uint32 resizingMode,
                     uint32 flags)
    : BView(frame, name, resizingMode, flags), fText(new TextPrivate)
{
    fText->textRect = textRect;
    TextPrivate* text = fText;
    KitAccess::Of(this)->makeWidget = [text](QWidget* parent) -> QWidget* {
        auto* edit = new FittingLineEdit(parent);
        edit->setFrame(false);
        edit->setTextMargins(0, 0, 0, 0);
        edit->setText(QString::fromStdString(text->text));
        edit->setReadOnly(!text->editable);
        QObject::connect(edit, &QLineEdit::textChanged, edit,
                         [text](const QString& value) { text->text = value.toStdString(); });
        QObject::connect(edit, &QLineEdit::returnPressed, edit, [text]() {
            if (text->committed)
                text->committed();
        });
        text->edit = edit;
        return edit;
    };
}

BTextView::~BTextView()
{
    // The widget outlives this part of the object (the base deletes it), so
    // cut it loose from state that is about to go.
    if (fText->edit != nullptr)
        QObject::disconnect(fText->edit, nullptr, nullptr, nullptr);
    delete fText;
}

void BTextView::SetText(const char* text)
{
    fText->text = text != nullptr ? text : "";
    if (fText->edit != nullptr)
        fText->edit->setText(QString::fromStdString(fText->text));
}

const char* BTextView::Text() const
{
    return fText->text.c_str();
}

int32 BTextView::TextLength() const
{
    return static_cast<int32>(fText->text.size());
}

void BTextView::MakeEditable(bool editable)
{
    fText->editable = editable;
    if (fText->edit != nullptr)
        fText->edit->setReadOnly(!editable);
}

bool BTextView::IsEditable() const
{
    return fText->editable;
}

BRect BTextView::TextRect() const
{
    return fText->textRect;
}

