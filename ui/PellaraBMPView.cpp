#include "PellaraBMPView.h"

#include <Bitmap.h>
#include <Message.h>
#include <Path.h>
#include <RegularFile.h>
#include <String.h>
#include <TextControl.h>
#include <TextView.h>
#include <TranslationUtils.h>
#include <VPellaraObject.h>


namespace {

// The board's layout, slot by slot: caption baseline, stroked frame.
const char* const kCaptions[PellaraBMPView::kSlotCount] = {"Picture...", "Motive...", "Fusion..."};
const BPoint kCaptionPoints[PellaraBMPView::kSlotCount] = {BPoint(10, 15), BPoint(10, 135),
                                                           BPoint(140, 15)};
const BRect kFrames[PellaraBMPView::kSlotCount] = {
    BRect(10, 20, 120, 110), BRect(10, 140, 120, 230), BRect(140, 20, 490, 390)};

const char* const kConstantsCaption = "Constants...";
const BPoint kConstantsPoint(10, 285);

const BRect kAFrame(10, 290, 70, 300);
const BRect kLFrame(10, 310, 70, 320);
const float kDivider = 17;

} // namespace

PellaraBMPView::PellaraBMPView(BRect frame, const char* name, uint32 resizingMode, uint32 flags)
    : BView(frame, name, resizingMode, flags)
{
    for (BBitmap*& bitmap : bitmaps)
        bitmap = nullptr;
    engine = new VPellaraObject();

    aEdit = new BTextControl(kAFrame, "a-edit", "A :", "", nullptr, B_FOLLOW_LEFT | B_FOLLOW_TOP,
                             B_WILL_DRAW | B_NAVIGABLE);
    aEdit->SetDivider(kDivider);
    lEdit = new BTextControl(kLFrame, "l-edit", "L :", "", nullptr, B_FOLLOW_LEFT | B_FOLLOW_TOP,
                             B_WILL_DRAW | B_NAVIGABLE);
    lEdit->SetDivider(kDivider);

    // Nothing reads the fields back, so typing into them must not suggest
    // it changes anything: they only show the constants.
    aEdit->TextView()->MakeEditable(false);
    lEdit->TextView()->MakeEditable(false);

    // The fields grow to fit the desktop's font, but never into each other.
    const float kMaxHeight = kLFrame.top - kAFrame.top - 2;
    for (BTextControl* field : {aEdit, lEdit})
        if (field->Bounds().Height() > kMaxHeight)
            field->ResizeTo(field->Bounds().Width(), kMaxHeight);

    BString text;
    text << long(engine->A);
    aEdit->SetText(text.String());
    text = "";
    text << long(engine->L);
    lEdit->SetText(text.String());

    SetViewColor(tint_color(ui_color(B_PANEL_BACKGROUND_COLOR), B_NO_TINT));
    AddChild(aEdit);
    AddChild(lEdit);
}

PellaraBMPView::~PellaraBMPView()
{
    delete engine;
    for (BBitmap* bitmap : bitmaps) {
        if (bitmap != nullptr)
            delete bitmap;
    }
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

// The board is small: it is redrawn whole on every call.
void PellaraBMPView::Draw(BRect updateRect)
{
    BView::Draw(updateRect);
    SetHighColor(0, 0, 0, 255);
    SetLowColor(ViewColor());
    for (int32 slot = 0; slot < kSlotCount; slot++) {
        DrawString(kCaptions[slot], kCaptionPoints[slot]);
        StrokeRect(kFrames[slot], B_SOLID_HIGH);
        if (bitmaps[slot] != nullptr)
            DrawBitmap(bitmaps[slot], kFrames[slot].InsetByCopy(1, 1));
    }
    DrawString(kConstantsCaption, kConstantsPoint);
}

void PellaraBMPView::SetBitmap(BMessage* message)
{
    BPoint point;
    entry_ref ref;
    if (message->FindPoint("_drop_point_", &point) != B_OK ||
        message->FindRef("refs", &ref) != B_OK)
        return;

    BPath path(&ref);
    // A dropped pipe or device would block the window's thread.
    if (path.InitCheck() != B_OK || check_regular_file(path.Path()) != B_OK)
        return;

    ConvertFromScreen(&point);
    int32 slot = kFrames[kMotiveSlot].Contains(point) ? kMotiveSlot : kPictureSlot;

    BBitmap* bitmap = BTranslationUtils::GetBitmapFile(path.Path());
    if (bitmap == nullptr)
        return;
    if (bitmap->InitCheck() != B_OK) {
        delete bitmap;
        return;
    }
    delete bitmaps[slot];
    bitmaps[slot] = bitmap;
    Invalidate();
}

void PellaraBMPView::Fusion()
{
    if (bitmaps[kPictureSlot] == nullptr || bitmaps[kMotiveSlot] == nullptr)
        return;
    engine->GetFrom(bitmaps[kPictureSlot]);
    engine->GetMotive(bitmaps[kMotiveSlot]);
    BBitmap* result = engine->Fusion();
    if (result == nullptr)
        return;
    delete bitmaps[kFusionSlot];
    bitmaps[kFusionSlot] = result;
    Invalidate();
}

BBitmap* PellaraBMPView::Bitmap(int32 slot) const
{
    if (slot < 0 || slot >= kSlotCount)
        return nullptr;
    return bitmaps[slot];
}
