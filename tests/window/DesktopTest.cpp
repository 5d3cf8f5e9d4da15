// The window as a desktop user meets it: every Qt style and a dark theme,
// the keyboard alone, the busy cursor, the alert and the save panel, drops
// on the text fields, and drawing at the scale the run was started with
// (QT_SCALE_FACTOR; CTest runs this file at 1, 1.5 and 2).
#include "TestSupport.h"
#include <KitAccess.h>

#include <Pellara.h>
#include <PellaraBMPView.h>
#include <PellaraWin.h>

#include <Alert.h>
#include <Bitmap.h>
#include <FilePanel.h>
#include <MenuBar.h>
#include <MenuItem.h>
#include <MenuPrivate.h>
#include <TextControl.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>
#include <ViewPrivate.h>
#include <WindowPrivate.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWindow>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "../support/DropHelpers.h"

namespace {

QWidget* widget_of(BWindow* window)
{
    return KitAccess::Of(window)->widget;
}

QMenuBar* bar_of(PellaraWin* window)
{
    return qobject_cast<QMenuBar*>(KitAccess::MenuOf(window->menuBar)->container);
}

double luminance(QColor c)
{
    auto channel = [](double v) {
        v /= 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

double contrast(QColor a, QColor b)
{
    double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The strongest contrast between the area's most common colour (what is
// behind the text) and any other pixel in it (the text itself).
double text_contrast(const QImage& image, QRect area)
{
    QMap<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); y++)
        for (int x = area.left(); x <= area.right(); x++)
            counts[image.pixel(x, y)]++;
    QRgb ground = 0;
    int most = -1;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        if (it.value() > most) {
            most = it.value();
            ground = it.key();
        }
    double best = 1;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        best = std::max(best, contrast(QColor(ground), QColor(it.key())));
    return best;
}

BBitmap* checker_bitmap(int width, int height)
{
    auto* bitmap = new BBitmap(BRect(0, 0, width - 1, height - 1), B_RGB32, true, true);
    for (int y = 0; y < height; y++) {
        auto* row = reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                              size_t(y) * bitmap->BytesPerRow());
        for (int x = 0; x < width; x++)
            row[x] = (x + y) % 2 == 0 ? 0xffff0000u : 0xff0000ffu;
    }
    return bitmap;
}

// Keeps the application's style and palette as they were.
class StyleScope
{
public:
    StyleScope() : fStyle(QApplication::style()->name()), fPalette(QApplication::palette()) {}
    ~StyleScope()
    {
        QApplication::setStyle(fStyle);
        QApplication::setPalette(fPalette);
    }

private:
    QString fStyle;
    QPalette fPalette;
};

} // namespace

struct StyleCase
{
    const char* style;
    bool dark; // a dark desktop palette on top of the style
};

class MenuBarStyleTest : public ::testing::TestWithParam<StyleCase>
{
};

// "File" stays on the bar, readable, under every installed style and theme.
TEST_P(MenuBarStyleTest, FileIsShownAndReadable)
{
    const StyleCase& c = GetParam();
    if (!QStyleFactory::keys().contains(c.style, Qt::CaseInsensitive))
        GTEST_SKIP() << c.style << " is not installed (adwaita-qt6)";
    StyleScope scope;
    QApplication::setStyle(c.style);
    if (c.dark) {
        QPalette dark(QColor(230, 230, 230), QColor(40, 40, 40));
        dark.setColor(QPalette::Text, QColor(240, 240, 240));
        dark.setColor(QPalette::Base, QColor(20, 20, 20));
        QApplication::setPalette(dark);
    }
    Pellara application;
    QMenuBar* bar = bar_of(application.window);
    drain_events();
    QAction* file = bar->actions().value(0);
    ASSERT_NE(file, nullptr);
    QRect item = bar->actionGeometry(file);
    EXPECT_TRUE(bar->rect().contains(item)) << "the item leaves the bar";
    for (QToolButton* button : bar->findChildren<QToolButton*>())
        EXPECT_FALSE(button->isVisible()) << "overflow arrow shown";

    QImage shot = bar->grab().toImage();
    EXPECT_GE(text_contrast(shot, QRect(item.topLeft() * shot.devicePixelRatio(),
                                        item.size() * shot.devicePixelRatio())),
              4.5);
    // Nothing but the bar's colour outside the item: no stray line.
    for (int y = 0; y < shot.height(); y++)
        EXPECT_EQ(QColor(shot.pixel(shot.width() - 2, y)), QColor(216, 216, 216)) << y;

    // The fields keep the board's light colours and dark text.
    auto* field = widget_of(application.window)->findChild<QLineEdit*>();
    ASSERT_NE(field, nullptr);
    EXPECT_GE(contrast(field->palette().color(QPalette::Text),
                       field->palette().color(QPalette::Base)),
              4.5);
    EXPECT_GT(luminance(field->palette().color(QPalette::Base)), 0.5);
}

