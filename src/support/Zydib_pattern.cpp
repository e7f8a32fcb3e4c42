// TZyDib: pattern transfers between the surface and memory or another
// surface, clipped once before the loops.
#include "support/Zydib.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace {

// A pattern rectangle clipped to the surface: the surface point (X, Y) of
// its first drawn pixel, how many columns and rows are drawn, and where that
// pixel lies in the pattern.
struct TClip {
    long long X, Y, W, H;
    long long Start;
};

// Clips the rows: the rectangle starts at row y and is h rows high.
bool ClipRows(long long y, long long h, long long Pitch, int Height, TClip& Clip)
{
    if (y < 0) {
        Clip.Start += -y * Pitch;
        h += y;
        y = 0;
    }
    h = std::min(h, Height - y);
    Clip.Y = y;
    Clip.H = h;
    return Clip.W > 0 && h > 0;
}

// Clips a pattern drawn left to right from column x.
bool ClipForward(int x, int y, int w, int h, long long Pitch, int Width, int Height, TClip& Clip)
{
    long long X = x, W = w;
    Clip.Start = 0;
    if (X < 0) {
        Clip.Start = -X;
        W += X;
        X = 0;
    }
    Clip.X = X;
    Clip.W = std::min(W, Width - X);
    return ClipRows(y, h, Pitch, Height, Clip);
}

// Clips a mirrored pattern: its column 0 lands on column x + w - 1 and the
// row runs leftwards; X is the column of the first drawn pattern byte.
bool ClipMirrored(int x, int y, int w, int h, long long Pitch, int Width, int Height, TClip& Clip)
{
    long long xr = static_cast<long long>(x) + w - 1, W = w;
    Clip.Start = 0;
    if (xr >= Width) {
        long long d = xr - Width + 1;
        Clip.Start = d;
        W -= d;
        xr = Width - 1;
    }
    if (xr - W + 1 < 0)
        W = xr + 1;
    Clip.X = xr;
    Clip.W = W;
    return ClipRows(y, h, Pitch, Height, Clip);
}

int ToInt(long long v)
{
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

} // namespace

void TZyDib::PutRow(unsigned char* Target, int Step, const unsigned char* Source, long long n, bool Transparent,
                    unsigned char Tc) const
{
    const TZyMethod method = Method;
    if (method == Zy_SET && Transparent && Step == 1) {
        // Branch-free over 16-byte blocks, so that the compiler vectorises it.
        long long i = 0;
        for (; i + 16 <= n; i += 16) {
            unsigned char in[16], out[16];
            std::memcpy(in, Source + i, 16);
            std::memcpy(out, Target + i, 16);
            for (int k = 0; k < 16; ++k)
                out[k] = in[k] == Tc ? out[k] : in[k];
            std::memcpy(Target + i, out, 16);
        }
        for (; i < n; ++i)
            Target[i] = Source[i] == Tc ? Target[i] : Source[i];
    } else if (method == Zy_SET) {
        for (long long i = 0; i < n; ++i, Target += Step)
            *Target = Transparent && Source[i] == Tc ? *Target : Source[i];
    } else {
        for (long long i = 0; i < n; ++i, Target += Step)
            if (!Transparent || Source[i] != Tc)
                *Target = Combine(*Target, Source[i], method);
    }
}

bool TZyDib::ZyPutPat(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, bool Transparent,
                      unsigned char Tc)
{
    if (Reverse)
        return ZyPutPatR(x, y, w, h, Pattern, Pitch, Transparent, Tc);
    if (!FBits || !Pattern)
        return false;
    const long long pitch = std::max(Pitch, w);
    TClip clip;
    if (!ClipForward(x, y, w, h, pitch, FWidth, FHeight, clip))
        return true;
    const unsigned char* source = Pattern + clip.Start;
    unsigned char* target = Pixel(clip.X, clip.Y);
    const auto run = static_cast<std::size_t>(clip.W);
    if (!Transparent && Method == Zy_SET) {
        for (long long j = 0; j < clip.H; ++j, source += pitch, target += FLineBytes)
            std::memmove(target, source, run);
        return true;
    }
    for (long long j = 0; j < clip.H; ++j, source += pitch, target += FLineBytes)
        PutRow(target, 1, source, clip.W, Transparent, Tc);
    return true;
}

bool TZyDib::ZyPutPatR(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, bool Transparent,
                       unsigned char Tc)
{
    if (!Reverse || !FBits || !Pattern)
        return false;
    const long long pitch = std::max(Pitch, w);
    TClip clip;
    if (!ClipMirrored(x, y, w, h, pitch, FWidth, FHeight, clip))
        return true;
    const unsigned char* source = Pattern + clip.Start;
    unsigned char* target = Pixel(clip.X, clip.Y);
    for (long long j = 0; j < clip.H; ++j, source += pitch, target += FLineBytes)
        PutRow(target, -1, source, clip.W, Transparent, Tc);
    return true;
}

