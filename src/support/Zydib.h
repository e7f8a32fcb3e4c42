// Zydib: TZyDib, an 8-bit, 256-colour drawing surface over a DIB section of
// its own, with a logical palette kept equal to the section's colour table,
// direct access to the pixel memory, drawing primitives, pattern transfers,
// resizing and picture loading.
//
// The surface. Width x Height pixels of one byte (a palette index), rows
// from the top of the picture down, each row LineBytes() = (Width + 3)
// rounded down to a multiple of 4 bytes long: pixel (x, y) is the byte at
// y x LineBytes() + x of ImagePtr(); x grows right, y down, (0, 0) is the top
// left. New pixel memory is zero-filled. A size that is not positive, or a
// section above 1 GiB, gives no surface.
//
// Without a surface every drawing, palette and transfer operation does
// nothing and returns false (PGet 0, ImagePtr and GetBmpDC null). Nothing is
// ever raised or shown. Coordinates may be any int: what falls outside the
// surface is not drawn; lines and rectangles first clamp their coordinates
// into -50000 .. 50000. Null pattern, mask (where one is required), buffer,
// source surface or colour arguments give false (or do nothing).
//
// Colours are put into pixels by Method (PlotPixel): with old pixel p and
// colour c, Zy_SET c, Zy_NOT 255 - c, Zy_AND p & c, Zy_OR p | c, Zy_XOR
// p ^ c, Zy_ADD p + c up to 255, Zy_SUB p - c down to 0, Zy_MED (p + c) / 2;
// any other value leaves p.
//
// Binding. A TBitmap (or a TImage's bitmap) can share the surface's DIB
// section; while bound the bitmap owns the section's handle and must stay
// alive (unbind it, or end the surface, before destroying it), and a bound
// image must belong to the same owner as the surface, so that its removal
// reaches the surface (the surface then makes a fresh one, the picture is
// lost). Every change of pixels or palette ends with SetModified, which
// runs OnChange and, while the modification switch is on, marks the bound
// bitmap modified; ModifiedOff / ModifiedOn nest and, while off, keep the
// bound bitmap's notices back until the switch comes on again. The Zy...
// primitives (ZyLine, ZyBoxFill, ZyPutPat, ZyPutPatR, ZyPutPatM,
// ZyPutPatMR) draw without the notice; reading operations never give it.
#pragma once

#include "framework/classes.h"
#include "framework/graphics.h"
#include "support/Zybitmap.h"
#include "winapi/gdi.h"

#include <functional>

class TZyPack;

enum TZyMethod : unsigned char { Zy_SET, Zy_NOT, Zy_AND, Zy_OR, Zy_XOR, Zy_ADD, Zy_SUB, Zy_MED };

class TZyDib : public TComponent {
public:
    // 640 x 480, or the size given; the palette is the system's default one
    // (its colours 0-9 in entries 0-9, 10-19 in 246-255, colour 0 between).
    explicit TZyDib(TComponent* Owner);
    TZyDib(TComponent* Owner, int Width, int Height);
    ~TZyDib() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // Published properties: Width, Height, Image, Method, Reverse, OnChange.
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // Resize keeping the picture (ResizeDib); without a surface, set the
    // size and make one.
    void SetWidth(int Value);
    void SetHeight(int Value);
    TImage* Image() const { return FImage; }
    // Binds the image's bitmap (null unbinds).
    void SetImage(TImage* Image);
    TZyMethod Method = Zy_SET;
    // Pattern transfers draw mirrored left to right.
    bool Reverse = false;
    TNotifyEvent OnChange;

    // The surface. InitDib makes one when there is none (not while
    // designing); EndDib unbinds, releases the held context and deletes it.
    void InitDib();
    void EndDib();
    unsigned char* ImagePtr() const { return FBits; }
    int LineBytes() const { return FLineBytes; }

    // Binding (null bitmaps are ignored). StartBitmap turns the
    // modification switch on; EndBitmap also clears Image.
    void StartBitmap(TBitmap* Bitmap);
    void EndBitmap();
    void SetBitmap(TBitmap* Bitmap);
    // A memory context with the section selected, held until ReleaseBmpDC;
    // null while already held or without a surface.
    HDC GetBmpDC();
    void ReleaseBmpDC();

