// The stay session as a unit: server and client lines in, verdicts and lines
// out, at times the test chooses. Lines are JIS bytes without CR LF; a
// failure prints them with every byte outside printable ASCII as \xNN.
#include "relay/stay_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace {

using testing::PrintToString;
using Lines = std::vector<AnsiString>;

Lines operator+(Lines A, const Lines& B)
{
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

// Japan's time, so that the [HH:MM] stamps are the same on every machine.
[[maybe_unused]] const bool InJapan = [] {
    setenv("TZ", "JST-9", 1);
    tzset();
    return true;
}();

constexpr std::int64_t T0 = 1796691600000;  // 2026-12-08 10:00:00 JST
constexpr std::int64_t Minute = 60 * 1000;
const AnsiString Hello = "\x1b$B$3$s$K$A$O\x1b(B"; // こんにちは in JIS

const Lines Welcome = {
    ":irc.example 001 Taro :Welcome to the Internet Relay Network Taro!t@host.example",
    ":irc.example 005 Taro CHANTYPES=#& PREFIX=(ov)@+ :are supported by this server",
    ":irc.example 376 Taro :End of MOTD command",
};

// A session welcomed as Taro, the server having ACKed Caps, in Channels.
void Welcomed(TStaySession& S, const Lines& Channels = {"#leaf"}, const AnsiString& Caps = "")
{
    if (!Caps.empty())
        S.FromServer(":irc.example CAP * ACK :" + Caps, T0);
    for (const AnsiString& line : Welcome)
        S.FromServer(line, T0);
    for (const AnsiString& channel : Channels) {
        S.FromServer(":Taro!t@host.example JOIN :" + channel, T0);
        S.FromServer(":irc.example 332 Taro " + channel + " :Topic of " + channel, T0);
        S.FromServer(":irc.example 353 Taro = " + channel + " :Taro @hana", T0);
        S.FromServer(":irc.example 366 Taro " + channel + " :End of NAMES list", T0);
    }
    S.TakeForClient();
}

// The lines a client gets for one channel it is in.
Lines ChannelLines(const AnsiString& Channel)
{
    return {":Taro!t@host.example JOIN :" + Channel, ":irc.example 332 Taro " + Channel + " :Topic of " + Channel,
            ":irc.example 353 Taro = " + Channel + " :@hana Taro",
            ":irc.example 366 Taro " + Channel + " :End of /NAMES list."};
}

// Sends a client's lines; each must be answered here, nothing upstream.
Lines Register(TStaySession& S, const Lines& ClientLines, std::int64_t Now)
{
    Lines got;
    for (const AnsiString& line : ClientLines) {
        EXPECT_EQ(S.FromClient(line, Now), TStaySession::cvDone) << "client line " << PrintToString(line);
        EXPECT_EQ(S.TakeForServer(Now + 10 * Minute), Lines{}) << "after client line " << PrintToString(line);
        got = got + S.TakeForClient();
    }
    return got;
}

TEST(StaySession, FollowsNickChannelsAndTheServersCaseRules)
{
    TStaySession s;
    Welcomed(s, {});
    EXPECT_EQ(s.Nick(), "Taro");
    EXPECT_EQ(s.Prefix(), "Taro!t@host.example");
    struct Case {
        AnsiString Line, Nick;
        Lines Channels; // after the line
    };
    const Case cases[] = {
        {":Taro!t@host.example JOIN #leaf", "Taro", {"#leaf"}},
        {"@time=2026-12-08T10:00:00.000Z :Taro!t@host.example JOIN :#Other", "Taro", {"#leaf", "#Other"}},
        {":hana!h@h JOIN #third", "Taro", {"#leaf", "#Other"}},
        {":Taro!t@host.example PART #other :bye", "Taro", {"#leaf"}},
        {":Taro!t@host.example JOIN #a[b]", "Taro", {"#leaf", "#a[b]"}},
        {":Taro!t@host.example PART #A{B}", "Taro", {"#leaf"}}, // rfc1459 while the server names none
        {":Taro!t@host.example JOIN #kick", "Taro", {"#leaf", "#kick"}},
        {":hana!h@h KICK #kick hana2 :not you", "Taro", {"#leaf", "#kick"}},
        {"@msgid=1 :hana!h@h KICK #KICK taro :out", "Taro", {"#leaf"}},
        {":Taro!t@host.example NICK :Jiro", "Jiro", {"#leaf"}},
        {":Taro!t@host.example PART #leaf", "Jiro", {"#leaf"}}, // no longer the user
        {":Jiro!t@host.example JOIN #x[y]", "Jiro", {"#leaf", "#x[y]"}},
        {":irc.example 005 Jiro CASEMAPPING=ascii :are supported", "Jiro", {"#leaf", "#x[y]"}},
        {":jiro!t@host.example PART #X{Y}", "Jiro", {"#leaf", "#x[y]"}}, // [ and { are two under ascii
        {":jiro!t@host.example PART #X[Y]", "Jiro", {"#leaf"}},
    };
    for (const Case& c : cases) {
        s.FromServer(c.Line, T0);
        EXPECT_EQ(s.Nick(), c.Nick) << "after " << PrintToString(c.Line);
        EXPECT_EQ(s.ChannelNames(), c.Channels) << "after " << PrintToString(c.Line);
    }
    EXPECT_EQ(s.Prefix(), "jiro!t@host.example");
}

TEST(StaySession, KeepsChatLinesForTheUserWhileDetached)
{
    TStaySession s;
    Welcomed(s);
    EXPECT_EQ(s.FromServer(":hana!h@h PRIVMSG #leaf :live", T0), TStaySession::vPass);
    s.Detach();
    struct Case {
        AnsiString Line;
        AnsiString Conversation; // empty: not kept
    };
    const Case cases[] = {
        {"@time=2026-12-08T10:00:00.000Z :hana!h@h PRIVMSG #leaf :hi", "#leaf"},
        {":hana!h@h NOTICE #Leaf :" + Hello, "#leaf"},
        {":hana!h@h PRIVMSG #leaf :\x01" "ACTION waves\x01", "#leaf"},
        {":hana!h@h PRIVMSG Taro :private", "hana"},
        {":Hana!h@h PRIVMSG taro hello", "hana"},
        {":hana!h@h INVITE Taro :#secret", "hana"},
        {":hana!h@h KICK #leaf Taro :out", "#leaf"},
        {":hana!h@h PRIVMSG Taro :\x01VERSION\x01", ""},
        {":hana!h@h NOTICE Taro :\x01PING 1\x01", ""},
        {":irc.example NOTICE Taro :*** server notice", ""},
        {":irc.example NOTICE #leaf :from the server", ""},
        {":hana!h@h PRIVMSG Jiro :for another", ""},
        {":hana!h@h JOIN #leaf", ""},
        {"PING :irc.example", ""},
    };
    std::int64_t now = T0;
    for (const Case& c : cases) {
        now += 1000;
        const size_t before = s.KeptLines();
        const TStaySession::TVerdict verdict = s.FromServer(c.Line, now);
        if (c.Conversation.empty()) {
            EXPECT_EQ(verdict, TStaySession::vDrop) << "line " << PrintToString(c.Line);
            EXPECT_EQ(s.KeptLines(), before) << "line " << PrintToString(c.Line);
            continue;
        }
        EXPECT_EQ(verdict, TStaySession::vKept) << "line " << PrintToString(c.Line);
        const std::vector<TKeptLine> kept = s.KeptIn(c.Conversation);
        ASSERT_FALSE(kept.empty()) << "line " << PrintToString(c.Line);
        EXPECT_EQ(kept.back(), (TKeptLine{c.Line, now})) << "line " << PrintToString(c.Line);
    }
    // The user's own line from the message line goes into its conversation too.
    s.FromUser("PRIVMSG #leaf :mine", now);
    EXPECT_EQ(s.KeptIn("#leaf").back().Line, ":Taro!t@host.example PRIVMSG #leaf :mine");
}

TEST(StaySession, BoundsEachConversationAndTheWhole)
{
    TStaySession s;
    Welcomed(s, {"#quiet", "#busy"});
    s.Detach();
    std::int64_t now = T0;
    for (int i = 0; i < 5; ++i)
        s.FromServer(":hana!h@h PRIVMSG #quiet :quiet " + std::to_string(i), ++now);
    for (int i = 0; i < 2000; ++i)
        s.FromServer(":hana!h@h PRIVMSG #busy :busy " + std::to_string(i), ++now);
    for (int i = 0; i < 3; ++i)
        s.FromServer(":hana!h@h PRIVMSG Taro :private " + std::to_string(i), ++now);
    EXPECT_EQ(s.KeptIn("#quiet").size(), 5u);
    EXPECT_EQ(s.KeptIn("hana").size(), 3u);
    const std::vector<TKeptLine> busy = s.KeptIn("#busy");
    ASSERT_EQ(busy.size(), 500u);
    EXPECT_EQ(busy.front().Line, ":hana!h@h PRIVMSG #busy :busy 1500");
    EXPECT_EQ(busy.back().Line, ":hana!h@h PRIVMSG #busy :busy 1999");

    // A small total: the largest conversation gives way, oldest first. Every line is 100 bytes.
    const AnsiString big = ":hana!h@h PRIVMSG #big :" + AnsiString(75, 'x');
    TStaySession small({.TotalKeptBytes = 1000});
    Welcomed(small, {"#small", "#big"});
    small.Detach();
    for (int i = 0; i < 3; ++i)
        small.FromServer(":hana!h@h PRIVMSG #small :" + AnsiString(74, 'x'), T0 + i);
    for (int i = 0; i < 20; ++i)
        small.FromServer(big + std::to_string(i % 10), T0 + 10 + i);
    EXPECT_EQ(small.KeptBytes(), 1000u);
    EXPECT_EQ(small.KeptIn("#small").size(), 3u);
    const std::vector<TKeptLine> kept = small.KeptIn("#big");
    ASSERT_EQ(kept.size(), 7u);
    EXPECT_EQ(kept.front().Line, big + "3");
    EXPECT_EQ(kept.back().Line, big + "9");

    // At most MaxConversations: the one whose last line is oldest goes.
    TStaySession few({.MaxConversations = 3});
    Welcomed(few);
    few.Detach();
    const Lines from = {"a", "b", "c", "a", "d"};
    for (size_t i = 0; i < from.size(); ++i)
        few.FromServer(":" + from[i] + "!u@h PRIVMSG Taro :hi", T0 + static_cast<std::int64_t>(i));
    for (const auto& [nick, lines] : {std::pair{"a", 2u}, {"b", 0u}, {"c", 1u}, {"d", 1u}})
        EXPECT_EQ(few.KeptIn(nick).size(), lines) << nick;
}

TEST(StaySession, ConversationsThatBecomeOneUnderAnotherCaseMappingKeepTheBound)
{
    TStaySession s({.LinesPerConversation = 4});
    Welcomed(s, {});
    s.FromServer(":irc.example 005 Taro CASEMAPPING=ascii :are supported", T0);
    s.Detach();
    for (int i = 1; i <= 6; ++i)
        s.FromServer(":hana!h@h PRIVMSG " + AnsiString(i % 2 ? "#a[" : "#a{") + " :" + std::to_string(i), T0 + i);
    s.FromServer(":irc.example 005 Taro CASEMAPPING=rfc1459 :are supported", T0 + 10);
    Lines kept;
    size_t bytes = 0;
    for (const TKeptLine& line : s.KeptIn("#a["))
        kept.push_back(line.Line), bytes += line.Line.size();
    EXPECT_EQ(kept, (Lines{":hana!h@h PRIVMSG #a[ :3", ":hana!h@h PRIVMSG #a{ :4"} +
                     Lines{":hana!h@h PRIVMSG #a[ :5", ":hana!h@h PRIVMSG #a{ :6"}));
    EXPECT_EQ(s.KeptBytes(), bytes);
}

TEST(StaySession, KnowsAtMostMaxChannelsAndStaysFast)
{
    TStaySession s;
    Welcomed(s, {});
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 16600; ++i)
        s.FromServer(":Taro!t@host.example JOIN #c" + std::to_string(i), T0);
    EXPECT_EQ(s.ChannelNames().size(), TStayLimits{}.MaxChannels);
    EXPECT_EQ(s.ChannelNames().back(), "#c499");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(StaySession, AttachNegotiatesServerTimeAndPlaysBackTagged)
{
    TStaySession s;
    Welcomed(s, {"#leaf"}, "server-time multi-prefix sasl");
    s.Detach();
    EXPECT_EQ(s.FromServer("@time=2026-12-08T00:59:00.000Z;msgid=a :hana!h@h PRIVMSG #leaf :hi", T0 + 1000),
              TStaySession::vKept);
    s.FromServer(":hana!h@h PRIVMSG Taro :" + Hello, T0 + 2000);
    s.FromServer(":hana!h@h PRIVMSG #leaf :\x01" "ACTION waves\x01", T0 + 3000);
    s.BeginAttach("");
    EXPECT_EQ(s.Attach(), TStaySession::atRegistering);
    const Lines got = Register(s, {"CAP LS 302", "NICK Taro", "USER t 0 * :T", "CAP REQ :server-time", "CAP END"}, T0 + Minute);
    const Lines expected =
        Lines{":nimbochat CAP * LS :multi-prefix server-time", ":nimbochat CAP * ACK :server-time"} + Welcome +
        ChannelLines("#leaf") +
        Lines{"@time=2026-12-08T01:00:01.000Z :hana!h@h PRIVMSG #leaf :hi",
              "@time=2026-12-08T01:00:03.000Z :hana!h@h PRIVMSG #leaf :\x01" "ACTION waves\x01",
              "@time=2026-12-08T01:00:02.000Z :hana!h@h PRIVMSG Taro :" + Hello};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(s.Attach(), TStaySession::atNone);
    EXPECT_TRUE(s.ClientServerTime());
    EXPECT_EQ(s.PlayedBack(), 3u);
    EXPECT_EQ(s.KeptLines(), 0u);
    EXPECT_EQ(s.KeptBytes(), 0u);
    EXPECT_EQ(s.FromClient("PRIVMSG #leaf :back", T0 + Minute), TStaySession::cvForward);
}

TEST(StaySession, AttachWithoutServerTimeStampsTheText)
{
    TStaySession s;
    Welcomed(s);
    s.Detach();
    const std::int64_t yesterday = T0 - 11 * 60 * Minute + 5 * Minute; // 12/07 23:05
    const Lines server = {
        ":hana!h@h PRIVMSG #leaf :late",
        "@time=2026-12-08T01:05:00.000Z;msgid=b :hana!h@h NOTICE #leaf :" + Hello,
        ":hana!h@h PRIVMSG #leaf :\x01" "ACTION waves\x01",
        ":hana!h@h PRIVMSG Taro hello",
    };
    const std::int64_t at[] = {yesterday, T0 + 5 * Minute, T0 + 6 * Minute, T0 + 7 * Minute};
    for (size_t i = 0; i < server.size(); ++i)
        EXPECT_EQ(s.FromServer(server[i], at[i]), TStaySession::vKept) << PrintToString(server[i]);
    s.BeginAttach("");
    const Lines got = Register(s, {"NICK Other", "USER t 0 * :T"}, T0 + 8 * Minute);
    const Lines expected = Welcome + Lines{":Other NICK :Taro"} + ChannelLines("#leaf") +
                           Lines{":hana!h@h PRIVMSG #leaf :[12/07 23:05] late",
                                 ":hana!h@h NOTICE #leaf :[10:05] " + Hello,
                                 ":hana!h@h PRIVMSG #leaf :\x01" "ACTION [10:06] waves\x01",
                                 ":hana!h@h PRIVMSG Taro :[10:07] hello"};
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(s.ClientServerTime());
}

TEST(StaySession, ClientRegistrationStaysHere)
{
    TStaySession s;
    Welcomed(s);
    s.Detach();
    s.FromServer(":hana!h@h PRIVMSG #leaf :kept", T0);
    s.BeginAttach("");
    struct Case {
        AnsiString Line;
        Lines ForClient;
    };
    const Case before[] = {
        {"PRIVMSG #leaf :x", {}},
        {"POST / HTTP/1.1", {}},
        {"JOIN #other", {}},
        {"PING :abc", {":nimbochat PONG nimbochat :abc"}},
        {"NICK Taro", {}},
    };
    for (const Case& c : before)
        EXPECT_EQ(Register(s, {c.Line}, T0), c.ForClient) << "client line " << PrintToString(c.Line);
    EXPECT_EQ(s.KeptLines(), 1u);

    // With a password: none or a wrong one is refused and nothing is played back.
    for (const Lines& client : {Lines{"NICK Taro", "USER t 0 * :T"}, Lines{"PASS wrong", "NICK Taro", "USER t 0 * :T"},
                                Lines{"PASS pw1", "NICK Taro", "USER t 0 * :T"}}) {
        s.BeginAttach("pw");
        Lines got;
        for (const AnsiString& line : client) {
            const TStaySession::TClientVerdict verdict = s.FromClient(line, T0);
            EXPECT_EQ(verdict, line.starts_with("USER") ? TStaySession::cvClose : TStaySession::cvDone) << line;
            got = got + s.TakeForClient();
        }
        EXPECT_EQ(got, Lines{":nimbochat 464 Taro :Password incorrect"}) << PrintToString(client);
        EXPECT_EQ(s.KeptLines(), 1u);
        EXPECT_EQ(s.TakeForServer(T0 + Minute), Lines{});
    }
    s.BeginAttach("pw");
    const Lines got = Register(s, {"PASS pw", "NICK Taro", "USER t 0 * :T"}, T0);
    EXPECT_EQ(got.back(), ":hana!h@h PRIVMSG #leaf :[10:00] kept");
    EXPECT_EQ(s.PlayedBack(), 1u);
}

TEST(StaySession, PlaysBackChannelsLeftBetweenJoinAndTheirEnd)
{
    TStaySession s;
    Welcomed(s, {"#kicked", "#parted"});
    s.Detach();
    for (const char* line : {":hana!h@h PRIVMSG #kicked :before", ":hana!h@h KICK #kicked Taro :out",
                             ":hana!h@h PRIVMSG #parted :bye", ":Taro!t@host.example PART #parted"})
        s.FromServer(line, T0);
    s.FromUser("PRIVMSG #elsewhere :from the message line", T0);
    EXPECT_EQ(s.ChannelNames(), Lines{});
    s.BeginAttach("");
    const Lines got = Register(s, {"NICK Taro", "USER t 0 * :T"}, T0);
    const Lines expected = Welcome + Lines{
        ":Taro!t@host.example JOIN :#kicked",
        ":hana!h@h PRIVMSG #kicked :[10:00] before",
        ":hana!h@h KICK #kicked Taro :out",
        ":Taro!t@host.example JOIN :#parted",
        ":hana!h@h PRIVMSG #parted :[10:00] bye",
        ":Taro!t@host.example PART #parted",
        ":Taro!t@host.example JOIN :#elsewhere",
        ":Taro!t@host.example PRIVMSG #elsewhere :[10:00] from the message line",
        ":Taro!t@host.example PART :#elsewhere",
    };
    EXPECT_EQ(got, expected);
}

TEST(StaySession, ReconnectsRegistersAndRejoinsPaced)
{
    TStaySession s;
    Lines channels = {"#leaf"};
    for (int i = 1; i <= 12; ++i)
        channels.push_back("#c" + std::to_string(i));
    ASSERT_EQ(s.FromClient("JOIN #key secret", T0), TStaySession::cvForward);
    Welcomed(s, channels + Lines{"#key", "#key2"}, "server-time multi-prefix sasl");
    s.FromServer(":hana!h@h MODE #key2 +k pass2", T0);

    const std::int64_t lost = T0 + 10 * Minute;
    const std::int64_t wait = s.LinkLost(lost);
    EXPECT_GE(wait, 4000);
    EXPECT_LE(wait, 6000);
    EXPECT_EQ(s.Link(), TStaySession::lkDown);
    Lines told = s.TakeForClient();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].starts_with(":nimbochat NOTICE Taro :")) << PrintToString(told[0]);
    // While it is down the client's lines come back as a NOTICE; its PING gets a PONG.
    EXPECT_EQ(s.FromClient("PRIVMSG #leaf :x", lost), TStaySession::cvDone);
    told = s.TakeForClient();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].starts_with(":nimbochat NOTICE Taro :") && told[0].ends_with("PRIVMSG #leaf :x"))
        << PrintToString(told[0]);
    EXPECT_EQ(s.FromClient("PING :abc", lost), TStaySession::cvDone);
    EXPECT_EQ(s.TakeForClient(), Lines{":nimbochat PONG nimbochat :abc"});
    EXPECT_EQ(s.TakeForServer(lost + Minute), Lines{});

    EXPECT_EQ(s.Reconnected("USER t 0 * :T"), (Lines{"CAP LS 302", "NICK Taro", "USER t 0 * :T"}));
    EXPECT_EQ(s.Link(), TStaySession::lkRegistering);
    const std::int64_t now = lost + wait;
    struct Case {
        AnsiString Line;
        Lines ForServer; // at once
    };
    const Case registration[] = {
        {":irc.example CAP * LS :server-time sasl multi-prefix", {"CAP REQ :multi-prefix server-time"}},
        {":irc.example CAP Taro ACK :multi-prefix server-time", {"CAP END"}},
        {":irc.example 433 * Taro :Nickname is already in use", {"NICK Taro_"}},
        {":irc.example 001 Taro_ :Welcome to the Internet Relay Network Taro_!t@host.example", {}},
        {":irc.example NOTICE Taro_ :*** on registering", {}},
        {":hana!h@h PRIVMSG Taro_ :too early", {}},
        {":irc.example 376 Taro_ :End of MOTD command",
         {"JOIN #key,#key2,#leaf,#c1 secret,pass2", "JOIN #c2,#c3,#c4,#c5"}},
    };
    for (const Case& c : registration) {
        EXPECT_EQ(s.FromServer(c.Line, now), TStaySession::vDrop) << "line " << PrintToString(c.Line);
        EXPECT_EQ(s.TakeForServer(now), c.ForServer) << "after " << PrintToString(c.Line);
    }
    EXPECT_EQ(s.Link(), TStaySession::lkUp);
    EXPECT_EQ(s.Nick(), "Taro_");
    EXPECT_EQ(s.WantedNick(), "Taro");
    EXPECT_EQ(s.TakeForClient(), Lines{":Taro NICK :Taro_"});

    struct Paced {
        std::int64_t At, NextAt; // a take at At, the next line due at NextAt before it
        Lines Due;
    };
    const Paced paced[] = {
        {now + 1999, now + 2000, {}},
        {now + 2000, now + 2000, {"JOIN #c6,#c7,#c8,#c9"}},
        {now + 4000, now + 4000, {"JOIN #c10,#c11,#c12"}},
        {now + Minute - 1, now + Minute, {}},
        {now + Minute, now + Minute, {"NICK Taro"}},
    };
    for (const Paced& p : paced) {
        EXPECT_EQ(s.NextServerLineAt(), p.NextAt) << "at +" << p.At - now;
        EXPECT_EQ(s.TakeForServer(p.At), p.Due) << "at +" << p.At - now;
    }
    EXPECT_EQ(s.NextServerLineAt(), -1);
    // Still taken: asked again a minute later.
    EXPECT_EQ(s.FromServer(":irc.example 433 Taro_ Taro :Nickname is already in use", now + Minute), TStaySession::vDrop);
    EXPECT_EQ(s.NextServerLineAt(), now + 2 * Minute);
    // A nick the user chooses ends the asking.
    EXPECT_EQ(s.FromClient("NICK Jiro", now + Minute), TStaySession::cvForward);
    s.FromServer(":Taro_!t@host.example NICK :Jiro", now + Minute);
    EXPECT_EQ(s.WantedNick(), "Jiro");
    EXPECT_EQ(s.TakeForServer(now + 3 * Minute), Lines{});
}

