// The real NimboChat program, staying on IRC for Taro, ended by SIGTERM and
// started again: it saves what it kept, and the next run is back on the
// server, in Taro's channel, with the lines for his chat client.
#include "support_code/event_wait.h"
#include "support_code/irc_peers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

QByteArray Dword(quint16 value)
{
    return "dword:" + QByteArray::number(value, 16).rightJustified(8, '0');
}

// A program run with its settings and data in the given folders.
class ProgramRun {
public:
    ProgramRun(const QTemporaryDir& Config, const QTemporaryDir& Data)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", Config.path());
        env.insert("XDG_DATA_HOME", Data.path());
        FProcess.setProcessEnvironment(env);
        FProcess.start(NIMBOCHAT_BINARY, {});
    }
    ~ProgramRun()
    {
        if (FProcess.state() != QProcess::NotRunning)
            FProcess.kill();
        FProcess.waitForFinished();
    }
    // Ends it with SIGTERM; true when it exited normally, with 0.
    bool EndsNormallyOnSigterm()
    {
        kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
        return WaitUntil([&] { return FProcess.state() == QProcess::NotRunning; }, 20000) &&
               FProcess.exitStatus() == QProcess::NormalExit && FProcess.exitCode() == 0;
    }
    QString Errors() { return QString::fromLocal8Bit(FProcess.readAllStandardError()); }

private:
    QProcess FProcess;
};

TEST(StayAcrossARestart, TheProgramEndedBySigtermIsBackInItsChannelWithTheKeptLines)
{
    NgircdServer irc;
    ASSERT_TRUE(irc.Started());
    QTemporaryDir config, data;
    ASSERT_TRUE(config.isValid() && data.isValid());
    const quint16 listenPort = FreeLowPort();
    {
        QFile hive(config.filePath("nimbochat/HKEY_CURRENT_USER.reg"));
        ASSERT_TRUE(QDir(config.path()).mkpath("nimbochat"));
        ASSERT_TRUE(hive.open(QIODevice::WriteOnly));
        hive.write("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\r\n"
                   "\"ClientHost\"=\"127.0.0.1\"\r\n\"ClientPort\"=" + Dword(irc.Port()) +
                   "\r\n\"ClientNick\"=\"Taro\"\r\n\"ServerPort\"=" + Dword(listenPort) +
                   "\r\n\"ConvertCheck\"=dword:00000000\r\n\"ClientPath\"=\"\"\r\n\"AutoCheck\"=dword:00000000\r\n"
                   "\"StayCheck\"=dword:00000001\r\n");
    }
    IrcClient hana;
    {
        ProgramRun first(config, data);
        IrcClient taro;
        ASSERT_TRUE(WaitUntil([&] { return taro.Connect(listenPort, 200); }, 20000)) << first.Errors().toStdString();
        ASSERT_TRUE(taro.Register("Taro", 10000));
        ASSERT_TRUE(taro.Join("#leaf"));
        ASSERT_TRUE(hana.Connect(irc.Port()));
        ASSERT_TRUE(hana.Register("Hana"));
        ASSERT_TRUE(hana.Join("#leaf"));
        // Taro's client leaves; once the program has closed its end too, it
        // has handled the leaving.
        ASSERT_EQ(shutdown(static_cast<int>(taro.Socket().socketDescriptor()), SHUT_WR), 0);
        ASSERT_TRUE(taro.WaitClosed());
        // The program answers the VERSION after it has taken the line before it.
        hana.Send("PRIVMSG #leaf :while you were away\r\nPRIVMSG Taro :\x01VERSION\x01\r\n");
        ASSERT_TRUE(hana.WaitFor("NOTICE Hana :\x01VERSION", 10000));
        EXPECT_TRUE(first.EndsNormallyOnSigterm()) << first.Errors().toStdString();
    }
    const QString stayFile = data.filePath("NimboChat/stay-session");
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(stayFile).constData(), &st), 0) << "the stay session was not saved";
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(hana.WaitFor(" QUIT ")); // the server has seen the old connection go
    const qsizetype seen = hana.Received().size();

    ProgramRun second(config, data);
    ASSERT_TRUE(WaitUntil([&] { return hana.Received().indexOf("JOIN :#leaf", seen) >= 0; }, 20000))
        << second.Errors().toStdString();
    const QByteArray after = hana.Received().mid(seen);
    const qsizetype join = after.indexOf("JOIN :#leaf");
    EXPECT_TRUE(after.mid(after.lastIndexOf('\n', join) + 1).startsWith(":Taro!")) << after.toStdString();
    IrcClient back;
    ASSERT_TRUE(back.Connect(listenPort));
    back.Send("NICK Taro\r\nUSER taro 0 * :Taro\r\n");
    EXPECT_TRUE(back.WaitFor("while you were away")) << back.Received().toStdString();
    EXPECT_TRUE(back.Received().contains("JOIN :#leaf"));
}

} // namespace
