// A private working folder for pack tests: the test runs inside it (the pack
// makes its temporary files in the current directory) and it is removed after.
#pragma once

#include "support/Zypack.h"
#include "support_code/recording_sink.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class PackFolder : public testing::Test {
public:
    void SetUp() override
    {
        previous_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path()
            / ("zypack_" + std::to_string(::getpid()) + "_" + testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override
    {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }

    static void Write(const std::string& name, const Bytes& b)
    {
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    static void Write(const std::string& name, const std::string& s) { Write(name, Bytes(s.begin(), s.end())); }
    static Bytes Read(const std::string& name)
    {
        std::ifstream in(name, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static std::int32_t Int32(const Bytes& b, size_t at)
    {
        return static_cast<std::int32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24);
    }
    static void PutInt32(Bytes& b, size_t at, std::int32_t v)
    {
        for (int i = 0; i < 4; ++i)
            b[at + static_cast<size_t>(i)] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i));
    }
    static unsigned short CrcOf(const Bytes& b, size_t from, size_t n)
    {
        TCrcCheck crc;
        return crc.Crc(b.data() + from, static_cast<int>(n));
    }
    static Bytes Text(size_t n)
    {
        std::string s;
        for (int i = 0; s.size() < n; ++i)
            s += "entry " + std::to_string(i % 50) + " of the pack, stored compressed when smaller\r\n";
        s.resize(n);
        return Bytes(s.begin(), s.end());
    }
    static Bytes Noise(size_t n, unsigned seed)
    {
        Bytes b(n);
        for (auto& c : b) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<std::uint8_t>(seed >> 16);
        }
        return b;
    }
    // A writable pack in "p.pak" with the given disk files added.
    static void MakePack(TZyPack& pack, const std::vector<std::pair<std::string, bool>>& files)
    {
        pack.SetReadOnly(false);
        ASSERT_TRUE(pack.NewPack("p.pak"));
        for (const auto& [name, comp] : files)
            ASSERT_TRUE(pack.AddFile(name.c_str(), name.c_str(), comp)) << name;
    }

    std::filesystem::path previous_, dir_;
};
