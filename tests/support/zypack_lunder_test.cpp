// The Lunder codec: fixed byte vectors, the block call pattern, and round
// trips held against the plain reference encoder.
#include "support/Zypack.h"

#include "lunder_drive.h"
#include "lunder_reference.h"
#include "support_code/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes EncodeAll(const Bytes& in, std::vector<int>* calls = nullptr)
{
    return lunder_drive::Encode(in.data(), static_cast<int>(in.size()), calls);
}

struct Vector {
    const char* Name;
    Bytes Plain;
    Bytes Packed;
};

TEST(LunderEncode, ExamplesByteForByte)
{
    const Vector vectors[] = {
        {"single a", Of("a"), {0, 0, 0, 0, 0x61}},
        {"aaaa", Of("aaaa"), {0, 0, 0, 0x40, 0x61, 0x20}},
        {"abc x4", Of("abcabcabcabc"), {0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x82}},
        {"farthest of equals", Of("abXabYab"), {0, 0, 0, 0x14, 0x61, 0x62, 0x58, 0x12, 0x59, 0x15}},
        {"cost equals length", Of("ab-----------ab"), {0, 0, 0, 0x18, 0x61, 0x62, 0x2D, 0x90, 0x1A, 0x0D}},
        {"10000 x", Bytes(10000, 'x'), {0, 0, 0, 0x60, 0x78, 0xF0, 0x00, 0x20, 0xF0, 0x0F, 0x07}},
        {"no match", Of("abcd"), {0, 0, 0, 0, 0x61, 0x62, 0x63, 0x64}},
    };
    for (const Vector& v : vectors) {
        Bytes fast = EncodeAll(v.Plain);
        EXPECT_EQ(Hex(fast), Hex(v.Packed)) << v.Name;
        EXPECT_EQ(Hex(lunder_reference::Encode(v.Plain.data(), static_cast<int>(v.Plain.size()))), Hex(v.Packed))
            << v.Name << " (reference)";
    }
}

TEST(LunderEncode, ThirtyThirdItemStartsANewFlagWord)
{
    Bytes in;
    for (int i = 0; i < 33; ++i)
        in.push_back(static_cast<std::uint8_t>(i * 7)); // 33 different bytes: literals
    Bytes out = EncodeAll(in);
    ASSERT_EQ(out.size(), 4u + 32 + 4 + 1);
    EXPECT_EQ(Hex(Bytes(out.begin() + 36, out.begin() + 40)), "00 00 00 00");
    EXPECT_EQ(out[40], in[32]);
}

TEST(LunderEncode, CallPattern)
{
    std::vector<int> calls;
    Bytes small(16384, 'q');
    EncodeAll(small, &calls);
    EXPECT_EQ(calls.size(), 1u) << "one block finishes in the first call";

    std::mt19937 rng(7);
    Bytes big(40000);
    for (auto& b : big)
        b = static_cast<std::uint8_t>(rng() % 16);
    calls.clear();
    Bytes out = EncodeAll(big, &calls);
    ASSERT_EQ(calls.size(), 4u) << "Finished on the fourth call";
    EXPECT_EQ(calls[0], 0);
    EXPECT_GT(calls[1], 0);
    EXPECT_GT(calls[2], 0);
    EXPECT_EQ(Hex(out), Hex(lunder_reference::Encode(big.data(), 40000)));
}

TEST(LunderEncode, StateAroundOpenAndClose)
{
    TLunderEncode enc;
    EXPECT_FALSE(enc.Opened);
    EXPECT_TRUE(enc.Finished);
    unsigned char x = 'x';
    EXPECT_EQ(enc.Encode(&x), 0) << "closed";
    EXPECT_EQ(enc.Open(0), nullptr) << "an empty stream is refused";
    EXPECT_FALSE(enc.Opened);
    unsigned char* out = enc.Open(1);
    ASSERT_NE(out, nullptr);
    EXPECT_FALSE(enc.Finished);
    EXPECT_EQ(enc.Encode(&x), 5);
    EXPECT_TRUE(enc.Finished);
    EXPECT_EQ(enc.OutComplete, 5);
    EXPECT_EQ(enc.Encode(&x), 0) << "finished";
    EXPECT_TRUE(enc.Close());
    EXPECT_FALSE(enc.Opened);
}

