// Points, lines, boxes, fills and masks, asserted pixel by pixel.
#include "support/Zydib.h"
#include "support/zybitmap_files.h"
#include "support/zydib_test_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Points = std::vector<std::pair<int, int>>;

Points Sorted(Points p)
{
    std::sort(p.begin(), p.end(), [](auto a, auto b) { return std::pair(a.second, a.first) < std::pair(b.second, b.first); });
    return p;
}

TEST(TZyDibPlotPixel, EveryMethodCombinesAsItsRuleSays)
{
    struct Case {
        TZyMethod Method;
        unsigned char Old, Colour, Result;
    };
    const Case cases[] = {
        {Zy_SET, 200, 100, 100}, {Zy_ADD, 200, 100, 255}, {Zy_SUB, 200, 100, 100}, {Zy_MED, 200, 100, 150},
        {Zy_NOT, 200, 100, 155}, {Zy_XOR, 200, 100, 172}, {Zy_AND, 200, 100, 64},  {Zy_OR, 200, 100, 236},
        {Zy_SUB, 100, 200, 0},   {Zy_SUB, 100, 100, 0},   {Zy_ADD, 55, 200, 255},  {Zy_ADD, 55, 199, 254},
        {Zy_MED, 255, 254, 254}, {Zy_NOT, 0, 0, 255},
        {static_cast<TZyMethod>(8), 200, 100, 200}, {static_cast<TZyMethod>(255), 7, 100, 7},
    };
    for (const Case& c : cases) {
        TZyDib d(nullptr, 2, 1);
        d.PSet(0, 0, c.Old);
        d.Method = c.Method;
        EXPECT_TRUE(d.PSet(0, 0, c.Colour));
        EXPECT_EQ(d.PGet(0, 0), c.Result) << "method " << int(c.Method) << ", p " << int(c.Old) << ", c "
                                          << int(c.Colour);
    }
}

TEST(TZyDibPoints, OutsideTheSurfaceNothingIsDrawnOrRead)
{
    TZyDib d(nullptr, 4, 3);
    int changes = 0;
    d.OnChange = [&](TObject*) { ++changes; };
    for (auto [x, y] : {std::pair{-1, 0}, {4, 0}, {0, 3}, {0, -1}, {INT32_MIN, INT32_MAX}}) {
        EXPECT_FALSE(d.PSet(x, y, 7)) << x << "," << y;
        EXPECT_EQ(d.PGet(x, y), 0);
    }
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(Plotted(d).empty());
    // Row padding is memory of the surface, not a pixel.
    EXPECT_EQ(d.ImagePtr()[4], 0);
}

TEST(TZyDibLines, ExamplesPlotExactlyTheirPixels)
{
    struct Case {
        int x1, y1, x2, y2;
        Points Expected;
    };
    const Case cases[] = {
        {0, 0, 3, 1, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
        {0, 0, 1, 3, {{0, 0}, {0, 1}, {1, 2}, {1, 3}}},
        {2, 0, 0, 2, {{2, 0}, {1, 1}, {0, 2}}},
        {3, 0, 0, 0, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}},
        {5, 5, 5, 5, {{5, 5}}},
        {3, 1, 0, 0, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}}, // endpoints swapped: same pixels
        {0, 0, 4, 4, {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}},
    };
    for (const Case& c : cases) {
        TZyDib d(nullptr, 8, 8);
        d.Cls();
        EXPECT_TRUE(d.Line(c.x1, c.y1, c.x2, c.y2, 1));
        EXPECT_EQ(Plotted(d), Sorted(c.Expected)) << c.x1 << "," << c.y1 << " to " << c.x2 << "," << c.y2;
    }
}

