// Entry access: reads in whole items, seeks and limits, stored and decoded
// compressed entries, copies between packs, streams.
#include "pack_fixture.h"
#include "lunder_drive.h"

#include <algorithm>
#include <climits>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using Entry = PackFolder;

const Bytes Ten = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

TEST_F(Entry, ReadsWholeItemsUpToTheLimit)
{
    Write("ten", Ten);
    TZyPack pack(nullptr);
    MakePack(pack, {{"ten", false}});
    ZyFILE* f = pack.Zyfopen("ten");
    ASSERT_NE(f, nullptr);
    unsigned char buf[128] = {};
    EXPECT_EQ(pack.Zyfread(buf, 4, 1, f), 1u);
    EXPECT_EQ(pack.Zyfread(buf + 4, 4, 1, f), 1u);
    EXPECT_EQ(pack.Zyfread(buf + 8, 4, 1, f), 0u);
    int pos = -1;
    ASSERT_TRUE(pack.Zyfgetpos(f, &pos));
    EXPECT_EQ(pos, 8);
    EXPECT_EQ(Bytes(buf, buf + 8), Bytes(Ten.begin(), Ten.begin() + 8));

    ASSERT_TRUE(pack.Zyfseek(f, 0, 0));
    EXPECT_EQ(pack.Zyfread(buf, 1, 100, f), 10u);
    EXPECT_EQ(Bytes(buf, buf + 10), Ten);
    ASSERT_TRUE(pack.Zyfseek(f, 1, 0));
    EXPECT_EQ(pack.Zyfread(buf, 3, 5, f), 3u) << "whole items only";
    EXPECT_EQ(buf[0], '1');
    ASSERT_TRUE(pack.Zyfgetpos(f, &pos));
    EXPECT_EQ(pos, 10);
    EXPECT_EQ(pack.Zyfread(buf, 0, 5, f), 0u);
    ASSERT_TRUE(pack.Zyfseek(f, 0, 0));
    EXPECT_EQ(pack.Zyfread(buf, 0x10000, 0x10000, f), 0u) << "no wrap-around of size times count";
    EXPECT_EQ(pack.Zyfread(buf, 1u << 31, 2, f), 0u);
    EXPECT_EQ(pack.Zyfclose(f), 1);
    EXPECT_EQ(pack.Zyfclose(nullptr), 0);
}

struct SeekCase {
    int Start, Offset, Origin, Expected;
};

TEST_F(Entry, SeeksStayWithinTheEntry)
{
    Write("ten", Ten);
    TZyPack pack(nullptr);
    MakePack(pack, {{"ten", false}});
    ZyFILE* f = pack.Zyfopen("ten");
    ASSERT_NE(f, nullptr);
    const SeekCase cases[] = {
        {3, -5, 0, 0}, {3, 5, 2, 10}, {3, -4, 2, 6}, {3, 4, 1, 7}, {3, -9, 1, 0},
        {3, 40, 0, 10}, {3, 1, 7, 3}, {3, INT_MAX, 1, 10}, {3, INT_MIN, 2, 0},
    };
    for (const SeekCase& c : cases) {
        int start = c.Start;
        ASSERT_TRUE(pack.Zyfsetpos(f, &start));
        ASSERT_TRUE(pack.Zyfseek(f, c.Offset, c.Origin));
        int pos = -1;
        pack.Zyfgetpos(f, &pos);
        EXPECT_EQ(pos, c.Expected) << "offset " << c.Offset << " origin " << c.Origin;
    }
    int far = 99;
    ASSERT_TRUE(pack.Zyfsetpos(f, &far));
    pack.Zyfgetpos(f, &far);
    EXPECT_EQ(far, 10);
    EXPECT_FALSE(pack.Zyfseek(nullptr, 0, 0));
    EXPECT_FALSE(pack.Zyfgetpos(nullptr, &far));
    EXPECT_FALSE(pack.Zyfsetpos(f, nullptr));
    pack.Zyfclose(f);
}