INSTANTIATE_TEST_SUITE_P(Styles, MenuBarStyleTest,
                         ::testing::Values(StyleCase{"Fusion", false}, StyleCase{"Fusion", true},
                                           StyleCase{"Windows", false},
                                           StyleCase{"Windows", true},
                                           StyleCase{"Adwaita", false},
                                           StyleCase{"Adwaita-Dark", false},
                                           StyleCase{"Adwaita-Dark", true}),
                         [](const ::testing::TestParamInfo<StyleCase>& info) {
                             return QString(info.param.style).remove('-').toStdString() +
                                    (info.param.dark ? "Dark" : "Light");
                         });

class KeyboardTest : public ::testing::Test
{
protected:
    PellaraWin* Window() { return fApplication.window; }
    QWidget* Widget() { return widget_of(Window()); }

    void TearDown() override
    {
        for (int i = 0; i < 8 && QApplication::activePopupWidget() != nullptr; i++)
            QApplication::activePopupWidget()->close();
    }

    // Keys go where Qt sends them: to the open menu, else to the window.
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget* target = QApplication::activePopupWidget();
        QTest::keyClick(target != nullptr ? target : Widget(), key, modifiers);
    }

    Pellara fApplication;
};

// F10, then arrows and Enter, reach a "Save As..." format: the window gets
// its request, as a click on the item would send it.
TEST_F(KeyboardTest, F10ArrowsAndEnterReachASaveAsItem)
{
    // Without a stereogram the request opens no panel; the message is what
    // counts here.
    QTest::keyClick(Widget(), Qt::Key_F10);
    auto* file = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(file, nullptr) << "F10 opened no menu";
    EXPECT_EQ(file, KitAccess::MenuOf(Window()->menuBar->SubmenuAt(0))->menu);
    Key(Qt::Key_Down);
    EXPECT_EQ(file->activeAction()->text(), "Save As...");
    Key(Qt::Key_Right);
    auto* formats = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(formats, nullptr);
    EXPECT_EQ(formats, KitAccess::MenuOf(Window()->saveAsMenu)->menu);
    if (formats->activeAction() == nullptr)
        Key(Qt::Key_Down);
    Key(Qt::Key_Down); // the second format
    ASSERT_NE(formats->activeAction(), nullptr);
    EXPECT_EQ(formats->activeAction(), KitAccess::Of(Window()->saveAsMenu->ItemAt(1))->action);

    struct Spy : BHandler
    {
        void MessageReceived(BMessage* message) override { what = message->what; }
        uint32 what = 0;
    } spy;
    Window()->AddHandler(&spy);
    Window()->saveAsMenu->ItemAt(1)->SetTarget(&spy);
    Key(Qt::Key_Return);
    drain_events();
    EXPECT_EQ(spy.what, B_TRANSLATION_MENU);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << "menus stay open";
    Window()->RemoveHandler(&spy);
}

