#include <FilePanel.h>
#include <InterfaceLayer.h>

#include <Message.h>
#include <Path.h>
#include <TranslatorRoster.h>
#include <Window.h>

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QVBoxLayout>
#include <QWindow>

#include <memory>
#include <string>

namespace {

class FilePanelWindow;

// Where the last save panel of this run saved; a new panel with no folder
// of its own starts there. Nothing of it outlives the program.
QString sLastSaveFolder;

// Qt's own dialog keeps a history in ~/.config/QtProject.conf; the program
// keeps no state, so Qt's settings go where nothing can be written.
void keep_no_settings()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
}

// "PNG image (*.png)" when the panel's message is a translation request
// ("be:translator", "be:type" as translation menu items carry them).
QString format_filter(const BMessage* message)
{
    int32 translator = 0;
    int32 type = 0;
    if (message == nullptr || message->FindInt32("be:translator", &translator) != B_OK ||
        message->FindInt32("be:type", &type) != B_OK)
        return QString();
    BTranslatorRoster* roster = BTranslatorRoster::Default();
    const char* extension = roster->ShortName(translator);
    const translation_format* formats = nullptr;
    int32 count = 0;
    if (extension == nullptr ||
        roster->GetOutputFormats(translator, &formats, &count) != B_OK)
        return QString();
    QString name = QString::fromUtf8(extension).toUpper();
    for (int32 i = 0; i < count; i++)
        if (formats[i].type == uint32(type) && formats[i].name[0] != '\0')
            name = QString::fromUtf8(formats[i].name);
    return QStringLiteral("%1 (*.%2)").arg(name, QString::fromUtf8(extension));
}

} // namespace

struct BFilePanel::Private
{
    void Accepted();
    void Rejected();

    BFilePanel* owner = nullptr;
    file_panel_mode mode = B_OPEN_PANEL;
    BMessenger target;
    std::unique_ptr<BMessage> message;
    bool hideWhenDone = true;
    FilePanelWindow* window = nullptr;
    QFileDialog* dialog = nullptr;
};

namespace {

// The panel's window: closing it dismisses the panel, it does not destroy it.
class FilePanelWindow : public BWindow
{
public:
    FilePanelWindow(BFilePanel::Private* panel, const char* title)
        : BWindow(BRect(160, 120, 839, 579), title, B_TITLED_WINDOW, 0), fPanel(panel)
    {
    }

    ~FilePanelWindow() override
    {
        if (fPanel != nullptr)
            fPanel->window = nullptr;
    }

    void DispatchMessage(BMessage* message, BHandler* handler) override
    {
        if (message->what == B_QUIT_REQUESTED && handler == this && fPanel != nullptr) {
            fPanel->Rejected();
            return;
        }
        BWindow::DispatchMessage(message, handler);
    }

    void Forget() { fPanel = nullptr; }

private:
    BFilePanel::Private* fPanel;
};

} // namespace

void BFilePanel::Private::Accepted()
{
    QStringList files = dialog->selectedFiles();
    BMessage reply(mode == B_SAVE_PANEL ? B_SAVE_REQUESTED : B_REFS_RECEIVED);
    if (message)
        reply = *message;
    if (mode == B_SAVE_PANEL) {
        if (files.isEmpty())
            return;
        QFileInfo chosen(files.first());
        sLastSaveFolder = chosen.absolutePath();
        entry_ref directory(chosen.absolutePath().toLocal8Bit().constData());
        reply.AddRef("directory", &directory);
        reply.AddString("name", chosen.fileName().toUtf8().constData());
    } else {
        for (const QString& file : files) {
            entry_ref ref(file.toLocal8Bit().constData());
            reply.AddRef("refs", &ref);
        }
    }
    target.SendMessage(&reply);
    if (hideWhenDone)
        owner->Hide();
    else
        dialog->show(); // a finished dialog hides itself; the panel stays up
}

void BFilePanel::Private::Rejected()
{
    BMessage cancel(B_CANCEL);
    cancel.AddInt32("old_what", message ? int32(message->what) : 0);
    target.SendMessage(&cancel);
    owner->Hide();
}

