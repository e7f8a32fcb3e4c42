// The relay's answers to PING and CTCP queries, driven through its read
// handler with recording connections, so that exactly what was sent
// upstream, and nothing more, is known; and a flood of queries from a
// scripted upstream on a real connection.
#include "support_code/recorded_session.h"
#include "support_code/relay_session.h"

#include <gtest/gtest.h>

namespace {

using Answers = RecordedSession;

TEST_F(Answers, TextAPeerChoseNeverBecomesASecondCommand)
{
    struct Case {
        const char* Query;
        const char* Answer;
    };
    // A lone CR reads as a line end (CR LF) once the line is converted for
    // display, so it is answered as two blanks.
    const Case cases[] = {
        {"PING :x\rQUIT :gone\r\n", "PONG :x  QUIT :gone\r\n"},
        {":a!b@c PRIVMSG me :\x01PING 1\rQUIT :gone\x01\r\n", "NOTICE a :\x01PING 1  QUIT :gone\x01\r\n"},
        {":a!b@c PRIVMSG me :\x01VERSION\x01\r\n", "NOTICE a :\x01VERSION NimboChat :\x01\r\n"},
    };
    for (const Case& c : cases) {
        upstream->Sent.clear();
        FromServer(c.Query);
        EXPECT_EQ(upstream->Sent, c.Answer) << "for " << c.Query;
    }
    EXPECT_TRUE(client.Sent.empty()) << "answered queries went on to the client: " << client.Sent;
}

TEST_F(Answers, LinesThatAreNoQueryGoToTheClientAndNothingUpstream)
{
    FromServer(":s 372 me :motd\r\n:a!b@c PRIVMSG me :\x01" "ACTION waves\x01\r\n");
    EXPECT_EQ(client.Sent, ":s 372 me :motd\r\n:a!b@c PRIVMSG me :\x01" "ACTION waves\x01\r\n");
    EXPECT_EQ(upstream->Sent, "");
}

TEST(AnswerLimit, ABurstThenOneATurn)
{
    using namespace std::chrono_literals;
    TAnswerLimit limit;
    const TAnswerLimit::Clock::time_point t0 = TAnswerLimit::Clock::now();
    struct Step {
        std::chrono::milliseconds at;
        bool answered;
    };
    const Step steps[] = {{0ms, true},     {0ms, true},     {0ms, true},     {0ms, true},     {0ms, true},
                          {0ms, false},    {1999ms, false}, {2000ms, true},  {2000ms, false}, {3999ms, false},
                          {4000ms, true},  {60000ms, true}, {60000ms, true}, {60000ms, true}, {60000ms, true},
                          {60000ms, true}, {60000ms, false}};
    for (const Step& step : steps)
        EXPECT_EQ(limit.Take(t0 + step.at), step.answered) << "at " << step.at.count() << " ms";
    EXPECT_EQ(limit.TakeUnanswered(), 5);
    EXPECT_EQ(limit.TakeUnanswered(), 0);
}

// A hundred CTCP queries at once, then the server's PING: a burst of
// answers, the PONG at once, the chat client's line at once, and one blue
// note once the flood is over.
TEST_F(RelaySession, AFloodOfCtcpQueriesGetsAFewAnswersAndHoldsNothingBack)
{
    QByteArray flood;
    for (int i = 0; i < 100; ++i)
        flood += ":hana!h@pc PRIVMSG Taro :\x01VERSION\x01\r\n";
    FromServer(flood + "PING :now\r\n");
    ASSERT_TRUE(ServerGot("PONG :now\r\n", 1000));
    client.Send("PRIVMSG #leaf :meanwhile\r\n");
    ASSERT_TRUE(ServerGot("PRIVMSG #leaf :meanwhile\r\n", 1000));
    const int answers = static_cast<int>(atServer.count("NOTICE hana :\x01VERSION NimboChat :\x01\r\n"));
    EXPECT_GE(answers, TAnswerLimit::Burst);
    EXPECT_LE(answers, TAnswerLimit::Burst + 1) << "one more only on a machine that took two seconds for the flood";
    const AnsiString note = "CTCP: " + std::to_string(100 - answers) + Sjis(" 件の問い合わせに答えませんでした");
    EXPECT_TRUE(WaitUntil([&] { return LogHasLine(*w, note, clBlue); }));
    int notes = 0;
    for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
        notes += w->LogRichEdit->LineText(i).starts_with("CTCP: ");
    EXPECT_EQ(notes, 1);
    EXPECT_FALSE(client.Received().contains("VERSION")) << "queries left unanswered go nowhere";
}

} // namespace
