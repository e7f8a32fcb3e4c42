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

TEST(IrcLine, PrintsEveryByteOutsidePrintableAsciiInHex)
{
    const TIrcLine line{"n\"\\", "\x1b\x82", "a\r\n"};
    EXPECT_EQ(PrintToString(line), R"({prefix "n\"\\", command "\x1B\x82", params "a\x0D\x0A"})");
}

// ---- Whole lines: tags, prefix, command, parameters.

TIrcMessage Message(AnsiString Tags, AnsiString Prefix, AnsiString Command, std::vector<AnsiString> Params,
                    bool Trailing)
{
    return {std::move(Tags), std::move(Prefix), std::move(Command), std::move(Params), Trailing};
}

TEST(ParseIrcLine, Parts)
{
    const std::pair<AnsiString, TIrcMessage> cases[] = {
        {"@time=2026-12-08T10:00:00.000Z;msgid=x :nick!u@h PRIVMSG #c :hi there",
         Message("time=2026-12-08T10:00:00.000Z;msgid=x", "nick!u@h", "PRIVMSG", {"#c", "hi there"}, true)},
        {"ping :irc.example", Message("", "", "PING", {"irc.example"}, true)},
        {"privmsg   #c    hello  ", Message("", "", "PRIVMSG", {"#c", "hello"}, false)},
        {":n!u@h PRIVMSG #c ::smile  two  blanks ", Message("", "n!u@h", "PRIVMSG", {"#c", ":smile  two  blanks "}, true)},
        {"PRIVMSG a :", Message("", "", "PRIVMSG", {"a", ""}, true)},
        {"PRIVMSG Taro hello", Message("", "", "PRIVMSG", {"Taro", "hello"}, false)},
        {":irc.example 005 Taro CASEMAPPING=ascii CHANTYPES=# :are supported",
         Message("", "irc.example", "005", {"Taro", "CASEMAPPING=ascii", "CHANTYPES=#", "are supported"}, true)},
        {"@a=1;b", Message("a=1;b", "", "", {}, false)},
        {"@a=1  :p   JOIN   #c", Message("a=1", "p", "JOIN", {"#c"}, false)},
        {":prefix-alone", Message("", "prefix-alone", "", {}, false)},
        {"", Message("", "", "", {}, false)},
        {"   ", Message("", "", "", {}, false)},
        // JIS and 8-bit bytes are never touched, in the command neither (only A-Z are upper-cased).
        {":hana!h@h PRIVMSG #\x1b$B$O$C$Q\x1b(B :\x1b$B$3$s$K$A$O\x1b(B",
         Message("", "hana!h@h", "PRIVMSG", {"#\x1b$B$O$C$Q\x1b(B", "\x1b$B$3$s$K$A$O\x1b(B"}, true)},
        {"\x82\x61x \x82\xa0 :\xff\x80", Message("", "", "\x82\x61X", {"\x82\xa0", "\xff\x80"}, true)},
        {"NOTICE #c :\x01" "ACTION waves\x01", Message("", "", "NOTICE", {"#c", "\x01" "ACTION waves\x01"}, true)},
        {"CMD a\0b :c\rd"s, Message("", "", "CMD", {"a\0b"s, "c\rd"}, true)},
    };
    for (const auto& [line, message] : cases)
        EXPECT_EQ(ParseIrcLine(line), message) << "line " << PrintToString(line);
}

TEST(ParseIrcLine, PartsAndLookUps)
{
    const TIrcMessage m = ParseIrcLine("@msgid=x;time=t1;bot;a\\sb=c\\:d :nick!u@h PRIVMSG #c :hi");
    EXPECT_EQ(m.Tag("msgid"), "x");
    EXPECT_EQ(m.Tag("time"), "t1");
    EXPECT_EQ(m.Tag("bot"), "");       // valueless
    EXPECT_EQ(m.Tag("missing"), "");
    EXPECT_EQ(m.Tag("msg"), "");       // a prefix of another key is no key
    EXPECT_EQ(m.Tag("msgidx"), "");
    EXPECT_EQ(m.Tag("a\\sb"), "c\\:d"); // escapes as received
    EXPECT_EQ(ParseIrcLine("@a=1;ab=2 X").Tag("ab"), "2");
    EXPECT_EQ(ParseIrcLine("@ab=2;a=1 X").Tag("a"), "1");
    EXPECT_EQ(ParseIrcLine(":p X").Tag("p"), "");

    EXPECT_EQ(m.Nick(), "nick");
    EXPECT_TRUE(m.FromUser());
    EXPECT_EQ(m.Param(1), "hi");
    EXPECT_EQ(m.Param(2), "");
    const TIrcMessage server = ParseIrcLine(":irc.example NOTICE * :hello");
    EXPECT_EQ(server.Nick(), "irc.example");
    EXPECT_FALSE(server.FromUser());
}

