// The real program under Xvfb: files dropped from another X client, Ctrl+F,
// the stereogram read back from the screen, a save reached by the keyboard
// alone, Ctrl+Q.
#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include <sys/stat.h>

namespace {

#ifdef PELLARA_PROGRAM
const char* kProgram = PELLARA_PROGRAM;
const char* kHelper = PELLARA_DROP_HELPER;
const char* kLeakSuppressions = PELLARA_LSAN_SUPPRESSIONS;
#else
const char* kLeakSuppressions = nullptr;
const char* kProgram = nullptr;
const char* kHelper = nullptr;
#endif

// Generous: a sanitised build on a busy machine starts slowly.
const int kTimeoutMs = 60000;

// Screen places: the window's content starts at (100, 100), the board view
// at window (0, 20); slot inner rectangles in view coordinates.
const QPoint kBoardOrigin(100, 120);
const QRect kPictureInner(QPoint(11, 21), QPoint(119, 109));
const QRect kPatternInner(QPoint(11, 141), QPoint(119, 229));
const QRect kStereogramInner(QPoint(141, 21), QPoint(489, 389));
const QColor kBackground(216, 216, 216);

// Calls `done` until it holds or the deadline passes; each try is itself a
// process run, which paces the polling.
bool poll(const std::function<bool()>& done, int timeoutMs = kTimeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    do {
        if (done())
            return true;
    } while (clock.elapsed() < timeoutMs);
    return false;
}

class EndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (kProgram == nullptr)
            GTEST_SKIP() << "the program is not built";
        fXvfb = QStandardPaths::findExecutable("Xvfb");
        fXdotool = QStandardPaths::findExecutable("xdotool");
        if (fXvfb.isEmpty() || fXdotool.isEmpty())
            GTEST_SKIP() << "needs Xvfb and xdotool (scripts/deps.sh installs them)";
        ASSERT_TRUE(fDir.isValid());
        // -displayfd 1: Xvfb picks a free display and prints its number when ready.
        fServer.start(fXvfb, {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
        ASSERT_TRUE(fServer.waitForStarted(kTimeoutMs));
        QByteArray number;
        ASSERT_TRUE(poll([&] {
            fServer.waitForReadyRead(200);
            number += fServer.readAllStandardOutput();
            return number.contains('\n') || fServer.state() != QProcess::Running;
        })) << "Xvfb did not report a display";
        ASSERT_TRUE(number.contains('\n')) << "Xvfb: " << fServer.readAllStandardError().data();
        fDisplay = ":" + QString::fromLatin1(number.trimmed());
        fEnvironment = QProcessEnvironment::systemEnvironment();
        fEnvironment.insert("DISPLAY", fDisplay);
        fEnvironment.insert("QT_QPA_PLATFORM", "xcb");
        fEnvironment.remove("WAYLAND_DISPLAY");
        fEnvironment.remove("XAUTHORITY");
        // On X11, Qt loads libdbus, whose own buffers the leak checker would
        // report as the program's.
        if (kLeakSuppressions != nullptr && !fEnvironment.contains("LSAN_OPTIONS"))
            fEnvironment.insert("LSAN_OPTIONS", QString("suppressions=") + kLeakSuppressions);
    }

    // SIGTERM first: a server asked to end removes its socket from
    // /tmp/.X11-unix, one killed outright leaves it behind.
    void TearDown() override
    {
        for (QProcess* p : {&fProgram, &fServer}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->terminate();
            if (!p->waitForFinished(5000)) {
                p->kill();
                p->waitForFinished(kTimeoutMs);
            }
        }
    }

    // Starts the program with its HOME in the test's folder, so nothing it
    // or Qt writes lands in the real one.
    void StartProgram(const QStringList& extra = {})
    {
        QProcessEnvironment environment = fEnvironment;
        environment.insert("HOME", fDir.path());
        environment.insert("XDG_CONFIG_HOME", fDir.filePath(".config"));
        for (const QString& assignment : extra)
            environment.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
        fProgram.setProcessEnvironment(environment);
        fProgram.start(kProgram, {});
        ASSERT_TRUE(fProgram.waitForStarted(kTimeoutMs));
        // The board is up once its stereogram frame is drawn around an empty
        // slot (an unpainted window is all black).
        ASSERT_TRUE(poll([&] {
            QImage shot = Grab(QRect(kBoardOrigin + QPoint(140, 20), QSize(1, 1)));
            return !shot.isNull() && QColor(shot.pixel(0, 0)) == QColor(Qt::black) &&
                   Covered(kStereogramInner) < 0.01;
        })) << "the window did not appear; the program "
            << (fProgram.state() == QProcess::Running
                    ? std::string("is running")
                    : "exited with " + std::to_string(fProgram.exitCode()))
            << ", its standard error: " << fProgram.readAllStandardError().constData();
    }

    static void MakePictures(const QString& depthFile, const QString& patternFile)
    {
        // A white disc on black for depth, a colourful tile for the pattern.
        QImage depth(200, 150, QImage::Format_RGB32);
        depth.fill(Qt::black);
        for (int y = 0; y < depth.height(); y++)
            for (int x = 0; x < depth.width(); x++)
                if ((x - 100) * (x - 100) + (y - 75) * (y - 75) < 50 * 50)
                    depth.setPixel(x, y, qRgb(255, 255, 255));
        QImage pattern(40, 40, QImage::Format_RGB32);
        for (int y = 0; y < pattern.height(); y++)
            for (int x = 0; x < pattern.width(); x++)
                pattern.setPixel(x, y,
                                 qRgb((x * 53 + y * 7) % 256, (x * y * 3) % 256, 40 + x * 5));
        ASSERT_TRUE(depth.save(depthFile));
        ASSERT_TRUE(pattern.save(patternFile));
    }

    int Run(const QString& program, const QStringList& args, QByteArray* out = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(fEnvironment);
        process.start(program, args);
        if (!process.waitForFinished(kTimeoutMs)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        if (out != nullptr)
            *out = process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    int Xdotool(const QStringList& args) { return Run(fXdotool, args); }

    QImage Grab(QRect area)
    {
        QString out = fDir.filePath("grab.png");
        QFile::remove(out);
        if (Run(kHelper, {"grab", QString::number(area.x()), QString::number(area.y()),
                          QString::number(area.width()), QString::number(area.height()), out}) != 0)
            return QImage();
        return QImage(out);
    }

    // Share of the slot's pixels that are not the board's background.
    double Covered(const QRect& inner)
    {
        QImage shot = Grab(inner.translated(kBoardOrigin));
        if (shot.isNull())
            return 0;
        qint64 other = 0;
        for (int y = 0; y < shot.height(); y++)
            for (int x = 0; x < shot.width(); x++)
                other += QColor(shot.pixel(x, y)).rgb() != kBackground.rgb();
        return double(other) / (double(shot.width()) * shot.height());
    }

    // Drags `file` from a helper window at (650, 100) to the screen point.
    void DropFile(const QString& file, QPoint target, const std::function<bool()>& arrived)
    {
        QProcess helper;
        helper.setProcessEnvironment(fEnvironment);
        helper.start(kHelper, {"drag", "650", "100", file});
        ASSERT_TRUE(helper.waitForStarted(kTimeoutMs));
        QByteArray said;
        auto heard = [&](const char* word) {
            return poll([&] {
                       helper.waitForReadyRead(200);
                       said += helper.readAllStandardOutput();
                       return said.contains(word) || helper.state() != QProcess::Running;
                   }) &&
                   said.contains(word);
        };
        ASSERT_TRUE(heard("ready")) << said.data();
        ASSERT_EQ(Xdotool({"mousemove", "680", "130", "mousedown", "1"}), 0);
        // Moving in steps gives the drag enter and position messages; keep
        // nudging until the program has taken the drag.
        int step = 0;
        ASSERT_TRUE(poll([&] {
                        QPoint p = target + QPoint(step % 3, 0);
                        step++;
                        Xdotool({"mousemove", QString::number(p.x()), QString::number(p.y())});
                        helper.waitForReadyRead(200);
                        said += helper.readAllStandardOutput();
                        return said.contains("accepted") || helper.state() != QProcess::Running;
                    }) &&
                    said.contains("accepted"))
            << "the window never accepted the drag: " << said.data();
        ASSERT_EQ(Xdotool({"mouseup", "1"}), 0);
        ASSERT_TRUE(heard("done")) << said.data();
        // The program fetches the file list from the helper after the drop.
        EXPECT_TRUE(poll(arrived)) << "the dropped file never reached its slot";
        helper.closeWriteChannel();
        ASSERT_TRUE(helper.waitForFinished(kTimeoutMs));
        said += helper.readAllStandardOutput();
        EXPECT_EQ(helper.exitCode(), 0) << said.data();
    }

    // Ids of the visible windows whose name matches the pattern; all of
    // them without one (a window that has only a UTF-8 name, as an alert
    // named after the program, is found only so).
    QStringList Visible(const QString& pattern = QString())
    {
        QByteArray out;
        Run(fXdotool,
            {"search", "--onlyvisible", pattern.isEmpty() ? "--classname" : "--name",
             pattern.isEmpty() ? "." : pattern},
            &out);
        QStringList ids;
        for (const QByteArray& line : out.split('\n'))
            if (!line.trimmed().isEmpty())
                ids << QString::fromLatin1(line.trimmed());
        return ids;
    }

    QString fXvfb;
    QString fXdotool;
    QString fDisplay;
    QProcessEnvironment fEnvironment;
    QTemporaryDir fDir;
    QProcess fServer;
    QProcess fProgram;
};

} // namespace

TEST_F(EndToEndTest, DropTwoFilesFuseAndQuit)
{
    QString depthFile = fDir.filePath("depth.png");
    QString patternFile = fDir.filePath("pattern.png");
    MakePictures(depthFile, patternFile);
    StartProgram();
    if (HasFatalFailure())
        return;

    // Picture anywhere but the pattern frame, pattern inside its frame.
    DropFile(depthFile, kBoardOrigin + QPoint(300, 200),
             [&] { return Covered(kPictureInner) > 0.5; });
    if (HasFatalFailure())
        return;
    DropFile(patternFile, kBoardOrigin + QPoint(60, 185),
             [&] { return Covered(kPatternInner) > 0.5; });
    if (HasFatalFailure())
        return;
    EXPECT_GT(Covered(kPictureInner), 0.5) << "the pattern replaced the picture";
    EXPECT_LT(Covered(kStereogramInner), 0.01) << "stereogram before Fusion";

    // The pointer rests on the window, which gets the keys.
    ASSERT_EQ(Xdotool({"key", "ctrl+f"}), 0);
    EXPECT_TRUE(poll([&] { return Covered(kStereogramInner) > 0.5; }))
        << "no stereogram after Ctrl+F";
    // Trace lines arrive while the program runs, though its output is a pipe.
    QByteArray traces;
    EXPECT_TRUE(poll([&] {
        fProgram.waitForReadyRead(200);
        traces += fProgram.readAllStandardOutput();
        return traces.contains("debut de fusion\n");
    })) << "trace lines held back: " << traces.data();

    ASSERT_EQ(Xdotool({"key", "ctrl+q"}), 0);
    ASSERT_TRUE(fProgram.waitForFinished(kTimeoutMs)) << "the program did not quit";
    EXPECT_EQ(fProgram.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(fProgram.exitCode(), 0);
}

// Under the style GNOME users get: "File" on the bar, a picture dropped on
// the A field, and a save made with the keyboard alone (F10, arrows, Enter,
// Enter in the panel, which offers the home folder).
TEST_F(EndToEndTest, AdwaitaKeyboardSaveAndDropOnAField)
{
    QStringList style;
    if (QStyleFactory::keys().contains("Adwaita", Qt::CaseInsensitive))
        style << "QT_STYLE_OVERRIDE=Adwaita";
    QString depthFile = fDir.filePath("depth.png");
    QString patternFile = fDir.filePath("pattern.png");
    MakePictures(depthFile, patternFile);
    StartProgram(style);
    if (HasFatalFailure())
        return;

    // "File" is drawn in dark text on the bar.
    QImage bar = Grab(QRect(100, 100, 40, 20));
    int dark = 0;
    for (int y = 0; y < bar.height(); y++)
        for (int x = 0; x < bar.width(); x++)
            dark += qGray(bar.pixel(x, y)) < 100;
    EXPECT_GT(dark, 10) << "no \"File\" on the menu bar";

    // The A field's text box: the drop goes on up to the board.
    DropFile(depthFile, kBoardOrigin + QPoint(45, 296),
             [&] { return Covered(kPictureInner) > 0.5; });
    if (HasFatalFailure())
        return;
    DropFile(patternFile, kBoardOrigin + QPoint(60, 185),
             [&] { return Covered(kPatternInner) > 0.5; });
    if (HasFatalFailure())
        return;
    ASSERT_EQ(Xdotool({"key", "ctrl+f"}), 0);
    ASSERT_TRUE(poll([&] { return Covered(kStereogramInner) > 0.5; }));

    // F10 opens "File"; Down reaches "Save As...", Right its first format.
    ASSERT_EQ(Xdotool({"key", "F10"}), 0);
    ASSERT_EQ(Xdotool({"key", "Down"}), 0);
    ASSERT_EQ(Xdotool({"key", "Right"}), 0);
    ASSERT_EQ(Xdotool({"key", "Return"}), 0);
    QByteArray panel;
    ASSERT_TRUE(poll([&] {
        Run(fXdotool, {"search", "--onlyvisible", "--name", "^Save$"}, &panel);
        return !panel.trimmed().isEmpty();
    })) << "no save panel";
    QString id = QString::fromLatin1(panel.trimmed().split('\n').first());
    ASSERT_EQ(Xdotool({"windowfocus", "--sync", id}), 0);
    ASSERT_EQ(Xdotool({"key", "Return"}), 0);
    QString saved = fDir.filePath("stereogram.png");
    EXPECT_TRUE(poll([&] { return QImage(saved).width() == 200; }))
        << "nothing saved at " << saved.toStdString();
    EXPECT_FALSE(QFile::exists(fDir.filePath(".config/QtProject.conf")));

    ASSERT_EQ(Xdotool({"key", "ctrl+q"}), 0);
    ASSERT_TRUE(fProgram.waitForFinished(kTimeoutMs)) << "the program did not quit";
    EXPECT_EQ(fProgram.exitCode(), 0);
}

// A FIFO that no one reads, dropped and then chosen as the place to save:
// the drop is ignored without opening it, the save fails at once with the
// alert, and the window keeps answering (it draws, it quits).
TEST_F(EndToEndTest, AFifoNeverHoldsTheWindow)
{
    QString depthFile = fDir.filePath("depth.png");
    QString patternFile = fDir.filePath("pattern.png");
    MakePictures(depthFile, patternFile);
    // The name the save panel offers, in the folder it opens on (HOME).
    QString fifo = fDir.filePath("stereogram.png");
    ASSERT_EQ(0, mkfifo(fifo.toLocal8Bit().constData(), 0644));
    StartProgram();
    if (HasFatalFailure())
        return;
    const QStringList main = Visible("^Pellara$");
    ASSERT_EQ(main.size(), 1);

    // Nothing arrives from the FIFO; the pictures dropped after it do.
    DropFile(fifo, kBoardOrigin + QPoint(300, 200), [] { return true; });
    if (HasFatalFailure())
        return;
    DropFile(depthFile, kBoardOrigin + QPoint(300, 200),
             [&] { return Covered(kPictureInner) > 0.5; });
    if (HasFatalFailure())
        return;
    DropFile(patternFile, kBoardOrigin + QPoint(60, 185),
             [&] { return Covered(kPatternInner) > 0.5; });
    if (HasFatalFailure())
        return;
    ASSERT_EQ(Xdotool({"key", "ctrl+f"}), 0);
    ASSERT_TRUE(poll([&] { return Covered(kStereogramInner) > 0.5; }));

    ASSERT_EQ(Xdotool({"key", "F10"}), 0);
    ASSERT_EQ(Xdotool({"key", "Down"}), 0);
    ASSERT_EQ(Xdotool({"key", "Right"}), 0);
    ASSERT_EQ(Xdotool({"key", "Return"}), 0);
    QStringList panel;
    ASSERT_TRUE(poll([&] { return !(panel = Visible("^Save$")).isEmpty(); })) << "no save panel";
    ASSERT_EQ(Xdotool({"windowfocus", "--sync", panel.first()}), 0);
    ASSERT_EQ(Xdotool({"key", "Return"}), 0);
    // The panel asks whether to replace what has that name: yes.
    QStringList asked;
    ASSERT_TRUE(poll([&] { return !(asked = Visible("^Save As$")).isEmpty(); }))
        << "the panel did not ask before replacing";
    ASSERT_EQ(Xdotool({"windowfocus", "--sync", asked.first()}), 0);
    ASSERT_EQ(Xdotool({"key", "y"}), 0);

    // The alert, at once: no reader ever comes.
    auto others = [&] {
        QStringList ids = Visible();
        for (const QString& known : main + panel + asked)
            ids.removeAll(known);
        return ids;
    };
    QStringList alert;
    ASSERT_TRUE(poll([&] { return !(alert = others()).isEmpty(); }))
        << "no alert: the window is waiting on the FIFO";
    ASSERT_EQ(Xdotool({"windowfocus", "--sync", alert.first()}), 0);
    ASSERT_EQ(Xdotool({"key", "Return"}), 0);
    EXPECT_TRUE(poll([&] { return others().isEmpty(); })) << "the alert stayed";
    EXPECT_GT(Covered(kStereogramInner), 0.5) << "the board lost its stereogram";

    struct stat st = {};
    EXPECT_EQ(0, lstat(fifo.toLocal8Bit().constData(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_TRUE(QDir(fDir.path()).entryList({"*.pellara"}, QDir::Hidden | QDir::Files).isEmpty());

    ASSERT_EQ(Xdotool({"mousemove", "300", "300"}), 0);
    ASSERT_EQ(Xdotool({"key", "ctrl+q"}), 0);
    ASSERT_TRUE(fProgram.waitForFinished(kTimeoutMs)) << "the program did not quit";
    EXPECT_EQ(fProgram.exitCode(), 0);
}

// Without a display the program says so in one line and ends; it never
// leaves Qt to abort.
TEST(NoDisplay, OneClearLineAndExitStatusOne)
{
    if (kProgram == nullptr)
        GTEST_SKIP() << "the program is not built";
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    struct Case
    {
        const char* display;  // null: unset
        const char* wayland;  // WAYLAND_DISPLAY, null: unset
        const char* platform; // QT_QPA_PLATFORM, null: unset
        const char* expected;
    };
    // No X server listens on :5999 (a test server takes the lowest free one),
    // no compositor on pellara-none.
    for (const Case& c :
         {Case{nullptr, nullptr, nullptr, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
          Case{":5999", nullptr, nullptr, "cannot open a window on the display :5999"},
          Case{nullptr, nullptr, "xcb", "QT_QPA_PLATFORM=xcb needs an X display and DISPLAY is "
                                        "not set"},
          Case{nullptr, "pellara-none", "xcb", "DISPLAY is not set (only WAYLAND_DISPLAY is)"},
          Case{nullptr, "pellara-none", nullptr,
               "cannot open a window on the Wayland display pellara-none"},
          Case{nullptr, "pellara-none", "wayland", "XDG_RUNTIME_DIR, where its socket lives, is "
                                                   "not"}}) {
        SCOPED_TRACE(c.expected);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("QT_QPA_PLATFORM");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("DISPLAY");
        if (c.display != nullptr)
            environment.insert("DISPLAY", c.display);
        if (c.wayland != nullptr)
            environment.insert("WAYLAND_DISPLAY", c.wayland);
        if (c.platform != nullptr)
            environment.insert("QT_QPA_PLATFORM", c.platform);
        // The last case shows what is missing when the socket has no folder.
        environment.remove("XDG_RUNTIME_DIR");
        if (std::strstr(c.expected, "XDG_RUNTIME_DIR") == nullptr)
            environment.insert("XDG_RUNTIME_DIR", runtime.path());
        if (kLeakSuppressions != nullptr)
            environment.insert("LSAN_OPTIONS", QString("suppressions=") + kLeakSuppressions);
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(kProgram, {});
        ASSERT_TRUE(program.waitForFinished(kTimeoutMs));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 1);
        QString errors = QString::fromLocal8Bit(program.readAllStandardError()).trimmed();
        EXPECT_FALSE(errors.contains('\n')) << errors.toStdString();
        EXPECT_TRUE(errors.contains(c.expected)) << errors.toStdString();
    }
}
