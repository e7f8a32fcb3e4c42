// Lines that grow past IRC's 512 bytes in JIS: a UTF-8 chat client's lines
// and the message line are sent as lines the server passes on whole, and
// what cannot be split is cut and noted. Driven through the read handlers
// with recording connections, and end to end with ngircd and a JIS user.
#include "kanji/jis_utf8.h"
#include "relay/line_fit.h"
#include "support_code/hex.h"
#include "support_code/recorded_session.h"
#include "support_code/scripted_lookup.h"

#include <QLineEdit>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string In = "\x1B$B", Out = "\x1B(B";
const std::string JisNihon = In + "\x46\x7C\x4B\x5C" + Out; // 日本

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

// 428 bytes of UTF-8 as a PRIVMSG to #leaf, 606 bytes in JIS.
const std::string MixedText = Repeat("今日はGitHubのPRをreviewして、", 10) + "今日はGitHubのPRをreview…!";

std::string Utf8(const std::string& jis)
{
    std::string utf8;
    int replaced = 0;
    return JapaneseToUtf8(utf8, jis, replaced);
}

std::vector<std::string> Lines(const std::string& sent)
{
    std::vector<std::string> lines;
    for (size_t start = 0, lf; (lf = sent.find("\r\n", start)) != std::string::npos; start = lf + 2)
        lines.push_back(sent.substr(start, lf - start));
    return lines;
}

// The texts after Head of the lines that begin with it, decoded and joined;
// Frame bytes around each text (a CTCP's) are left out.
std::string JoinedText(const std::string& sent, const std::string& head, const std::string& open = "",
                       const std::string& close = "")
{
    std::string joined;
    for (const std::string& line : Lines(sent))
        if (line.starts_with(head + open) && line.ends_with(close))
            joined += Utf8(line.substr(head.size() + open.size(), line.size() - head.size() - open.size() - close.size()));
    return joined;
}

size_t Longest(const std::string& sent)
{
    size_t longest = 0;
    for (const std::string& line : Lines(sent))
        longest = std::max(longest, line.size() + 2);
    return longest;
}

class LongLines : public RecordedSession {
protected:
    void SetUp() override
    {
        RecordedSession::SetUp();
        w.Utf8CheckBox->SetChecked(true);
    }
};

TEST_F(LongLines, AUtf8ClientsLongLineGoesUpAsLinesWithRoomForThePrefix)
{
    FromClient("PRIVMSG #leaf :" + Repeat("a漢", 100) + "\r\n");
    EXPECT_EQ(Lines(upstream->Sent).size(), 3u) << upstream->Sent;
    EXPECT_LE(Longest(upstream->Sent), IrcLineBytes - UnknownPrefixBytes) << Hex(upstream->Sent);
    EXPECT_EQ(JoinedText(upstream->Sent, "PRIVMSG #leaf :"), Repeat("a漢", 100));

    // Once the welcome shows the prefix, the lines take the room it leaves.
    ScriptedLookup lookup(0);
    lookup.Addresses["h.example"] = "203.0.113.9";
    FromServer(":irc.test 001 Taro :Welcome to the network Taro!~taro@h.example\r\n");
    ASSERT_TRUE(WaitUntil([&] { return w.GlobalEdit->Text() == "203.0.113.9"; })); // the lines after it go on
    upstream->Sent.clear();
    FromClient("PRIVMSG #leaf :" + Repeat("漢", 300) + "\r\n");
    const size_t room = IrcLineBytes - std::string(":Taro!~taro@h.example ").size();
    EXPECT_LE(Longest(upstream->Sent), room);
    EXPECT_GT(Longest(upstream->Sent), room - 2) << "the known prefix leaves more room";
    // A JOIN echo with a longer host counts from then on; nick case aside.
    const std::string host = "a-much-longer-host-name.isp.example.org";
    FromServer(":taro!~taro@" + host + " JOIN #leaf\r\n");
    upstream->Sent.clear();
    FromClient("PRIVMSG #leaf :" + Repeat("漢", 300) + "\r\n");
    EXPECT_LE(Longest(upstream->Sent), IrcLineBytes - (":taro!~taro@ " + host).size());
}

