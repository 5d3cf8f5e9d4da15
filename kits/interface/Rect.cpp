#include <Rect.h>

#include <algorithm>
#include <cmath>

int32 BRect::IntegerWidth() const
{
    return static_cast<int32>(std::ceil(right - left));
}

int32 BRect::IntegerHeight() const
{
    return static_cast<int32>(std::ceil(bottom - top));
}

BRect& BRect::OffsetBy(float dx, float dy)
{
    left += dx;
    right += dx;
    top += dy;
    bottom += dy;
    return *this;
}

BRect& BRect::OffsetTo(float x, float y)
{
    right = x + Width();
    bottom = y + Height();
    left = x;
    top = y;
    return *this;
}

BRect BRect::OffsetByCopy(float dx, float dy) const
{
    BRect r(*this);
    return r.OffsetBy(dx, dy);
}

BRect& BRect::InsetBy(float dx, float dy)
{
    left += dx;
    right -= dx;
    top += dy;
    bottom -= dy;
    return *this;
}

BRect BRect::InsetByCopy(float dx, float dy) const
{
    BRect r(*this);
    return r.InsetBy(dx, dy);
}

BRect BRect::operator&(BRect r) const
{
    return BRect(std::max(left, r.left), std::max(top, r.top), std::min(right, r.right),
                 std::min(bottom, r.bottom));
}

BRect BRect::operator|(BRect r) const
{
    return BRect(std::min(left, r.left), std::min(top, r.top), std::max(right, r.right),
                 std::max(bottom, r.bottom));
}
