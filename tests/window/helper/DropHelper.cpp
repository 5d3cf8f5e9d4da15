// A second X client for the end-to-end test, standing in for a file
// manager and a screenshot tool:
//   window_drop_helper drag X Y FILE   shows a small window at (X, Y); a press
//                                      in it drags FILE (as a file URL) until
//                                      the button is released
//   window_drop_helper grab X Y W H OUT saves that screen area to OUT (PNG)
// It reports on standard output: "ready" once the window is on screen,
// "accepted" when a drop target takes the drag, "done N" when the drag ends;
// after a drag it serves the data until its standard input is closed.
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QUrl>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

void say(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

class DragSource : public QWidget
{
public:
    explicit DragSource(QString file) : fFile(std::move(file)) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(rect(), Qt::darkGreen);
        if (!fReady) {
            fReady = true;
            say("ready");
        }
    }

    void mousePressEvent(QMouseEvent*) override
    {
        auto* drag = new QDrag(this);
        auto* data = new QMimeData();
        data->setUrls({QUrl::fromLocalFile(fFile)});
        drag->setMimeData(data);
        QObject::connect(drag, &QDrag::actionChanged, [](Qt::DropAction action) {
            if (action != Qt::IgnoreAction)
                say("accepted");
        });
        Qt::DropAction result = drag->exec(Qt::CopyAction);
        std::printf("done %d\n", int(result));
        std::fflush(stdout);
        fResult = result == Qt::IgnoreAction ? 2 : 0;
        // The target reads the dragged data from us after the drop: stay
        // until the test has seen it arrive and closes our input.
        fInput = new QSocketNotifier(0, QSocketNotifier::Read, this);
        QObject::connect(fInput, &QSocketNotifier::activated, [this] {
            char buffer[64];
            if (::read(0, buffer, sizeof buffer) <= 0)
                QCoreApplication::exit(fResult);
        });
    }

private:
    QString fFile;
    bool fReady = false;
    int fResult = 0;
    QSocketNotifier* fInput = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QStringList args = QCoreApplication::arguments();
    if (args.size() == 5 && args[1] == "drag") {
        DragSource source(args[4]);
        source.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        source.setGeometry(args[2].toInt(), args[3].toInt(), 60, 60);
        source.show();
        return QApplication::exec();
    }
    if (args.size() == 7 && args[1] == "grab") {
        QScreen* screen = QGuiApplication::primaryScreen();
        QPixmap shot = screen->grabWindow(0, args[2].toInt(), args[3].toInt(), args[4].toInt(),
                                          args[5].toInt());
        return shot.save(args[6], "PNG") ? 0 : 1;
    }
    std::fprintf(stderr, "usage: %s drag X Y FILE | grab X Y W H OUT\n", argv[0]);
    return 64;
}
