// Direct sessions: Connect, registration, the console, DisConnect, Kill and
// connect failures, against ngircd and a recording server on 127.0.0.1.
#include "relay/probe.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include <QHostInfo>
#include <gtest/gtest.h>

namespace {

void ExpectIdleLayout(TNimboChat& w)
{
    EXPECT_EQ(w.ConnectButton->Caption(), "Connect");
    EXPECT_TRUE(w.ConnectButton->Default());
    EXPECT_FALSE(w.KillButton->Enabled());
    EXPECT_FALSE(w.SendButton->Enabled());
    EXPECT_FALSE(w.SendButton->Default());
}

void ExpectConnectedLayout(TNimboChat& w)
{
    EXPECT_EQ(w.ConnectButton->Caption(), "DisConnect");
    EXPECT_TRUE(w.ConnectButton->Enabled());
    EXPECT_FALSE(w.ConnectButton->Default());
    EXPECT_TRUE(w.KillButton->Enabled());
    EXPECT_TRUE(w.SendButton->Enabled());
    EXPECT_TRUE(w.SendButton->Default());
}

class DirectSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(irc.Started()) << "ngircd did not start";
        w = StartTestWindow({.UpstreamPort = irc.Port()});
        w->NickEdit->SetText("Taro");
    }
    void ConnectAndRegister()
    {
        w->ConnectButton->Click();
        EXPECT_EQ(NimboChatProbe::SessionState(*w), ssDirect);
        EXPECT_FALSE(w->ConnectButton->Enabled());
        ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, " 001 Taro ", clGreen); }));
    }
    void Say(const AnsiString& text)
    {
        w->MessageEdit->SetText(text);
        w->SendButton->Click();
    }

    NgircdServer irc;
    std::unique_ptr<TNimboChat> w;
};

TEST_F(DirectSession, ConnectRegistersAndLogsTheWelcome)
{
    ConnectAndRegister();
    ExpectConnectedLayout(*w);
    EXPECT_TRUE(LogContains(*w, "USER taro ", clGreen));
    EXPECT_TRUE(LogContains(*w, "NICK Taro", clGreen));
}

TEST_F(DirectSession, ConsoleLinesReachAnotherUserAsExactJis)
{
    IrcClient hana;
    ASSERT_TRUE(hana.Connect(irc.Port()));
    ASSERT_TRUE(hana.Register("Hana"));
    ASSERT_TRUE(hana.Join("#leaf"));
    ConnectAndRegister();

    Say("/JOIN #leaf");
    EXPECT_TRUE(LogContains(*w, "JOIN #leaf", clGreen));
    ASSERT_TRUE(hana.WaitFor("JOIN"));
    EXPECT_TRUE(w->ChannelEdit->Text() == "#leaf");

    Say(Sjis("こんにちは"));
    EXPECT_EQ(w->MessageEdit->Text(), "");
    EXPECT_TRUE(LogContains(*w, "PRIVMSG #leaf :" + Sjis("こんにちは"), clBlack));
    QByteArray jis = "PRIVMSG #leaf :\x1B$B\x24\x33\x24\x73\x24\x4B\x24\x41\x24\x4F\x1B(B\r\n";
    ASSERT_TRUE(hana.WaitFor(jis)) << hana.Received().toHex(' ').toStdString();
    EXPECT_TRUE(hana.LineWith("PRIVMSG #leaf").startsWith(":Taro!"));

    // And back: Hana's JIS line arrives in the log in Shift_JIS, black.
    hana.Send("PRIVMSG #leaf :\x1B$B\x24\x22\x24\x24\x1B(B\r\n");
    EXPECT_TRUE(WaitUntil([&] { return LogContains(*w, "PRIVMSG #leaf :" + Sjis("あい"), clBlack); }));
}

TEST_F(DirectSession, KillClosesAtOnce)
{
    ConnectAndRegister();
    w->KillButton->Click();
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_FALSE(w->ClientSocket->Active());
    ExpectIdleLayout(*w);
}

TEST_F(DirectSession, DisConnectQuitsAndTheServerCloseEndsIt)
{
    ConnectAndRegister();
    w->ConnectButton->Click(); // "DisConnect"
    EXPECT_EQ(w->ConnectButton->Caption(), "DisConnect"); // unchanged until the server closes
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    ExpectIdleLayout(*w);
    EXPECT_TRUE(LogContains(*w, "ERROR", clGreen)); // ngircd's farewell before it closes
}

TEST_F(DirectSession, PortBoxKeepsTheSessionPort)
{
    ConnectAndRegister();
    w->ClientPortEdit->SetText("1234");
    EXPECT_EQ(w->ClientPortEdit->Text(), std::to_string(irc.Port()));
    w->KillButton->Click();
    w->ClientPortEdit->SetText("1234");
    EXPECT_EQ(w->ClientSocket->Port, 1234);
}

TEST_F(DirectSession, ServerDropEndsTheSession)
{
    ConnectAndRegister();
    irc.Kill();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    ExpectIdleLayout(*w);
}