TEST(LunderEncode, SearchCountsLeadingAgreement)
{
    const unsigned char a[] = "abcdefghijklmnopqrstuvwxyz";
    unsigned char b[sizeof a];
    std::copy(a, a + sizeof a, b);
    EXPECT_EQ(TLunderEncode::Search(a, b, 20), 20);
    b[13] = '!';
    EXPECT_EQ(TLunderEncode::Search(a, b, 20), 13);
    EXPECT_EQ(TLunderEncode::Search(a, b, 5), 5);
    EXPECT_EQ(TLunderEncode::Search(a, b, 0), 0);
}

TEST(LunderDecode, HoldsBackFewerThan1536Bytes)
{
    // A short stream comes out in one piece with the final call.
    Bytes text = Of("a short text that is not long at all");
    Bytes packed = EncodeAll(text);
    lunder_drive::Decoded d = lunder_drive::Decode(packed.data(), static_cast<int>(packed.size()), static_cast<int>(text.size()));
    ASSERT_EQ(d.Calls.size(), 1u);
    EXPECT_EQ(d.Calls[0], static_cast<int>(text.size()));

    // Random bytes hardly compress: each block of input gives a block of
    // output, and nothing below 1536 is reported before the end.
    std::mt19937 rng(3);
    Bytes noise(50000);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng());
    packed = EncodeAll(noise);
    d = lunder_drive::Decode(packed.data(), static_cast<int>(packed.size()), 50000);
    ASSERT_EQ(d.Bytes, noise);
    for (size_t i = 0; i + 1 < d.Calls.size(); ++i)
        EXPECT_TRUE(d.Calls[i] == 0 || d.Calls[i] >= 1536) << "call " << i << ": " << d.Calls[i];
    EXPECT_GT(d.Calls.size(), 3u);
}

TEST(LunderDecode, EmptyStreamFinishesAtOnce)
{
    TLunderDecode dec;
    ASSERT_NE(dec.Open(0, 0), nullptr);
    EXPECT_EQ(dec.Decode(nullptr), 0);
    EXPECT_TRUE(dec.Finished);
    EXPECT_FALSE(dec.Broken);
    EXPECT_EQ(dec.Open(-1, 0), nullptr);
}

// The densest stream there is, one literal and then copies of 8192 bytes
// at distance 1, stays within the bound; one byte more than the bound can
// never be a stream of that length and is refused at Open.
TEST(LunderDecode, StatedSizeIsBoundedByTheStreamLength)
{
    Bytes dense = {0xFF, 0xFF, 0xFF, 0x7F, 'x'};
    for (int i = 0; i < 31; ++i)
        dense.insert(dense.end(), {0xF0, 0x00, 0x20});
    for (int g = 0; g < 3; ++g) {
        dense.insert(dense.end(), {0xFF, 0xFF, 0xFF, 0xFF});
        for (int i = 0; i < 32; ++i)
            dense.insert(dense.end(), {0xF0, 0x00, 0x20});
    }
    const int compsize = static_cast<int>(dense.size());
    const int size = 1 + (31 + 3 * 32) * LunderMaxLength;
    ASSERT_LE(size, TLunderDecode::MaxSize(compsize));
    lunder_drive::Decoded back = lunder_drive::Decode(dense.data(), compsize, size);
    EXPECT_FALSE(back.Broken);
    ASSERT_EQ(back.Bytes.size(), static_cast<size_t>(size));
    EXPECT_TRUE(std::all_of(back.Bytes.begin(), back.Bytes.end(), [](std::uint8_t c) { return c == 'x'; }));

    TLunderDecode dec;
    for (int c : {0, 1, 5, 16, compsize, INT32_MAX / 4}) { // 0: no bytes hold no byte
        const std::int64_t bound = TLunderDecode::MaxSize(c);
        if (bound < INT32_MAX) {
            EXPECT_EQ(dec.Open(static_cast<int>(bound) + 1, c), nullptr) << "compressed size " << c;
        }
        EXPECT_NE(dec.Open(static_cast<int>(std::min<std::int64_t>(bound, INT32_MAX)), c), nullptr) << "compressed size " << c;
    }
}

struct BadStream {
    const char* Name;
    Bytes Stream;
    int Size;
    size_t Good; // bytes that come out before the fault
};