TEST(TZyDibLines, OnePointLineIsPlottedOnceAndSkipLeavesTheEndsOut)
{
    TZyDib d(nullptr, 8, 8);
    d.Method = Zy_ADD;
    d.Line(5, 5, 5, 5, 3);
    EXPECT_EQ(d.PGet(5, 5), 3);
    EXPECT_TRUE(d.ZyLine(5, 5, 5, 5, 3, true));
    EXPECT_TRUE(d.ZyLine(1, 1, 2, 1, 3, true)); // two pixels, both ends
    EXPECT_TRUE(d.ZyLine(0, 7, 3, 7, 3, true));
    EXPECT_EQ(Picture(d), (std::vector<std::string>{
                              "........",
                              "........",
                              "........",
                              "........",
                              "........",
                              ".....3..",
                              "........",
                              ".33.....",
                          }));
}

TEST(TZyDibLines, LinesAreClippedAndClampedButKeepTheirCourse)
{
    TZyDib d(nullptr, 8, 8);
    d.Line(-10, 5, 10, 5, 1);
    EXPECT_EQ(PictureRow(d, 5, 8), "11111111");
    EXPECT_EQ(Plotted(d).size(), 8u);

    // An endpoint at x = 100000 is drawn as if it lay at 50000.
    TZyDib a(nullptr, 8, 8), b(nullptr, 8, 8);
    a.Line(0, 0, 100000, 7, 1);
    b.Line(0, 0, 50000, 7, 1);
    EXPECT_EQ(Picture(a), Picture(b));
    EXPECT_EQ(a.PGet(0, 0), 1);
    // Extreme coordinates do not overflow.
    EXPECT_TRUE(a.Line(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, 2));
    EXPECT_EQ(a.PGet(3, 3), 2);
}

TEST(TZyDibLines, CLineContinuesFromThePenWithoutRepeatingTheJoint)
{
    TZyDib d(nullptr, 24, 12);
    d.Method = Zy_XOR;
    d.Line(0, 0, 10, 10, 1);
    d.CLine(20, 0, 1);
    EXPECT_EQ(d.PGet(10, 10), 1); // plotted once: XOR would have cleared it
    EXPECT_EQ(d.PGet(20, 0), 1);
    EXPECT_EQ(d.PGet(15, 5), 1);
    d.CLine(20, 0, 1); // pen is (20, 0): a one-point continuation toggles it back
    EXPECT_EQ(d.PGet(20, 0), 0);
}

TEST(TZyDibLines, ALineToTheEdgePositionKeepsThePenUnclamped)
{
    TZyDib d(nullptr, 8, 8);
    d.Line(0, 0, 100000, 0, 1);
    d.Cls();
    d.CLine(0, 0, 1); // from (100000, 0) as given, clamped to 50000 for the walk
    EXPECT_EQ(PictureRow(d, 0, 8), "11111111");
}

TEST(TZyDibBoxes, OutlinePlotsEachPixelOnce)
{
    TZyDib d(nullptr, 8, 6);
    d.Method = Zy_XOR;
    EXPECT_TRUE(d.Box(2, 2, 5, 3, 1));
    EXPECT_EQ(Plotted(d).size(), 8u);
    EXPECT_TRUE(d.Box(1, 0, 6, 5, 2));
    EXPECT_EQ(Picture(d), (std::vector<std::string>{
                              ".222222.",
                              ".2....2.",
                              ".211112.",
                              ".211112.",
                              ".2....2.",
                              ".222222.",
                          }));
    d.Box(1, 0, 6, 5, 2);
    d.Box(2, 2, 5, 3, 1);
    EXPECT_TRUE(Plotted(d).empty()); // XOR twice restores
}

TEST(TZyDibBoxes, DegenerateBoxIsALine)
{
    TZyDib d(nullptr, 10, 12);
    d.Method = Zy_ADD;
    d.Box(4, 4, 4, 9, 1);
    Points expected;
    for (int y = 4; y <= 9; ++y)
        expected.emplace_back(4, y);
    EXPECT_EQ(Plotted(d), expected);
    EXPECT_EQ(d.PGet(4, 4), 1);
}

