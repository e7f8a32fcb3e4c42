// The peers that the relay's tests trust to go away and come back: an
// ngircd that is stopped, killed, started again and frozen, and a scripted
// server that takes one connection after another and drops or resets them.
#include "support_code/irc_peers.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Whether a connect to the port is refused: nothing listens there.
bool Refused(quint16 port)
{
    QTcpSocket probe;
    bool refused = false;
    QObject::connect(&probe, &QTcpSocket::errorOccurred,
                     [&](QAbstractSocket::SocketError e) { refused = e == QAbstractSocket::ConnectionRefusedError; });
    probe.connectToHost(QHostAddress::LocalHost, port);
    WaitUntil([&] { return refused || probe.state() == QAbstractSocket::ConnectedState; });
    return refused;
}

TEST(NgircdServer, StopClosesEveryConnectionAndStartServesTheSamePortAgain)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    const quint16 port = irc.Port();
    IrcClient taro, hana;
    ASSERT_TRUE(taro.Connect(port));
    ASSERT_TRUE(taro.Register("Taro"));
    ASSERT_TRUE(hana.Connect(port));
    ASSERT_TRUE(hana.Register("Hana"));

    irc.Stop();
    EXPECT_FALSE(irc.Started());
    EXPECT_TRUE(taro.WaitClosed());
    EXPECT_TRUE(hana.WaitClosed());
    // The server's own farewell: it ended the connections, not a kill.
    EXPECT_TRUE(taro.Received().endsWith("ERROR :Server going down\r\n"));
    EXPECT_TRUE(hana.Received().endsWith("ERROR :Server going down\r\n"));
    EXPECT_TRUE(Refused(port));

    ASSERT_TRUE(irc.Start());
    EXPECT_TRUE(irc.Started());
    EXPECT_EQ(irc.Port(), port);
    IrcClient again;
    ASSERT_TRUE(again.Connect(port));
    EXPECT_TRUE(again.Register("Taro"));
}

// Another listener on the port: the server cannot come back, and says so
// as soon as it has given up, not at the end of the wait.
TEST(NgircdServer, StartFailsWhileThePortIsTaken)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    irc.Stop();
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, irc.Port()));

    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(irc.Start());
    EXPECT_FALSE(irc.Started());
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST(NgircdServer, StartAfterKillServesAgain)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    IrcClient taro;
    ASSERT_TRUE(taro.Connect(irc.Port()));
    ASSERT_TRUE(taro.Register("Taro"));

    irc.Kill();
    EXPECT_TRUE(taro.WaitClosed());
    EXPECT_FALSE(taro.Received().contains("ERROR")) << "a killed server says nothing";
    EXPECT_TRUE(Refused(irc.Port()));

    ASSERT_TRUE(irc.Start());
    IrcClient again;
    ASSERT_TRUE(again.Connect(irc.Port()));
    EXPECT_TRUE(again.Register("Taro"));
}

TEST(NgircdServer, APausedServerKeepsTheConnectionButAnswersOnlyOnceResumed)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    IrcClient taro;
    ASSERT_TRUE(taro.Connect(irc.Port()));
    ASSERT_TRUE(taro.Register("Taro"));

    ASSERT_TRUE(irc.Pause());
    taro.Send("PING :are-you-there\r\n");
    EXPECT_FALSE(taro.WaitFor("are-you-there", 1000));
    EXPECT_EQ(taro.Socket().state(), QAbstractSocket::ConnectedState);

    irc.Resume();
    EXPECT_TRUE(taro.WaitFor("PONG irc.nimbo.test :are-you-there\r\n"));
}

TEST(NgircdServer, StopEndsAPausedServer)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    IrcClient taro;
    ASSERT_TRUE(taro.Connect(irc.Port()));
    ASSERT_TRUE(taro.Register("Taro"));
    ASSERT_TRUE(irc.Pause());

    irc.Stop();
    EXPECT_TRUE(taro.WaitClosed());
    EXPECT_TRUE(taro.Received().endsWith("ERROR :Server going down\r\n"));
    EXPECT_TRUE(Refused(irc.Port()));
    EXPECT_TRUE(irc.Start());
}

TEST(NgircdServer, TheDestructorEndsAPausedServer)
{
    quint16 port = 0;
    {
        NgircdServer irc;
        ASSERT_TRUE(irc.Started());
        port = irc.Port();
        ASSERT_TRUE(irc.Pause());
    }
    // A frozen server's port would still take connections into its queue.
    EXPECT_TRUE(Refused(port));
}

TEST(ScriptedServer, ServesEachConnectionInTurn)
{
    ScriptedServer server;
    ASSERT_TRUE(server.Listening());
    EXPECT_EQ(server.Current(), nullptr);
    EXPECT_EQ(server.Connections(), 0);

    IrcClient first;
    ASSERT_TRUE(first.Connect(server.Port()));
    ASSERT_TRUE(server.WaitConnections(1));
    first.Send("NICK Taro\r\n");
    EXPECT_TRUE(server.WaitFor("NICK Taro\r\n"));
    server.Send(":srv 001 Taro :Welcome\r\n");
    EXPECT_TRUE(first.WaitFor(":srv 001 Taro :Welcome\r\n"));
    first.Close();

    IrcClient second;
    ASSERT_TRUE(second.Connect(server.Port()));
    ASSERT_TRUE(server.WaitConnections(2));
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(server.Received(), "") << "the second connection starts with nothing received";
    second.Send("NICK Hana\r\n");
    EXPECT_TRUE(server.WaitFor("NICK Hana\r\n"));
    server.Send(":srv 001 Hana :Welcome\r\n");
    EXPECT_TRUE(second.WaitFor(":srv 001 Hana :Welcome\r\n"));
}

TEST(ScriptedServer, DropCurrentClosesTheClientAndKeepsWhatCame)
{
    ScriptedServer server;
    ASSERT_TRUE(server.Listening());
    IrcClient taro;
    ASSERT_TRUE(taro.Connect(server.Port()));
    taro.Send("NICK Taro\r\n");
    ASSERT_TRUE(server.WaitFor("NICK Taro\r\n"));

    server.DropCurrent();
    EXPECT_TRUE(taro.WaitClosed());
    EXPECT_EQ(server.Received(), "NICK Taro\r\n");
}

// The client must see a reset, not an orderly end: recv fails with
// ECONNRESET where a close would make it return 0.
TEST(ScriptedServer, ResetCurrentResetsTheConnection)
{
    ScriptedServer server;
    ASSERT_TRUE(server.Listening());
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(server.Port());
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(server.WaitConnections(1));

    server.ResetCurrent();
    char byte = 0;
    ssize_t got = 1;
    int error = 0;
    EXPECT_TRUE(WaitUntil([&] {
        got = recv(client, &byte, 1, MSG_DONTWAIT);
        error = errno;
        return !(got < 0 && error == EAGAIN);
    }));
    EXPECT_EQ(got, -1);
    EXPECT_EQ(error, ECONNRESET);
    close(client);
}

} // namespace
