// The BMP and palette loaders on files the tests write byte by byte, and the
// TZyRGB colour type.
#include "support/Zybitmap.h"
#include "support/zybitmap_files.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>

namespace {

// What an 8-bit load gave, with the loader's buffers copied and freed.
struct Loaded8 {
    bool Ok = false;
    int Width = -1, Height = -1;
    Bytes Pixels;
    std::vector<RGBQUAD> Palette;
};

Loaded8 Load8(const Bytes& File)
{
    TempFile f("load8.bmp", File);
    Loaded8 r;
    RGBQUAD* palette = nullptr;
    unsigned char* pixels = nullptr;
    r.Ok = LoadBmpFile(f.Path(), &palette, &pixels, &r.Width, &r.Height);
    if (r.Ok) {
        r.Pixels.assign(pixels, pixels + static_cast<std::size_t>(r.Width) * r.Height);
        r.Palette.assign(palette, palette + 256);
    } else {
        EXPECT_EQ(palette, nullptr);
        EXPECT_EQ(pixels, nullptr);
    }
    GlobalFree(palette);
    GlobalFree(pixels);
    return r;
}

struct Loaded24 {
    bool Ok = false;
    int Width = -1, Height = -1;
    Bytes Pixels; // 3 bytes per pixel
};

Loaded24 Load24(const Bytes& File)
{
    TempFile f("load24.bmp", File);
    Loaded24 r;
    TZyRGB* pixels = nullptr;
    r.Ok = LoadBmp24File(f.Path(), &pixels, &r.Width, &r.Height);
    if (r.Ok) {
        auto* p = reinterpret_cast<const std::uint8_t*>(pixels);
        r.Pixels.assign(p, p + 3 * static_cast<std::size_t>(r.Width) * r.Height);
    } else {
        EXPECT_EQ(pixels, nullptr);
    }
    GlobalFree(pixels);
    return r;
}

// The picture rows top first, concatenated: the file rows in reverse.
Bytes TopDown(const TestBmp& t)
{
    Bytes b;
    for (auto it = t.Rows.rbegin(); it != t.Rows.rend(); ++it)
        b.insert(b.end(), it->begin(), it->end());
    return b;
}

// ---- TZyRGB

TEST(TZyRGB, ConstructorsAssignmentsAndConversions)
{
    TZyRGB black;
    EXPECT_EQ((std::array<int, 3>{black.Blue, black.Green, black.Red}), (std::array<int, 3>{0, 0, 0}));

    TZyRGB fromLong(66051UL);
    EXPECT_EQ(fromLong.Red, 1);
    EXPECT_EQ(fromLong.Green, 2);
    EXPECT_EQ(fromLong.Blue, 3);
    EXPECT_EQ(fromLong.ToDWORD(), 66051UL);

    TZyRGB highByte(66051UL | 0xFF000000UL);
    EXPECT_EQ(highByte.ToDWORD(), 66051UL);

    TZyRGB fromBytes(1, 2, 3);
    RGBQUAD q = fromBytes.ToRGBQUAD();
    EXPECT_EQ(q, (RGBQUAD{3, 2, 1, 0}));

    TZyRGB fromQuad(RGBQUAD{10, 20, 30, 40});
    EXPECT_EQ(fromQuad.ToDWORD(), 0x1E140AUL);

    TZyRGB assigned;
    assigned = RGBQUAD{7, 8, 9, 99};
    EXPECT_EQ(assigned.ToDWORD(), 0x090807UL);
    assigned = 0xAABBCCUL;
    EXPECT_EQ(assigned.ToRGBQUAD(), (RGBQUAD{0xCC, 0xBB, 0xAA, 0}));
    assigned = fromBytes;
    EXPECT_EQ(assigned.ToDWORD(), 0x010203UL);

    // Three bytes in memory, blue first.
    TZyRGB row[2] = {TZyRGB(1, 2, 3), TZyRGB(4, 5, 6)};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(row);
    EXPECT_EQ(Hex(bytes, 6), "03 02 01 06 05 04");
}

// ---- 8-bit loader: widths, padding, order of rows

TEST(LoadBmpFile, RowsOfWidthsOneFourAndFiveSkipTheirPadding)
{
    for (int w : {1, 4, 5}) {
        SCOPED_TRACE("width " + std::to_string(w));
        TestBmp t = Numbered8(w, 3);
        Bytes file = BmpBytes(t);
        int padding = (4 - w % 4) % 4;
        ASSERT_EQ(file.size(), 14u + 40 + 1024 + 3u * (w + padding));
        Loaded8 r = Load8(file);
        ASSERT_TRUE(r.Ok);
        EXPECT_EQ(r.Width, w);
        EXPECT_EQ(r.Height, 3);
        EXPECT_EQ(Hex(r.Pixels), Hex(TopDown(t)));
    }
}

TEST(LoadBmpFile, PaletteComesFromTheColourTable)
{
    Loaded8 r = Load8(BmpBytes(Numbered8(2, 1)));
    ASSERT_TRUE(r.Ok);
    for (int i : {0, 1, 85, 255})
        EXPECT_EQ(r.Palette[static_cast<std::size_t>(i)],
                  (RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(2 * i), static_cast<BYTE>(3 * i), 0xCC}))
            << "entry " << i;
}