TEST(ComposeIrcLine, WritesLinesThatParseBackEqual)
{
    const std::pair<AnsiString, AnsiString> cases[] = {
        // line in, line composed from its parts
        {"@time=t;msgid=x :nick!u@h PRIVMSG #c :hi there", "@time=t;msgid=x :nick!u@h PRIVMSG #c :hi there"},
        {"privmsg   #c    hello", "PRIVMSG #c hello"},
        {"PRIVMSG Taro hello", "PRIVMSG Taro hello"},
        {"PRIVMSG Taro :hello", "PRIVMSG Taro :hello"}, // a trailing parameter stays one
        {"PRIVMSG a :", "PRIVMSG a :"},
        {"PRIVMSG #c ::x", "PRIVMSG #c ::x"},
        {":p 353 Taro = #c :@a +b c", ":p 353 Taro = #c :@a +b c"},
        {"@a=1;b", "@a=1;b "},
        {":prefix-alone", ":prefix-alone "},
        {"", ""},
        {":hana!h@h PRIVMSG #c :\x1b$B$3$s\x1b(B \xff", ":hana!h@h PRIVMSG #c :\x1b$B$3$s\x1b(B \xff"},
    };
    for (const auto& [line, composed] : cases) {
        const TIrcMessage m = ParseIrcLine(line);
        EXPECT_EQ(ComposeIrcLine(m), composed) << "line " << PrintToString(line);
        EXPECT_EQ(ParseIrcLine(ComposeIrcLine(m)), m) << "line " << PrintToString(line);
    }
    // Odd lines whose command starts as tags or a prefix would.
    for (const AnsiString line : {" @a b", ": :x y", "@t : :x", ":p :x", "@t @x"}) {
        const TIrcMessage m = ParseIrcLine(line);
        EXPECT_EQ(ParseIrcLine(ComposeIrcLine(m)), m)
            << "line " << PrintToString(line) << " composed " << PrintToString(ComposeIrcLine(m));
    }
    // A message built in code: a last parameter with a blank, a leading ":"
    // or nothing in it needs the ":", whatever Trailing says.
    EXPECT_EQ(ComposeIrcLine(Message("", "", "PRIVMSG", {"#c", "a b"}, false)), "PRIVMSG #c :a b");
    EXPECT_EQ(ComposeIrcLine(Message("", "", "PRIVMSG", {"#c", ":a"}, false)), "PRIVMSG #c ::a");
    EXPECT_EQ(ComposeIrcLine(Message("", "", "PRIVMSG", {"#c", ""}, false)), "PRIVMSG #c :");
}

TEST(FoldName, ByCaseMapping)
{
    EXPECT_EQ(CaseMappingNamed("ascii"), TCaseMapping::Ascii);
    EXPECT_EQ(CaseMappingNamed("ASCII"), TCaseMapping::Ascii);
    EXPECT_EQ(CaseMappingNamed("strict-rfc1459"), TCaseMapping::StrictRfc1459);
    EXPECT_EQ(CaseMappingNamed("rfc1459"), TCaseMapping::Rfc1459);
    EXPECT_EQ(CaseMappingNamed("rfc7613"), TCaseMapping::Rfc1459);
    EXPECT_EQ(CaseMappingNamed(""), TCaseMapping::Rfc1459);

    struct Case {
        AnsiString A, B;
        bool Rfc1459, Strict, Ascii; // whether A and B are one name under each mapping
    };
    const Case cases[] = {
        {"#Leaf", "#leaf", true, true, true},
        {"Taro[]\\", "taro{}|", true, true, false},
        {"a^", "A~", true, false, false},
        {"a^", "a^", true, true, true},
        {"#a[b]", "#A{B}", true, true, false},
        {"@`", "@`", true, true, true},
        {"\xC0", "\xE0", false, false, false}, // bytes above 0x7F are never folded (Latin-1 case)
        {"a", "ab", false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FoldName(c.A, TCaseMapping::Rfc1459) == FoldName(c.B, TCaseMapping::Rfc1459), c.Rfc1459)
            << PrintToString(c.A) << " vs " << PrintToString(c.B) << " in rfc1459";
        EXPECT_EQ(FoldName(c.A, TCaseMapping::StrictRfc1459) == FoldName(c.B, TCaseMapping::StrictRfc1459), c.Strict)
            << PrintToString(c.A) << " vs " << PrintToString(c.B) << " in strict-rfc1459";
        EXPECT_EQ(FoldName(c.A, TCaseMapping::Ascii) == FoldName(c.B, TCaseMapping::Ascii), c.Ascii)
            << PrintToString(c.A) << " vs " << PrintToString(c.B) << " in ascii";
    }
    EXPECT_EQ(FoldName("\x82\xa0" "AZ", TCaseMapping::Ascii), "\x82\xa0" "az");
}

TEST(IsChannelName, ByTheServersChannelTypes)
{
    for (const char* channel : {"#c", "&c", "+c", "!c", "#"})
        EXPECT_TRUE(IsChannelName(channel)) << channel;
    for (const char* other : {"Taro", "", "c#", "@c"})
        EXPECT_FALSE(IsChannelName(other)) << other;
    EXPECT_TRUE(IsChannelName("#c", "#"));
    EXPECT_FALSE(IsChannelName("&c", "#"));
}

TEST(IrcMessage, PrintsEveryByteOutsidePrintableAsciiInHex)
{
    EXPECT_EQ(PrintToString(Message("t", "p", "X", {"a\x1b", "b c"}, true)),
              R"({tags "t", prefix "p", command "X", params ["a\x1B" "b c" ], trailing 1})");
}

} // namespace
