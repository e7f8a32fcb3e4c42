// TCrcCheck: both tables, the catalogued check values, pieces, and the
// eight-byte steps against the one-byte rule on every length and alignment.
#include "support/Zypack.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

const unsigned char Digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

struct ModeCase {
    TCrcMode Mode;
    unsigned short Entry1, Entry255, Check;
};

TEST(CrcCheck, TablesAndCheckValues)
{
    const ModeCase cases[] = {
        {cm8408, 0x1189, 0x0F78, 0x6F91},
        {cmC001, 0x8081, 0x7F80, 0x7ABB},
        {static_cast<TCrcMode>(2), 0x1189, 0x0F78, 0x6F91},
        {static_cast<TCrcMode>(200), 0x1189, 0x0F78, 0x6F91},
    };
    for (const ModeCase& c : cases) {
        TCrcCheck crc;
        crc.SetCrcMode(c.Mode);
        EXPECT_EQ(crc.Mode, c.Mode);
        EXPECT_EQ(crc.Table[0], 0);
        EXPECT_EQ(crc.Table[1], c.Entry1) << "mode " << int(c.Mode);
        EXPECT_EQ(crc.Table[255], c.Entry255) << "mode " << int(c.Mode);
        EXPECT_EQ(crc.Crc(Digits, 9), c.Check) << "mode " << int(c.Mode);
    }
}

TEST(CrcCheck, DefaultsAndEmptyBlocks)
{
    TCrcCheck crc;
    EXPECT_EQ(crc.Mode, cm8408);
    EXPECT_EQ(crc.Crc(Digits, 0), 0xFFFF);
    EXPECT_EQ(crc.UpDateCrc(0x1234, Digits, -5), 0x1234);
    EXPECT_EQ(crc.UpDateCrc(0x1234, nullptr, 0), 0x1234);
}

TEST(CrcCheck, PiecesGiveTheWholeValue)
{
    TCrcCheck crc;
    unsigned short first = crc.UpDateCrc(0xFFFF, Digits, 4);
    EXPECT_EQ(crc.UpDateCrc(first, Digits + 4, 5), 0x6F91);
}

unsigned short OneByteAtATime(const TCrcCheck& crc, unsigned short c, const unsigned char* p, int n)
{
    for (int i = 0; i < n; ++i)
        c = static_cast<unsigned short>(crc.Table[(c ^ p[i]) & 0xFF] ^ (c >> 8));
    return c;
}

TEST(CrcCheck, EightByteStepsMatchTheTableRule)
{
    std::mt19937 rng(1);
    std::vector<unsigned char> data(300);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    for (TCrcMode mode : {cm8408, cmC001}) {
        TCrcCheck crc;
        crc.SetCrcMode(mode);
        for (int start = 0; start < 9; ++start)
            for (int len = 0; len + start <= 300; len += 7) {
                unsigned short seed = static_cast<unsigned short>(rng());
                ASSERT_EQ(crc.UpDateCrc(seed, data.data() + start, len),
                          OneByteAtATime(crc, seed, data.data() + start, len))
                    << "mode " << int(mode) << " start " << start << " len " << len;
            }
    }
}

} // namespace
