// TZyDib: points, lines, boxes, fills and clearing, straight on the pixel
// memory.
#include "support/Zydib.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int CoordinateBound = 50000;

int Bound(int v)
{
    return std::clamp(v, -CoordinateBound, CoordinateBound);
}

bool MaskBit(const unsigned char* Row, long long Bit)
{
    return (Row[Bit >> 3] & (0x80 >> (Bit & 7))) != 0;
}

} // namespace

void TZyDib::PlotIfOnSurface(long long x, long long y, unsigned char c)
{
    if (OnSurface(x, y))
        PlotPixel(Pixel(x, y), c);
}

bool TZyDib::PSet(int x, int y, unsigned char c)
{
    if (!OnSurface(x, y))
        return false;
    PlotPixel(Pixel(x, y), c);
    SetModified();
    return true;
}

unsigned char TZyDib::PGet(int x, int y) const
{
    return OnSurface(x, y) ? *Pixel(x, y) : 0;
}

bool TZyDib::ZyLine(int x1, int y1, int x2, int y2, unsigned char c, bool Skip)
{
    if (!FBits)
        return false;
    x1 = Bound(x1), y1 = Bound(y1), x2 = Bound(x2), y2 = Bound(y2);
    if (y1 > y2) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    const int dx = std::abs(x2 - x1) + 1, dy = y2 - y1 + 1, sx = x2 > x1 ? 1 : -1;
    int e = 0, x = x1, y = y1;
    if (!Skip)
        PlotIfOnSurface(x, y, c);
    if (x1 == x2 && y1 == y2)
        return true;
    for (;;) {
        if (dx > dy) {
            e += dy;
            if (e >= dx) {
                e -= dx;
                ++y;
            }
            x += sx;
        } else {
            e += dx;
            if (e >= dy) {
                e -= dy;
                x += sx;
            }
            ++y;
        }
        if (x == x2 && y == y2)
            break;
        PlotIfOnSurface(x, y, c);
    }
    if (!Skip)
        PlotIfOnSurface(x2, y2, c);
    return true;
}

bool TZyDib::Line(int x1, int y1, int x2, int y2, unsigned char c)
{
    if (!FBits)
        return false;
    bool drawn = ZyLine(x1, y1, x2, y2, c, false);
    SetModified();
    FPenX = x2;
    FPenY = y2;
    return drawn;
}

bool TZyDib::CLine(int x, int y, unsigned char c)
{
    if (!FBits)
        return false;
    bool drawn = ZyLine(FPenX, FPenY, x, y, c, true);
    PSet(x, y, c);
    SetModified();
    FPenX = x;
    FPenY = y;
    return drawn;
}

bool TZyDib::Box(int x1, int y1, int x2, int y2, unsigned char c)
{
    if (!FBits)
        return false;
    x1 = Bound(x1), y1 = Bound(y1), x2 = Bound(x2), y2 = Bound(y2);
    if (x1 == x2 || y1 == y2) {
        bool drawn = ZyLine(x1, y1, x2, y2, c, false);
        SetModified();
        return drawn;
    }
    // The vertical edges leave out their ends, so every pixel is plotted once.
    bool top = ZyLine(x1, y1, x2, y1, c, false);
    bool left = ZyLine(x1, y1, x1, y2, c, true);
    bool bottom = ZyLine(x1, y2, x2, y2, c, false);
    bool right = ZyLine(x2, y1, x2, y2, c, true);
    SetModified();
    return top && left && bottom && right;
}

bool TZyDib::ZyBoxFill(int x1, int y1, int x2, int y2, unsigned char c, const void* Mask, int mw, int mh)
{
    if (!FBits)
        return false;
    x1 = Bound(x1), y1 = Bound(y1), x2 = Bound(x2), y2 = Bound(y2);
    if (x1 > x2)
        std::swap(x1, x2);
    if (y1 > y2)
        std::swap(y1, y2);
    const int left = std::max(x1, 0), right = std::min(x2, FWidth - 1);
    const int top = std::max(y1, 0), bottom = std::min(y2, FHeight - 1);
    if (left > right || top > bottom)
        return true;
    const auto* mask = static_cast<const unsigned char*>(Mask);
    mw = std::max(mw, 1);
    mh = std::max(mh, 1);
    const long long maskRowBytes = (static_cast<long long>(mw) + 7) / 8;
    for (int y = top; y <= bottom; ++y) {
        unsigned char* row = Pixel(0, y);
        if (!mask && Method == Zy_SET) {
            std::memset(row + left, c, static_cast<std::size_t>(right - left + 1));
            continue;
        }
        const unsigned char* maskRow = mask ? mask + (y - y1) % mh * maskRowBytes : nullptr;
        for (int x = left; x <= right; ++x)
            if (!maskRow || MaskBit(maskRow, (x - x1) % mw))
                PlotPixel(row + x, c);
    }
    return true;
}

bool TZyDib::BoxFill(int x1, int y1, int x2, int y2, unsigned char c)
{
    return Notify(ZyBoxFill(x1, y1, x2, y2, c, nullptr, 0, 0));
}

bool TZyDib::BoxFillM(int x1, int y1, int x2, int y2, unsigned char c, const void* Mask, int mw, int mh)
{
    return Notify(ZyBoxFill(x1, y1, x2, y2, c, Mask, mw, mh));
}

void TZyDib::Cls()
{
    if (!FBits)
        return;
    std::memset(FBits, 0, static_cast<std::size_t>(FHeight) * static_cast<std::size_t>(FLineBytes));
    SetModified();
}

bool TZyDib::Notify(bool Drawn)
{
    if (Drawn)
        SetModified();
    return Drawn;
}
