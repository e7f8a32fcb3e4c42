// TLunderEncode: the greedy Lunder encoder.
//
// The format fixes the output: for each item the best match is the longest
// of the up to 1535 positions back (the farthest among equal lengths), and
// the first match of 256 bytes or more, looking back from the nearest,
// ends the search. Instead of comparing all 1535 candidates, the matcher
// finds the same answer from chains of earlier positions with the same
// prefix, nearest first:
//   - 3-byte prefixes (hashed) for matches of 3 or more: only these can be
//     longer than 2, and a quick test skips those shorter than the best;
//   - exact 2-byte prefixes, walked to their farthest position in reach when
//     no longer match exists (a 2-byte match is always worth a copy);
//   - single bytes, walked only until an occurrence more than 10 back, since
//     a 1-byte copy costs no more than a literal only at distances up to 10.
// Every position is indexed once, in constant time.
#include "support/Zypack.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace {

constexpr int WindowBytes = LunderHistory + 2 * LunderBlockSize; // 34304
constexpr int OutputBytes = 18944;
constexpr int RingBits = 11; // 2048 > 1535 positions of look-back
constexpr int RingMask = (1 << RingBits) - 1;
constexpr int HashBits = 15;
constexpr int LongMatch = 256; // a match this long ends the search

unsigned hash3(const unsigned char* p)
{
    std::uint32_t v = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    return (v * 2654435761u) >> (32 - HashBits);
}

unsigned key2(const unsigned char* p)
{
    return unsigned{p[0]} << 8 | p[1];
}

// For each key, its latest position and, per position, the previous one
// with the same key: walked nearest first, a chain ends at the edge of the
// look-back window.
template <int Keys>
struct PositionChains {
    int Last[Keys];
    int Prev[1 << RingBits];

    void reset() { std::fill(std::begin(Last), std::end(Last), -1); }
    void add(unsigned key, int pos)
    {
        Prev[pos & RingMask] = Last[key];
        Last[key] = pos;
    }
    // The farthest position of the key at or above `lowest`, or -1.
    int farthest(unsigned key, int lowest) const
    {
        int found = -1;
        for (int q = Last[key]; q >= lowest; q = Prev[q & RingMask])
            found = q;
        return found;
    }
};

inline int matchLength(const unsigned char* a, const unsigned char* b, int maxlen)
{
    int n = 0;
    while (n + 8 <= maxlen) {
        std::uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) {
            std::uint64_t diff = x ^ y;
            int bit = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
            return n + bit / 8;
        }
        n += 8;
    }
    while (n < maxlen && a[n] == b[n])
        ++n;
    return n;
}

bool sameWord(const unsigned char* a, const unsigned char* b)
{
    std::uint32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return x == y;
}

} // namespace

struct TLunderEncode::Matcher {
    PositionChains<1 << HashBits> Triples; // by hash: may hold other prefixes
    PositionChains<65536> Pairs;
    PositionChains<256> Bytes;
    int Indexed; // positions below this one are in the indexes

    void reset()
    {
        Triples.reset();
        Pairs.reset();
        Bytes.reset();
        Indexed = 0;
    }
};

TLunderEncode::TLunderEncode() = default;

TLunderEncode::~TLunderEncode()
{
    if (Opened)
        Close();
}

unsigned char* TLunderEncode::Open(int size)
{
    if (Opened)
        Close();
    if (size < 1)
        return nullptr;
    FWindow = new (std::nothrow) unsigned char[WindowBytes];
    FOutput = new (std::nothrow) unsigned char[OutputBytes];
    FMatcher = new (std::nothrow) Matcher;
    if (!FWindow || !FOutput || !FMatcher) {
        Opened = true;
        Close();
        return nullptr;
    }
    FMatcher->reset();
    FSize = size;
    FBlocks = 0;
    FInPos = 0;
    FWindowBase = 0;
    FOutDelivered = 0;
    OutComplete = 0;
    FFlagPlace = FOutput;
    FOutPtr = FOutput + 4;
    FOutLength = 4;
    FFlag = 0;
    FMask = 0x80000000u;
    FItems = 0;
    Opened = true;
    Finished = false;
    return FOutput;
}

bool TLunderEncode::Close()
{
    if (Opened) {
        delete[] FWindow;
        delete[] FOutput;
        delete FMatcher;
        FWindow = FOutput = nullptr;
        FMatcher = nullptr;
        Opened = false;
    }
    return true;
}

unsigned short TLunderEncode::Search(const unsigned char* candidate, const unsigned char* current, unsigned short maxlen)
{
    return static_cast<unsigned short>(matchLength(candidate, current, maxlen));
}

