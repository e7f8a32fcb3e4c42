// The plain Lunder encoder: for every item it compares all candidates up to
// 1535 bytes back, nearest first, one byte at a time. It is slow and
// obviously right, so the fast encoder's output is held against it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace lunder_reference {

inline std::vector<std::uint8_t> Encode(const std::uint8_t* data, int size)
{
    std::vector<std::uint8_t> out;
    size_t flagPlace = 0;
    std::uint32_t flag = 0, mask = 0x80000000u;
    int items = 0;
    auto openGroup = [&] {
        flagPlace = out.size();
        out.insert(out.end(), 4, 0);
        flag = 0;
        mask = 0x80000000u;
        items = 0;
    };
    openGroup();
    for (int pos = 0; pos < size;) {
        int maxlen = std::min(8192, size - pos);
        int best = 0, dist = 0;
        for (int d = 1; d <= 1535 && d <= pos; ++d) {
            int len = 0;
            while (len < maxlen && data[pos - d + len] == data[pos + len])
                ++len;
            if (len >= best) {
                best = len;
                dist = d;
            }
            if (best >= 256)
                break;
        }
        int cost = 1 + (best >= 256 ? 2 : 0) + (best >= 15 && best <= 255 ? 1 : 0) + (dist >= 11 ? 1 : 0);
        if (best >= 1 && cost <= best) {
            flag |= mask;
            int lc = best <= 14 ? best - 1 : best <= 255 ? 14 : 15;
            int dc = dist <= 10 ? dist - 1 : 10 + dist / 256;
            out.push_back(static_cast<std::uint8_t>(lc * 16 + dc));
            if (lc == 14)
                out.push_back(static_cast<std::uint8_t>(best));
            if (lc == 15) {
                out.push_back(static_cast<std::uint8_t>(best & 0xFF));
                out.push_back(static_cast<std::uint8_t>(best >> 8));
            }
            if (dc >= 10)
                out.push_back(static_cast<std::uint8_t>(dist & 0xFF));
            pos += best;
        } else {
            out.push_back(data[pos]);
            pos += 1;
        }
        ++items;
        mask >>= 1;
        if (pos >= size || items == 32) {
            for (int i = 0; i < 4; ++i)
                out[flagPlace + static_cast<size_t>(i)] = static_cast<std::uint8_t>(flag >> (8 * i));
            if (pos < size)
                openGroup();
        }
    }
    return out;
}

} // namespace lunder_reference
