// The IRC line grammar, table-driven. Byte strings in failures show every
// byte outside printable ASCII as \xNN.
#include "relay/irc_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::string_literals;
using testing::PrintToString;

TEST(TakeLine, CutsAtLfLessOneCrAndLeavesTheUnfinishedRest)
{
    struct Case {
        AnsiString Buffer;
        std::vector<AnsiString> Lines;
        AnsiString Rest;
    };
    const Case cases[] = {
        {"", {}, ""},
        {"no line end", {}, "no line end"},
        {"\r\n\n", {"", ""}, ""},
        {"a\r\nb\nc", {"a", "b"}, "c"},
        {"a\r\r\n", {"a\r"}, ""},           // only the CR just before the LF goes
        {"a\rb\n\r", {"a\rb"}, "\r"},       // a lone CR ends no line
        {"a\0b\n\0"s, {"a\0b"s}, "\0"s},    // NUL is an ordinary byte
        {"\x82\xa0\r\n\x1b$B\n", {"\x82\xa0", "\x1b$B"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<AnsiString> lines;
        AnsiString line = "untouched";
        size_t start = 0;
        while (TakeLine(c.Buffer, start, line))
            lines.push_back(line);
        EXPECT_EQ(lines, c.Lines) << "buffer " << PrintToString(c.Buffer);
        EXPECT_EQ(c.Buffer.substr(start), c.Rest) << "buffer " << PrintToString(c.Buffer);
        EXPECT_EQ(line, lines.empty() ? "untouched" : lines.back()) << "a failed take changed the line";
    }
    size_t past = 9;
    AnsiString line;
    EXPECT_FALSE(TakeLine("a\n", past, line));
    EXPECT_EQ(past, 9u);
}

TEST(SplitServerLine, Parts)
{
    const std::pair<AnsiString, TIrcLine> cases[] = {
        {"", {"", "", ""}},
        {"ping :irc.example", {"", "PING", ":irc.example"}},
        {":nick!u@h PRIVMSG #c :hi there", {"nick!u@h", "PRIVMSG", "#c :hi there"}},
        {":prefix-alone", {"prefix-alone", "", ""}},
        {":prefix ", {"prefix", "", ""}},
        {"QUIT", {"", "QUIT", ""}},
        {"CMD  two blanks ", {"", "CMD", " two blanks "}},
        {" leading", {"", "", "leading"}},
        {"\x82\x61x y", {"", "\x82\x61X", "y"}}, // the 0x61 ("a") of a double-byte character stays
    };
    for (const auto& [text, parts] : cases)
        EXPECT_EQ(SplitServerLine(text), parts) << "line " << PrintToString(text);
}

TEST(MessageText, OfPrivmsgParameters)
{
    const std::pair<AnsiString, AnsiString> cases[] = {
        {"#c :hello world", "hello world"}, {"#c hello", "hello"}, {"#c ::colon", ":colon"},
        {":all text", "all text"},          {"target", "target"},  {"", ""},
    };
    for (const auto& [params, text] : cases)
        EXPECT_EQ(MessageText(params), text) << "params " << PrintToString(params);
}

TEST(SameNick, AsciiLettersWithoutCaseAndNothingElse)
{
    EXPECT_TRUE(SameNick("Taro", "tARO"));
    EXPECT_TRUE(SameNick("[taro]", "[TARO]"));
    EXPECT_FALSE(SameNick("Taro", "Taro_"));
    EXPECT_FALSE(SameNick("Taro", "Tar"));
    // The trail byte of a double-byte character is no letter: 0x83 0x61 is ヂ, 0x83 0x41 is ア.
    EXPECT_FALSE(SameNick("\x83\x61", "\x83\x41"));
}

TEST(IrcLine, PrintsEveryByteOutsidePrintableAsciiInHex)
{
    const TIrcLine line{"n\"\\", "\x1b\x82", "a\r\n"};
    EXPECT_EQ(PrintToString(line), R"({prefix "n\"\\", command "\x1B\x82", params "a\x0D\x0A"})");
}

} // namespace
