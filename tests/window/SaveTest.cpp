// Saving the stereogram: the "Save As..." items, the save panel driven as a
// user would, and every way a save can fail.
#include "TestSupport.h"

#include <SaveDestinations.h>

#include <Pellara.h>
#include <PellaraBMPView.h>
#include <PellaraWin.h>

#include <Bitmap.h>
#include <BitmapStream.h>
#include <DataIO.h>
#include <FilePanel.h>
#include <Menu.h>
#include <MenuItem.h>
#include <MenuPrivate.h>
#include <SafeFileWriterPrivate.h>
#include <Messenger.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>
#include <WindowPrivate.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Watches for the modal alert from inside its own event loop, notes what it
// says and presses its button, so a test never blocks on it.
class AlertCloser
{
public:
    AlertCloser()
    {
        fTimer.setInterval(5);
        QObject::connect(&fTimer, &QTimer::timeout, [this] { _Check(); });
        fTimer.start();
    }

    int shown = 0;
    QString text;
    QStringList buttons;

private:
    void _Check()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible())
                continue;
            shown++;
            text = box->text();
            buttons.clear();
            for (QAbstractButton* button : box->buttons())
                buttons << button->text();
            if (!box->buttons().isEmpty())
                box->buttons().first()->click();
        }
    }

    QTimer fTimer;
};

struct Format
{
    translator_id id;
    uint32 type;
    std::string name;
    std::string extension;
    bool lossless;
};

std::vector<Format> writable_formats()
{
    BTranslatorRoster* roster = BTranslatorRoster::Default();
    translator_id* ids = nullptr;
    int32 count = 0;
    roster->GetAllTranslators(&ids, &count);
    std::vector<Format> formats;
    for (int32 i = 0; i < count; i++) {
        const translation_format* out = nullptr;
        int32 n = 0;
        roster->GetOutputFormats(ids[i], &out, &n);
        for (int32 j = 0; j < n; j++)
            formats.push_back({ids[i], out[j].type, out[j].name, roster->ShortName(ids[i]),
                               roster->IsLossless(ids[i])});
    }
    delete[] ids;
    return formats;
}

// A colourful stereogram stand-in, with junk in the alpha bytes as a real
// stereogram may have.
BBitmap* sample_picture()
{
    auto* bitmap = new BBitmap(BRect(0, 0, 36, 22), B_RGB32, true, true);
    auto* bits = static_cast<uint32*>(bitmap->Bits());
    for (int i = 0; i < 37 * 23; i++)
        bits[i] = (uint32(i * 37) << 24) | uint32(i * 2654435761u >> 8);
    return bitmap;
}

