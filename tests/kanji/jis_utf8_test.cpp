// UTF-8 <-> JIS line conversion: tables of lines and expected bytes, failures
// in hex, and the whole JIS X 0208 set through both directions.
#include "kanji/jis_utf8.h"
#include "kanji/kanji_convert.h"
#include "support_code/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string In = "\x1B$B";
const std::string Out = "\x1B(B";

struct Case {
    const char* name;
    std::string input;
    std::string expected;
    int replaced;
};

TEST(Utf8ToJis, ClientLines)
{
    const std::vector<Case> cases = {
        {"ASCII unchanged", "PRIVMSG #leaf :hello\x01", "PRIVMSG #leaf :hello\x01", 0},
        {"empty", "", "", 0},
        {"kanji run closed at the end", "PRIVMSG #leaf :日本", "PRIVMSG #leaf :" + In + "\x46\x7C\x4B\x5C" + Out, 0},
        {"run closed before ASCII", "あa", In + "\x24\x22" + Out + "a", 0},
        {"Japanese channel name", "JOIN #日本", "JOIN #" + In + "\x46\x7C\x4B\x5C" + Out, 0},
        {"wave dash, standard form", "〜", In + "\x21\x41" + Out, 0},
        {"wave dash, Windows form", "～", In + "\x21\x41" + Out, 0},
        {"minus, Windows form", "－", In + "\x21\x5D" + Out, 0},
        {"NEC circled one", "①", In + "\x2D\x21" + Out, 0},
        {"half-width katakana full-width", "ｱｲ", In + "\x25\x22\x25\x24" + Out, 0},
        {"half-width voiced mark joined", "ｶﾞ", In + "\x25\x2C" + Out, 0},
        {"half-width semi-voiced mark joined", "ﾊﾟ", In + "\x25\x51" + Out, 0},
        {"vu joined", "ｳﾞ", In + "\x25\x74" + Out, 0},
        {"mark that cannot join stays a mark", "ｱﾞ", In + "\x25\x22\x21\x2B" + Out, 0},
        {"emoji becomes geta", "a😀b", "a" + In + "\x22\x2E" + Out + "b", 1},
        {"Hangul and accented Latin", "한é", In + "\x22\x2E\x22\x2E" + Out, 2},
        {"escape the client wrote stays", "\x1B$B\x24\x22\x1B(B", "\x1B$B\x24\x22\x1B(B", 0},
        {"not UTF-8: Shift_JIS by detection", "\x93\xFA\x96\x7B", In + "\x46\x7C\x4B\x5C", 0},
    };
    for (const Case& c : cases) {
        std::string result = "stale";
        int replaced = -1;
        const std::string& returned = Utf8ToJis(result, c.input, replaced);
        EXPECT_EQ(&returned, &result) << c.name;
        EXPECT_EQ(Hex(result), Hex(c.expected)) << c.name << "\n  input: " << Hex(c.input);
        EXPECT_EQ(replaced, c.replaced) << c.name;
    }
}

TEST(JapaneseToUtf8, ServerLines)
{
    const std::vector<Case> cases = {
        {"JIS chat line", ":hana!h@pc PRIVMSG #leaf :" + In + "\x46\x7C\x4B\x5C" + Out + " ok",
         ":hana!h@pc PRIVMSG #leaf :日本 ok", 0},
        {"old JIS escapes", "\x1B$@\x24\x22\x1B(J!", "あ!", 0},
        {"unclosed run lasts to the end", In + "\x24\x22\x24\x24", "あい", 0},
        {"NEC sign of row 13", In + "\x2D\x21" + Out, "①", 0},
        {"cell no one maps becomes geta", In + "\x29\x21" + Out, "〓", 1},
        {"half-width kana run", "\x1B(I\x31\x32" + Out + "x", "ｱｲx", 0},
        {"lone byte at the end of a run copied", In + "\x24", "\x24", 0},
        {"Shift_JIS line", "\x93\xFA\x96\x7B", "日本", 0},
        {"EUC-JP line", "\xC6\xFC\xCB\xDC\xA4\xCE\xB8\xEC", "日本の語", 0},
        {"unknown escape copied", "\x1B$Zx", "\x1B$Zx", 0},
    };
    for (const Case& c : cases) {
        std::string result;
        int replaced = -1;
        EXPECT_EQ(Hex(JapaneseToUtf8(result, c.input, replaced)), Hex(c.expected)) << c.name << "\n  input: "
                                                                                    << Hex(c.input);
        EXPECT_EQ(replaced, c.replaced) << c.name;
    }
}

TEST(JapaneseToUtf8, Utf8AndAsciiLinesAreTheAnswerThemselves)
{
    for (std::string line : {":srv 001 taro :Welcome", ":hana PRIVMSG #日本 :こんにちは", ""}) {
        std::string result = "untouched";
        int replaced = -1;
        const std::string& got = JapaneseToUtf8(result, line, replaced);
        EXPECT_EQ(&got, &line) << line;
        EXPECT_EQ(result, "untouched");
        EXPECT_EQ(replaced, 0);
    }
}

// Every cell the mapping knows goes to UTF-8 and back to the same JIS pair,
// apart from the duplicates CP932 has (signs in both row 2 and row 13).
TEST(JisUtf8, EveryMappedCellRoundTrips)
{
    int mapped = 0, duplicates = 0;
    for (int row = 0x21; row <= 0x7E; ++row)
        for (int cell = 0x21; cell <= 0x7E; ++cell) {
            std::string jis = In + char(row) + char(cell) + Out;
            std::string utf8, back;
            int replaced = 0;
            JapaneseToUtf8(utf8, jis, replaced);
            if (replaced)
                continue;
            ++mapped;
            Utf8ToJis(back, utf8, replaced);
            ASSERT_EQ(replaced, 0) << Hex(jis);
            duplicates += back != jis;
            bool standardRow = row < 0x2D || (row > 0x2D && row < 0x75);
            if (standardRow) {
                EXPECT_EQ(Hex(back), Hex(jis)) << "via " << Hex(utf8);
            }
        }
    EXPECT_GE(mapped, 6879); // JIS X 0208 holds 6879 characters
    EXPECT_LT(duplicates, 100);
}

TEST(IsUtf8, RejectsWhatIsNotWellFormed)
{
    for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE3\x81", "\xFF"})
        EXPECT_FALSE(IsUtf8(bad)) << Hex(bad);
    for (const char* good : {"", "abc", "\xC2\xA9", "\xE3\x81\x82", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(IsUtf8(good)) << Hex(good);
}

// The check looks at eight bytes at a time: a high bit is found wherever it
// stands, in the words and in the bytes after them.
TEST(IsAscii, FindsAnEightBitByteAtEveryPlace)
{
    for (size_t length = 0; length <= 24; ++length) {
        const std::string ascii(length, 'a');
        EXPECT_TRUE(IsAscii(ascii)) << length;
        for (size_t at = 0; at < length; ++at) {
            std::string text = ascii;
            text[at] = '\x80';
            EXPECT_FALSE(IsAscii(text)) << Hex(text);
        }
    }
}

} // namespace