TEST_F(Entry, CompressedEntryAsStoredOrDecoded)
{
    const Bytes text = Text(20000);
    Write("text", text);
    TZyPack pack(nullptr);
    MakePack(pack, {{"text", true}});
    pack.EndPack();
    const Bytes file = Read("p.pak");
    ASSERT_TRUE(pack.LoadPack("p.pak"));

    ZyFILE* raw = pack.ZyfopenComp("text", false);
    ASSERT_NE(raw, nullptr);
    const int stored = pack.Zydsize(raw);
    EXPECT_EQ(pack.Zyfsize(raw), 20000);
    EXPECT_TRUE(pack.ZyIsComp(raw));
    Bytes got(static_cast<size_t>(stored) + 100);
    EXPECT_EQ(pack.Zyfread(got.data(), 1, static_cast<unsigned>(got.size()), raw), static_cast<unsigned>(stored));
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + stored, file.begin() + 16)) << "the compressed bytes";
    ASSERT_TRUE(pack.Zyfseek(raw, 0, 2));
    int pos = 0;
    pack.Zyfgetpos(raw, &pos);
    EXPECT_EQ(pos, stored);

    ZyFILE* plain = pack.Zyfopen("text");
    ASSERT_NE(plain, nullptr);
    Bytes all(20000);
    ASSERT_TRUE(pack.Zyfseek(plain, 12345, 0));
    EXPECT_EQ(pack.Zyfread(all.data(), 100, 1, plain), 1u);
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + 100, text.begin() + 12345));
    ASSERT_TRUE(pack.Zyfseek(plain, 0, 0));
    EXPECT_EQ(pack.Zyfread(all.data(), 20000, 1, plain), 1u);
    EXPECT_EQ(all, text);
    pack.Zyfclose(raw);
    pack.Zyfclose(plain);
}

TEST_F(Entry, InterleavedReadsOfTwoPlainEntries)
{
    const Bytes a = Noise(5000, 1), b = Noise(7000, 2);
    Write("a", a);
    Write("b", b);
    TZyPack pack(nullptr);
    MakePack(pack, {{"a", false}, {"b", false}});
    ZyFILE* fa = pack.Zyfopen("a");
    ZyFILE* fb = pack.Zyfopen("b");
    ASSERT_TRUE(fa && fb);
    Bytes ga, gb;
    unsigned char buf[333];
    for (;;) {
        unsigned na = pack.Zyfread(buf, 1, sizeof buf, fa);
        ga.insert(ga.end(), buf, buf + na);
        unsigned nb = pack.Zyfread(buf, 1, sizeof buf, fb);
        gb.insert(gb.end(), buf, buf + nb);
        if (na == 0 && nb == 0)
            break;
    }
    EXPECT_EQ(ga, a);
    EXPECT_EQ(gb, b);
    pack.Zyfclose(fa);
    pack.Zyfclose(fb);
}

TEST_F(Entry, RecordQueries)
{
    Write("ten", Ten);
    TZyPack pack(nullptr);
    MakePack(pack, {{"ten", false}});
    ZyFILE* f = pack.Zyfopen("ten");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(pack.ZyIsCrc(f));
    TCrcCheck crc;
    EXPECT_EQ(pack.ZyGetCrc(f), crc.Crc(Ten.data(), 10));
    FILETIME t{};
    EXPECT_TRUE(pack.ZyGetFileTime(f, &t));
    EXPECT_NE(t.dwHighDateTime, 0u);
    EXPECT_FALSE(pack.ZyIsCrc(nullptr));
    EXPECT_EQ(pack.ZyGetCrc(nullptr), 0);
    EXPECT_FALSE(pack.ZyGetFileTime(nullptr, &t));
    ZyFILE other = *f;
    other.Index = 5;
    EXPECT_FALSE(pack.ZyIsCrc(&other));
    EXPECT_FALSE(pack.ZyGetFileTime(&other, &t));
    EXPECT_EQ(pack.Zyfopen("missing"), nullptr);
    pack.Zyfclose(f);
    pack.EndPack();
    EXPECT_EQ(pack.Zyfopen("ten"), nullptr) << "no pack open";
    EXPECT_EQ(pack.Zyfsize(&other), 0);
    EXPECT_EQ(pack.Zydsize(&other), 0);
    EXPECT_FALSE(pack.ZyIsComp(&other));
    unsigned char buf[4];
    EXPECT_EQ(pack.Zyfread(buf, 1, 4, &other), 0u);
    EXPECT_TRUE(Recorded().Boxes.empty());
}

