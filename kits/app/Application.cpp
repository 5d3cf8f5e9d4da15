#include <Application.h>
#include <Window.h>

#include <QApplication>
#include <QIcon>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

BApplication* be_app = nullptr;

std::vector<BWindow*>& BApplication::_WindowList()
{
    static std::vector<BWindow*> windows;
    return windows;
}

namespace {

// QApplication keeps references to these for its whole life.
int sArgc = 1;
char sProgramName[] = "pellara";
char* sArgv[] = {sProgramName, nullptr};

bool is_set(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr && v[0] != '\0';
}

// The platform Qt is asked for ("xcb", "wayland", ...), without arguments.
std::string wanted_platform()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    std::string name = platform != nullptr ? platform : "";
    return name.substr(0, name.find_first_of(":;"));
}

// What is missing to open a window, in words; empty when Qt may try.
std::string missing_display()
{
    const std::string platform = wanted_platform();
    const bool x = is_set("DISPLAY");
    const bool wayland = is_set("WAYLAND_DISPLAY");
    if (platform == "xcb" && !x)
        return std::string("QT_QPA_PLATFORM=xcb needs an X display and DISPLAY is not set") +
               (wayland ? " (only WAYLAND_DISPLAY is)" : "");
    if (platform.rfind("wayland", 0) == 0 && !wayland)
        return std::string("QT_QPA_PLATFORM=") + platform +
               " needs a Wayland display and WAYLAND_DISPLAY is not set" +
               (x ? " (only DISPLAY is)" : "");
    if (platform.empty() && !x && !wayland)
        return "neither DISPLAY nor WAYLAND_DISPLAY is set";
    // A Wayland display named by its socket's name lives in XDG_RUNTIME_DIR.
    const bool toWayland = platform.rfind("wayland", 0) == 0 || (platform.empty() && !x);
    const char* socket = std::getenv("WAYLAND_DISPLAY");
    if (toWayland && wayland && socket[0] != '/' && !is_set("XDG_RUNTIME_DIR"))
        return std::string("WAYLAND_DISPLAY=") + socket +
               " is set but XDG_RUNTIME_DIR, where its socket lives, is not";
    return std::string();
}

// The display Qt tries, as the line naming it says it.
std::string tried_display()
{
    std::string platform = wanted_platform();
    if (platform.rfind("wayland", 0) == 0) {
        const char* name = std::getenv("WAYLAND_DISPLAY");
        return std::string("the Wayland display ") + (name != nullptr ? name : "wayland-0");
    }
    const char* display = std::getenv("DISPLAY");
    return std::string("the display") + (display != nullptr ? std::string(" ") + display : "");
}

// While Qt connects to the display, its chatter is held back: a display that
// is named but cannot be reached ends in one clear line instead of Qt's
// abort, and a connection that works lets the held messages through.
struct HeldMessage
{
    QtMsgType type;
    QString text;
};

std::vector<HeldMessage> sHeldMessages;
QtMessageHandler sPreviousHandler = nullptr;

void hold_startup_message(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtFatalMsg) {
        bool noPlugin = text.contains(QLatin1String("Could not find the Qt platform plugin"));
        for (const HeldMessage& held : sHeldMessages)
            noPlugin = noPlugin ||
                       held.text.contains(QLatin1String("Could not find the Qt platform plugin"));
        std::fprintf(stderr, "%s: cannot open a window on %s%s\n", sProgramName,
                     tried_display().c_str(),
                     noPlugin ? " (Qt's support for it is not installed)" : "");
        std::_Exit(1);
    }
    (void)context;
    sHeldMessages.push_back({type, text});
}

QApplication* connect_to_display()
{
    sPreviousHandler = qInstallMessageHandler(hold_startup_message);
    auto* application = new QApplication(sArgc, sArgv);
    qInstallMessageHandler(sPreviousHandler);
    QMessageLogContext context;
    for (const HeldMessage& held : sHeldMessages) {
        if (sPreviousHandler != nullptr)
            sPreviousHandler(held.type, context, held.text);
        else
            std::fprintf(stderr, "%s\n", held.text.toLocal8Bit().constData());
    }
    sHeldMessages.clear();
    return application;
}

} // namespace

