// The pack container: file layout, names, old versions, checks, damaged and
// truncated files, temporary files and progress.
#include "pack_fixture.h"
#include "lunder_drive.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>

namespace {

using Pack = PackFolder;

TEST_F(Pack, NewPackEndedUnchangedIsTheHeaderAlone)
{
    {
        TZyPack pack(nullptr);
        EXPECT_FALSE(pack.NewPack("p.pak")) << "read-only by default";
        pack.SetReadOnly(false);
        ASSERT_TRUE(pack.NewPack("p.pak"));
        EXPECT_EQ(pack.PackName(), "p.pak");
        pack.SetReadOnly(true);
        EXPECT_FALSE(pack.ReadOnly()) << "fixed while a pack is open";
        pack.EndPack();
        EXPECT_EQ(pack.PackName(), "");
    }
    Bytes b = Read("p.pak");
    ASSERT_EQ(b.size(), 16u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 6), "ZyPack");
    EXPECT_EQ(b[6], 0x00);
    EXPECT_EQ(b[7], 0x03);
    EXPECT_EQ(Int32(b, 8), 0);
    EXPECT_EQ(Int32(b, 12), 0);

    TZyPack pack(nullptr);
    EXPECT_FALSE(pack.LoadPack("p.pak")) << "no check word";
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    pack.EachFileCrc = true;
    ASSERT_TRUE(pack.LoadPack("p.pak"));
    EXPECT_EQ(pack.GetFileNum(), 0);
}

TEST_F(Pack, RecordsPaddingOffsetsAndCheckWord)
{
    Bytes ten = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    Write("ten.txt", ten);
    Write("two.bin", Noise(40, 9));
    {
        TZyPack pack(nullptr);
        MakePack(pack, {{"ten.txt", false}, {"two.bin", false}});
        EXPECT_EQ(pack.GetFileNum(), 2);
    }
    Bytes b = Read("p.pak");
    ASSERT_EQ(b.size(), 16u + 16 + 48 + 2 * 48 + 2);
    EXPECT_EQ(Int32(b, 8), 64) << "data size: 10 + 6 padding, 40 + 8 padding";
    EXPECT_EQ(Int32(b, 12), 2);
    EXPECT_TRUE(std::equal(ten.begin(), ten.end(), b.begin() + 16));
    EXPECT_TRUE(std::all_of(b.begin() + 26, b.begin() + 32, [](std::uint8_t c) { return c == 0; }));
    const size_t r0 = 16 + 64, r1 = r0 + 48;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[r0])), "ten");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[r0 + 21]), 3), "txt");
    EXPECT_EQ(Int32(b, r0 + 24), 0);
    EXPECT_EQ(Int32(b, r0 + 28), 10);
    EXPECT_EQ(Int32(b, r0 + 32), 10);
    EXPECT_EQ(b[r0 + 36], 0) << "plain";
    EXPECT_EQ(b[r0 + 37], 1) << "check word valid";
    EXPECT_EQ(b[r0 + 38] | b[r0 + 39] << 8, CrcOf(ten, 0, 10));
    EXPECT_EQ(Int32(b, r1 + 24), 16) << "the next entry starts at data offset 16";
    // The modification time, as FILETIME.
    std::uint64_t ft = 0;
    for (int i = 7; i >= 0; --i)
        ft = ft << 8 | b[r0 + 40 + static_cast<size_t>(i)];
    struct stat st;
    ASSERT_EQ(::stat("ten.txt", &st), 0);
    EXPECT_EQ(ft, 116444736000000000ull + static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 10000000 + static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100);
    size_t end = b.size() - 2;
    EXPECT_EQ(b[end] | b[end + 1] << 8, CrcOf(b, 0, end));

    TZyPack again(nullptr);
    EXPECT_TRUE(again.LoadPack("p.pak"));
    EXPECT_TRUE(Recorded().Boxes.empty());
}

