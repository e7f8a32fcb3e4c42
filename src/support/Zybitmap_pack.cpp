// The loaders over an entry of a pack, read through the pack's entry access.
#include "support/Zybitmap.h"

#include "support/Zybitmap_source.h"
#include "support/Zypack.h"

#include <climits>

namespace {

// An entry of a pack, opened through the pack's entry access and read from
// its start; closed with the source.
class TPackSource : public TZyByteSource {
public:
    TPackSource(TZyPack* Pack, const AnsiString& Name) : FPack(Pack), FFile(Pack ? Pack->Zyfopen(Name.c_str()) : nullptr)
    {
        if (FFile)
            FPack->Zyfseek(FFile, 0, 0);
    }
    ~TPackSource() override
    {
        if (FFile)
            FPack->Zyfclose(FFile);
    }
    TPackSource(const TPackSource&) = delete;
    TPackSource& operator=(const TPackSource&) = delete;
    bool IsOpen() const { return FFile != nullptr; }
    bool Read(void* Buffer, std::size_t Bytes) override
    {
        return Bytes == 0 || (Bytes <= UINT_MAX && FPack->Zyfread(Buffer, static_cast<unsigned>(Bytes), 1, FFile) == 1);
    }
    bool Skip(long long Bytes) override
    {
        int position = 0;
        return Bytes == 0 || (FPack->Zyfgetpos(FFile, &position) && Bytes > 0 && Bytes <= Size() - position &&
                              FPack->Zyfseek(FFile, static_cast<int>(Bytes), 1));
    }
    long long Size() override { return FPack->Zyfsize(FFile); }

private:
    TZyPack* FPack;
    ZyFILE* FFile;
};

} // namespace

bool LoadBmpPack(TZyPack* Pack, const AnsiString& Name, RGBQUAD** Palette, unsigned char** Pixels, int* Width,
                 int* Height)
{
    TPackSource source(Pack, Name);
    return source.IsOpen() && ZyLoadBmpFrom(source, Palette, Pixels, Width, Height);
}

bool LoadActPack(TZyPack* Pack, const AnsiString& Name, RGBQUAD** Palette)
{
    TPackSource source(Pack, Name);
    return source.IsOpen() && ZyLoadActFrom(source, Palette);
}

bool LoadBmp24Pack(TZyPack* Pack, const AnsiString& Name, TZyRGB** Pixels, int* Width, int* Height)
{
    TPackSource source(Pack, Name);
    return source.IsOpen() && ZyLoadBmp24From(source, Pixels, Width, Height);
}