TEST(LoadBmpFile, SixteenColoursUsedLeaveTheRestOfTheCallersPalette)
{
    TestBmp t = Numbered8(3, 2, 16, 16);
    Bytes file = BmpBytes(t);
    // The rows start at byte 118: 14 + 40 + 16 x 4.
    ASSERT_EQ(file[118], t.Rows[0][0]);
    TempFile f("clr16.bmp", file);
    std::vector<RGBQUAD> own(256, RGBQUAD{0x5A, 0x5A, 0x5A, 0x5A});
    Bytes pixels(6, 0);
    RGBQUAD* palette = own.data();
    unsigned char* p = pixels.data();
    ASSERT_TRUE(LoadBmpFile(f.Path(), &palette, &p, nullptr, nullptr));
    EXPECT_EQ(palette, own.data());
    EXPECT_EQ(p, pixels.data());
    EXPECT_EQ(own[15], (RGBQUAD{15, 30, 45, 0xCC}));
    for (int i = 16; i < 256; ++i)
        ASSERT_EQ(own[static_cast<std::size_t>(i)], (RGBQUAD{0x5A, 0x5A, 0x5A, 0x5A})) << "entry " << i;
    EXPECT_EQ(Hex(pixels), Hex(TopDown(t)));
}

TEST(LoadBmpFile, AllocatedPaletteIsBlackBeyondTheTable)
{
    Loaded8 r = Load8(BmpBytes(Numbered8(1, 1, 2, 2)));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Palette[1], (RGBQUAD{1, 2, 3, 0xCC}));
    EXPECT_EQ(r.Palette[2], (RGBQUAD{0, 0, 0, 0}));
    EXPECT_EQ(r.Palette[255], (RGBQUAD{0, 0, 0, 0}));
}

TEST(LoadBmpFile, BothBuffersNullStillGiveTheSize)
{
    TempFile f("null.bmp", BmpBytes(Numbered8(7, 3)));
    int w = 0, h = 0;
    EXPECT_TRUE(LoadBmpFile(f.Path(), nullptr, nullptr, &w, &h));
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 3);
    EXPECT_TRUE(LoadBmpFile(f.Path(), nullptr, nullptr, nullptr, nullptr));
}

TEST(LoadBmpFile, OnlyThePaletteOrOnlyThePixels)
{
    TestBmp t = Numbered8(3, 2);
    TempFile f("one.bmp", BmpBytes(t));
    RGBQUAD* palette = nullptr;
    ASSERT_TRUE(LoadBmpFile(f.Path(), &palette, nullptr, nullptr, nullptr));
    EXPECT_EQ(palette[200], (RGBQUAD{200, 144, 88, 0xCC}));
    GlobalFree(palette);
    unsigned char* pixels = nullptr;
    ASSERT_TRUE(LoadBmpFile(f.Path(), nullptr, &pixels, nullptr, nullptr));
    EXPECT_EQ(Hex(pixels, 6), Hex(TopDown(t)));
    GlobalFree(pixels);
}

TEST(LoadBmpFile, TopDownPictureGivesItsRowsInOrder)
{
    TestBmp t = Numbered8(2, 3);
    t.Height = -3; // first file row is the top row
    Loaded8 r = Load8(BmpBytes(t));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Height, 3);
    EXPECT_EQ(Hex(r.Pixels), "01 02 11 12 21 22");
}

TEST(LoadBmpFile, LongerInfoHeaderIsSkipped)
{
    TestBmp t = Numbered8(2, 2, 4, 4);
    t.HeaderSize = 124; // BITMAPV5HEADER
    Loaded8 r = Load8(BmpBytes(t));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(Hex(r.Pixels), "11 12 01 02");
    EXPECT_EQ(r.Palette[3], (RGBQUAD{3, 6, 9, 0xCC}));
}

TEST(LoadBmpFile, MoreThan256ColoursKeepTheFirst256)
{
    TestBmp t = Numbered8(2, 1, 300, 300);
    Loaded8 r = Load8(BmpBytes(t));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Palette[255], (RGBQUAD{255, 254, 253, 0xCC}));
    EXPECT_EQ(Hex(r.Pixels), "01 02");
}