struct BApplication::Private
{
    std::string signature;
    QApplication* ownApplication = nullptr;
    status_t status = B_OK;
    bool quitting = false;
    bool running = false;
};

BApplication::BApplication(const char* signature) : BApplication(signature, nullptr) {}

BApplication::BApplication(const char* signature, status_t* error)
    : BLooper(signature), fPrivate(new Private)
{
    if (signature != nullptr)
        fPrivate->signature = signature;
    if (QCoreApplication::instance() == nullptr) {
        std::string missing = missing_display();
        if (!missing.empty()) {
            std::fprintf(stderr, "%s: no display to open a window on: %s\n", sProgramName,
                         missing.c_str());
            std::exit(1);
        }
        // A Wayland session without an X server: Qt would try X first.
        if (wanted_platform().empty() && !is_set("DISPLAY"))
            setenv("QT_QPA_PLATFORM", "wayland", 1);
        fPrivate->ownApplication = connect_to_display();
    }
    // The application ends on B_QUIT_REQUESTED, not when Qt sees no window.
    QApplication::setQuitOnLastWindowClosed(false);
    _SetIdentity();
    if (signature == nullptr || std::strncmp(signature, "application/", 12) != 0)
        fPrivate->status = B_BAD_VALUE;
    if (error != nullptr)
        *error = fPrivate->status;
    be_app = this;
}

BApplication::~BApplication()
{
    // Windows still open at the end go with the application.
    while (!_WindowList().empty())
        delete _WindowList().back();
    if (be_app == this)
        be_app = nullptr;
    delete fPrivate->ownApplication;
    delete fPrivate;
}

// The desktop knows the program by the signature's parts:
// "application/x-vnd.<Vendor>.<Name>" names it <Name>, made by <Vendor>, with
// the desktop entry and icon "<name>" (lower case).
void BApplication::_SetIdentity()
{
    const std::string& signature = fPrivate->signature;
    std::string name = signature;
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos)
        name = name.substr(dot + 1);
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    const std::string kVendorPrefix = "application/x-vnd.";
    if (signature.compare(0, kVendorPrefix.size(), kVendorPrefix) == 0 &&
        dot != std::string::npos && dot > kVendorPrefix.size()) {
        std::string vendor = signature.substr(kVendorPrefix.size(), dot - kVendorPrefix.size());
        QCoreApplication::setOrganizationName(QString::fromStdString(vendor));
    }
    // The signature stays the program's identifier.
    QCoreApplication::setOrganizationDomain(QString::fromStdString(signature));
    if (name.empty())
        return;
    QString appName = QString::fromStdString(name);
    QCoreApplication::setApplicationName(appName);
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        QGuiApplication::setDesktopFileName(appName.toLower());
        QIcon icon = QIcon::fromTheme(appName.toLower());
        if (!icon.isNull())
            QGuiApplication::setWindowIcon(icon);
    }
}

status_t BApplication::InitCheck() const
{
    return fPrivate->status;
}

const char* BApplication::Signature() const
{
    return fPrivate->signature.c_str();
}

thread_id BApplication::Run()
{
    ReadyToRun();
    if (!fPrivate->quitting) {
        fPrivate->running = true;
        QApplication::exec();
        fPrivate->running = false;
    }
    return 0;
}

// The application object is not deleted: main owns it.
void BApplication::Quit()
{
    fPrivate->quitting = true;
    if (fPrivate->running)
        QCoreApplication::exit(0);
}

bool BApplication::QuitRequested()
{
    for (BWindow* window : std::vector<BWindow*>(_WindowList())) {
        const std::vector<BWindow*>& alive = _WindowList();
        if (std::find(alive.begin(), alive.end(), window) == alive.end())
            continue;
        window->Lock();
        bool quit = window->QuitRequested();
        window->Unlock();
        if (!quit)
            return false;
        window->Quit();
    }
    return true;
}

void BApplication::ReadyToRun() {}

void BApplication::MessageReceived(BMessage* message)
{
    BLooper::MessageReceived(message);
}

int32 BApplication::CountWindows() const
{
    return static_cast<int32>(_WindowList().size());
}

BWindow* BApplication::WindowAt(int32 index) const
{
    if (index < 0 || index >= CountWindows())
        return nullptr;
    return _WindowList()[size_t(index)];
}
