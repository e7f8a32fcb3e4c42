#include "kanji/sjis_search.h"

#include "kanji/sjis_bytes.h"

#include <cstring>

namespace {

std::string::size_type untilNul(const std::string& s)
{
    std::string::size_type n = s.find('\0');
    return n == std::string::npos ? s.size() : n;
}

} // namespace

std::string::size_type SjisFind(const std::string& Text, const std::string& Sub, std::string::size_type From)
{
    const std::string::size_type n = untilNul(Text);
    const std::string::size_type m = untilNul(Sub);
    if (m == 0)
        return std::string::npos;
    std::string::size_type i = 0;
    while (i + m <= n) {
        if (i >= From && std::memcmp(Text.data() + i, Sub.data(), m) == 0)
            return i;
        i += (IsSjisLeadByte(static_cast<unsigned char>(Text[i])) && i + 1 < n) ? 2 : 1;
    }
    return std::string::npos;
}
