// TZyDib: the surface, its binding to a bitmap, its palette and its change
// tracking, and the block copies with device contexts.
#include "support/Zydib.h"

#include "framework/component_registry.h"

#include <algorithm>
#include <array>

namespace {

using TColourTable = std::array<RGBQUAD, 256>;

// The system's 20 default colours spread over 256 entries.
TColourTable DefaultColours()
{
    HPALETTE stock = GetStockObject(DEFAULT_PALETTE);
    PALETTEENTRY system[20] = {};
    for (UINT i = 0; i < 20; ++i)
        GetPaletteEntries(stock, i, 1, &system[i]);
    TColourTable table;
    for (int i = 0; i < 256; ++i) {
        const PALETTEENTRY& e = i < 10 ? system[i] : i >= 246 ? system[i - 236] : system[0];
        table[static_cast<std::size_t>(i)] = RGBQUAD{e.peBlue, e.peGreen, e.peRed, 0};
    }
    return table;
}

PALETTEENTRY ToEntry(const RGBQUAD& c)
{
    return PALETTEENTRY{c.rgbRed, c.rgbGreen, c.rgbBlue, 0};
}

HPALETTE CreateLogicalPalette(const RGBQUAD* Colours)
{
    struct {
        WORD Version;
        WORD Count;
        PALETTEENTRY Entries[256];
    } block{0x300, 256, {}};
    std::transform(Colours, Colours + 256, block.Entries, ToEntry);
    return CreatePalette(reinterpret_cast<const LOGPALETTE*>(&block));
}

int RowBytesFor(int Width)
{
    return static_cast<int>(std::clamp((static_cast<long long>(Width) + 3) / 4 * 4, 0LL, 0x7FFFFFFCLL));
}

} // namespace

TZyDib::TZyDib(TComponent* Owner) : TZyDib(Owner, 640, 480) {}

TZyDib::TZyDib(TComponent* Owner, int Width, int Height)
    : TComponent(Owner), FDesktop(GetDesktopWindow()), FWidth(Width), FHeight(Height)
{
    InitDib();
}

TZyDib::~TZyDib()
{
    EndDib();
}

HBITMAP TZyDib::CreateSection(const tagRGBQUAD* Colours, unsigned char** Bits) const
{
    *Bits = nullptr;
    if (FWidth <= 0 || FHeight <= 0)
        return nullptr;
    struct {
        BITMAPINFOHEADER Header;
        RGBQUAD Colours[256];
    } info{};
    long long lineBytes = RowBytesFor(FWidth);
    info.Header = {40, FWidth, -FHeight, 1, 8, BI_RGB,
                   static_cast<DWORD>(std::clamp(lineBytes * FHeight, 0LL, 0xFFFFFFFFLL)), 0, 0, 256, 0};
    std::copy_n(Colours, 256, info.Colours);
    HDC screen = GetDC(FDesktop);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(FDesktop, screen);
    *Bits = static_cast<unsigned char*>(bits);
    return dib;
}

void TZyDib::InitDib()
{
    if (Designing() || FDib)
        return;
    TColourTable colours = DefaultColours();
    FDib = CreateSection(colours.data(), &FBits);
    if (FDib) {
        FLineBytes = RowBytesFor(FWidth);
        FPalette = CreateLogicalPalette(colours.data());
    }
}

void TZyDib::EndDib()
{
    if (!FDib)
        return;
    if (FBitmap)
        EndBitmap();
    ReleaseBmpDC();
    DeleteObject(FDib);
    DeleteObject(FPalette);
    FDib = nullptr;
    FPalette = nullptr;
    FBits = nullptr;
}

void TZyDib::SetWidth(int Value)
{
    if (FDib) {
        ResizeDib(Value, FHeight);
    } else {
        FWidth = Value;
        InitDib();
    }
}

void TZyDib::SetHeight(int Value)
{
    if (FDib) {
        ResizeDib(FWidth, Value);
    } else {
        FHeight = Value;
        InitDib();
    }
}

void TZyDib::StartBitmap(TBitmap* Bitmap)
{
    if (!FDib || !Bitmap)
        return;
    if (FBitmap)
        EndBitmap();
    FBitmap = Bitmap;
    FBitmap->SetHandle(FDib);
    FBitmapDirty = false;
    FPaletteDirty = false;
    FModifiedSw = true;
}

void TZyDib::EndBitmap()
{
    if (FBitmap) {
        FBitmap->ReleaseHandle();
        FBitmap = nullptr;
    }
    FImage = nullptr;
}

void TZyDib::SetBitmap(TBitmap* Bitmap)
{
    if (!Designing() && Bitmap)
        StartBitmap(Bitmap);
    FImage = nullptr;
}

void TZyDib::SetImage(TImage* Image)
{
    if (!Designing()) {
        if (Image)
            StartBitmap(Image->Bitmap());
        else if (FImage)
            EndBitmap();
    } else if (Image) {
        FWidth = Image->Width();
        FHeight = Image->Height();
    }
    FImage = Image;
}

