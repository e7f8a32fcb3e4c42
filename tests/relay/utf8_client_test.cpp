// The relay with "UTF-8" on: a chat client that speaks UTF-8 on channels
// that speak JIS. Driven through the read handlers with recording
// connections, so exactly what each side was sent is known, and end to end
// with ngircd and a JIS user on it.
#include "support_code/hex.h"
#include "support_code/irssi_client.h"
#include "support_code/recorded_session.h"

#include <gtest/gtest.h>

namespace {

const std::string In = "\x1B$B", Out = "\x1B(B";
const std::string JisNihon = In + "\x46\x7C\x4B\x5C" + Out;                         // 日本
const std::string JisKonnichiwa = In + "\x24\x33\x24\x73\x24\x4B\x24\x41\x24\x4F" + Out; // こんにちは

class Utf8Relay : public RecordedSession {
protected:
    void SetUp() override
    {
        RecordedSession::SetUp();
        w.Utf8CheckBox->SetChecked(true);
    }
    int LogIndex(const AnsiString& line)
    {
        for (int i = 0; i < w.LogRichEdit->LineTextCount(); ++i)
            if (w.LogRichEdit->LineText(i) == line)
                return i;
        return -1;
    }
};

// A line one side sends and what the other side must get.
struct Case {
    const char* name;
    std::string sent;
    std::string got;
};

TEST_F(Utf8Relay, ClientLinesGoUpstreamAsJisWithTheirLineEnds)
{
    const Case cases[] = {
        {"ASCII byte for byte", "NICK taro\r\nPRIVMSG #leaf :hi\x01\r\n", "NICK taro\r\nPRIVMSG #leaf :hi\x01\r\n"},
        {"Japanese channel and text", "PRIVMSG #日本 :こんにちは\r\n", "PRIVMSG #" + JisNihon + " :" + JisKonnichiwa + "\r\n"},
        {"topic", "TOPIC #日本 :日本\n", "TOPIC #" + JisNihon + " :" + JisNihon + "\r\n"},
        {"CTCP text", "PRIVMSG hana :\x01" "ACTION 日本\x01\r\n", "PRIVMSG hana :\x01" "ACTION " + JisNihon + "\x01\r\n"},
        {"half-width kana", "PRIVMSG #a :ｶﾞ\r\n", "PRIVMSG #a :" + In + "\x25\x2C" + Out + "\r\n"},
    };
    for (const Case& c : cases) {
        upstream->Sent.clear();
        FromClient(c.sent);
        EXPECT_EQ(Hex(upstream->Sent), Hex(c.got)) << c.name;
    }
    EXPECT_GE(LogIndex("PRIVMSG #" + Sjis("日本 :こんにちは")), 0) << "the log shows Shift_JIS";
}

TEST_F(Utf8Relay, CharactersJisCannotHoldBecomeGetaWithOneBlueNote)
{
    FromClient("PRIVMSG #a :😀 한 é!\r\n");
    const std::string geta = In + "\x22\x2E" + Out;
    EXPECT_EQ(Hex(upstream->Sent), Hex("PRIVMSG #a :" + geta + " " + geta + " " + geta + "!\r\n"));
    int note = LogIndex("UTF-8: 3" + Sjis(" 文字を〓に置き換えました"));
    ASSERT_GE(note, 0);
    EXPECT_EQ(w.LogRichEdit->LineColor(note), clBlue);
    EXPECT_EQ(w.LogRichEdit->LineTextCount(), note + 2) << "one note, then the line itself";
}

TEST_F(Utf8Relay, ServerLinesReachTheClientAsUtf8)
{
    const Case cases[] = {
        {"ASCII byte for byte", ":s 372 taro :- motd\x01\r\n", ":s 372 taro :- motd\x01\r\n"},
        {"JIS chat", ":hana!h@pc PRIVMSG #" + JisNihon + " :" + JisKonnichiwa + "\r\n",
         ":hana!h@pc PRIVMSG #日本 :こんにちは\r\n"},
        {"nick list", ":s 353 taro = #" + JisNihon + " :taro hana\r\n", ":s 353 taro = #日本 :taro hana\r\n"},
        {"Shift_JIS line", ":s NOTICE taro :\x93\xFA\x96\x7B\r\n", ":s NOTICE taro :日本\r\n"},
        {"UTF-8 line passes", ":s NOTICE taro :日本\r\n", ":s NOTICE taro :日本\r\n"},
    };
    for (const Case& c : cases) {
        client.Sent.clear();
        FromServer(c.sent);
        EXPECT_EQ(Hex(client.Sent), Hex(c.got)) << c.name;
    }
    EXPECT_EQ(upstream->Sent, "");
}

TEST_F(Utf8Relay, AnswersKeywordsAndTheAddressRewriteWorkAsWithoutIt)
{
    w.SetKeywords({Sjis("会議")});
    w.KeywordCheckBox->SetChecked(true);
    FromServer(":hana!h@pc PRIVMSG #a :" + In + "\x32\x71\x35\x44" + Out + "\r\n"); // 会議
    int alert = LogIndex(":hana!h@pc PRIVMSG #a :" + Sjis("会議"));
    ASSERT_GE(alert, 0);
    EXPECT_TRUE(w.LogRichEdit->LineBold(alert));
    EXPECT_EQ(client.Sent, ":hana!h@pc PRIVMSG #a :会議\r\n");

    client.Sent.clear();
    FromServer(":hana!h@pc PRIVMSG taro :\x01VERSION\x01\r\n");
    EXPECT_EQ(upstream->Sent, "NOTICE hana :\x01VERSION NimboChat :\x01\r\n");
    EXPECT_EQ(client.Sent, "");

    upstream->Sent.clear();
    w.LocalEdit->SetText("192.168.0.1");
    w.GlobalEdit->SetText("203.0.113.1");
    w.ConvertCheckBox->SetChecked(true);
    FromClient("PRIVMSG hana :\x01" "DCC SEND 日本.txt 3232235521 1024 300\x01\r\n");
    EXPECT_EQ(Hex(upstream->Sent), Hex("PRIVMSG hana :\x01" "DCC SEND " + JisNihon + ".txt 3405803777 1024 300\x01\r\n"));
}

// Taro's chat client speaks UTF-8 through NimboChat; Hana is on ngircd
// directly and speaks JIS. They meet on a channel with a Japanese name.
TEST(Utf8RelayWithServer, AUtf8ClientAndAJisUserTalkOnAJapaneseChannel)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started()) << "ngircd did not start";
    auto window = StartTestWindow({.UpstreamPort = irc.Port()});
    TNimboChat& w = *window;
    w.Utf8CheckBox->SetChecked(true);
    const quint16 relayPort = w.ServerSocket->Port;
    IrcClient hana, taro, late;
    const QByteArray jisChannel = QByteArray::fromStdString("#" + JisNihon);
    ASSERT_TRUE(hana.Connect(irc.Port()));
    ASSERT_TRUE(hana.Register("Hana"));
    ASSERT_TRUE(hana.Join(jisChannel));
    ASSERT_TRUE(taro.Connect(relayPort));
    ASSERT_TRUE(taro.Register("Taro"));
    ASSERT_TRUE(taro.Join("#日本"));
    ASSERT_TRUE(taro.WaitFor(" 353 Taro = #日本 :"));
    ASSERT_TRUE(hana.WaitFor(":Taro!"));

    taro.Send("PRIVMSG #日本 :こんにちは 😀\r\n");
    const std::string geta = In + "\x22\x2E" + Out;
    ASSERT_TRUE(hana.WaitFor(QByteArray::fromStdString(" :" + JisKonnichiwa + " " + geta + "\r\n")));
    hana.Send(QByteArray::fromStdString("PRIVMSG #" + JisNihon + " :" + JisNihon + " ok\r\n"));
    ASSERT_TRUE(taro.WaitFor(":Hana!~hana@127.0.0.1 PRIVMSG #日本 :日本 ok\r\n"));

    // A second chat client is turned away as in any session.
    ASSERT_TRUE(late.Connect(relayPort));
    EXPECT_TRUE(late.WaitFor("Connecting Error\r\n"));
    EXPECT_TRUE(late.WaitClosed());
}