TEST_F(KeyboardTest, EscapeAndF10CloseTheMenu)
{
    QTest::keyClick(Widget(), Qt::Key_F10);
    ASSERT_NE(QApplication::activePopupWidget(), nullptr);
    Key(Qt::Key_F10);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    QTest::keyClick(Widget(), Qt::Key_F10);
    Key(Qt::Key_Escape);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(KeyboardTest, AltWithTheFirstLetterOpensTheMenu)
{
    QTest::keyClick(Widget(), Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(QApplication::activePopupWidget(),
              KitAccess::MenuOf(Window()->menuBar->SubmenuAt(0))->menu);
}

// Alt pressed and released alone puts the keyboard on the bar.
TEST_F(KeyboardTest, AltAloneFocusesTheBar)
{
    QTest::keyPress(Widget(), Qt::Key_Alt, Qt::AltModifier);
    QTest::keyRelease(Widget(), Qt::Key_Alt, Qt::NoModifier);
    QMenuBar* bar = bar_of(Window());
    EXPECT_EQ(bar->activeAction(), bar->actions().value(0));
    QTest::keyClick(bar, Qt::Key_Down);
    EXPECT_EQ(QApplication::activePopupWidget(),
              KitAccess::MenuOf(Window()->menuBar->SubmenuAt(0))->menu);
}

// A shortcut typed while a text field has the focus, or while a menu is
// open, still reaches its item, once.
TEST_F(KeyboardTest, ShortcutsComeUpFromFieldsAndMenus)
{
    struct Counter : BHandler
    {
        void MessageReceived(BMessage* message) override { count += message->what == kMsgFusion; }
        int count = 0;
    } counter;
    Window()->AddHandler(&counter);
    Window()->menuBar->FindItem("Fusion")->SetTarget(&counter);

    auto* field = widget_of(Window())->findChild<QLineEdit*>();
    ASSERT_NE(field, nullptr);
    QTest::keyClick(field, Qt::Key_F, Qt::ControlModifier);
    drain_events();
    EXPECT_EQ(counter.count, 1);

    QTest::keyClick(Widget(), Qt::Key_F10);
    ASSERT_NE(QApplication::activePopupWidget(), nullptr);
    Key(Qt::Key_F, Qt::ControlModifier);
    drain_events();
    EXPECT_EQ(counter.count, 2);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    Window()->RemoveHandler(&counter);
}

// The wait cursor is up while a window's handler runs and gone after; an
// alert shown by a handler has the ordinary one.
TEST(BusyCursorTest, UpWhileAHandlerRunsButNotOverAnAlert)
{
    struct Probe : RecordingWindow
    {
        void MessageReceived(BMessage* message) override
        {
            const QCursor* cursor = QGuiApplication::overrideCursor();
            during = cursor != nullptr ? cursor->shape() : Qt::BitmapCursor;
            if (message->what == 'alrt') {
                QTimer::singleShot(0, [this] {
                    const QCursor* c = QGuiApplication::overrideCursor();
                    inAlert = c != nullptr ? c->shape() : Qt::BitmapCursor;
                    for (QWidget* w : QApplication::topLevelWidgets())
                        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                            box->buttons().first()->click();
                });
                (new BAlert("", "text", "Ok"))->Go();
            }
        }
        Qt::CursorShape during = Qt::BitmapCursor;
        Qt::CursorShape inAlert = Qt::BitmapCursor;
    };
    auto* window = new Probe();
    window->PostMessage('work');
    drain_events();
    EXPECT_EQ(window->during, Qt::WaitCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    window->PostMessage('alrt');
    drain_events();
    EXPECT_EQ(window->inAlert, Qt::ArrowCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    delete window;
}

// The alert belongs to the window whose handler shows it: no title bar,
// centred over it, kept above it.
TEST(AlertTest, NoTitleCentredOverItsWindow)
{
    struct Shower : RecordingWindow
    {
        void MessageReceived(BMessage*) override
        {
            QTimer::singleShot(0, [this] {
                for (QWidget* w : QApplication::topLevelWidgets()) {
                    auto* box = qobject_cast<QMessageBox*>(w);
                    if (box == nullptr || !box->isVisible())
                        continue;
                    title = box->windowTitle();
                    flags = box->windowFlags();
                    parent = box->parentWidget();
                    centre = box->geometry().center();
                    transientParent = box->windowHandle() != nullptr
                                          ? box->windowHandle()->transientParent()
                                          : nullptr;
                    box->buttons().first()->click();
                }
            });
            (new BAlert("", "Erreur d'ecriture de l'image", "Ok"))->Go();
        }
        QString title = "unset";
        Qt::WindowFlags flags;
        QWidget* parent = nullptr;
        QPoint centre;
        QWindow* transientParent = nullptr;
    };
    auto* window = new Shower();
    window->MoveTo(300, 200);
    window->Show();
    window->PostMessage('show');
    drain_events();
    QWidget* own = widget_of(window);
    EXPECT_EQ(window->title, "");
    EXPECT_FALSE(window->flags.testFlag(Qt::WindowTitleHint));
    EXPECT_EQ(window->parent, own);
    EXPECT_EQ(window->transientParent, own->windowHandle());
    EXPECT_LE((window->centre - own->geometry().center()).manhattanLength(), 4);
    delete window;
}

class PanelTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(fDir.isValid()); }

    PellaraWin* Window() { return fApplication.window; }

    BFilePanel* OpenPanel(const char* format)
    {
        delete Window()->view->bitmaps[2];
        Window()->view->bitmaps[2] = checker_bitmap(8, 8);
        BMenuItem* item = format != nullptr ? Window()->saveAsMenu->FindItem(format)
                                            : Window()->saveAsMenu->ItemAt(1);
        if (item == nullptr)
            return nullptr;
        KitAccess::Of(item)->action->trigger();
        drain_events();
        return Window()->savePanel;
    }

    static QFileDialog* DialogOf(BFilePanel* panel)
    {
        return widget_of(panel->Window())->findChild<QFileDialog*>();
    }

    QTemporaryDir fDir;
    Pellara fApplication;
};

TEST_F(PanelTest, ADialogOfTheWindowFilteringOnTheChosenFormat)
{
    BFilePanel* panel = OpenPanel("PNG image");
    ASSERT_NE(panel, nullptr);
    QWidget* host = widget_of(panel->Window());
    EXPECT_EQ(host->windowType(), Qt::Dialog);
    ASSERT_NE(host->windowHandle(), nullptr);
    EXPECT_EQ(host->windowHandle()->transientParent(), widget_of(Window())->windowHandle());
    QFileDialog* dialog = DialogOf(panel);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->selectedNameFilter(), "PNG image (*.png)");
}

// A panel starts where the last one saved, in this run only, and Qt's dialog
// leaves no settings file behind.
TEST_F(PanelTest, StartsWhereTheLastSaveWentAndKeepsNoSettings)
{
    BFilePanel* panel = OpenPanel("PNG image");
    QFileDialog* dialog = DialogOf(panel);
    ASSERT_NE(dialog, nullptr);
    QDir().mkpath(fDir.filePath("pictures"));
    dialog->setDirectory(fDir.filePath("pictures"));
    dialog->selectFile("first.png");
    dialog->findChild<QLineEdit*>("fileNameEdit")->setText("first.png");
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save)->click();
    drain_events();
    ASSERT_TRUE(QFile::exists(fDir.filePath("pictures/first.png")));

    panel = OpenPanel(nullptr);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(DialogOf(panel)->directory().absolutePath(),
              QDir(fDir.filePath("pictures")).absolutePath());
    delete Window()->savePanel;
    Window()->savePanel = nullptr;
    drain_events();

    QSettings qtSettings(QSettings::UserScope, "QtProject");
    EXPECT_TRUE(qtSettings.fileName().startsWith("/dev/null/")) << qtSettings.fileName().data();
    qtSettings.setValue("probe", 1);
    qtSettings.sync();
    EXPECT_NE(qtSettings.status(), QSettings::NoError) << "settings could be written";
}

