// The IRC line grammar: cutting a buffer into lines, splitting a line into
// its parts, and the message text of PRIVMSG parameters. Byte strings in
// failures are printed with every byte outside printable ASCII as \xNN.
#include "relay/irc_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using testing::PrintToString;

// Every line TakeLine gives from the start of Buffer, and where it stopped.
struct Taken {
    std::vector<AnsiString> Lines;
    size_t Start = 0;
};

Taken TakeAll(const AnsiString& Buffer)
{
    Taken taken;
    AnsiString line;
    while (TakeLine(Buffer, taken.Start, line))
        taken.Lines.push_back(line);
    return taken;
}

TEST(TakeLine, CutsAtLfLessOneCrAndLeavesTheUnfinishedRest)
{
    struct Case {
        AnsiString Buffer;
        std::vector<AnsiString> Lines;
        size_t Start; // where the unfinished rest begins
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"", {}, 0},
        {"no line end", {}, 0},
        {"\n", {""}, 1},
        {"\r\n", {""}, 2},
        {"a\r\nb\n", {"a", "b"}, 5},
        {"a\r\r\n", {"a\r"}, 4},            // only the CR just before the LF goes
        {"a\rb\n", {"a\rb"}, 4},             // a lone CR ends no line
        {"a\n\r", {"a"}, 2},                 // a CR waiting for its LF is the rest
        {"one\ntwo", {"one"}, 4},
        {"a\0b\nc\n"s, {"a\0b"s, "c"}, 6},   // NUL is an ordinary byte
        {"\x82\xa0\r\n\x1b$B\n", {"\x82\xa0", "\x1b$B"}, 8},
    };
    for (const Case& c : cases) {
        const Taken taken = TakeAll(c.Buffer);
        EXPECT_EQ(taken.Lines, c.Lines) << "buffer " << PrintToString(c.Buffer);
        EXPECT_EQ(taken.Start, c.Start) << "buffer " << PrintToString(c.Buffer);
    }
}

TEST(TakeLine, WithoutALineEndChangesNeitherStartNorLine)
{
    for (size_t from : {size_t{2}, size_t{3}, size_t{100}}) {
        size_t start = from;
        AnsiString line = "kept";
        EXPECT_FALSE(TakeLine("a\nb", start, line)) << "from " << from;
        EXPECT_EQ(start, from);
        EXPECT_EQ(line, "kept");
    }
}

TEST(SplitServerLine, Parts)
{
    struct Case {
        AnsiString Line;
        TIrcLine Parts;
    };
    const Case cases[] = {
        {"", {"", "", ""}},
        {"PING :irc.example", {"", "PING", ":irc.example"}},
        {"ping x", {"", "PING", "x"}},
        {":nick!u@h PRIVMSG #c :hi there", {"nick!u@h", "PRIVMSG", "#c :hi there"}},
        {":irc.example 001 Taro :Welcome", {"irc.example", "001", "Taro :Welcome"}},
        {":prefix-alone", {"prefix-alone", "", ""}},
        {":prefix ", {"prefix", "", ""}},
        {":", {"", "", ""}},
        {"QUIT", {"", "QUIT", ""}},
        {"CMD  two blanks ", {"", "CMD", " two blanks "}},
        {" leading", {"", "", "leading"}},
        {"a:b c", {"", "A:B", "c"}},
        // Only A-Z change case: the second byte of a double-byte character
        // (here 0x61, "a") is left alone.
        {"\x82\x61x y", {"", "\x82\x61X", "y"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitServerLine(c.Line), c.Parts) << "line " << PrintToString(c.Line);
}

TEST(MessageText, OfPrivmsgParameters)
{
    const std::pair<AnsiString, AnsiString> cases[] = {
        {"#c :hello world", "hello world"},
        {"#c hello", "hello"},
        {"#c ::colon", ":colon"},
        {":all text", "all text"},
        {"target", "target"},
        {"#c \x01VERSION\x01", "\x01VERSION\x01"},
        {"#c :", ""},
        {"", ""},
    };
    for (const auto& [params, text] : cases)
        EXPECT_EQ(MessageText(params), text) << "params " << PrintToString(params);
}

TEST(IrcLine, PrintsEveryByteOutsidePrintableAsciiInHex)
{
    const TIrcLine line{"n\"\\", "\x1b\x82", "a\r\n"};
    EXPECT_EQ(PrintToString(line), R"({prefix "n\"\\", command "\x1B\x82", params "a\x0D\x0A"})");
}

} // namespace
