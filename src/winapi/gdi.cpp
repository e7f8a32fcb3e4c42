#include "winapi/gdi.h"

#include <QImage>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

struct GdiObject {
    virtual ~GdiObject() = default;
};

struct DibSection : GdiObject {
    int Width = 0;
    int Height = 0;
    int LineBytes = 0;
    std::unique_ptr<BYTE[]> Bits;
    std::array<RGBQUAD, 256> Colors{};
};

struct Palette : GdiObject {
    std::vector<PALETTEENTRY> Entries;
};

struct DeviceContext : GdiObject {
    HGDIOBJ Selected = nullptr; // a DIB section or null
    QImage* Image = nullptr;    // for a context over a QImage
};

constexpr std::size_t MaxSectionBytes = std::size_t{1} << 30;

std::unordered_map<void*, std::unique_ptr<GdiObject>>& Objects()
{
    static std::unordered_map<void*, std::unique_ptr<GdiObject>> objects;
    return objects;
}

template <typename T>
T* Find(void* Handle)
{
    auto it = Objects().find(Handle);
    return it == Objects().end() ? nullptr : dynamic_cast<T*>(it->second.get());
}

template <typename T>
void* Keep(std::unique_ptr<T> Object)
{
    void* handle = Object.get();
    Objects().emplace(handle, std::move(Object));
    return handle;
}

