// The relay against late, hostile and slow peers, on real 127.0.0.1
// sockets: an upstream that accepts late, a peer that never ends its line, a session that ends right after a burst.
#include "relay/probe.h"
#include "support_code/recording_sink.h"
#include "support_code/flood.h"
#include "support_code/relay_session.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

// Pieces of lines written while the upstream connects late must reach it,
// in order, once it is there: as they came, or as JIS from a UTF-8 client.
void HeldLinesArriveInOrder(const std::vector<QByteArray>& pieces, bool utf8, const std::string& expected)
{
    LateUpstream upstream;
    auto w = StartTestWindow({.UpstreamPort = upstream.Port()});
    w->Utf8CheckBox->SetChecked(utf8);
    IrcClient client;
    ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Connecting(); }));
    // The pieces are written, and the upstream is later given room, by
    // timers; each piece goes while the connect is still under way.
    size_t written = 0;
    bool allWhileConnecting = true;
    QTimer writer;
    QObject::connect(&writer, &QTimer::timeout, [&] {
        if (written < pieces.size()) {
            allWhileConnecting = allWhileConnecting && w->ClientSocket->Connecting();
            client.Send(pieces[written++]);
        } else {
            upstream.Release();
        }
    });
    writer.start(200);
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }, 15000));
    EXPECT_TRUE(allWhileConnecting);
    // The relay may believe itself connected while the upstream dropped the
    // handshake's last step for want of room; its lines then come with its
    // next retransmission, three seconds or more later.
    EXPECT_TRUE(WaitUntil([&] { return upstream.Read() == expected; }, 30000));
    EXPECT_EQ(upstream.Read(), expected);
}

TEST(RelayEdges, LinesWrittenWhileTheUpstreamConnectsLateArriveInOrder)
{
    HeldLinesArriveInOrder({"NICK taro\r\n", "USER taro h s :Taro\r\n", "PRIVMSG #leaf :spl", "it\r\n"}, false,
                           "NICK taro\r\nUSER taro h s :Taro\r\nPRIVMSG #leaf :split\r\n");
}

// A UTF-8 character cut between two pieces is converted whole.
TEST(RelayEdges, Utf8LinesWrittenWhileTheUpstreamConnectsLateArriveAsJis)
{
    HeldLinesArriveInOrder({"NICK taro\r\n", "PRIVMSG #leaf :\xE6\x97", "\xA5\r\n"}, true,
                           "NICK taro\r\nPRIVMSG #leaf :\x1B$B\x46\x7C\x1B(B\r\n");
}

// Complete lines held while the upstream connects are no unfinished line,
// however many there are: 1.3 MB of ordinary lines (more than the longest
// line taken) all go up, in order, once the upstream is there.
TEST(RelayEdges, MegabytesOfCompleteLinesHeldDuringASlowConnectAllGoUp)
{
    LateUpstream upstream;
    auto w = StartTestWindow({.UpstreamPort = upstream.Port()});
    IrcClient client;
    ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Connecting(); }));
    std::string lines;
    for (int i = 0; lines.size() < 1300 * 1000; ++i)
        lines += "PRIVMSG #leaf :held line " + std::to_string(100000 + i) + " of an ordinary length, padded.....\r\n";
    client.Send(QByteArray::fromStdString(lines));
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::ClientBuffer(*w).size() == lines.size(); }, 10000));
    EXPECT_TRUE(w->ClientSocket->Connecting()) << "the connect ended before the lines were held";
    upstream.Release();
    EXPECT_TRUE(WaitUntil([&] { return upstream.Read().size() >= lines.size(); }, 30000));
    EXPECT_TRUE(upstream.Read() == lines) << "lost, doubled or out of order";
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssRelay);
    EXPECT_FALSE(LogContains(*w, "without a line end"));
}

using RelayToServer = RelaySession;

// Server lines still waiting their turn when the server closes are all
// passed on, however many: they are complete lines, not one long one.
TEST_F(RelayToServer, MegabytesOfWaitingServerLinesReachTheClientAtTheServersClose)
{
    QByteArray lines;
    for (int i = 0; lines.size() < 1300 * 1000; ++i)
        lines += ":a!b@c PRIVMSG #leaf :waiting line " + QByteArray::number(100000 + i) + " padded to length\r\n";
    NimboChatProbe::ServerBuffer(*w).assign(lines.constData(), static_cast<size_t>(lines.size()));
    server->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_TRUE(client.WaitClosed(20000));
    EXPECT_TRUE(client.Received() == lines) << "lost, doubled or out of order";
}