TEST_F(Pack, CompressedOnlyWhenSmaller)
{
    Write("text.txt", Text(5000));
    Write("noise.bin", Noise(100, 3));
    Write("empty", Bytes{});
    TZyPack pack(nullptr);
    MakePack(pack, {{"text.txt", true}, {"noise.bin", true}, {"empty", true}});
    struct Expect {
        const char* Name;
        bool Compressed;
        int Size;
    } expect[] = {{"text.txt", true, 5000}, {"noise.bin", false, 100}, {"empty", false, 0}};
    for (const Expect& e : expect) {
        ZyFILE* f = pack.ZyfopenComp(e.Name, false);
        ASSERT_NE(f, nullptr) << e.Name;
        EXPECT_EQ(pack.ZyIsComp(f), e.Compressed) << e.Name;
        EXPECT_EQ(pack.Zyfsize(f), e.Size) << e.Name;
        if (e.Compressed)
            EXPECT_LT(pack.Zydsize(f), e.Size) << e.Name;
        else
            EXPECT_EQ(pack.Zydsize(f), e.Size) << e.Name;
        pack.Zyfclose(f);
    }
    std::unique_ptr<TMemoryStream> s(pack.ZyMakeStream("TEXT.TXT"));
    ASSERT_TRUE(s);
    EXPECT_EQ(Bytes(s->Memory(), s->Memory() + s->Size()), Text(5000));
    EXPECT_FALSE(std::filesystem::exists("ZyTmp000.Lunder")) << "temporary file removed";
}

TEST_F(Pack, NamesIgnoreCaseAndAreCut)
{
    Write("f", "x");
    TZyPack pack(nullptr);
    EXPECT_TRUE(pack.AddFile("a.txt", "f", false) == false) << "read-only";
    pack.SetReadOnly(false);
    EXPECT_TRUE(pack.AddFile("a.txt", "f", false)) << "no pack open: true, nothing done";
    MakePack(pack, {});
    ASSERT_TRUE(pack.AddFile("readme.txt", "f", false));
    EXPECT_FALSE(pack.AddFile("README.TXT", "f", false));
    ASSERT_EQ(Recorded().Exceptions.size(), 1u);
    EXPECT_EQ(Recorded().Exceptions[0], Sjis("ファイル名README.TXTが不正です。"));
    EXPECT_EQ(pack.CheckFileName("ReadMe.Txt"), 0);

    const char* longBase = "abcdefghijklmnopqrstuvw.t"; // 25 characters, base of 23
    ASSERT_TRUE(pack.AddFile(longBase, "f", false));
    EXPECT_EQ(pack.CheckFileName(longBase), -1);
    EXPECT_EQ(pack.CheckFileName("abcdefghijklmnopqrstu.t"), 1);
    EXPECT_FALSE(pack.AddFile("abcdefghijklmnopqrstuv.txt", "f", false)) << "26 characters";
    ASSERT_TRUE(pack.AddFile("a.long", "f", false));
    ASSERT_TRUE(pack.AddFile("x.b.c", "f", false));
    // Shift_JIS: the second byte 0x61 of this character is no 'a'.
    const std::string kanji = "\x88\x61.txt";
    ASSERT_TRUE(pack.AddFile(kanji.c_str(), "f", false));
    EXPECT_EQ(pack.CheckFileName("\x88\x41.TXT"), -1);
    EXPECT_EQ(pack.CheckFileName("\x88\x61.TXT"), 4);

    char name[26];
    const char* expected[] = {"readme.txt", "abcdefghijklmnopqrstu.t", "a.lon", "x.b.c", kanji.c_str()};
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(pack.GetFileName(i, name));
        EXPECT_STREQ(name, expected[i]);
    }
    EXPECT_FALSE(pack.GetFileName(5, name));
    EXPECT_FALSE(pack.GetFileName(-1, name));

    ASSERT_TRUE(pack.DelFile("A.LON"));
    EXPECT_EQ(pack.GetFileNum(), 5);
    ASSERT_TRUE(pack.GetFileName(2, name));
    EXPECT_STREQ(name, "");
    EXPECT_EQ(pack.CheckFileName("a.lon"), -1);
    EXPECT_EQ(pack.CheckFileName(""), 2) << "a deleted record has the empty name";
    EXPECT_FALSE(pack.DelFile("missing"));
    pack.EndPack();
    EXPECT_EQ(pack.GetFileNum(), 0);
    EXPECT_EQ(pack.CheckFileName("readme.txt"), -1);
}

