#include "PellaraWin.h"

#include "PellaraBMPView.h"

#include <Application.h>
#include <Menu.h>
#include <MenuBar.h>
#include <MenuItem.h>

// The translation kit's "Save As..." items carry this code.
#ifndef B_TRANSLATION_MENU
#define B_TRANSLATION_MENU 'BTMN'
#endif

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

    // The export work fills saveAsMenu with the translation items here:
    // BTranslationUtils::AddTranslationItems(saveAsMenu, B_TRANSLATOR_BITMAP).

    fileMenu->AddItem(saveAsMenu);
    fileMenu->AddSeparatorItem();
    fileMenu->AddItem(new BMenuItem("Fusion", new BMessage(kMsgFusion), 'F', 0));
    fileMenu->AddSeparatorItem();
    fileMenu->AddItem(new BMenuItem("Quit", new BMessage(B_QUIT_REQUESTED), 'Q', 0));

    menuBar->AddItem(fileMenu);
    AddChild(menuBar);
    AddChild(view);
}

PellaraWin::~PellaraWin() {}

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

void PellaraWin::_save_as(BMessage*)
{
    // filled by the export work
}

void PellaraWin::_save_file(BMessage*)
{
    // filled by the export work
}