// Colour words of a picture read back from a file, alpha dropped.
std::vector<uint32> colours_of(const BBitmap* bitmap)
{
    std::vector<uint32> out;
    for (int32 y = 0; y < bitmap->PixelHeight(); y++) {
        const auto* row = reinterpret_cast<const uint32*>(
            static_cast<const uint8*>(bitmap->Bits()) + size_t(y) * bitmap->BytesPerRow());
        for (int32 x = 0; x < bitmap->PixelWidth(); x++)
            out.push_back(row[x] & 0x00FFFFFF);
    }
    return out;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class SaveTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(fDir.isValid()); }

    PellaraWin* Window() { return fApplication.window; }

    void GiveStereogram()
    {
        delete Window()->view->bitmaps[2];
        Window()->view->bitmaps[2] = sample_picture();
    }

    BMessage SaveRequest(const Format& format, const char* directory, const char* name)
    {
        BMessage request(kMsgSaveFile);
        entry_ref ref(directory);
        request.AddRef("directory", &ref);
        request.AddString("name", name);
        request.AddInt32("be:translator", format.id);
        request.AddInt32("be:type", int32(format.type));
        return request;
    }

    void Post(BMessage message)
    {
        Window()->PostMessage(&message);
        drain_events();
    }

    // Names in the folder, hidden ones included: temporary files show up.
    QStringList Entries() const
    {
        return QDir(fDir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    static Format Png()
    {
        for (const Format& f : writable_formats())
            if (f.extension == "png")
                return f;
        return {};
    }

    Pellara fApplication;
    QTemporaryDir fDir;
};

TEST_F(SaveTest, OneItemPerWritableFormat)
{
    std::vector<Format> formats = writable_formats();
    BMenu* menu = Window()->saveAsMenu;
    ASSERT_EQ(menu->CountItems(), int32(formats.size()));
    ASSERT_GE(formats.size(), 4u); // PNG, JPEG, BMP, TIFF at least
    for (int32 i = 0; i < menu->CountItems(); i++) {
        SCOPED_TRACE(formats[size_t(i)].name);
        BMenuItem* item = menu->ItemAt(i);
        EXPECT_STREQ(item->Label(), formats[size_t(i)].name.c_str());
        ASSERT_NE(item->Message(), nullptr);
        EXPECT_EQ(item->Message()->what, B_TRANSLATION_MENU);
        int32 id = 0, type = 0;
        EXPECT_EQ(item->Message()->FindInt32("be:translator", &id), B_OK);
        EXPECT_EQ(item->Message()->FindInt32("be:type", &type), B_OK);
        EXPECT_EQ(id, formats[size_t(i)].id);
        EXPECT_EQ(uint32(type), formats[size_t(i)].type);
    }
    EXPECT_NE(menu->FindItem("PNG image"), nullptr);
}

TEST_F(SaveTest, NoStereogramOpensNoPanel)
{
    KitAccess::Of(Window()->saveAsMenu->ItemAt(0))->action->trigger();
    drain_events();
    EXPECT_EQ(Window()->savePanel, nullptr);
}

// Choose PNG from the menu, then type a name into the panel and accept it.
TEST_F(SaveTest, PanelDrivenAsAUserWould)
{
    GiveStereogram();
    BMenuItem* item = Window()->saveAsMenu->FindItem("PNG image");
    ASSERT_NE(item, nullptr);
    KitAccess::Of(item)->action->trigger();
    drain_events();
    BFilePanel* panel = Window()->savePanel;
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->IsShowing());
    EXPECT_EQ(panel->Window()->Workspaces(), B_CURRENT_WORKSPACE);

    auto* dialog = KitAccess::Of(panel->Window())->widget->findChild<QFileDialog*>();
    ASSERT_NE(dialog, nullptr);
    auto* nameField = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(nameField, nullptr);
    EXPECT_EQ(nameField->text(), "stereogram.png"); // offered with the format's extension
    dialog->setDirectory(fDir.path());
    nameField->setText("mine.png");
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    QAbstractButton* save = buttons->button(QDialogButtonBox::Save);
    ASSERT_NE(save, nullptr);
    save->click();
    drain_events();

    EXPECT_FALSE(panel->IsShowing());
    std::unique_ptr<BBitmap> back(
        BTranslationUtils::GetBitmapFile(fDir.filePath("mine.png").toUtf8().constData()));
    ASSERT_TRUE(back);
    EXPECT_EQ(colours_of(back.get()), colours_of(Window()->view->bitmaps[2]));
    EXPECT_EQ(Entries(), QStringList{"mine.png"});
}

TEST_F(SaveTest, EachChoiceGetsAFreshPanel)
{
    GiveStereogram();
    BMenu* menu = Window()->saveAsMenu;
    KitAccess::Of(menu->ItemAt(0))->action->trigger();
    drain_events();
    ASSERT_NE(Window()->savePanel, nullptr);
    // Named by token: it tells whether the first panel's window still exists.
    const BMessenger firstPanel(Window()->savePanel->Window());
    ASSERT_TRUE(firstPanel.IsValid());
    KitAccess::Of(menu->ItemAt(1))->action->trigger();
    drain_events();
    ASSERT_NE(Window()->savePanel, nullptr);
    EXPECT_FALSE(firstPanel.IsValid()) << "the first choice's panel is still there";
    EXPECT_TRUE(Window()->savePanel->IsShowing());
}

