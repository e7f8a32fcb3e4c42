// Drives the Lunder codec over whole buffers the way the pack does: blocks
// of 16384 bytes in, finished bytes out after every call.
#pragma once

#include "support/Zypack.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lunder_drive {

// Encodes `size` bytes (at least 1); `calls` gets what every Encode returned.
inline std::vector<std::uint8_t> Encode(const std::uint8_t* data, int size, std::vector<int>* calls = nullptr)
{
    TLunderEncode enc;
    std::vector<std::uint8_t> out;
    unsigned char* buffer = enc.Open(size);
    if (!buffer)
        return out;
    int given = 0;
    while (!enc.Finished) {
        const std::uint8_t* block = data + given;
        given += std::min(LunderBlockSize, size - given);
        int n = enc.Encode(block);
        if (calls)
            calls->push_back(n);
        out.insert(out.end(), buffer, buffer + n);
    }
    if (static_cast<int>(out.size()) != enc.OutComplete)
        out.clear();
    return out;
}

struct Decoded {
    std::vector<std::uint8_t> Bytes;
    std::vector<int> Calls;
    bool Broken = false;
};

// Decodes `compsize` bytes of `stream` into `size` bytes.
inline Decoded Decode(const std::uint8_t* stream, int compsize, int size)
{
    TLunderDecode dec;
    Decoded result;
    unsigned char* out = dec.Open(size, compsize);
    if (!out)
        return result;
    int taken = 0;
    std::vector<std::uint8_t> block(LunderBlockSize);
    while (!dec.Finished) {
        if (dec.NeedData) {
            int n = std::min(LunderBlockSize, compsize - taken);
            std::copy(stream + taken, stream + taken + n, block.begin()); // exactly the bytes given
            taken += n;
        }
        int n = dec.Decode(block.data());
        result.Calls.push_back(n);
        result.Bytes.insert(result.Bytes.end(), out, out + n);
    }
    result.Broken = dec.Broken;
    return result;
}

} // namespace lunder_drive
