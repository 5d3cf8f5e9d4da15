#include "PellaraBMPView.h"

#include <Bitmap.h>
#include <Message.h>
#include <Path.h>
#include <TranslationUtils.h>
#include <VPellaraObject.h>

PellaraBMPView::PellaraBMPView(BRect frame, const char* name, uint32 resizingMode, uint32 flags)
    : BView(frame, name, resizingMode, flags)
{
    bitmaps[0] = nullptr;
    bitmaps[1] = nullptr;
    bitmaps[2] = nullptr;
    engine = new VPellaraObject();
    aEdit = nullptr;
    lEdit = nullptr;
    SetViewColor(tint_color(ui_color(B_PANEL_BACKGROUND_COLOR), B_NO_TINT));
}

PellaraBMPView::~PellaraBMPView()
{
    delete engine;
    for (BBitmap* bitmap : bitmaps)
        delete bitmap;
}

void PellaraBMPView::MessageReceived(BMessage* message)
{
    switch (message->what) {
    case B_SIMPLE_DATA:
        SetBitmap(message);
        break;
    default:
        BView::MessageReceived(message);
        break;
    }
}

void PellaraBMPView::Draw(BRect updateRect)
{
    BView::Draw(updateRect);
    SetHighColor(0, 0, 0, 255);
    SetLowColor(ViewColor());
    const BRect frames[3] = {BRect(10, 20, 120, 110), BRect(10, 140, 120, 230),
                             BRect(140, 20, 490, 390)};
    for (int slot = 0; slot < 3; slot++) {
        StrokeRect(frames[slot]);
        if (bitmaps[slot] != nullptr)
            DrawBitmap(bitmaps[slot], frames[slot].InsetByCopy(1, 1));
    }
}

// A drop on the pattern frame fills the pattern slot, anywhere else the
// picture slot.
void PellaraBMPView::SetBitmap(BMessage* message)
{
    BPoint point;
    entry_ref ref;
    if (message->FindPoint("_drop_point_", &point) != B_OK ||
        message->FindRef("refs", &ref) != B_OK)
        return;
    BPath path(&ref);
    ConvertFromScreen(&point);
    int slot = BRect(10, 140, 120, 230).Contains(point) ? 1 : 0;
    BBitmap* bitmap = BTranslationUtils::GetBitmapFile(path.Path());
    if (bitmap == nullptr)
        return;
    delete bitmaps[slot];
    bitmaps[slot] = bitmap;
    Invalidate();
}

void PellaraBMPView::Fusion()
{
    if (bitmaps[0] == nullptr || bitmaps[1] == nullptr)
        return;
    engine->GetFrom(bitmaps[0]);
    engine->GetMotive(bitmaps[1]);
    BBitmap* result = engine->Fusion();
    if (result == nullptr)
        return;
    delete bitmaps[2];
    bitmaps[2] = result;
    Invalidate();
}