int TLunderEncode::Encode(const unsigned char* block)
{
    if (!Opened || Finished)
        return 0;
    if (FBlocks < 2) {
        int left = FSize - FBlocks * LunderBlockSize;
        std::memcpy(FWindow + LunderHistory + FBlocks * LunderBlockSize, block,
                    static_cast<size_t>(std::min(LunderBlockSize, left)));
        FBlocks = left > LunderBlockSize ? FBlocks + 1 : 2;
        if (FBlocks < 2)
            return 0;
    } else {
        std::memmove(FWindow, FWindow + LunderBlockSize, WindowBytes - LunderBlockSize);
        int loaded = FWindowBase + 2 * LunderBlockSize;
        if (loaded < FSize)
            std::memcpy(FWindow + LunderHistory + LunderBlockSize, block,
                        static_cast<size_t>(std::min(LunderBlockSize, FSize - loaded)));
        FWindowBase += LunderBlockSize;
    }
    if (OutComplete > FOutDelivered) {
        int done = OutComplete - FOutDelivered;
        std::memmove(FOutput, FOutput + done, static_cast<size_t>(FOutPtr - FOutput - done));
        FOutPtr -= done;
        FFlagPlace -= done;
        FOutDelivered = OutComplete;
    }
    encodeItems();
    return OutComplete - FOutDelivered;
}

void TLunderEncode::insertUpTo(int position)
{
    Matcher& m = *FMatcher;
    const unsigned char* base = FWindow + LunderHistory;
    for (int r = m.Indexed; r < position; ++r) {
        const unsigned char* p = base + (r - FWindowBase);
        m.Bytes.add(p[0], r);
        if (r + 1 < FSize)
            m.Pairs.add(key2(p), r);
        if (r + 2 < FSize)
            m.Triples.add(hash3(p), r);
    }
    m.Indexed = position;
}

void TLunderEncode::encodeItems()
{
    Matcher& m = *FMatcher;
    const unsigned char* base = FWindow + LunderHistory;
    for (;;) {
        const int pos = FInPos;
        const unsigned char* cur = base + (pos - FWindowBase);
        const int maxlen = std::min(LunderMaxLength, FSize - pos);
        const int lowest = std::max(0, pos - LunderMaxDistance);
        int best = 0, dist = 0;
        if (maxlen >= 3) {
            for (int q = m.Triples.Last[hash3(cur)]; q >= lowest; q = m.Triples.Prev[q & RingMask]) {
                const unsigned char* cand = base + (q - FWindowBase);
                // Shorter than the best so far unless these agree.
                if (best >= 4 ? !sameWord(cand + best - 4, cur + best - 4) : cand[2] != cur[2])
                    continue;
                int len = matchLength(cand, cur, maxlen);
                if (len >= 3 && len >= best) {
                    best = len;
                    dist = pos - q;
                    if (best >= LongMatch)
                        break;
                }
            }
        }
        if (best < 3) {
            best = 0;
            int far = maxlen >= 2 ? m.Pairs.farthest(key2(cur), lowest) : -1;
            if (far >= 0) {
                best = 2;
            } else {
                // A single byte is a copy only from 10 or fewer back, so the
                // walk stops at the first occurrence farther than that.
                for (int q = m.Bytes.Last[cur[0]]; q >= lowest; q = m.Bytes.Prev[q & RingMask]) {
                    far = q;
                    if (pos - q > 10)
                        break;
                }
                if (far >= 0)
                    best = 1;
            }
            dist = pos - far;
        }
        putItem(best, dist);
        insertUpTo(FInPos);
        if (FInPos >= FSize || FItems == 32)
            closeGroup();
        if (FInPos >= FSize) {
            Finished = true;
            return;
        }
        if (FInPos - FWindowBase > LunderBlockSize)
            return;
    }
}

// Writes a copy when it costs no more bytes than it covers, else a literal.
void TLunderEncode::putItem(int length, int distance)
{
    int cost = 1 + (length >= 256 ? 2 : 0) + (length >= 15 && length <= 255 ? 1 : 0) + (distance >= 11 ? 1 : 0);
    unsigned char* out = FOutPtr;
    if (length >= 1 && cost <= length) {
        FFlag |= FMask;
        int lengthCode = length <= 14 ? length - 1 : length <= 255 ? 14 : 15;
        int distanceCode = distance <= 10 ? distance - 1 : 10 + distance / 256;
        *out++ = static_cast<unsigned char>(lengthCode << 4 | distanceCode);
        if (lengthCode == 14) {
            *out++ = static_cast<unsigned char>(length);
        } else if (lengthCode == 15) {
            *out++ = static_cast<unsigned char>(length & 0xFF);
            *out++ = static_cast<unsigned char>(length >> 8);
        }
        if (distanceCode >= 10)
            *out++ = static_cast<unsigned char>(distance & 0xFF);
        FInPos += length;
    } else {
        *out++ = FWindow[LunderHistory + FInPos - FWindowBase];
        FInPos += 1;
    }
    FOutLength += static_cast<int>(out - FOutPtr);
    FOutPtr = out;
    ++FItems;
    FMask >>= 1;
}

void TLunderEncode::closeGroup()
{
    for (int i = 0; i < 4; ++i)
        FFlagPlace[i] = static_cast<unsigned char>(FFlag >> (8 * i));
    OutComplete = FOutLength;
    if (FInPos < FSize) {
        FFlagPlace = FOutPtr;
        FOutPtr += 4;
        FOutLength += 4;
        FFlag = 0;
        FMask = 0x80000000u;
        FItems = 0;
    }
}
