// A stay session through a server that goes away: ngircd stopped and
// started again, frozen with SIGSTOP, a nick taken meanwhile, a ban; and a
// server that puts IRCv3 tags before every line.
#include "relay/probe.h"
#include "support_code/irssi_client.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include <gtest/gtest.h>

namespace {

const QByteArray JisNihon = "#\x1B$BF|K\\\x1B(B";    // #日本 in JIS
const QByteArray Utf8Nihon = "#\xE6\x97\xA5\xE6\x9C\xAC"; // and in UTF-8

// A try to reach the server again comes within the first wait and its jitter.
constexpr int BackWithinMs = 20000;

// Taro's UTF-8 client through NimboChat in #leaf and #日本, Hana straight
// to ngircd in both.
class StayThroughRestarts : public ::testing::Test {
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
        ASSERT_TRUE(JoinHana());
    }
    bool JoinHana()
    {
        hana = std::make_unique<IrcClient>();
        return hana->Connect(irc.Port()) && hana->Register("Hana") && hana->Join("#leaf") && hana->Join(JisNihon);
    }
    // ngircd goes and comes back; Hana joins again.
    void Restart()
    {
        irc.Stop();
        ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, "Server connection lost", clRed); }));
        ASSERT_TRUE(irc.Start());
        ASSERT_TRUE(JoinHana());
    }
    // Hana sees Taro back in both channels.
    bool TaroBack(const QByteArray& nick = "Taro")
    {
        return hana->WaitFor(":" + nick + "!", BackWithinMs) &&
               WaitUntil([&] { return NimboChatProbe::Stay(*w).ChannelNames().size() == 2; }, BackWithinMs) &&
               hana->WaitFor("JOIN :" + JisNihon, BackWithinMs);
    }
    NgircdServer irc;
    std::unique_ptr<TNimboChat> w;
    IrcClient taro;
    std::unique_ptr<IrcClient> hana;
};

TEST_F(StayThroughRestarts, DetachedTheSessionComesBackWithEverythingKept)
{
    taro.Close();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    hana->Send("PRIVMSG #leaf :before the restart\r\nPRIVMSG Taro :a private word\r\n");
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == 2; }));
    Restart();
    ASSERT_TRUE(TaroBack());
    EXPECT_TRUE(LogContains(*w, "Reconnecting to 127.0.0.1", clGreen));
    EXPECT_TRUE(LogContains(*w, "Back on the server as Taro", clBlue));
    hana->Send("PRIVMSG " + JisNihon + " :after the restart\r\n");
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == 3; }));

    IrcClient back;
    ASSERT_TRUE(back.Connect(w->ServerSocket->Port));
    back.Send("NICK Taro\r\nUSER taro 0 * :Taro\r\n");
    ASSERT_TRUE(back.WaitFor("after the restart"));
    const QByteArray got = back.Received();
    EXPECT_TRUE(got.contains("JOIN :#leaf") && got.contains("JOIN :" + Utf8Nihon)) << got.toStdString();
    EXPECT_LT(got.indexOf("JOIN :#leaf"), got.indexOf("before the restart"));
    // The private conversation comes after the channels, from its sender.
    EXPECT_GT(got.indexOf("PRIVMSG Taro :["), got.indexOf("after the restart")) << got.toStdString();
    EXPECT_TRUE(back.LineWith("PRIVMSG Taro :[").startsWith(":Hana!"));
}

TEST_F(StayThroughRestarts, AttachedTheClientStaysConnectedAndIsToldWhatHappens)
{
    Restart();
    EXPECT_TRUE(taro.WaitFor("NOTICE Taro :NimboChat: ")) << "the client was not told of the drop";
    // What it sends while there is no server comes back as not sent.
    taro.Send("PRIVMSG #leaf :into the void\r\n");
    EXPECT_TRUE(taro.WaitFor("PRIVMSG #leaf :into the void"));
    ASSERT_TRUE(TaroBack());
    // The rejoin reaches the client as the server sends it.
    EXPECT_TRUE(taro.WaitFor("366 Taro " + Utf8Nihon));
    EXPECT_TRUE(taro.Socket().state() == QAbstractSocket::ConnectedState);
    taro.Send("PRIVMSG #leaf :back again\r\n");
    EXPECT_TRUE(hana->WaitFor("PRIVMSG #leaf :back again"));
    EXPECT_FALSE(hana->Received().contains("into the void"));
}

