// A session that stays on IRC for the user belongs to the user's chat client
// alone: nothing else on this machine (a web page's request, a connection
// that never registers, a client without the password) may speak for the
// user or read what was kept. And what was kept survives a restart of the
// window, but only for the server it came from.
#include "relay/probe.h"
#include "relay/stay_file.h"
#include "support_code/test_window.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

const QByteArray Welcome = ":srv 001 Taro :Welcome Taro!t@127.0.0.1\r\n:srv 376 Taro :End\r\n";
const QByteArray Kept = ":hana!h@h PRIVMSG Taro :secret\r\n";

// A window whose stay session runs through a scripted upstream, with its
// state file in a data folder of the test's own.
class StayGuard : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(data.isValid());
        qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
        ASSERT_TRUE(upstream.Listening());
    }
    void TearDown() override { w.reset(); }
    // Taro's chat client registers, is in #leaf and leaves; the server then
    // says `kept`, `lines` lines, which are kept for him.
    void Detached(const QByteArray& kept = Kept, size_t lines = 1)
    {
        w = StartTestWindow({.UpstreamPort = upstream.Port()});
        w->StayCheckBox->SetChecked(true);
        IrcClient client;
        ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
        ASSERT_TRUE(upstream.WaitConnections(1));
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
        upstream.Send(Welcome + ":Taro!t@h JOIN :#leaf\r\n");
        ASSERT_TRUE(client.WaitFor("JOIN :#leaf"));
        client.Close();
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
        upstream.Send(kept);
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == lines; }));
    }
    // What the upstream received by the time the window answered a PING
    // sent after everything before it was handled.
    QByteArray UpstreamGot()
    {
        upstream.Send("PING :mark\r\n");
        EXPECT_TRUE(upstream.WaitFor("PONG :mark"));
        return upstream.Received();
    }
    // A chat client's registration; true once it got the kept private line.
    bool Attaches(IrcClient& client, const QByteArray& pass = {})
    {
        if (!client.Connect(w->ServerSocket->Port))
            return false;
        client.Send((pass.isEmpty() ? "" : "PASS " + pass + "\r\n") + "NICK Taro\r\nUSER taro 0 * :Taro\r\n");
        return client.WaitFor("PRIVMSG Taro :[") && client.WaitFor("secret");
    }
    QTemporaryDir data;
    ScriptedServer upstream;
    std::unique_ptr<TNimboChat> w;
};

TEST_F(StayGuard, AWebPagesRequestIsClosedAndReadsNothing)
{
    ASSERT_NO_FATAL_FAILURE(Detached());
    const QByteArray port = QByteArray::number(w->ServerSocket->Port);
    const QByteArray body = "NICK Taro\r\nUSER taro 0 * :Taro\r\nPRIVMSG #leaf :hi\r\n";
    const QByteArray requests[] = {
        // curl -d 'PRIVMSG #leaf :hi' http://127.0.0.1:PORT/
        "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + port +
            "\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\nContent-Length: 17\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n\r\nPRIVMSG #leaf :hi",
        // a page's fetch() whose body registers as a chat client would
        "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + port +
            "\r\nOrigin: http://evil.example\r\nContent-Type: text/plain;charset=UTF-8\r\nContent-Length: " +
            QByteArray::number(body.size()) + "\r\n\r\n" + body,
    };
    for (const QByteArray& request : requests) {
        IrcClient page;
        ASSERT_TRUE(page.Connect(w->ServerSocket->Port));
        page.Send(request);
        EXPECT_TRUE(page.WaitClosed());
        EXPECT_FALSE(page.Received().contains("secret")) << page.Received().toStdString();
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    }
    EXPECT_TRUE(LogContains(*w, "HTTP request on the chat client port: connection closed", clRed));
    const QByteArray got = UpstreamGot();
    EXPECT_FALSE(got.contains("POST")) << got.toStdString();
    EXPECT_FALSE(got.contains("PRIVMSG #leaf")) << got.toStdString();
    EXPECT_EQ(NimboChatProbe::KeptLines(*w), 1u);
    IrcClient taro;
    EXPECT_TRUE(Attaches(taro)) << taro.Received().toStdString();
}

