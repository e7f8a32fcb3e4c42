// The socket layer's write path: what one turn of the event loop sends
// leaves together, counted as waiting until it has left, in order.
#include "framework/sockets.h"
#include "support_code/event_wait.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(ClientSocketWrites, OneTurnsTextLeavesTogetherAndIsCountedUntilItHasLeft)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    TClientSocket client(nullptr);
    client.Host = "127.0.0.1";
    client.Port = server.serverPort();
    int writeEvents = 0;
    qint64 pendingAtLastWrite = -1;
    client.OnWrite = [&](TObject*, TCustomWinSocket* Socket) {
        ++writeEvents;
        pendingAtLastWrite = Socket->PendingOutput();
    };
    client.Open();
    ASSERT_TRUE(WaitUntil([&] { return client.Active() && server.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());

    std::string sent;
    for (int i = 0; i < 200; ++i) {
        const std::string line = "PRIVMSG #leaf :line " + std::to_string(i) + "\r\n";
        EXPECT_EQ(client.Socket()->SendText(line), int(line.size()));
        sent += line;
    }
    // Nothing has left inside this turn, and all of it is counted as waiting.
    EXPECT_EQ(client.Socket()->PendingOutput(), qint64(sent.size()));
    EXPECT_EQ(writeEvents, 0);

    QByteArray received;
    ASSERT_TRUE(WaitUntil([&] {
        received += peer->readAll();
        return received.size() >= qint64(sent.size()) && pendingAtLastWrite == 0;
    }));
    EXPECT_EQ(received.toStdString(), sent);
    // One write event per write: a turn's 200 lines took a few writes, not one each.
    EXPECT_GE(writeEvents, 1);
    EXPECT_LE(writeEvents, 3);
    EXPECT_EQ(client.Socket()->PendingOutput(), 0);
}

TEST(ClientSocketWrites, NothingIsQueuedWithoutAConnection)
{
    TClientSocket client(nullptr);
    EXPECT_EQ(client.Socket()->SendText("NICK a\r\n"), 0);
    EXPECT_EQ(client.Socket()->PendingOutput(), 0);
}

} // namespace