    // Palette. Set... write the logical palette and the colour table alike;
    // Ask... read the colour table. Tables hold 256 entries; an index
    // outside 0..255 does nothing.
    void SetPal1(int Index, const tagRGBQUAD* Colour);
    void SetPal1(int Index, const TZyRGB* Colour);
    void SetPal2(const tagRGBQUAD* Table);
    void SetPal2(const TZyRGB* Table);
    void AskPal1(int Index, tagRGBQUAD* Colour);
    void AskPal1(int Index, TZyRGB* Colour);
    void AskPal2(tagRGBQUAD* Table);
    void AskPal2(TZyRGB* Table);
    void InitPal();

    // Change tracking.
    void SetModified();
    void ChgModifiedSw(bool On);
    void ModifiedOff();
    void ModifiedOn();
    void Change();

    // Points, lines, boxes, fills. Masks: mw x mh bits, rows of (mw + 7) / 8
    // bytes, most significant bit first, laid from the rectangle's top-left
    // corner and repeated; a set bit draws. A mask size below 1 acts as 1.
    bool PSet(int x, int y, unsigned char c);
    unsigned char PGet(int x, int y) const;
    // Skip leaves out the two endpoints.
    bool ZyLine(int x1, int y1, int x2, int y2, unsigned char c, bool Skip);
    // Both set the pen to the end point; CLine continues from the pen
    // without plotting its start again.
    bool Line(int x1, int y1, int x2, int y2, unsigned char c);
    bool CLine(int x, int y, unsigned char c);
    // Outlines and fills include both corners; each pixel is plotted once.
    bool Box(int x1, int y1, int x2, int y2, unsigned char c);
    bool ZyBoxFill(int x1, int y1, int x2, int y2, unsigned char c, const void* Mask, int mw, int mh);
    bool BoxFill(int x1, int y1, int x2, int y2, unsigned char c);
    bool BoxFillM(int x1, int y1, int x2, int y2, unsigned char c, const void* Mask, int mw, int mh);
    // Every byte to 0, row padding included, whatever Method is.
    void Cls();

    // Patterns: h rows of w bytes, row j at j x Pitch (a Pitch below w is
    // taken as w), clipped to the surface. Transparent: bytes equal to Tc
    // are not drawn. Masks as above, laid from the pattern's pixel (0, 0).
    // Mirrored (Reverse): pattern column i goes to x + w - 1 - i.
    bool ZyPutPat(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, bool Transparent,
                  unsigned char Tc);
    // False unless Reverse.
    bool ZyPutPatR(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, bool Transparent,
                   unsigned char Tc);
    bool ZyPutPatM(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, const unsigned char* Mask,
                   int mw, int mh);
    // False unless Reverse.
    bool ZyPutPatMR(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, const unsigned char* Mask,
                    int mw, int mh);
    // Copies the clipped rectangle into Buffer (rows of w bytes); bytes
    // outside it are not touched.
    bool ZyGetPat(int x, int y, int w, int h, unsigned char* Buffer) const;
    bool PutPat(int x, int y, int w, int h, const unsigned char* Pattern);
    bool PutPat2(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch);
    bool PasPat(int x, int y, int w, int h, const unsigned char* Pattern, unsigned char Tc);
    bool PasPat2(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, unsigned char Tc);
    bool PasMPat(int x, int y, int w, int h, const unsigned char* Pattern, const unsigned char* Mask, int mw, int mh);
    bool GetPat(int x, int y, int w, int h, unsigned char* Buffer) const;
    // A rectangle of another surface, clipped to it first; from this very
    // surface the rectangle is copied as it was before the call.
    bool PutDib(int x, int y, TZyDib* Source, int sx, int sy, int w, int h);
    bool PasDib(int x, int y, TZyDib* Source, int sx, int sy, int w, int h, unsigned char Tc);
    // Block copies with a device context (winapi/gdi.h, e.g. CreateImageDC);
    // colours are converted, Method and Reverse do not apply.
    bool PutBitBlt(int x, int y, HDC Source, int sx, int sy, int w, int h);
    bool GetBitBlt(HDC Destination, int dx, int dy, int sx, int sy, int w, int h);

