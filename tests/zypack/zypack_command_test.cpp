// The zypack command, run in process on real files in a private folder:
// round trips, delete and re-add, refusals that leave everything as it
// was, damaged packs found by verify, and extraction kept inside its folder.
#include "support/pack_fixture.h"
#include "support/zybitmap_files.h"
#include "zypack/zypack_command.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int Status;
    std::string Out, Err;
};

Outcome Zypack(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const int status = RunZypack(args, out, err);
    return {status, out.str(), err.str()};
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// 2001-02-03 04:05:06 UTC.
constexpr time_t FileDate = 981173106;

class ZypackCommand : public PackFolder {
public:
    void SetUp() override
    {
        PackFolder::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
    static void WriteDated(const std::string& name, const Bytes& b)
    {
        Write(name, b);
        const struct timespec times[2] = {{FileDate, 0}, {FileDate, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), times, 0), 0) << name;
    }
    // Where two contents first differ, for large files.
    static std::string FirstDifference(const Bytes& a, const Bytes& b)
    {
        const auto [i, j] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
        const size_t at = static_cast<size_t>(i - a.begin());
        return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) + ", first difference at "
            + std::to_string(at) + ": " + Hex(Bytes(i, std::min(a.end(), i + 8))) + " / " + Hex(Bytes(j, std::min(b.end(), j + 8)));
    }
    static std::string ListLineOf(const std::string& listing, const std::string& name)
    {
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);)
            if (line.size() > name.size() && line.compare(line.size() - name.size() - 2, std::string::npos, "  " + name) == 0)
                return line;
        return {};
    }
};

// 'L' stored compressed, 'P' stored plain, '?' either (without --store).
struct Sample {
    std::string Name; // UTF-8, as on disk
    Bytes Content;
    char Stored;
};

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Sample> Samples()
{
    return {
        {"readme.txt", PackFolder::Text(5000), 'L'},
        {"picture.bmp", BmpBytes(Numbered8(40, 30)), '?'},
        {"photo.bmp", BmpBytes(Numbered24(17, 9)), '?'},
        {"empty.dat", {}, 'P'},
        {"large.bin", Concat(PackFolder::Text(600000), PackFolder::Noise(70000, 3)), 'L'},
        {"noise.bin", PackFolder::Noise(3000, 7), 'P'},
        {"日本語.txt", PackFolder::Text(200), 'L'},
        {"ソース.c", PackFolder::Text(40), '?'}, // ソ is 83 5C: a "\" as its second byte
        {"ｶﾅ.txt", PackFolder::Text(10), 'P'},
        {"abcdefghijklmnopqrstu.xyz", PackFolder::Text(300), 'L'},
    };
}