void TZyDib::Notification(TComponent* AComponent, TOperation Operation)
{
    if (Operation == opRemove && FImage) {
        if (Designing()) {
            if (AComponent == FImage)
                FImage = nullptr;
        } else if (AComponent == FImage) {
            // The image's bitmap took the section with it; the palette is ours.
            FBitmap = nullptr;
            FImage = nullptr;
            ReleaseBmpDC();
            DeleteObject(FPalette);
            FDib = nullptr;
            FPalette = nullptr;
            FBits = nullptr;
            InitDib();
        } else if (AComponent == this) {
            EndBitmap();
        }
    }
    TComponent::Notification(AComponent, Operation);
}

HDC TZyDib::GetBmpDC()
{
    if (!FDib || FSavedBitmap)
        return nullptr;
    HDC screen = GetDC(FDesktop);
    FMemDC = CreateCompatibleDC(screen);
    ReleaseDC(FDesktop, screen);
    FSavedBitmap = SelectObject(FMemDC, FDib);
    return FMemDC;
}

void TZyDib::ReleaseBmpDC()
{
    if (!FSavedBitmap)
        return;
    SelectObject(FMemDC, FSavedBitmap);
    FSavedBitmap = nullptr;
    DeleteDC(FMemDC);
    FMemDC = nullptr;
}

void TZyDib::WithDibDC(const std::function<void(HDC)>& Access)
{
    if (FBitmap) {
        Access(FBitmap->CanvasHandle());
    } else if (FSavedBitmap) {
        Access(FMemDC);
    } else {
        HDC screen = GetDC(FDesktop);
        HDC dc = CreateCompatibleDC(screen);
        HGDIOBJ saved = SelectObject(dc, FDib);
        Access(dc);
        SelectObject(dc, saved);
        DeleteDC(dc);
        ReleaseDC(FDesktop, screen);
    }
}

void TZyDib::SetPal1(int Index, const tagRGBQUAD* Colour)
{
    if (!FDib || !Colour || Index < 0 || Index > 255)
        return;
    PALETTEENTRY entry = ToEntry(*Colour);
    SetPaletteEntries(FPalette, static_cast<UINT>(Index), 1, &entry);
    WithDibDC([&](HDC dc) { SetDIBColorTable(dc, static_cast<UINT>(Index), 1, Colour); });
    FPaletteDirty = true;
    SetModified();
    if (FImage)
        FImage->Update();
}

void TZyDib::SetPal1(int Index, const TZyRGB* Colour)
{
    if (!Colour)
        return;
    RGBQUAD quad = Colour->ToRGBQUAD();
    SetPal1(Index, &quad);
}

void TZyDib::SetPal2(const tagRGBQUAD* Table)
{
    if (!FDib || !Table)
        return;
    PALETTEENTRY entries[256];
    std::transform(Table, Table + 256, entries, ToEntry);
    SetPaletteEntries(FPalette, 0, 256, entries);
    WithDibDC([&](HDC dc) { SetDIBColorTable(dc, 0, 256, Table); });
    FPaletteDirty = true;
    SetModified();
    if (FImage)
        FImage->Update();
}

void TZyDib::SetPal2(const TZyRGB* Table)
{
    if (!Table)
        return;
    TColourTable quads;
    std::transform(Table, Table + 256, quads.begin(), [](const TZyRGB& c) { return c.ToRGBQUAD(); });
    SetPal2(quads.data());
}

void TZyDib::AskPal1(int Index, tagRGBQUAD* Colour)
{
    if (!FDib || !Colour || Index < 0 || Index > 255)
        return;
    WithDibDC([&](HDC dc) { GetDIBColorTable(dc, static_cast<UINT>(Index), 1, Colour); });
}

void TZyDib::AskPal1(int Index, TZyRGB* Colour)
{
    RGBQUAD quad;
    if (!FDib || !Colour || Index < 0 || Index > 255)
        return;
    AskPal1(Index, &quad);
    *Colour = quad;
}

void TZyDib::AskPal2(tagRGBQUAD* Table)
{
    if (!FDib || !Table)
        return;
    WithDibDC([&](HDC dc) { GetDIBColorTable(dc, 0, 256, Table); });
}

void TZyDib::AskPal2(TZyRGB* Table)
{
    if (!FDib || !Table)
        return;
    TColourTable quads;
    AskPal2(quads.data());
    std::copy(quads.begin(), quads.end(), Table);
}

void TZyDib::InitPal()
{
    TColourTable colours = DefaultColours();
    SetPal2(colours.data());
}

void TZyDib::PassOn()
{
    if (FBitmapDirty) {
        FBitmap->SetModified(true);
        FBitmapDirty = false;
    }
    if (FPaletteDirty) {
        // The bitmap takes the palette and gives it back at once, so that it
        // never deletes it; the section goes back in as its handle.
        HBITMAP dib = FBitmap->ReleaseHandle();
        FBitmap->SetPalette(FPalette);
        FBitmap->ReleasePalette();
        FBitmap->SetHandle(dib);
        FBitmap->SetPaletteModified(true);
        FPaletteDirty = false;
    }
}

void TZyDib::SetModified()
{
    if (FBitmap) {
        FBitmapDirty = true;
        if (FModifiedSw)
            PassOn();
    }
    Change();
}

