// A relay session between a scripted chat client and a recording upstream
// server, both on 127.0.0.1: framing, forwarding, answers and the rewrite,
// checked byte for byte.
#include "relay/probe.h"
#include "support_code/irc_peers.h"
#include "support_code/recording_sink.h"

#include <QTimer>
#include <gtest/gtest.h>

namespace {

std::string Hex(const QByteArray& b)
{
    return b.toHex(' ').toStdString();
}

class RecordedRelay : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ListenOnLowPort(upstream));
        w = std::make_unique<TNimboChat>(nullptr);
        w->Show();
        w->ClientEdit->SetText("127.0.0.1");
        w->ClientPortEdit->SetText(std::to_string(upstream.serverPort()));
        listenPort = FreeLowPort();
        w->ServerPortEdit->SetText(std::to_string(listenPort));
        ASSERT_TRUE(w->ServerSocket->Active());
    }
    // Connects the chat client and waits for the upstream connection.
    void Attach()
    {
        ASSERT_TRUE(client.Connect(listenPort));
        ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
        server.reset(upstream.nextPendingConnection());
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
        ASSERT_EQ(NimboChatProbe::SessionState(*w), ssRelay);
    }
    bool ServerGot(const QByteArray& needle, int timeoutMs = 5000)
    {
        return WaitUntil([&] {
            atServer += server->readAll();
            return atServer.contains(needle);
        }, timeoutMs);
    }
    void FromServer(const QByteArray& bytes)
    {
        server->write(bytes);
        server->flush();
    }
    bool LogHas(const AnsiString& text, TColor colour)
    {
        for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
            if (w->LogRichEdit->LineText(i) == text && w->LogRichEdit->LineColor(i) == colour)
                return true;
        return false;
    }
    int LogIndex(const AnsiString& text)
    {
        for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
            if (w->LogRichEdit->LineText(i) == text)
                return i;
        return -1;
    }

    QTcpServer upstream;
    quint16 listenPort = 0;
    std::unique_ptr<TNimboChat> w;
    IrcClient client;
    std::unique_ptr<QTcpSocket> server;
    QByteArray atServer;
};

TEST_F(RecordedRelay, ClientLinesGoUpstreamWithCrLf)
{
    Attach();
    client.Send("NICK a\nNICK b\r\nx\ry\n\r\n");
    ASSERT_TRUE(ServerGot("x\ry\r\n\r\n"));
    EXPECT_EQ(Hex(atServer), Hex("NICK a\r\nNICK b\r\nx\ry\r\n\r\n"));
    EXPECT_TRUE(LogHas("NICK a", clGreen));
    EXPECT_TRUE(LogHas("", clGreen));
    EXPECT_EQ(w->LocalEdit->Text(), "127.0.0.1");
    EXPECT_EQ(w->GlobalEdit->Text(), "127.0.0.1");
}

TEST_F(RecordedRelay, LinesSentBeforeTheUpstreamConnectsArriveInOrder)
{
    // The chat client writes at once, in pieces that cut lines, while the
    // relay is still opening the upstream connection.
    ASSERT_TRUE(client.Connect(listenPort));
    QByteArray expected;
    for (int i = 0; i < 30; ++i)
        expected += "PRIVMSG #c :line " + QByteArray::number(i) + "\r\n";
    client.Send(expected.left(5));
    for (int piece = 1; piece * 5 < expected.size(); ++piece)
        QTimer::singleShot(piece / 4, [this, bytes = expected.mid(piece * 5, 5)] { client.Send(bytes); });
    ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
    server.reset(upstream.nextPendingConnection());
    ASSERT_TRUE(ServerGot("line 29\r\n"));
    EXPECT_EQ(atServer.toStdString(), expected.toStdString());
}

TEST_F(RecordedRelay, ServerLinesReachTheClientAsReceived)
{
    Attach();
    FromServer(":s NOTICE a :one");
    FromServer(" piece\r\n:s NOTICE a :two\n:s NOTICE a :c\rr\r\n\r\n");
    const QByteArray withNul(":s NOTICE a :n\0ul\r\n:s NOTICE a :after nul\r\n", 43);
    FromServer(withNul);
    FromServer(":lonely\r\n");
    QByteArray expected = QByteArray(":s NOTICE a :one piece\r\n:s NOTICE a :two\r\n:s NOTICE a :c\rr\r\n\r\n") +
                          withNul + ":lonely\r\n";
    ASSERT_TRUE(client.WaitFor(":lonely\r\n"));
    EXPECT_EQ(Hex(client.Received()), Hex(expected));
    EXPECT_TRUE(LogHas(":s NOTICE a :one piece", clGreen));
    EXPECT_TRUE(LogHas(":s NOTICE a :n", clGreen)); // the log line ends at the NUL
    EXPECT_TRUE(LogHas(":s NOTICE a :after nul", clGreen));
    EXPECT_TRUE(LogHas(":lonely", clGreen));
}

TEST_F(RecordedRelay, TenThousandLinesInOneBurst)
{
    Attach();
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
    Attach();
    FromServer("PING :abc\r\n:s NOTICE a :after\r\n");
    ASSERT_TRUE(ServerGot("PONG :abc\r\n"));
    ASSERT_TRUE(client.WaitFor("after"));
    EXPECT_FALSE(client.Received().contains("PING"));
    EXPECT_TRUE(LogHas("PING :abc", clGreen));
    EXPECT_TRUE(LogHas("PONG :abc", clGreen));
    // A PING from a user is not the server's: it goes on to the client.
    FromServer(":u!x@y PING :z\r\n");
    ASSERT_TRUE(client.WaitFor(":u!x@y PING :z\r\n"));
}