TEST_F(Entry, AddPackCopiesStoredBytesUnchanged)
{
    Write("text", Text(9000));
    Write("ten", Ten);
    TZyPack src(nullptr);
    MakePack(src, {{"text", true}, {"ten", false}});
    src.EndPack();
    std::filesystem::rename("p.pak", "src.pak");
    src.SetReadOnly(true);
    ASSERT_TRUE(src.LoadPack("src.pak"));

    TZyPack dst(nullptr);
    std::vector<int> seen;
    dst.OnProgress = [&](TObject*) { seen.push_back(dst.ProgPercent()); };
    MakePack(dst, {{"ten", false}});
    EXPECT_FALSE(dst.AddPack("ten", &src, "ten")) << "name present";
    EXPECT_FALSE(dst.AddPack("copy", &src, "missing"));
    EXPECT_FALSE(dst.AddPack("self", &dst, "ten"));
    seen.clear();
    ASSERT_TRUE(dst.AddPack("copy.txt", &src, "TEXT"));
    EXPECT_EQ(seen, (std::vector<int>{0, 100}));

    ZyFILE* a = src.ZyfopenComp("text", false);
    ZyFILE* b = dst.ZyfopenComp("copy.txt", false);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(dst.ZyIsComp(b));
    EXPECT_EQ(dst.Zyfsize(b), 9000);
    ASSERT_EQ(dst.Zydsize(b), src.Zydsize(a));
    Bytes sa(static_cast<size_t>(src.Zydsize(a))), sb(sa.size());
    EXPECT_EQ(src.Zyfread(sa.data(), static_cast<unsigned>(sa.size()), 1, a), 1u);
    EXPECT_EQ(dst.Zyfread(sb.data(), static_cast<unsigned>(sb.size()), 1, b), 1u);
    EXPECT_EQ(sa, sb);
    EXPECT_EQ(dst.ZyGetCrc(b), src.ZyGetCrc(a));
    FILETIME ta, tb;
    src.ZyGetFileTime(a, &ta);
    dst.ZyGetFileTime(b, &tb);
    EXPECT_EQ(ta.dwLowDateTime, tb.dwLowDateTime);
    EXPECT_EQ(ta.dwHighDateTime, tb.dwHighDateTime);
    src.Zyfclose(a);
    dst.Zyfclose(b);

    dst.EndPack();
    dst.EachFileCrc = true;
    ASSERT_TRUE(dst.LoadPack("p.pak"));
    std::unique_ptr<TMemoryStream> s(dst.ZyMakeStream("copy.txt"));
    ASSERT_TRUE(s);
    EXPECT_EQ(Bytes(s->Memory(), s->Memory() + s->Size()), Text(9000));
    dst.EndPack();
    dst.EachFileCrc = false;
    EXPECT_TRUE(dst.LoadPack("p.pak")) << "the pack check word covers the copy";
}