void TZyDib::ChgModifiedSw(bool On)
{
    if (!FModifiedSw && On) {
        if (FBitmap)
            PassOn();
        FOffCount = 0;
    } else if (FOffCount == 0 && !On) {
        FOffCount = 1;
    }
    FModifiedSw = On;
}

void TZyDib::ModifiedOff()
{
    ++FOffCount;
    if (FModifiedSw)
        ChgModifiedSw(false);
}

void TZyDib::ModifiedOn()
{
    if (FOffCount > 0)
        --FOffCount;
    if (FOffCount == 0)
        ChgModifiedSw(true);
}

void TZyDib::Change()
{
    if (OnChange)
        OnChange(this);
}

bool TZyDib::PutBitBlt(int x, int y, HDC Source, int sx, int sy, int w, int h)
{
    if (!FDib)
        return false;
    bool copied = false;
    WithDibDC([&](HDC dc) { copied = BitBlt(dc, x, y, w, h, Source, sx, sy, SRCCOPY) != FALSE; });
    SetModified();
    return copied;
}

bool TZyDib::GetBitBlt(HDC Destination, int dx, int dy, int sx, int sy, int w, int h)
{
    if (!FDib)
        return false;
    bool copied = false;
    WithDibDC([&](HDC dc) { copied = BitBlt(Destination, dx, dy, w, h, dc, sx, sy, SRCCOPY) != FALSE; });
    return copied;
}

void TZyDib::ResizeDib(int Width, int Height)
{
    if (!FDib)
        return;
    TColourTable colours{};
    WithDibDC([&](HDC dc) { GetDIBColorTable(dc, 0, 256, colours.data()); });
    const unsigned char* oldBits = FBits;
    HBITMAP oldDib = FDib;
    int oldLineBytes = FLineBytes, oldWidth = FWidth, oldHeight = FHeight;
    FWidth = Width;
    FHeight = Height;
    unsigned char* bits = nullptr;
    HBITMAP dib = CreateSection(colours.data(), &bits);
    if (!dib) {
        FWidth = oldWidth;
        FHeight = oldHeight;
        return;
    }
    FDib = dib;
    FBits = bits;
    FLineBytes = RowBytesFor(FWidth);
    PutPat2(0, 0, std::min(oldWidth, FWidth), std::min(oldHeight, FHeight), oldBits, oldLineBytes);
    if (FSavedBitmap)
        SelectObject(FMemDC, FDib);
    if (FBitmap) {
        FBitmap->ReleaseHandle();
        FBitmap->SetHandle(FDib);
    }
    DeleteObject(oldDib);
}

bool TZyDib::DrawLoaded(bool Loaded, RGBQUAD* Palette, unsigned char* Pixels, int w, int h, int x, int y)
{
    if (!Loaded)
        return false;
    if (!FDib) {
        FWidth = static_cast<int>(std::clamp(static_cast<long long>(x) + w, -1LL, 0x7FFFFFFFLL));
        FHeight = static_cast<int>(std::clamp(static_cast<long long>(y) + h, -1LL, 0x7FFFFFFFLL));
        InitDib();
    }
    SetPal2(Palette);
    PutPat(x, y, w, h, Pixels);
    GlobalFree(Palette);
    GlobalFree(Pixels);
    return true;
}

bool TZyDib::DrawBmpFile(const AnsiString& FileName, int x, int y)
{
    RGBQUAD* palette = nullptr;
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    bool loaded = LoadBmpFile(FileName, &palette, &pixels, &w, &h);
    return DrawLoaded(loaded, palette, pixels, w, h, x, y);
}

bool TZyDib::DrawBmpResource(void* Module, int Id, int x, int y)
{
    RGBQUAD* palette = nullptr;
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    bool loaded = LoadBmpResource(Module, Id, &palette, &pixels, &w, &h);
    return DrawLoaded(loaded, palette, pixels, w, h, x, y);
}

bool TZyDib::DrawBmpPack(TZyPack* Pack, const AnsiString& EntryName, int x, int y)
{
    RGBQUAD* palette = nullptr;
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    bool loaded = LoadBmpPack(Pack, EntryName, &palette, &pixels, &w, &h);
    return DrawLoaded(loaded, palette, pixels, w, h, x, y);
}

bool TZyDib::SetLoadedPalette(bool Loaded, RGBQUAD* Palette)
{
    if (!Loaded)
        return false;
    SetPal2(Palette);
    GlobalFree(Palette);
    return true;
}

bool TZyDib::SetActFile(const AnsiString& FileName)
{
    RGBQUAD* palette = nullptr;
    bool loaded = LoadActFile(FileName, &palette);
    return SetLoadedPalette(loaded, palette);
}

bool TZyDib::SetActPack(TZyPack* Pack, const AnsiString& EntryName)
{
    RGBQUAD* palette = nullptr;
    bool loaded = LoadActPack(Pack, EntryName, &palette);
    return SetLoadedPalette(loaded, palette);
}

namespace Zydib {

void Register()
{
    RegisterComponents("Zyrene", {"TZyDib"});
}

} // namespace Zydib