TEST_F(Pack, AddFileFailuresLeaveThePackAlone)
{
    TZyPack pack(nullptr);
    MakePack(pack, {});
    EXPECT_FALSE(pack.AddFile("x", "missing.txt", false));
    std::filesystem::create_directory("folder");
    EXPECT_FALSE(pack.AddFile("y", "folder", true));
    ASSERT_EQ(Recorded().Exceptions.size(), 2u);
    EXPECT_EQ(Recorded().Exceptions[0], Sjis("ファイルmissing.txtが開けません。"));
    EXPECT_EQ(Recorded().Exceptions[1], Sjis("ファイルfolderが開けません。"));
    EXPECT_EQ(pack.GetFileNum(), 0);
    pack.EndPack();
    EXPECT_EQ(Read("p.pak").size(), 16u);
}

TEST_F(Pack, SourceShorterThanItsSizeIsAFailedAdd)
{
    // Kernel attribute files claim 4096 bytes and hold fewer.
    const char* shortFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (!std::filesystem::exists(shortFile) || Read(shortFile).size() >= 4096)
        GTEST_SKIP() << "no file that reads shorter than its size";
    Write("a.txt", Text(100));
    TZyPack pack(nullptr);
    MakePack(pack, {{"a.txt", false}});
    for (bool comp : {false, true})
        EXPECT_FALSE(pack.AddFile("short", shortFile, comp)) << (comp ? "compressed" : "plain");
    ASSERT_EQ(Recorded().Exceptions.size(), 2u);
    EXPECT_EQ(Recorded().Exceptions[1], Sjis("ファイル") + shortFile + Sjis("が開けません。"));
    EXPECT_EQ(pack.GetFileNum(), 1);
    pack.EndPack();
    ASSERT_TRUE(pack.LoadPack("p.pak"));
    std::unique_ptr<TMemoryStream> s(pack.ZyMakeStream("a.txt"));
    ASSERT_TRUE(s);
    EXPECT_EQ(Bytes(s->Memory(), s->Memory() + s->Size()), Text(100));
}

// A temporary file swapped for another while the entry is being compressed:
// the bytes stored are still the compressed ones, and the file now at that
// name is not deleted.
TEST_F(Pack, TemporaryFileIsReadBackThroughItsOwnDescriptor)
{
    Write("t.txt", Text(50000));
    const std::string impostor = "not the compressed bytes";
    TZyPack pack(nullptr);
    MakePack(pack, {});
    bool swapped = false;
    pack.OnProgress = [&](TObject*) {
        if (swapped || !std::filesystem::exists("ZyTmp000.Lunder"))
            return;
        std::filesystem::rename("ZyTmp000.Lunder", "moved.Lunder");
        Write("ZyTmp000.Lunder", impostor);
        swapped = true;
    };
    ASSERT_TRUE(pack.AddFile("t.txt", "t.txt", true));
    ASSERT_TRUE(swapped);
    EXPECT_EQ(Read("ZyTmp000.Lunder"), Bytes(impostor.begin(), impostor.end())) << "the file put in its place stays";
    std::unique_ptr<TMemoryStream> s(pack.ZyMakeStream("t.txt"));
    ASSERT_TRUE(s);
    EXPECT_EQ(Bytes(s->Memory(), s->Memory() + s->Size()), Text(50000));
}

