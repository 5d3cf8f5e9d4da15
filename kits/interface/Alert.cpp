#include <Alert.h>
#include <WindowPrivate.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

// Qt places a dialog as if it had a title bar above it; without one, the
// alert would sit half a title bar too high over its window.
class AlertBox : public QMessageBox
{
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        if (QWidget* owner = parentWidget())
            move(pos() + owner->window()->frameGeometry().center() - frameGeometry().center());
    }
};

} // namespace

BAlert::BAlert(const char* title, const char* text, const char* button0, const char* button1,
               const char* button2, button_width, alert_type type)
    : fTitle(title != nullptr ? title : ""), fText(text != nullptr ? text : ""), fType(type)
{
    for (const char* label : {button0, button1, button2})
        if (label != nullptr)
            fButtons.emplace_back(label);
}

BAlert::~BAlert() = default;

const char* BAlert::ButtonLabel(int32 index) const
{
    if (index < 0 || index >= CountButtons())
        return nullptr;
    return fButtons[size_t(index)].c_str();
}

int32 BAlert::Go()
{
    // A dialog of the window whose handler shows it: centred over it, kept
    // above it by the desktop, and, like the platform's alerts, without a
    // title bar (a dialog with an empty title would show the program's name).
    AlertBox box(dialog_parent_widget());
    box.setObjectName("alert");
    // (A message box resets its flags when its modality is set.)
    box.setWindowModality(Qt::WindowModal);
    box.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    box.setWindowTitle(QString::fromStdString(fTitle));
    box.setText(QString::fromStdString(fText));
    switch (fType) {
    case B_INFO_ALERT:
    case B_IDEA_ALERT:
        box.setIcon(QMessageBox::Information);
        break;
    case B_WARNING_ALERT:
        box.setIcon(QMessageBox::Warning);
        break;
    case B_STOP_ALERT:
        box.setIcon(QMessageBox::Critical);
        break;
    case B_EMPTY_ALERT:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    std::vector<QAbstractButton*> buttons;
    for (const std::string& label : fButtons) {
        // Labels are shown as they stand: '&' is not a mnemonic here.
        QString text = QString::fromStdString(label).replace('&', "&&");
        buttons.push_back(box.addButton(text, QMessageBox::AcceptRole));
    }
    // The last button is the default one, as on the platform.
    if (!buttons.empty())
        box.setDefaultButton(static_cast<QPushButton*>(buttons.back()));
    // The window's busy cursor does not belong to the alert, which waits for
    // the user.
    QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QGuiApplication::restoreOverrideCursor();
    int32 pressed = -1;
    for (size_t i = 0; i < buttons.size(); i++)
        if (box.clickedButton() == buttons[i])
            pressed = static_cast<int32>(i);
    delete this;
    return pressed;
}
