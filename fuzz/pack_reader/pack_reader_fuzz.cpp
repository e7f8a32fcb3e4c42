// Fuzz target for the pack reader.
//
// The input is a pack file. It is loaded as it is, with the whole-pack
// check, and once more with every check word rewritten to match (entry
// checks on), so that damaged tables, sizes and streams get past the check
// words and reach the entry access, the decoder and the loaders. For every
// record: reads never give more than the entry's limit, a decoded entry
// gives exactly its stated size, and the loaders reading from the entry
// agree with the same loaders reading its bytes from memory.
#include "support/Zybitmap.h"
#include "support/Zypack.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

std::int32_t Int32(const Bytes& b, size_t at)
{
    std::int32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

void PutCrc(Bytes& b, size_t at, unsigned short crc)
{
    b[at] = static_cast<std::uint8_t>(crc);
    b[at + 1] = static_cast<std::uint8_t>(crc >> 8);
}

// The pack with each record's check word and the pack's own check word
// made right, as far as header and table lie inside the bytes.
Bytes Repaired(Bytes b)
{
    if (b.size() < 16 || b[6] != 0x00 || b[7] != 0x03)
        return b;
    const std::int64_t data = Int32(b, 8), count = Int32(b, 12), covered = 16 + data + 48 * count;
    if (data < 0 || count < 0 || covered > static_cast<std::int64_t>(b.size()))
        return b;
    TCrcCheck crc;
    for (std::int64_t i = 0; i < count; ++i) {
        const size_t rec = static_cast<size_t>(16 + data + 48 * i);
        const std::int64_t offset = Int32(b, rec + 24), stored = Int32(b, rec + 32);
        if (offset >= 0 && stored >= 0 && offset + stored <= data)
            PutCrc(b, rec + 38, crc.Crc(b.data() + 16 + offset, static_cast<int>(stored)));
    }
    b.resize(std::max(b.size(), static_cast<size_t>(covered + 2)));
    PutCrc(b, static_cast<size_t>(covered), crc.Crc(b.data(), static_cast<int>(covered)));
    return b;
}

// Reads the whole entry in items of 1 to 7 bytes; the bytes read.
Bytes ReadAll(TZyPack& pack, ZyFILE* f, unsigned item)
{
    Bytes out;
    std::uint8_t buf[7 * 4096];
    for (;;) {
        int before = 0, after = 0;
        pack.Zyfgetpos(f, &before);
        unsigned n = pack.Zyfread(buf, item, 4096, f);
        pack.Zyfgetpos(f, &after);
        Require(after - before == static_cast<int>(n * item));
        if (n == 0)
            return out;
        out.insert(out.end(), buf, buf + n * item);
    }
}

// The bytes of an entry opened one way; false when it does not open.
bool EntryBytes(TZyPack& pack, const char* name, bool decode, Bytes& bytes)
{
    ZyFILE* f = pack.ZyfopenComp(name, decode);
    if (!f)
        return false;
    const int limit = pack.ZyIsComp(f) && !decode ? pack.Zydsize(f) : pack.Zyfsize(f);
    bytes = ReadAll(pack, f, 1);
    Require(static_cast<int>(bytes.size()) == limit);
    Require(pack.Zyfseek(f, 0, 0));
    Bytes inItems = ReadAll(pack, f, 7);
    Require(inItems.size() == bytes.size() / 7 * 7 && std::equal(inItems.begin(), inItems.end(), bytes.begin()));
    pack.Zyfclose(f);
    return true;
}

void Free(void* a, void* b = nullptr)
{
    GlobalFree(a);
    GlobalFree(b);
}

// The loaders from the pack entry give what they give from its bytes in memory.
void CheckLoaders(TZyPack& pack, const char* name, const Bytes& bytes)
{
    RGBQUAD *palette = nullptr, *memPalette = nullptr;
    unsigned char *pixels = nullptr, *memPixels = nullptr;
    int w = 0, h = 0, mw = 0, mh = 0;
    const bool loaded = LoadBmpPack(&pack, name, &palette, &pixels, &w, &h);
    Require(loaded == LoadBmpMemory(bytes.data(), bytes.size(), &memPalette, &memPixels, &mw, &mh));
    if (loaded) {
        Require(w == mw && h == mh && static_cast<size_t>(w) * static_cast<size_t>(h) <= bytes.size());
        Require(std::memcmp(pixels, memPixels, static_cast<size_t>(w) * h) == 0);
        Require(std::memcmp(palette, memPalette, 256 * sizeof(RGBQUAD)) == 0);
    }
    Free(palette, memPalette);
    Free(pixels, memPixels);

    TZyRGB *colours = nullptr, *memColours = nullptr;
    const bool loaded24 = LoadBmp24Pack(&pack, name, &colours, &w, &h);
    Require(loaded24 == LoadBmp24Memory(bytes.data(), bytes.size(), &memColours, &mw, &mh));
    if (loaded24) {
        Require(w == mw && h == mh && static_cast<size_t>(w) * static_cast<size_t>(h) <= bytes.size());
        Require(std::memcmp(colours, memColours, static_cast<size_t>(w) * h * sizeof(TZyRGB)) == 0);
    }
    Free(colours, memColours);

    palette = nullptr;
    Require(LoadActPack(&pack, name, &palette));
    Bytes act(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(bytes.size(), 768)));
    act.resize(768);
    for (int i = 0; i < 256; ++i)
        Require(palette[i].rgbRed == act[3 * i] && palette[i].rgbGreen == act[3 * i + 1] && palette[i].rgbBlue == act[3 * i + 2]);
    Free(palette);
}

void CheckEntry(TZyPack& pack, int index)
{
    char name[26];
    Require(pack.GetFileName(index, name));
    const int found = pack.CheckFileName(name);
    Require(found >= 0 && found <= index);
    if (found != index)
        return; // a later record of the same name is never reached by name
    Bytes stored, decoded;
    const bool opens = EntryBytes(pack, name, false, stored);
    if (!EntryBytes(pack, name, true, decoded)) {
        Require(pack.ZyMakeStream(name) == nullptr);
        return;
    }
    Require(opens);
    std::unique_ptr<TMemoryStream> stream(pack.ZyMakeStream(name));
    Require(stream && stream->Size() == static_cast<long long>(decoded.size()));
    Require(std::equal(decoded.begin(), decoded.end(), static_cast<const std::uint8_t*>(stream->Memory())));
    CheckLoaders(pack, name, decoded);
}

void Run(const Bytes& file, bool eachFileCrc)
{
    static const std::string path = "/tmp/fuzz_pack_reader." + std::to_string(getpid()) + ".pak";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    std::fclose(f);
    if (written) {
        TZyPack pack(nullptr);
        pack.EachFileCrc = eachFileCrc;
        if (pack.LoadPack(path.c_str())) {
            for (int i = 0; i < std::min(pack.GetFileNum(), 32); ++i)
                CheckEntry(pack, i);
        } else {
            Require(pack.GetFileNum() == 0 && pack.PackName().empty());
        }
    }
    std::remove(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    const Bytes file(data, data + size);
    Run(file, false);
    Bytes repaired = Repaired(file);
    if (repaired != file)
        Run(repaired, true);
    return 0;
}
