// The shell's start with real files: the failure codes, a started
// program's working directory, no zombies, and documents through xdg-open
// with an association made for the test, opened without waiting here.
#include "winapi/shell.h"

#include "support_code/event_wait.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : Name(name), Had(qEnvironmentVariableIsSet(name)), Old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (Had)
            qputenv(Name, Old);
        else
            qunsetenv(Name);
    }

private:
    const char* Name;
    bool Had;
    QByteArray Old;
};

class Shell : public testing::Test {
protected:
    QTemporaryDir Tmp;

    void SetUp() override
    {
        ASSERT_TRUE(Tmp.isValid());
        qputenv("XDG_CONFIG_HOME", (Tmp.path() + "/config").toLocal8Bit());
        QDir().mkpath(Tmp.path() + "/config");
    }

    std::string Path(const QString& relative) const { return (Tmp.path() + "/" + relative).toStdString(); }

    void Write(const QString& relative, const QByteArray& content, bool executable) const
    {
        QFile f(Tmp.path() + "/" + relative);
        QDir().mkpath(QFileInfo(f).path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        QFile::Permissions p = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            p |= QFile::ExeOwner;
        f.setPermissions(p);
    }

    QByteArray Read(const QString& relative) const
    {
        QFile f(Tmp.path() + "/" + relative);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Starts file and gives the result once it has come (-1 when none came).
    static std::intptr_t Run(const std::string& file, const std::string& dir = "")
    {
        auto result = Start(file, dir);
        WaitUntil([&] { return result->has_value(); }, 10000);
        return result->value_or(-1);
    }

    // Starts file; the result is filled in when it comes.
    static std::shared_ptr<std::optional<std::intptr_t>> Start(const std::string& file, const std::string& dir = "")
    {
        auto result = std::make_shared<std::optional<std::intptr_t>>();
        ShellStart(file.c_str(), dir.empty() ? nullptr : dir.c_str(), [result](std::intptr_t r) { *result = r; });
        return result;
    }

    static std::string Backslashed(std::string path)
    {
        for (char& c : path)
            if (c == '/')
                c = '\\';
        return path;
    }

    // The states of the processes whose parent is this test.
    static std::vector<char> ChildStates()
    {
        std::vector<char> states;
        for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
            bool numeric = false;
            entry.toInt(&numeric);
            QFile stat("/proc/" + entry + "/stat");
            if (!numeric || !stat.open(QIODevice::ReadOnly))
                continue;
            QByteArray line = stat.readAll();
            QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
            if (rest.size() > 1 && rest[1].toInt() == getpid())
                states.push_back(rest[0].isEmpty() ? '?' : rest[0][0]);
        }
        return states;
    }
};

// A program that writes its working directory into a file "out" there.
const QByteArray ReportScript = "#!/bin/sh\npwd > out.part && mv out.part out\n";

TEST_F(Shell, MissingFilesAndFoldersAreTold)
{
    QDir().mkpath(Tmp.path() + "/there");
    EXPECT_EQ(Run(Path("there/nothing")), SE_ERR_FNF);
    EXPECT_EQ(Run(Backslashed(Path("there/nothing"))), SE_ERR_FNF);
    EXPECT_EQ(Run(Path("gone/nothing")), SE_ERR_PNF);
    EXPECT_EQ(Run(Backslashed(Path("gone/nothing"))), SE_ERR_PNF);
    EXPECT_EQ(Run("nimbo-no-such-program-anywhere"), SE_ERR_FNF);
    EXPECT_EQ(Run(""), SE_ERR_FNF);
    Write("prog.sh", ReportScript, true);
    EXPECT_EQ(Run(Path("prog.sh"), Path("gone")), SE_ERR_PNF); // a working directory that is missing
    EXPECT_EQ(Run(Path("prog.sh"), Path("prog.sh")), SE_ERR_PNF); // or is not a folder
}

TEST_F(Shell, FilesThatCannotRunGetTheFittingCode)
{
    ScopedEnv noDisplay("DISPLAY", "");
    Write("data.nimbo-unknown", QByteArray("\x00\x01\x02 data", 8), false);
    EXPECT_EQ(Run(Path("data.nimbo-unknown")), SE_ERR_NOASSOC);
    Write("plain.sh", ReportScript, false); // a program without execute permission
    EXPECT_EQ(Run(Path("plain.sh")), SE_ERR_ACCESSDENIED);
    Write("garbage", QByteArray("\x01\x02\x03garbage", 10), true);
    EXPECT_EQ(Run(Path("garbage")), ERROR_BAD_FORMAT);
    Write("prog.sh", ReportScript, true);
    QFile busy(Tmp.path() + "/prog.sh"); // open for writing: a sharing violation
    ASSERT_TRUE(busy.open(QIODevice::ReadWrite));
    EXPECT_EQ(Run(Path("prog.sh")), SE_ERR_SHARE);
}

TEST_F(Shell, AProgramStartsInItsFolderAndLeavesNoZombie)
{
    Write("bin/report.sh", ReportScript, true);
    QDir().mkpath(Tmp.path() + "/work");
    std::optional<std::intptr_t> result;
    ShellStart(Backslashed(Path("bin/report.sh")).c_str(), Backslashed(Path("work")).c_str(),
        [&](std::intptr_t r) { result = r; });
    ASSERT_TRUE(result.has_value()); // a program's start is told at once
    EXPECT_EQ(*result, Started);
    EXPECT_EQ(ChildStates(), std::vector<char>{}); // the program is not our child

    ASSERT_TRUE(WaitUntil([&] { return !Read("work/out").isEmpty(); }));
    EXPECT_EQ(Read("work/out"), (Tmp.path() + "/work\n").toUtf8());
    EXPECT_EQ(ChildStates(), std::vector<char>{});
}

TEST_F(Shell, AShiftJisFolderWhoseSecondByteIsABackslashIsUsedWhole)
{
    // 表 is 0x95 0x5C in Shift_JIS and a folder named 表 in UTF-8 on disk.
    Write(QString::fromUtf8("表/report.sh"), ReportScript, true);
    const std::string dir = Backslashed(Tmp.path().toStdString()) + "\\\x95\x5c";
    EXPECT_EQ(Run(dir + "\\report.sh", dir), Started);
    ASSERT_TRUE(WaitUntil([&] { return !Read(QString::fromUtf8("表/out")).isEmpty(); }));
    EXPECT_EQ(Read(QString::fromUtf8("表/out")), (Tmp.path() + QString::fromUtf8("/表\n")).toUtf8());
}

class ShellDocuments : public Shell {
protected:
    void SetUp() override
    {
        Shell::SetUp();
        if (access("/usr/bin/xdg-open", X_OK) != 0 && access("/usr/local/bin/xdg-open", X_OK) != 0)
            GTEST_SKIP() << "xdg-open is not installed";
        // Only the association made here counts, not those of the machine.
        for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS"})
            Env.push_back(std::make_unique<ScopedEnv>(name, (Tmp.path() + "/share").toLocal8Bit()));
        // The viewer says where it ran, then stays until "close" exists and
        // ends with the status written there.
        Write("viewer.sh",
            "#!/bin/sh\nprintf '%s|%s\\n' \"$1\" \"$(pwd)\" > " + Tmp.path().toUtf8() + "/opened\n"
            "while [ ! -s " + Tmp.path().toUtf8() + "/close ]; do sleep 0.05; done\n"
            "exit $(cat " + Tmp.path().toUtf8() + "/close)\n",
            true);
        Write("share/applications/nimbo-viewer.desktop",
            "[Desktop Entry]\nType=Application\nName=Viewer\nExec=" + Tmp.path().toUtf8() + "/viewer.sh %f\n", false);
        Write("note.txt", "a note\n", false);
        QDir().mkpath(Tmp.path() + "/work");
    }

