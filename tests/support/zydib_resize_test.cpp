// Resizing with the picture kept, and drawing pictures and palettes from
// files onto the surface.
#include "support/Zydib.h"
#include "support/zybitmap_files.h"
#include "support/zydib_test_pictures.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using Palette = std::array<RGBQUAD, 256>;

// Pixel (x, y) = (x + 3y) mod 251 + 1 over the whole surface.
void FillNumbered(TZyDib& d)
{
    for (int y = 0; y < d.Height(); ++y)
        for (int x = 0; x < d.Width(); ++x)
            d.ImagePtr()[y * d.LineBytes() + x] = static_cast<unsigned char>((x + 3 * y) % 251 + 1);
}

bool IsNumbered(const TZyDib& d, int w, int h, std::string* First)
{
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (d.PGet(x, y) != (x + 3 * y) % 251 + 1) {
                *First = "first difference at " + std::to_string(x) + "," + std::to_string(y);
                return false;
            }
    return true;
}

TEST(TZyDibResize, WidthAndHeightKeepThePictureAndPalette)
{
    TZyDib d(nullptr);
    FillNumbered(d);
    RGBQUAD c{1, 2, 3, 0};
    d.SetPal1(77, &c);
    std::string why;

    d.SetWidth(100);
    EXPECT_EQ(d.Width(), 100);
    EXPECT_EQ(d.Height(), 480);
    EXPECT_EQ(d.LineBytes(), 100);
    EXPECT_TRUE(IsNumbered(d, 100, 480, &why)) << why;
    RGBQUAD now{};
    d.AskPal1(77, &now);
    EXPECT_EQ(now, c);

    d.SetHeight(600);
    EXPECT_EQ(d.Height(), 600);
    EXPECT_TRUE(IsNumbered(d, 100, 480, &why)) << why;
    EXPECT_EQ(d.PGet(50, 480), 0); // the new rows start cleared
    EXPECT_EQ(d.PGet(99, 599), 0);
}

TEST(TZyDibResize, ResizeFollowsMethodAndNotifies)
{
    TZyDib d(nullptr, 4, 1);
    const unsigned char row[4] = {1, 2, 3, 4};
    d.PutPat(0, 0, 4, 1, row);
    int changes = 0;
    d.OnChange = [&](TObject*) { ++changes; };
    d.Reverse = true;
    d.ResizeDib(6, 2);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(Picture(d), (std::vector<std::string>{"4321..", "......"}));
}

TEST(TZyDibResize, BoundBitmapAndHeldContextFollowTheNewSurface)
{
    TBitmap bitmap;
    TZyDib d(nullptr, 8, 8);
    d.SetBitmap(&bitmap);
    HDC held = d.GetBmpDC();
    d.PSet(1, 1, 5);
    d.SetWidth(16);
    EXPECT_EQ(bitmap.Width(), 16);
    EXPECT_EQ(bitmap.Image().pixelIndex(1, 1), 5);
    RGBQUAD white{};
    EXPECT_EQ(GetDIBColorTable(held, 255, 1, &white), 1u);
    EXPECT_EQ(white, (RGBQUAD{255, 255, 255, 0}));
    d.ReleaseBmpDC();
}

TEST(TZyDibResize, ImpossibleSizeKeepsTheOldSurface)
{
    TZyDib d(nullptr, 8, 8);
    d.PSet(7, 7, 3);
    for (int bad : {0, -1, 0x7FFFFFFF}) {
        d.SetWidth(bad);
        EXPECT_EQ(d.Width(), 8) << bad;
        d.SetHeight(bad);
        EXPECT_EQ(d.Height(), 8) << bad;
    }
    EXPECT_EQ(d.PGet(7, 7), 3);
}

TEST(TZyDibResize, WithoutASurfaceSettingTheSizeMakesOne)
{
    TZyDib d(nullptr, 0, 10);
    EXPECT_EQ(d.ImagePtr(), nullptr);
    d.ResizeDib(5, 5); // nothing without a surface
    EXPECT_EQ(d.Width(), 0);
    d.SetWidth(5);
    ASSERT_NE(d.ImagePtr(), nullptr);
    EXPECT_EQ(d.Width(), 5);
    EXPECT_EQ(d.Height(), 10);
    EXPECT_EQ(d.LineBytes(), 8);
}

