#include "PellaraWin.h"

#include "PellaraBMPView.h"

#include <Alert.h>
#include <Application.h>
#include <BitmapStream.h>
#include <DataIO.h>
#include <Directory.h>
#include <FilePanel.h>
#include <Menu.h>
#include <MenuBar.h>
#include <MenuItem.h>
#include <Messenger.h>
#include <SafeFileWriter.h>
#include <TranslationUtils.h>
#include <TranslatorFormats.h>
#include <TranslatorRoster.h>

#include <string>

PellaraWin::PellaraWin(BRect frame)
    : BWindow(frame, "Pellara", B_TITLED_WINDOW, B_NOT_RESIZABLE | B_NOT_ZOOMABLE,
              B_CURRENT_WORKSPACE),
      savePanel(nullptr)
{
    menuBar = new BMenuBar(BRect(0, 0, Bounds().right, 20), "barmenu",
                           B_FOLLOW_LEFT_RIGHT | B_FOLLOW_TOP, B_ITEMS_IN_ROW, true);
    view = new PellaraBMPView(BRect(0, 20, 500, 425), "PellaraBMPView", B_FOLLOW_NONE, B_WILL_DRAW);

    BMenu* fileMenu = new BMenu("File", B_ITEMS_IN_COLUMN);
    saveAsMenu = new BMenu("Save As...", B_ITEMS_IN_COLUMN);

    BTranslationUtils::AddTranslationItems(saveAsMenu, B_TRANSLATOR_BITMAP);

    fileMenu->AddItem(saveAsMenu);
    fileMenu->AddSeparatorItem();
    fileMenu->AddItem(new BMenuItem("Fusion", new BMessage(kMsgFusion), 'F', 0));
    fileMenu->AddSeparatorItem();
    fileMenu->AddItem(new BMenuItem("Quit", new BMessage(B_QUIT_REQUESTED), 'Q', 0));

    menuBar->AddItem(fileMenu);
    AddChild(menuBar);
    AddChild(view);
}

// The last save panel goes with the window rather than outliving it.
PellaraWin::~PellaraWin()
{
    delete savePanel;
}

void PellaraWin::MessageReceived(BMessage* message)
{
    switch (message->what) {
    case kMsgFusion:
        view->Fusion();
        break;
    case B_TRANSLATION_MENU:
        _save_as(message);
        break;
    case kMsgSaveFile:
        _save_file(message);
        break;
    default:
        BWindow::MessageReceived(message);
        break;
    }
}

bool PellaraWin::QuitRequested()
{
    be_app->PostMessage(B_QUIT_REQUESTED);
    return true;
}

void PellaraWin::_save_as(BMessage* message)
{
    if (view->bitmaps[2] == nullptr)
        return;
    int32 translator;
    int32 type;
    if (message->FindInt32("be:translator", &translator) != B_OK ||
        message->FindInt32("be:type", &type) != B_OK)
        return;

    BMessage request(kMsgSaveFile);
    request.AddInt32("be:translator", translator);
    request.AddInt32("be:type", type);

    // Each choice gets a panel of its own; the one it replaces is released.
    delete savePanel;
    BMessenger target(this);
    savePanel =
        new BFilePanel(B_SAVE_PANEL, &target, nullptr, 0, false, &request, nullptr, false, true);
    if (savePanel != nullptr) {
        // Offer a name that carries the chosen format's extension.
        const char* extension = BTranslatorRoster::Default()->ShortName(translator);
        std::string name = "stereogram";
        if (extension != nullptr)
            name = name + "." + extension;
        savePanel->SetSaveText(name.c_str());
        savePanel->Window()->SetWorkspaces(B_CURRENT_WORKSPACE);
        savePanel->Show();
    }
}

// The stereogram is encoded in memory first, so a failing encoder never
// touches the chosen file; the storage kit then puts it in place without
// harming what was there. Any failure, opening included, is told to the user.
void PellaraWin::_save_file(BMessage* message)
{
    entry_ref directoryRef;
    const char* name;
    int32 translator;
    int32 type;
    if (message->FindRef("directory", &directoryRef) != B_OK ||
        message->FindString("name", &name) != B_OK ||
        message->FindInt32("be:translator", &translator) != B_OK ||
        message->FindInt32("be:type", &type) != B_OK)
        return;

    BMallocIO encoded;
    BBitmapStream stream(view->bitmaps[2]);
    status_t status = BTranslatorRoster::Default()->Translate(translator, &stream, nullptr,
                                                              &encoded, uint32(type));
    // The board keeps its stereogram whatever happened.
    BBitmap* bitmap;
    stream.DetachBitmap(&bitmap);
    if (status == B_OK) {
        BDirectory directory(&directoryRef);
        SafeFileWriter writer;
        // The window must keep answering: a FIFO no one reads fails at once.
        writer.SetMayBlock(false);
        status = writer.WriteFile(&directory, name, encoded.Buffer(), encoded.BufferLength());
    }
    if (status != B_OK) {
        BAlert* alert = new BAlert("", "Erreur d'ecriture de l'image", "Ok", nullptr, nullptr,
                                   B_WIDTH_AS_USUAL, B_INFO_ALERT);
        alert->Go();
    }
}
