// Zybitmap: the 3-byte colour TZyRGB and the loaders that read 8-bit and
// 24-bit Windows bitmaps and 256-colour palette (ACT) files from disk, from
// the program's resources, from memory or from an entry of a pack (Zypack).
//
// Buffers. Every buffer argument is a pointer to the caller's buffer pointer:
//  - null: that output is not produced;
//  - pointer to null: the loader allocates the buffer with GlobalAlloc
//    (fixed memory) and stores it there; the caller frees it with GlobalFree.
//    A palette is always allocated with 256 entries, zero-filled, so entries
//    a file does not give are black {0, 0, 0, 0};
//  - pointer to a buffer: the loader writes into it; it must hold 256
//    palette entries, or width x height pixels.
// On a false result nothing has been allocated for the caller, and width and
// height are not written; they are written (when not null) only on true.
// Pixel buffers hold the rows from the top of the picture to the bottom
// without padding: row y starts at y x width (for TZyRGB, at element
// y x width).
//
// What a BMP loader accepts (anything else gives false):
//  - the 14-byte file header (not looked at) and an info header of at least
//    40 bytes; the bytes of a longer header (V4, V5) are skipped;
//  - width > 0 and height != 0; a negative height is a top-down picture of
//    |height| rows, given to the caller like any other (top row first);
//  - no compression (biCompression 0); RLE and bit-field bitmaps are refused;
//  - 8 bits per pixel (all loaders) or 24 (the true-colour loaders);
//  - an 8-bit colour table of N entries, N the low 16 bits of biClrUsed when
//    that is not 0, else 256; of a table above 256 entries only the first 256
//    are used and the rest skipped. A 24-bit picture has no table;
//  - a source that holds every byte the header promises (the padding after
//    the last row may be missing); a truncated or absurd file is refused
//    before anything is allocated, and width x height x bytes per pixel must
//    stay below 2^31;
//  - in the true-colour conversion of an 8-bit picture, an index at or above
//    N gives black.
// A buffer that cannot be allocated gives false. The loaders never raise and
// never show a message.
//
// Resources are complete .bmp files compiled into the program with Qt's
// resource system under their integer identifier, at ":/bitmaps/<id>.bmp"
// (for example ":/bitmaps/101.bmp"). The module handle stands for the
// program on every platform: it is accepted and not used (null is fine).
//
// Palette files: 256 colours of 3 bytes (red, green, blue), colour 0 first,
// no header; only the first 768 bytes are read. A shorter file gives its
// colours, the rest of the 256 entries is black. Without a palette argument
// the call only tells whether the source can be opened.
#pragma once

#include "framework/ansi_string.h"
#include "winapi/gdi.h"

#include <cstddef>

class TZyPack;

// A colour of three bytes, blue, green, red, in that order and nothing else:
// an array of TZyRGB has 3 bytes per element.
struct TZyRGB {
    unsigned char Blue = 0;
    unsigned char Green = 0;
    unsigned char Red = 0;

    TZyRGB() = default;
    TZyRGB(unsigned char R, unsigned char G, unsigned char B) : Blue(B), Green(G), Red(R) {}
    // The reserved byte is dropped.
    TZyRGB(const RGBQUAD& Quad) : Blue(Quad.rgbBlue), Green(Quad.rgbGreen), Red(Quad.rgbRed) {}
    // 0x00RRGGBB: blue from bits 0-7, green 8-15, red 16-23; higher bits ignored.
    TZyRGB(unsigned long Value)
        : Blue(static_cast<unsigned char>(Value)), Green(static_cast<unsigned char>(Value >> 8)),
          Red(static_cast<unsigned char>(Value >> 16))
    {
    }

    TZyRGB& operator=(const TZyRGB&) = default;
    TZyRGB& operator=(const RGBQUAD& Quad) { return *this = TZyRGB(Quad); }
    TZyRGB& operator=(unsigned long Value) { return *this = TZyRGB(Value); }

    // {blue, green, red, 0}.
    RGBQUAD ToRGBQUAD() const { return RGBQUAD{Blue, Green, Red, 0}; }
    // 0x00RRGGBB (not the 0x00BBGGRR order of a COLORREF).
    unsigned long ToDWORD() const
    {
        return (static_cast<unsigned long>(Red) << 16) | (static_cast<unsigned long>(Green) << 8) | Blue;
    }
};
static_assert(sizeof(TZyRGB) == 3, "TZyRGB arrays are read and written as 3 bytes per colour");

// 8-bit bitmaps: palette and palette-index pixels.
bool LoadBmpFile(const AnsiString& FileName, RGBQUAD** Palette, unsigned char** Pixels, int* Width, int* Height);
bool LoadBmpResource(void* Module, int Id, RGBQUAD** Palette, unsigned char** Pixels, int* Width, int* Height);
// An entry of an open pack (read through Zyfopen / Zyfread); a null pack or
// a name not in it gives false.
bool LoadBmpPack(TZyPack* Pack, const AnsiString& Name, RGBQUAD** Palette, unsigned char** Pixels, int* Width,
                 int* Height);
// Data and Size are a complete BMP file in memory (Data may be null when Size is 0).
bool LoadBmpMemory(const void* Data, std::size_t Size, RGBQUAD** Palette, unsigned char** Pixels, int* Width,
                   int* Height);

// Palette files.
bool LoadActFile(const AnsiString& FileName, RGBQUAD** Palette);
bool LoadActPack(TZyPack* Pack, const AnsiString& Name, RGBQUAD** Palette);

// 8-bit and 24-bit bitmaps as true-colour pixels.
bool LoadBmp24File(const AnsiString& FileName, TZyRGB** Pixels, int* Width, int* Height);
bool LoadBmp24Resource(void* Module, int Id, TZyRGB** Pixels, int* Width, int* Height);
bool LoadBmp24Pack(TZyPack* Pack, const AnsiString& Name, TZyRGB** Pixels, int* Width, int* Height);
bool LoadBmp24Memory(const void* Data, std::size_t Size, TZyRGB** Pixels, int* Width, int* Height);