BFilePanel::BFilePanel(file_panel_mode mode, BMessenger* target, const entry_ref* directory,
                       uint32 nodeFlavors, bool allowMultipleSelection, BMessage* message,
                       BRefFilter*, bool modal, bool hideWhenDone)
    : fPrivate(new Private)
{
    fPrivate->owner = this;
    fPrivate->mode = mode;
    if (target != nullptr)
        fPrivate->target = *target;
    if (message != nullptr)
        fPrivate->message = std::make_unique<BMessage>(*message);
    fPrivate->hideWhenDone = hideWhenDone;

    keep_no_settings();
    fPrivate->window = new FilePanelWindow(fPrivate, mode == B_SAVE_PANEL ? "Save" : "Open");
    QWidget* host = window_widget(fPrivate->window);
    // A dialog of the desktop's own colours, not of the board's.
    host->setPalette(QPalette());
    host->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint);
    if (modal)
        host->setWindowModality(Qt::ApplicationModal);
    auto* dialog = new QFileDialog(host);
    dialog->setObjectName("file-panel");
    // Embedded in the panel's own window, so it must be Qt's own dialog.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setWindowFlags(Qt::Widget);
    if (mode == B_SAVE_PANEL) {
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
    } else if ((nodeFlavors & B_DIRECTORY_NODE) != 0 && (nodeFlavors & B_FILE_NODE) == 0) {
        dialog->setFileMode(QFileDialog::Directory);
    } else {
        dialog->setFileMode(allowMultipleSelection ? QFileDialog::ExistingFiles
                                                   : QFileDialog::ExistingFile);
    }
    const QString filter = format_filter(message);
    if (!filter.isEmpty())
        dialog->setNameFilters({filter, QFileDialog::tr("All files (*)")});
    dialog->setDirectory(!sLastSaveFolder.isEmpty() && QFileInfo(sLastSaveFolder).isDir()
                             ? sLastSaveFolder
                             : QDir::homePath());
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(dialog);
    fPrivate->dialog = dialog;
    Private* p = fPrivate;
    QObject::connect(dialog, &QFileDialog::accepted, dialog, [p] { p->Accepted(); });
    QObject::connect(dialog, &QFileDialog::rejected, dialog, [p] { p->Rejected(); });
    SetPanelDirectory(directory);
}

BFilePanel::~BFilePanel()
{
    if (fPrivate->window != nullptr) {
        fPrivate->window->Forget();
        fPrivate->window->Quit();
    }
    delete fPrivate;
}

void BFilePanel::Show()
{
    if (fPrivate->window == nullptr)
        return;
    fPrivate->dialog->show();
    // The panel belongs to the window it answers: the desktop keeps it
    // above that window, and it opens centred over it.
    BLooper* looper = nullptr;
    fPrivate->target.Target(&looper);
    QWidget* owner = dialog_parent_widget(dynamic_cast<BWindow*>(looper));
    QWidget* host = window_widget(fPrivate->window);
    if (owner != nullptr && owner != host && owner->windowHandle() != nullptr) {
        host->winId(); // the native window must exist to name its parent
        if (QWindow* handle = host->windowHandle())
            handle->setTransientParent(owner->windowHandle());
        QRect frame = host->geometry();
        frame.moveCenter(owner->geometry().center());
        fPrivate->window->MoveTo(BPoint(frame.left(), frame.top()));
    }
    fPrivate->window->Show();
}

void BFilePanel::Hide()
{
    if (fPrivate->window != nullptr)
        fPrivate->window->Hide();
}

bool BFilePanel::IsShowing() const
{
    return fPrivate->window != nullptr && !fPrivate->window->IsHidden();
}

BWindow* BFilePanel::Window() const
{
    return fPrivate->window;
}

file_panel_mode BFilePanel::PanelMode() const
{
    return fPrivate->mode;
}

BMessenger BFilePanel::Messenger() const
{
    return fPrivate->target;
}

void BFilePanel::SetTarget(BMessenger target)
{
    fPrivate->target = target;
}

void BFilePanel::SetMessage(BMessage* message)
{
    if (message != nullptr)
        fPrivate->message = std::make_unique<BMessage>(*message);
    else
        fPrivate->message.reset();
}

void BFilePanel::SetPanelDirectory(const entry_ref* directory)
{
    if (directory != nullptr && !directory->path.empty())
        SetPanelDirectory(directory->path.c_str());
}

void BFilePanel::SetPanelDirectory(const char* directory)
{
    if (directory != nullptr && fPrivate->dialog != nullptr)
        fPrivate->dialog->setDirectory(QString::fromLocal8Bit(directory));
}

void BFilePanel::GetPanelDirectory(entry_ref* directory) const
{
    if (directory != nullptr && fPrivate->dialog != nullptr)
        directory->SetPath(fPrivate->dialog->directory().absolutePath().toLocal8Bit().constData());
}

void BFilePanel::SetSaveText(const char* text)
{
    if (text != nullptr && fPrivate->dialog != nullptr)
        fPrivate->dialog->selectFile(QString::fromUtf8(text));
}

void BFilePanel::SetHideWhenDone(bool hide)
{
    fPrivate->hideWhenDone = hide;
}

bool BFilePanel::HidesWhenDone() const
{
    return fPrivate->hideWhenDone;
}
