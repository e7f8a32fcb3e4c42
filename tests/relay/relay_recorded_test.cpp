// A relay session between a scripted chat client and a recording upstream
// server, both on 127.0.0.1: framing, forwarding, answers and the rewrite,
// checked byte for byte.
#include "relay/probe.h"
#include "support_code/hex.h"
#include "support_code/recording_sink.h"
#include "support_code/relay_session.h"

#include <gtest/gtest.h>

namespace {

class RecordedRelay : public RelaySession {
protected:
    int LogIndex(const AnsiString& text)
    {
        for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
            if (w->LogRichEdit->LineText(i) == text)
                return i;
        return -1;
    }
};

TEST_F(RecordedRelay, ClientLinesGoUpstreamWithCrLf)
{
    client.Send("NICK a\nNICK b\r\nx\ry\n\r\n");
    ASSERT_TRUE(ServerGot("x\ry\r\n\r\n"));
    EXPECT_EQ(Hex(atServer.toStdString()), Hex("NICK a\r\nNICK b\r\nx\ry\r\n\r\n"));
    EXPECT_TRUE(LogHasLine(*w, "NICK a", clGreen));
    EXPECT_TRUE(LogHasLine(*w, "", clGreen));
    EXPECT_EQ(w->LocalEdit->Text(), "127.0.0.1");
    EXPECT_EQ(w->GlobalEdit->Text(), "127.0.0.1");
}

TEST_F(RecordedRelay, ServerLinesReachTheClientAsReceived)
{
    FromServer(":s NOTICE a :one");
    FromServer(" piece\r\n:s NOTICE a :two\n:s NOTICE a :c\rr\r\n\r\n");
    const QByteArray withNul(":s NOTICE a :n\0ul\r\n:s NOTICE a :after nul\r\n", 43);
    FromServer(withNul);
    FromServer(":lonely\r\n");
    QByteArray expected = QByteArray(":s NOTICE a :one piece\r\n:s NOTICE a :two\r\n:s NOTICE a :c\rr\r\n\r\n") +
                          withNul + ":lonely\r\n";
    ASSERT_TRUE(client.WaitFor(":lonely\r\n"));
    EXPECT_EQ(Hex(client.Received().toStdString()), Hex(expected.toStdString()));
    EXPECT_TRUE(LogHasLine(*w, ":s NOTICE a :one piece", clGreen));
    EXPECT_TRUE(LogHasLine(*w, ":s NOTICE a :n", clGreen)); // the log line ends at the NUL
    EXPECT_TRUE(LogHasLine(*w, ":s NOTICE a :after nul", clGreen));
    EXPECT_TRUE(LogHasLine(*w, ":lonely", clGreen));
}

TEST_F(RecordedRelay, TenThousandLinesInOneBurst)
{
    QByteArray burst;
    for (int i = 0; i < 10000; ++i)
        burst += ":n!u@h PRIVMSG #leaf :\x1B$B\x24\x22\x1B(B burst " + QByteArray::number(i) + "\r\n";
    FromServer(burst);
    ASSERT_TRUE(client.WaitFor("burst 9999\r\n", 60000));
    EXPECT_EQ(client.Received().size(), burst.size());
    EXPECT_TRUE(client.Received() == burst);
    EXPECT_EQ(w->LogRichEdit->LineTextCount(), LogLineLimit);
}

TEST_F(RecordedRelay, PingIsAnsweredAndNotForwarded)
{
    FromServer("PING :abc\r\n:s NOTICE a :after\r\n");
    ASSERT_TRUE(ServerGot("PONG :abc\r\n"));
    ASSERT_TRUE(client.WaitFor("after"));
    EXPECT_FALSE(client.Received().contains("PING"));
    EXPECT_TRUE(LogHasLine(*w, "PING :abc", clGreen));
    EXPECT_TRUE(LogHasLine(*w, "PONG :abc", clGreen));
    // A PING from a user is not the server's: it goes on to the client.
    FromServer(":u!x@y PING :z\r\n");
    ASSERT_TRUE(client.WaitFor(":u!x@y PING :z\r\n"));
}

TEST_F(RecordedRelay, CtcpPingAndVersionAnsweredOthersForwarded)
{
    FromServer(":a!b@c PRIVMSG me :\x01VERSION\x01\r\n:a!b@c PRIVMSG me :\x01PING 12345\x01\r\n");
    ASSERT_TRUE(ServerGot("NOTICE a :\x01PING 12345\x01\r\n"));
    EXPECT_TRUE(atServer.contains("NOTICE a :\x01VERSION NimboChat :\x01\r\n"));
    EXPECT_TRUE(LogHasLine(*w, ":a!b@c PRIVMSG me :\x01VERSION\x01", clBlue));
    for (const char* query : {"TIME", "FINGER", "USERINFO", "CLIENTINFO", "HELP", "SOURCE"})
        FromServer(":a!b@c PRIVMSG me :\x01" + QByteArray(query) + "\x01\r\n");
    ASSERT_TRUE(client.WaitFor("SOURCE"));
    EXPECT_FALSE(client.Received().contains("VERSION"));
    EXPECT_TRUE(client.Received().contains(":a!b@c PRIVMSG me :\x01TIME\x01\r\n"));
    EXPECT_TRUE(client.Received().contains(":a!b@c PRIVMSG me :\x01HELP\x01\r\n"));
    // An answer to those queries would reach the server before this PONG.
    FromServer("PING :done\r\n");
    ASSERT_TRUE(ServerGot("PONG :done\r\n"));
    EXPECT_EQ(atServer.count("NOTICE a :"), 2) << atServer.toStdString();
}

TEST_F(RecordedRelay, DccSendAddressIsRewritten)
{
    w->LocalEdit->SetText("192.168.0.1");
    w->GlobalEdit->SetText("203.0.113.1");
    EXPECT_TRUE(LogHasLine(*w, "LocalAddress[192.168.0.1] is [3232235521]", clBlue));
    EXPECT_TRUE(LogHasLine(*w, "GlobalAddress[203.0.113.1] is [3405803777]", clBlue));
    w->ConvertCheckBox->SetChecked(true);
    client.Send("privmsg bob :\x01" "DCC SEND f.txt 3232235521 1024 300\x01\r\n");
    QByteArray expected = "PRIVMSG bob :\x01" "DCC SEND f.txt 3405803777 1024 300\x01\r\n";
    ASSERT_TRUE(ServerGot("300\x01\r\n"));
    EXPECT_EQ(Hex(atServer.toStdString()), Hex(expected.toStdString()));
    int note = LogIndex("TextConvert[192.168.0.1]->[203.0.113.1]");
    int line = LogIndex("PRIVMSG bob :\x01" "DCC SEND f.txt 3405803777 1024 300\x01");
    ASSERT_GE(note, 0);
    EXPECT_EQ(line, note + 1);
    EXPECT_EQ(w->LogRichEdit->LineColor(note), clBlue);
    EXPECT_EQ(w->LogRichEdit->LineColor(line), clBlue);

    // With the switch off the line goes as it came.
    w->ConvertCheckBox->SetChecked(false);
    atServer.clear();
    client.Send("privmsg bob :3232235521\r\n");
    ASSERT_TRUE(ServerGot("\r\n"));
    EXPECT_EQ(atServer.toStdString(), "privmsg bob :3232235521\r\n");
}

TEST_F(RecordedRelay, ChatLineStopsTheFlashCtcpDoesNot)
{
    w->SetFlashing(true);
    client.Send("PRIVMSG #c :\x01" "ACTION waves\x01\r\n");
    ASSERT_TRUE(ServerGot("waves"));
    EXPECT_TRUE(NimboChatProbe::Flashing(*w));
    client.Send("PRIVMSG #c :hi\r\n");
    ASSERT_TRUE(ServerGot("hi\r\n"));
    EXPECT_FALSE(NimboChatProbe::Flashing(*w));
    EXPECT_TRUE(LogHasLine(*w, "PRIVMSG #c :hi", clBlack));
}

TEST_F(RecordedRelay, SecondClientIsTurnedAway)
{
    IrcClient second;
    ASSERT_TRUE(second.Connect(listenPort));
    ASSERT_TRUE(second.WaitClosed());
    EXPECT_EQ(second.Received().toStdString(), "Connecting Error\r\n");
    client.Send("PRIVMSG #c :still here\r\n");
    ASSERT_TRUE(ServerGot("still here\r\n"));
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssRelay);
}