TEST_F(StayGuard, ARequestForANewSessionSendsNothingUpstream)
{
    w = StartTestWindow({.UpstreamPort = upstream.Port()});
    IrcClient page;
    ASSERT_TRUE(page.Connect(w->ServerSocket->Port));
    page.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n");
    EXPECT_TRUE(page.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return LogContains(*w, "HTTP request on the chat client port", clRed); }));
    EXPECT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle && !w->ClientSocket->Active(); }));
    // Whatever connection the client's arrival opened is closed with nothing on it.
    if (upstream.Connections() > 0) {
        EXPECT_TRUE(WaitUntil([&] {
            upstream.Received();
            return upstream.Current()->state() == QAbstractSocket::UnconnectedState;
        }));
        EXPECT_TRUE(upstream.Received().isEmpty()) << upstream.Received().toStdString();
    }
}

TEST_F(StayGuard, AConnectionThatNeverRegistersGetsNothingAndSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(Detached());
    IrcClient raw;
    ASSERT_TRUE(raw.Connect(w->ServerSocket->Port));
    raw.Send("PRIVMSG #leaf :x\r\nJOIN #evil\r\n");
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, "JOIN #evil"); }));
    const QByteArray got = UpstreamGot();
    EXPECT_FALSE(got.contains("PRIVMSG #leaf")) << got.toStdString();
    EXPECT_FALSE(got.contains("JOIN #evil")) << got.toStdString();
    EXPECT_FALSE(raw.Received().contains("secret")) << raw.Received().toStdString();
    raw.Close();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    EXPECT_EQ(NimboChatProbe::KeptLines(*w), 1u);
}

TEST_F(StayGuard, TheStayPasswordIsAskedForAndNeverShown)
{
    ASSERT_NO_FATAL_FAILURE(Detached());
    NimboChatProbe::StayPassword(*w) = "sesame-42";
    for (const QByteArray& pass : {QByteArray(), QByteArray("sesame-41")}) {
        IrcClient intruder;
        ASSERT_TRUE(intruder.Connect(w->ServerSocket->Port));
        intruder.Send((pass.isEmpty() ? "" : "PASS " + pass + "\r\n") +
                      "NICK Taro\r\nUSER taro 0 * :Taro\r\nPRIVMSG #leaf :sneak\r\n");
        EXPECT_TRUE(intruder.WaitFor(" 464 Taro ")) << intruder.Received().toStdString();
        EXPECT_TRUE(intruder.WaitClosed());
        EXPECT_FALSE(intruder.Received().contains("secret"));
        EXPECT_FALSE(intruder.Received().contains(" 001 "));
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
        EXPECT_EQ(NimboChatProbe::KeptLines(*w), 1u);
    }
    EXPECT_TRUE(LogContains(*w, "Chat client refused: wrong or missing password (PASS)", clRed));
    IrcClient taro;
    EXPECT_TRUE(Attaches(taro, "sesame-42")) << taro.Received().toStdString();
    const QByteArray got = UpstreamGot();
    EXPECT_FALSE(got.contains("PASS")) << got.toStdString();
    EXPECT_FALSE(got.contains("sneak")) << got.toStdString();
    EXPECT_TRUE(LogContains(*w, "PASS ****", clGreen));
    for (int i = 0; i < w->LogRichEdit->LineTextCount(); ++i)
        EXPECT_EQ(w->LogRichEdit->LineText(i).find("sesame"), AnsiString::npos) << w->LogRichEdit->LineText(i);
}

TEST_F(StayGuard, AnAttachingClientsRegistrationStaysHere)
{
    ASSERT_NO_FATAL_FAILURE(Detached());
    IrcClient irssi;
    ASSERT_TRUE(irssi.Connect(w->ServerSocket->Port));
    irssi.Send("CAP LS 302\r\nNICK Taro\r\nUSER taro 0 * :Taro\r\nJOIN :\r\n");
    ASSERT_TRUE(irssi.WaitFor("CAP * LS"));
    irssi.Send("CAP REQ :server-time\r\nCAP END\r\n");
    ASSERT_TRUE(irssi.WaitFor("PRIVMSG Taro :secret"));
    // Attached, its lines go on: the first that reaches the upstream is this.
    irssi.Send("PRIVMSG #leaf :back\r\n");
    ASSERT_TRUE(upstream.WaitFor("PRIVMSG #leaf :back\r\n"));
    EXPECT_TRUE(upstream.Received().startsWith("PRIVMSG #leaf :back")) << upstream.Received().toStdString();
}

// ---- A restart.

// Stores the test settings with the stay switch on, as the user left it.
void StoreStaySettings(quint16 upstreamPort)
{
    StoreTestSettings({.UpstreamPort = upstreamPort});
    TRegistryKey key;
    ASSERT_TRUE(key.Open("\\SOFTWARE\\Orvane\\NimboChat", true));
    ASSERT_TRUE(key.WriteNumber("StayCheck", 1));
}