TEST_F(RelayToServer, AnEndlessLineFromTheServerEndsTheSessionAndTheNextWorks)
{
    QByteArray chunk(64 * 1024, 'x');
    for (size_t sent = 0; sent <= MaxLineBytes; sent += chunk.size())
        server->write(chunk);
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }, 10000));
    EXPECT_TRUE(LogContains(*w, "without a line end"));
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
    EXPECT_TRUE(LogContains(*w, "without a line end"));
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

TEST_F(RelayToServer, AHundredThousandLinesAreHandledInTurnsThatLetTheWindowRunAndKeepTheirOrder)
{
    QByteArray burst;
    for (int i = 0; i < 100000; ++i)
        burst += ":a!b@c PRIVMSG #leaf :\x1B$B$3$s$K$A$O\x1B(B " + QByteArray::number(i) + "\r\n";
    NimboChatProbe::ServerBuffer(*w).assign(burst.constData(), static_cast<size_t>(burst.size()));
    NimboChatProbe::ContinueServerLines(*w);
    EXPECT_TRUE(NimboChatProbe::ServerLinesWaiting(*w)) << "one turn handled the whole burst";
    server->write("PING :after\r\n");
    ASSERT_TRUE(WaitUntil([&] { return server->readAll().contains("PONG :after"); }, 60000));
    // Every line of the burst was passed on, in order, before the PING was answered.
    EXPECT_TRUE(client.WaitFor(burst.right(40), 60000));
    EXPECT_TRUE(client.Received() == burst);
}

// An exception display that behaves like a modal box: it runs the event loop
// until CloseWhen holds (as a user would click OK at some point).
class ModalSink : public RecordingSink {
public:
    void ShowException(const AnsiString& Title, const AnsiString& Message) override
    {
        RecordingSink::ShowException(Title, Message);
        Deepest = std::max(Deepest, ++Depth);
        Closed = WaitUntil(CloseWhen, 15000);
        --Depth;
    }
    std::function<bool()> CloseWhen;
    int Depth = 0, Deepest = 0;
    bool Closed = false;
};

// A refused server and a chat client that reconnects by itself: while the
// error box of the first attempt is open (its event loop running), the
// client's next session starts, and the user's OK must not end it, whether
// its connect is still under way or done.
TEST(RelayEdges, ASessionStartedWhileAnErrorBoxIsOpenOutlivesTheOkClick)
{
    for (bool connected : {false, true}) {
        SCOPED_TRACE(connected ? "the next session connected" : "the next session still connecting");
        auto w = StartTestWindow(); // nobody listens upstream
        auto owned = std::make_unique<ModalSink>();
        ModalSink* sink = owned.get();
        auto previous = Application->SetMessageSink(std::move(owned));
        QTcpServer plain;
        LateUpstream late;
        ASSERT_TRUE(ListenOnLowPort(plain));
        IrcClient first, second;
        bool reconnected = false;
        sink->CloseWhen = [&] {
            if (!std::exchange(reconnected, true)) { // the client comes back, to a server that answers now
                w->ClientPortEdit->SetText(std::to_string(connected ? plain.serverPort() : late.Port()));
                second.Socket().connectToHost(QHostAddress::LocalHost, w->ServerSocket->Port);
            }
            return connected ? w->ClientSocket->Active() : w->ClientSocket->Connecting();
        };
        ASSERT_TRUE(first.Connect(w->ServerSocket->Port));
        ASSERT_TRUE(WaitUntil([&] { return sink->Closed; }, 20000));
        EXPECT_EQ(sink->Exceptions.size(), 1u);
        EXPECT_EQ(NimboChatProbe::SessionState(*w), ssRelay);
        if (connected) {
            EXPECT_TRUE(w->ClientSocket->Active()) << "the OK click ended the new session";
        } else {
            EXPECT_TRUE(w->ClientSocket->Connecting()) << "the OK click cancelled the new session's connect";
            late.Release();
            EXPECT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }, 15000));
        }
        second.Send("NICK taro\r\n");
        if (connected) {
            ASSERT_TRUE(WaitUntil([&] { return plain.hasPendingConnections(); }));
            std::unique_ptr<QTcpSocket> server(plain.nextPendingConnection());
            QByteArray got;
            EXPECT_TRUE(WaitUntil([&] { return (got += server->readAll()) == "NICK taro\r\n"; }));
        } else {
            EXPECT_TRUE(WaitUntil([&] { return late.Read() == "NICK taro\r\n"; }, 15000));
        }
        Application->SetMessageSink(std::move(previous));
    }
}