// ---- refused files

struct RefusedCase {
    const char* Name;
    Bytes File;
};

std::vector<RefusedCase> RefusedCases()
{
    std::vector<RefusedCase> cases;
    auto add = [&](const char* name, auto change) {
        TestBmp t = Numbered8(4, 2, 2, 2);
        change(t);
        cases.push_back({name, BmpBytes(t)});
    };
    add("4-bit", [](TestBmp& t) { t.BitCount = 4; });
    add("1-bit", [](TestBmp& t) { t.BitCount = 1; });
    add("32-bit", [](TestBmp& t) { t.BitCount = 32; });
    add("RLE8", [](TestBmp& t) { t.Compression = 1; });
    add("bit fields", [](TestBmp& t) { t.Compression = 3; });
    add("zero width", [](TestBmp& t) { t.Width = 0; });
    add("negative width", [](TestBmp& t) { t.Width = -4; });
    add("zero height", [](TestBmp& t) { t.Height = 0; });
    add("most negative height", [](TestBmp& t) { t.Height = INT32_MIN; });
    add("huge width", [](TestBmp& t) { t.Width = INT32_MAX; });
    add("huge height", [](TestBmp& t) { t.Height = INT32_MAX; });
    add("overflowing size", [](TestBmp& t) { t.Width = 0x10000; t.Height = 0x10001; });
    add("more rows than the file has", [](TestBmp& t) { t.Height = 3; });
    add("core header", [](TestBmp& t) { t.HeaderSize = 12; });
    add("table beyond the file", [](TestBmp& t) { t.ClrUsed = 0xFFFF; });
    Bytes longHeader = BmpBytes(Numbered8(4, 2, 2, 2));
    longHeader[17] = 0x7F; // biSize 0x7F000028: a header beyond the end of the file
    cases.push_back({"header beyond the file", longHeader});
    return cases;
}

TEST(LoadBmpFile, RefusesWhatItCannotReadWithoutTouchingTheOutputs)
{
    for (const auto& c : RefusedCases()) {
        SCOPED_TRACE(c.Name);
        TempFile f("refused.bmp", c.File);
        int w = -7, h = -7;
        Bytes pixels(16, 0x77);
        std::vector<RGBQUAD> palette(256, RGBQUAD{1, 1, 1, 1});
        RGBQUAD* pp = palette.data();
        unsigned char* px = pixels.data();
        EXPECT_FALSE(LoadBmpFile(f.Path(), &pp, &px, &w, &h));
        EXPECT_EQ(w, -7);
        EXPECT_EQ(h, -7);
        EXPECT_EQ(Hex(pixels), Hex(Bytes(16, 0x77)));
        EXPECT_EQ(palette[0], (RGBQUAD{1, 1, 1, 1}));
        RGBQUAD* allocated = nullptr;
        TZyRGB* colours = nullptr;
        EXPECT_FALSE(LoadBmpFile(f.Path(), &allocated, nullptr, nullptr, nullptr));
        EXPECT_FALSE(LoadBmp24File(f.Path(), &colours, &w, &h));
        EXPECT_EQ(allocated, nullptr);
        EXPECT_EQ(colours, nullptr);
    }
}

TEST(LoadBmpFile, TruncatedFilesAreRefused)
{
    Bytes file = BmpBytes(Numbered8(5, 4));
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{53}, std::size_t{54}, std::size_t{1000},
                            file.size() - 9}) {
        SCOPED_TRACE("cut to " + std::to_string(cut));
        Loaded8 r = Load8(Bytes(file.begin(), file.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(r.Ok);
    }
    // Only the padding after the last row missing: still the whole picture.
    Loaded8 r = Load8(Bytes(file.begin(), file.end() - 3));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Pixels[0], 0x31);
}

TEST(LoadBmpFile, MissingAndEmptyNamesFail)
{
    int w = -1;
    EXPECT_FALSE(LoadBmpFile("/nonexistent/nimbo.bmp", nullptr, nullptr, &w, nullptr));
    EXPECT_FALSE(LoadBmpFile("", nullptr, nullptr, &w, nullptr));
    EXPECT_FALSE(LoadBmp24File("", nullptr, &w, nullptr));
    EXPECT_FALSE(LoadActFile("", nullptr));
    EXPECT_EQ(w, -1);
}