// Room for new files on a real filesystem that is otherwise full: a small
// tmpfs mounted in the test folder when the test may mount one (as root),
// else a file-size limit on the process (RLIMIT_FSIZE), under which no file
// grows past the room. The room is a whole number of pages, so both give
// the same boundaries.
class FullDisk : public PackFolder {
public:
    void SetUp() override
    {
        PackFolder::SetUp();
        std::filesystem::create_directory("disk");
        mounted_ = ::mount("tmpfs", "disk", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0;
        std::signal(SIGXFSZ, SIG_IGN);
    }
    void TearDown() override
    {
        Unlimit();
        std::signal(SIGXFSZ, SIG_DFL);
        if (mounted_)
            ::umount2("disk", MNT_DETACH);
        PackFolder::TearDown();
    }
    const char* How() const { return mounted_ ? "a full tmpfs" : "RLIMIT_FSIZE"; }
    // From now on a new file on the disk reaches at most `room` bytes.
    void Limit(off_t room)
    {
        if (mounted_) {
            Fill();
            ASSERT_EQ(::truncate("disk/filler", filled_ - room), 0);
        } else {
            rlimit r{};
            ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &r), 0);
            saved_ = r;
            r.rlim_cur = static_cast<rlim_t>(room);
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &r), 0);
        }
    }
    void Unlimit()
    {
        if (mounted_)
            std::filesystem::remove("disk/filler");
        else if (saved_.rlim_max)
            setrlimit(RLIMIT_FSIZE, &saved_);
        saved_ = {};
    }

private:
    // Writes whole pages until the filesystem has none left.
    void Fill()
    {
        static const char page[4096] = {};
        int fd = ::open("disk/filler", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        filled_ = 0;
        while (::write(fd, page, sizeof page) == static_cast<ssize_t>(sizeof page))
            filled_ += sizeof page;
        ::close(fd);
    }
    bool mounted_ = false;
    off_t filled_ = 0;
    rlimit saved_{};
};

// Each case changes a pack in a filesystem that has room for a working copy
// of at most Room bytes, and runs out at one step of writing it: the copy
// of the data area, the entry's bytes, the table, the check word. The old
// pack stays byte for byte, the failure is shown, nothing is left beside it.
TEST_F(FullDisk, PackThatCannotBeWrittenStaysAsItWas)
{
    struct Case {
        const char* Name;
        int FirstSize; // the one entry of the old pack, plain
        off_t Room;
        int AddSize;   // a plain entry added, or -1 for a deletion
        bool AddFails;
    } cases[] = {
        {"no room for the copy", 4080, 0, -1, false},
        {"the copy fits, the table does not", 4080, 4096, -1, false},
        {"the copy fits, the entry's bytes do not", 4080, 4096, 100, true},
        {"the entry fits exactly, the table does not", 4080, 8192, 4096, false},
        {"the table fits exactly, the check word does not", 8128, 8192, -1, false},
    };
    std::fprintf(stderr, "full filesystem: %s\n", How());
    for (const Case& c : cases) {
        Write("first", Text(static_cast<size_t>(c.FirstSize)));
        Write("added", Text(static_cast<size_t>(std::max(c.AddSize, 0))));
        {
            TZyPack pack(nullptr);
            pack.SetReadOnly(false);
            ASSERT_TRUE(pack.NewPack("disk/p.pak"));
            ASSERT_TRUE(pack.AddFile("first", "first", false));
        }
        const Bytes before = Read("disk/p.pak");
        Recorded().Exceptions.clear();
        Limit(c.Room);
        {
            TZyPack pack(nullptr);
            pack.SetReadOnly(false);
            ASSERT_TRUE(pack.LoadPack("disk/p.pak")) << c.Name;
            if (c.AddSize < 0)
                ASSERT_TRUE(pack.DelFile("first")) << c.Name;
            else
                EXPECT_EQ(pack.AddFile("added", "added", false), !c.AddFails) << c.Name;
        }
        Unlimit();
        ASSERT_EQ(Recorded().Exceptions.size(), 1u) << c.Name;
        EXPECT_EQ(Recorded().Exceptions[0], Sjis("ファイルdisk/p.pakに書き込めません。")) << c.Name;
        EXPECT_EQ(Read("disk/p.pak"), before) << c.Name;
        std::vector<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator("disk"))
            left.push_back(e.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{"p.pak"}) << c.Name;
    }
}

