// The clipped pattern transfers and masked fills against a plain model that
// visits every pattern pixel and checks each point on its own, over many
// random placements around and across the edges of a small surface. The
// row padding must never be written.
#include "support/Zydib.h"
#include "support/zybitmap_files.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr int SW = 37, SH = 9, Line = 40; // wide enough for the 16-byte blocks of the row copies

unsigned char Combine(unsigned char p, unsigned char c, TZyMethod m)
{
    switch (m) {
    case Zy_SET: return c;
    case Zy_NOT: return static_cast<unsigned char>(255 - c);
    case Zy_AND: return p & c;
    case Zy_OR: return p | c;
    case Zy_XOR: return p ^ c;
    case Zy_ADD: return static_cast<unsigned char>(std::min(p + c, 255));
    case Zy_SUB: return static_cast<unsigned char>(c >= p ? 0 : p - c);
    case Zy_MED: return static_cast<unsigned char>((p + c) / 2);
    }
    return p;
}

bool Bit(const Bytes& mask, int mw, int mh, long i, long j)
{
    mw = std::max(mw, 1);
    mh = std::max(mh, 1);
    long bit = i % mw;
    return mask[static_cast<std::size_t>(j % mh * ((mw + 7) / 8) + bit / 8)] & (0x80 >> (bit % 8));
}

struct Placement {
    int x, y, w, h, pitch, mw, mh;
    TZyMethod Method;
    bool Reverse, Transparent, Masked;
    unsigned char Tc;
};

std::string Describe(const Placement& p)
{
    return "x " + std::to_string(p.x) + " y " + std::to_string(p.y) + " w " + std::to_string(p.w) + " h " +
           std::to_string(p.h) + " pitch " + std::to_string(p.pitch) + " method " + std::to_string(p.Method) +
           (p.Reverse ? " mirrored" : "") + (p.Transparent ? " transparent" : "") +
           (p.Masked ? " mask " + std::to_string(p.mw) + "x" + std::to_string(p.mh) : "");
}

TEST(TZyDibAgainstModel, PatternsLandWhereTheModelPutsThem)
{
    std::mt19937 random(7);
    auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    for (int round = 0; round < 4000; ++round) {
        Placement p{in(-40, 40), in(-11, 12), in(-2, 40), in(-2, 11), 0, in(0, 10), in(0, 3),
                    static_cast<TZyMethod>(in(0, 8)), in(0, 1) == 1, in(0, 1) == 1, in(0, 2) == 0,
                    static_cast<unsigned char>(in(0, 3))};
        p.pitch = p.Masked ? p.w : std::max(p.w, 0) + in(-3, 3); // PasMPat's rows are w apart
        const long pitch = std::max(p.pitch, p.w);
        Bytes pattern(static_cast<std::size_t>(std::max(0L, pitch * std::max(p.h, 0))) + 1);
        for (auto& b : pattern)
            b = static_cast<std::uint8_t>(in(0, 5));
        Bytes mask(64);
        for (auto& b : mask)
            b = static_cast<std::uint8_t>(in(0, 255));

        TZyDib d(nullptr, SW, SH);
        ASSERT_EQ(d.LineBytes(), Line);
        for (int k = 0; k < SH * Line; ++k)
            d.ImagePtr()[k] = static_cast<unsigned char>(k % Line < SW ? in(0, 255) : 0xEE);
        Bytes model(d.ImagePtr(), d.ImagePtr() + SH * Line);
        for (long j = 0; j < p.h; ++j)
            for (long i = 0; i < p.w; ++i) {
                long tx = p.Reverse ? p.x + p.w - 1 - i : p.x + i, ty = p.y + j;
                unsigned char b = pattern[static_cast<std::size_t>(j * pitch + i)];
                bool drawn = p.Masked ? Bit(mask, p.mw, p.mh, i, j) : !(p.Transparent && b == p.Tc);
                if (drawn && tx >= 0 && tx < SW && ty >= 0 && ty < SH) {
                    auto& t = model[static_cast<std::size_t>(ty * Line + tx)];
                    t = Combine(t, b, p.Method);
                }
            }
        d.Method = p.Method;
        d.Reverse = p.Reverse;
        bool ok = p.Masked ? d.PasMPat(p.x, p.y, p.w, p.h, pattern.data(), mask.data(), p.mw, p.mh)
                 : p.Transparent ? d.PasPat2(p.x, p.y, p.w, p.h, pattern.data(), p.pitch, p.Tc)
                                 : d.PutPat2(p.x, p.y, p.w, p.h, pattern.data(), p.pitch);
        ASSERT_TRUE(ok) << Describe(p);
        ASSERT_EQ(Hex(d.ImagePtr(), SH * Line), Hex(model)) << Describe(p);
    }
}