// A server that records what arrives, for byte-exact checks.
class RecordedUpstream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ListenOnLowPort(server));
        w = StartTestWindow({.UpstreamPort = server.serverPort()});
        w->NickEdit->SetText("TaRo");
        w->ConnectButton->Click();
        ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections(); }));
        peer.reset(server.nextPendingConnection());
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    }
    bool ReceivedContains(const QByteArray& needle)
    {
        return WaitUntil([&] {
            received += peer->readAll();
            return received.contains(needle);
        });
    }

    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    std::unique_ptr<TNimboChat> w;
    QByteArray received;
};

TEST_F(RecordedUpstream, RegistrationLines)
{
    QString host = QHostInfo::localHostName();
    QString name = QHostInfo::fromName("127.0.0.1").hostName();
    QByteArray serverName = (name.isEmpty() || name == "127.0.0.1") ? QByteArray("127.0.0.1") : name.toUtf8();
    QByteArray expected = "USER taro " + host.toUtf8() + " " + serverName + " :taro\r\nNICK TaRo\r\n";
    ASSERT_TRUE(ReceivedContains("NICK TaRo\r\n"));
    EXPECT_EQ(received.toStdString(), expected.toStdString());
}

TEST_F(RecordedUpstream, DisConnectSendsExactlyQuitAndWaitsForTheServer)
{
    ASSERT_TRUE(ReceivedContains("NICK TaRo\r\n"));
    received.clear();
    w->ConnectButton->Click();
    ASSERT_TRUE(ReceivedContains("\r\n"));
    EXPECT_EQ(received.toStdString(), "QUIT byebye\r\n");
    ExpectConnectedLayout(*w);
    peer->close();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    ExpectIdleLayout(*w);
}

TEST_F(RecordedUpstream, ConsoleRules)
{
    ASSERT_TRUE(ReceivedContains("NICK TaRo\r\n"));
    received.clear();
    w->MessageEdit->SetText("/");
    w->SendButton->Click(); // a bare command: an empty line goes out as CR LF
    ASSERT_TRUE(ReceivedContains("\r\n"));
    EXPECT_EQ(received.toStdString(), "\r\n");
    EXPECT_EQ(w->LogRichEdit->LineText(w->LogRichEdit->LineTextCount() - 1), "");

    int lines = w->LogRichEdit->LineTextCount();
    w->MessageEdit->SetText("");
    w->SendButton->Click(); // nothing at all
    w->ChannelEdit->SetText("");
    w->MessageEdit->SetText("hello");
    w->SendButton->Click(); // no channel: nothing sent, the line is cleared
    EXPECT_EQ(w->MessageEdit->Text(), "");
    EXPECT_EQ(w->LogRichEdit->LineTextCount(), lines);
    w->MessageEdit->SetText("/PRIVMSG x :y");
    w->SendButton->Click();
    ASSERT_TRUE(ReceivedContains("PRIVMSG x :y\r\n"));
    EXPECT_EQ(received.toStdString(), "\r\nPRIVMSG x :y\r\n");
}

TEST(ConnectFailure, ClosedPortReturnsToIdleAndShowsTheErrorOnce)
{
    auto w = StartTestWindow(); // nobody listens upstream
    w->ConnectButton->Click();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_TRUE(w->ConnectButton->Enabled());
    // The reason in this system's words, in the log and in the box.
    const AnsiString reason = "connect to 127.0.0.1:" + std::to_string(w->ClientSocket->Port) + ": Connection refused";
    EXPECT_TRUE(LogHasLine(*w, reason, clRed));
    ASSERT_TRUE(WaitUntil([] { return !Recorded().Exceptions.empty(); }));
    EXPECT_EQ(Recorded().Exceptions[0], reason);
    // A second box for that failure would come before the next connect is made.
    QTcpServer server;
    ASSERT_TRUE(ListenOnLowPort(server));
    w->ClientPortEdit->SetText(std::to_string(server.serverPort()));
    w->ConnectButton->Click();
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    EXPECT_EQ(Recorded().Exceptions.size(), 1u);
}

// A name that does not resolve fails the connect as a refusal does; the
// lookup never holds the window.
TEST(ConnectFailure, UnresolvableHostReturnsToIdleWithTheReason)
{
    auto w = StartTestWindow({.UpstreamPort = 7001});
    w->ClientEdit->SetText("no-such-host.invalid");
    w->ConnectButton->Click();
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssDirect);
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }, 20000));
    EXPECT_TRUE(w->ConnectButton->Enabled());
    ExpectIdleLayout(*w);
    const AnsiString reason = "connect to no-such-host.invalid:7001: Host not found";
    EXPECT_TRUE(LogHasLine(*w, reason, clRed));
    ASSERT_TRUE(WaitUntil([] { return Recorded().Exceptions.size() == 1u; }));
    EXPECT_EQ(Recorded().Exceptions[0], reason);
}

// A server with no name at all cannot be dialled: that fails at once.
TEST(ConnectFailure, NoServerNameReturnsToIdleAtOnce)
{
    auto w = StartTestWindow({.UpstreamPort = 7001});
    w->ClientEdit->SetText("");
    w->ConnectButton->Click();
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_TRUE(w->ConnectButton->Enabled());
    EXPECT_FALSE(w->KillButton->Enabled());
    EXPECT_TRUE(LogContains(*w, "ServerConnectError", clRed));
    EXPECT_TRUE(WaitUntil([] { return Recorded().Exceptions.size() == 1u; }));
}

} // namespace