TEST_F(SaveTest, EveryFormatRoundTrips)
{
    GiveStereogram();
    const std::vector<uint32> expected = colours_of(Window()->view->bitmaps[2]);
    for (const Format& format : writable_formats()) {
        SCOPED_TRACE(format.name);
        std::string name = "out." + format.extension;
        AlertCloser alerts;
        Post(SaveRequest(format, fDir.path().toUtf8().constData(), name.c_str()));
        EXPECT_EQ(alerts.shown, 0);
        std::unique_ptr<BBitmap> back(BTranslationUtils::GetBitmapFile(
            fDir.filePath(QString::fromStdString(name)).toUtf8().constData()));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->Bounds(), Window()->view->bitmaps[2]->Bounds());
        if (format.lossless && format.extension != "pgm") {
            EXPECT_EQ(colours_of(back.get()), expected);
        }
    }
    EXPECT_NE(Window()->view->bitmaps[2], nullptr);
}

TEST_F(SaveTest, SavingOverAFileReplacesIt)
{
    GiveStereogram();
    QString path = fDir.filePath("old.png");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older picture");
    }
    Post(SaveRequest(Png(), fDir.path().toUtf8().constData(), "old.png"));
    std::unique_ptr<BBitmap> back(BTranslationUtils::GetBitmapFile(path.toUtf8().constData()));
    ASSERT_TRUE(back);
    EXPECT_EQ(colours_of(back.get()), colours_of(Window()->view->bitmaps[2]));
    EXPECT_EQ(Entries(), QStringList{"old.png"});
}

struct Unwritable
{
    const char* label;
    const char* folder; // below the test folder; null: the test folder itself
    const char* name;
};

class UnwritableTest : public SaveTest, public ::testing::WithParamInterface<Unwritable>
{
};

void PrintTo(const Unwritable& c, std::ostream* os)
{
    *os << c.label;
}

// A file that cannot be created is a failed save the user is told about.
TEST_P(UnwritableTest, AlertAndNothingLeftBehind)
{
    GiveStereogram();
    ASSERT_TRUE(QDir(fDir.path()).mkdir("sub"));
    std::string folder = fDir.path().toStdString();
    if (GetParam().folder != nullptr)
        folder += std::string("/") + GetParam().folder;
    AlertCloser alerts;
    Post(SaveRequest(Png(), folder.c_str(), GetParam().name));
    EXPECT_EQ(alerts.shown, 1);
    EXPECT_EQ(alerts.text, "Erreur d'ecriture de l'image");
    EXPECT_EQ(alerts.buttons, QStringList{"Ok"});
    EXPECT_TRUE(Entries().isEmpty());
    EXPECT_NE(Window()->view->bitmaps[2], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Places, UnwritableTest,
                         ::testing::Values(Unwritable{"MissingFolder", "gone/away", "a.png"},
                                           Unwritable{"NameIsAFolder", nullptr, "sub"},
                                           Unwritable{"NameWithSlash", nullptr, "sub/a.png"},
                                           Unwritable{"EmptyName", nullptr, ""}),
                         [](const auto& info) { return std::string(info.param.label); });

// A translation that fails keeps the old file whole, and the board can save
// the same stereogram again.
TEST_F(SaveTest, FailedTranslationKeepsTheOldFile)
{
    GiveStereogram();
    QString path = fDir.filePath("keep.png");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("precious");
    }
    Format wrong = Png();
    wrong.type = 'XXXX'; // no translator writes this
    AlertCloser alerts;
    Post(SaveRequest(wrong, fDir.path().toUtf8().constData(), "keep.png"));
    EXPECT_EQ(alerts.shown, 1);
    EXPECT_EQ(contents(path), "precious");
    EXPECT_EQ(Entries(), QStringList{"keep.png"});
    ASSERT_NE(Window()->view->bitmaps[2], nullptr);

    Post(SaveRequest(Png(), fDir.path().toUtf8().constData(), "keep.png"));
    EXPECT_EQ(alerts.shown, 1);
    std::unique_ptr<BBitmap> back(BTranslationUtils::GetBitmapFile(path.toUtf8().constData()));
    ASSERT_TRUE(back);
    EXPECT_EQ(colours_of(back.get()), colours_of(Window()->view->bitmaps[2]));
}

