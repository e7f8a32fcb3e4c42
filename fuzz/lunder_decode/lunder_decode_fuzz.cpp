// Fuzz target for the Lunder codec.
//
// First byte even: the rest is a compressed stream. The next three bytes give
// the uncompressed length (up to 16 MiB), the one after them how many of the
// stream's bytes the decoder is told about; the decoder must stay inside its
// buffers and never report more than the stated length. A length above what
// that many stream bytes can decode to must be refused at Open; the input is
// then decoded again with the length brought inside the bound.
// First byte odd: the rest is plain data. It must encode exactly as the plain
// scan does and decode back to itself.
#include "../../tests/support/lunder_drive.h"
#include "../../tests/support/lunder_reference.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void decodeAnything(const std::uint8_t* data, size_t size)
{
    if (size < 5)
        return;
    int length = data[1] | data[2] << 8 | data[3] << 16;
    int stated = data[4];
    const std::uint8_t* stream = data + 5;
    int available = static_cast<int>(size - 5);
    // stated 0-127: all bytes; above: some fewer than there are.
    int compsize = stated < 128 ? available : available * (stated - 128) / 128;
    const std::int64_t bound = TLunderDecode::MaxSize(compsize);
    if (length > bound) {
        TLunderDecode dec;
        if (dec.Open(length, compsize))
            std::abort();
        length = static_cast<int>(length % (bound + 1));
    }
    lunder_drive::Decoded out = lunder_drive::Decode(stream, compsize, length);
    if (static_cast<int>(out.Bytes.size()) > length)
        std::abort();
    if (!out.Broken && static_cast<int>(out.Bytes.size()) != length)
        std::abort();
}

void roundTrip(const std::uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    // Stretch short inputs so runs cross the block boundaries now and then.
    std::vector<std::uint8_t> plain(data + 1, data + size);
    if (data[0] & 2)
        while (plain.size() < 40000)
            plain.insert(plain.end(), data + 1, data + size);
    int n = static_cast<int>(plain.size());
    std::vector<std::uint8_t> packed = lunder_drive::Encode(plain.data(), n);
    if (packed.empty())
        std::abort();
    if (n <= 3000 && packed != lunder_reference::Encode(plain.data(), n))
        std::abort();
    lunder_drive::Decoded back = lunder_drive::Decode(packed.data(), static_cast<int>(packed.size()), n);
    if (back.Broken || back.Bytes != plain)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] & 1)
        roundTrip(data, size);
    else
        decodeAnything(data, size);
    return 0;
}
