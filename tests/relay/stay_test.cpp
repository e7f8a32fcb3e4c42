// A relay session that stays on the server when its chat client leaves, and
// plays back what the client missed when it comes back: with ngircd and a
// JIS user, and with a scripted server for the bounds and the edges.
#include "relay/probe.h"
#include "support_code/irssi_client.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include <QHostAddress>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <sys/socket.h>

namespace {

const QByteArray JisNihon = "#\x1B$BF|K\\\x1B(B";    // #日本 in JIS
const QByteArray Utf8Nihon = "#\xE6\x97\xA5\xE6\x9C\xAC"; // and in UTF-8
const QByteArray JisHello = "\x1B$B$3$s$K$A$O\x1B(B"; // こんにちは
const QByteArray Utf8Hello = "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF";

// Taro's UTF-8 client through NimboChat, Hana's JIS client straight to
// ngircd, both in #leaf and #日本; Taro's client then leaves.
class StayWithNgircd : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(irc.Started());
        w = StartTestWindow({.UpstreamPort = irc.Port()});
        w->Utf8CheckBox->SetChecked(true);
        w->StayCheckBox->SetChecked(true);
        ASSERT_TRUE(taro.Connect(w->ServerSocket->Port));
        ASSERT_TRUE(taro.Register("Taro", 10000));
        taro.Send("JOIN #leaf\r\nJOIN " + Utf8Nihon + "\r\n");
        ASSERT_TRUE(taro.WaitFor("366 Taro " + Utf8Nihon));
        ASSERT_TRUE(hana.Connect(irc.Port()));
        ASSERT_TRUE(hana.Register("Hana"));
        hana.Send("JOIN #leaf\r\nJOIN " + JisNihon + "\r\nTOPIC #leaf :" + JisHello + " topic\r\n");
        ASSERT_TRUE(hana.WaitFor("366 Hana " + JisNihon));
        ASSERT_TRUE(taro.WaitFor("TOPIC #leaf"));
        taro.Close();
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    }
    // What Hana says while Taro is away: 10 lines in each channel, 2 to him.
    std::vector<QByteArray> SayWhileAway()
    {
        std::vector<QByteArray> said;
        for (int i = 0; i < 10; ++i)
            for (const QByteArray& target : {QByteArray("#leaf"), JisNihon})
                said.push_back("PRIVMSG " + target + " :" + JisHello + " " + QByteArray::number(i));
        said.push_back("PRIVMSG Taro :" + JisHello + " private 1");
        said.push_back("PRIVMSG Taro :\x01" "ACTION waves\x01");
        for (const QByteArray& line : said) // ngircd paces them itself
            hana.Send(line + "\r\n");
        return said;
    }
    NgircdServer irc;
    std::unique_ptr<TNimboChat> w;
    IrcClient taro, hana;
};

