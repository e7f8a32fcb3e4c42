// The same pictures through every source: a disk file, a program resource
// (":/bitmaps/<id>.bmp", compiled in from zybitmap_resources.qrc) and an
// entry of a pack, for the loaders and for the surface's DrawBmp... and
// SetAct... operations.
#include "support/Zybitmap.h"
#include "support/Zydib.h"
#include "support/Zypack.h"
#include "support/zybitmap_files.h"
#include "support/zydib_test_pictures.h"

#include <gtest/gtest.h>

#include <QFile>

namespace {

Bytes ResourceFile(int id)
{
    QFile f(QStringLiteral(":/bitmaps/%1.bmp").arg(id));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << "resource " << id;
    QByteArray b = f.readAll();
    return Bytes(b.begin(), b.end());
}

Bytes TopDown(const TestBmp& t)
{
    Bytes b;
    for (auto it = t.Rows.rbegin(); it != t.Rows.rend(); ++it)
        b.insert(b.end(), it->begin(), it->end());
    return b;
}

Bytes Act()
{
    Bytes act(768);
    for (int i = 0; i < 768; ++i)
        act[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7);
    return act;
}

// A pack in a temporary folder holding the test pictures, plain and
// compressed, and a palette file.
class PackedPictures : public testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(FDir);
        std::filesystem::current_path(FDir); // the pack's temporary files go here
        TempFile eight("p8.bmp", BmpBytes(Numbered8(5, 3)));
        TempFile true24("p24.bmp", BmpBytes(Numbered24(5, 2)));
        TempFile big("p32.bmp", BmpBytes(Numbered8(32, 16)));
        TempFile act("p.act", Act());
        Pack.SetReadOnly(false);
        ASSERT_TRUE(Pack.NewPack("pictures.pak"));
        ASSERT_TRUE(Pack.AddFile("eight.bmp", eight.Path().c_str(), false));
        ASSERT_TRUE(Pack.AddFile("packed.bmp", eight.Path().c_str(), true));
        ASSERT_TRUE(Pack.AddFile("true.bmp", true24.Path().c_str(), false));
        ASSERT_TRUE(Pack.AddFile("big.bmp", big.Path().c_str(), true));
        ASSERT_TRUE(Pack.AddFile("colours.act", act.Path().c_str(), true));
        Pack.EndPack();
        Pack.SetReadOnly(true);
        ASSERT_TRUE(Pack.LoadPack("pictures.pak"));
    }
    void TearDown() override
    {
        Pack.EndPack();
        std::filesystem::current_path(FOld);
        std::filesystem::remove_all(FDir);
    }

    TZyPack Pack{nullptr};

private:
    std::filesystem::path FOld = std::filesystem::current_path();
    std::filesystem::path FDir =
        std::filesystem::temp_directory_path() / ("nimbo_zysource_" + std::to_string(::getpid()));
};

TEST(ResourceBitmaps, AreTheTestPictures)
{
    EXPECT_EQ(Hex(ResourceFile(101)), Hex(BmpBytes(Numbered8(5, 3))));
    EXPECT_EQ(Hex(ResourceFile(102)), Hex(BmpBytes(Numbered24(5, 2))));
    EXPECT_EQ(Hex(ResourceFile(104)), Hex(BmpBytes(Numbered8(32, 16))));
}

TEST(LoadBmpResource, GivesThePictureAndItsPalette)
{
    RGBQUAD* palette = nullptr;
    unsigned char* pixels = nullptr;
    int w = 0, h = 0;
    ASSERT_TRUE(LoadBmpResource(nullptr, 101, &palette, &pixels, &w, &h));
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(Hex(pixels, 15), Hex(TopDown(Numbered8(5, 3))));
    EXPECT_EQ(palette[7], (RGBQUAD{7, 14, 21, 0xCC}));
    GlobalFree(palette);
    GlobalFree(pixels);
}

TEST(LoadBmpResource, RefusesMissingFourBitAndTrueColourResources)
{
    int w = -1;
    EXPECT_FALSE(LoadBmpResource(nullptr, 999, nullptr, nullptr, &w, nullptr));
    EXPECT_FALSE(LoadBmpResource(nullptr, 103, nullptr, nullptr, &w, nullptr));
    EXPECT_FALSE(LoadBmpResource(nullptr, 102, nullptr, nullptr, &w, nullptr));
    EXPECT_FALSE(LoadBmp24Resource(nullptr, 103, nullptr, &w, nullptr));
    EXPECT_EQ(w, -1);
}

TEST(LoadBmp24Resource, TrueColourAndConvertedPictures)
{
    TZyRGB* pixels = nullptr;
    int w = 0, h = 0;
    ASSERT_TRUE(LoadBmp24Resource(nullptr, 102, &pixels, &w, &h));
    EXPECT_EQ(Hex(reinterpret_cast<std::uint8_t*>(pixels), 30), Hex(TopDown(Numbered24(5, 2))));
    GlobalFree(pixels);
    pixels = nullptr;
    ASSERT_TRUE(LoadBmp24Resource(nullptr, 101, &pixels, &w, &h));
    EXPECT_EQ(pixels[0].ToDWORD(), 0x634221UL); // index 0x21: red 99, green 66, blue 33
    GlobalFree(pixels);
}

