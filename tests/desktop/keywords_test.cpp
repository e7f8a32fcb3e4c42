// Keyword alerts: the stored list, the editor, the search and the flash.
#include "desktop/Eform.h"
#include "desktop/store_fixture.h"
#include "kanji/sjis_search.h"
#include "support_code/test_window.h"

#include <QApplication>

namespace {

const char* const Path = "\\SOFTWARE\\Orvane\\NimboChat\\KeyWord";

class Keywords : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        StoreTestSettings();
    }
    void Store(int count, int skip = -1)
    {
        HKEY key = Key(Path);
        for (int i = 0; i < count; ++i)
            if (i != skip)
                SetText(key, std::to_string(i).c_str(), "k" + std::to_string(i));
        RegCloseKey(key);
    }
    std::vector<AnsiString> List(TNimboChat& w) { return NimboChatProbe::KeywordList(w)->Items(); }
    bool Stored(const char* name)
    {
        HKEY key = Key(Path);
        DWORD type = 0;
        std::string data;
        bool found = Query(key, name, type, data);
        RegCloseKey(key);
        return found;
    }
};

TEST_F(Keywords, ThreeSavedOverFive)
{
    Store(5);
    {
        auto w = Start();
        EXPECT_EQ(List(*w).size(), 5u);
        w->SetKeywords({"a", "b", "c"});
    }
    EXPECT_TRUE(Stored("2"));
    EXPECT_FALSE(Stored("3"));
    EXPECT_FALSE(Stored("4"));
    auto w = Start();
    EXPECT_EQ(List(*w), (std::vector<AnsiString>{"a", "b", "c"}));
}

TEST_F(Keywords, GapEndsTheList)
{
    Store(4, 2); // "0", "1", "3"
    {
        auto w = Start();
        EXPECT_EQ(List(*w), (std::vector<AnsiString>{"k0", "k1"}));
    }
    EXPECT_TRUE(Stored("3")); // beyond the gap: never loaded, never deleted
}

TEST_F(Keywords, AtMost999Stored)
{
    {
        auto w = Start();
        std::vector<AnsiString> many;
        for (int i = 0; i < 1200; ++i)
            many.push_back("w" + std::to_string(i));
        w->SetKeywords(many);
    }
    EXPECT_TRUE(Stored("998"));
    EXPECT_FALSE(Stored("999"));
    auto w = Start();
    EXPECT_EQ(List(*w).size(), 999u);
}

TEST_F(Keywords, WrongTypeEmptiesTheList)
{
    Store(3);
    HKEY key = Key(Path);
    SetNumber(key, "1", 5);
    RegCloseKey(key);
    auto w = Start();
    EXPECT_TRUE(List(*w).empty());
}

TEST(MemoLines, SplitRules)
{
    EXPECT_EQ(SplitMemoLines("abc\r\n\r\n  def \r\n"), (std::vector<AnsiString>{"abc", "", "  def "}));
    EXPECT_EQ(SplitMemoLines("abc\ndef"), (std::vector<AnsiString>{"abc", "def"}));
    EXPECT_EQ(SplitMemoLines("a\rb\n\rc"), (std::vector<AnsiString>{"a", "b", "", "c"}));
    EXPECT_EQ(SplitMemoLines(""), (std::vector<AnsiString>{}));
    EXPECT_EQ(SplitMemoLines("\n"), (std::vector<AnsiString>{""}));
}

TEST(KeywordSearch, CharacterAware)
{
    const AnsiString so = Sjis("ソ"); // 0x83 0x5C
    ASSERT_EQ(so, "\x83\x5C");
    EXPECT_FALSE(SjisContains("#c :" + so, "\\"));
    EXPECT_TRUE(SjisContains("#c :" + so + "\\", "\\"));
    EXPECT_FALSE(SjisContains("#c :ABC", "abc"));
    EXPECT_FALSE(SjisContains("#c :" + Sjis("ａｂｃ"), "abc"));
    EXPECT_FALSE(SjisContains("#c :abc", ""));
    EXPECT_TRUE(SjisContains("#c :  def x", "  def "));
    EXPECT_FALSE(SjisContains("#c :def", "  def "));
    EXPECT_FALSE(SjisContains(std::string("#c :\0abc", 8), "abc"));
    EXPECT_EQ(SjisFind("aXbX", "X", 2), 3u);
}

class Editor : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        w = StartTestWindow();
        KeyEditForm = new TKeyEditForm(nullptr);
    }
    void TearDown() override
    {
        delete KeyEditForm;
        KeyEditForm = nullptr;
        NimboChat = nullptr;
    }
    std::unique_ptr<TNimboChat> w;
};

