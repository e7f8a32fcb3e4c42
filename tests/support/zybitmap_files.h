// Writes BMP and palette files byte by byte for the loader and surface
// tests, and prints byte buffers readably when an assertion fails.
#pragma once

#include "support_code/hex.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

inline void PutLe16(Bytes& b, unsigned v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void PutLe32(Bytes& b, std::uint32_t v)
{
    PutLe16(b, v & 0xFFFF);
    PutLe16(b, v >> 16);
}

// A bitmap as a test describes it: rows of pixel bytes as they stand in the
// file (bottom row first for a positive height), without padding.
struct TestBmp {
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    unsigned BitCount = 8;
    std::uint32_t ClrUsed = 0;
    std::uint32_t Compression = 0;
    std::uint32_t HeaderSize = 40;
    std::vector<std::uint8_t> Table;          // 4 bytes per entry: blue, green, red, reserved
    std::vector<std::vector<std::uint8_t>> Rows; // file order
    std::uint8_t PadByte = 0xEE;               // so that padding read as pixels shows
};

// The file: 14-byte file header, info header, colour table, padded rows.
inline Bytes BmpBytes(const TestBmp& t)
{
    Bytes info;
    PutLe32(info, t.HeaderSize);
    PutLe32(info, static_cast<std::uint32_t>(t.Width));
    PutLe32(info, static_cast<std::uint32_t>(t.Height));
    PutLe16(info, 1);
    PutLe16(info, t.BitCount);
    PutLe32(info, t.Compression);
    for (int i = 0; i < 3; ++i)
        PutLe32(info, 0); // image size, resolutions
    PutLe32(info, t.ClrUsed);
    PutLe32(info, 0);
    info.resize(t.HeaderSize < 16 ? 16 : t.HeaderSize, 0);
    Bytes body = info;
    body.insert(body.end(), t.Table.begin(), t.Table.end());
    for (const auto& row : t.Rows) {
        body.insert(body.end(), row.begin(), row.end());
        while ((body.size() - info.size() - t.Table.size()) % 4)
            body.push_back(t.PadByte);
    }
    Bytes file = {'B', 'M'};
    PutLe32(file, static_cast<std::uint32_t>(14 + body.size()));
    PutLe32(file, 0);
    PutLe32(file, static_cast<std::uint32_t>(14 + info.size() + t.Table.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// A colour table of n entries, entry i = {blue i, green 2i, red 3i, reserved 0xCC}.
inline std::vector<std::uint8_t> NumberedTable(int n)
{
    std::vector<std::uint8_t> t;
    for (int i = 0; i < n; ++i) {
        t.push_back(static_cast<std::uint8_t>(i));
        t.push_back(static_cast<std::uint8_t>(2 * i));
        t.push_back(static_cast<std::uint8_t>(3 * i));
        t.push_back(0xCC);
    }
    return t;
}

// An 8-bit picture w x h, full 256-entry table, file row r holding the bytes
// 16r + x + 1.
inline TestBmp Numbered8(int w, int h, int tableEntries = 256, std::uint32_t clrUsed = 0)
{
    TestBmp t;
    t.Width = w;
    t.Height = h;
    t.ClrUsed = clrUsed;
    t.Table = NumberedTable(tableEntries);
    for (int r = 0; r < h; ++r) {
        std::vector<std::uint8_t> row;
        for (int x = 0; x < w; ++x)
            row.push_back(static_cast<std::uint8_t>(16 * r + x + 1));
        t.Rows.push_back(row);
    }
    return t;
}

// A 24-bit picture w x h, file row r pixel x = {blue 16r + x, green 100 + x, red 200 + r}.
inline TestBmp Numbered24(int w, int h)
{
    TestBmp t;
    t.Width = w;
    t.Height = h;
    t.BitCount = 24;
    for (int r = 0; r < h; ++r) {
        std::vector<std::uint8_t> row;
        for (int x = 0; x < w; ++x) {
            row.push_back(static_cast<std::uint8_t>(16 * r + x));
            row.push_back(static_cast<std::uint8_t>(100 + x));
            row.push_back(static_cast<std::uint8_t>(200 + r));
        }
        t.Rows.push_back(row);
    }
    return t;
}

// A file in the test's own temporary folder, removed with the object.
class TempFile {
public:
    TempFile(const std::string& Name, const Bytes& Content)
        : FPath(std::filesystem::temp_directory_path() / ("nimbo_zy_" + std::to_string(::getpid()) + "_" + Name))
    {
        std::ofstream(FPath, std::ios::binary).write(reinterpret_cast<const char*>(Content.data()),
                                                     static_cast<std::streamsize>(Content.size()));
    }
    ~TempFile() { std::filesystem::remove(FPath); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string Path() const { return FPath.string(); }

private:
    std::filesystem::path FPath;
};

