#include "support/Zybitmap.h"

#include "support/Zybitmap_source.h"

#include <QByteArray>
#include <QResource>
#include <QString>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

class TMemorySource : public TZyByteSource {
public:
    TMemorySource(const void* Data, std::size_t Size) : FData(static_cast<const unsigned char*>(Data)), FSize(Size) {}
    bool Read(void* Buffer, std::size_t Bytes) override
    {
        if (Bytes > FSize - FPos)
            return false;
        std::memcpy(Buffer, FData + FPos, Bytes);
        FPos += Bytes;
        return true;
    }
    bool Skip(long long Bytes) override
    {
        if (Bytes < 0 || static_cast<unsigned long long>(Bytes) > FSize - FPos)
            return false;
        FPos += static_cast<std::size_t>(Bytes);
        return true;
    }
    long long Size() override { return static_cast<long long>(FSize); }

private:
    const unsigned char* FData;
    std::size_t FSize;
    std::size_t FPos = 0;
};

// A disk file, opened for binary reading and closed with the source.
class TFileSource : public TZyByteSource {
public:
    explicit TFileSource(const AnsiString& Name) : FFile(std::fopen(Name.c_str(), "rb"))
    {
        if (FFile && std::fseek(FFile, 0, SEEK_END) == 0)
            FSize = std::ftell(FFile);
        if (FSize >= 0 && std::fseek(FFile, 0, SEEK_SET) != 0)
            FSize = -1;
    }
    ~TFileSource() override
    {
        if (FFile)
            std::fclose(FFile);
    }
    TFileSource(const TFileSource&) = delete;
    TFileSource& operator=(const TFileSource&) = delete;
    bool IsOpen() const { return FFile && FSize >= 0; }
    bool Read(void* Buffer, std::size_t Bytes) override { return std::fread(Buffer, 1, Bytes, FFile) == Bytes; }
    bool Skip(long long Bytes) override { return Bytes == 0 || std::fseek(FFile, Bytes, SEEK_CUR) == 0; }
    long long Size() override { return FSize; }

private:
    std::FILE* FFile;
    long long FSize = -1;
};

// A compiled-in bitmap: a complete .bmp file at ":/bitmaps/<id>.bmp".
QByteArray ResourceBytes(int Id, bool* Found)
{
    QResource resource(QStringLiteral(":/bitmaps/%1.bmp").arg(Id));
    *Found = resource.isValid();
    return *Found ? resource.uncompressedData() : QByteArray();
}

constexpr long long FileHeaderBytes = 14;
constexpr long long InfoHeaderBytes = 40;
constexpr int ActBytes = 768;

struct TGlobalFree {
    void operator()(void* Block) const { GlobalFree(Block); }
};
template <typename T>
using TGlobalPtr = std::unique_ptr<T, TGlobalFree>;

template <typename T>
TGlobalPtr<T> Allocate(std::size_t Count, UINT Flags = GMEM_FIXED)
{
    return TGlobalPtr<T>(static_cast<T*>(GlobalAlloc(Flags, Count * sizeof(T))));
}

std::uint32_t Le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// What the headers of a bitmap say, checked against the source's length.
struct TBmpLayout {
    int Width = 0;
    int Height = 0;      // rows, always positive
    bool TopDown = false; // the first row in the source is the picture's top row
    int BitCount = 0;
    long long Colours = 0; // entries of the colour table in the source
    long long ExtraHeader = 0;
    long long RowBytes = 0; // pixel bytes of one row, without padding
    long long Padding = 0;
};