    // A new size keeping the palette and the top-left picture (copied with
    // PutPat2, so with Method and Reverse). When the new surface cannot be
    // made, the old one and its size stay. Without a surface: nothing.
    void ResizeDib(int Width, int Height);
    // Loads an 8-bit bitmap (Zybitmap) and draws it at (x, y) with PutPat;
    // the palette becomes the picture's. Without a surface, one of
    // (x + w) x (y + h) is made first (true even when none can be made).
    // False (and no change) when the loader fails.
    bool DrawBmpFile(const AnsiString& FileName, int x, int y);
    bool DrawBmpResource(void* Module, int Id, int x, int y);
    bool DrawBmpPack(TZyPack* Pack, const AnsiString& EntryName, int x, int y);
    // Palette files replace the palette; false when the loader fails.
    bool SetActFile(const AnsiString& FileName);
    bool SetActPack(TZyPack* Pack, const AnsiString& EntryName);

private:
    bool Designing() const { return (ComponentState() & csDesigning) != 0; }
    bool OnSurface(long long x, long long y) const
    {
        return FBits && x >= 0 && y >= 0 && x < FWidth && y < FHeight;
    }
    unsigned char* Pixel(long long x, long long y) const { return FBits + y * FLineBytes + x; }
    // PlotPixel: the new value of a pixel p given colour c.
    static unsigned char Combine(unsigned char p, unsigned char c, TZyMethod Method)
    {
        switch (Method) {
        case Zy_SET: return c;
        case Zy_NOT: return static_cast<unsigned char>(255 - c);
        case Zy_AND: return p & c;
        case Zy_OR: return p | c;
        case Zy_XOR: return p ^ c;
        case Zy_ADD: return static_cast<unsigned char>(p + c > 255 ? 255 : p + c);
        case Zy_SUB: return static_cast<unsigned char>(c >= p ? 0 : p - c);
        case Zy_MED: return static_cast<unsigned char>((p + c) / 2);
        }
        return p;
    }
    void PlotPixel(unsigned char* Pixel, unsigned char c) const { *Pixel = Combine(*Pixel, c, Method); }
    // One pattern row of n bytes onto the surface, pixel by pixel; Step is 1
    // left to right, -1 when mirrored.
    void PutRow(unsigned char* Target, int Step, const unsigned char* Source, long long n, bool Transparent,
                unsigned char Tc) const;
    // The section of the current size with these colours, or null.
    HBITMAP CreateSection(const tagRGBQUAD* Colours, unsigned char** Bits) const;
    // Runs Access with a context that has the section selected: the bound
    // bitmap's, the held one, or one made for the call.
    void WithDibDC(const std::function<void(HDC)>& Access);
    // Passes waiting modifications on to the bound bitmap.
    void PassOn();
    bool Notify(bool Drawn);
    void PlotIfOnSurface(long long x, long long y, unsigned char c);
    bool PutMasked(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, const unsigned char* Mask,
                   int mw, int mh, bool Mirrored);
    bool TransferDib(int x, int y, TZyDib* Source, int sx, int sy, int w, int h, bool Transparent, unsigned char Tc);
    bool DrawLoaded(bool Loaded, RGBQUAD* Palette, unsigned char* Pixels, int w, int h, int x, int y);
    bool SetLoadedPalette(bool Loaded, RGBQUAD* Palette);

    HWND FDesktop;
    HBITMAP FDib = nullptr;
    unsigned char* FBits = nullptr;
    HPALETTE FPalette = nullptr;
    int FWidth;
    int FHeight;
    int FLineBytes = 0;
    TImage* FImage = nullptr;
    TBitmap* FBitmap = nullptr;
    HDC FMemDC = nullptr;
    HGDIOBJ FSavedBitmap = nullptr;
    int FPenX = 0;
    int FPenY = 0;
    bool FModifiedSw = true;
    bool FBitmapDirty = false;
    bool FPaletteDirty = false;
    int FOffCount = 0;
};

namespace Zydib {
// Registers TZyDib on the component palette page "Zyrene".
void Register();
} // namespace Zydib
