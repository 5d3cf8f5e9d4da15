// The application object: makes and shows the main window.
#ifndef PELLARA_H
#define PELLARA_H

#include <Application.h>

class PellaraWin;

// The program's identity on the desktop.
inline constexpr const char* kPellaraSignature = "application/x-vnd.Ombrix.Pellara";

class Pellara : public BApplication
{
public:
    Pellara();
    virtual ~Pellara();

    PellaraWin* window;
};

#endif // PELLARA_H
