// Long JIS lines made into lines the server accepts: a table of chat lines
// (written in UTF-8, converted as a UTF-8 client's are), each checked for
// what every line sent must be, failures in hex.
#include "kanji/jis_utf8.h"
#include "relay/line_fit.h"
#include "support_code/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const size_t Room = LineRoom(""); // 410: the prefix is not known yet

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string Jis(const std::string& utf8)
{
    std::string jis;
    int replaced = 0;
    return Utf8ToJis(jis, utf8, replaced);
}

std::string Utf8(const std::string& jis)
{
    std::string utf8;
    int replaced = 0;
    return JapaneseToUtf8(utf8, jis, replaced);
}

// A mixed line of 428 bytes of UTF-8, as a client that keeps its lines
// within 512 bytes sends it; 606 bytes in JIS.
std::string MixedText()
{
    return Repeat("今日はGitHubのPRをreviewして、", 10) + "今日はGitHubのPRをreview…!";
}

struct Case {
    const char* name;
    std::string utf8;    // the chat client's line
    std::string text;    // its text, without a CTCP frame
    std::string head;    // what every line sent begins with (after the first line's tags)
    std::string open;    // what frames the text of every line
    std::string close;
    size_t lines;        // how many lines go out
    bool blankEnds;      // every line but the last ends its text in a blank
};

// The text of a sent line, without its tags, head and frame.
std::string TextOf(const std::string& line, const Case& c, size_t tags)
{
    return line.substr(tags + c.head.size() + c.open.size(),
                       line.size() - tags - c.head.size() - c.open.size() - c.close.size());
}

bool EndsInRun(const std::string& line)
{
    size_t in = line.rfind("\x1B$B");
    return in != std::string::npos && (line.rfind("\x1B(B") == std::string::npos || line.rfind("\x1B(B") < in);
}

TEST(FitJisLine, LongMessagesBecomeSeveralWholeLines)
{
    std::string words;
    while (words.size() < 700)
        words += "日本語の words ";
    const std::vector<Case> cases = {
        {"the 428-byte mixed line", "PRIVMSG #leaf :" + MixedText(), MixedText(), "PRIVMSG #leaf :", "", "", 2, false},
        {"a漢 a hundred times", "PRIVMSG #leaf :" + Repeat("a漢", 100), Repeat("a漢", 100), "PRIVMSG #leaf :", "", "", 3,
         false},
        {"NOTICE, its text without a colon", "notice hana " + Repeat("漢", 300), Repeat("漢", 300), "notice hana :", "", "",
         2, false},
        {"a Japanese channel name", "PRIVMSG #日本 :" + Repeat("あ", 250), Repeat("あ", 250),
         "PRIVMSG #" + Jis("日本") + " :", "", "", 2, false},
        {"blanks preferred", "PRIVMSG #leaf :" + words, words, "PRIVMSG #leaf :", "", "", 2, true},
        {"/me split into ACTIONs", "PRIVMSG #leaf :\x01" "ACTION " + Repeat("は走る", 120) + "\x01", Repeat("は走る", 120),
         "PRIVMSG #leaf :", "\x01" "ACTION ", "\x01", 2, false},
        {"tags on the first line", "@+draft/reply=abc;+x=日本 PRIVMSG #leaf :" + Repeat("a漢", 100), Repeat("a漢", 100),
         "PRIVMSG #leaf :", "", "", 3, false},
        {"a line that fits goes unchanged", "PRIVMSG #leaf :" + Repeat("漢", 50), Repeat("漢", 50), "PRIVMSG #leaf :", "", "",
         1, false},
    };
    ASSERT_EQ(MixedText().size() + 15, 428u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string jis = Jis(c.utf8.substr(TagsEnd(c.utf8)));
        const std::string tags = c.utf8.substr(0, TagsEnd(c.utf8));
        const TFittedLine fitted = FitJisLine(tags + jis, Room);
        ASSERT_EQ(fitted.Lines.size(), c.lines);
        EXPECT_EQ(fitted.Cut, 0);
        if (c.lines == 1) {
            EXPECT_EQ(Hex(fitted.Lines[0]), Hex(tags + jis));
        }
        std::string joined;
        for (size_t k = 0; k < fitted.Lines.size(); ++k) {
            const std::string& line = fitted.Lines[k];
            const size_t ownTags = k == 0 ? tags.size() : 0;
            SCOPED_TRACE(Hex(line));
            if (k == 0) {
                EXPECT_EQ(line.substr(0, ownTags), tags);
            }
            EXPECT_LE(line.size() - ownTags, Room);
            EXPECT_EQ(line.substr(ownTags, c.head.size() + c.open.size()), c.head + c.open);
            EXPECT_TRUE(line.ends_with(c.close));
            EXPECT_FALSE(EndsInRun(line)) << "run left open";
            const std::string text = TextOf(line, c, ownTags);
            if (c.blankEnds && k + 1 < fitted.Lines.size()) {
                EXPECT_TRUE(text.ends_with(" "));
            }
            joined += Utf8(text); // a piece cut inside a character would not decode to its part
        }
        EXPECT_EQ(joined, c.text);
    }
}

TEST(FitJisLine, LinesThatCannotBeSplitAreCutAtAWholeCharacter)
{
    struct CutCase {
        const char* name;
        std::string utf8;
        std::string command;
        std::string kept; // the line sent, in UTF-8
        int cut;
    };
    const std::string many = Repeat("漢", 300);
    // 410 bytes of room: "TOPIC #leaf :" (13) and ESC $ B ... ESC ( B leave 195 kanji.
    const std::vector<CutCase> cases = {
        {"TOPIC", "TOPIC #leaf :" + many, "TOPIC", "TOPIC #leaf :" + Repeat("漢", 195), 105},
        {"QUIT", "QUIT :" + many, "QUIT", "QUIT :" + Repeat("漢", 199), 101},
        {"a CTCP other than ACTION keeps its frame", "PRIVMSG hana :\x01" "DCC " + many + "\x01", "PRIVMSG",
         "PRIVMSG hana :\x01" "DCC " + Repeat("漢", 192) + "\x01", 108},
        {"a target too long for any text", "PRIVMSG " + std::string(405, 'x') + " :" + many, "PRIVMSG",
         "PRIVMSG " + std::string(402, 'x'), 3 + 2 + 300},
    };
    for (const CutCase& c : cases) {
        const TFittedLine fitted = FitJisLine(Jis(c.utf8), Room);
        ASSERT_EQ(fitted.Lines.size(), 1u) << c.name;
        EXPECT_EQ(Hex(fitted.Lines[0]), Hex(Jis(c.kept))) << c.name;
        EXPECT_LE(fitted.Lines[0].size(), Room) << c.name;
        EXPECT_EQ(fitted.Command, c.command) << c.name;
        EXPECT_EQ(fitted.Cut, c.cut) << c.name;
    }
}

TEST(LineRoom, KeepsRoomForThePrefixTheServerAdds)
{
    EXPECT_EQ(LineRoom(""), 512u - 2 - 100);
    EXPECT_EQ(LineRoom("Taro!~taro@127.0.0.1"), 512u - 2 - 22);
}

} // namespace