// A 32 x 16 picture whose palette entry i is {i, 2i, 3i, 0xCC}.
class PictureFile : public testing::Test {
protected:
    TestBmp Bmp = Numbered8(32, 16);
    TempFile File{"draw.bmp", BmpBytes(Bmp)};

    unsigned char PictureAt(int x, int y) const { return Bmp.Rows[static_cast<std::size_t>(15 - y)][static_cast<std::size_t>(x)]; }
    static void ExpectFilesPalette(TZyDib& d)
    {
        Palette p{};
        d.AskPal2(p.data());
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(p[static_cast<std::size_t>(i)],
                      (RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(2 * i), static_cast<BYTE>(3 * i), 0xCC}))
                << "entry " << i;
    }
};

TEST_F(PictureFile, WithoutASurfaceOneOfThePicturesReachIsMade)
{
    TZyDib d(nullptr, 0, 0);
    ASSERT_TRUE(d.DrawBmpFile(File.Path(), 10, 5));
    EXPECT_EQ(d.Width(), 42);
    EXPECT_EQ(d.Height(), 21);
    ExpectFilesPalette(d);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 42; ++x)
            ASSERT_EQ(d.PGet(x, y), x >= 10 && y >= 5 ? PictureAt(x - 10, y - 5) : 0) << x << "," << y;
}

TEST_F(PictureFile, OntoAnExistingSurfaceTheVisiblePartIsDrawn)
{
    TZyDib d(nullptr, 20, 20);
    int changes = 0;
    d.OnChange = [&](TObject*) { ++changes; };
    ASSERT_TRUE(d.DrawBmpFile(File.Path(), 10, 5));
    EXPECT_EQ(d.Width(), 20);
    EXPECT_EQ(d.Height(), 20);
    ExpectFilesPalette(d);
    int drawn = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            bool inside = x >= 10 && y >= 5;
            drawn += inside;
            ASSERT_EQ(d.PGet(x, y), inside ? PictureAt(x - 10, y - 5) : 0) << x << "," << y;
        }
    EXPECT_EQ(drawn, 10 * 15);
    EXPECT_EQ(changes, 2); // palette, picture
}

TEST_F(PictureFile, FailedLoadsChangeNothing)
{
    TZyDib d(nullptr, 4, 4);
    d.PSet(0, 0, 9);
    Palette before{};
    d.AskPal2(before.data());
    EXPECT_FALSE(d.DrawBmpFile(File.Path() + ".missing", 0, 0));
    TempFile truecolour("t.bmp", BmpBytes(Numbered24(2, 2)));
    EXPECT_FALSE(d.DrawBmpFile(truecolour.Path(), 0, 0));
    EXPECT_FALSE(d.SetActFile(""));
    Palette after{};
    d.AskPal2(after.data());
    EXPECT_EQ(after, before);
    EXPECT_EQ(d.PGet(0, 0), 9);

    TZyDib none(nullptr, 0, 0);
    EXPECT_TRUE(none.DrawBmpFile(File.Path(), -40, 0)); // no surface can be made: still true
    EXPECT_EQ(none.ImagePtr(), nullptr);
}

TEST(TZyDibPaletteFile, ReplacesThePalette)
{
    Bytes act(768, 0);
    act[0] = 255;
    act[3 * 200 + 2] = 9;
    TempFile f("set.act", act);
    TZyDib d(nullptr, 4, 4);
    ASSERT_TRUE(d.SetActFile(f.Path()));
    RGBQUAD c{};
    d.AskPal1(0, &c);
    EXPECT_EQ(c, (RGBQUAD{0, 0, 255, 0}));
    d.AskPal1(200, &c);
    EXPECT_EQ(c, (RGBQUAD{9, 0, 0, 0}));
    d.AskPal1(255, &c);
    EXPECT_EQ(c, (RGBQUAD{0, 0, 0, 0}));
}

} // namespace