// Reads the file and info headers and checks that the whole picture lies
// inside the source. False for anything this loader family does not read.
bool ReadLayout(TZyByteSource& Source, TBmpLayout& Layout)
{
    unsigned char header[FileHeaderBytes + InfoHeaderBytes];
    if (!Source.Read(header, sizeof header))
        return false;
    const unsigned char* info = header + FileHeaderBytes;
    std::uint32_t size = Le32(info);
    auto width = static_cast<std::int32_t>(Le32(info + 4));
    auto height = static_cast<std::int32_t>(Le32(info + 8));
    int bitCount = info[14] | (info[15] << 8);
    std::uint32_t compression = Le32(info + 16);
    std::uint32_t clrUsed = Le32(info + 32);
    if (size < InfoHeaderBytes || width <= 0 || height == 0 || height == INT32_MIN || compression != 0 ||
        (bitCount != 8 && bitCount != 24))
        return false;
    Layout.Width = width;
    Layout.Height = height < 0 ? -height : height;
    Layout.TopDown = height < 0;
    Layout.BitCount = bitCount;
    Layout.ExtraHeader = size - InfoHeaderBytes;
    Layout.Colours = bitCount == 24 ? 0 : (clrUsed ? (clrUsed & 0xFFFF) : 256);
    Layout.RowBytes = static_cast<long long>(width) * (bitCount / 8);
    Layout.Padding = (4 - Layout.RowBytes % 4) % 4;
    if (Layout.RowBytes > INT_MAX / Layout.Height)
        return false;
    long long pixelStart = FileHeaderBytes + size + 4 * Layout.Colours;
    long long stride = Layout.RowBytes + Layout.Padding;
    long long available = Source.Size() - pixelStart - Layout.RowBytes; // room for rows after the first
    return available >= 0 && (Layout.Height == 1 || stride <= available / (Layout.Height - 1)) &&
           Source.Skip(Layout.ExtraHeader);
}

// Reads the colour table: min(N, 256) entries into Table (when not null),
// the rest of the table skipped.
bool ReadColourTable(TZyByteSource& Source, const TBmpLayout& Layout, RGBQUAD* Table)
{
    long long kept = Table ? std::min<long long>(Layout.Colours, 256) : 0;
    return (kept == 0 || Source.Read(Table, static_cast<std::size_t>(kept) * sizeof(RGBQUAD))) &&
           Source.Skip((Layout.Colours - kept) * static_cast<long long>(sizeof(RGBQUAD)));
}

// Reads the pixel rows in source order: Into(y) gives where the bytes of
// picture row y go, After(y) runs once they are there.
template <typename IntoRow, typename AfterRow>
bool ReadRows(TZyByteSource& Source, const TBmpLayout& Layout, IntoRow Into, AfterRow After)
{
    for (int n = 0; n < Layout.Height; ++n) {
        int y = Layout.TopDown ? n : Layout.Height - 1 - n;
        if (!Source.Read(Into(y), static_cast<std::size_t>(Layout.RowBytes)))
            return false;
        After(y);
        if (n + 1 < Layout.Height && !Source.Skip(Layout.Padding))
            return false;
    }
    return true;
}

// Uses the caller's buffer or allocates one; the allocation stays owned by
// Owned until the load has succeeded.
template <typename T>
T* Target(T** Argument, std::size_t Count, TGlobalPtr<T>& Owned, UINT Flags = GMEM_FIXED)
{
    if (!Argument)
        return nullptr;
    if (*Argument)
        return *Argument;
    Owned = Allocate<T>(Count, Flags);
    return Owned.get();
}

template <typename T>
void Hand(T** Argument, TGlobalPtr<T>& Owned)
{
    if (Owned)
        *Argument = Owned.release();
}

void StoreSize(const TBmpLayout& Layout, int* Width, int* Height)
{
    if (Width)
        *Width = Layout.Width;
    if (Height)
        *Height = Layout.Height;
}

// The 24-bit rows straight into the caller's pixels.
bool ReadTrueColour(TZyByteSource& Source, const TBmpLayout& Layout, TZyRGB* Pixels)
{
    auto row = [&](int y) { return Pixels + static_cast<std::size_t>(y) * Layout.Width; };
    return ReadRows(Source, Layout, row, [](int) {});
}

// The 8-bit rows through a 256-entry colour table built once.
bool ReadIndexedAsTrueColour(TZyByteSource& Source, const TBmpLayout& Layout, TZyRGB* Pixels)
{
    auto quads = Allocate<RGBQUAD>(256, GMEM_ZEROINIT);
    auto colours = Allocate<TZyRGB>(256);
    auto indices = Allocate<unsigned char>(static_cast<std::size_t>(Layout.Width));
    if (!quads || !colours || !indices || !ReadColourTable(Source, Layout, quads.get()))
        return false;
    std::copy_n(quads.get(), 256, colours.get());
    auto convert = [&](int y) {
        TZyRGB* out = Pixels + static_cast<std::size_t>(y) * Layout.Width;
        for (int x = 0; x < Layout.Width; ++x)
            out[x] = colours.get()[indices.get()[x]];
    };
    return ReadRows(Source, Layout, [&](int) { return indices.get(); }, convert);
}

} // namespace

