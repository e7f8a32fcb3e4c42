// Cutting JIS texts into pieces that stand alone: a table of texts and
// rooms with the pieces expected, failures in hex.
#include "kanji/jis_pieces.h"
#include "support_code/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string In = "\x1B$B", Out = "\x1B(B";

std::string HexPieces(const std::vector<std::string>& pieces)
{
    std::string out;
    for (const std::string& p : pieces)
        out += "[" + Hex(p) + "] ";
    return out;
}

struct SplitCase {
    const char* name;
    std::string text;
    size_t room;
    std::vector<std::string> pieces;
};

TEST(SplitJis, PiecesStandAloneAndKeepEveryCharacter)
{
    const std::string a = "\x24\x22", i = "\x24\x24", u = "\x24\x26"; // あ い う
    const std::vector<SplitCase> cases = {
        {"empty", "", 10, {}},
        {"fits", "ab" + In + a + Out, 10, {"ab" + In + a + Out}},
        {"ASCII cut at the room", "abcdef", 4, {"abcd", "ef"}},
        {"run closed and opened again", In + a + i + u + Out, 10, {In + a + i + Out, In + u + Out}},
        {"a pair never split", "a" + In + a + Out, 8, {"a", In + a + Out}},
        {"ESC $ @ and ESC ( J read, written as ESC $ B and ESC ( B", "\x1B$@" + a + "\x1B(Jx", 20, {In + a + Out + "x"}},
        {"another escape kept whole", "ab\x1B(Icd", 4, {"ab", "\x1B(Ic", "d"}},
        {"a run left open is closed", In + a + i, 20, {In + a + i + Out}},
        {"a lone byte at the end of a run", In + a + "x", 20, {In + a + Out + "x"}},
        {"one character even when it does not fit", In + a + Out, 4, {In + a + Out}},
        {"after the last blank", "aaa bbb ccc", 9, {"aaa bbb ", "ccc"}},
        {"ideographic space is a blank", In + a + a + "\x21\x21" + a + Out, 13, {In + a + a + "\x21\x21" + Out, In + a + Out}},
        {"a blank too far back is not taken", "a bcdefghij", 8, {"a bcdefg", "hij"}},
        {"an English word in Japanese stays whole", "abc" + In + a + i + u + Out + "defgh", 17,
         {"abc" + In + a + i + u + Out, "defgh"}},
        {"a later blank wins", In + a + Out + "b cdef", 12, {In + a + Out + "b ", "cdef"}},
        {"a blank at the end of the text changes nothing", "abcd ", 8, {"abcd "}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(HexPieces(SplitJis(c.text, c.room)), HexPieces(c.pieces)) << c.name;
}

struct CutCase {
    const char* name;
    std::string text;
    size_t room;
    std::string head;
    int dropped;
};

TEST(CutJis, KeepsTheLongestHeadThatFitsAndCountsTheRest)
{
    const std::string kan = "\x34\x41", ji = "\x3B\x7A"; // 漢 字
    const std::vector<CutCase> cases = {
        {"fits", "abc", 3, "abc", 0},
        {"ASCII", "abcdef", 4, "abcd", 2},
        {"the run closed", "x" + In + kan + ji + Out + "yz", 10, "x" + In + kan + Out, 3},
        {"no blank preferred", "ab cdef", 5, "ab cd", 2},
        {"not even one character fits", In + kan + Out, 7, "", 1},
        {"room for nothing", "abc", 0, "", 3},
    };
    for (const CutCase& c : cases) {
        int dropped = -1;
        EXPECT_EQ(Hex(CutJis(c.text, c.room, dropped)), Hex(c.head)) << c.name;
        EXPECT_EQ(dropped, c.dropped) << c.name;
    }
}

} // namespace
