// TCrcCheck: table-driven CRC-16, eight bytes per step with slicing tables.
#include "support/Zypack.h"

#include <cstring>

TCrcCheck::TCrcCheck() : Mode(cm8408)
{
    MakeCrcTable();
}

void TCrcCheck::MakeCrcTable()
{
    const unsigned poly = Mode == cmC001 ? 0xC001 : 0x8408;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? (r >> 1) ^ poly : r >> 1;
        Table[i] = static_cast<unsigned short>(r);
    }
    std::memcpy(FSlice[0], Table, sizeof Table);
    for (int k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i) {
            unsigned prev = FSlice[k - 1][i];
            FSlice[k][i] = static_cast<unsigned short>(Table[prev & 0xFF] ^ (prev >> 8));
        }
}

void TCrcCheck::SetCrcMode(TCrcMode mode)
{
    Mode = mode;
    MakeCrcTable();
}

unsigned short TCrcCheck::UpDateCrc(unsigned short crc, const unsigned char* data, int len) const
{
    unsigned c = crc;
    const unsigned char* p = data;
    const unsigned char* end = len > 0 ? data + len : data;
    // The 16-bit check folds into the first two bytes of each 8-byte step;
    // byte j of the step then lies 7 - j table steps from its end.
    while (end - p >= 8) {
        unsigned b0 = p[0] ^ (c & 0xFF), b1 = p[1] ^ (c >> 8);
        c = FSlice[7][b0] ^ FSlice[6][b1] ^ FSlice[5][p[2]] ^ FSlice[4][p[3]]
            ^ FSlice[3][p[4]] ^ FSlice[2][p[5]] ^ FSlice[1][p[6]] ^ FSlice[0][p[7]];
        p += 8;
    }
    for (; p < end; ++p)
        c = Table[(c ^ *p) & 0xFF] ^ (c >> 8);
    return static_cast<unsigned short>(c);
}

unsigned short TCrcCheck::Crc(const unsigned char* data, int len) const
{
    return UpDateCrc(0xFFFF, data, len);
}