TEST_F(Editor, OpensFilledAndOkKeepsTheList)
{
    NimboChat = w.get();
    w->SetKeywords({"abc", "", "  def "});
    w->KeyEditButton->Click();
    EXPECT_TRUE(KeyEditForm->Widget()->isVisible());
    EXPECT_EQ(KeyEditForm->Caption(), Sjis("キーワード編集"));
    EXPECT_EQ(KeyEditForm->ClientWidth(), 320);
    EXPECT_EQ(KeyEditForm->CancelBitBtn->Caption(), Sjis("ｷｬﾝｾﾙ"));
    EXPECT_EQ(KeyEditForm->KeyEditMemo->Text(), "abc\n\n  def \n");
    KeyEditForm->OkBitBtn->Click();
    EXPECT_FALSE(KeyEditForm->Widget()->isVisible());
    EXPECT_EQ(NimboChatProbe::KeywordList(*w)->Items(), (std::vector<AnsiString>{"abc", "", "  def "}));

    w->KeyEditButton->Click();
    KeyEditForm->KeyEditMemo->SetText("x\r\ny");
    KeyEditForm->CancelBitBtn->Click();
    EXPECT_EQ(NimboChatProbe::KeywordList(*w)->Count(), 3);
    w->KeyEditButton->Click(); // each opening refills the memo
    EXPECT_EQ(KeyEditForm->KeyEditMemo->Text(), "abc\n\n  def \n");
    KeyEditForm->KeyEditMemo->SetText("new\r\nlist");
    KeyEditForm->OkBitBtn->Click();
    EXPECT_EQ(NimboChatProbe::KeywordList(*w)->Items(), (std::vector<AnsiString>{"new", "list"}));
}

TEST_F(Editor, KeywordSwitchEnablesFlashSwitch)
{
    EXPECT_FALSE(w->FlashCheckBox->Enabled());
    w->KeywordCheckBox->SetChecked(true);
    EXPECT_TRUE(w->FlashCheckBox->Enabled());
    w->SetFlashing(true);
    w->KeywordCheckBox->SetChecked(false);
    EXPECT_FALSE(w->FlashCheckBox->Enabled());
    EXPECT_TRUE(NimboChatProbe::Flashing(*w)); // a running flash goes on
}

// Keyword lines from a real upstream connection.
class Alerts : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(ListenOnLowPort(server));
        w = StartTestWindow({.UpstreamPort = server.serverPort()});
        other = std::make_unique<TKeyEditForm>(nullptr);
        w->ConnectButton->Click();
        ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections() && w->ClientSocket->Active(); }));
        peer.reset(server.nextPendingConnection());
        w->KeywordCheckBox->SetChecked(true);
        w->SetKeywords({"", "hello"});
    }
    void Receive(const QByteArray& line)
    {
        int before = w->LogRichEdit->LineTextCount();
        peer->write(line);
        peer->flush();
        ASSERT_TRUE(WaitUntil([&] { return w->LogRichEdit->LineTextCount() > before; }));
    }
    bool LastBold() { return w->LogRichEdit->LineBold(w->LogRichEdit->LineTextCount() - 1); }
    void MakeInactive()
    {
        other->Show();
        QApplication::setActiveWindow(other->Widget());
        ASSERT_TRUE(WaitUntil([&] { return !w->Active(); }));
    }

    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    std::unique_ptr<TNimboChat> w;
    std::unique_ptr<TKeyEditForm> other;
};

TEST_F(Alerts, KeywordLineIsBoldAndFlashesOnlyWhenInactive)
{
    QApplication::setActiveWindow(w->Widget());
    ASSERT_TRUE(WaitUntil([&] { return w->Active(); }));
    Receive(":a!b@c PRIVMSG #ch :hello\r\n");
    EXPECT_TRUE(LastBold());
    EXPECT_EQ(w->LogRichEdit->LineColor(w->LogRichEdit->LineTextCount() - 1), clBlack);
    EXPECT_FALSE(NimboChatProbe::Flashing(*w));

    Receive(":a!b@c PRIVMSG #ch :nothing here\r\n");
    EXPECT_FALSE(LastBold());

    MakeInactive();
    Receive(":a!b@c PRIVMSG #ch :HELLO\r\n"); // case counts
    EXPECT_FALSE(NimboChatProbe::Flashing(*w));
    Receive(":a!b@c PRIVMSG #ch :say hello\r\n");
    EXPECT_TRUE(NimboChatProbe::Flashing(*w));

    // Every tick inverts the highlight; activation stops it.
    EXPECT_FALSE(w->Highlighted());
    w->FlashTimerTimer(w->FlashTimer);
    EXPECT_TRUE(w->Highlighted());
    w->FlashTimerTimer(w->FlashTimer);
    EXPECT_FALSE(w->Highlighted());
    w->FlashTimerTimer(w->FlashTimer);
    EXPECT_TRUE(w->Highlighted());
    EXPECT_NE(w->Widget()->windowTitle(), QString("NimboChat"));
    QApplication::setActiveWindow(w->Widget());
    ASSERT_TRUE(WaitUntil([&] { return !NimboChatProbe::Flashing(*w); }));
    EXPECT_FALSE(w->Highlighted());
    EXPECT_EQ(w->Widget()->windowTitle(), QString("NimboChat"));
}

TEST_F(Alerts, KeywordEqualToTheChannelMatchesEveryMessageThere)
{
    w->SetKeywords({"#ch"});
    Receive(":a!b@c PRIVMSG #ch :anything\r\n");
    EXPECT_TRUE(LastBold());
    w->KeywordCheckBox->SetChecked(false);
    Receive(":a!b@c PRIVMSG #ch :anything\r\n");
    EXPECT_FALSE(LastBold());
}

TEST_F(Alerts, FlashTicksComeFromTheTimer)
{
    MakeInactive();
    Receive(":a!b@c PRIVMSG #ch :hello\r\n");
    ASSERT_TRUE(NimboChatProbe::Flashing(*w));
    EXPECT_TRUE(WaitUntil([&] { return w->Highlighted(); }, 3000));
    EXPECT_TRUE(WaitUntil([&] { return !w->Highlighted(); }, 3000));
}

} // namespace