TEST_F(PackedPictures, PlainAndCompressedEntriesGiveTheFilesPicture)
{
    for (const char* name : {"eight.bmp", "packed.bmp"}) {
        SCOPED_TRACE(name);
        RGBQUAD* palette = nullptr;
        unsigned char* pixels = nullptr;
        int w = 0, h = 0;
        ASSERT_TRUE(LoadBmpPack(&Pack, name, &palette, &pixels, &w, &h));
        EXPECT_EQ(w, 5);
        EXPECT_EQ(h, 3);
        EXPECT_EQ(Hex(pixels, 15), Hex(TopDown(Numbered8(5, 3))));
        EXPECT_EQ(palette[255], (RGBQUAD{255, 254, 253, 0xCC}));
        GlobalFree(palette);
        GlobalFree(pixels);
    }
}

TEST_F(PackedPictures, TrueColourFromAPack)
{
    TZyRGB* pixels = nullptr;
    int w = 0, h = 0;
    ASSERT_TRUE(LoadBmp24Pack(&Pack, "true.bmp", &pixels, &w, &h));
    EXPECT_EQ(Hex(reinterpret_cast<std::uint8_t*>(pixels), 30), Hex(TopDown(Numbered24(5, 2))));
    GlobalFree(pixels);
    EXPECT_FALSE(LoadBmpPack(&Pack, "true.bmp", nullptr, nullptr, &w, &h));
}

TEST_F(PackedPictures, MissingEntriesAndNoPackFail)
{
    int w = -1;
    RGBQUAD* palette = nullptr;
    EXPECT_FALSE(LoadBmpPack(&Pack, "none.bmp", nullptr, nullptr, &w, nullptr));
    EXPECT_FALSE(LoadBmpPack(nullptr, "eight.bmp", nullptr, nullptr, &w, nullptr));
    EXPECT_FALSE(LoadBmp24Pack(&Pack, "", nullptr, &w, nullptr));
    EXPECT_FALSE(LoadActPack(&Pack, "none.act", &palette));
    EXPECT_FALSE(LoadActPack(nullptr, "colours.act", &palette));
    EXPECT_EQ(palette, nullptr);
    EXPECT_EQ(w, -1);
}

TEST_F(PackedPictures, PaletteFromAPack)
{
    RGBQUAD* palette = nullptr;
    ASSERT_TRUE(LoadActPack(&Pack, "colours.act", &palette));
    EXPECT_EQ(palette[0], (RGBQUAD{14, 7, 0, 0}));
    EXPECT_EQ(palette[1], (RGBQUAD{35, 28, 21, 0}));
    GlobalFree(palette);
    EXPECT_TRUE(LoadActPack(&Pack, "colours.act", nullptr));
}

TEST_F(PackedPictures, SurfaceDrawsFromAPackAndTakesItsPalettes)
{
    TZyDib d(nullptr, 20, 20);
    ASSERT_TRUE(d.DrawBmpPack(&Pack, "big.bmp", 10, 5));
    EXPECT_EQ(d.Width(), 20);
    EXPECT_EQ(d.PGet(10, 5), 0xF1); // the picture's top row is its last file row (15)
    EXPECT_EQ(d.PGet(19, 19), 16 * 1 + 9 + 1);
    RGBQUAD c{};
    d.AskPal1(100, &c);
    EXPECT_EQ(c, (RGBQUAD{100, 200, 44, 0xCC}));
    ASSERT_TRUE(d.SetActPack(&Pack, "colours.act"));
    d.AskPal1(1, &c);
    EXPECT_EQ(c, (RGBQUAD{35, 28, 21, 0}));
    EXPECT_FALSE(d.DrawBmpPack(&Pack, "none.bmp", 0, 0));
    EXPECT_FALSE(d.SetActPack(&Pack, "none.act"));
}

TEST(DrawBmpResource, DrawsTheResourcePicture)
{
    TZyDib d(nullptr, 0, 0);
    ASSERT_EQ(d.ImagePtr(), nullptr);
    ASSERT_TRUE(d.DrawBmpResource(nullptr, 101, 1, 1));
    EXPECT_EQ(d.Width(), 6);
    EXPECT_EQ(d.Height(), 4);
    EXPECT_EQ(Picture(d), (std::vector<std::string>{
                              "......",
                              ".[21][22][23][24][25]",
                              ".[11][12][13][14][15]",
                              ".12345",
                          }));
    EXPECT_FALSE(d.DrawBmpResource(nullptr, 103, 0, 0));
}

} // namespace