TEST_F(RecordedRelay, CtcpPingAndVersionAnsweredOthersForwarded)
{
    Attach();
    FromServer(":a!b@c PRIVMSG me :\x01VERSION\x01\r\n:a!b@c PRIVMSG me :\x01PING 12345\x01\r\n");
    ASSERT_TRUE(ServerGot("NOTICE a :\x01PING 12345\x01\r\n"));
    EXPECT_TRUE(atServer.contains("NOTICE a :\x01VERSION NimboChat :\x01\r\n"));
    EXPECT_TRUE(LogHas(":a!b@c PRIVMSG me :\x01VERSION\x01", clBlue));
    for (const char* query : {"TIME", "FINGER", "USERINFO", "CLIENTINFO", "HELP", "SOURCE"})
        FromServer(":a!b@c PRIVMSG me :\x01" + QByteArray(query) + "\x01\r\n");
    ASSERT_TRUE(client.WaitFor("SOURCE"));
    EXPECT_FALSE(client.Received().contains("VERSION"));
    EXPECT_TRUE(client.Received().contains(":a!b@c PRIVMSG me :\x01TIME\x01\r\n"));
    EXPECT_TRUE(client.Received().contains(":a!b@c PRIVMSG me :\x01HELP\x01\r\n"));
    EXPECT_FALSE(atServer.contains("TIME Secret"));
}

TEST_F(RecordedRelay, DccSendAddressIsRewritten)
{
    Attach();
    w->LocalEdit->SetText("192.168.0.1");
    w->GlobalEdit->SetText("203.0.113.1");
    EXPECT_TRUE(LogHas("LocalAddress[192.168.0.1] is [3232235521]", clBlue));
    EXPECT_TRUE(LogHas("GlobalAddress[203.0.113.1] is [3405803777]", clBlue));
    w->ConvertCheckBox->SetChecked(true);
    client.Send("privmsg bob :\x01" "DCC SEND f.txt 3232235521 1024 300\x01\r\n");
    QByteArray expected = "PRIVMSG bob :\x01" "DCC SEND f.txt 3405803777 1024 300\x01\r\n";
    ASSERT_TRUE(ServerGot("300\x01\r\n"));
    EXPECT_EQ(Hex(atServer), Hex(expected));
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
    Attach();
    w->SetFlashing(true);
    client.Send("PRIVMSG #c :\x01" "ACTION waves\x01\r\n");
    ASSERT_TRUE(ServerGot("waves"));
    EXPECT_TRUE(NimboChatProbe::Flashing(*w));
    client.Send("PRIVMSG #c :hi\r\n");
    ASSERT_TRUE(ServerGot("hi\r\n"));
    EXPECT_FALSE(NimboChatProbe::Flashing(*w));
    EXPECT_TRUE(LogHas("PRIVMSG #c :hi", clBlack));
}

TEST_F(RecordedRelay, SecondClientIsTurnedAway)
{
    Attach();
    IrcClient second;
    ASSERT_TRUE(second.Connect(listenPort));
    ASSERT_TRUE(second.WaitClosed());
    EXPECT_EQ(second.Received().toStdString(), "Connecting Error\r\n");
    client.Send("PRIVMSG #c :still here\r\n");
    ASSERT_TRUE(ServerGot("still here\r\n"));
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssRelay);
}

TEST_F(RecordedRelay, ClientLeavingClosesUpstream)
{
    Attach();
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return server->state() == QAbstractSocket::UnconnectedState ||
                                       (server->waitForReadyRead(10), server->state() != QAbstractSocket::ConnectedState); }));
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
    EXPECT_FALSE(w->KillButton->Enabled());
    EXPECT_EQ(NimboChatProbe::ClientConnection(*w), nullptr);
}

TEST_F(RecordedRelay, ServerLeavingClosesTheClient)
{
    Attach();
    server->close();
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
}

TEST_F(RecordedRelay, KillEndsTheRelaySession)
{
    Attach();
    w->KillButton->Click();
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_FALSE(w->ClientSocket->Active());
    EXPECT_FALSE(w->KillButton->Enabled());
    ASSERT_TRUE(client.WaitClosed());
}

TEST_F(RecordedRelay, ListenerPortFollowsItsBoxOutsideSessions)
{
    Attach();
    w->ServerPortEdit->SetText("1234");
    EXPECT_EQ(w->ServerPortEdit->Text(), std::to_string(listenPort));
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    quint16 other = FreeLowPort();
    w->ServerPortEdit->SetText(std::to_string(other));
    EXPECT_EQ(w->ServerSocket->Port, other);
    IrcClient again;
    EXPECT_TRUE(again.Connect(other));
}

// A window whose upstream cannot be reached, and a chat client that comes.
std::unique_ptr<TNimboChat> ClientAgainstUnreachable(const AnsiString& host, IrcClient& client)
{
    auto w = std::make_unique<TNimboChat>(nullptr);
    w->ClientEdit->SetText(host);
    w->ClientPortEdit->SetText(std::to_string(FreeLowPort())); // nobody listens there
    quint16 port = FreeLowPort();
    w->ServerPortEdit->SetText(std::to_string(port));
    EXPECT_TRUE(client.Connect(port));
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
