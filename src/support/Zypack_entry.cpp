// TZyPack entry access: entries read like files, copied between packs and
// held as memory streams.
#include "support/Zypack.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <new>

// A record is usable when its stored bytes lie inside the data area, its
// file offset (16 + offset) fits a handle's int, and a plain entry stores
// exactly its size.
bool TZyPack::RecordFits(const TZyFileTable3& e) const
{
    return e.Offset >= 0 && e.Offset <= INT32_MAX - HeaderBytes && e.Size >= 0 && e.StoredSize >= 0
        && std::int64_t{e.Offset} + e.StoredSize <= DataSize() && (e.Compressed || e.Size == e.StoredSize);
}

const TZyFileTable3* TZyPack::RecordOf(const ZyFILE* f) const
{
    if (!f || f->Index < 0 || f->Index >= static_cast<int>(FTable.size()))
        return nullptr;
    return &FTable[static_cast<size_t>(f->Index)];
}

int TZyPack::Limit(const ZyFILE* f) const
{
    return f->Compressed && !f->Data ? f->StoredSize : f->Size;
}

namespace {

// The decoded bytes of an entry, grown as they arrive: the size from the
// table is only a limit, so a wrong one reserves nothing the stream has not
// produced (never more than twice what has arrived, after a first step).
class TGrowingBlock {
public:
    explicit TGrowingBlock(int limit) : FLimit(static_cast<size_t>(limit)) {}
    ~TGrowingBlock() { std::free(FData); }
    TGrowingBlock(const TGrowingBlock&) = delete;
    TGrowingBlock& operator=(const TGrowingBlock&) = delete;

    bool Append(const unsigned char* bytes, int n)
    {
        const size_t needed = FUsed + static_cast<size_t>(n);
        if (needed > FLimit)
            return false;
        if (needed > FCapacity) {
            size_t capacity = std::min(FLimit, std::max({needed, 2 * FCapacity, FirstStep}));
            auto* grown = static_cast<unsigned char*>(std::realloc(FData, capacity));
            if (!grown)
                return false;
            FData = grown;
            FCapacity = capacity;
        }
        std::memcpy(FData + FUsed, bytes, static_cast<size_t>(n));
        FUsed = needed;
        return true;
    }
    // The block, to be freed with std::free; the object is empty after.
    unsigned char* Release() { return std::exchange(FData, nullptr); }

private:
    static constexpr size_t FirstStep = 65536;
    size_t FLimit;
    unsigned char* FData = nullptr;
    size_t FUsed = 0;
    size_t FCapacity = 0;
};

} // namespace

// Decodes a compressed entry into f.Data. A damaged entry is shown as such;
// memory running out is a silent failure.
bool TZyPack::DecodeEntry(ZyFILE& f)
{
    TGrowingBlock block(f.Size);
    TDecoded result = TDecoded::Broken;
    if (f.Size <= TLunderDecode::MaxSize(f.StoredSize) && SeekTo(f.Offset))
        result = DecodePieces(FHandle, f.Size, f.StoredSize,
                              [&](const unsigned char* bytes, int n) { return block.Append(bytes, n); });
    FFilePos = std::ftell(FHandle);
    if (result == TDecoded::Broken)
        ReportBroken();
    if (result != TDecoded::Done)
        return false;
    // An empty entry still gets a block, so that Data always marks a
    // decoded handle.
    f.Data = f.Size > 0 ? block.Release() : static_cast<unsigned char*>(std::malloc(1));
    return f.Data != nullptr;
}

ZyFILE* TZyPack::ZyfopenComp(const char* name, bool decode)
{
    int index = CheckFileName(name);
    if (index < 0)
        return nullptr;
    const TZyFileTable3& e = FTable[static_cast<size_t>(index)];
    if (!RecordFits(e)) {
        ReportBroken();
        return nullptr;
    }
    ZyFILE* f = new (std::nothrow) ZyFILE{index, HeaderBytes + e.Offset, e.Size, e.StoredSize, e.Compressed != 0, nullptr, 0};
    if (!f)
        return nullptr;
    if (EachFileCrc && e.CrcValid == 1) {
        unsigned short crc = FileCrc(f->Offset, f->StoredSize);
        if (FMoved != f->StoredSize || crc != e.Crc) {
            delete f;
            ReportBroken();
            return nullptr;
        }
    }
    if (f->Compressed && decode && !DecodeEntry(*f)) {
        delete f;
        return nullptr;
    }
    return f;
}

ZyFILE* TZyPack::Zyfopen(const char* name)
{
    return ZyfopenComp(name, true);
}

int TZyPack::Zyfclose(ZyFILE* f)
{
    if (!f)
        return 0;
    std::free(f->Data);
    delete f;
    return 1;
}

int TZyPack::Zyfsize(ZyFILE* f) const
{
    return IsOpen() && f ? f->Size : 0;
}

int TZyPack::Zydsize(ZyFILE* f) const
{
    return IsOpen() && f ? f->StoredSize : 0;
}

bool TZyPack::ZyIsComp(ZyFILE* f) const
{
    return IsOpen() && f && f->Compressed;
}