    void TearDown() override { Env.clear(); }

    std::vector<std::unique_ptr<ScopedEnv>> Env;

    void Associate(const QByteArray& entry) const
    {
        Write("config/mimeapps.list", "[Default Applications]\ntext/plain=" + entry + "\n", false);
    }
};

TEST_F(ShellDocuments, ADocumentOpensWithItsAssociatedProgramWithoutWaitingHere)
{
    ScopedEnv display("DISPLAY", ":nimbo-test");
    Associate("nimbo-viewer.desktop");
    auto result = Start(Path("note.txt"), Path("work"));
    ASSERT_TRUE(WaitUntil([&] { return Read("opened").contains('\n'); }, 10000));
    EXPECT_EQ(Read("opened"), (Tmp.path() + "/note.txt|" + Tmp.path() + "/work\n").toUtf8());
    EXPECT_FALSE(result->has_value()); // the viewer still runs, and we went on
    Write("close", "0", false);
    ASSERT_TRUE(WaitUntil([&] { return result->has_value(); }, 10000));
    EXPECT_EQ(**result, Started);
    EXPECT_EQ(ChildStates(), std::vector<char>{});
}

TEST_F(ShellDocuments, AFailedOpenerIsTold)
{
    ScopedEnv display("DISPLAY", ":nimbo-test");
    Associate("nimbo-viewer.desktop");
    Write("close", "1", false); // the associated program fails
    EXPECT_EQ(Run(Path("note.txt")), SE_ERR_ASSOCINCOMPLETE);
    EXPECT_EQ(ChildStates(), std::vector<char>{});
}

TEST_F(ShellDocuments, MissingOrBrokenAssociationsAreTold)
{
    ScopedEnv display("DISPLAY", ":nimbo-test");
    Associate("nimbo-gone.desktop"); // an entry that is not installed
    EXPECT_EQ(Run(Path("note.txt")), SE_ERR_NOASSOC);
    Associate("nimbo-viewer.desktop");
    ScopedEnv noDisplay("DISPLAY", "");
    EXPECT_EQ(Run(Path("note.txt")), SE_ERR_NOASSOC); // xdg-open needs a display for associations
}

} // namespace