TEST(StaySession, RefusalsEndTheRetries)
{
    for (const AnsiString& refusal : {AnsiString("465 Taro :You are banned from this server"),
                                      AnsiString("464 * :Password incorrect")}) {
        TStaySession s;
        Welcomed(s);
        s.LinkLost(T0);
        s.Reconnected("USER t 0 * :T");
        EXPECT_EQ(s.FromServer(":irc.example " + refusal, T0), TStaySession::vDrop) << refusal;
        EXPECT_EQ(s.Refusal(), refusal.substr(0, 4) + refusal.substr(refusal.find(" :") + 2)) << refusal;
        EXPECT_EQ(s.LinkLost(T0 + 1000), -1) << refusal;
    }
}

TEST(ReconnectSchedule, DoublesToFiveMinutesWithAFifthOfJitter)
{
    double random = 0.5;
    TReconnectSchedule schedule([&] { return random; });
    const std::int64_t series[] = {5000, 10000, 20000, 40000, 80000, 160000, 300000, 300000};
    std::int64_t now = T0;
    for (const std::int64_t wait : series) {
        EXPECT_EQ(schedule.NextWait(now), wait);
        now += wait;
    }
    for (const double r : {0.0, 0.999999}) {
        random = r;
        schedule.Reset();
        for (const std::int64_t wait : series) {
            const std::int64_t got = schedule.NextWait(now);
            EXPECT_GE(got, wait * 8 / 10) << "random " << r;
            EXPECT_LE(got, std::min<std::int64_t>(wait * 12 / 10, TReconnectSchedule::MaxMs)) << "random " << r;
        }
    }
    random = 0.5;
    schedule.Up(now);
    EXPECT_EQ(schedule.NextWait(now + TReconnectSchedule::StableMs - 1), 300000); // not long enough
    schedule.Up(now);
    EXPECT_EQ(schedule.NextWait(now + TReconnectSchedule::StableMs), 5000);
    EXPECT_EQ(schedule.NextWait(now + TReconnectSchedule::StableMs), 10000);
}