TEST_P(StayWithNgircd, TheClientComesBackToWhatItMissed)
{
    const bool serverTime = GetParam();
    const std::vector<QByteArray> said = SayWhileAway();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == said.size(); }, 30000));

    IrcClient back;
    ASSERT_TRUE(back.Connect(w->ServerSocket->Port));
    back.Send(serverTime ? "CAP LS 302\r\nNICK Taro\r\nUSER taro 0 * :Taro\r\nCAP REQ :server-time\r\nCAP END\r\n"
                         : "NICK Taro\r\nUSER taro 0 * :Taro\r\n");
    ASSERT_TRUE(back.WaitFor("private 1"));
    ASSERT_TRUE(back.WaitFor("ACTION "));
    if (serverTime) {
        EXPECT_TRUE(back.Received().contains("CAP * ACK :server-time"));
    }
    // The welcome, then each channel: its JOIN, topic and names, then its lines.
    const QByteArray got = back.Received();
    const qsizetype welcome = got.indexOf(" 001 Taro ");
    const qsizetype join = got.indexOf("JOIN :#leaf");
    const qsizetype topic = got.indexOf(" 332 Taro #leaf :" + Utf8Hello + " topic");
    const qsizetype names = got.indexOf(" 366 Taro #leaf");
    const qsizetype first = got.indexOf("PRIVMSG #leaf :");
    EXPECT_TRUE(welcome >= 0 && welcome < join && join < topic && topic < names && names < first) << got.toStdString();
    EXPECT_LT(got.indexOf("JOIN :" + Utf8Nihon), got.indexOf("PRIVMSG " + Utf8Nihon + " :"));
    // Each channel's lines in order, in UTF-8, each with the time it arrived.
    for (const QByteArray& target : {QByteArray("#leaf"), Utf8Nihon}) {
        qsizetype at = got.indexOf(" 366 Taro " + target);
        for (int i = 0; i < 10; ++i) {
            const QByteArray text = Utf8Hello + " " + QByteArray::number(i);
            const qsizetype found = got.indexOf("PRIVMSG " + target + " :" + (serverTime ? "" : "["), at);
            ASSERT_GE(found, at) << "line " << i << " to " << target.toStdString() << " missing or out of order";
            EXPECT_TRUE(got.mid(found, 80).contains(text));
            at = found + 1;
        }
    }
    if (serverTime) {
        EXPECT_EQ(got.count("@time="), 22);
    } else {
        EXPECT_TRUE(got.contains("\x01" "ACTION [")) << "an action's time goes after ACTION";
    }
    // Live lines follow, as they come.
    hana.Send("PRIVMSG #leaf :live\r\n");
    EXPECT_TRUE(back.WaitFor("PRIVMSG #leaf :live\r\n"));
    // The server never saw Taro leave or come back.
    hana.Send("PING :check\r\n");
    ASSERT_TRUE(hana.WaitFor("PONG"));
    EXPECT_FALSE(hana.Received().contains(":Taro!")) << hana.Received().toStdString();
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutServerTime, StayWithNgircd, ::testing::Values(false, true));

// irssi, killed as a crash would end it, comes back through NimboChat and
// shows in its channel log what was said while it was away.
TEST(StayWithIrssi, IrssiComesBackToWhatItMissed)
{
    if (!IrssiClient::Installed())
        GTEST_SKIP() << "irssi or script is not installed (scripts/setup installs them)";
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    auto w = StartTestWindow({.UpstreamPort = irc.Port()});
    w->Utf8CheckBox->SetChecked(true);
    w->StayCheckBox->SetChecked(true);
    IrcClient hana;
    ASSERT_TRUE(hana.Connect(irc.Port()));
    ASSERT_TRUE(hana.Register("Hana"));
    ASSERT_TRUE(hana.Join(JisNihon));
    {
        IrssiClient irssi(w->ServerSocket->Port, "/join #日本");
        ASSERT_TRUE(irssi.Start());
        ASSERT_TRUE(hana.WaitFor(":Jiro!", 15000)); // its JOIN
    }
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    hana.Send("PRIVMSG " + JisNihon + " :" + JisHello + " Jiro, are you there?\r\n");
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == 1u; }));
    IrssiClient again(w->ServerSocket->Port, "");
    ASSERT_TRUE(again.Start());
    EXPECT_TRUE(again.Logged("#日本", Utf8Hello + " Jiro, are you there?", 15000));
    EXPECT_TRUE(LogContains(*w, "Played back 1 lines", clBlue)) << "it came as a live line";
    EXPECT_EQ(hana.Received().count(":Jiro!"), 1) << "the server saw Jiro leave or come back";
}

