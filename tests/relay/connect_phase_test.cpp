// The time between "a session starts" and "the server answers", on real
// 127.0.0.1 sockets: connects and TLS handshakes that never finish, Kill
// while connecting, name lookups that answer slowly or not at all, and the
// welcome that waits for its host's address.
#include "relay/probe.h"
#include "support_code/recording_sink.h"
#include "support_code/scripted_lookup.h"
#include "support_code/test_window.h"

#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// Accepts connections and never says a word: a TLS server that does not
// answer the handshake.
class SilentServer {
public:
    SilentServer()
    {
        ListenOnLowPort(FServer);
        QObject::connect(&FServer, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = FServer.nextPendingConnection())
                FAccepted.emplace_back(s);
        });
    }
    quint16 Port() const { return FServer.serverPort(); }
    size_t Accepted() const { return FAccepted.size(); }

private:
    QTcpServer FServer;
    std::vector<std::unique_ptr<QTcpSocket>> FAccepted;
};

bool Idle(TNimboChat& w)
{
    return NimboChatProbe::SessionState(w) == ssIdle && !w.ClientSocket->Connecting() && w.ConnectButton->Enabled() &&
           !w.KillButton->Enabled();
}

constexpr int ShortLimitMs = 800;

// A connect that never completes (its SYNs unanswered) and a TLS handshake
// that never completes (the server silent) fail like a refused connect once
// their limit has passed: the reason in red, "Connecting Error" to a relayed
// client, Connect enabled again.
TEST(ConnectLimits, AConnectOrHandshakeThatNeverEndsFailsWithTheReason)
{
    struct Case {
        const char* Name;
        bool Tls;
    } const cases[] = {{"SYNs unanswered", false}, {"a silent TLS server", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        LateUpstream late;
        SilentServer silent;
        const quint16 port = c.Tls ? silent.Port() : late.Port();
        auto w = StartTestWindow({.UpstreamPort = port});
        w->SslCheckBox->SetChecked(c.Tls);
        w->ClientSocket->ConnectTimeout = ShortLimitMs;
        w->ClientSocket->HandshakeTimeout = ShortLimitMs;
        IrcClient client;
        ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Connecting(); }));
        EXPECT_TRUE(w->KillButton->Enabled()) << "no way out while connecting";
        ASSERT_TRUE(WaitUntil([&] { return Idle(*w); }, 10 * ShortLimitMs));
        const AnsiString reason = c.Tls ? AnsiString("TLS handshake with 127.0.0.1 timed out")
                                        : "connect to 127.0.0.1:" + std::to_string(port) + " timed out";
        EXPECT_TRUE(LogHasLine(*w, reason, clRed));
        EXPECT_TRUE(client.WaitFor("Connecting Error\r\n"));
        EXPECT_TRUE(client.WaitClosed());
        if (c.Tls) {
            EXPECT_EQ(silent.Accepted(), 1u) << "the TCP connect itself did not happen";
        }
        ASSERT_TRUE(WaitUntil([] { return !Recorded().Exceptions.empty(); }));
        EXPECT_EQ(Recorded().Exceptions.back(), reason);
        Recorded().Exceptions.clear();
    }
}

// 強制切断 ends a connect at once, in both kinds of session; a relayed
// client is told "Connecting Error".
TEST(ConnectLimits, KillEndsAConnectAtOnce)
{
    for (bool relay : {false, true}) {
        SCOPED_TRACE(relay ? "relay session" : "direct session");
        SilentServer silent;
        auto w = StartTestWindow({.UpstreamPort = silent.Port()});
        w->SslCheckBox->SetChecked(true);
        IrcClient client;
        if (relay)
            ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
        else
            w->ConnectButton->Click();
        ASSERT_TRUE(WaitUntil([&] { return silent.Accepted() == 1u; }));
        ASSERT_TRUE(w->ClientSocket->Connecting());
        ASSERT_TRUE(w->KillButton->Enabled());
        w->KillButton->Click();
        EXPECT_TRUE(Idle(*w));
        EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
        if (relay) {
            EXPECT_TRUE(client.WaitFor("Connecting Error\r\n"));
            EXPECT_TRUE(client.WaitClosed());
        }
        // The next session works as before.
        w->ConnectButton->Click();
        EXPECT_TRUE(WaitUntil([&] { return silent.Accepted() == 2u; }));
        w->KillButton->Click();
        EXPECT_TRUE(Idle(*w));
    }
}