TEST_F(StayThroughRestarts, ANickTakenMeanwhileIsTriedWithAnUnderscore)
{
    irc.Stop();
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, "Server connection lost", clRed); }));
    ASSERT_TRUE(irc.Start());
    IrcClient impostor; // comes before NimboChat's try
    ASSERT_TRUE(impostor.Connect(irc.Port()));
    ASSERT_TRUE(impostor.Register("Taro"));
    ASSERT_TRUE(JoinHana());
    ASSERT_TRUE(TaroBack("Taro_"));
    EXPECT_TRUE(taro.WaitFor(":Taro NICK :Taro_")) << taro.Received().toStdString();
    EXPECT_EQ(NimboChatProbe::Stay(*w).WantedNick(), "Taro");
    EXPECT_GE(NimboChatProbe::Stay(*w).NextServerLineAt(), 0) << "the own nick is not asked for again";
}

TEST_F(StayThroughRestarts, AFrozenServerIsFoundDeadAndReachedAgain)
{
    w->PingAfterMs = 500;
    w->DeadAfterMs = 500;
    taro.Close();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    ASSERT_TRUE(irc.Pause());
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, "PING :nimbochat-keepalive", clGreen); }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, "No answer from 127.0.0.1", clRed); }, 5000));
    irc.Resume();
    w->PingAfterMs = 120000; // a resumed ngircd answers slowly at first
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, "Back on the server as", clBlue); }, 3 * BackWithinMs));
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Stay(*w).ChannelNames().size() == 2; }, BackWithinMs));
}

// irssi killed as a crash ends it, the server restarted meanwhile: irssi
// started again shows each line in its window, the private one in a query.
TEST(StayIrssiThroughARestart, ShowsTheLinesInTheirWindows)
{
    if (!IrssiClient::Installed())
        GTEST_SKIP() << "irssi or script is not installed (scripts/setup installs them)";
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    auto w = StartTestWindow({.UpstreamPort = irc.Port()});
    w->Utf8CheckBox->SetChecked(true);
    w->StayCheckBox->SetChecked(true);
    {
        IrssiClient irssi(w->ServerSocket->Port, "/join #日本");
        ASSERT_TRUE(irssi.Start());
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Stay(*w).ChannelNames().size() == 1; }, 15000));
    }
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    IrcClient hana;
    ASSERT_TRUE(hana.Connect(irc.Port()) && hana.Register("Hana") && hana.Join(JisNihon));
    hana.Send("PRIVMSG " + JisNihon + " :before\r\n");
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == 1; }));
    irc.Stop();
    ASSERT_TRUE(irc.Start());
    IrcClient hana2;
    ASSERT_TRUE(hana2.Connect(irc.Port()) && hana2.Register("Hana") && hana2.Join(JisNihon));
    ASSERT_TRUE(hana2.WaitFor(":Jiro!", BackWithinMs));
    hana2.Send("PRIVMSG " + JisNihon + " :after\r\nPRIVMSG Jiro :just to you\r\n");
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == 3; }));
    IrssiClient again(w->ServerSocket->Port, "");
    ASSERT_TRUE(again.Start());
    EXPECT_TRUE(again.Logged("#日本", "before", 15000));
    EXPECT_TRUE(again.Logged("#日本", "after"));
    EXPECT_TRUE(again.Logged("hana", "just to you"));
}

// A server of the test's own that tags every line, as networks with
// server-time do, and bans the user on the way back.
class StayTagged : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(upstream.Listening());
        w = StartTestWindow({.UpstreamPort = upstream.Port()});
        w->StayCheckBox->SetChecked(true);
        ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
        ASSERT_TRUE(upstream.WaitConnections(1));
        ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
        client.Send("CAP LS 302\r\nNICK Taro\r\nUSER t 0 * :T\r\n");
        ASSERT_TRUE(upstream.WaitFor("USER t"));
        Tagged(":srv CAP * LS :server-time multi-prefix sasl");
        client.Send("CAP REQ :server-time multi-prefix\r\nCAP END\r\n");
        ASSERT_TRUE(upstream.WaitFor("CAP END"));
        Tagged(":srv CAP Taro ACK :server-time multi-prefix");
        Tagged(":srv 001 Taro :Welcome Taro!t@127.0.0.1");
        Tagged(":srv 005 Taro CASEMAPPING=rfc1459 PREFIX=(ov)@+ :are supported");
        Tagged(":srv 376 Taro :End");
        Tagged(":Taro!t@h JOIN :#leaf");
        Tagged(":srv 353 Taro = #leaf :@hana Taro");
        Tagged(":srv 366 Taro #leaf :End");
        ASSERT_TRUE(client.WaitFor("366 Taro #leaf"));
        client.Close();
        ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::Detached(*w); }));
    }
    void Tagged(const QByteArray& line)
    {
        upstream.Send("@time=2026-12-08T10:00:00.000Z;msgid=m" + QByteArray::number(++tagged) + " " + line + "\r\n");
    }
    ScriptedServer upstream;
    std::unique_ptr<TNimboChat> w;
    IrcClient client;
    int tagged = 0;
};