// With room enough the same changes are written whole and nothing is left
// beside the pack.
TEST_F(FullDisk, PackWithRoomIsReplacedWhole)
{
    Write("first", Text(4080));
    Write("added", Text(4096));
    TZyPack pack(nullptr);
    pack.SetReadOnly(false);
    ASSERT_TRUE(pack.NewPack("disk/p.pak"));
    ASSERT_TRUE(pack.AddFile("first", "first", false));
    pack.EndPack();
    ASSERT_EQ(::chmod("disk/p.pak", 0640), 0);
    Limit(16384);
    ASSERT_TRUE(pack.LoadPack("disk/p.pak"));
    ASSERT_TRUE(pack.AddFile("added", "added", false));
    pack.EndPack();
    Unlimit();
    EXPECT_TRUE(Recorded().Exceptions.empty());
    EXPECT_EQ(Read("disk/p.pak").size(), 16u + 4080 + 4096 + 2 * 48 + 2);
    EXPECT_EQ(std::filesystem::status("disk/p.pak").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::group_read)
        << "the pack keeps its permissions";
    ASSERT_TRUE(pack.LoadPack("disk/p.pak")) << "check word right";
    EXPECT_EQ(pack.GetFileNum(), 2);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("disk"), std::filesystem::directory_iterator{}), 1);
}

// An old pack: header, data, and records of 32 or 40 bytes.
Bytes OldPack(std::uint16_t version, const std::vector<std::pair<std::string, Bytes>>& entries, bool compressed)
{
    Bytes data, table;
    for (const auto& [name, plain] : entries) {
        Bytes stored = compressed ? lunder_drive::Encode(plain.data(), static_cast<int>(plain.size())) : plain;
        Bytes rec(version == 0x0100 ? 32 : 40, 0);
        std::memcpy(rec.data(), name.c_str(), std::min<size_t>(name.size(), 21));
        PackFolder::PutInt32(rec, 24, static_cast<std::int32_t>(data.size()));
        PackFolder::PutInt32(rec, 28, static_cast<std::int32_t>(plain.size()));
        if (version == 0x0200) {
            PackFolder::PutInt32(rec, 32, static_cast<std::int32_t>(stored.size()));
            rec[36] = compressed ? 1 : 0;
        }
        table.insert(table.end(), rec.begin(), rec.end());
        data.insert(data.end(), stored.begin(), stored.end());
        data.resize((data.size() + 15) / 16 * 16);
    }
    Bytes b = {'Z', 'y', 'P', 'a', 'c', 'k', static_cast<std::uint8_t>(version), static_cast<std::uint8_t>(version >> 8), 0, 0, 0, 0, 0, 0, 0, 0};
    PackFolder::PutInt32(b, 8, static_cast<std::int32_t>(data.size()));
    PackFolder::PutInt32(b, 12, static_cast<std::int32_t>(entries.size()));
    b.insert(b.end(), data.begin(), data.end());
    b.insert(b.end(), table.begin(), table.end());
    return b;
}

