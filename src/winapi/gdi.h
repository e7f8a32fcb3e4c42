// The GDI calls the support library's drawing surface makes, over small
// objects of our own: DIB sections (8-bit pixel memory, rows top-down, with a
// 256-entry colour table), logical palettes, memory device contexts and
// device contexts over a QImage, plus the fixed global heap.
//
// Handles are opaque numbers looked up in one table of live objects, so a
// stale or foreign handle is refused (FALSE, null, 0) instead of being
// followed. Window-thread only, like the GDI it stands in for.
#pragma once

#include "winapi/windows.h"

#include <cstddef>

class QImage;

using HANDLE = void*;
using HGDIOBJ = void*;
using HBITMAP = void*;
using HPALETTE = void*;
using HDC = void*;
using HWND = void*;
using HGLOBAL = void*;

struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
    bool operator==(const tagRGBQUAD&) const = default;
};
using RGBQUAD = tagRGBQUAD;

struct PALETTEENTRY {
    BYTE peRed;
    BYTE peGreen;
    BYTE peBlue;
    BYTE peFlags;
    bool operator==(const PALETTEENTRY&) const = default;
};

struct LOGPALETTE {
    WORD palVersion;
    WORD palNumEntries;
    PALETTEENTRY palPalEntry[1]; // palNumEntries entries follow in the same block
};

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};

struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1]; // biClrUsed colours follow in the same block
};

constexpr DWORD BI_RGB = 0;
constexpr UINT DIB_RGB_COLORS = 0;
constexpr int DEFAULT_PALETTE = 15;
constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Fixed global memory: GlobalAlloc gives null when the block cannot be had
// (also for a size of 0); GlobalFree of null does nothing and returns null.
HGLOBAL GlobalAlloc(UINT Flags, std::size_t Bytes);
HGLOBAL GlobalFree(HGLOBAL Block);

// The desktop and its screen context (a context with nothing selected).
HWND GetDesktopWindow();
HDC GetDC(HWND Window);
int ReleaseDC(HWND Window, HDC Dc);

// DEFAULT_PALETTE is the standard 20-colour system palette (the 16 VGA
// colours and the 4 reserved ones, in the system's order).
HGDIOBJ GetStockObject(int Which);
HPALETTE CreatePalette(const LOGPALETTE* Palette);
// Both copy at most the entries the palette has from Start on; the result is
// the count copied, 0 for a bad handle or a null table.
UINT GetPaletteEntries(HPALETTE Palette, UINT Start, UINT Count, PALETTEENTRY* Entries);
UINT SetPaletteEntries(HPALETTE Palette, UINT Start, UINT Count, const PALETTEENTRY* Entries);
// Deletes a bitmap or palette; stock objects and unknown handles give FALSE.
BOOL DeleteObject(HGDIOBJ Object);

// Only top-down (negative biHeight) 8-bit BI_RGB sections with a positive
// width are made; the pixel memory is zero-filled and stored in *Bits (null when the
// section cannot be made, or the result is null). The colour table takes
// biClrUsed entries (256 when 0) from the description. Sections above 1 GiB
// are refused.
HBITMAP CreateDIBSection(HDC Dc, const BITMAPINFO* Info, UINT Usage, void** Bits, HANDLE Section, DWORD Offset);

// A memory context; selecting a bitmap returns the one it replaces (a
// context starts with a 1 x 1 placeholder of its own, as GDI's does).
HDC CreateCompatibleDC(HDC Dc);
HGDIOBJ SelectObject(HDC Dc, HGDIOBJ Object);
BOOL DeleteDC(HDC Dc);
// The colour table of the DIB section selected into Dc: at most the entries
// from Start to 255; the result is the count, 0 without a DIB section.
UINT GetDIBColorTable(HDC Dc, UINT Start, UINT Count, RGBQUAD* Colors);
UINT SetDIBColorTable(HDC Dc, UINT Start, UINT Count, const RGBQUAD* Colors);

// A context that draws into a QImage the caller keeps alive until DeleteDC.
// Any format can be read from; an indexed image cannot be drawn into.
HDC CreateImageDC(QImage* Image);

// Copies w x h pixels (SRCCOPY only) from (sx, sy) of Src to (x, y) of Dst,
// clipped to both. Between DIB sections with the same colour table the
// indices are copied; otherwise colours are converted, into a DIB section by
// the nearest entry of its colour table. FALSE when a context is not valid
// or has no bitmap; TRUE otherwise, also when nothing was inside.
BOOL BitBlt(HDC Dst, int x, int y, int w, int h, HDC Src, int sx, int sy, DWORD Rop);

// For the framework's bitmap: the geometry of a DIB section. False for a
// handle that is not a live DIB section.
struct TDibSectionInfo {
    int Width;
    int Height;
    int LineBytes;
    BYTE* Bits;
    const RGBQUAD* Colors; // 256 entries
};
bool GetDibSectionInfo(HBITMAP Bitmap, TDibSectionInfo* Info);
