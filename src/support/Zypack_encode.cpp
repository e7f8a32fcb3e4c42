// TLunderEncode: the greedy Lunder encoder.
//
// The format fixes the output: for each item the best match is the longest
// of the up to 1535 positions back (the farthest among equal lengths), and
// the first match of 256 bytes or more, looking back from the nearest,
// ends the search. Instead of comparing all 1535 candidates, the matcher
// finds the same answer from chains of earlier positions with the same
// prefix, nearest first:
//   - 3-byte prefixes (hashed) for matches of 3 or more: only these can be
//     longer than 2; eight bytes are compared at once, and a quick test
//     skips those shorter than a best of more than 8;
//   - exact 2-byte prefixes, walked to their farthest position in reach when
//     no longer match exists (a 2-byte match is always worth a copy);
//   - single bytes, walked only until an occurrence more than 10 back, since
//     a 1-byte copy costs no more than a literal only at distances up to 10.
// When the input starts a run of one byte (machine code and tables are full
// of short runs of zeros), the 3-byte chain would hold every position of
// every earlier run; those are taken a run at a time instead (see runMatch).
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

// Eight bytes from p, the first in the low bits.
std::uint64_t load64(const unsigned char* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

using TripleChains = PositionChains<1 << HashBits>;

// The window seen by input position: At(q) is the byte of position q.
struct WindowView {
    const unsigned char* Base; // the byte of position First
    int First;
    const unsigned char* At(int q) const { return Base + (q - First); }
};

// A match of Length bytes from position From; Length 0: none of 3 or more.
struct Match {
    int Length = 0;
    int From = -1;
};

// The first position at or above `lowest` of the run of byte b that holds
// position q.
int runStart(const WindowView& w, int q, int lowest, unsigned char b)
{
    const std::uint64_t all = 0x0101010101010101ull * b;
    int s = q;
    while (s - 8 >= lowest) {
        std::uint64_t x = load64(w.At(s - 8)) ^ all;
        if (x != 0)
            return s - std::countl_zero(x) / 8; // the highest differing byte
        s -= 8;
    }
    while (s > lowest && *w.At(s - 1) == b)
        --s;
    return s;
}

// The best match of 3 or more at `pos` by the 3-byte chain. The window holds
// at least 8 bytes from every position walked, so the first eight bytes of
// a candidate are compared in one go; what lies past the input is cut off by
// `maxlen`.
Match chainMatch(const TripleChains& c, const WindowView& w, int pos, int lowest, int maxlen)
{
    const unsigned char* cur = w.At(pos);
    const std::uint64_t head = load64(cur);
    int need = 3, from = -1; // a candidate is taken at `need` bytes or more
    for (int q = c.Last[hash3(cur)]; q >= lowest; q = c.Prev[q & RingMask]) {
        const unsigned char* cand = w.At(q);
        const std::uint64_t x = load64(cand) ^ head;
        int len;
        if (x != 0) {
            len = std::min(std::countr_zero(x) / 8, maxlen);
        } else {
            // Shorter than the best so far unless these agree.
            if (need > 8 && load64(cand + need - 8) != load64(cur + need - 8))
                continue;
            len = std::min(8 + matchLength(cand + 8, cur + 8, maxlen - 8), maxlen);
        }
        const bool better = len >= need;
        need = better ? len : need;
        from = better ? q : from;
        if (need >= LongMatch)
            break;
    }
    return from >= 0 ? Match{need, from} : Match{};
}

// The best match at `pos`, which starts a run of `run` (3 to 255) bytes b
// followed by another byte within `maxlen`. For an earlier position q whose
// run of b is r long:
//   - r < run: the match is r long;
//   - r > run: it is `run` long;
//   - r == run: it is `run` long plus however far the bytes after both runs
//     agree.
// Longer than `run` therefore means that the run at q ends exactly `run`
// bytes on and is followed by the same byte as here: the position two bytes
// before that byte has the prefix b, b, cur[run], and that chain (usually
// short) holds all of them. Failing those, the best is `run` or less, and
// each earlier run of b offers at most three lengths: its farthest position
// in reach, the one `run` bytes before its end, and nothing else that could
// win. The 3-byte chain of b, b, b holds each run's positions together, so
// after the nearest one the walk jumps to the start of the run.
Match runMatch(const TripleChains& c, const WindowView& w, int pos, int lowest, int maxlen, int run)
{
    const unsigned char* cur = w.At(pos);
    const unsigned char b = cur[0];
    Match best;
    auto take = [&](int q, int len) {
        if (len >= best.Length) {
            best.Length = len;
            best.From = q;
        }
        return best.Length >= LongMatch;
    };
    const unsigned char after[3] = {b, b, cur[run]};
    for (int t = c.Last[hash3(after)]; t >= lowest + run - 2; t = c.Prev[t & RingMask]) {
        const int q = t + 2 - run;
        const int len = matchLength(w.At(q), cur, maxlen);
        if (len > run && take(q, len))
            break;
    }
    if (best.Length > 0)
        return best;
    // Arriving at a run from nearer positions, the walk meets its last
    // position with the prefix b, b, b first: three bytes before its end.
    for (int q = c.Last[hash3(cur)]; q >= lowest;) {
        const unsigned char* cand = w.At(q);
        if (cand[0] != b || cand[1] != b || cand[2] != b) { // another prefix, same hash
            q = c.Prev[q & RingMask];
            continue;
        }
        const int start = runStart(w, q, lowest, b);
        if (q == pos - 1) {
            // The run just before this one: from each of its positions, the
            // run of b is longer than `run`.
            take(start, run);
        } else {
            const int end = q + 3;
            if (end - start >= run) {
                take(end - run, matchLength(w.At(end - run), cur, maxlen));
                if (end - start > run)
                    take(start, run);
            } else {
                take(start, end - start);
            }
        }
        if (start <= lowest)
            break;
        q = c.Prev[start & RingMask];
    }
    return best;
}

} // namespace

struct TLunderEncode::Matcher {
    TripleChains Triples; // by hash: may hold other prefixes
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
    FWindow = new (std::nothrow) unsigned char[WindowBytes](); // read 8 bytes at a time
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
            const WindowView w{base, FWindowBase};
            int run = 0;
            if (cur[0] == cur[1] && cur[1] == cur[2]) {
                const int most = std::min(maxlen, LongMatch);
                run = 1 + matchLength(cur + 1, cur, most - 1);
                if (run >= most) // to the end of what may match: the plain walk
                    run = 0;
            }
            Match found = run > 0 ? runMatch(m.Triples, w, pos, lowest, maxlen, run)
                                  : chainMatch(m.Triples, w, pos, lowest, maxlen);
            best = found.Length;
            dist = pos - found.From;
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
