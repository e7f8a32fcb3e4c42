// Relay sessions end to end: a chat client through NimboChat and a second
// user straight on ngircd, all on 127.0.0.1.
#include "relay/probe.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include <gtest/gtest.h>

namespace {

class RelayWithServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(irc.Started()) << "ngircd did not start";
        w = StartTestWindow({.UpstreamPort = irc.Port()});
        relayPort = w->ServerSocket->Port;
        ASSERT_TRUE(hana.Connect(irc.Port()));
        ASSERT_TRUE(hana.Register("Hana"));
        ASSERT_TRUE(hana.Join("#leaf"));
        ASSERT_TRUE(taro.Connect(relayPort));
        ASSERT_TRUE(taro.Register("Taro"));
        ASSERT_EQ(NimboChatProbe::SessionState(*w), ssRelay);
        ASSERT_TRUE(taro.Join("#leaf"));
        ASSERT_TRUE(hana.WaitFor("JOIN"));
    }

    NgircdServer irc;
    std::unique_ptr<TNimboChat> w;
    quint16 relayPort = 0;
    IrcClient hana;
    IrcClient taro;
};

TEST_F(RelayWithServer, ChatArrivesByteExactBothWays)
{
    const QByteArray jisFromTaro = "\x1B$B\x24\x33\x24\x73\x24\x4B\x24\x41\x24\x4F\x1B(B hana";
    taro.Send("PRIVMSG #leaf :" + jisFromTaro + "\r\n");
    ASSERT_TRUE(hana.WaitFor("PRIVMSG #leaf :" + jisFromTaro + "\r\n"));
    EXPECT_TRUE(LogContains(*w, "PRIVMSG #leaf :" + Sjis("こんにちは") + " hana", clBlack));

    const QByteArray jisFromHana = "\x1B$B\x24\x22\x24\x24\x24\x26\x1B(B taro";
    hana.Send("PRIVMSG #leaf :" + jisFromHana + "\r\n");
    ASSERT_TRUE(taro.WaitFor("PRIVMSG #leaf :" + jisFromHana + "\r\n"));
    EXPECT_TRUE(LogContains(*w, ":Hana!", clBlack));
    EXPECT_TRUE(LogContains(*w, " 001 Taro ", clGreen));
}

TEST_F(RelayWithServer, WelcomeFillsTheGlobalAddressAndIsForwarded)
{
    // ngircd's welcome ends in Taro!~taro@localhost (DNS is off: the address).
    EXPECT_TRUE(WaitUntil([&] { return w->GlobalEdit->Text() == "127.0.0.1"; }));
    EXPECT_FALSE(taro.LineWith(" 001 Taro ").isEmpty());
}

TEST_F(RelayWithServer, CtcpVersionAndPingAnsweredOthersForwarded)
{
    hana.Send("PRIVMSG Taro :\x01VERSION\x01\r\n");
    ASSERT_TRUE(hana.WaitFor("NOTICE Hana :\x01VERSION NimboChat :\x01\r\n"));
    hana.Send("PRIVMSG Taro :\x01PING 42\x01\r\n");
    ASSERT_TRUE(hana.WaitFor("NOTICE Hana :\x01PING 42\x01\r\n"));
    EXPECT_TRUE(LogContains(*w, "PRIVMSG Taro :\x01VERSION\x01", clBlue));
    for (const char* query : {"TIME", "FINGER", "USERINFO", "CLIENTINFO", "HELP", "NOSUCH"})
        hana.Send("PRIVMSG Taro :\x01" + QByteArray(query) + "\x01\r\n");
    ASSERT_TRUE(taro.WaitFor("\x01NOSUCH\x01"));
    for (const char* query : {"TIME", "FINGER", "USERINFO", "CLIENTINFO", "HELP"})
        EXPECT_TRUE(taro.Received().contains("PRIVMSG Taro :\x01" + QByteArray(query) + "\x01")) << query;
    EXPECT_FALSE(taro.Received().contains("VERSION"));
    EXPECT_FALSE(taro.Received().contains("\x01PING"));
    // An answer to those queries would reach Hana before Taro's next line.
    taro.Send("PRIVMSG Hana :done\r\n");
    ASSERT_TRUE(hana.WaitFor("PRIVMSG Hana :done\r\n"));
    EXPECT_EQ(hana.Received().count("NOTICE Hana :"), 2) << hana.Received().toStdString();
}

TEST_F(RelayWithServer, SecondClientIsTurnedAwayAndTheSessionGoesOn)
{
    IrcClient intruder;
    ASSERT_TRUE(intruder.Connect(relayPort));
    ASSERT_TRUE(intruder.WaitClosed());
    EXPECT_EQ(intruder.Received().toStdString(), "Connecting Error\r\n");
    taro.Send("PRIVMSG #leaf :still here\r\n");
    ASSERT_TRUE(hana.WaitFor("still here"));
}

TEST_F(RelayWithServer, ClientQuitEndsTheSession)
{
    taro.Send("QUIT :bye\r\n");
    ASSERT_TRUE(hana.WaitFor("QUIT"));
    ASSERT_TRUE(taro.WaitClosed());
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
    EXPECT_FALSE(w->ClientSocket->Active());
}

TEST_F(RelayWithServer, ClientDroppingClosesUpstream)
{
    taro.Close();
    ASSERT_TRUE(hana.WaitFor("QUIT"));
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_FALSE(w->KillButton->Enabled());
}

TEST_F(RelayWithServer, ServerDroppingClosesTheClient)
{
    irc.Kill();
    ASSERT_TRUE(taro.WaitClosed());
    ASSERT_TRUE(WaitUntil([&] { return NimboChatProbe::SessionState(*w) == ssIdle; }));
    EXPECT_EQ(w->ConnectButton->Caption(), "Connect");
}

TEST(DirectSessionTurnsAway, LocalClientDuringADirectSession)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    auto w = StartTestWindow({.UpstreamPort = irc.Port()});
    w->ConnectButton->Click();
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }));
    IrcClient client;
    ASSERT_TRUE(client.Connect(w->ServerSocket->Port));
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received().toStdString(), "Connecting Error\r\n");
    EXPECT_EQ(NimboChatProbe::SessionState(*w), ssDirect);
    // The direct session answers every CTCP query itself.
    IrcClient hana;
    ASSERT_TRUE(hana.Connect(irc.Port()));
    ASSERT_TRUE(hana.Register("Hana"));
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, " 001 Nick ", clGreen); })); // Nick is registered
    for (const char* query : {"TIME", "FINGER", "USERINFO", "CLIENTINFO", "HELP"})
        hana.Send("PRIVMSG Nick :\x01" + QByteArray(query) + "\x01\r\n");
    ASSERT_TRUE(hana.WaitFor("HELP :HELP gives this help message\x01\r\n"));
    EXPECT_TRUE(hana.Received().contains("NOTICE Hana :\x01TIME Secret\x01\r\n"));
    EXPECT_TRUE(hana.Received().contains("NOTICE Hana :\x01" "FINGER Nick\x01\r\n"));
    EXPECT_TRUE(hana.Received().contains("NOTICE Hana :\x01USERINFO :Support: Orvane<"));
    EXPECT_TRUE(hana.Received().contains("NOTICE Hana :\x01" "CLIENTINFO :VERSION USERINFO CLIENTINFO HELP FINGER\x01\r\n"));
    EXPECT_EQ(hana.Received().count("HELP :"), 5);
}

} // namespace
