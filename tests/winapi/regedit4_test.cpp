// The REGEDIT4 text form on its own: files as editors leave them. The
// write-then-read round trip for any bytes is the settings_reader fuzz
// target's, and the registry test's through the API.
#include "winapi/regedit4.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace {

using Bytes = std::string;
const Bytes Header = "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n";

std::optional<std::pair<DWORD, Bytes>> ValueIn(const hive::Key& root, const char* name)
{
    const hive::Key* k = &root;
    for (const char* part : {"SOFTWARE", "Orvane", "NimboChat"})
        if (!(k = k->FindSub(part)))
            return std::nullopt;
    const hive::Value* v = const_cast<hive::Key*>(k)->FindValue(name);
    return v ? std::optional(std::make_pair(v->Type, v->Data)) : std::nullopt;
}

Bytes Dword(DWORD v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

struct LastLine {
    const char* Text; // the file's last line, without a line end
    std::optional<std::pair<DWORD, Bytes>> Read;
};

TEST(Regedit4, ALastLineWithoutItsLineEndCountsWhenWhole)
{
    const LastLine cases[] = {
        {"\"AutoCheck\"=dword:00000000", std::pair(REG_DWORD, Dword(0))},
        {"\"0\"=\"nimbo\"", std::pair(REG_SZ, Bytes("nimbo"))},
        {"\"0\"=\"nimbo\"  ", std::pair(REG_SZ, Bytes("nimbo"))},
        {"\"0\"=\"a\\\\\"", std::pair(REG_SZ, Bytes("a\\"))}, // an escaped '\' before the quote
        {"\"0\"=\"\x95\x5c\"", std::pair(REG_SZ, Bytes("\x95\x5c"))}, // 表: its 0x5C is no escape
        {"\"0\"=\"nim", std::nullopt},
        {"\"0\"=\"a\\\"", std::nullopt}, // the quote is an escaped one
        {"\"0\"=\"\x95", std::nullopt},
        {"\"AutoCheck\"=dword:0000", std::nullopt},
        {"\"AutoCheck\"=dword:", std::nullopt},
        {"\"B\"=hex:01,02", std::nullopt},
        {"\"B\"=hex:01,\\\n  02", std::nullopt}, // a wrapped list cut on its last line
    };
    for (const LastLine& c : cases) {
        for (const Bytes end : {"", "\r"}) {
            Bytes text = Header + "\"Before\"=\"x\"\n" + c.Text + end;
            auto root = regedit4::Parse(text);
            const char* name = c.Text[1] == 'B' ? "B" : c.Text[1] == '0' ? "0" : "AutoCheck";
            EXPECT_EQ(ValueIn(*root, name), c.Read) << c.Text;
            EXPECT_EQ(ValueIn(*root, "Before"), std::pair(REG_SZ, Bytes("x"))) << c.Text;
        }
    }
    // With its line end a short dword, as a hand editor may write it, reads.
    EXPECT_EQ(ValueIn(*regedit4::Parse(Header + "\"AutoCheck\"=dword:1\n"), "AutoCheck"), std::pair(REG_DWORD, Dword(1)));
}

TEST(Regedit4, AByteOrderMarkBeforeTheFirstLineIsSkipped)
{
    const Bytes file = Header + "\"ClientHost\"=\"irc.example.jp\"\n";
    EXPECT_EQ(ValueIn(*regedit4::Parse("\xEF\xBB\xBF" + file), "ClientHost"),
        std::pair(REG_SZ, Bytes("irc.example.jp")));
    // Only at the very start, and only the whole mark.
    EXPECT_EQ(ValueIn(*regedit4::Parse("\xEF\xBB" + file), "ClientHost"), std::nullopt);
    EXPECT_EQ(ValueIn(*regedit4::Parse("\n\xEF\xBB\xBF" + file), "ClientHost"), std::nullopt);
}

} // namespace