bool ZyLoadBmpFrom(TZyByteSource& Source, RGBQUAD** Palette, unsigned char** Pixels, int* Width, int* Height)
{
    TBmpLayout layout;
    if (!ReadLayout(Source, layout) || layout.BitCount != 8)
        return false;
    TGlobalPtr<RGBQUAD> ownedPalette;
    TGlobalPtr<unsigned char> ownedPixels;
    RGBQUAD* palette = Target(Palette, 256, ownedPalette, GMEM_ZEROINIT);
    unsigned char* pixels = Target(Pixels, static_cast<std::size_t>(layout.Width) * layout.Height, ownedPixels);
    if ((Palette && !palette) || (Pixels && !pixels) || !ReadColourTable(Source, layout, palette))
        return false;
    auto row = [&](int y) { return pixels + static_cast<std::size_t>(y) * layout.Width; };
    if (pixels && !ReadRows(Source, layout, row, [](int) {}))
        return false;
    Hand(Palette, ownedPalette);
    Hand(Pixels, ownedPixels);
    StoreSize(layout, Width, Height);
    return true;
}

bool ZyLoadBmp24From(TZyByteSource& Source, TZyRGB** Pixels, int* Width, int* Height)
{
    TBmpLayout layout;
    if (!ReadLayout(Source, layout))
        return false;
    TGlobalPtr<TZyRGB> owned;
    TZyRGB* pixels = Target(Pixels, static_cast<std::size_t>(layout.Width) * layout.Height, owned);
    if (Pixels && !pixels)
        return false;
    if (pixels && !(layout.BitCount == 24 ? ReadTrueColour(Source, layout, pixels)
                                          : ReadIndexedAsTrueColour(Source, layout, pixels)))
        return false;
    Hand(Pixels, owned);
    StoreSize(layout, Width, Height);
    return true;
}

bool ZyLoadActFrom(TZyByteSource& Source, RGBQUAD** Palette)
{
    if (!Palette)
        return true;
    TGlobalPtr<RGBQUAD> owned;
    RGBQUAD* palette = Target(Palette, 256, owned);
    unsigned char bytes[ActBytes] = {};
    auto length = static_cast<std::size_t>(std::clamp<long long>(Source.Size(), 0, ActBytes));
    if (!palette || (length > 0 && !Source.Read(bytes, length)))
        return false;
    for (int i = 0; i < 256; ++i)
        palette[i] = RGBQUAD{bytes[3 * i + 2], bytes[3 * i + 1], bytes[3 * i], 0};
    Hand(Palette, owned);
    return true;
}

bool LoadBmpFile(const AnsiString& FileName, RGBQUAD** Palette, unsigned char** Pixels, int* Width, int* Height)
{
    TFileSource source(FileName);
    return source.IsOpen() && ZyLoadBmpFrom(source, Palette, Pixels, Width, Height);
}

bool LoadBmpResource(void*, int Id, RGBQUAD** Palette, unsigned char** Pixels, int* Width, int* Height)
{
    bool found = false;
    QByteArray bytes = ResourceBytes(Id, &found);
    return found && LoadBmpMemory(bytes.constData(), static_cast<std::size_t>(bytes.size()), Palette, Pixels, Width,
                                  Height);
}

bool LoadBmpMemory(const void* Data, std::size_t Size, RGBQUAD** Palette, unsigned char** Pixels, int* Width,
                   int* Height)
{
    TMemorySource source(Data, Size);
    return ZyLoadBmpFrom(source, Palette, Pixels, Width, Height);
}

bool LoadActFile(const AnsiString& FileName, RGBQUAD** Palette)
{
    TFileSource source(FileName);
    return source.IsOpen() && ZyLoadActFrom(source, Palette);
}

bool LoadBmp24File(const AnsiString& FileName, TZyRGB** Pixels, int* Width, int* Height)
{
    TFileSource source(FileName);
    return source.IsOpen() && ZyLoadBmp24From(source, Pixels, Width, Height);
}

bool LoadBmp24Resource(void*, int Id, TZyRGB** Pixels, int* Width, int* Height)
{
    bool found = false;
    QByteArray bytes = ResourceBytes(Id, &found);
    return found && LoadBmp24Memory(bytes.constData(), static_cast<std::size_t>(bytes.size()), Pixels, Width, Height);
}

bool LoadBmp24Memory(const void* Data, std::size_t Size, TZyRGB** Pixels, int* Width, int* Height)
{
    TMemorySource source(Data, Size);
    return ZyLoadBmp24From(source, Pixels, Width, Height);
}
