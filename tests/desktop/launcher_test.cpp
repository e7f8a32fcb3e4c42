// The chat client launcher: its working directory, its error boxes for real
// failures, real programs started in their folders without leaving zombies,
// the auto-start, and the file dialog behind the "参照" button.
#include "desktop/launcher.h"
#include "desktop/store_fixture.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include <QDir>
#include <QLineEdit>
#include <QTcpServer>

#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A variable of the environment, set for one test and put back after it.
class ScopedEnv {
public:
    ScopedEnv(const char* Name, const char* Value) : FName(Name), FHad(qEnvironmentVariableIsSet(Name)), FOld(qgetenv(Name))
    {
        Value ? qputenv(Name, Value) : qunsetenv(Name);
    }
    ~ScopedEnv() { FHad ? qputenv(FName, FOld) : qunsetenv(FName); }

private:
    const char* FName;
    bool FHad;
    QByteArray FOld;
};

// The processes whose parent is this one, zombies included.
std::vector<pid_t> OurChildren()
{
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...; comm may hold blanks and parentheses.
        auto close = line.rfind(')');
        char state = 0;
        long ppid = 0;
        if (close != std::string::npos && std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 &&
            ppid == getpid())
            children.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
    }
    if (proc)
        closedir(proc);
    return children;
}

class Launcher : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(files.isValid());
        probeOut = files.filePath("probe-out");
        env = std::make_unique<ScopedEnv>("NIMBO_PROBE_OUT", probeOut.toUtf8().constData());
    }
    QString File(const QString& name) const { return files.filePath(name); }
    void Write(const QString& path, const QByteArray& bytes, bool executable)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        ::chmod(path.toUtf8().constData(), executable ? 0755 : 0644);
    }
    // A program that writes its working directory into probeOut and ends.
    void WriteProbe(const QString& path)
    {
        Write(path, "#!/bin/sh\npwd -P > \"$NIMBO_PROBE_OUT.part\" && mv \"$NIMBO_PROBE_OUT.part\" \"$NIMBO_PROBE_OUT\"\n",
            true);
    }
    // The folder the probe ran in, once it has written it.
    QString ProbeFolder()
    {
        if (!WaitUntil([&] { return QFile::exists(probeOut); }))
            return {};
        QFile f(probeOut);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll()).trimmed();
    }
    static QString Real(const QString& path) { return QFileInfo(path).canonicalFilePath(); }
    // Launches Path with the button and gives the one box it showed once
    // the click had returned.
    AnsiString LaunchFails(TNimboChat& w, const QString& path)
    {
        Recorded().Boxes.clear();
        w.ClientPathEdit->SetText(FromQString(path));
        w.ExeButton->Click();
        EXPECT_TRUE(Recorded().Boxes.empty());
        WaitUntil([] { return !Recorded().Boxes.empty(); });
        if (Recorded().Boxes.size() != 1)
            return "(" + std::to_string(Recorded().Boxes.size()) + " boxes)";
        EXPECT_EQ(Recorded().Boxes[0].Caption, Sjis("エラー"));
        EXPECT_EQ(Recorded().Boxes[0].Flags, MB_OK); // an OK button and no icon
        return Recorded().Boxes[0].Text;
    }

    QTemporaryDir files;
    QString probeOut;
    std::unique_ptr<ScopedEnv> env;
};

TEST(LauncherDirectory, PartBeforeTheLastRealSeparator)
{
    EXPECT_EQ(ClientWorkingDirectory("C:\\TOOLS\\IRC.EXE"), "C:\\TOOLS");
    EXPECT_EQ(ClientWorkingDirectory("IRC.EXE"), "");
    EXPECT_EQ(ClientWorkingDirectory(""), "");
    EXPECT_EQ(ClientWorkingDirectory("C:\\IRC.EXE"), "C:");
    EXPECT_EQ(ClientWorkingDirectory("/usr/bin/hexchat"), "/usr/bin");
    EXPECT_EQ(ClientWorkingDirectory("/irc"), "/");
    EXPECT_EQ(ClientWorkingDirectory("tools/irc\\client"), "tools/irc");
    EXPECT_EQ(ClientWorkingDirectory("tools\\irc/client"), "tools\\irc");
}

TEST(LauncherDirectory, SecondBytesOfKanjiAreNoSeparators)
{
    // 表 is 0x95 0x5C and ソ 0x83 0x5C; the half-width ｿ is the one byte 0xBF.
    EXPECT_EQ(ClientWorkingDirectory(Sjis("C:\\TOOLS\\表")), "C:\\TOOLS");
    EXPECT_EQ(ClientWorkingDirectory(Sjis("C:\\ソフト\\表示.EXE")), Sjis("C:\\ソフト"));
    EXPECT_EQ(ClientWorkingDirectory(Sjis("C:\\表\\IRC.EXE")), Sjis("C:\\表"));
    EXPECT_EQ(ClientWorkingDirectory(Sjis("/home/表/irc")), Sjis("/home/表"));
    EXPECT_EQ(ClientWorkingDirectory(Sjis("表")), "");
    EXPECT_EQ(ClientWorkingDirectory(Sjis("C:\\ｿ\\IRC.EXE")), Sjis("C:\\ｿ"));
    // A lead byte cut off at the end swallows nothing after it.
    EXPECT_EQ(ClientWorkingDirectory("tools/\x95"), "tools");
}

