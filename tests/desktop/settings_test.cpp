// Settings: read from the store into the controls at start-up and written
// back at exit, with the read rules of the three kinds of value.
#include "desktop/Eform.h"
#include "desktop/store_fixture.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

namespace {

const char* const Path = "\\SOFTWARE\\Orvane\\NimboChat";

class Settings : public StoreTest {
protected:
    // Stores the seven required values, with a listening port of its own.
    void StoreRequired()
    {
        listenPort = FreeLowPort();
        HKEY key = Key(Path);
        SetText(key, "ClientHost", "irc.example.jp");
        SetNumber(key, "ClientPort", 6668);
        SetText(key, "ClientNick", "Taro");
        SetNumber(key, "ServerPort", listenPort);
        SetNumber(key, "ConvertCheck", 1);
        SetText(key, "ClientPath", "");
        SetNumber(key, "AutoCheck", 0);
        RegCloseKey(key);
    }
    void Change(const std::function<void(HKEY)>& edit)
    {
        HKEY key = Key(Path);
        edit(key);
        RegCloseKey(key);
    }
    void ExpectDefaults(TNimboChat& w)
    {
        EXPECT_EQ(w.ClientEdit->Text(), "irc.ircnet.ne.jp");
        EXPECT_EQ(w.ClientPortEdit->Text(), "6667");
        EXPECT_EQ(w.NickEdit->Text(), "Nick");
        EXPECT_EQ(w.ServerPortEdit->Text(), "6667");
        EXPECT_FALSE(w.ConvertCheckBox->Checked());
        EXPECT_FALSE(w.MinCheckBox->Checked());
        EXPECT_TRUE(w.FlashCheckBox->Checked());
        EXPECT_FALSE(w.FlashCheckBox->Enabled());
    }
    quint16 listenPort = 0;
};

TEST_F(Settings, TheEndOfTheDesktopSessionSavesWhileTheWindowRuns)
{
    StoreRequired();
    auto w = Start();
    w->NickEdit->SetText("Hanako");
    FireEvent(Application->OnEndSession, Application);
    EXPECT_TRUE(HiveText().contains("\"ClientNick\"=\"Hanako\"")) << HiveText().toStdString();
}

TEST_F(Settings, AllElevenValuesApplied)
{
    StoreRequired();
    Change([](HKEY k) {
        SetText(k, "ClientPath", "/usr/bin/true");
        SetNumber(k, "MinCheck", 0);
        SetNumber(k, "TaskCheck", 0);
        SetNumber(k, "KeywordCheck", 1);
        SetNumber(k, "FlashCheck", 0);
    });
    auto w = Start();
    EXPECT_EQ(w->ClientEdit->Text(), "irc.example.jp");
    EXPECT_EQ(w->ClientPortEdit->Text(), "6668");
    EXPECT_EQ(w->ClientSocket->Port, 6668);
    EXPECT_EQ(w->NickEdit->Text(), "Taro");
    EXPECT_EQ(w->ServerPortEdit->Text(), std::to_string(listenPort));
    EXPECT_EQ(w->ServerSocket->Port, listenPort);
    EXPECT_TRUE(w->ServerSocket->Active());
    EXPECT_TRUE(w->ConvertCheckBox->Checked());
    EXPECT_EQ(w->ClientPathEdit->Text(), "/usr/bin/true");
    EXPECT_FALSE(w->AutoCheckBox->Checked());
    EXPECT_TRUE(w->KeywordCheckBox->Checked());
    EXPECT_TRUE(w->FlashCheckBox->Enabled());
    EXPECT_FALSE(w->FlashCheckBox->Checked());
    EXPECT_TRUE(Recorded().Boxes.empty());
}

TEST_F(Settings, OptionalSwitchesKeepTheirDefaults)
{
    StoreRequired();
    auto w = Start();
    EXPECT_EQ(w->NickEdit->Text(), "Taro");
    EXPECT_FALSE(w->MinCheckBox->Checked());
    EXPECT_FALSE(w->TaskCheckBox->Checked());
    EXPECT_FALSE(w->KeywordCheckBox->Checked());
    EXPECT_TRUE(w->FlashCheckBox->Checked());
    EXPECT_FALSE(w->FlashCheckBox->Enabled());
    EXPECT_FALSE(w->Utf8CheckBox->Checked());
    EXPECT_FALSE(w->SslCheckBox->Checked());
    EXPECT_FALSE(w->ClientSocket->AllowUntrustedCert);
}

// SSL and AllowUntrustedCert are stored only while on: a stored 6667
// stands beside SSL, and switched off they leave the file again.
TEST_F(Settings, TlsSwitchesAppliedAndStoredOnlyWhileOn)
{
    StoreRequired();
    Change([](HKEY k) {
        SetNumber(k, "ClientPort", 6667);
        SetNumber(k, "SSL", 1);
        SetNumber(k, "AllowUntrustedCert", 1);
    });
    {
        auto w = Start();
        EXPECT_TRUE(w->SslCheckBox->Checked());
        EXPECT_TRUE(w->ClientSocket->Secure);
        EXPECT_TRUE(w->ClientSocket->AllowUntrustedCert);
        EXPECT_EQ(w->ClientPortEdit->Text(), "6667");
    }
    EXPECT_TRUE(HiveText().contains("\"SSL\"=dword:00000001\n\"AllowUntrustedCert\"=dword:00000001\n"));
    {
        auto w = Start();
        w->SslCheckBox->SetChecked(false);
        w->ClientSocket->AllowUntrustedCert = false;
    }
    EXPECT_FALSE(HiveText().contains("SSL")) << HiveText().toStdString();
    EXPECT_FALSE(HiveText().contains("AllowUntrustedCert"));
}

// StayPassword has no control: it is read into the window, written back
// while set (any bytes, quotes and backslashes too) and removed once empty.
TEST_F(Settings, StayPasswordStoredOnlyWhileSet)
{
    StoreRequired();
    const AnsiString password = "pa\"ss\\w\x82\xa0\xff";
    {
        auto w = Start();
        EXPECT_EQ(NimboChatProbe::StayPassword(*w), "");
        NimboChatProbe::StayPassword(*w) = password;
    }
    EXPECT_TRUE(HiveText().contains("\"StayPassword\"=")) << HiveText().toStdString();
    {
        auto w = Start();
        EXPECT_EQ(NimboChatProbe::StayPassword(*w), password);
        NimboChatProbe::StayPassword(*w).clear();
    }
    EXPECT_FALSE(HiveText().contains("StayPassword")) << HiveText().toStdString();
    auto w = Start();
    EXPECT_EQ(NimboChatProbe::StayPassword(*w), "");
}

TEST_F(Settings, MissingRequiredValueAppliesNothing)
{
    for (const char* name : {"ClientPort", "ServerPort", "ConvertCheck", "AutoCheck"}) {
        StoreRequired();
        Change([&](HKEY k) { RegDeleteValueA(k, name); });
        auto w = Start();
        SCOPED_TRACE(name);
        ExpectDefaults(*w);
        w.reset();
        QFile::remove(HivePath());
    }
}

TEST_F(Settings, MissingTextsReadAsEmpty)
{
    StoreRequired();
    Change([](HKEY k) {
        RegDeleteValueA(k, "ClientHost");
        RegDeleteValueA(k, "ClientNick");
    });
    auto w = Start();
    EXPECT_EQ(w->ClientEdit->Text(), "");
    EXPECT_EQ(w->NickEdit->Text(), "");
    EXPECT_TRUE(w->ConvertCheckBox->Checked());
}

TEST_F(Settings, WrongTypesApplyNothing)
{
    const std::vector<std::function<void(HKEY)>> damage = {
        [](HKEY k) { SetNumber(k, "ClientHost", 1); },
        [](HKEY k) { SetText(k, "ClientPort", "6667"); },
        [](HKEY k) { SetText(k, "MinCheck", "1"); },
        [](HKEY k) { SetText(k, "SSL", "1"); },
        [](HKEY k) { SetNumber(k, "StayPassword", 1); },
        [](HKEY k) { SetText(k, "ClientNick", "x", REG_BINARY); },
    };
    for (size_t i = 0; i < damage.size(); ++i) {
        StoreRequired();
        Change(damage[i]);
        auto w = Start();
        SCOPED_TRACE(i);
        ExpectDefaults(*w);
        w.reset();
        QFile::remove(HivePath());
    }
}

TEST_F(Settings, NumberRules)
{
    StoreRequired();
    Change([](HKEY k) {
        SetNumber(k, "ClientPort", 70000);
        SetNumber(k, "ConvertCheck", 2);
        SetText(k, "ClientHost", std::string("host.jp\0junk", 12), REG_EXPAND_SZ);
    });
    auto w = Start();
    EXPECT_EQ(w->ClientPortEdit->Text(), "4464");
    EXPECT_TRUE(w->ConvertCheckBox->Checked());
    EXPECT_EQ(w->ClientEdit->Text(), "host.jp");
}

TEST_F(Settings, SavedAtExitAndBackInTheNextRun)
{
    quint16 port = FreeLowPort();
    {
        auto w = StartTestWindow();
        w->ClientEdit->SetText("irc.nimbo.test");
        w->ClientPortEdit->SetText("7001");
        w->NickEdit->SetText(Sjis("太郎"));
        w->ServerPortEdit->SetText(std::to_string(port));
        w->ConvertCheckBox->SetChecked(true);
        w->KeywordCheckBox->SetChecked(true);
        w->FlashCheckBox->SetChecked(false);
        w->Utf8CheckBox->SetChecked(true);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Path, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    std::string data = "stale";
    ASSERT_TRUE(Query(key, "ClientPath", type, data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, ""); // a zero-length text
    ASSERT_TRUE(Query(key, "ClientPort", type, data));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, std::string("\x59\x1b\0\0", 4));
    RegCloseKey(key);

    auto w = Start();
    EXPECT_EQ(w->ClientEdit->Text(), "irc.nimbo.test");
    EXPECT_EQ(w->ClientPortEdit->Text(), "7001");
    EXPECT_EQ(w->NickEdit->Text(), Sjis("太郎"));
    EXPECT_EQ(w->ServerPortEdit->Text(), std::to_string(port));
    EXPECT_TRUE(w->ConvertCheckBox->Checked());
    EXPECT_TRUE(w->KeywordCheckBox->Checked());
    EXPECT_FALSE(w->FlashCheckBox->Checked());
    EXPECT_TRUE(w->Utf8CheckBox->Checked());
    EXPECT_TRUE(HiveText().startsWith("REGEDIT4"));
}

TEST_F(Settings, KeyThatCannotBeCreatedWritesNothing)
{
    // XDG_CONFIG_HOME names a file, so the store's folder cannot exist.
    QString blocker = dir.filePath("not-a-folder");
    QFile f(blocker);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    qputenv("XDG_CONFIG_HOME", blocker.toUtf8());
    {
        auto w = Start();
        w->NickEdit->SetText("Changed");
    }
    EXPECT_EQ(QFileInfo(blocker).size(), 0);
    // Nothing is said about the store; with no settings the listener is on
    // 6667, and only that says something when the port is taken.
    for (const RecordedBox& box : Recorded().Boxes)
        EXPECT_EQ(box.Caption, "SocketError");
}

TEST_F(Settings, DamagedStoreStartsWithDefaultsAndIsRepairedAtExit)
{
    const QByteArray damaged[] = {
        QByteArray("\x00\xff garbage \x01\x02", 14),
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n\"ClientHost\"=\"irc.ex",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n\"ClientPort\"=dword:zz\n"
        "\"ClientHost\"=\"a\"\n\"ServerPort\"=dword:00001a0b\n\"ConvertCheck\"=dword:0\n\"AutoCheck\"=dword:0\n",
    };
    for (const QByteArray& text : damaged) {
        WriteHive(text);
        {
            auto w = Start();
            ExpectDefaults(*w);
        }
        QByteArray repaired = HiveText();
        EXPECT_TRUE(repaired.startsWith("REGEDIT4")) << repaired.toStdString();
        EXPECT_TRUE(repaired.contains("\"ClientPort\"=dword:00001a0b")) << repaired.toStdString();
        EXPECT_TRUE(repaired.contains("\"ClientHost\"=\"irc.ircnet.ne.jp\"")) << repaired.toStdString();
    }
}

// ---- files as people leave them, and bytes that are not Shift_JIS ----------

// The README's example file (with a listening port of its own).
QByteArray ReadmeFile(quint16 listenPort)
{
    return QByteArray("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n"
                      "\"ClientHost\"=\"irc.ircnet.ne.jp\"\n\"ClientPort\"=dword:00001a0b\n\"ClientNick\"=\"Taro\"\n"
                      "\"ServerPort\"=dword:0000")
        + QByteArray::number(listenPort, 16).rightJustified(4, '0')
        + "\n\"ConvertCheck\"=dword:00000000\n\"ClientPath\"=\"\"\n\"AutoCheck\"=dword:00000000\n"
          "\"MinCheck\"=dword:00000000\n\"TaskCheck\"=dword:00000000\n\"KeywordCheck\"=dword:00000001\n"
          "\"FlashCheck\"=dword:00000001\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat\\KeyWord]\n"
          "\"0\"=\"nimbo\"\n";
}

TEST_F(Settings, HandEditedFilesKeepEverySetting)
{
    const quint16 port = FreeLowPort();
    const QByteArray sound = ReadmeFile(port);
    QByteArray crlf = sound;
    crlf.replace("\n", "\r\n");
    QByteArray lastAutoCheck = sound.left(sound.indexOf("\"MinCheck\""));
    lastAutoCheck.chop(1);
    const QByteArray edited[] = {
        sound.chopped(1),                 // saved without a final newline
        "\xEF\xBB\xBF" + crlf.chopped(2), // a byte-order mark, CR LF, no final line end
        lastAutoCheck,                    // the required AutoCheck is the last line, without LF
    };
    for (const QByteArray& text : edited) {
        SCOPED_TRACE(text.toStdString());
        WriteHive(text);
        {
            auto w = Start();
            EXPECT_EQ(w->NickEdit->Text(), "Taro");
            EXPECT_TRUE(w->KeywordCheckBox->Checked() || text == lastAutoCheck);
        }
        if (text == lastAutoCheck)
            EXPECT_TRUE(HiveText().startsWith(lastAutoCheck + "\n")) << HiveText().toStdString();
        else
            EXPECT_EQ(HiveText().toStdString(), (sound + "\n").toStdString()); // each section ends in a blank line
    }
}

// Every byte value in every text setting and keyword, and entries the
// keyword memo cannot show as they are: a start, the keyword editor opened
// and closed with OK, and an exit leave the file as it was, byte for byte.
TEST_F(Settings, EveryByteSurvivesAStartAndAnExit)
{
    std::string all; // a zero byte ends a stored text when it is read
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    StoreRequired();
    Change([&](HKEY k) {
        for (const char* text : {"ClientHost", "ClientNick", "ClientPath"})
            SetText(k, text, all);
        for (const char* optional : {"MinCheck", "TaskCheck", "KeywordCheck", "FlashCheck"})
            SetNumber(k, optional, 0);
    });
    HKEY keywords = Key("\\SOFTWARE\\Orvane\\NimboChat\\KeyWord");
    const std::string entries[] = {all, "host\xFF\x80.jp", "abc\x81", "Jos\xC3\xA9", "a\r\nb", "\xFF\xFE", ""};
    for (size_t i = 0; i < std::size(entries); ++i)
        SetText(keywords, std::to_string(i).c_str(), entries[i]);
    RegCloseKey(keywords);
    const QByteArray before = HiveText();
    {
        auto w = Start();
        TKeyEditForm editor(nullptr);
        KeyEditForm = &editor;
        NimboChat = w.get();
        w->KeyEditButton->Click();
        editor.OkBitBtn->Click();
        KeyEditForm = nullptr;
        NimboChat = nullptr;
    }
    EXPECT_EQ(HiveText().toStdString(), before.toStdString());
}

// The file is written when the key closes at exit; when that write fails
// the save says so, and so does stderr, with the path and the reason.
TEST_F(Settings, AFailedWriteAtExitIsReported)
{
    StoreRequired();
    auto w = Start();
    QFile blocker(dir.filePath("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ASSERT_TRUE(QFile::remove(HivePath()));
    ASSERT_TRUE(QFile::link(dir.filePath("blocker/settings.reg"), HivePath())); // its folder is a file
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NimboChatProbe::SaveSettings(*w));
    EXPECT_FALSE(NimboChatProbe::SaveKeywords(*w));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(dir.filePath("blocker/settings.reg").toStdString() + ": Not a directory"), std::string::npos)
        << said;
    ASSERT_TRUE(QFile::remove(HivePath()));
    EXPECT_TRUE(NimboChatProbe::SaveSettings(*w));
    EXPECT_TRUE(NimboChatProbe::SaveKeywords(*w));
    testing::internal::CaptureStderr();
    w.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