TEST(TZyDibFills, CornersInEitherOrderFillTheSameSquare)
{
    for (auto [x1, y1, x2, y2] : {std::tuple{5, 5, 2, 2}, {2, 2, 5, 5}, {2, 5, 5, 2}}) {
        TZyDib d(nullptr, 8, 7);
        EXPECT_TRUE(d.BoxFill(x1, y1, x2, y2, 4));
        EXPECT_EQ(Picture(d), (std::vector<std::string>{
                                  "........",
                                  "........",
                                  "..4444..",
                                  "..4444..",
                                  "..4444..",
                                  "..4444..",
                                  "........",
                              }));
    }
}

TEST(TZyDibFills, OversizedFillCoversExactlyTheSurface)
{
    TZyDib d(nullptr, 5, 3); // rows of 8 bytes: 3 bytes of padding each
    unsigned char* p = d.ImagePtr();
    EXPECT_TRUE(d.BoxFill(-5, -5, d.Width() + 5, d.Height() + 5, 9));
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(Hex(p + 8 * y, 8), "09 09 09 09 09 00 00 00") << "row " << y;
    EXPECT_TRUE(d.BoxFill(-50000, -50000, 50000, 50000, 1));
    EXPECT_TRUE(d.BoxFill(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, 2));
    EXPECT_EQ(Hex(p + 16, 8), "02 02 02 02 02 00 00 00");
    EXPECT_TRUE(d.BoxFill(10, 10, 20, 20, 3)); // wholly outside: true, nothing drawn
    EXPECT_EQ(PictureRow(d, 2, 5), "22222");
}

TEST(TZyDibFills, FillsCombineWithTheMethod)
{
    TZyDib d(nullptr, 4, 1);
    d.BoxFill(0, 0, 3, 0, 0x0F);
    d.Method = Zy_AND;
    d.BoxFill(1, 0, 2, 0, 0x3C);
    EXPECT_EQ(PictureRow(d, 0, 4), "FCCF");
}

TEST(TZyDibFills, CheckerboardMask)
{
    TZyDib d(nullptr, 20, 8);
    const unsigned char mask[2] = {0xAA, 0x55};
    EXPECT_TRUE(d.BoxFillM(2, 1, 17, 4, 1, mask, 8, 2));
    EXPECT_EQ(Picture(d, 20, 6), (std::vector<std::string>{
                                     "....................",
                                     "..1.1.1.1.1.1.1.1...",
                                     "...1.1.1.1.1.1.1.1..",
                                     "..1.1.1.1.1.1.1.1...",
                                     "...1.1.1.1.1.1.1.1..",
                                     "....................",
                                 }));
}

TEST(TZyDibFills, NarrowMaskUsesItsHighestBits)
{
    TZyDib d(nullptr, 10, 2);
    const unsigned char all[1] = {0xE0}, first[1] = {0x80};
    d.BoxFillM(0, 0, 9, 0, 1, all, 3, 1);
    d.BoxFillM(0, 1, 9, 1, 2, first, 3, 1);
    EXPECT_EQ(Picture(d), (std::vector<std::string>{"1111111111", "2..2..2..2"}));
}

TEST(TZyDibFills, MaskIsLaidFromTheRectangleCornerEvenOffTheSurface)
{
    TZyDib d(nullptr, 6, 2);
    const unsigned char mask[1] = {0x80}; // every third column of the rectangle
    d.BoxFillM(-1, 0, 5, 0, 1, mask, 3, 0);  // mask height 0 acts as 1
    d.BoxFillM(0, 1, 5, 1, 2, mask, 0, 1);   // mask width 0 acts as 1: every point
    EXPECT_EQ(Picture(d), (std::vector<std::string>{"..1..1", "222222"}));
}

TEST(TZyDibClear, ClsClearsEveryByteWhateverTheMethod)
{
    TZyDib d(nullptr, 5, 2);
    std::fill(d.ImagePtr(), d.ImagePtr() + 16, 0x5A);
    d.Method = Zy_OR;
    d.Cls();
    EXPECT_EQ(Hex(d.ImagePtr(), 16), Hex(Bytes(16, 0)));
}

} // namespace