// The auto-start says nothing; the button and the tray item say that no
// client is set.
TEST_F(Launcher, EmptyPathStartsNothingAndOnlyAskingSaysSo)
{
    auto w = StartTestWindow({.AutoCheck = true});
    w->ExeButton->Click();
    w->ExeItem->Click();
    ASSERT_TRUE(WaitUntil([] { return Recorded().Boxes.size() >= 2; }));
    ASSERT_EQ(Recorded().Boxes.size(), 2u);
    for (const auto& box : Recorded().Boxes) {
        EXPECT_EQ(box.Text, Sjis("チャットクライアントが設定されていません。"));
        EXPECT_EQ(box.Caption, Sjis("エラー"));
    }
    EXPECT_TRUE(OurChildren().empty());
}

TEST_F(Launcher, MissingFileAndMissingFolder)
{
    auto w = StartTestWindow();
    EXPECT_EQ(LaunchFails(*w, File("irc")), Sjis("指定されたファイルが見つかりませんでした。"));
    EXPECT_EQ(LaunchFails(*w, File("no-such-folder/irc")), Sjis("指定されたパスが見つかりませんでした。"));
    // The tray menu's item says the same as the button.
    Recorded().Boxes.clear();
    w->ExeItem->Click();
    ASSERT_TRUE(WaitUntil([] { return !Recorded().Boxes.empty(); }));
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    EXPECT_EQ(Recorded().Boxes[0].Text, Sjis("指定されたパスが見つかりませんでした。"));
}

TEST_F(Launcher, FilesThatCannotBeStarted)
{
    // Without a display no document has an association.
    ScopedEnv noX("DISPLAY", nullptr);
    ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    auto w = StartTestWindow();
    Write(File("notes.nimbo-text"), "plain words\n", false);
    EXPECT_EQ(LaunchFails(*w, File("notes.nimbo-text")),
        Sjis("指定されたファイル名拡張子には､ アプリケーションが関連付けられていません。"));

    Write(File("garbage"), "\x01\x02 neither a program nor a script\n", true);
    EXPECT_EQ(LaunchFails(*w, File("garbage")),
        Sjis(".EXEファイルが無効です (Win32 .EXEではないか､ .EXEイメージ内のエラーです)。"));

    // A program that is still being written.
    QFile::copy("/bin/true", File("busy"));
    ::chmod(File("busy").toUtf8().constData(), 0755);
    QFile open(File("busy"));
    ASSERT_TRUE(open.open(QIODevice::ReadWrite));
    EXPECT_EQ(LaunchFails(*w, File("busy")), Sjis("共有違反が発生しました。"));
    open.close();

    // A program without the right to run it: access denied has no text.
    QFile::copy("/bin/true", File("denied"));
    ::chmod(File("denied").toUtf8().constData(), 0644);
    EXPECT_EQ(LaunchFails(*w, File("denied")), Sjis("不明なエラー"));
}

TEST_F(Launcher, ProgramRunsInItsFolderAndLeavesNoZombie)
{
    WriteProbe(File("client/bin/probe"));
    auto w = StartTestWindow();
    w->ClientPathEdit->SetText(FromQString(File("client/bin/probe")));
    w->ExeButton->Click();
    EXPECT_TRUE(Recorded().Boxes.empty());
    EXPECT_EQ(ProbeFolder(), Real(File("client/bin")));
    // The program was handed over at once and, ended, is nobody's zombie here.
    EXPECT_TRUE(OurChildren().empty());

    QFile::remove(probeOut);
    w->ExeItem->Click();
    EXPECT_EQ(ProbeFolder(), Real(File("client/bin")));
    EXPECT_TRUE(OurChildren().empty());
}

TEST_F(Launcher, FolderNamedHyouGivesTheRightFolder)
{
    auto w = StartTestWindow();
    const QString kanji = QString::fromUtf8("表");
    WriteProbe(File(kanji + "/probe"));
    WriteProbe(File("dir/" + kanji));
    const std::vector<std::pair<QString, QString>> cases = {
        {File(kanji + "/probe"), File(kanji)},                              // '/' after the kanji
        {File(kanji + "/probe").replace('/', '\\'), File(kanji)},           // '\' throughout
        {File("dir/" + kanji), File("dir")},                                // the 0x5C is the last one
        {File("dir/" + kanji).replace('/', '\\'), File("dir")},
    };
    for (const auto& [program, folder] : cases) {
        SCOPED_TRACE(program.toStdString());
        QFile::remove(probeOut);
        w->ClientPathEdit->SetText(FromQString(program));
        w->ExeButton->Click();
        EXPECT_TRUE(Recorded().Boxes.empty());
        EXPECT_EQ(ProbeFolder(), Real(folder));
    }
}