TEST_F(Pack, OldVersionsLoadConvertedAndAreWrittenBackAsCurrent)
{
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    const Bytes text = Text(3000);
    Write("v1.pak", OldPack(0x0100, {{"hello", hello}, {"text", text}}, false));
    Write("v2.pak", OldPack(0x0200, {{"hello", hello}, {"text", text}}, true));
    for (const char* file : {"v1.pak", "v2.pak"}) {
        TZyPack pack(nullptr);
        ASSERT_TRUE(pack.LoadPack(file)) << file;
        ASSERT_EQ(pack.GetFileNum(), 2);
        ZyFILE* f = pack.Zyfopen("text");
        ASSERT_NE(f, nullptr) << file;
        EXPECT_EQ(pack.ZyIsComp(f), file[1] == '2');
        EXPECT_FALSE(pack.ZyIsCrc(f));
        EXPECT_EQ(pack.ZyGetCrc(f), 0);
        FILETIME t{};
        ASSERT_TRUE(pack.ZyGetFileTime(f, &t));
        EXPECT_EQ(t.dwHighDateTime, 0x01B41DDEu);
        EXPECT_EQ(t.dwLowDateTime, 0xA8EE9800u);
        Bytes got(3000);
        EXPECT_EQ(pack.Zyfread(got.data(), 3000, 1, f), 1u);
        EXPECT_EQ(got, text) << file;
        pack.Zyfclose(f);
    }
    {
        TZyPack pack(nullptr);
        pack.SetReadOnly(false);
        ASSERT_TRUE(pack.LoadPack("v1.pak"));
        pack.EndPack();
        EXPECT_EQ(Read("v1.pak")[7], 0x01) << "unchanged packs stay as they are";
        ASSERT_TRUE(pack.LoadPack("v1.pak"));
        ASSERT_TRUE(pack.DelFile("hello"));
        pack.EndPack();
    }
    Bytes b = Read("v1.pak");
    EXPECT_EQ(b[7], 0x03);
    TZyPack pack(nullptr);
    ASSERT_TRUE(pack.LoadPack("v1.pak")) << "with its check word";
    EXPECT_EQ(pack.CheckFileName("text"), 1);
    EXPECT_EQ(pack.CheckFileName("hello"), -1);

    Bytes odd = OldPack(0x0100, {{"hello", hello}}, false);
    odd[7] = 0x04;
    Write("v4.pak", odd);
    EXPECT_FALSE(pack.LoadPack("v4.pak"));
    EXPECT_TRUE(Recorded().Boxes.empty()) << "an unknown version fails silently";
}

TEST_F(Pack, CorruptedPackIsRefusedWithTheMessage)
{
    Write("a.txt", Text(700));
    Write("b.txt", Text(900));
    {
        TZyPack pack(nullptr);
        MakePack(pack, {{"a.txt", true}, {"b.txt", false}});
    }
    Bytes b = Read("p.pak");
    b[16 + 3] ^= 0x40; // inside the first entry
    Write("p.pak", b);

    TZyPack pack(nullptr);
    EXPECT_FALSE(pack.LoadPack("p.pak"));
    EXPECT_EQ(pack.PackName(), "");
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    EXPECT_EQ(Recorded().Boxes[0].Text, Sjis("Packﾌｧｲﾙが壊れています。"));
    EXPECT_EQ(Recorded().Boxes[0].Caption, Sjis("CRCｴﾗｰ"));
    EXPECT_EQ(Recorded().Boxes[0].Flags & MB_ICONMASK, MB_ICONERROR);

    Recorded().Boxes.clear();
    pack.EachFileCrc = true;
    ASSERT_TRUE(pack.LoadPack("p.pak"));
    EXPECT_EQ(pack.Zyfopen("a.txt"), nullptr);
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    EXPECT_EQ(Recorded().Boxes[0].Caption, Sjis("CRCｴﾗｰ"));
    ZyFILE* good = pack.Zyfopen("b.txt");
    EXPECT_NE(good, nullptr);
    pack.Zyfclose(good);

    pack.EachFileCrc = false; // no entry check: the altered entry opens
    ZyFILE* raw = pack.ZyfopenComp("a.txt", false);
    EXPECT_NE(raw, nullptr);
    pack.Zyfclose(raw);
}

