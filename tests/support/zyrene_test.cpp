// Zyrene: the counter's limits, the generator's fixed sequences, the
// Shift_JIS-aware copy, formatting, the file test and the palette page.
#include "support/Zyrene.h"

#include "framework/component_registry.h"
#include "support/Zydib.h"
#include "support/Zypack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

TEST(Counter, ConstructorsKeepTheirLimits)
{
    TCounter plain;
    EXPECT_EQ(plain.FMaxVal, 9999);
    EXPECT_EQ(plain.FAddVal, 1);
    EXPECT_EQ(plain.GetCount(), 0);
    EXPECT_EQ(TCounter(0).FMaxVal, 1);
    EXPECT_EQ(TCounter(10, 20).FAddVal, 10);
    EXPECT_EQ(TCounter(10, -3).FAddVal, 0);
}

TEST(Counter, StepsWrapOnceAndStopAtZero)
{
    TCounter c(10, 3);
    const bool wraps[] = {false, false, false, true};
    const int counts[] = {3, 6, 9, 2};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(c.IncVal(), wraps[i]) << "step " << i;
        EXPECT_EQ(c.GetCount(), counts[i]) << "step " << i;
    }

    TCounter big(10);
    EXPECT_TRUE(big.AddVal(25));
    EXPECT_EQ(big.GetCount(), 15) << "a step above the modulus wraps only once";

    TCounter down(10);
    down.SetCount(3);
    EXPECT_TRUE(down.SubVal(5));
    EXPECT_EQ(down.GetCount(), 0);
    down.SetCount(3);
    EXPECT_FALSE(down.SubVal(3));
    EXPECT_TRUE(down.IsZero());
    down.SetCount(4);
    EXPECT_FALSE(down.DecVal());
    EXPECT_EQ(down.GetCount(), 3);
}

// Near the ends of the int range the sum and the difference are still
// compared as numbers, not as wrapped 32-bit values.
TEST(Counter, StepsNearTheIntLimitsStayExact)
{
    TCounter up(INT_MAX, INT_MAX);
    up.SetCount(INT_MAX - 1);
    EXPECT_TRUE(up.AddVal(5));
    EXPECT_EQ(up.GetCount(), 4);
    up.SetCount(INT_MAX - 1);
    EXPECT_TRUE(up.IncVal());
    EXPECT_EQ(up.GetCount(), INT_MAX - 1);

    TCounter down(10);
    down.SetCount(INT_MIN + 1);
    EXPECT_TRUE(down.SubVal(5)) << "below 0 without turning positive";
    EXPECT_EQ(down.GetCount(), 0);
    down.SetCount(INT_MIN);
    EXPECT_FALSE(down.AddVal(-1));
    EXPECT_EQ(down.GetCount(), INT_MAX) << "outside int after all: kept modulo 2^32";
}

TEST(Counter, SettersClampDifferently)
{
    TCounter c(10);
    c.SetCount(50);
    EXPECT_EQ(c.GetCount(), 10);
    c.SetCount(-4);
    EXPECT_EQ(c.GetCount(), -4);

    TCounter m(10, 8);
    m.SetCount(7);
    m.SetMaxVal(5);
    EXPECT_EQ(m.FMaxVal, 5);
    EXPECT_EQ(m.FAddVal, 5);
    EXPECT_EQ(m.GetCount(), 4);
    m.SetAddVal(9);
    EXPECT_EQ(m.FAddVal, 5);
    m.SetMaxVal(-2);
    EXPECT_EQ(m.FMaxVal, 1);
}

TEST(Random, StartingStateAndSequences)
{
    TRandom r;
    EXPECT_EQ(r.FTable[31], 1);
    EXPECT_EQ(r.FTable[30], 2);
    EXPECT_EQ(r.FTable[8], 9489);
    EXPECT_EQ(r.FTable[1], 15621);
    EXPECT_EQ(r.FTable[0], 51170);
    EXPECT_EQ(r.FPos, 0);
    EXPECT_EQ(r.FLagPos, 7);
    const int raw[] = {41491, 65347, 55669, 55480, 45613};
    for (int v : raw)
        EXPECT_EQ(r.Rnd(), v);

    TRandom tens;
    const int expected[] = {3, 3, 5, 8, 5};
    for (int v : expected)
        EXPECT_EQ(tens.Random(10), v);

    TRandom bell;
    const int bells[] = {7, 4, 3};
    for (int v : bells)
        EXPECT_EQ(bell.NormalDistribution(10), v);
}