TEST_F(Launcher, AutoStartAlsoWhenTheListenerFails)
{
    WriteProbe(File("probe"));
    QTcpServer taken;
    ASSERT_TRUE(ListenOnLowPort(taken));
    auto w = StartTestWindow(
        {.ListenPort = taken.serverPort(), .ClientPath = FromQString(File("probe")), .AutoCheck = true});
    ASSERT_TRUE(WaitUntil([] { return !Recorded().Boxes.empty(); }));
    ASSERT_EQ(Recorded().Boxes.size(), 1u);
    EXPECT_EQ(Recorded().Boxes[0].Caption, "SocketError");
    EXPECT_EQ(ProbeFolder(), Real(files.path()));
}

class PathDialog : public Launcher {
protected:
    void SetUp() override
    {
        Launcher::SetUp();
        previous = SetOpenDialogRunner([this](const TOpenDialog& d) {
            shown.push_back(d.FileName);
            filter = d.Filter;
            return answer;
        });
    }
    void TearDown() override { SetOpenDialogRunner(previous); }

    TOpenDialogRunner previous;
    std::optional<AnsiString> answer;
    std::vector<AnsiString> shown; // the file the dialog proposed, per opening
    AnsiString filter;
};

TEST_F(PathDialog, ChoosingCancellingAndTheRememberedFile)
{
    const AnsiString chosen = FromQString(File("chosen"));
    Write(File("chosen"), "", true);
    auto w = StartTestWindow({.ClientPath = "/opt/irc/client"});
    answer = chosen;
    w->PathButton->Click();
    EXPECT_EQ(w->ClientPathEdit->Text(), chosen);

    answer.reset(); // cancelled
    w->PathButton->Click();
    EXPECT_EQ(w->ClientPathEdit->Text(), chosen);

    w->ClientPathEdit->SetText("/typed/path");
    w->PathButton->Click();
    w->ClientPathEdit->SetText("");
    w->PathButton->Click();
    // The stored path, the chosen one, the typed one; clearing forgets nothing.
    EXPECT_EQ(shown, (std::vector<AnsiString>{"/opt/irc/client", chosen, "/typed/path", "/typed/path"}));
    EXPECT_EQ(filter, Sjis("実行ファイル (*.exe)|*.EXE|すべてのファイル (*)|*"));

    w->ClientPathEdit->SetText("/kept");
    answer = ""; // an empty choice changes nothing
    w->PathButton->Click();
    EXPECT_EQ(w->ClientPathEdit->Text(), "/kept");
}

TEST_F(PathDialog, DefaultExtensionOnlyForNamesWithoutAFile)
{
    Write(File("hexchat"), "", true);
    auto w = StartTestWindow();
    const std::vector<std::pair<QString, QString>> cases = {
        {File("hexchat"), File("hexchat")},        // an existing program without extension
        {File("irc"), File("irc.exe")},            // a new name without extension
        {File("irc.tar.gz"), File("irc.tar.gz")},  // a name with one
        {File("v1.2/irc"), File("v1.2/irc.exe")},  // a dot in a folder is no extension
    };
    for (const auto& [chosen, result] : cases) {
        answer = FromQString(chosen);
        w->PathButton->Click();
        EXPECT_EQ(w->ClientPathEdit->Text(), FromQString(result));
    }
}

// Folders Shift_JIS cannot hold (josé) or holds only one way (ツール〜 with
// U+301C WAVE DASH): the program starts when its path is chosen in the
// dialog and when it is typed, and the stored path brings it back.
TEST_F(PathDialog, PathsOfAnyCharactersStartTheirProgram)
{
    for (const char* folder : {"ツール〜", "josé"}) {
        const QString program = File(QString::fromUtf8(folder) + "/irc.sh");
        SCOPED_TRACE(program.toStdString());
        WriteProbe(program);
        auto typedIn = [](TNimboChat& w) { return static_cast<QLineEdit*>(w.ClientPathEdit->Widget()); };
        auto launched = [&](TNimboChat& w) {
            QFile::remove(probeOut);
            Recorded().Boxes.clear();
            w.ExeButton->Click();
            return Recorded().Boxes.empty() && ProbeFolder() == Real(QFileInfo(program).path());
        };
        auto w = StartTestWindow();
        answer = FileNameFromQString(program);
        w->PathButton->Click();
        EXPECT_EQ(typedIn(*w)->text(), program);
        EXPECT_TRUE(launched(*w));
        typedIn(*w)->setText("");
        typedIn(*w)->setText(program);
        EXPECT_TRUE(launched(*w));
        w.reset(); // saved at exit
        w = Start();
        EXPECT_EQ(typedIn(*w)->text(), program);
        EXPECT_TRUE(launched(*w));
        w->PathButton->Click();
        EXPECT_EQ(FileNameToQString(shown.back()), program); // the dialog opens on it
    }
}

} // namespace
