// TLunderDecode: restores a Lunder stream block by block.
//
// Every length and distance is checked against the window and the stated
// uncompressed length before a byte is copied. Items are read without a
// bounds test per byte: the input buffer has room for one item and a flag
// word past its last valid byte, and a read that went past the valid bytes
// is caught after the item, which then counts as a fault.
#include "support/Zypack.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr int WindowBytes = LunderHistory + 2 * LunderBlockSize; // 34304
constexpr int Carry = 256;           // at least this much input before an item
constexpr int InputBytes = LunderBlockSize + Carry; // 16640
constexpr int ItemSlack = 8;         // flag word + the longest copy item
constexpr int CopySlack = 8;         // copies run in 8-byte steps

// Appends `length` bytes copied from `distance` bytes back, in order, so a
// distance below the length repeats the last `distance` bytes. May write up
// to CopySlack - 1 bytes past the copy.
unsigned char* copyBack(unsigned char* out, int distance, int length)
{
    const unsigned char* src = out - distance;
    if (distance >= 8) {
        for (int i = 0; i < length; i += 8)
            std::memcpy(out + i, src + i, 8);
    } else if (distance == 1) {
        std::memset(out, *src, static_cast<size_t>(length));
    } else {
        for (int i = 0; i < length; ++i)
            out[i] = src[i];
    }
    return out + length;
}

} // namespace

TLunderDecode::TLunderDecode() = default;

TLunderDecode::~TLunderDecode()
{
    if (Opened)
        Close();
}

std::int64_t TLunderDecode::MaxSize(int compsize)
{
    return std::int64_t{std::max(compsize, 0)} * LunderMaxLength / 3;
}

unsigned char* TLunderDecode::Open(int size, int compsize)
{
    if (Opened)
        Close();
    if (size < 0 || compsize < 0 || size > MaxSize(compsize))
        return nullptr;
    FInput = new (std::nothrow) unsigned char[InputBytes + ItemSlack]();
    FWindow = new (std::nothrow) unsigned char[WindowBytes + CopySlack]();
    if (!FInput || !FWindow) {
        Opened = true;
        Close();
        return nullptr;
    }
    FSize = size;
    FCompSize = compsize;
    FInPos = FOutPos = FInBase = FReceived = FOutBase = 0;
    FInPtr = FInput;
    FOutPtr = FWindow + LunderHistory;
    FFlag = 0;
    FMask = 0;
    FItems = 0;
    NeedData = true;
    Broken = false;
    Finished = false;
    Opened = true;
    return FOutPtr;
}

bool TLunderDecode::Close()
{
    if (Opened) {
        delete[] FInput;
        delete[] FWindow;
        FInput = FWindow = nullptr;
        FInPtr = nullptr;
        FOutPtr = nullptr;
        Opened = false;
    }
    return true;
}

int TLunderDecode::Decode(const unsigned char* block)
{
    if (!Opened || Finished)
        return 0;
    if (NeedData)
        takeBlock(block);
    if (FOutPos - FOutBase >= LunderHistory) {
        std::memmove(FWindow, FOutPtr - LunderHistory, LunderHistory);
        FOutBase = FOutPos;
        FOutPtr = FWindow + LunderHistory;
    }
    if (FOutPos >= FSize)
        Finished = true;
    else
        decodeItems();
    int ready = FOutPos - FOutBase;
    return ready < LunderHistory && !Finished ? 0 : ready;
}

void TLunderDecode::takeBlock(const unsigned char* block)
{
    int left = FReceived - FInPos; // below Carry
    std::memmove(FInput, FInPtr, static_cast<size_t>(left));
    FInBase = FInPos;
    FInPtr = FInput;
    if (FCompSize > FReceived) {
        int n = std::min(LunderBlockSize, FCompSize - FReceived);
        std::memcpy(FInput + left, block, static_cast<size_t>(n));
        FReceived += n;
    }
    NeedData = false;
}

void TLunderDecode::fail()
{
    Broken = true;
    Finished = true;
}

void TLunderDecode::decodeItems()
{
    const unsigned char* in = FInPtr;
    const unsigned char* const inEnd = FInput + (FReceived - FInBase);
    unsigned char* out = FOutPtr;
    std::uint32_t flag = FFlag, mask = FMask;
    int items = FItems;
    int outPos = FOutPos;
    for (;;) {
        if (items == 0) {
            flag = std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
            mask = 0x80000000u;
            in += 4;
        }
        if (flag & mask) {
            unsigned code = *in++;
            int length = static_cast<int>(code >> 4) + 1;
            if (length == 15) {
                length = *in++;
            } else if (length == 16) {
                length = in[0] | in[1] << 8;
                in += 2;
            }
            int distance = static_cast<int>(code & 15) + 1;
            if (distance > 10)
                distance = (distance - 11) * 256 + *in++;
            if (in > inEnd || distance == 0 || distance > outPos || length > LunderMaxLength
                || length > FSize - outPos) {
                fail();
                break;
            }
            out = copyBack(out, distance, length);
            outPos += length;
        } else {
            if (in >= inEnd) {
                fail();
                break;
            }
            *out++ = *in++;
            ++outPos;
        }
        items = (items + 1) & 31;
        mask >>= 1;
        if (outPos >= FSize) {
            Finished = true;
            break;
        }
        if (inEnd - in < Carry && FCompSize > FReceived) {
            NeedData = true;
            break;
        }
        if (outPos - FOutBase > LunderBlockSize)
            break;
    }
    FInPtr = in;
    FInPos = FInBase + static_cast<int>(in - FInput);
    FOutPtr = out;
    FOutPos = outPos;
    FFlag = flag;
    FMask = mask;
    FItems = items;
}