TEST_F(ZypackCommand, FilesComeBackByteForByteThroughAddListExtractAndVerify)
{
    for (const bool store : {false, true}) {
        SCOPED_TRACE(store ? "--store" : "compressed");
        fs::remove_all("in");
        fs::remove_all("out");
        fs::remove("p.pak");
        fs::create_directories("in");
        fs::create_directories("out");
        std::vector<std::string> add = {"add", "p.pak"};
        for (const Sample& s : Samples()) {
            WriteDated("in/" + s.Name, s.Content);
            add.push_back("in/" + s.Name);
        }
        if (store)
            add.push_back("--store");
        Outcome added = Zypack(add);
        ASSERT_EQ(added.Status, 0) << added.Err;
        EXPECT_EQ(added.Err, "");

        Outcome listed = Zypack({"list", "p.pak"});
        ASSERT_EQ(listed.Status, 0) << listed.Err;
        for (const Sample& s : Samples()) {
            const std::string line = ListLineOf(listed.Out, s.Name);
            ASSERT_NE(line, "") << s.Name << " missing in\n" << listed.Out;
            const char stored = store ? 'P' : s.Stored;
            std::istringstream fields(line);
            long size = -1, storedSize = -1;
            std::string packed, day, time, check;
            fields >> size >> storedSize >> packed >> day >> time >> check;
            EXPECT_EQ(size, static_cast<long>(s.Content.size())) << line;
            if (stored != '?') {
                EXPECT_EQ(packed, stored == 'L' ? "lunder" : "plain") << line;
            }
            EXPECT_EQ(packed == "plain", storedSize == size) << line;
            EXPECT_EQ(day + " " + time, "2001-02-03 04:05:06") << line;
            if (packed == "plain") {
                char crc[8];
                std::snprintf(crc, sizeof crc, "%04X", CrcOf(s.Content, 0, s.Content.size()));
                EXPECT_EQ(check, crc) << line;
            }
        }

        Outcome extracted = Zypack({"extract", "p.pak", "-C", "out"});
        ASSERT_EQ(extracted.Status, 0) << extracted.Err;
        for (const Sample& s : Samples()) {
            const Bytes back = Read("out/" + s.Name);
            EXPECT_TRUE(back == s.Content) << s.Name << ": " << FirstDifference(back, s.Content);
            struct stat st {};
            ASSERT_EQ(stat(("out/" + s.Name).c_str(), &st), 0) << s.Name;
            EXPECT_EQ(st.st_mtim.tv_sec, FileDate) << s.Name;
        }
        EXPECT_EQ(std::distance(fs::directory_iterator("out"), fs::directory_iterator()), static_cast<long>(Samples().size()));

        Outcome verified = Zypack({"verify", "p.pak"});
        EXPECT_EQ(verified.Status, 0) << verified.Err;
        for (const Sample& s : Samples())
            EXPECT_TRUE(Has(verified.Out, "ok       " + s.Name + "\n")) << verified.Out;
    }
    // The pack holds the names as Shift_JIS: 日本語 is 93 FA 96 7B 8C EA.
    const Bytes pack = Read("p.pak");
    const Bytes sjis = {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, 0, 0};
    EXPECT_NE(std::search(pack.begin(), pack.end(), sjis.begin(), sjis.end()), pack.end());
}

TEST_F(ZypackCommand, DeletedEntriesAreGoneAndTheirNamesCanBeAddedAgain)
{
    Write("a.txt", "first a");
    Write("b.txt", "bee");
    Write("日本語.txt", "nihongo");
    ASSERT_EQ(Zypack({"add", "p.pak", "a.txt", "b.txt", "日本語.txt"}).Status, 0);
    Outcome deleted = Zypack({"delete", "p.pak", "A.TXT", "日本語.txt"});
    ASSERT_EQ(deleted.Status, 0) << deleted.Err;
    Outcome listed = Zypack({"list", "p.pak"});
    EXPECT_EQ(ListLineOf(listed.Out, "a.txt"), "");
    EXPECT_EQ(ListLineOf(listed.Out, "日本語.txt"), "");
    EXPECT_NE(ListLineOf(listed.Out, "b.txt"), "");
    Outcome missing = Zypack({"extract", "p.pak", "a.txt"});
    EXPECT_EQ(missing.Status, 1);
    EXPECT_TRUE(Has(missing.Err, "no entry a.txt")) << missing.Err;

    Write("a.txt", "second a, longer than the first");
    ASSERT_EQ(Zypack({"add", "p.pak", "a.txt"}).Status, 0);
    fs::create_directories("out");
    ASSERT_EQ(Zypack({"extract", "p.pak", "-C", "out"}).Status, 0);
    EXPECT_EQ(Read("out/a.txt"), Read("a.txt"));
    EXPECT_EQ(Read("out/b.txt"), Read("b.txt"));
    EXPECT_FALSE(fs::exists("out/日本語.txt"));
    EXPECT_EQ(Zypack({"verify", "p.pak"}).Status, 0);
    TZyPack pack(nullptr);
    ASSERT_TRUE(pack.LoadPack("p.pak"));
    EXPECT_EQ(pack.GetFileNum(), 4); // deleted records stay
}