TEST(RelayEdges, AClientThatKeepsReconnectingToADeadServerOpensOneErrorBoxAndTheRestAreLogged)
{
    auto w = StartTestWindow(); // nobody listens upstream
    const quint16 listenPort = w->ServerSocket->Port;
    auto owned = std::make_unique<ModalSink>();
    ModalSink* sink = owned.get();
    auto previous = Application->SetMessageSink(std::move(owned));
    // The attempts come from a timer: the first error box runs the event loop
    // until the test closes it.
    std::vector<std::unique_ptr<IrcClient>> clients;
    QTimer reconnect;
    QObject::connect(&reconnect, &QTimer::timeout, [&] {
        if (NimboChatProbe::SessionState(*w) == ssIdle && clients.size() < 20) {
            clients.push_back(std::make_unique<IrcClient>()); // connects without waiting
            clients.back()->Socket().connectToHost(QHostAddress::LocalHost, listenPort);
        }
    });
    reconnect.start(20);
    sink->CloseWhen = [&] {
        int logged = 0;
        for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
            logged += w->LogRichEdit->LineText(i).find("connect to 127.0.0.1:") != AnsiString::npos;
        return logged >= 5;
    };
    EXPECT_TRUE(WaitUntil([&] { return sink->Closed; }, 20000));
    reconnect.stop();
    EXPECT_EQ(sink->Deepest, 1);
    EXPECT_EQ(sink->Exceptions.size(), 1u);
    Application->SetMessageSink(std::move(previous));
}

TEST_F(RelayToServer, AClientThatStopsReadingHoldsTheServerBackAndLaterGetsEverything)
{
    client.Socket().setReadBufferSize(1); // takes one byte and then nothing
    const QByteArray flood = Flood(":a!b@c PRIVMSG #leaf :");
    server->write(flood);
    qint64 most = 0;
    TCustomWinSocket* toClient = NimboChatProbe::ClientConnection(*w);
    ASSERT_TRUE(Settle([&] { return server->bytesToWrite(); }, [&] { return toClient->PendingOutput(); }, most));
    EXPECT_GT(server->bytesToWrite(), 0) << "the relay read the server on although its client did not read";
    EXPECT_LE(most, HighWaterBytes + qint64(MaxLineBytes));
    client.Socket().setReadBufferSize(0);
    EXPECT_TRUE(WaitUntil([&] { return client.Received().size() >= flood.size(); }, 60000));
    EXPECT_TRUE(client.Received() == flood) << "lost, doubled or out of order";
}

TEST_F(RelayToServer, AServerThatStopsReadingHoldsTheClientBackAndLaterGetsEverything)
{
    server->setReadBufferSize(1);
    const QByteArray flood = Flood("PRIVMSG #leaf :");
    client.Send(flood);
    qint64 most = 0;
    TCustomWinSocket* upstreamSide = w->ClientSocket->Socket();
    ASSERT_TRUE(Settle([&] { return client.Socket().bytesToWrite(); }, [&] { return upstreamSide->PendingOutput(); },
                       most));
    EXPECT_GT(client.Socket().bytesToWrite(), 0) << "the relay read the client on although the server did not read";
    EXPECT_LE(most, HighWaterBytes + qint64(MaxLineBytes));
    server->setReadBufferSize(0);
    QByteArray got;
    EXPECT_TRUE(WaitUntil([&] { got += server->readAll(); return got.size() >= flood.size(); }, 60000));
    EXPECT_TRUE(got == flood) << "lost, doubled or out of order";
}

} // namespace