// A file dropped on the A or L field goes on up to the board, which puts it
// in the picture slot like any other point outside the pattern frame.
TEST(FieldDropTest, ADropOnAFieldFillsThePictureSlot)
{
    QTemporaryDir dir;
    QString file = dir.filePath("p.png");
    QImage image(5, 4, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(file));
    for (const char* field : {"a-edit", "l-edit"}) {
        SCOPED_TRACE(field);
        Pellara application;
        application.window->Show();
        drain_events();
        BView* control = application.window->FindView(field);
        ASSERT_NE(control, nullptr);
        auto* edit = KitAccess::Of(control)->widget->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        QMimeData data;
        data.setUrls({QUrl("file://localhost" + file)});
        DropOutcome outcome = send_drop(edit, QPoint(3, 3), data);
        EXPECT_TRUE(outcome.dropAccepted);
        drain_events();
        EXPECT_NE(application.window->view->bitmaps[0], nullptr);
        EXPECT_EQ(application.window->view->bitmaps[1], nullptr);
    }
}

// Run at the scale CTest sets: pictures are sampled per device pixel, the
// frame touches them without a seam, and the fields never overlap.
TEST(ScaleTest, PicturesAndFramesOnTheDeviceGrid)
{
    Pellara application;
    PellaraBMPView* view = application.window->view;
    const qreal scale = widget_of(application.window)->devicePixelRatioF();
    // The frame (10, 20, 120, 110), one device pixel wide on the inside of
    // its edge pixels, then the picture at once.
    const int left = int(std::lround(11 * scale)) - 1, top = int(std::lround(21 * scale)) - 1;
    const int right = int(std::lround(120 * scale)), bottom = int(std::lround(110 * scale));
    // One source pixel per device pixel inside.
    view->bitmaps[0] = checker_bitmap(right - left - 1, bottom - top - 1);
    QImage board = KitAccess::Of(view)->widget->grab().toImage();
    ASSERT_EQ(board.devicePixelRatio(), scale);
    const QColor black(Qt::black);
    for (int x = left; x <= right; x++) {
        EXPECT_EQ(QColor(board.pixel(x, top)), black) << x;
        EXPECT_EQ(QColor(board.pixel(x, bottom)), black) << x;
    }
    for (int y = top; y <= bottom; y++) {
        EXPECT_EQ(QColor(board.pixel(left, y)), black) << y;
        EXPECT_EQ(QColor(board.pixel(right, y)), black) << y;
    }
    // Every device pixel inside is one source pixel: neighbours alternate.
    int blocks = 0;
    for (int y = top + 1; y < bottom; y++)
        for (int x = left + 1; x + 1 < right; x++)
            blocks += board.pixel(x, y) == board.pixel(x + 1, y);
    EXPECT_EQ(blocks, 0) << "pixels repeated: sampled below device resolution";
    EXPECT_EQ(QColor(board.pixel(left + 1, top + 1)), QColor(Qt::red));

    BRect a = view->aEdit->Frame(), l = view->lEdit->Frame();
    EXPECT_LT(a.bottom, l.top);
    EXPECT_EQ(l.top - a.top, 20);
}

// A big desktop font makes the fields taller, never overlapping.
TEST(ScaleTest, LargeFontFieldsStayApart)
{
    QFont original = QApplication::font();
    QFont large = original;
    large.setPointSizeF(13);
    QApplication::setFont(large);
    {
        Pellara application;
        PellaraBMPView* view = application.window->view;
        BRect a = view->aEdit->Frame(), l = view->lEdit->Frame();
        EXPECT_LT(a.bottom, l.top);
        EXPECT_LE(a.Height(), 19);
        EXPECT_GT(a.Height(), 10) << "the field does not fit the font";
        drain_events();
        auto* edit = KitAccess::Of(view->aEdit)->widget->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        EXPECT_LE(edit->fontMetrics().height(), edit->height());
    }
    QApplication::setFont(original);
}
