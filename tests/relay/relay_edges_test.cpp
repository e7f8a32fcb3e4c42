// The relay against hostile and slow peers, on real 127.0.0.1 sockets: a
// peer that never ends its line, a session that ends right after a burst.
#include "relay/probe.h"
#include "support_code/irc_peers.h"

#include <QTcpServer>
#include <gtest/gtest.h>


namespace {

std::unique_ptr<TNimboChat> RelayTo(quint16 upstreamPort, quint16& listenPort)
{
    auto w = std::make_unique<TNimboChat>(nullptr);
    w->ClientEdit->SetText("127.0.0.1");
    w->ClientPortEdit->SetText(std::to_string(upstreamPort));
    listenPort = FreeLowPort();
    w->ServerPortEdit->SetText(std::to_string(listenPort));
    return w;
}

class RelayToServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ListenOnLowPort(upstream));
        w = RelayTo(upstream.serverPort(), listenPort);
        ASSERT_TRUE(client.Connect(listenPort));
        ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
        server.reset(upstream.nextPendingConnection());
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    }
    bool LogContains(const AnsiString& part)
    {
        for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
            if (w->LogRichEdit->LineText(i).find(part) != AnsiString::npos)
                return true;
        return false;
    }
    QTcpServer upstream;
    quint16 listenPort = 0;
    std::unique_ptr<TNimboChat> w;
    IrcClient client;
    std::unique_ptr<QTcpSocket> server;
};

TEST_F(RelayToServer, AnEndlessLineFromTheServerEndsTheSessionAndTheNextWorks)
{
    QByteArray chunk(64 * 1024, 'x');
    for (size_t sent = 0; sent <= MaxLineBytes; sent += chunk.size())
        server->write(chunk);
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }, 10000));
    EXPECT_TRUE(LogContains("without a line end"));
    EXPECT_TRUE(client.WaitClosed());
    // The next session relays as before.
    IrcClient next;
    ASSERT_TRUE(next.Connect(listenPort));
    ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> second(upstream.nextPendingConnection());
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    second->write("PING :x\r\n:a!b@c PRIVMSG #leaf :hi\r\n");
    EXPECT_TRUE(next.WaitFor("PRIVMSG #leaf :hi\r\n"));
}

TEST_F(RelayToServer, AnEndlessLineFromTheClientEndsTheSession)
{
    QByteArray chunk(64 * 1024, 'y');
    for (size_t sent = 0; sent <= MaxLineBytes; sent += chunk.size())
        client.Send(chunk);
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }, 10000));
    EXPECT_TRUE(LogContains("without a line end"));
}

TEST_F(RelayToServer, LongLinesBelowTheCapRelayByteForByte)
{
    QByteArray line = ":a!b@c PRIVMSG #leaf :" + QByteArray(3 * 100 * 1000, 'z') + "\r\n";
    server->write(line);
    EXPECT_TRUE(client.WaitFor(line, 10000));
}

TEST_F(RelayToServer, ABurstAndTheFinalErrorReachAClientThatReadsLate)
{
    // The client does not read while the burst and the close happen.
    client.Socket().setReadBufferSize(1);
    QByteArray burst;
    for (int i = 0; i < 20000; ++i)
        burst += ":a!b@c PRIVMSG #leaf :line " + QByteArray::number(i) + " of the burst, padded to length\r\n";
    burst += "ERROR :Closing Link\r\n";
    server->write(burst);
    server->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }, 20000));
    client.Socket().setReadBufferSize(0);
    EXPECT_TRUE(client.WaitFor("ERROR :Closing Link\r\n", 20000));
    EXPECT_EQ(client.Received().count("of the burst"), 20000);
}

} // namespace