TEST(LoadBmpFile, TwentyFourBitFilesAreForTheTrueColourLoaders)
{
    TempFile f("24.bmp", BmpBytes(Numbered24(2, 2)));
    EXPECT_FALSE(LoadBmpFile(f.Path(), nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(LoadBmp24File(f.Path(), nullptr, nullptr, nullptr));
}

// ---- true-colour loader

TEST(LoadBmp24File, RowsOfWidthsOneTwoFourAndFive)
{
    for (int w : {1, 2, 4, 5}) {
        SCOPED_TRACE("width " + std::to_string(w));
        TestBmp t = Numbered24(w, 3);
        Bytes file = BmpBytes(t);
        int padding = (4 - 3 * w % 4) % 4;
        ASSERT_EQ(file.size(), 14u + 40 + 3u * (3 * w + padding));
        Loaded24 r = Load24(file);
        ASSERT_TRUE(r.Ok);
        EXPECT_EQ(r.Width, w);
        EXPECT_EQ(r.Height, 3);
        EXPECT_EQ(Hex(r.Pixels), Hex(TopDown(t)));
    }
}

TEST(LoadBmp24File, NoColourTableIsSkippedWhateverClrUsedSays)
{
    TestBmp t = Numbered24(1, 1);
    t.ClrUsed = 16;
    Loaded24 r = Load24(BmpBytes(t));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(Hex(r.Pixels), "00 64 C8");
}

TEST(LoadBmp24File, EightBitPicturesAreConvertedThroughTheirTable)
{
    TestBmp t;
    t.Width = 3;
    t.Height = 2;
    t.ClrUsed = 4;
    t.Table = NumberedTable(4);
    t.Rows = {{0, 1, 2}, {3, 4, 255}}; // 4 and 255 lie beyond the table
    Loaded24 r = Load24(BmpBytes(t));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(Hex(r.Pixels), "03 06 09 00 00 00 00 00 00 "
                             "00 00 00 01 02 03 02 04 06");
}

TEST(LoadBmp24File, IntoTheCallersBuffer)
{
    TempFile f("own24.bmp", BmpBytes(Numbered24(2, 1)));
    TZyRGB own[2];
    TZyRGB* p = own;
    int w = 0, h = 0;
    ASSERT_TRUE(LoadBmp24File(f.Path(), &p, &w, &h));
    EXPECT_EQ(p, own);
    EXPECT_EQ(own[1].ToDWORD(), 0xC86501UL);
}

// ---- memory form

TEST(LoadBmpMemory, SameResultAsTheFile)
{
    TestBmp t = Numbered8(5, 2);
    Bytes file = BmpBytes(t);
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    ASSERT_TRUE(LoadBmpMemory(file.data(), file.size(), nullptr, &pixels, &w, &h));
    EXPECT_EQ(Hex(pixels, 10), Hex(TopDown(t)));
    GlobalFree(pixels);
    EXPECT_FALSE(LoadBmpMemory(nullptr, 0, nullptr, nullptr, &w, &h));
    TZyRGB* colours = nullptr;
    Bytes file24 = BmpBytes(Numbered24(1, 1));
    ASSERT_TRUE(LoadBmp24Memory(file24.data(), file24.size(), &colours, nullptr, nullptr));
    EXPECT_EQ(colours[0].ToDWORD(), 0xC86400UL);
    GlobalFree(colours);
}

// ---- palette files

TEST(LoadActFile, RedGreenBlueTripletsBecomeEntries)
{
    Bytes act(768, 0);
    act[0] = 255; // colour 0: red 255
    act[3 * 255 + 0] = 1;
    act[3 * 255 + 1] = 2;
    act[3 * 255 + 2] = 3;
    act.push_back(0x99); // bytes after 768 are not read
    TempFile f("pal.act", act);
    RGBQUAD* palette = nullptr;
    ASSERT_TRUE(LoadActFile(f.Path(), &palette));
    EXPECT_EQ(palette[0], (RGBQUAD{0, 0, 255, 0}));
    EXPECT_EQ(palette[255], (RGBQUAD{3, 2, 1, 0}));
    GlobalFree(palette);
}

TEST(LoadActFile, ShortFileLeavesTheRestBlack)
{
    TempFile f("short.act", Bytes{10, 20, 30, 40});
    std::vector<RGBQUAD> own(256, RGBQUAD{9, 9, 9, 9});
    RGBQUAD* p = own.data();
    ASSERT_TRUE(LoadActFile(f.Path(), &p));
    EXPECT_EQ(own[0], (RGBQUAD{30, 20, 10, 0}));
    EXPECT_EQ(own[1], (RGBQUAD{0, 0, 40, 0}));
    EXPECT_EQ(own[2], (RGBQUAD{0, 0, 0, 0}));
}

TEST(LoadActFile, WithoutAPaletteOnlyTellsWhetherItOpens)
{
    TempFile f("any.act", Bytes{1});
    EXPECT_TRUE(LoadActFile(f.Path(), nullptr));
    EXPECT_FALSE(LoadActFile(f.Path() + ".missing", nullptr));
}

} // namespace
