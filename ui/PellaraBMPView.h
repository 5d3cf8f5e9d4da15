// The image board: three image slots (depth picture, pattern, stereogram).
// Stand-in until the board itself lands: enough for the window to hold it,
// take drops and run the engine.
#ifndef PELLARA_BMP_VIEW_H
#define PELLARA_BMP_VIEW_H

#include <View.h>

class BBitmap;
class BMessage;
class BTextControl;
class VPellaraObject;

class PellaraBMPView : public BView
{
public:
    PellaraBMPView(BRect frame, const char* name, uint32 resizingMode, uint32 flags);
    virtual ~PellaraBMPView();

    virtual void MessageReceived(BMessage* message);
    virtual void Draw(BRect updateRect);

    void SetBitmap(BMessage* message);
    void Fusion();

    VPellaraObject* engine;
    BBitmap* bitmaps[3];
    BTextControl* aEdit;
    BTextControl* lEdit;
};

#endif // PELLARA_BMP_VIEW_H