// The standard system palette, {red, green, blue}.
constexpr BYTE SystemColours[20][3] = {
    {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
    {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
    {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
    {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

HPALETTE StockPalette()
{
    static HPALETTE stock = [] {
        auto palette = std::make_unique<Palette>();
        for (const auto& c : SystemColours)
            palette->Entries.push_back({c[0], c[1], c[2], 0});
        return Keep(std::move(palette));
    }();
    return stock;
}

HWND const Desktop = reinterpret_cast<HWND>(std::uintptr_t{0x10010});

DibSection* SelectedDib(HDC Dc)
{
    auto* dc = Find<DeviceContext>(Dc);
    return dc ? Find<DibSection>(dc->Selected) : nullptr;
}

// One side of a block copy: a DIB section or a QImage.
struct Surface {
    DibSection* Dib = nullptr;
    QImage* Image = nullptr;

    int Width() const { return Dib ? Dib->Width : Image->width(); }
    int Height() const { return Dib ? Dib->Height : Image->height(); }
    QRgb Get(int x, int y) const
    {
        if (!Dib)
            return Image->pixel(x, y);
        const RGBQUAD& c = Dib->Colors[Dib->Bits[static_cast<std::size_t>(y) * Dib->LineBytes + x]];
        return qRgb(c.rgbRed, c.rgbGreen, c.rgbBlue);
    }
};

bool OpenSurface(HDC Dc, Surface* Side)
{
    auto* dc = Find<DeviceContext>(Dc);
    if (!dc)
        return false;
    if (dc->Image)
        Side->Image = dc->Image;
    else
        Side->Dib = Find<DibSection>(dc->Selected);
    return Side->Dib || (Side->Image && !Side->Image->isNull());
}

BYTE NearestIndex(const DibSection& Dib, QRgb Colour)
{
    int best = 0;
    long bestDistance = -1;
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD& c = Dib.Colors[static_cast<std::size_t>(i)];
        long dr = qRed(Colour) - c.rgbRed, dg = qGreen(Colour) - c.rgbGreen, db = qBlue(Colour) - c.rgbBlue;
        long distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return static_cast<BYTE>(best);
}

void CopyPixels(Surface& Dst, int x, int y, int w, int h, const Surface& Src, int sx, int sy)
{
    bool sameTable = Dst.Dib && Src.Dib && Dst.Dib->Colors == Src.Dib->Colors;
    bool upwards = Dst.Dib == Src.Dib && y > sy; // within one section, never read a row already written
    std::unordered_map<QRgb, BYTE> nearest;
    for (int n = 0; n < h; ++n) {
        int j = upwards ? h - 1 - n : n;
        if (sameTable) {
            std::memmove(Dst.Dib->Bits.get() + static_cast<std::size_t>(y + j) * Dst.Dib->LineBytes + x,
                         Src.Dib->Bits.get() + static_cast<std::size_t>(sy + j) * Src.Dib->LineBytes + sx,
                         static_cast<std::size_t>(w));
            continue;
        }
        for (int i = 0; i < w; ++i) {
            QRgb colour = Src.Get(sx + i, sy + j);
            if (Dst.Image) {
                Dst.Image->setPixel(x + i, y + j, colour);
                continue;
            }
            auto it = nearest.find(colour);
            if (it == nearest.end())
                it = nearest.emplace(colour, NearestIndex(*Dst.Dib, colour)).first;
            Dst.Dib->Bits[static_cast<std::size_t>(y + j) * Dst.Dib->LineBytes + x + i] = it->second;
        }
    }
}

// Narrows a 1-D span [Pos, Pos + Len) and its partner to both extents.
void ClipSpan(long long& Pos, long long& Other, long long& Len, long long Extent, long long OtherExtent)
{
    long long shift = std::max({0LL, -Pos, -Other});
    Pos += shift;
    Other += shift;
    Len -= shift;
    Len = std::min({Len, Extent - Pos, OtherExtent - Other});
}

} // namespace

HGLOBAL GlobalAlloc(UINT Flags, std::size_t Bytes)
{
    if (Bytes == 0)
        return nullptr;
    return (Flags & GMEM_ZEROINIT) ? std::calloc(1, Bytes) : std::malloc(Bytes);
}

HGLOBAL GlobalFree(HGLOBAL Block)
{
    std::free(Block);
    return nullptr;
}

HWND GetDesktopWindow()
{
    return Desktop;
}

HDC GetDC(HWND)
{
    return Keep(std::make_unique<DeviceContext>());
}

int ReleaseDC(HWND, HDC Dc)
{
    return Find<DeviceContext>(Dc) && Objects().erase(Dc) ? 1 : 0;
}

HGDIOBJ GetStockObject(int Which)
{
    return Which == DEFAULT_PALETTE ? StockPalette() : nullptr;
}

HPALETTE CreatePalette(const LOGPALETTE* Source)
{
    if (!Source || Source->palNumEntries == 0)
        return nullptr;
    auto palette = std::make_unique<Palette>();
    palette->Entries.assign(Source->palPalEntry, Source->palPalEntry + Source->palNumEntries);
    return Keep(std::move(palette));
}

UINT GetPaletteEntries(HPALETTE Handle, UINT Start, UINT Count, PALETTEENTRY* Entries)
{
    auto* palette = Find<Palette>(Handle);
    if (!palette || !Entries || Start >= palette->Entries.size())
        return 0;
    UINT n = std::min<UINT>(Count, static_cast<UINT>(palette->Entries.size()) - Start);
    std::copy_n(palette->Entries.begin() + Start, n, Entries);
    return n;
}

UINT SetPaletteEntries(HPALETTE Handle, UINT Start, UINT Count, const PALETTEENTRY* Entries)
{
    auto* palette = Find<Palette>(Handle);
    if (!palette || !Entries || Handle == StockPalette() || Start >= palette->Entries.size())
        return 0;
    UINT n = std::min<UINT>(Count, static_cast<UINT>(palette->Entries.size()) - Start);
    std::copy_n(Entries, n, palette->Entries.begin() + Start);
    return n;
}

BOOL DeleteObject(HGDIOBJ Object)
{
    if (Object == StockPalette() || !(Find<DibSection>(Object) || Find<Palette>(Object)))
        return FALSE;
    Objects().erase(Object);
    return TRUE;
}

HBITMAP CreateDIBSection(HDC, const BITMAPINFO* Info, UINT Usage, void** Bits, HANDLE, DWORD)
{
    if (Bits)
        *Bits = nullptr;
    if (!Info || Usage != DIB_RGB_COLORS)
        return nullptr;
    const BITMAPINFOHEADER& h = Info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biBitCount != 8 || h.biCompression != BI_RGB || h.biWidth <= 0 ||
        h.biHeight >= 0 || h.biClrUsed > 256)
        return nullptr;
    long long height = -static_cast<long long>(h.biHeight);
    long long lineBytes = (static_cast<long long>(h.biWidth) + 3) / 4 * 4;
    if (static_cast<unsigned long long>(lineBytes * height) > MaxSectionBytes)
        return nullptr;
    auto dib = std::make_unique<DibSection>();
    dib->Bits.reset(new (std::nothrow) BYTE[static_cast<std::size_t>(lineBytes * height)]());
    if (!dib->Bits)
        return nullptr;
    dib->Width = h.biWidth;
    dib->Height = static_cast<int>(height);
    dib->LineBytes = static_cast<int>(lineBytes);
    std::copy_n(Info->bmiColors, h.biClrUsed ? h.biClrUsed : 256, dib->Colors.begin());
    if (Bits)
        *Bits = dib->Bits.get();
    return Keep(std::move(dib));
}

HDC CreateCompatibleDC(HDC)
{
    return Keep(std::make_unique<DeviceContext>());
}

HGDIOBJ SelectObject(HDC Dc, HGDIOBJ Object)
{
    auto* dc = Find<DeviceContext>(Dc);
    if (!dc || dc->Image || !(Object == nullptr || Object == Dc || Find<DibSection>(Object)))
        return nullptr;
    HGDIOBJ previous = dc->Selected ? dc->Selected : Dc; // the context itself stands for its placeholder
    dc->Selected = Object == Dc ? nullptr : Object;
    return previous;
}

BOOL DeleteDC(HDC Dc)
{
    return Find<DeviceContext>(Dc) && Objects().erase(Dc) ? TRUE : FALSE;
}

UINT GetDIBColorTable(HDC Dc, UINT Start, UINT Count, RGBQUAD* Colors)
{
    DibSection* dib = SelectedDib(Dc);
    if (!dib || !Colors || Start >= 256)
        return 0;
    UINT n = std::min<UINT>(Count, 256 - Start);
    std::copy_n(dib->Colors.begin() + Start, n, Colors);
    return n;
}

UINT SetDIBColorTable(HDC Dc, UINT Start, UINT Count, const RGBQUAD* Colors)
{
    DibSection* dib = SelectedDib(Dc);
    if (!dib || !Colors || Start >= 256)
        return 0;
    UINT n = std::min<UINT>(Count, 256 - Start);
    std::copy_n(Colors, n, dib->Colors.begin() + Start);
    return n;
}

HDC CreateImageDC(QImage* Image)
{
    if (!Image)
        return nullptr;
    auto dc = std::make_unique<DeviceContext>();
    dc->Image = Image;
    return Keep(std::move(dc));
}

BOOL BitBlt(HDC Dst, int x, int y, int w, int h, HDC Src, int sx, int sy, DWORD Rop)
{
    Surface dst, src;
    if (Rop != SRCCOPY || !OpenSurface(Dst, &dst) || !OpenSurface(Src, &src) ||
        (dst.Image && dst.Image->format() == QImage::Format_Indexed8))
        return FALSE;
    long long dx = x, dy = y, ssx = sx, ssy = sy, cw = w, ch = h;
    ClipSpan(dx, ssx, cw, dst.Width(), src.Width());
    ClipSpan(dy, ssy, ch, dst.Height(), src.Height());
    if (cw > 0 && ch > 0)
        CopyPixels(dst, static_cast<int>(dx), static_cast<int>(dy), static_cast<int>(cw), static_cast<int>(ch), src,
                   static_cast<int>(ssx), static_cast<int>(ssy));
    return TRUE;
}

bool GetDibSectionInfo(HBITMAP Bitmap, TDibSectionInfo* Info)
{
    auto* dib = Find<DibSection>(Bitmap);
    if (!dib || !Info)
        return false;
    *Info = {dib->Width, dib->Height, dib->LineBytes, dib->Bits.get(), dib->Colors.data()};
    return true;
}