// With "stay connected" off, as here, a leaving client ends the session.
TEST_F(RecordedRelay, ClientLeavingClosesUpstream)
{
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return server->state() == QAbstractSocket::UnconnectedState ||
                                       (server->waitForReadyRead(10), server->state() != QAbstractSocket::ConnectedState); }));
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_FALSE(w->ClientSocket->Active());
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
    EXPECT_FALSE(w->KillButton->Enabled());
    EXPECT_EQ(NimboChatProbe::ClientConnection(*w), nullptr);
}

TEST_F(RecordedRelay, ServerLeavingClosesTheClient)
{
    server->close();
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
}

TEST_F(RecordedRelay, KillEndsTheRelaySession)
{
    w->KillButton->Click();
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_FALSE(w->ClientSocket->Active());
    EXPECT_FALSE(w->KillButton->Enabled());
    ASSERT_TRUE(client.WaitClosed());
}

TEST_F(RecordedRelay, ListenerPortFollowsItsBoxOutsideSessions)
{
    w->ServerPortEdit->SetText("1234");
    EXPECT_EQ(w->ServerPortEdit->Text(), std::to_string(listenPort));
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    quint16 other = FreeLowPort();
    w->ServerPortEdit->SetText(std::to_string(other));
    EXPECT_TRUE(WaitUntil([&] { return w->ServerSocket->Port == other && w->ServerSocket->Active(); }));
    IrcClient again;
    EXPECT_TRUE(again.Connect(other));
}

// A window whose upstream cannot be reached, and a chat client that comes.
std::unique_ptr<TNimboChat> ClientAgainstUnreachable(const AnsiString& host, IrcClient& client)
{
    auto w = StartTestWindow(); // nobody listens upstream
    w->ClientEdit->SetText(host);
    EXPECT_TRUE(client.Connect(w->ServerSocket->Port));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received().toStdString(), "Connecting Error\r\n");
    return w;
}

TEST(RelayConnectFailure, ClientIsToldAndClosed)
{
    IrcClient client;
    auto w = ClientAgainstUnreachable("127.0.0.1", client);
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_TRUE(w->ConnectButton->Enabled());
    EXPECT_EQ(Recorded().Exceptions.size(), 1u);
}

TEST(RelayConnectFailure, UnresolvableHostTellsTheClientAtOnce)
{
    IrcClient client;
    auto w = ClientAgainstUnreachable("no-such-host.invalid", client);
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_EQ(NimboChatProbe::ClientConnection(*w), nullptr);
    ASSERT_GE(w->LogRichEdit->LineTextCount(), 1);
    EXPECT_EQ(w->LogRichEdit->LineColor(w->LogRichEdit->LineTextCount() - 1), clRed);
}

} // namespace