TEST(LunderDecode, ForeignStreamsStopAsBroken)
{
    const BadStream cases[] = {
        {"distance before the start", {0, 0, 0, 0x40, 0x61, 0x21}, 4, 1},
        {"distance 0", {0, 0, 0, 0x40, 0x61, 0x0A, 0x00}, 4, 1},
        {"length above 8192", {0, 0, 0, 0x40, 0x61, 0xF0, 0x01, 0x20}, 8194, 1},
        {"copy past the length", {0, 0, 0, 0x40, 0x61, 0x30}, 3, 1},
        {"stream ends early", {0, 0, 0, 0, 0x61, 0x62}, 5, 2},
        {"flag word cut", {0, 0}, 1, 0},
        {"copy item cut", {0, 0, 0, 0x40, 0x61, 0xF0, 0x00}, 300, 1},
    }; // no bytes at all for one byte is refused at Open, see above
    for (const BadStream& c : cases) {
        lunder_drive::Decoded d = lunder_drive::Decode(c.Stream.data(), static_cast<int>(c.Stream.size()), c.Size);
        EXPECT_TRUE(d.Broken) << c.Name << ": " << Hex(c.Stream);
        EXPECT_EQ(d.Bytes.size(), c.Good) << c.Name;
    }
}

// Inputs of several kinds; every one must match the plain scan byte for
// byte and decode back.
Bytes MakeInput(int kind, int size, std::mt19937& rng)
{
    static const std::string words[] = {"the ", "pack ", "file ", "entry ", "and ", "of ", "Lunder ", "\r\n", "code, "};
    Bytes b;
    b.reserve(static_cast<size_t>(size));
    while (static_cast<int>(b.size()) < size) {
        switch (kind) {
        case 0: { // text
            const std::string& w = words[rng() % 9];
            b.insert(b.end(), w.begin(), w.end());
            break;
        }
        case 1: // random bytes
            b.push_back(static_cast<std::uint8_t>(rng()));
            break;
        case 2: // long runs
            b.insert(b.end(), 1 + rng() % 9000, static_cast<std::uint8_t>(rng() % 3));
            break;
        case 4: { // table-like records: short runs of zeros between few varying bytes
            static const std::uint8_t fields[] = {0x8c, 0x01, 0x48, 0xff, 0x10, 0x79};
            b.push_back(fields[rng() % 6]);
            b.insert(b.end(), rng() % 9, 0);
            if (rng() % 3 == 0)
                b.push_back(static_cast<std::uint8_t>(rng()));
            break;
        }
        default: { // repeats at distances near the end of reach
            if (b.size() < 1600) {
                b.push_back(static_cast<std::uint8_t>(rng()));
                break;
            }
            size_t from = b.size() - (1530 + rng() % 8);
            size_t len = 1 + rng() % 300;
            for (size_t i = 0; i < len; ++i)
                b.push_back(b[from + i]);
            if (rng() % 4 == 0)
                b.push_back(static_cast<std::uint8_t>(rng()));
        }
        }
    }
    b.resize(static_cast<size_t>(size));
    return b;
}

void CheckRoundTrip(const Bytes& in, const char* what)
{
    int n = static_cast<int>(in.size());
    Bytes fast = lunder_drive::Encode(in.data(), n);
    Bytes plain = lunder_reference::Encode(in.data(), n);
    ASSERT_EQ(fast.size(), plain.size()) << what << " size " << n;
    if (fast != plain) {
        size_t i = 0;
        while (fast[i] == plain[i])
            ++i;
        size_t to = std::min(fast.size(), i + 12);
        FAIL() << what << " size " << n << " differs at " << i << ": "
               << Hex(Bytes(fast.begin() + static_cast<long>(i), fast.begin() + static_cast<long>(to))) << " vs "
               << Hex(Bytes(plain.begin() + static_cast<long>(i), plain.begin() + static_cast<long>(to)));
    }
    lunder_drive::Decoded back = lunder_drive::Decode(fast.data(), static_cast<int>(fast.size()), n);
    EXPECT_FALSE(back.Broken) << what << " size " << n;
    ASSERT_TRUE(back.Bytes == in) << what << " size " << n;
}

TEST(LunderRoundTrip, BlockBoundariesForEveryKind)
{
    const char* kinds[] = {"text", "random", "runs", "repeats near 1535", "records with short runs"};
    const int sizes[] = {1, 2, 3, 15, 255, 256, 257, 1535, 1536, 1537, 16383, 16384, 16385, 16386,
                         24576, 32767, 32768, 32769, 49151, 49152, 49153, 65536, 70000};
    for (int kind = 0; kind < 5; ++kind) {
        std::mt19937 rng(static_cast<unsigned>(kind + 11));
        for (int size : sizes)
            CheckRoundTrip(MakeInput(kind, size, rng), kinds[kind]);
    }
}

TEST(LunderRoundTrip, SizesOneToThousandsAndAbove)
{
    std::mt19937 rng(5);
    for (int size = 1; size <= 70000; size += size < 300 ? 1 : 1 + static_cast<int>(rng() % 4999))
        CheckRoundTrip(MakeInput(size % 5, size, rng), "mixed");
}

} // namespace