bool TZyDib::PutMasked(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch,
                       const unsigned char* Mask, int mw, int mh, bool Mirrored)
{
    if (!FBits || !Pattern || !Mask)
        return false;
    const long long pitch = std::max(Pitch, w);
    mw = std::max(mw, 1);
    mh = std::max(mh, 1);
    const long long maskRowBytes = (static_cast<long long>(mw) + 7) / 8;
    // The pattern columns and rows that land on the surface; each keeps the
    // mask bit of its own pattern position.
    const long long x0 = x, span = static_cast<long long>(x) + w;
    const long long firstColumn = Mirrored ? std::max(0LL, span - FWidth) : std::max(0LL, -x0);
    const long long endColumn = Mirrored ? std::min<long long>(w, span) : std::min<long long>(w, FWidth - x0);
    const long long firstRow = std::max(0LL, -static_cast<long long>(y));
    const long long endRow = std::min<long long>(h, static_cast<long long>(FHeight) - y);
    for (long long j = firstRow; j < endRow; ++j) {
        const unsigned char* source = Pattern + j * pitch;
        const unsigned char* maskRow = Mask + j % mh * maskRowBytes;
        unsigned char* row = Pixel(0, y + j);
        for (long long i = firstColumn; i < endColumn; ++i) {
            long long bit = i % mw;
            if (maskRow[bit >> 3] & (0x80 >> (bit & 7)))
                PlotPixel(row + (Mirrored ? span - 1 - i : x0 + i), source[i]);
        }
    }
    return true;
}

bool TZyDib::ZyPutPatM(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch,
                       const unsigned char* Mask, int mw, int mh)
{
    if (Reverse)
        return ZyPutPatMR(x, y, w, h, Pattern, Pitch, Mask, mw, mh);
    return PutMasked(x, y, w, h, Pattern, Pitch, Mask, mw, mh, false);
}

bool TZyDib::ZyPutPatMR(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch,
                        const unsigned char* Mask, int mw, int mh)
{
    return Reverse && PutMasked(x, y, w, h, Pattern, Pitch, Mask, mw, mh, true);
}

bool TZyDib::ZyGetPat(int x, int y, int w, int h, unsigned char* Buffer) const
{
    if (!FBits || !Buffer)
        return false;
    TClip clip;
    if (!ClipForward(x, y, w, h, w, FWidth, FHeight, clip))
        return true;
    unsigned char* target = Buffer + clip.Start;
    for (long long j = 0; j < clip.H; ++j, target += w)
        std::memcpy(target, Pixel(clip.X, clip.Y + j), static_cast<std::size_t>(clip.W));
    return true;
}

bool TZyDib::PutPat(int x, int y, int w, int h, const unsigned char* Pattern)
{
    return Notify(ZyPutPat(x, y, w, h, Pattern, w, false, 0));
}

bool TZyDib::PutPat2(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch)
{
    return Notify(ZyPutPat(x, y, w, h, Pattern, Pitch, false, 0));
}

bool TZyDib::PasPat(int x, int y, int w, int h, const unsigned char* Pattern, unsigned char Tc)
{
    return Notify(ZyPutPat(x, y, w, h, Pattern, w, true, Tc));
}

bool TZyDib::PasPat2(int x, int y, int w, int h, const unsigned char* Pattern, int Pitch, unsigned char Tc)
{
    return Notify(ZyPutPat(x, y, w, h, Pattern, Pitch, true, Tc));
}

bool TZyDib::PasMPat(int x, int y, int w, int h, const unsigned char* Pattern, const unsigned char* Mask, int mw,
                     int mh)
{
    return Notify(ZyPutPatM(x, y, w, h, Pattern, w, Mask, mw, mh));
}

bool TZyDib::GetPat(int x, int y, int w, int h, unsigned char* Buffer) const
{
    return ZyGetPat(x, y, w, h, Buffer);
}

bool TZyDib::TransferDib(int x, int y, TZyDib* Source, int sx, int sy, int w, int h, bool Transparent,
                         unsigned char Tc)
{
    if (!FBits || !Source || !Source->FBits)
        return false;
    long long X = x, Y = y, SX = sx, SY = sy, W = w, H = h;
    if (SX < 0) {
        X -= SX;
        W += SX;
        SX = 0;
    }
    if (SY < 0) {
        Y -= SY;
        H += SY;
        SY = 0;
    }
    W = std::min(W, Source->FWidth - SX);
    H = std::min(H, Source->FHeight - SY);
    if (W <= 0 || H <= 0)
        return true;
    const unsigned char* pattern = Source->Pixel(SX, SY);
    int pitch = Source->FLineBytes;
    // From this very surface, draw from a copy of the rectangle as it was.
    std::unique_ptr<unsigned char[]> copy;
    if (Source == this) {
        copy.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(W * H)]);
        if (!copy || !ZyGetPat(ToInt(SX), ToInt(SY), ToInt(W), ToInt(H), copy.get()))
            return false;
        pattern = copy.get();
        pitch = ToInt(W);
    }
    return Transparent ? PasPat2(ToInt(X), ToInt(Y), ToInt(W), ToInt(H), pattern, pitch, Tc)
                       : PutPat2(ToInt(X), ToInt(Y), ToInt(W), ToInt(H), pattern, pitch);
}

bool TZyDib::PutDib(int x, int y, TZyDib* Source, int sx, int sy, int w, int h)
{
    return TransferDib(x, y, Source, sx, sy, w, h, false, 0);
}

bool TZyDib::PasDib(int x, int y, TZyDib* Source, int sx, int sy, int w, int h, unsigned char Tc)
{
    return TransferDib(x, y, Source, sx, sy, w, h, true, Tc);
}