bool TZyPack::Zyfseek(ZyFILE* f, int offset, int origin)
{
    if (!IsOpen() || !f)
        return false;
    std::int64_t pos = f->Position;
    if (origin == 0)
        pos = offset;
    else if (origin == 1)
        pos += offset;
    else if (origin == 2)
        pos = std::int64_t{Limit(f)} + offset;
    f->Position = static_cast<int>(std::clamp<std::int64_t>(pos, 0, Limit(f)));
    return true;
}

bool TZyPack::Zyfgetpos(ZyFILE* f, int* pos) const
{
    if (!IsOpen() || !f || !pos)
        return false;
    *pos = f->Position;
    return true;
}

bool TZyPack::Zyfsetpos(ZyFILE* f, int* pos)
{
    if (!IsOpen() || !f || !pos)
        return false;
    f->Position = std::clamp(*pos, 0, Limit(f));
    return true;
}

unsigned TZyPack::Zyfread(void* buf, unsigned size, unsigned n, ZyFILE* f)
{
    if (!IsOpen() || !f || size == 0)
        return 0;
    const int limit = Limit(f);
    f->Position = std::clamp(f->Position, 0, limit);
    n = std::min<unsigned>(n, static_cast<unsigned>(limit - f->Position) / size);
    if (n == 0)
        return 0;
    const size_t bytes = size_t{size} * n;
    if (f->Data) {
        std::memcpy(buf, f->Data + f->Position, bytes);
    } else {
        const long wanted = long{f->Offset} + f->Position;
        if (wanted != FFilePos && !SeekTo(wanted))
            return 0;
        size_t got = std::fread(buf, 1, bytes, FHandle);
        FFilePos += static_cast<long>(got);
        n = static_cast<unsigned>(got / size);
    }
    f->Position += static_cast<int>(size_t{size} * n);
    return n;
}

bool TZyPack::ZyIsCrc(ZyFILE* f) const
{
    const TZyFileTable3* e = RecordOf(f);
    return e && e->CrcValid == 1;
}

unsigned short TZyPack::ZyGetCrc(ZyFILE* f) const
{
    const TZyFileTable3* e = RecordOf(f);
    return e ? e->Crc : 0;
}

bool TZyPack::ZyGetFileTime(ZyFILE* f, FILETIME* time) const
{
    const TZyFileTable3* e = RecordOf(f);
    if (!e || !time)
        return false;
    *time = e->Time;
    return true;
}

TMemoryStream* TZyPack::ZyMakeStream(const char* name)
{
    ZyFILE* f = Zyfopen(name);
    if (!f)
        return nullptr;
    TMemoryStream* stream = new (std::nothrow) TMemoryStream;
    const int size = Zyfsize(f);
    bool read = false;
    if (stream) {
        try {
            stream->SetSize(size);
            Zyfseek(f, 0, 0);
            read = size == 0 || Zyfread(stream->Memory(), static_cast<unsigned>(size), 1, f) == 1;
        } catch (const std::bad_alloc&) {
        }
    }
    Zyfclose(f);
    if (!read) {
        delete stream;
        return nullptr;
    }
    stream->Seek(0, soFromBeginning);
    return stream;
}

unsigned short TZyPack::PackCopy(void* dst, TZyPack* src, ZyFILE* f, int size)
{
    return CopyPieces(static_cast<std::FILE*>(dst), size, [&](unsigned char* buf, int n) {
        return src->Zyfread(buf, static_cast<unsigned>(n), 1, f) == 1;
    });
}

bool TZyPack::AddPack(const char* name, TZyPack* src, const char* srcname)
{
    if (FReadOnly || !IsOpen() || !src || src == this || std::strlen(name) > MaxNameLength || CheckFileName(name) >= 0)
        return false;
    ZyFILE* f = src->ZyfopenComp(srcname, false);
    if (!f)
        return false;
    TZyFileTable3 entry{};
    MakeFTName(entry, name);
    entry.Offset = DataSize();
    entry.Size = src->Zyfsize(f);
    entry.StoredSize = src->Zydsize(f);
    entry.Compressed = src->ZyIsComp(f) ? 1 : 0;
    entry.CrcValid = 1;
    src->ZyGetFileTime(f, &entry.Time);
    src->Zyfseek(f, 0, 0);
    bool added = false;
    if (HeaderBytes + std::int64_t{DataSize()} + entry.StoredSize + 15 <= INT32_MAX && BeginChange()
        && SeekTo(HeaderBytes + DataSize())) {
        entry.Crc = PackCopy(FHandle, src, f, entry.StoredSize);
        try {
            added = FMoved == entry.StoredSize && AppendEntry(entry);
        } catch (const std::bad_alloc&) {
        }
    }
    src->Zyfclose(f);
    return added;
}

void TZyPack::CloseFile()
{
    if (FFileStream) {
        delete FFileStream;
        FFileStream = nullptr;
        FFileName.clear();
    }
}

bool TZyPack::OpenFile(AnsiString name)
{
    CloseFile();
    FFileName = name;
    if (name.empty())
        return true;
    FFileStream = ZyMakeStream(name.c_str());
    if (!FFileStream)
        FFileName.clear();
    return FFileStream != nullptr;
}

void TZyPack::SetFileName(AnsiString name)
{
    OpenFile(std::move(name));
}