// irssi, a real chat client in UTF-8, joins a Japanese channel through
// NimboChat and talks with Hana, who speaks JIS on the server; its channel
// log shows what reached it.
TEST(Utf8RelayWithIrssi, IrssiTalksWithAJisUser)
{
    if (!IrssiClient::Installed())
        GTEST_SKIP() << "irssi or script is not installed (scripts/setup installs them)";
    NgircdServer irc;
    ASSERT_TRUE(irc.Started()) << "ngircd did not start";
    auto window = StartTestWindow({.UpstreamPort = irc.Port()});
    window->Utf8CheckBox->SetChecked(true);
    IrcClient hana;
    ASSERT_TRUE(hana.Connect(irc.Port()));
    ASSERT_TRUE(hana.Register("Hana"));
    ASSERT_TRUE(hana.Join(QByteArray::fromStdString("#" + JisNihon)));

    IrssiClient irssi(window->ServerSocket->Port, "/join #日本;wait 300;/msg #日本 irssi です");
    ASSERT_TRUE(irssi.Start());
    EXPECT_TRUE(hana.WaitFor(QByteArray::fromStdString(" :irssi " + In + "\x24\x47\x24\x39" + Out + "\r\n"), 15000))
        << hana.Received().toStdString();
    hana.Send(QByteArray::fromStdString("PRIVMSG #" + JisNihon + " :" + JisKonnichiwa + " Jiro\r\n"));
    EXPECT_TRUE(irssi.Logged("#日本", "こんにちは Jiro"));
}

} // namespace
