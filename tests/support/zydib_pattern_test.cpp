// Pattern transfers, asserted pixel by pixel: clipping, mirroring,
// transparency, masks, reading back, surface to surface and block copies.
#include "support/Zydib.h"
#include "support/zybitmap_files.h"
#include "support/zydib_test_pictures.h"

#include <gtest/gtest.h>

#include <QImage>

namespace {

using Rows = std::vector<std::string>;

// A 4 x 2 pattern: 1 2 3 4 / 5 6 7 8.
const unsigned char Pattern42[8] = {1, 2, 3, 4, 5, 6, 7, 8};

TEST(TZyDibPutPat, ClippedOnEachSide)
{
    struct Case {
        int x, y;
        Rows Expected;
    };
    const Case cases[] = {
        {-2, 0, {"34....", "78....", "......"}},
        {5, 0, {".....1", ".....5", "......"}},
        {0, -1, {"5678..", "......", "......"}},
        {1, 2, {"......", "......", ".1234."}},
        {-4, 0, {"......", "......", "......"}},
        {INT32_MIN, INT32_MAX, {"......", "......", "......"}},
    };
    for (const Case& c : cases) {
        TZyDib d(nullptr, 6, 3);
        EXPECT_TRUE(d.PutPat(c.x, c.y, 4, 2, Pattern42)) << c.x << "," << c.y;
        EXPECT_EQ(Picture(d), c.Expected) << c.x << "," << c.y;
    }
}

TEST(TZyDibPutPat, MirroredWhenReverse)
{
    const unsigned char row[4] = {1, 2, 3, 4};
    TZyDib d(nullptr, 8, 1);
    d.Reverse = true;
    EXPECT_TRUE(d.PutPat(0, 0, 4, 1, row));
    EXPECT_EQ(PictureRow(d, 0, 8), "4321....");
    d.Cls();
    EXPECT_TRUE(d.PutPat(d.Width() - 2, 0, 4, 1, row));
    EXPECT_EQ(PictureRow(d, 0, 8), "......43");
    d.Cls();
    EXPECT_TRUE(d.PutPat(-2, 0, 4, 1, row)); // the columns left of 0 are dropped
    EXPECT_EQ(PictureRow(d, 0, 8), "21......");
}

TEST(TZyDibPutPat, MirroredCoreRefusesWithoutReverse)
{
    TZyDib d(nullptr, 6, 2);
    EXPECT_FALSE(d.ZyPutPatR(0, 0, 4, 2, Pattern42, 4, false, 0));
    EXPECT_EQ(Picture(d), (Rows{"......", "......"}));
    d.Reverse = true;
    EXPECT_TRUE(d.ZyPutPat(1, 0, 4, 2, Pattern42, 4, false, 0));
    EXPECT_EQ(Picture(d), (Rows{".4321.", ".8765."}));
}

TEST(TZyDibPutPat, TransparentBytesAreSkipped)
{
    const unsigned char pattern[4] = {0, 5, 0, 6};
    TZyDib d(nullptr, 4, 1);
    d.BoxFill(0, 0, 3, 0, 9);
    EXPECT_TRUE(d.PasPat(0, 0, 4, 1, pattern, 0));
    EXPECT_EQ(PictureRow(d, 0, 4), "9596");
    // With XOR the drawn bytes combine, the transparent ones stay.
    const unsigned char xorPattern[4] = {3, 7, 3, 1};
    d.Method = Zy_XOR;
    EXPECT_TRUE(d.PasPat(0, 0, 4, 1, xorPattern, 7));
    EXPECT_EQ(PictureRow(d, 0, 4), "A5A7");
    // Mirrored and transparent.
    d.Method = Zy_SET;
    d.Reverse = true;
    EXPECT_TRUE(d.PasPat(0, 0, 4, 1, pattern, 0));
    EXPECT_EQ(PictureRow(d, 0, 4), "6557");
}

TEST(TZyDibPutPat, PitchSetsTheRowDistance)
{
    const unsigned char source[12] = {1, 2, 3, 4, 9, 9, 5, 6, 7, 8, 9, 9};
    TZyDib d(nullptr, 4, 2);
    EXPECT_TRUE(d.PutPat2(0, 0, 4, 2, source, 6));
    EXPECT_EQ(Picture(d), (Rows{"1234", "5678"}));
    d.Cls();
    EXPECT_TRUE(d.PutPat2(0, 0, 4, 2, source, 2)); // below the width: rows 4 bytes apart
    EXPECT_EQ(Picture(d), (Rows{"1234", "9956"}));
    d.Cls();
    EXPECT_TRUE(d.PasPat2(0, 0, 4, 2, source, 6, 9));
    EXPECT_EQ(Picture(d), (Rows{"1234", "5678"}));
}

TEST(TZyDibPutPat, XorTwiceRestores)
{
    TZyDib d(nullptr, 6, 3);
    d.BoxFill(0, 0, 5, 2, 0x0C);
    Rows before = Picture(d);
    d.Method = Zy_XOR;
    d.PutPat(1, 1, 4, 2, Pattern42);
    EXPECT_NE(Picture(d), before);
    d.PutPat(1, 1, 4, 2, Pattern42);
    EXPECT_EQ(Picture(d), before);
}

TEST(TZyDibPutPat, WrappersNotifyEvenOffTheSurfaceAndRefuseANullPattern)
{
    TZyDib d(nullptr, 4, 4);
    int changes = 0;
    d.OnChange = [&](TObject*) { ++changes; };
    EXPECT_TRUE(d.PutPat(100, 100, 4, 2, Pattern42));
    EXPECT_TRUE(d.PutPat2(-100, 0, 4, 2, Pattern42, 4));
    EXPECT_TRUE(d.PasPat(0, 100, 4, 2, Pattern42, 0));
    EXPECT_TRUE(d.PasPat2(0, -100, 4, 2, Pattern42, 4, 0));
    EXPECT_EQ(changes, 4);
    EXPECT_TRUE(d.ZyPutPat(0, 0, 4, 2, Pattern42, 4, false, 0));
    EXPECT_EQ(changes, 4); // the core does not notify
    EXPECT_FALSE(d.PutPat(0, 0, 4, 2, nullptr));
    EXPECT_EQ(changes, 4);
}

TEST(TZyDibMaskedPattern, MaskDecidesWhatIsDrawn)
{
    struct Case {
        const char* Name;
        std::vector<unsigned char> Mask;
        int mw, mh, x;
        std::string Expected;
    };
    const unsigned char pattern[6] = {1, 2, 3, 4, 5, 6};
    const Case cases[] = {
        {"1 x 1 set", {0x80}, 1, 1, 0, "123456.."},
        {"1 x 1 clear", {0x00}, 1, 1, 0, "........"},
        {"0xAA: even columns", {0xAA}, 8, 1, 0, "1.3.5..."},
        {"0xAA left of the surface", {0xAA}, 8, 1, -1, ".3.5...."},
        {"size 0 acts as 1", {0x80}, 0, 0, 2, "..123456"},
    };
    for (const Case& c : cases) {
        TZyDib d(nullptr, 8, 1);
        EXPECT_TRUE(d.PasMPat(c.x, 0, 6, 1, pattern, c.Mask.data(), c.mw, c.mh)) << c.Name;
        EXPECT_EQ(PictureRow(d, 0, 8), c.Expected) << c.Name;
    }
}

TEST(TZyDibMaskedPattern, MaskRowsRepeatAndStayTiedToThePattern)
{
    unsigned char pattern[4 * 4];
    std::fill(std::begin(pattern), std::end(pattern), 7);
    const unsigned char mask[2] = {0x80, 0x40}; // 2 x 2 diagonal
    TZyDib d(nullptr, 4, 3);
    EXPECT_TRUE(d.PasMPat(0, -1, 4, 4, pattern, mask, 2, 2)); // the first pattern row is above the surface
    EXPECT_EQ(Picture(d), (Rows{".7.7", "7.7.", ".7.7"}));
}

TEST(TZyDibMaskedPattern, MirroredMaskGoesWithItsPattern)
{
    const unsigned char pattern[4] = {1, 2, 3, 4};
    const unsigned char mask[1] = {0xA0}; // pattern columns 0 and 2
    TZyDib d(nullptr, 6, 1);
    EXPECT_FALSE(d.ZyPutPatMR(0, 0, 4, 1, pattern, 4, mask, 4, 1));
    d.Reverse = true;
    EXPECT_TRUE(d.PasMPat(0, 0, 4, 1, pattern, mask, 4, 1));
    EXPECT_EQ(PictureRow(d, 0, 6), ".3.1..");
    d.Cls();
    EXPECT_TRUE(d.ZyPutPatM(3, 0, 4, 1, pattern, 4, mask, 4, 1)); // hands over to the mirrored form, clipped
    EXPECT_EQ(PictureRow(d, 0, 6), "....3."); // column 0 would land on x = 6
}

TEST(TZyDibMaskedPattern, NullMaskIsRefused)
{
    TZyDib d(nullptr, 4, 2);
    EXPECT_FALSE(d.ZyPutPatM(0, 0, 4, 2, Pattern42, 4, nullptr, 1, 1));
    EXPECT_FALSE(d.PasMPat(0, 0, 4, 2, Pattern42, nullptr, 1, 1));
    EXPECT_EQ(Picture(d), (Rows{"....", "...."}));
}

TEST(TZyDibGetPat, ReadsTheClippedRectangleOnly)
{
    TZyDib d(nullptr, 4, 4);
    const unsigned char corner[4] = {0xA, 0xB, 0xC, 0xD};
    d.PutPat(0, 0, 2, 2, corner);
    unsigned char buffer[9];
    std::fill(std::begin(buffer), std::end(buffer), 0xFF);
    EXPECT_TRUE(d.GetPat(-1, -1, 3, 3, buffer));
    EXPECT_EQ(Hex(buffer, 9), "FF FF FF FF 0A 0B FF 0C 0D");
    EXPECT_TRUE(d.GetPat(10, 10, 3, 3, buffer));
    EXPECT_FALSE(d.GetPat(0, 0, 3, 3, nullptr));
}

TEST(TZyDibPutDib, SourceRectangleIsClippedToTheSource)
{
    TZyDib src(nullptr, 5, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            src.PSet(x, y, static_cast<unsigned char>(16 * y + x + 1));
    TZyDib d(nullptr, 20, 20);
    EXPECT_TRUE(d.PutDib(10, 10, &src, -2, 0, 5, 5));
    EXPECT_EQ(d.PGet(11, 10), 0);
    EXPECT_EQ(d.PGet(12, 10), 0x01);
    EXPECT_EQ(d.PGet(14, 10), 0x03);
    EXPECT_EQ(d.PGet(15, 10), 0);
    EXPECT_EQ(d.PGet(12, 14), 0x41);
    EXPECT_EQ(Plotted(d).size(), 15u);
}

TEST(TZyDibPutDib, EmptySourceRectangleDrawsAndNotifiesNothing)
{
    TZyDib src(nullptr, 4, 4), d(nullptr, 4, 4);
    int changes = 0;
    d.OnChange = [&](TObject*) { ++changes; };
    EXPECT_TRUE(d.PutDib(0, 0, &src, 4, 0, 2, 2));
    EXPECT_TRUE(d.PasDib(0, 0, &src, -5, 0, 5, 2, 0));
    EXPECT_EQ(changes, 0);
    EXPECT_FALSE(d.PutDib(0, 0, nullptr, 0, 0, 2, 2));
    TZyDib none(nullptr, 0, 0);
    EXPECT_FALSE(d.PutDib(0, 0, &none, 0, 0, 2, 2));
}

TEST(TZyDibPutDib, TransparentCopyAndOverlapOnOneSurface)
{
    TZyDib d(nullptr, 6, 1);
    const unsigned char row[6] = {1, 2, 0, 3, 4, 5};
    d.PutPat(0, 0, 6, 1, row);
    EXPECT_TRUE(d.PutDib(1, 0, &d, 0, 0, 5, 1)); // overlapping: copied as it was
    EXPECT_EQ(PictureRow(d, 0, 6), "112.34");
    TZyDib other(nullptr, 6, 1);
    other.BoxFill(0, 0, 5, 0, 9);
    EXPECT_TRUE(other.PasDib(0, 0, &d, 0, 0, 6, 1, 1));
    EXPECT_EQ(PictureRow(other, 0, 6), "992.34"); // only the 1s are transparent
}

TEST(TZyDibBlockCopy, ToAndFromAnImageContext)
{
    TZyDib d(nullptr, 4, 2);
    RGBQUAD red{0, 0, 255, 0}, green{0, 255, 0, 0};
    d.SetPal1(1, &red);
    d.SetPal1(2, &green);
    const unsigned char pattern[8] = {1, 2, 1, 2, 2, 1, 2, 1};
    d.PutPat(0, 0, 4, 2, pattern);

    QImage out(3, 3, QImage::Format_RGB32);
    out.fill(Qt::black);
    HDC outDc = CreateImageDC(&out);
    EXPECT_TRUE(d.GetBitBlt(outDc, 1, 1, 1, 0, 2, 2));
    EXPECT_EQ(out.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(out.pixel(1, 1), qRgb(0, 255, 0));
    EXPECT_EQ(out.pixel(2, 1), qRgb(255, 0, 0));
    EXPECT_EQ(out.pixel(1, 2), qRgb(255, 0, 0));
    DeleteDC(outDc);

    QImage in(2, 1, QImage::Format_RGB32);
    in.setPixel(0, 0, qRgb(250, 10, 0)); // nearest: red
    in.setPixel(1, 0, qRgb(5, 240, 5));  // nearest: green
    HDC inDc = CreateImageDC(&in);
    int changes = 0;
    d.OnChange = [&](TObject*) { ++changes; };
    d.Method = Zy_XOR; // does not apply to block copies
    EXPECT_TRUE(d.PutBitBlt(2, 1, inDc, 0, 0, 5, 5));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(PictureRow(d, 1, 4), "2112");
    DeleteDC(inDc);
    EXPECT_FALSE(d.PutBitBlt(0, 0, nullptr, 0, 0, 1, 1));
}

TEST(TZyDibBlockCopy, ThroughTheHeldContextAndABoundBitmap)
{
    TBitmap bitmap;
    TZyDib a(nullptr, 4, 1), b(nullptr, 4, 1);
    const unsigned char row[4] = {5, 6, 7, 8};
    a.PutPat(0, 0, 4, 1, row);
    HDC held = a.GetBmpDC();
    b.SetBitmap(&bitmap);
    EXPECT_TRUE(b.PutBitBlt(1, 0, held, 0, 0, 3, 1)); // same colour table: indices copied
    EXPECT_EQ(PictureRow(b, 0, 4), ".567");
    a.ReleaseBmpDC();
}

} // namespace
