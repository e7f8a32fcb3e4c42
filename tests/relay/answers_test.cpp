// The relay's answers to PING and CTCP queries, driven through its read
// handler with recording connections, so that exactly what was sent
// upstream, and nothing more, is known.
#include "support_code/recorded_session.h"

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

} // namespace
