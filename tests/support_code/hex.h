// Bytes as upper-case hex pairs between single blanks ("0D 0A"): failures
// of byte-exact comparisons then show which byte differs, control bytes
// and Shift_JIS included.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

inline std::string Hex(std::string_view bytes)
{
    std::string out;
    char pair[3];
    for (unsigned char b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        out += (out.empty() ? "" : " ") + std::string(pair);
    }
    return out;
}

inline std::string Hex(const std::uint8_t* bytes, std::size_t size)
{
    return Hex(std::string_view(reinterpret_cast<const char*>(bytes), size));
}

inline std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    return Hex(bytes.data(), bytes.size());
}