// A scripted server that welcomes Taro and echoes his JOIN of #leaf.
class StayScripted : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ListenOnLowPort(upstream));
        w = StartTestWindow({.UpstreamPort = upstream.serverPort()});
        w->StayCheckBox->SetChecked(true);
        ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
        ASSERT_TRUE(WaitUntil([&] { return upstream.hasPendingConnections(); }));
        server.reset(upstream.nextPendingConnection());
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
        FromServer(":srv 001 Taro :Welcome Taro!t@127.0.0.1\r\n:srv 376 Taro :End\r\n:Taro!t@h JOIN :#leaf\r\n");
        ASSERT_TRUE(client.WaitFor("JOIN :#leaf"));
        client.Close();
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    }
    void FromServer(const QByteArray& bytes)
    {
        server->write(bytes);
        server->flush();
    }
    bool ServerGot(const QByteArray& needle)
    {
        return WaitUntil([&] { return (atServer += server->readAll()).contains(needle); });
    }
    QTcpServer upstream;
    std::unique_ptr<TNimboChat> w;
    IrcClient client;
    std::unique_ptr<QTcpSocket> server;
    QByteArray atServer;
};

TEST_F(StayScripted, KeepsTheNewest500Lines)
{
    QByteArray burst;
    for (int i = 0; i < 2000; ++i)
        burst += ":hana!h@h PRIVMSG #leaf :line " + QByteArray::number(10000 + i) + "\r\n";
    FromServer(burst);
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, "line 11999"); }, 20000));
    const std::vector<TKeptLine> kept = NimboChatProbe::Stay(*w).KeptIn("#leaf");
    ASSERT_EQ(kept.size(), TStayLimits().LinesPerConversation);
    EXPECT_EQ(kept.front().Line, ":hana!h@h PRIVMSG #leaf :line 11500");
}

// A client that asks for another nick learns the real one; a second client
// while one is attached is turned away; the program's own session goes on
// meanwhile (DisConnect sends QUIT); a server that closes ends it.
TEST_F(StayScripted, AttachingAndEnding)
{
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssDirect);
    EXPECT_TRUE(w->KillButton->Enabled());
    IrcClient back;
    ASSERT_TRUE(back.Connect(w->ServerSocket->Port));
    back.Send("NICK Jiro\r\nUSER jiro 0 * :Jiro\r\n");
    ASSERT_TRUE(back.WaitFor(":Jiro NICK :Taro\r\n"));
    EXPECT_TRUE(back.Received().startsWith(":srv 001 Taro :Welcome"));
    EXPECT_FALSE(atServer.contains("NICK")) << "the registration went upstream";
    IrcClient second;
    ASSERT_TRUE(second.Connect(w->ServerSocket->Port));
    EXPECT_TRUE(second.WaitFor("Connecting Error\r\n"));
    back.Close();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    w->ConnectButton->Click(); // DisConnect
    EXPECT_TRUE(ServerGot("QUIT byebye\r\n"));
    server->disconnectFromHost();
    EXPECT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_FALSE(w->KillButton->Enabled());
}

// A chat client whose connection is reset and that connects again at once
// comes before NimboChat has handled the reset: it is attached all the same.
TEST_F(StayScripted, AClientThatReconnectsAtOnceIsAttached)
{
    IrcClient back;
    ASSERT_TRUE(back.Connect(w->ServerSocket->Port));
    back.Send("NICK Taro\r\nUSER taro 0 * :Taro\r\n");
    ASSERT_TRUE(back.WaitFor(":srv 001 Taro"));
    // A reset, as a chat client that crashes leaves it, and a new connection
    // made before the event loop turns again (waitForConnected runs no
    // events): the listener's event comes first.
    const linger reset{1, 0};
    ASSERT_EQ(setsockopt(static_cast<int>(back.Socket().socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                         sizeof reset),
              0);
    back.Socket().abort();
    IrcClient again;
    again.Socket().connectToHost(QHostAddress::LocalHost, w->ServerSocket->Port);
    ASSERT_TRUE(again.Socket().waitForConnected(5000));
    again.Send("NICK Taro\r\nUSER taro 0 * :Taro\r\n");
    EXPECT_TRUE(again.WaitFor(":srv 001 Taro")) << again.Received().toStdString();
    EXPECT_FALSE(again.Received().contains("Connecting Error"));
}

} // namespace
