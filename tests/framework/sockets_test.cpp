// The socket layer's write path: what one event (or one turn of the event
// loop) sends leaves together once it is over, counted as waiting until it
// has left, in order, and an event waiting in a box does not hold it back.
#include "framework/application.h"
#include "framework/sockets.h"
#include "support_code/event_wait.h"

#include <QEventLoop>
#include <QTcpServer>
#include <QTimer>
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

// A connected pair: the component's connection and the peer's socket.
struct ConnectedPair {
    QTcpServer Server;
    TClientSocket Client{nullptr};
    std::unique_ptr<QTcpSocket> Peer;

    bool Connect()
    {
        if (!Server.listen(QHostAddress::LocalHost, 0))
            return false;
        Client.Host = "127.0.0.1";
        Client.Port = Server.serverPort();
        Client.Open();
        if (!WaitUntil([&] { return Client.Active() && Server.hasPendingConnections(); }))
            return false;
        Peer.reset(Server.nextPendingConnection());
        return true;
    }
    // What the peer has received so far, until it holds Want.
    bool PeerReceives(const QByteArray& Want, QByteArray& Received)
    {
        return WaitUntil([&] {
            Received += Peer->readAll();
            return Received.contains(Want);
        });
    }
};

TEST(ClientSocketWrites, AnEventsTextLeavesWhenItsHandlerReturns)
{
    ConnectedPair pair;
    ASSERT_TRUE(pair.Connect());
    qint64 pendingInHandler = -1;
    qint64 peerHadInHandler = -1;
    pair.Client.OnRead = [&](TObject*, TCustomWinSocket* Socket) {
        Socket->ReceiveText();
        Socket->SendText("PONG :a\r\n");
        Socket->SendText("PONG :b\r\n");
        pendingInHandler = Socket->PendingOutput();
        // On loopback a sent byte is at the peer when send returns: none may be.
        pair.Peer->waitForReadyRead(0);
        peerHadInHandler = pair.Peer->bytesAvailable();
    };
    pair.Peer->write("PING :x\r\n");
    QByteArray received;
    ASSERT_TRUE(pair.PeerReceives("PONG :b\r\n", received));
    EXPECT_EQ(received, "PONG :a\r\nPONG :b\r\n");
    EXPECT_EQ(pendingInHandler, 18);
    EXPECT_EQ(peerHadInHandler, 0);
    EXPECT_EQ(pair.Client.Socket()->PendingOutput(), 0);
}

// A handler that opens a modal box runs a nested event loop and does not
// return while it is open: the connections' events inside it still get
// their text out.
TEST(ClientSocketWrites, TextSentUnderAnOpenBoxLeavesWhileTheBoxIsOpen)
{
    ConnectedPair pair;
    ASSERT_TRUE(pair.Connect());
    pair.Client.OnRead = [&](TObject*, TCustomWinSocket* Socket) {
        Socket->ReceiveText();
        Socket->SendText("PONG :x\r\n");
    };
    QByteArray received;
    bool answeredWhileOpen = false;
    DispatchEvent([&] { // a click whose handler opens a box
        QEventLoop box;
        pair.Peer->write("PING :x\r\n");
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            received += pair.Peer->readAll();
            if (received.contains("PONG :x\r\n")) {
                answeredWhileOpen = true;
                box.quit();
            }
        });
        poll.start(5);
        QTimer::singleShot(5000, &box, &QEventLoop::quit);
        box.exec();
    });
    EXPECT_TRUE(answeredWhileOpen) << received.toStdString();
}

TEST(ClientSocketWrites, NothingIsQueuedWithoutAConnection)
{
    TClientSocket client(nullptr);
    EXPECT_EQ(client.Socket()->SendText("NICK a\r\n"), 0);
    EXPECT_EQ(client.Socket()->PendingOutput(), 0);
}

} // namespace