TEST_F(LongLines, WhatCannotBeSplitIsCutAndNotedInBlue)
{
    FromClient("TOPIC #leaf :" + Repeat("漢", 300) + "\r\n");
    ASSERT_EQ(Lines(upstream->Sent).size(), 1u);
    EXPECT_LE(Longest(upstream->Sent), IrcLineBytes - UnknownPrefixBytes);
    EXPECT_TRUE(upstream->Sent.ends_with(Out + "\r\n")) << Hex(upstream->Sent);
    EXPECT_TRUE(LogHasLine(w, "TOPIC: 105" + Sjis(" 文字を切りました"), clBlue));
}

TEST_F(LongLines, LinesThatNeedNoSplittingGoByteForByte)
{
    const std::string ascii = "PRIVMSG #leaf :" + std::string(480, 'a') + "\r\n"; // the client's own business
    FromClient(ascii);
    EXPECT_EQ(upstream->Sent, ascii);

    w.Utf8CheckBox->SetChecked(false);
    upstream->Sent.clear();
    const std::string jis = "PRIVMSG #leaf :" + Repeat("a" + In + "\x34\x41" + Out, 100) + "\r\n";
    FromClient(jis);
    EXPECT_EQ(upstream->Sent, jis) << "with the UTF-8 switch off nothing changes";
}

TEST_F(LongLines, TagsPassUntouchedBothWaysAndGoWithTheFirstLine)
{
    FromClient("@+draft/reply=日本 PRIVMSG #leaf :" + Repeat("a漢", 100) + "\r\n");
    const std::vector<std::string> lines = Lines(upstream->Sent);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("@+draft/reply=日本 PRIVMSG #leaf :a" + In)) << Hex(lines[0]);
    EXPECT_TRUE(lines[1].starts_with("PRIVMSG #leaf :")) << Hex(lines[1]);

    FromServer("@label=日本 :hana!h@pc PRIVMSG #leaf :" + JisNihon + "\r\n");
    EXPECT_EQ(Hex(client.Sent), Hex("@label=日本 :hana!h@pc PRIVMSG #leaf :日本\r\n"));
}

// What the user types in the message line is taken as typed, in UTF-8.
void Type(TNimboChat& w, const char* utf8)
{
    static_cast<QLineEdit*>(w.MessageEdit->Widget())->setText(QString::fromUtf8(utf8));
    w.SendButton->Click();
}

TEST_F(LongLines, TheMessageLineSendsWhatWasTypedAsAUtf8ClientsLine)
{
    w.Utf8CheckBox->SetChecked(false); // the message line converts whatever the switch says
    Type(w, "絵文字😀と半角ｶﾅ");
    const std::string typed = "\x33\x28\x4A\x38\x3B\x7A\x22\x2E\x24\x48\x48\x3E\x33\x51\x25\x2B\x25\x4A"; // 絵文字〓と半角カナ
    EXPECT_EQ(Hex(upstream->Sent), Hex("PRIVMSG #leaf :" + In + typed + Out + "\r\n"));
    EXPECT_TRUE(LogHasLine(w, "UTF-8: 1" + Sjis(" 文字を〓に置き換えました"), clBlue));
    EXPECT_TRUE(LogHasLine(w, "PRIVMSG #leaf :" + Sjis("絵文字〓と半角カナ"), clBlack));
    EXPECT_EQ(w.MessageEdit->Text(), "");

    upstream->Sent.clear();
    Type(w, ("PRIVMSG #leaf :" + MixedText).c_str());
    EXPECT_GT(Lines(upstream->Sent).size(), 1u);
    EXPECT_LE(Longest(upstream->Sent), IrcLineBytes - UnknownPrefixBytes);
}