TEST_F(StayTagged, DetachedItAnswersAndKeepsAndTheClientComesBackWhole)
{
    Tagged("PING :are-you-there");
    EXPECT_TRUE(upstream.WaitFor("PONG :are-you-there"));
    Tagged(":hana!h@h PRIVMSG Taro :\x01VERSION\x01");
    EXPECT_TRUE(upstream.WaitFor("NOTICE hana :\x01VERSION"));
    Tagged(":hana!h@h PRIVMSG #leaf :hello while away");
    Tagged(":hana!h@h PRIVMSG Taro hello");
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == 2; }));

    IrcClient back;
    ASSERT_TRUE(back.Connect(w->ServerSocket->Port));
    back.Send("CAP LS 302\r\nNICK Taro\r\nUSER t 0 * :T\r\n");
    ASSERT_TRUE(back.WaitFor("CAP * LS :"));
    const QByteArray offered = back.LineWith("CAP * LS :");
    EXPECT_FALSE(offered.contains("sasl")) << offered.toStdString();
    EXPECT_EQ(offered.count("server-time"), 1) << offered.toStdString();
    back.Send("CAP REQ :server-time\r\nCAP END\r\n");
    ASSERT_TRUE(back.WaitFor(":hana!h@h PRIVMSG Taro hello\r\n"));
    const QByteArray got = back.Received();
    EXPECT_TRUE(got.contains(" 001 Taro :Welcome")) << got.toStdString();
    EXPECT_TRUE(got.contains("353 Taro = #leaf :@hana Taro")) << got.toStdString();
    const QByteArray kept = back.LineWith("hello while away");
    EXPECT_TRUE(kept.startsWith("@time=")) << kept.toStdString();
    EXPECT_EQ(kept.count("time="), 1) << kept.toStdString();
    EXPECT_EQ(upstream.Received().count("NICK Taro"), 1) << "the registration went upstream";
}

// An attach to 20 channels asks the server nothing: a server with flood
// limits has no reason to drop the user for it.
TEST_F(StayTagged, AnAttachTo20ChannelsIsAnsweredFromWhatTheSessionKnows)
{
    for (int i = 0; i < 20; ++i) {
        const QByteArray channel = "#c" + QByteArray::number(i);
        Tagged(":Taro!t@h JOIN :" + channel);
        Tagged(":srv 332 Taro " + channel + " :topic " + QByteArray::number(i));
        Tagged(":srv 353 Taro = " + channel + " :@hana Taro");
        Tagged(":srv 366 Taro " + channel + " :End");
        Tagged(":hana!h@h PRIVMSG " + channel + " :kept " + QByteArray::number(i));
    }
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::KeptLines(*w) == 20; }));
    const qsizetype before = upstream.Received().size();
    IrcClient back;
    ASSERT_TRUE(back.Connect(w->ServerSocket->Port));
    back.Send("NICK Taro\r\nUSER t 0 * :T\r\n");
    ASSERT_TRUE(back.WaitFor("PRIVMSG #c19 :[")) << back.Received().toStdString();
    EXPECT_TRUE(back.Received().contains(" 332 Taro #c19 :topic 19"));
    EXPECT_EQ(back.Received().count(" 366 Taro #c"), 20);
    Tagged("PING :after-the-attach");
    ASSERT_TRUE(upstream.WaitFor("PONG :after-the-attach"));
    EXPECT_EQ(upstream.Received().mid(before), "PONG :after-the-attach\r\n");
}

TEST_F(StayTagged, ABanOnTheWayBackEndsTheRetries)
{
    upstream.DropCurrent();
    ASSERT_TRUE(upstream.WaitConnections(2, BackWithinMs));
    ASSERT_TRUE(upstream.WaitFor("NICK Taro"));
    EXPECT_TRUE(upstream.Received().startsWith("CAP LS 302\r\n")) << upstream.Received().toStdString();
    Tagged(":srv CAP * LS :server-time multi-prefix sasl");
    ASSERT_TRUE(upstream.WaitFor("CAP REQ :"));
    EXPECT_FALSE(upstream.Received().contains("sasl")) << upstream.Received().toStdString();
    Tagged(":srv 465 Taro :You are banned from this server");
    upstream.DropCurrent();
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_TRUE(LogContains(*w, "You are banned", clRed));
    EXPECT_FALSE(w->ReconnectTimer->Enabled());
    EXPECT_TRUE(w->ConnectButton->Enabled());
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
}

TEST_F(StayTagged, DisConnectStopsTheRetriesAtOnce)
{
    upstream.DropCurrent();
    ASSERT_TRUE(WaitUntil([&] { return w->ReconnectTimer->Enabled(); }));
    w->ConnectButton->Click();
    EXPECT_FALSE(w->ReconnectTimer->Enabled());
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
    EXPECT_TRUE(LogContains(*w, "Reconnecting stopped", clBlue));
}

} // namespace