TEST_F(SaveTest, RequestsMissingAFieldAreDropped)
{
    GiveStereogram();
    const char* fields[] = {"directory", "name", "be:translator", "be:type"};
    for (const char* missing : fields) {
        SCOPED_TRACE(missing);
        BMessage request = SaveRequest(Png(), fDir.path().toUtf8().constData(), "x.png");
        request.RemoveName(missing);
        AlertCloser alerts;
        Post(request);
        EXPECT_EQ(alerts.shown, 0);
        EXPECT_TRUE(Entries().isEmpty());
    }
    // And a menu message without its fields opens no panel.
    for (const char* missing : {"be:translator", "be:type"}) {
        BMessage choice(B_TRANSLATION_MENU);
        choice.AddInt32("be:translator", Png().id);
        choice.AddInt32("be:type", int32(Png().type));
        choice.RemoveName(missing);
        Post(choice);
        EXPECT_EQ(Window()->savePanel, nullptr) << missing;
    }
}

// What is written is the stereogram on the board when the panel answers.
TEST_F(SaveTest, WritesTheStereogramOfTheMomentOfWriting)
{
    GiveStereogram();
    auto* later = new BBitmap(BRect(0, 0, 4, 4), B_RGB32, true, true);
    std::memset(later->Bits(), 0x40, size_t(later->BitsLength()));
    delete Window()->view->bitmaps[2];
    Window()->view->bitmaps[2] = later;
    Post(SaveRequest(Png(), fDir.path().toUtf8().constData(), "now.png"));
    std::unique_ptr<BBitmap> back(
        BTranslationUtils::GetBitmapFile(fDir.filePath("now.png").toUtf8().constData()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Bounds(), BRect(0, 0, 4, 4));
}

// Save As over every kind of destination the storage kit's tests try, with
// a stereogram whose PNG does not fit the small tmpfs.
class SaveOverTest : public SaveTest,
                     public ::testing::WithParamInterface<save_destinations::Destination>
{
protected:
    static BBitmap* NoisePicture()
    {
        auto* bitmap = new BBitmap(BRect(0, 0, 199, 149), B_RGB32, true, true);
        auto* bits = static_cast<uint32*>(bitmap->Bits());
        uint32 state = 2463534242u;
        for (int i = 0; i < 200 * 150; i++) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            bits[i] = 0xFF000000u | (state & 0xFFFFFFu);
        }
        return bitmap;
    }

    // What the window must write: the same picture through the same
    // translator.
    static std::string Encoded(BBitmap* picture, const Format& format)
    {
        BMallocIO out;
        BBitmapStream stream(picture);
        EXPECT_EQ(B_OK, BTranslatorRoster::Default()->Translate(format.id, &stream, nullptr, &out,
                                                                format.type));
        BBitmap* detached = nullptr;
        stream.DetachBitmap(&detached);
        return std::string(static_cast<const char*>(out.Buffer()), out.BufferLength());
    }
};

void raise_term(int, const char*)
{
    raise(SIGTERM);
}

TEST_P(SaveOverTest, KeepsWhatItWritesOver)
{
    using namespace save_destinations;
    delete Window()->view->bitmaps[2];
    Window()->view->bitmaps[2] = NoisePicture();
    const std::string bytes = Encoded(Window()->view->bitmaps[2], Png());
    Scene scene;
    GetParam().prepare(scene, bytes.size());
    if (!scene.skip.empty())
        GTEST_SKIP() << scene.skip;

    AlertCloser alerts;
    {
        CatchTerm term(scene.interrupt);
        BPrivate::set_safe_write_hook(scene.interrupt ? raise_term : nullptr);
        AsNobody user(scene.asNobody);
        Post(SaveRequest(Png(), scene.folder.c_str(), name_of(GetParam()).c_str()));
        BPrivate::set_safe_write_hook(nullptr);
    }
    EXPECT_EQ(GetParam().error != 0 ? 1 : 0, alerts.shown);
    if (alerts.shown > 0) {
        EXPECT_EQ(alerts.text, "Erreur d'ecriture de l'image");
        EXPECT_EQ(alerts.buttons, QStringList{"Ok"});
    }
    GetParam().check(scene, bytes);
    EXPECT_NE(Window()->view->bitmaps[2], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Destinations, SaveOverTest,
                         ::testing::ValuesIn(save_destinations::kDestinations),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
