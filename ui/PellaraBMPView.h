// The image board: three framed slots (depth picture, pattern, stereogram),
// their captions and the engine's constants. Files dropped on it fill the
// source slots; Fusion() fills the stereogram slot.
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
    enum
    {
        kPictureSlot = 0,
        kMotiveSlot = 1,
        kFusionSlot = 2,
        kSlotCount = 3
    };

    PellaraBMPView(BRect frame, const char* name, uint32 resizingMode, uint32 flags);
    virtual ~PellaraBMPView();

    virtual void MessageReceived(BMessage* message);
    virtual void Draw(BRect updateRect);

    void SetBitmap(BMessage* message);
    void Fusion();

    // The Bitmap a slot holds, or null; the view keeps ownership.
    BBitmap* Bitmap(int32 slot) const;

    // Only the view itself changes these; others read them.
    VPellaraObject* engine;
    BBitmap* bitmaps[kSlotCount];
    BTextControl* aEdit;
    BTextControl* lEdit;
};

#endif // PELLARA_BMP_VIEW_H
