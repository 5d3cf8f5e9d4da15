// Files dropped on the window reach the board view as the platform's drop
// message, in-process on the offscreen platform.
#include "TestSupport.h"

#include <Pellara.h>
#include <PellaraBMPView.h>
#include <PellaraWin.h>

#include <Bitmap.h>
#include <WindowPrivate.h>

#include <QApplication>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

// Enter, move and drop at a point of the window, as a drag from the desktop
// delivers them; true when the drop was accepted.
bool drop_on(BWindow* window, QPoint where, const QList<QUrl>& urls)
{
    // Qt hands a drop to the deepest widget under the cursor.
    QWidget* top = KitAccess::Of(window)->widget;
    QWidget* widget = top->childAt(where);
    if (widget == nullptr)
        widget = top;
    where = widget->mapFrom(top, where);
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &enter);
    QDragMoveEvent move(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
    QDropEvent drop(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &drop);
    drain_events();
    return drop.isAccepted();
}

class DropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fDir.isValid());
        QImage image(30, 20, QImage::Format_RGB32);
        image.fill(qRgb(10, 200, 30));
        fFile = fDir.filePath("picture.png");
        ASSERT_TRUE(image.save(fFile));
    }

    QTemporaryDir fDir;
    QString fFile;
};

struct DropCase
{
    const char* name;
    QPoint viewPoint;
    int slot;
};

void PrintTo(const DropCase& c, std::ostream* os)
{
    *os << c.name;
}

class DropSlotTest : public DropTest, public ::testing::WithParamInterface<DropCase>
{
};

} // namespace

TEST_P(DropSlotTest, FileLandsInTheSlotUnderThePoint)
{
    Pellara application;
    PellaraBMPView* view = application.window->view;
    // The board starts 20 pixels down the window.
    QPoint where = GetParam().viewPoint + QPoint(0, 20);
    ASSERT_TRUE(drop_on(application.window, where, {QUrl::fromLocalFile(fFile)}));
    int slot = GetParam().slot;
    ASSERT_NE(view->bitmaps[slot], nullptr);
    EXPECT_EQ(view->bitmaps[slot]->Bounds(), BRect(0, 0, 29, 19));
    EXPECT_EQ(view->bitmaps[1 - slot], nullptr);
    EXPECT_EQ(view->bitmaps[2], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Points, DropSlotTest,
                         ::testing::Values(DropCase{"InPattern", QPoint(60, 185), 1},
                                           DropCase{"PatternTopLeftEdge", QPoint(10, 140), 1},
                                           DropCase{"PatternBottomRightEdge", QPoint(120, 230), 1},
                                           DropCase{"InPicture", QPoint(60, 60), 0},
                                           DropCase{"InStereogram", QPoint(300, 200), 0},
                                           DropCase{"Corner", QPoint(5, 400), 0}),
                         [](const ::testing::TestParamInfo<DropCase>& info) {
                             return info.param.name;
                         });

// A remote URL arrives as a drop without "refs", which the board ignores.
TEST_F(DropTest, NonFileDropsLeaveTheBoardAlone)
{
    Pellara application;
    drop_on(application.window, QPoint(60, 80), {QUrl("https://example.org/a.png")});
    EXPECT_EQ(application.window->view->bitmaps[0], nullptr);
}

TEST_F(DropTest, UnreadableFileChangesNothing)
{
    Pellara application;
    QString text = fDir.filePath("notes.txt");
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    EXPECT_TRUE(drop_on(application.window, QPoint(60, 80), {QUrl::fromLocalFile(text)}));
    EXPECT_EQ(application.window->view->bitmaps[0], nullptr);
}

namespace {

// Files of a few bytes claiming pictures of gigabytes: a drop of each is
// ignored as any unreadable file is, and the board still takes a picture.
TEST_F(DropTest, FilesClaimingHugePicturesAreIgnored)
{
    const QByteArray os2Bmp = QByteArray("BM\x5a\0\0\0\0\0\0\0\x1a\0\0\0\x0c\0\0\0\0\x40\0\x40\x01\0\x18\0",
                                         26) + QByteArray(64, '\x80');
    const QByteArray rawTga = QByteArray("\0\0\x02\0\0\0\0\0\0\0\0\0\0\x20\0\x20\x18\x20", 18) +
                              QByteArray(27, '\x55');
    const QByteArray xbm("#define h_width 16000\n#define h_height 16000\n"
                         "static char h_bits[] = {\n0x00 };\n");
    const struct
    {
        const char* name;
        QByteArray bytes;
    } kFiles[] = {{"huge.bmp", os2Bmp}, {"huge.tga", rawTga}, {"huge.xbm", xbm}};

    Pellara application;
    for (const auto& hostile : kFiles) {
        QString path = fDir.filePath(hostile.name);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(hostile.bytes);
        file.close();
        drop_on(application.window, QPoint(60, 80), {QUrl::fromLocalFile(path)});
        EXPECT_EQ(application.window->view->bitmaps[0], nullptr) << hostile.name;
    }
    drop_on(application.window, QPoint(60, 80), {QUrl::fromLocalFile(fFile)});
    EXPECT_NE(application.window->view->bitmaps[0], nullptr);
}

} // namespace
