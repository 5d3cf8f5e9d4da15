// Rectangles with inclusive edges: (10, 20, 120, 110) covers columns 10..120.
#ifndef _RECT_H
#define _RECT_H

#include <Point.h>

class BRect
{
public:
    float left;
    float top;
    float right;
    float bottom;

    // The default rectangle is invalid (right < left), as on the platform.
    constexpr BRect() : left(0), top(0), right(-1), bottom(-1) {}
    constexpr BRect(float l, float t, float r, float b) : left(l), top(t), right(r), bottom(b) {}
    constexpr BRect(BPoint leftTop, BPoint rightBottom)
        : left(leftTop.x), top(leftTop.y), right(rightBottom.x), bottom(rightBottom.y)
    {
    }

    void Set(float l, float t, float r, float b)
    {
        left = l;
        top = t;
        right = r;
        bottom = b;
    }

    BPoint LeftTop() const { return BPoint(left, top); }
    BPoint RightBottom() const { return BPoint(right, bottom); }
    BPoint LeftBottom() const { return BPoint(left, bottom); }
    BPoint RightTop() const { return BPoint(right, top); }

    float Width() const { return right - left; }
    float Height() const { return bottom - top; }
    int32 IntegerWidth() const;
    int32 IntegerHeight() const;

    bool IsValid() const { return left <= right && top <= bottom; }
    bool Contains(BPoint p) const
    {
        return p.x >= left && p.x <= right && p.y >= top && p.y <= bottom;
    }
    bool Contains(BRect r) const
    {
        return r.left >= left && r.right <= right && r.top >= top && r.bottom <= bottom;
    }

    BRect& OffsetBy(float dx, float dy);
    BRect& OffsetTo(float x, float y);
    BRect OffsetByCopy(float dx, float dy) const;
    BRect& InsetBy(float dx, float dy);
    BRect InsetByCopy(float dx, float dy) const;

    BRect operator&(BRect r) const; // intersection
    BRect operator|(BRect r) const; // union
    bool operator==(BRect r) const
    {
        return left == r.left && top == r.top && right == r.right && bottom == r.bottom;
    }
    bool operator!=(BRect r) const { return !(*this == r); }
};

#endif // _RECT_H
