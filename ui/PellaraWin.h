// The main window: the menu bar and the image board; menu commands become
// calls on the board, and closing the window ends the application.
#ifndef PELLARA_WIN_H
#define PELLARA_WIN_H

#include <Window.h>

class BFilePanel;
class BMenu;
class BMenuBar;
class PellaraBMPView;

// "Fusion": synthesise the stereogram.
inline constexpr uint32 kMsgFusion = 'Sfst';
// The save panel's answer: write the stereogram.
inline constexpr uint32 kMsgSaveFile = 'Msap';

class PellaraWin : public BWindow
{
public:
    explicit PellaraWin(BRect frame);
    virtual ~PellaraWin();

    virtual void MessageReceived(BMessage* message);
    virtual bool QuitRequested();

    BFilePanel* savePanel;
    PellaraBMPView* view;
    BMenu* saveAsMenu;
    BMenuBar* menuBar;

private:
    void _save_as(BMessage* message);
    void _save_file(BMessage* message);
};

#endif // PELLARA_WIN_H