TEST(StaySession, SavesAndRestores)
{
    TStaySession s;
    ASSERT_EQ(s.FromClient("JOIN #key secret", T0), TStaySession::cvForward);
    Welcomed(s, {"#leaf", "#key"}, "server-time sasl");
    s.Detach();
    s.FromServer(":hana!h@h PRIVMSG #leaf :" + Hello, T0 + 1);
    s.FromServer(":hana!h@h PRIVMSG Taro :private", T0 + 2);
    s.FromServer(":hana!h@h PRIVMSG #leaf :again", T0 + 3);
    const TStayState state = s.Save();
    const TStayState expected = {
        "Taro",
        "Taro!t@host.example",
        {{"#leaf", "", "Topic of #leaf"}, {"#key", "secret", "Topic of #key"}},
        {"sasl", "server-time"},
        {{"#leaf", {{":hana!h@h PRIVMSG #leaf :" + Hello, T0 + 1}, {":hana!h@h PRIVMSG #leaf :again", T0 + 3}}},
         {"hana", {{":hana!h@h PRIVMSG Taro :private", T0 + 2}}}},
        "rfc1459",
        "#&",
    };
    EXPECT_EQ(state, expected);

    TStaySession restored;
    restored.Restore(state);
    EXPECT_EQ(restored.Save(), state);
    EXPECT_EQ(restored.Link(), TStaySession::lkDown);
    EXPECT_EQ(restored.Attach(), TStaySession::atDetached);
    EXPECT_EQ(restored.Reconnected("USER t 0 * :T"), (Lines{"CAP LS 302", "NICK Taro", "USER t 0 * :T"}));
}

// A client that attaches to a session taken up after a restart, before
// the server has welcomed the user again, still completes its registration.
TEST(StaySession, ARestoredSessionWelcomesAClientBeforeTheServerDoes)
{
    TStaySession saved, restored;
    Welcomed(saved);
    restored.Restore(saved.Save());
    restored.BeginAttach("");
    const Lines got = Register(restored, {"NICK Taro", "USER t 0 * :T"}, T0);
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[0].substr(0, 20), ":nimbochat 001 Taro ");
    EXPECT_EQ(got[1].substr(0, 20), ":nimbochat 376 Taro ");
    EXPECT_EQ(got[2], ":Taro!t@host.example JOIN :#leaf");
}

TEST(StaySession, RestoresChannelsTheServersCaseMappingKeepsApart)
{
    TStaySession ascii, restored;
    Welcomed(ascii, {});
    ascii.FromServer(":irc.example 005 Taro CASEMAPPING=ascii :are supported", T0);
    Welcomed(ascii, {"#a[b]", "#A{B}"});
    ASSERT_EQ(ascii.ChannelNames().size(), 2u);
    restored.Restore(ascii.Save());
    EXPECT_EQ(restored.ChannelNames(), (Lines{"#a[b]", "#A{B}"}));
}

} // namespace
