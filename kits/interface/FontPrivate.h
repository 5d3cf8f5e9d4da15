// The Qt side of BFont, shared by the kits' own sources only.
#ifndef _FONT_PRIVATE_H
#define _FONT_PRIVATE_H

#include <Font.h>

#include <QFont>

struct FontAccess
{
    // The Qt font a BFont describes. Needs the font engine (below).
    static QFont QtFont(const BFont& font);
};

// Whether fonts can be measured and drawn: true in a process with a GUI
// application; one without any application gets a display-less one here,
// once. False only when some other, non-GUI Qt application object exists.
bool font_engine_ready();

#endif // _FONT_PRIVATE_H