TEST(Random, OutOfRangeArgumentsDrawNothing)
{
    TRandom a, b;
    EXPECT_EQ(a.Random(0), -1);
    EXPECT_EQ(a.NormalDistribution(1), 0);
    EXPECT_EQ(a.NormalDistribution(256), 0);
    EXPECT_EQ(a.Rnd(), b.Rnd()) << "nothing was drawn";
    EXPECT_EQ(a.Random(1), 0);
    EXPECT_NE(a.Rnd(), b.Rnd()) << "Random(1) draws";

    TRandom huge;
    EXPECT_EQ(huge.Random(100000), 41491) << "above 65536 the raw draw comes back";
}

TEST(Random, CopyContinuesTheSequence)
{
    TRandom r;
    for (int i = 0; i < 3; ++i)
        r.Rnd();
    TRandom copy;
    copy = r;
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(copy.Rnd(), r.Rnd()) << "draw " << i;
}

struct CopyCase {
    const char* Name;
    std::string Source;
    unsigned N;
    bool Comma;
    std::string Expected;
};

TEST(Hstrncpy, StopsWithoutSplittingCharacters)
{
    const std::string a = "\x82\xA0", i = "\x82\xA2"; // あ い in Shift_JIS
    const CopyCase cases[] = {
        {"comma stops", "ab,cd", 10, true, "ab"},
        {"comma copied", "ab,cd", 10, false, "ab,cd"},
        {"CR stops, LF does not", "abc\r\ndef", 10, false, "abc"},
        {"LF copied", "ab\ncd", 10, false, "ab\ncd"},
        {"no room for the second character", a + i, 3, false, a},
        {"room for both", a + i, 4, false, a + i},
        {"cut at n", "abcdef", 4, false, "abcd"},
        {"0xE0 lead", "\xE0\x40x", 10, false, "\xE0\x40x"},
        {"0xF0 is a single byte", "\xF0\xF1", 1, false, "\xF0"},
        {"lead byte cut by the end", "ab\x82", 10, false, "ab"},
        {"n zero", "abc", 0, false, ""},
    };
    for (const CopyCase& c : cases) {
        std::vector<char> dst(c.N + 1, '#');
        EXPECT_EQ(hstrncpy(dst.data(), c.Source.c_str(), c.N, c.Comma), dst.data());
        EXPECT_EQ(std::string(dst.data()), c.Expected) << c.Name;
    }
}

TEST(Ansiprintf, FormatsOneArgumentWhole)
{
    EXPECT_EQ(Ansiprintf("%05d", 42), "00042");
    EXPECT_EQ(Ansiprintf("[%s]", "abc"), "[abc]");
    std::string longText(400, 'z');
    EXPECT_EQ(Ansiprintf("%s!", longText.c_str()), longText + "!");
    EXPECT_EQ(Ansiprintf("%300d", 7).size(), 300u);
}

TEST(FileIsExist, FilesButNotFolders)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("zyrene_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path file = dir / ".hidden";
    std::ofstream(file) << "x";
    fs::path locked = dir / "locked";
    std::ofstream(locked) << "y";
    ::chmod(locked.c_str(), 0444);
    EXPECT_TRUE(FileIsExist(file.c_str()));
    EXPECT_TRUE(FileIsExist(locked.c_str()));
    EXPECT_FALSE(FileIsExist(dir.c_str()));
    EXPECT_FALSE(FileIsExist((dir / "missing").c_str()));
    EXPECT_FALSE(FileIsExist("/nonexistent-drive/x"));
    fs::remove_all(dir);
}

// The pack and the surface stand on the palette page "Zyrene", each once
// however often its unit registers it.
TEST(ZyrenePage, HoldsThePackAndTheSurfaceOnceEach)
{
    for (int round = 0; round < 2; ++round) {
        Zypack::Register();
        Zydib::Register();
    }
    const auto& all = RegisteredComponents();
    for (const char* name : {"TZyPack", "TZyDib"}) {
        EXPECT_EQ(std::count_if(all.begin(), all.end(), [&](const TComponentRegistration& r) { return r.ClassName == name; }), 1)
            << name;
        EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const TComponentRegistration& r) {
            return r.ClassName == name && r.Page == "Zyrene";
        })) << name;
    }
}

} // namespace