// With the UTF-8 switch off the relay passes lines as they are; a line a
// client sent in UTF-8 (for a character JIS has no room for) is shown in
// the log as its characters.
TEST_F(LongLines, TheLogShowsUtf8LinesAsText)
{
    w.Utf8CheckBox->SetChecked(false);
    FromClient("PRIVMSG #leaf :①ｶﾅ\r\n");
    EXPECT_EQ(upstream->Sent, "PRIVMSG #leaf :①ｶﾅ\r\n");
    EXPECT_TRUE(LogHasLine(w, "PRIVMSG #leaf :" + Sjis("①カナ"), clBlack));
    FromServer(":hana!h@pc PRIVMSG #leaf :①\r\n");
    EXPECT_EQ(client.Sent, ":hana!h@pc PRIVMSG #leaf :①\r\n");
    EXPECT_TRUE(LogHasLine(w, ":hana!h@pc PRIVMSG #leaf :" + Sjis("①"), clBlack));
}

// Taro's chat client speaks UTF-8 through NimboChat; Hana is on ngircd and
// speaks JIS. Every long line reaches her whole, and Taro stays on.
class LongLinesWithServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(irc.Started()) << "ngircd did not start";
        w = StartTestWindow({.UpstreamPort = irc.Port()});
        ASSERT_TRUE(hana.Connect(irc.Port()));
        ASSERT_TRUE(hana.Register("Hana"));
        ASSERT_TRUE(hana.Join("#leaf"));
    }
    // Whether Hana receives from Taro on #leaf, after what she had got
    // before, lines whose texts, decoded and joined, are Text.
    bool HanaGets(const std::string& text, const std::string& open = "", const std::string& close = "")
    {
        const bool got = WaitUntil([&] {
            const std::string since = hana.Received().mid(seen).toStdString();
            return JoinedText(since, ":Taro!~taro@127.0.0.1 PRIVMSG #leaf :", open, close) == text;
        }, 15000);
        seen = hana.Received().size();
        return got;
    }

    NgircdServer irc;
    std::unique_ptr<TNimboChat> w;
    IrcClient hana, taro;
    qsizetype seen = 0;
};

TEST_F(LongLinesWithServer, AUtf8ClientsLongLinesReachAJisUserWhole)
{
    w->Utf8CheckBox->SetChecked(true);
    ASSERT_TRUE(taro.Connect(w->ServerSocket->Port));
    ASSERT_TRUE(taro.Register("Taro"));
    ASSERT_TRUE(taro.Join("#leaf"));

    taro.Send(QByteArray::fromStdString("PRIVMSG #leaf :" + MixedText + "\r\n"));
    EXPECT_TRUE(HanaGets(MixedText)) << hana.Received().toStdString();
    taro.Send(QByteArray::fromStdString("PRIVMSG #leaf :" + Repeat("a漢", 100) + "\r\n"));
    EXPECT_TRUE(HanaGets(Repeat("a漢", 100)));
    const std::string action = Repeat("は駅まで走る。", 40);
    taro.Send(QByteArray::fromStdString("PRIVMSG #leaf :\x01" "ACTION " + action + "\x01\r\n"));
    EXPECT_TRUE(HanaGets(action, "\x01" "ACTION ", "\x01"));
    EXPECT_LE(Longest(hana.Received().toStdString()), IrcLineBytes);

    taro.Send("PRIVMSG #leaf :still here\r\n");
    EXPECT_TRUE(hana.WaitFor("still here"));
    EXPECT_EQ(taro.Socket().state(), QAbstractSocket::ConnectedState);
}

TEST_F(LongLinesWithServer, TheMessageLinesLongLineReachesAJisUserWhole)
{
    w->NickEdit->SetText("Taro");
    w->ConnectButton->Click();
    ASSERT_TRUE(WaitUntil([&] { return LogContains(*w, " 001 Taro ", clGreen); }));
    Type(*w, "/JOIN #leaf");
    ASSERT_TRUE(hana.WaitFor(":Taro!~taro@127.0.0.1 JOIN"));
    Type(*w, MixedText.c_str());
    EXPECT_TRUE(HanaGets(MixedText)) << hana.Received().toStdString();
    EXPECT_TRUE(w->ClientSocket->Active());
}

} // namespace