TEST_F(Entry, StreamsAndTheHeldFile)
{
    Write("empty", Bytes{});
    Write("ten", Ten);
    TZyPack pack(nullptr);
    MakePack(pack, {{"empty", true}, {"ten", false}});
    std::unique_ptr<TMemoryStream> e(pack.ZyMakeStream("empty"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Size(), 0);
    EXPECT_EQ(e->Position(), 0);
    EXPECT_EQ(pack.ZyMakeStream("missing"), nullptr);

    ASSERT_TRUE(pack.OpenFile("TEN"));
    EXPECT_EQ(pack.FileName(), "TEN");
    ASSERT_NE(pack.FileStream(), nullptr);
    EXPECT_EQ(pack.FileStream()->Position(), 0);
    EXPECT_EQ(Bytes(pack.FileStream()->Memory(), pack.FileStream()->Memory() + 10), Ten);
    EXPECT_FALSE(pack.OpenFile("missing"));
    EXPECT_EQ(pack.FileName(), "");
    EXPECT_EQ(pack.FileStream(), nullptr);
    pack.SetFileName("ten");
    EXPECT_NE(pack.FileStream(), nullptr);
    EXPECT_TRUE(pack.OpenFile(""));
    EXPECT_EQ(pack.FileStream(), nullptr);
    pack.SetFileName("ten");
    pack.CloseFile();
    EXPECT_EQ(pack.FileName(), "");
    EXPECT_EQ(pack.FileStream(), nullptr);
    pack.SetFileName("ten");
    pack.EndPack();
    EXPECT_EQ(pack.FileStream(), nullptr) << "ending the pack lets the entry go";
}

TEST_F(Entry, BrokenCompressedStreamIsRefused)
{
    Write("text", Text(5000));
    {
        TZyPack pack(nullptr);
        MakePack(pack, {{"text", true}});
    }
    Bytes b = Read("p.pak");
    const size_t rec = 16 + static_cast<size_t>(Int32(b, 8));
    PutInt32(b, rec + 28, 90000); // a larger size than the stream holds
    Write("p.pak", b);
    TZyPack pack(nullptr);
    pack.EachFileCrc = true;
    ASSERT_TRUE(pack.LoadPack("p.pak"));
    EXPECT_EQ(pack.Zyfopen("text"), nullptr);
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    EXPECT_EQ(Recorded().Boxes[0].Text, Sjis("Packﾌｧｲﾙが壊れています。"));
    ZyFILE* raw = pack.ZyfopenComp("text", false);
    EXPECT_NE(raw, nullptr) << "its stored bytes can still be read";
    pack.Zyfclose(raw);
}

// A data area of almost 2 GiB (a sparse file): a record at its very end
// would have a file offset past INT32_MAX, which no handle can hold, so it
// is refused as damaged; a record at the start still opens.
TEST_F(Entry, RecordWhoseFileOffsetPassesInt32IsDamaged)
{
    const std::int32_t dataSize = INT32_MAX - 15;
    Bytes b = {'Z', 'y', 'P', 'a', 'c', 'k', 0x00, 0x03, 0, 0, 0, 0, 2, 0, 0, 0};
    PutInt32(b, 8, dataSize);
    Bytes records(96, 0);
    records[0] = 'e';
    PutInt32(records, 24, dataSize); // offset: the end of the data area, empty
    records[48] = 'f';
    PutInt32(records, 48 + 28, 16);
    PutInt32(records, 48 + 32, 16);
    Write("p.pak", b);
    std::FILE* f = std::fopen("p.pak", "r+b");
    ASSERT_NE(f, nullptr);
    const bool sparse = ::ftruncate(fileno(f), off_t{16} + dataSize) == 0 && std::fseek(f, 0, SEEK_END) == 0
        && std::fwrite(records.data(), 1, records.size(), f) == records.size();
    std::fclose(f);
    if (!sparse)
        GTEST_SKIP() << "no sparse file of 2 GiB here";
    TZyPack pack(nullptr);
    pack.EachFileCrc = true;
    ASSERT_TRUE(pack.LoadPack("p.pak"));
    EXPECT_EQ(pack.Zyfopen("e"), nullptr);
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    EXPECT_EQ(Recorded().Boxes[0].Text, Sjis("Packﾌｧｲﾙが壊れています。"));
    ZyFILE* first = pack.Zyfopen("f");
    ASSERT_NE(first, nullptr);
    unsigned char bytes[16] = {1};
    EXPECT_EQ(pack.Zyfread(bytes, 16, 1, first), 1u);
    EXPECT_EQ(Bytes(bytes, bytes + 16), Bytes(16, 0));
    pack.Zyfclose(first);
}

// Heap bytes in use, from the allocator that serves this build.
size_t HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// A checked pack with one compressed entry "e": the given stream, declared
// to decode to `size` bytes.
Bytes PackWithStream(const Bytes& stream, std::int32_t size)
{
    Bytes b = {'Z', 'y', 'P', 'a', 'c', 'k', 0x00, 0x03, 0, 0, 0, 0, 1, 0, 0, 0};
    const size_t padded = (stream.size() + 15) / 16 * 16;
    PackFolder::PutInt32(b, 8, static_cast<std::int32_t>(padded));
    b.insert(b.end(), stream.begin(), stream.end());
    b.resize(16 + padded);
    Bytes rec(48, 0);
    rec[0] = 'e';
    PackFolder::PutInt32(rec, 28, size);
    PackFolder::PutInt32(rec, 32, static_cast<std::int32_t>(stream.size()));
    rec[36] = 1;
    b.insert(b.end(), rec.begin(), rec.end());
    unsigned short crc = PackFolder::CrcOf(b, 0, b.size());
    b.push_back(static_cast<std::uint8_t>(crc));
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
    return b;
}

// A size from the table is checked against what the stored bytes can
// decode to before anything is reserved, and the decoded block only grows
// with the bytes that come out, so a damaged record is shown as damaged
// whatever memory is free.
TEST_F(Entry, DeclaredSizeReservesNothingTheStreamCannotGive)
{
    const Bytes noise = Noise(800000, 4);
    const Bytes longStream = lunder_drive::Encode(noise.data(), static_cast<int>(noise.size()));
    const Bytes shortStream(longStream.begin(), longStream.begin() + 16);
    ASSERT_GE(TLunderDecode::MaxSize(static_cast<int>(longStream.size())), INT32_MAX) << "the bound lets it start";
    struct Case {
        const char* Name;
        const Bytes& Stream;
        std::int32_t Size;
        bool Reads; // decoding starts before the fault shows
    } cases[] = {
        {"2 GiB over 16 stored bytes", shortStream, INT32_MAX, false},
        {"one byte above what 16 bytes can give", shortStream, static_cast<std::int32_t>(TLunderDecode::MaxSize(16) + 1), false},
        {"2 GiB over a stream of 800000 bytes that ends early", longStream, INT32_MAX, true},
    };
    for (const Case& c : cases) {
        Write("p.pak", PackWithStream(c.Stream, c.Size));
        Recorded().Boxes.clear();
        TZyPack pack(nullptr);
        ASSERT_TRUE(pack.LoadPack("p.pak")) << c.Name;
        const size_t before = HeapInUse();
        size_t peak = 0;
        int pieces = 0;
        pack.OnProgress = [&](TObject*) {
            peak = std::max(peak, HeapInUse());
            ++pieces;
        };
        EXPECT_EQ(pack.Zyfopen("e"), nullptr) << c.Name;
        ASSERT_EQ(Recorded().Boxes.size(), 1u) << c.Name;
        EXPECT_EQ(Recorded().Boxes[0].Text, Sjis("Packﾌｧｲﾙが壊れています。")) << c.Name;
        EXPECT_EQ(pieces > 0, c.Reads) << c.Name;
        EXPECT_LT(peak, before + (16u << 20)) << c.Name << ": reserved " << (peak - before) << " bytes";
        ZyFILE* raw = pack.ZyfopenComp("e", false);
        ASSERT_NE(raw, nullptr) << c.Name;
        EXPECT_EQ(pack.Zyfsize(raw), c.Size) << "the stored form still reports the record";
        pack.Zyfclose(raw);
    }
}

} // namespace