TEST_F(ZypackCommand, RefusalsChangeNothing)
{
    Write("a.txt", "alpha");
    Write("b.txt", "bravo");
    ASSERT_EQ(Zypack({"add", "p.pak", "a.txt"}).Status, 0);
    for (const char* name : {"abcdefghijklmnopqrstuv.txt", "x.html", "あいうえおかきくけこさ.txt", "한국.txt", "dot."})
        Write(name, "text");
    fs::create_directories("dir");
    fs::create_directories("sub");
    fs::create_directories("out");
    Write("sub/A.TXT", "other alpha");
    Write("sub/B.TXT", "other bravo");
    { // above the format's limit; sparse, so it takes no room
        std::FILE* huge = std::fopen("huge.bin", "wb");
        ASSERT_NE(huge, nullptr);
        ASSERT_EQ(ftruncate(fileno(huge), INT32_MAX), 0);
        std::fclose(huge);
    }
    const Bytes before = Read("p.pak");
    const struct {
        const char* Case;
        std::vector<std::string> Args;
        int Status;
        const char* Err;
    } cases[] = {
        {"base name of 22 bytes", {"add", "p.pak", "abcdefghijklmnopqrstuv.txt"}, 1, "longer than 21 bytes"},
        {"extension of 4 bytes", {"add", "p.pak", "x.html"}, 1, "must have 1 to 3 bytes"},
        {"11 characters, 22 bytes in Shift_JIS", {"add", "p.pak", "あいうえおかきくけこさ.txt"}, 1, "longer than 21 bytes"},
        {"name Shift_JIS cannot hold", {"add", "p.pak", "한국.txt"}, 1, "Shift_JIS cannot hold"},
        {"empty extension", {"add", "p.pak", "dot."}, 1, "must have 1 to 3 bytes"},
        {"a folder", {"add", "p.pak", "dir"}, 1, "dir: not a readable file"},
        {"a missing file", {"add", "p.pak", "none.txt"}, 1, "none.txt: not a readable file"},
        {"above the format's limit", {"add", "p.pak", "huge.bin"}, 1, "larger than a pack can hold"},
        {"a name in the pack, other case", {"add", "p.pak", "sub/A.TXT"}, 1, "A.TXT is in the pack already"},
        {"the second of two alike", {"add", "p.pak", "b.txt", "sub/B.TXT"}, 1, "nothing added"},
        {"a new pack whose add fails", {"add", "new.pak", "b.txt", "sub/B.TXT"}, 1, "nothing added"},
        {"deleting a missing entry", {"delete", "p.pak", "a.txt", "zz.txt"}, 1, "no entry zz.txt"},
        {"extracting a missing entry", {"extract", "p.pak", "zz.txt", "-C", "out"}, 1, "no entry zz.txt"},
        {"extracting into a missing folder", {"extract", "p.pak", "-C", "nowhere"}, 1, "nowhere: no such folder"},
        {"listing a file that is no pack", {"list", "b.txt"}, 1, "b.txt: not a pack file"},
        {"listing a missing pack", {"list", "none.pak"}, 1, "none.pak: no such pack file"},
        {"an unknown option", {"list", "p.pak", "-x"}, 2, "unknown option -x"},
        {"no command", {}, 2, "wrong usage"},
        {"list with a name", {"list", "p.pak", "a.txt"}, 2, "wrong usage"},
        {"delete without names", {"delete", "p.pak"}, 2, "wrong usage"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        const Outcome o = Zypack(c.Args);
        EXPECT_EQ(o.Status, c.Status) << o.Err;
        EXPECT_TRUE(Has(o.Err, c.Err)) << o.Err;
        EXPECT_EQ(o.Out, "");
        EXPECT_TRUE(Read("p.pak") == before) << FirstDifference(Read("p.pak"), before);
        EXPECT_FALSE(fs::exists("new.pak"));
        EXPECT_TRUE(fs::is_empty("out"));
        for (const auto& e : fs::directory_iterator("."))
            EXPECT_FALSE(Has(e.path().filename().string(), "ZyTmp")) << e.path();
    }
}

TEST_F(ZypackCommand, HelpNamesEveryCommand)
{
    const Outcome o = Zypack({"--help"});
    EXPECT_EQ(o.Status, 0);
    for (const char* command : {"zypack list PACK", "zypack extract PACK", "zypack add PACK", "zypack delete PACK", "zypack verify PACK"})
        EXPECT_TRUE(Has(o.Out, command)) << command;
}

TEST_F(ZypackCommand, VerifyNamesTheDamagedEntry)
{
    Write("a.txt", Text(3000)); // compressed
    Write("b.txt", "plain bee");
    Write("c.bin", Noise(2000, 5));
    ASSERT_EQ(Zypack({"add", "p.pak", "a.txt"}).Status, 0);
    ASSERT_EQ(Zypack({"add", "p.pak", "b.txt", "c.bin", "--store"}).Status, 0);
    const Bytes sound = Read("p.pak");
    const size_t table = 16 + static_cast<size_t>(Int32(sound, 8));
    auto data = [&](int entry) { return 16 + static_cast<size_t>(Int32(sound, table + 48 * static_cast<size_t>(entry) + 24)); };
    const struct {
        const char* Case;
        size_t FlipAt; // 0: none
        size_t CutTo;  // 0: whole file
        const char* Named; // the entry verify must name, or null
        const char* Err;
    } cases[] = {
        {"a byte of a compressed entry", data(0) + 20, 0, "a.txt", "entry a.txt is damaged"},
        {"a byte of a plain entry", data(2) + 1999, 0, "c.bin", "entry c.bin is damaged"},
        {"a letter of a name in the table", table + 48 + 0, 0, nullptr, "check word of the whole pack does not match"},
        {"the file cut in the data area", 0, data(1) + 3, nullptr, "not a pack file, or a damaged one"},
        {"the check word cut off", 0, sound.size() - 2, nullptr, "check word of the whole pack does not match"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        Bytes damaged = sound;
        if (c.FlipAt)
            damaged[c.FlipAt] ^= 0x04;
        if (c.CutTo)
            damaged.resize(c.CutTo);
        Write("p.pak", damaged);
        const Outcome o = Zypack({"verify", "p.pak"});
        EXPECT_EQ(o.Status, 1);
        EXPECT_TRUE(Has(o.Err, c.Err)) << o.Err;
        // The pack's own message, as it would have shown it in a box.
        EXPECT_TRUE(Has(o.Err, "zypack: CRCｴﾗｰ: Packﾌｧｲﾙが壊れています。")) << o.Err;
        for (const std::string name : {"a.txt", "b.txt", "c.bin"})
            if (c.Named) {
                EXPECT_TRUE(Has(o.Out, (name == c.Named ? "DAMAGED  " : "ok       ") + name + "\n")) << o.Out;
            }
        const Outcome listed = Zypack({"list", "p.pak"});
        EXPECT_EQ(listed.Status, 1) << c.Case;
    }
}

TEST_F(ZypackCommand, ExtractWritesNothingOutsideItsFolder)
{
    Write("ok.txt", "fine");
    for (const char* bad : {"..", "../a", "/etc", "a\\b"}) {
        SCOPED_TRACE(bad);
        fs::remove_all("out");
        fs::create_directories("out");
        { // a pack made elsewhere, with a name no file here may have
            TZyPack pack(nullptr);
            pack.SetReadOnly(false);
            ASSERT_TRUE(pack.NewPack("p.pak"));
            ASSERT_TRUE(pack.AddFile("ok.txt", "ok.txt", false));
            ASSERT_TRUE(pack.AddFile(bad, "ok.txt", false));
        }
        const Outcome o = Zypack({"extract", "p.pak", "-C", "out"});
        EXPECT_EQ(o.Status, 1);
        EXPECT_TRUE(Has(o.Err, "would be written outside the folder")) << o.Err;
        EXPECT_TRUE(fs::is_empty("out"));
        EXPECT_FALSE(fs::exists("a"));
        EXPECT_EQ(Zypack({"extract", "p.pak", "ok.txt", "-C", "out"}).Status, 0);
    }
    // A link at the name is replaced, not written through.
    Write("victim.txt", "keep");
    fs::remove("out/ok.txt");
    fs::create_symlink("../victim.txt", "out/ok.txt");
    EXPECT_EQ(Zypack({"extract", "p.pak", "ok.txt", "-C", "out"}).Status, 0);
    EXPECT_EQ(Read("victim.txt"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::is_symlink("out/ok.txt"));
    EXPECT_EQ(Read("out/ok.txt"), Read("ok.txt"));
}

} // namespace
