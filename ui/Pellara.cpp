#include "Pellara.h"

#include "PellaraWin.h"

Pellara::Pellara() : BApplication(kPellaraSignature)
{
    window = new PellaraWin(BRect(100, 100, 600, 520));
    window->Show();
}

// The window is gone by now: it deletes itself when it quits.
Pellara::~Pellara() {}