TEST_F(Pack, TruncatedAtEveryLengthLoadsOrFailsCleanly)
{
    Write("a.txt", Text(300));
    Write("b.bin", Noise(50, 1));
    {
        TZyPack pack(nullptr);
        MakePack(pack, {{"a.txt", true}, {"b.bin", false}});
    }
    const Bytes whole = Read("p.pak");
    for (size_t len = 0; len <= whole.size(); ++len) {
        Write("cut.pak", Bytes(whole.begin(), whole.begin() + static_cast<long>(len)));
        for (bool each : {false, true}) {
            TZyPack pack(nullptr);
            pack.EachFileCrc = each;
            bool loaded = pack.LoadPack("cut.pak");
            bool expected = len == whole.size() || (each && len >= whole.size() - 2);
            EXPECT_EQ(loaded, expected) << "length " << len << (each ? " per entry" : " whole");
            if (!loaded)
                continue;
            for (const char* name : {"a.txt", "b.bin"}) {
                std::unique_ptr<TMemoryStream> s(pack.ZyMakeStream(name));
                EXPECT_TRUE(s) << name << " at length " << len;
            }
        }
    }
}

TEST_F(Pack, DamagedRecordsGiveFailuresNotReads)
{
    Write("a.txt", Text(300));
    {
        TZyPack pack(nullptr);
        MakePack(pack, {{"a.txt", false}});
    }
    const Bytes whole = Read("p.pak");
    const size_t rec = 16 + static_cast<size_t>(Int32(whole, 8));
    struct Damage {
        const char* Name;
        size_t At;
        std::int32_t Value;
    } damages[] = {
        {"offset past the data", 24, 1 << 20}, {"negative offset", 24, -64},
        {"stored size past the data", 32, 100000}, {"negative size", 28, -1},
        {"plain size unlike stored size", 28, 301},
    };
    for (const Damage& d : damages) {
        Bytes b = whole;
        PutInt32(b, rec + d.At, d.Value);
        Write("bad.pak", b);
        TZyPack pack(nullptr);
        pack.EachFileCrc = true;
        ASSERT_TRUE(pack.LoadPack("bad.pak")) << d.Name;
        EXPECT_EQ(pack.Zyfopen("a.txt"), nullptr) << d.Name;
    }
    Bytes b = whole;
    PutInt32(b, 12, 1 << 28); // a count far beyond the file
    Write("bad.pak", b);
    TZyPack pack(nullptr);
    pack.EachFileCrc = true;
    EXPECT_FALSE(pack.LoadPack("bad.pak"));
    PutInt32(b, 12, -3);
    Write("bad.pak", b);
    EXPECT_FALSE(pack.LoadPack("bad.pak"));
}

TEST_F(Pack, WritableLoadOfAMissingFileLeavesNothing)
{
    TZyPack pack(nullptr);
    pack.SetReadOnly(false);
    EXPECT_FALSE(pack.LoadPack("none.pak"));
    EXPECT_FALSE(std::filesystem::exists("none.pak"));
    EXPECT_TRUE(pack.OpenPack("")) << "an empty name just ends";
}

