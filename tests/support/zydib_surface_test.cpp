// The surface: its memory, its palette, its binding to a bitmap or image and
// its change tracking.
#include "support/Zydib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

namespace {

using Palette = std::array<RGBQUAD, 256>;

Palette AskAll(TZyDib& d)
{
    Palette p{};
    d.AskPal2(p.data());
    return p;
}

TEST(TZyDibSurface, RowsAreRoundedUpToFourBytes)
{
    const int expected[] = {4, 4, 4, 4, 8};
    for (int w = 1; w <= 5; ++w) {
        TZyDib d(nullptr, w, 3);
        ASSERT_NE(d.ImagePtr(), nullptr) << "width " << w;
        EXPECT_EQ(d.LineBytes(), expected[w - 1]) << "width " << w;
    }
}

TEST(TZyDibSurface, SizesAndDefaults)
{
    TZyDib standard(nullptr);
    EXPECT_EQ(standard.Width(), 640);
    EXPECT_EQ(standard.Height(), 480);
    EXPECT_EQ(standard.Method, Zy_SET);
    EXPECT_FALSE(standard.Reverse);
    EXPECT_EQ(standard.Image(), nullptr);
    TZyDib sized(nullptr, 320, 200);
    EXPECT_EQ(sized.Width(), 320);
    EXPECT_EQ(sized.Height(), 200);
    // New memory is zero-filled.
    const unsigned char* p = sized.ImagePtr();
    EXPECT_TRUE(std::all_of(p, p + 200 * sized.LineBytes(), [](unsigned char b) { return b == 0; }));
}

TEST(TZyDibSurface, DefaultPaletteSpreadsTheTwentySystemColours)
{
    TZyDib d(nullptr, 4, 4);
    Palette p = AskAll(d);
    EXPECT_EQ(p[0], (RGBQUAD{0, 0, 0, 0}));
    EXPECT_EQ(p[1], (RGBQUAD{0, 0, 128, 0}));   // dark red
    EXPECT_EQ(p[9], (RGBQUAD{240, 202, 166, 0})); // sky blue
    EXPECT_EQ(p[10], p[0]);
    EXPECT_EQ(p[245], p[0]);
    EXPECT_EQ(p[246], (RGBQUAD{240, 251, 255, 0})); // cream
    EXPECT_EQ(p[249], (RGBQUAD{0, 0, 255, 0}));     // red
    EXPECT_EQ(p[255], (RGBQUAD{255, 255, 255, 0}));
}

TEST(TZyDibSurface, NoSurfaceForSizesThatCannotBe)
{
    for (auto [w, h] : {std::pair{0, 10}, {10, 0}, {-5, 10}, {10, -5}, {0x7FFFFFFF, 0x7FFFFFFF}, {1 << 20, 1 << 20}}) {
        TZyDib d(nullptr, w, h);
        EXPECT_EQ(d.ImagePtr(), nullptr) << w << " x " << h;
        EXPECT_EQ(d.GetBmpDC(), nullptr);
        EXPECT_FALSE(d.PSet(0, 0, 1));
        EXPECT_EQ(d.PGet(0, 0), 0);
        EXPECT_FALSE(d.BoxFill(0, 0, 1, 1, 1));
        unsigned char pattern[4] = {1, 2, 3, 4};
        EXPECT_FALSE(d.PutPat(0, 0, 2, 2, pattern));
        RGBQUAD c{1, 2, 3, 4};
        d.AskPal1(0, &c);
        EXPECT_EQ(c, (RGBQUAD{1, 2, 3, 4}));
    }
}

TEST(TZyDibSurface, GetBmpDCIsHeldUntilReleased)
{
    TZyDib d(nullptr, 8, 8);
    HDC dc = d.GetBmpDC();
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(d.GetBmpDC(), nullptr);
    // The held context has the section selected.
    RGBQUAD c{};
    EXPECT_EQ(GetDIBColorTable(dc, 255, 1, &c), 1u);
    EXPECT_EQ(c, (RGBQUAD{255, 255, 255, 0}));
    d.ReleaseBmpDC();
    EXPECT_NE(d.GetBmpDC(), nullptr);
    d.ReleaseBmpDC();
}

TEST(TZyDibPalette, SetPal1ChangesOnlyItsEntry)
{
    TZyDib d(nullptr, 4, 4);
    Palette before = AskAll(d);
    RGBQUAD c{10, 20, 30, 0};
    d.SetPal1(5, &c);
    Palette after = AskAll(d);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(after[static_cast<std::size_t>(i)], i == 5 ? c : before[static_cast<std::size_t>(i)]) << "entry " << i;
    // Out of range and null do nothing.
    d.SetPal1(256, &c);
    d.SetPal1(-1, &c);
    d.SetPal1(0, static_cast<const RGBQUAD*>(nullptr));
    EXPECT_EQ(AskAll(d), after);
}

TEST(TZyDibPalette, ThreeByteFormsConvert)
{
    TZyDib d(nullptr, 4, 4);
    TZyRGB c(1, 2, 3);
    d.SetPal1(7, &c);
    RGBQUAD q{};
    d.AskPal1(7, &q);
    EXPECT_EQ(q, (RGBQUAD{3, 2, 1, 0}));
    std::array<TZyRGB, 256> table;
    for (int i = 0; i < 256; ++i)
        table[static_cast<std::size_t>(i)] = TZyRGB(static_cast<unsigned char>(i), 0, static_cast<unsigned char>(255 - i));
    d.SetPal2(table.data());
    TZyRGB back;
    d.AskPal1(200, &back);
    EXPECT_EQ(back.ToDWORD(), 0xC80037UL);
    std::array<TZyRGB, 256> all;
    d.AskPal2(all.data());
    EXPECT_EQ(all[17].ToDWORD(), 0x1100EEUL);
    d.InitPal();
    EXPECT_EQ(AskAll(d)[255], (RGBQUAD{255, 255, 255, 0}));
}

TEST(TZyDibChanges, EveryModificationRunsOnChange)
{
    TZyDib d(nullptr, 8, 8);
    int changes = 0;
    d.OnChange = [&](TObject* sender) {
        EXPECT_EQ(sender, &d);
        ++changes;
    };
    d.PSet(1, 1, 5);
    d.BoxFill(0, 0, 3, 3, 2);
    d.Cls();
    RGBQUAD c{};
    d.SetPal1(3, &c);
    EXPECT_EQ(changes, 4);
    d.PGet(1, 1);
    d.AskPal1(3, &c);
    unsigned char buffer[4];
    d.GetPat(0, 0, 2, 2, buffer);
    EXPECT_EQ(changes, 4);
}

struct BoundBitmap {
    TBitmap Bitmap;
    int Told = 0;
    BoundBitmap()
    {
        Bitmap.OnChange = [this](TObject*) { ++Told; };
    }
};

TEST(TZyDibChanges, NestedModifiedOffTellsTheBitmapOnceAtTheEnd)
{
    BoundBitmap b;
    TZyDib d(nullptr, 8, 8);
    d.SetBitmap(&b.Bitmap);
    EXPECT_NE(b.Bitmap.Handle(), nullptr);
    int changes = 0;
    d.OnChange = [&](TObject*) { ++changes; };

    d.PSet(0, 0, 1);
    EXPECT_EQ(b.Told, 1); // switch on: told at once

    d.ModifiedOff();
    d.ModifiedOff();
    d.PSet(1, 0, 1);
    d.PSet(2, 0, 1);
    d.BoxFill(0, 1, 7, 1, 3);
    d.ModifiedOn();
    d.PSet(3, 0, 1);
    EXPECT_EQ(b.Told, 1); // still off after one ModifiedOn
    d.ModifiedOn();
    EXPECT_EQ(b.Told, 2); // told once for all four
    EXPECT_EQ(changes, 5);
    d.PSet(4, 0, 1);
    EXPECT_EQ(b.Told, 3);
}

TEST(TZyDibChanges, ChgModifiedSwOffThenModifiedOnTurnsItOn)
{
    BoundBitmap b;
    TZyDib d(nullptr, 8, 8);
    d.StartBitmap(&b.Bitmap);
    d.ChgModifiedSw(false);
    d.PSet(0, 0, 1);
    EXPECT_EQ(b.Told, 0);
    d.ModifiedOn();
    EXPECT_EQ(b.Told, 1);
    d.PSet(0, 0, 1);
    EXPECT_EQ(b.Told, 2);
}

TEST(TZyDibChanges, BoundBitmapIsHandedThePaletteWhenTheSwitchAllows)
{
    BoundBitmap b;
    TZyDib d(nullptr, 8, 8);
    d.StartBitmap(&b.Bitmap);
    RGBQUAD c{1, 2, 3, 0};
    d.SetPal1(5, &c);
    EXPECT_TRUE(b.Bitmap.PaletteModified());
    EXPECT_EQ(b.Bitmap.Palette(), nullptr); // given back: the bitmap never deletes it
    EXPECT_EQ(b.Told, 2);                   // modified, then palette changed

    b.Bitmap.SetPaletteModified(false);
    b.Told = 0;
    d.ModifiedOff();
    d.SetPal1(6, &c);
    EXPECT_FALSE(b.Bitmap.PaletteModified());
    EXPECT_EQ(b.Told, 0);
    d.ModifiedOn();
    EXPECT_TRUE(b.Bitmap.PaletteModified());
    EXPECT_EQ(b.Told, 2);
    // The bitmap shows the surface's own memory and colours.
    d.PSet(2, 3, 6);
    QImage image = b.Bitmap.Image();
    ASSERT_EQ(image.format(), QImage::Format_Indexed8);
    EXPECT_EQ(image.constBits(), d.ImagePtr());
    EXPECT_EQ(image.pixelIndex(2, 3), 6);
    EXPECT_EQ(image.pixel(2, 3), qRgb(3, 2, 1));
}

TEST(TZyDibBinding, BitmapOwnsTheSectionWhileBound)
{
    TBitmap bitmap;
    auto d = std::make_unique<TZyDib>(nullptr, 16, 8);
    d->SetBitmap(&bitmap);
    ASSERT_NE(bitmap.Handle(), nullptr);
    EXPECT_EQ(bitmap.Width(), 16);
    EXPECT_EQ(bitmap.Height(), 8);
    d->EndBitmap();
    EXPECT_EQ(bitmap.Handle(), nullptr);
    d->SetBitmap(&bitmap);
    d.reset(); // ending the surface takes the section back from the bitmap
    EXPECT_EQ(bitmap.Handle(), nullptr);
    EXPECT_TRUE(bitmap.Image().isNull());
}

TEST(TZyDibBinding, ImageShowsTheSurfaceAndItsRemovalMakesAFreshOne)
{
    TComponent owner(nullptr);
    auto* d = new TZyDib(&owner, 10, 6);
    auto* image = new TImage(&owner, nullptr);
    d->SetImage(image);
    EXPECT_EQ(d->Image(), image);
    EXPECT_NE(image->Bitmap()->Handle(), nullptr);
    d->PSet(1, 1, 9);
    EXPECT_EQ(image->Bitmap()->Image().pixelIndex(1, 1), 9);
    RGBQUAD c{1, 1, 1, 0};
    d->SetPal1(9, &c);

    delete image; // takes the section with it
    EXPECT_EQ(d->Image(), nullptr);
    ASSERT_NE(d->ImagePtr(), nullptr);
    EXPECT_EQ(d->Width(), 10);
    EXPECT_EQ(d->PGet(1, 1), 0);
    RGBQUAD now{};
    d->AskPal1(9, &now);
    EXPECT_EQ(now, (RGBQUAD{240, 202, 166, 0}));
    EXPECT_TRUE(d->PSet(2, 2, 1));
}

TEST(TZyDibBinding, SetImageNullUnbinds)
{
    TComponent owner(nullptr);
    auto* d = new TZyDib(&owner, 4, 4);
    auto* image = new TImage(&owner, nullptr);
    d->SetImage(image);
    d->SetImage(nullptr);
    EXPECT_EQ(image->Bitmap()->Handle(), nullptr);
    EXPECT_EQ(d->Image(), nullptr);
    EXPECT_TRUE(d->PSet(0, 0, 1));
}

TEST(TZyDibBinding, AtDesignTimeAnImageOnlyGivesItsSize)
{
    TComponent owner(nullptr);
    auto* image = new TImage(&owner, nullptr);
    image->SetBounds(0, 0, 33, 22);
    auto* d = new TZyDib(&owner, 4, 4);
    d->EndDib();
    d->SetDesigning(true);
    d->SetImage(image);
    EXPECT_EQ(d->Width(), 33);
    EXPECT_EQ(d->Height(), 22);
    EXPECT_EQ(image->Bitmap()->Handle(), nullptr);
    d->InitDib();
    EXPECT_EQ(d->ImagePtr(), nullptr); // no surface while designing
    delete image;
    EXPECT_EQ(d->Image(), nullptr);
}

} // namespace