TEST(TZyDibAgainstModel, GetPatReadsWhatLiesOnTheSurface)
{
    std::mt19937 random(11);
    auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    TZyDib d(nullptr, SW, SH);
    for (int k = 0; k < SH * Line; ++k)
        d.ImagePtr()[k] = static_cast<unsigned char>(k);
    for (int round = 0; round < 2000; ++round) {
        int x = in(-40, 40), y = in(-11, 12), w = in(-1, 40), h = in(-1, 11);
        Bytes buffer(static_cast<std::size_t>(std::max(w, 0) * std::max(h, 0)) + 1, 0xAB), model = buffer;
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i)
                if (x + i >= 0 && x + i < SW && y + j >= 0 && y + j < SH)
                    model[static_cast<std::size_t>(j * w + i)] = static_cast<std::uint8_t>((y + j) * Line + x + i);
        ASSERT_TRUE(d.GetPat(x, y, w, h, buffer.data()));
        ASSERT_EQ(Hex(buffer), Hex(model)) << x << "," << y << " " << w << " x " << h;
    }
}

TEST(TZyDibAgainstModel, MaskedFillsCoverTheirRectangle)
{
    std::mt19937 random(5);
    auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    for (int round = 0; round < 2000; ++round) {
        int x1 = in(-6, 42), y1 = in(-6, 14), x2 = in(-6, 42), y2 = in(-6, 14), mw = in(0, 12), mh = in(0, 3);
        auto method = static_cast<TZyMethod>(in(0, 7));
        bool masked = in(0, 1) == 1;
        auto c = static_cast<unsigned char>(in(0, 255));
        Bytes mask(16);
        for (auto& b : mask)
            b = static_cast<std::uint8_t>(in(0, 255));
        TZyDib d(nullptr, SW, SH);
        for (int k = 0; k < SH * Line; ++k)
            d.ImagePtr()[k] = static_cast<unsigned char>(k % Line < SW ? in(0, 255) : 0xEE);
        Bytes model(d.ImagePtr(), d.ImagePtr() + SH * Line);
        int left = std::min(x1, x2), top = std::min(y1, y2);
        for (int y = std::max(top, 0); y <= std::min(std::max(y1, y2), SH - 1); ++y)
            for (int x = std::max(left, 0); x <= std::min(std::max(x1, x2), SW - 1); ++x)
                if (!masked || Bit(mask, mw, mh, x - left, y - top)) {
                    auto& t = model[static_cast<std::size_t>(y * Line + x)];
                    t = Combine(t, c, method);
                }
        d.Method = method;
        ASSERT_TRUE(masked ? d.BoxFillM(x1, y1, x2, y2, c, mask.data(), mw, mh) : d.BoxFill(x1, y1, x2, y2, c));
        ASSERT_EQ(Hex(d.ImagePtr(), SH * Line), Hex(model))
            << x1 << "," << y1 << " to " << x2 << "," << y2 << " method " << method << (masked ? " masked" : "");
    }
}

} // namespace