TEST_F(Pack, TemporaryFiles)
{
    char name[16];
    ASSERT_TRUE(TZyPack::MakeTempFile(name));
    EXPECT_STREQ(name, "ZyTmp000.Lunder");
    Write("ZyTmp000.Lunder", "x");
    Write("ZyTmp001.Lunder", "x");
    ASSERT_TRUE(TZyPack::MakeTempFile(name));
    EXPECT_STREQ(name, "ZyTmp002.Lunder");

    // A dangling link at the next name is never written through.
    std::filesystem::create_symlink("victim", "ZyTmp002.Lunder");
    Write("t.txt", Text(2000));
    TZyPack pack(nullptr);
    MakePack(pack, {{"t.txt", true}});
    EXPECT_FALSE(std::filesystem::exists("victim"));
    EXPECT_FALSE(std::filesystem::exists("ZyTmp003.Lunder")) << "used and removed";
    EXPECT_TRUE(std::filesystem::is_symlink("ZyTmp002.Lunder"));

    for (int i = 3; i < 1000; ++i) {
        std::snprintf(name, sizeof name, "ZyTmp%03d.Lunder", i);
        Write(name, "x");
    }
    std::filesystem::remove("ZyTmp002.Lunder");
    Write("ZyTmp002.Lunder", "x");
    EXPECT_FALSE(TZyPack::MakeTempFile(name));
    EXPECT_FALSE(pack.AddFile("u.txt", "t.txt", true));
    ASSERT_EQ(Recorded().Exceptions.size(), 1u);
    EXPECT_EQ(Recorded().Exceptions[0], Sjis("テンポラリファイルが作れません。"));
    EXPECT_TRUE(pack.AddFile("u.txt", "t.txt", false)) << "plain adds need no temporary file";
}

TEST_F(Pack, ProgressFigures)
{
    Write("big.bin", Noise(100000, 5));
    Write("text.txt", Text(40000));
    TZyPack pack(nullptr);
    std::vector<int> seen;
    pack.OnProgress = [&](TObject* sender) {
        EXPECT_EQ(sender, &pack);
        seen.push_back(pack.ProgPercent());
    };
    MakePack(pack, {{"big.bin", false}});
    EXPECT_EQ(seen, (std::vector<int>{0, 32, 65, 98, 100})) << "copy in pieces of 32768";

    seen.clear();
    ASSERT_TRUE(pack.AddFile("text.txt", "text.txt", true));
    // Encoding: one report per turn (the fourth turn reads nothing), then
    // the copy of the compressed bytes in one short piece.
    EXPECT_EQ(seen, (std::vector<int>{0, 40, 81, 100, 100, 0, 100}));

    seen.clear();
    ZyFILE* f = pack.Zyfopen("text.txt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(seen, (std::vector<int>{0, 100})) << "decoding reports the pieces it reads";
    pack.Zyfclose(f);
}

TEST_F(Pack, ProgressOfCopiesAbove64MiBCountsPieces)
{
    const int total = 200000000;
    std::filesystem::resize_file((std::ofstream("sparse").close(), "sparse"), total);
    std::FILE* src = std::fopen("sparse", "rb");
    std::FILE* dst = std::fopen("/dev/null", "wb");
    ASSERT_TRUE(src && dst);
    TZyPack pack(nullptr);
    std::vector<int> seen;
    pack.OnProgress = [&](TObject*) { seen.push_back(pack.ProgPercent()); };
    pack.FileCopy(dst, src, total);
    std::fclose(src);
    std::fclose(dst);
    ASSERT_EQ(seen.size(), 1u + (total + 32767) / 32768);
    EXPECT_EQ(seen[3], 0) << "100000 bytes in: 3 * 100 / 6103";
    EXPECT_EQ(seen[3051], 49) << "100000000 bytes in: 3051 * 100 / 6103";
    EXPECT_EQ(seen.back(), 100);
}

TEST_F(Pack, OwnerFreesThePackAndItsFile)
{
    Write("a.txt", "abc");
    auto* owner = new TComponent(nullptr);
    auto* pack = new TZyPack(owner);
    pack->SetReadOnly(false);
    ASSERT_TRUE(pack->NewPack("p.pak"));
    ASSERT_TRUE(pack->AddFile("a.txt", "a.txt", false));
    ASSERT_TRUE(pack->OpenFile("a.txt"));
    delete owner; // ends the pack, writing it back
    TZyPack again(nullptr);
    ASSERT_TRUE(again.LoadPack("p.pak"));
    EXPECT_EQ(again.GetFileNum(), 1);
}

} // namespace
