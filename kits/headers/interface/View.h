// A drawing surface inside a window, or inside a bitmap that accepts views.
#ifndef _VIEW_H
#define _VIEW_H

#include <Font.h>
#include <GraphicsDefs.h>
#include <Handler.h>
#include <InterfaceDefs.h>
#include <Rect.h>

class BBitmap;
class BWindow;

// Resizing modes, composed as the platform composes them (top, left, bottom,
// right rules in one nibble each).
enum
{
    _VIEW_TOP_ = 1,
    _VIEW_LEFT_ = 2,
    _VIEW_BOTTOM_ = 3,
    _VIEW_RIGHT_ = 4,
    _VIEW_CENTER_ = 5,
};

inline constexpr uint32 _rule_(uint32 top, uint32 left, uint32 bottom, uint32 right)
{
    return (top << 12) | (left << 8) | (bottom << 4) | right;
}

inline constexpr uint32 B_FOLLOW_NONE = 0;
inline constexpr uint32 B_FOLLOW_LEFT = _rule_(0, _VIEW_LEFT_, 0, _VIEW_LEFT_);
inline constexpr uint32 B_FOLLOW_RIGHT = _rule_(0, _VIEW_RIGHT_, 0, _VIEW_RIGHT_);
inline constexpr uint32 B_FOLLOW_LEFT_RIGHT = _rule_(0, _VIEW_LEFT_, 0, _VIEW_RIGHT_);
inline constexpr uint32 B_FOLLOW_H_CENTER = _rule_(0, _VIEW_CENTER_, 0, _VIEW_CENTER_);
inline constexpr uint32 B_FOLLOW_TOP = _rule_(_VIEW_TOP_, 0, _VIEW_TOP_, 0);
inline constexpr uint32 B_FOLLOW_BOTTOM = _rule_(_VIEW_BOTTOM_, 0, _VIEW_BOTTOM_, 0);
inline constexpr uint32 B_FOLLOW_TOP_BOTTOM = _rule_(_VIEW_TOP_, 0, _VIEW_BOTTOM_, 0);
inline constexpr uint32 B_FOLLOW_V_CENTER = _rule_(_VIEW_CENTER_, 0, _VIEW_CENTER_, 0);
inline constexpr uint32 B_FOLLOW_ALL = B_FOLLOW_LEFT_RIGHT | B_FOLLOW_TOP_BOTTOM;

// View flags.
inline constexpr uint32 B_FULL_UPDATE_ON_RESIZE = 0x80000000;
inline constexpr uint32 B_WILL_DRAW = 0x20000000;
inline constexpr uint32 B_PULSE_NEEDED = 0x04000000;
inline constexpr uint32 B_NAVIGABLE_JUMP = 0x01000000;
inline constexpr uint32 B_FRAME_EVENTS = 0x10000000;
inline constexpr uint32 B_NAVIGABLE = 0x02000000;

class BView : public BHandler
{
public:
    BView(BRect frame, const char* name, uint32 resizingMode, uint32 flags);
    virtual ~BView();

    virtual void Draw(BRect updateRect);
    virtual void MessageReceived(BMessage* message);
    virtual void AttachedToWindow();
    virtual void DetachedFromWindow();

    void AddChild(BView* child, BView* before = nullptr);
    bool RemoveChild(BView* child);
    int32 CountChildren() const;
    BView* ChildAt(int32 index) const;
    BView* FindView(const char* name) const;
    BView* Parent() const;
    BWindow* Window() const;
    bool RemoveSelf();

    BRect Bounds() const;
    BRect Frame() const;
    uint32 ResizingMode() const;
    uint32 Flags() const;
    void MoveTo(BPoint where);
    void ResizeTo(float width, float height);

    void SetHighColor(rgb_color color);
    void SetHighColor(uint8 r, uint8 g, uint8 b, uint8 a = 255);
    rgb_color HighColor() const;
    void SetLowColor(rgb_color color);
    void SetLowColor(uint8 r, uint8 g, uint8 b, uint8 a = 255);
    rgb_color LowColor() const;
    void SetViewColor(rgb_color color);
    void SetViewColor(uint8 r, uint8 g, uint8 b, uint8 a = 255);
    rgb_color ViewColor() const;

    // Without SetFont a view draws strings in its widget's font.
    void SetFont(const BFont* font, uint32 mask = B_FONT_ALL);
    void GetFont(BFont* font) const;
    float StringWidth(const char* string) const;
    void DrawString(const char* string, BPoint baseline);
    void StrokeRect(BRect rect, ::pattern p = B_SOLID_HIGH);
    void FillRect(BRect rect, ::pattern p = B_SOLID_HIGH);
    // Bitmaps are scaled to fill the destination's inclusive area and drawn
    // opaque, whatever their alpha bytes hold.
    void DrawBitmap(const BBitmap* bitmap, BRect destination);
    void DrawBitmap(const BBitmap* bitmap, BRect source, BRect destination);
    void DrawBitmap(const BBitmap* bitmap, BPoint where);
    void DrawBitmap(const BBitmap* bitmap);
    void DrawBitmapAsync(const BBitmap* bitmap, BRect destination);
    void DrawBitmapAsync(const BBitmap* bitmap, BRect source, BRect destination);
    void DrawBitmapAsync(const BBitmap* bitmap, BPoint where);
    void Sync() const;
    void Flush() const;

    void ConvertToScreen(BPoint* point) const;
    BPoint ConvertToScreen(BPoint point) const;
    void ConvertFromScreen(BPoint* point) const;
    BPoint ConvertFromScreen(BPoint point) const;
    void ConvertToParent(BPoint* point) const;
    void ConvertFromParent(BPoint* point) const;

    void Invalidate();
    void Invalidate(BRect rect);

    struct Private;

private:
    friend struct KitAccess;
    friend class BBitmap;
    friend class BWindow;

    void _AttachToBitmap(BBitmap* bitmap);
    void _DetachFromBitmap();

    Private* fPrivate;
};

#endif // _VIEW_H