TEST_F(StayGuard, ARestartedWindowTakesUpTheSession)
{
    ASSERT_NO_FATAL_FAILURE(Detached(":hana!h@h PRIVMSG #leaf :before the restart\r\n" + Kept, 2));
    w.reset(); // its exit saves the session, and the settings with the switch on
    ASSERT_TRUE(QFile::exists(StayFilePath()));
    w = std::make_unique<TNimboChat>(nullptr);
    w->Show();
    ASSERT_TRUE(upstream.WaitConnections(2)) << "no new connection to the server";
    EXPECT_TRUE(upstream.WaitFor("NICK Taro\r\n")) << upstream.Received().toStdString();
    upstream.Send(Welcome);
    EXPECT_TRUE(upstream.WaitFor("JOIN #leaf\r\n")) << upstream.Received().toStdString();
    upstream.Send(":Taro!t@h JOIN :#leaf\r\n");
    IrcClient taro;
    EXPECT_TRUE(Attaches(taro)) << taro.Received().toStdString();
    EXPECT_TRUE(taro.Received().contains("before the restart"));
}

// A stay file that is not to be taken up: damaged, or of another server.
class StayFileSetAside : public StayGuard, public ::testing::WithParamInterface<bool> {};

TEST_P(StayFileSetAside, IsKeptAsideAndNothingIsTakenUp)
{
    const bool otherServer = GetParam();
    const QString path = StayFilePath();
    if (otherServer) {
        TStayFile other{"127.0.0.1", upstream.Port() == 9999 ? 9998 : upstream.Port() + 1, {}};
        other.State.Nick = "Taro";
        other.State.Channels.push_back({"#leaf", "", ""});
        other.State.Conversations.push_back({"Taro", {{":hana!h@h PRIVMSG Taro :secret", 1}}});
        QString error;
        ASSERT_TRUE(SaveStayFile(path, other, error)) << error.toStdString();
    } else {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\x00\xffNimbo garbage\x01\x02\r\n", 20).repeated(7));
    }
    QByteArray before;
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        before = f.readAll();
    }
    ASSERT_NO_FATAL_FAILURE(StoreStaySettings(upstream.Port()));
    w = std::make_unique<TNimboChat>(nullptr);
    w->Show();
    EXPECT_TRUE(LogContains(*w, "Stay session not taken up: ", clRed));
    EXPECT_EQ(LogContains(*w, "it belongs to 127.0.0.1:", clRed), otherServer);
    EXPECT_FALSE(QFile::exists(path));
    const QStringList aside = QDir(QFileInfo(path).path()).entryList({"stay-session.damaged-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1) << aside.join(' ').toStdString();
    QFile kept(QFileInfo(path).dir().filePath(aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), before);
    // Once the window's first timers have run, a connection of the test's
    // own is the first the upstream accepts: the window made none.
    bool turned = false;
    QTimer::singleShot(0, [&] { turned = true; });
    ASSERT_TRUE(WaitUntil([&] { return turned; }));
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_FALSE(w->ClientSocket->Active() || w->ClientSocket->Connecting());
    QTcpSocket own;
    own.connectToHost(QHostAddress::LocalHost, upstream.Port());
    ASSERT_TRUE(own.waitForConnected(5000));
    ASSERT_TRUE(upstream.WaitConnections(1));
    EXPECT_EQ(upstream.Current()->peerPort(), own.localPort()) << "the window connected to the server";
}

INSTANTIATE_TEST_SUITE_P(DamagedOrOfAnotherServer, StayFileSetAside, ::testing::Values(false, true));

TEST_F(StayGuard, AnUnwritableDataFolderStillLetsTheWindowCloseAndSaveItsSettings)
{
    QFile blocker(data.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_DATA_HOME", data.filePath("file/data").toLocal8Bit());
    ASSERT_NO_FATAL_FAILURE(Detached());
    w.reset();
    EXPECT_FALSE(QFile::exists(StayFilePath()));
    TRegistryKey key;
    std::int32_t stay = 0;
    ASSERT_TRUE(key.Open("\\SOFTWARE\\Orvane\\NimboChat", false));
    EXPECT_TRUE(key.ReadNumber("StayCheck", stay));
    EXPECT_EQ(stay, 1) << "the settings were not written after the failed save";
}

} // namespace