// A name service that answers slowly holds nothing up: the window goes on
// handling its events while the upstream's name is looked up, and Kill ends
// the wait.
TEST(NameLookups, TheWindowRunsWhileTheServersNameIsLookedUp)
{
    ScriptedLookup lookup(60000); // answers long after the test
    auto w = StartTestWindow();
    w->ClientEdit->SetText("irc.slow.example");
    w->ConnectButton->Click();
    EXPECT_EQ(lookup.Asked, std::vector<AnsiString>{"irc.slow.example"});
    EXPECT_TRUE(w->ClientSocket->Connecting());
    bool ticked = false;
    QTimer::singleShot(10, [&] { ticked = true; });
    EXPECT_TRUE(WaitUntil([&] { return ticked; }, 1000));
    w->KillButton->Click();
    EXPECT_TRUE(Idle(*w));
}

// A relay session whose server welcomes the user as Taro!taro@<Host>.
class Welcome : public ::testing::Test {
protected:
    void Start()
    {
        ASSERT_TRUE(ListenOnLowPort(upstream));
        w = StartTestWindow({.UpstreamPort = upstream.serverPort()});
        ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
        ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
        server.reset(upstream.nextPendingConnection());
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    }
    void SendWelcome(const QByteArray& Host)
    {
        server->write(":irc.test 001 Taro :Welcome to IRC Taro!taro@" + Host + "\r\n:irc.test 002 Taro :next\r\n");
        server->flush();
    }
    QTcpServer upstream;
    std::unique_ptr<TNimboChat> w;
    IrcClient client;
    std::unique_ptr<QTcpSocket> server;
};

// The welcome reaches the chat client after GlobalEdit holds the address of
// the host it names, and the lines after it follow in order.
TEST_F(Welcome, ReachesTheClientAfterGlobalEditIsSet)
{
    ScriptedLookup lookup(300);
    lookup.Addresses["host.example"] = "203.0.113.5";
    Start();
    AnsiString globalWhenWelcomed;
    QObject::connect(&client.Socket(), &QTcpSocket::readyRead, [&] {
        if (globalWhenWelcomed.empty())
            globalWhenWelcomed = w->GlobalEdit->Text();
    });
    SendWelcome("host.example");
    ASSERT_TRUE(client.WaitFor(":irc.test 002 Taro :next\r\n"));
    EXPECT_EQ(globalWhenWelcomed, "203.0.113.5");
    EXPECT_EQ(client.Received(), ":irc.test 001 Taro :Welcome to IRC Taro!taro@host.example\r\n"
                                 ":irc.test 002 Taro :next\r\n");
}

// An answer for a session that has ended changes nothing of the next one.
TEST_F(Welcome, ALateAnswerFromAnEndedSessionChangesNothing)
{
    ScriptedLookup lookup(500);
    lookup.Addresses["host.example"] = "203.0.113.5";
    Start();
    SendWelcome("host.example");
    ASSERT_TRUE(WaitUntil([&] { return lookup.Asked.size() == 1u; }));
    w->KillButton->Click();
    ASSERT_TRUE(client.WaitClosed());
    IrcClient next;
    ASSERT_TRUE(next.Connect(w->ServerSocket->Port));
    ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> second(upstream.nextPendingConnection());
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    w->GlobalEdit->SetText("198.51.100.7"); // the user's own, typed in this session
    ASSERT_TRUE(WaitUntil([&] { return lookup.Answered() == 1; })); // the late answer has come
    EXPECT_EQ(w->GlobalEdit->Text(), "198.51.100.7");
}

// A cloaked host that does not resolve leaves the address the user typed,
// says so in red, and a DCC offer still carries a real address.
TEST_F(Welcome, AnUnresolvableHostKeepsTheTypedAddressForDcc)
{
    ScriptedLookup lookup(10);
    Start();
    w->ConvertCheckBox->SetChecked(true);
    w->GlobalEdit->SetText("203.0.113.5");
    SendWelcome("cloak.example");
    ASSERT_TRUE(client.WaitFor(":irc.test 002 Taro :next\r\n"));
    EXPECT_EQ(w->GlobalEdit->Text(), "203.0.113.5");
    EXPECT_TRUE(LogHasLine(*w, "Global address: cloak.example does not resolve; kept 203.0.113.5", clRed));
    client.Send("PRIVMSG bob :\x01" "DCC SEND f 2130706433 5000 10\x01\r\n");
    QByteArray got;
    EXPECT_TRUE(WaitUntil([&] { return (got += server->readAll()).contains("\r\n"); }));
    EXPECT_EQ(got, "PRIVMSG bob :\x01" "DCC SEND f 3405803781 5000 10\x01\r\n");
}

} // namespace
