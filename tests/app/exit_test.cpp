// The real NimboChat program ended by a signal: it must end as when its
// window is closed, with the settings written.
#include "support_code/event_wait.h"
#include "support_code/irc_peers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

namespace {

class EndedBySignal : public ::testing::TestWithParam<int> {};

// The required values only; the program writes all eleven when it exits.
QByteArray StoredSettings(quint16 listenPort)
{
    return "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\r\n"
           "\"ClientHost\"=\"irc.example.jp\"\r\n\"ClientPort\"=dword:00001a0b\r\n\"ClientNick\"=\"Taro\"\r\n"
           "\"ServerPort\"=dword:" +
           QByteArray::number(listenPort, 16).rightJustified(8, '0') +
           "\r\n\"ConvertCheck\"=dword:00000000\r\n\"ClientPath\"=\"\"\r\n\"AutoCheck\"=dword:00000000\r\n";
}

bool Listening(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return WaitUntil([&] { return probe.state() == QAbstractSocket::ConnectedState; }, 200);
}

TEST_P(EndedBySignal, WritesTheSettingsAndEndsNormally)
{
    QTemporaryDir config;
    ASSERT_TRUE(QDir(config.path()).mkpath("nimbochat"));
    const QString hive = config.filePath("nimbochat/HKEY_CURRENT_USER.reg");
    const quint16 listenPort = FreeLowPort();
    {
        QFile f(hive);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(StoredSettings(listenPort));
    }
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(NIMBOCHAT_BINARY, {});
    ASSERT_TRUE(program.waitForStarted());
    // The window is up once its listener accepts.
    ASSERT_TRUE(WaitUntil([&] { return Listening(listenPort); }, 20000));
    kill(static_cast<pid_t>(program.processId()), GetParam());
    ASSERT_TRUE(WaitUntil([&] { return program.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << program.readAllStandardError().toStdString();
    EXPECT_EQ(program.exitCode(), 0);
    QFile f(hive);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray written = f.readAll();
    EXPECT_TRUE(written.contains("\"MinCheck\"=dword:00000000")) << written.toStdString();
    EXPECT_TRUE(written.contains("\"ClientNick\"=\"Taro\""));
}

INSTANTIATE_TEST_SUITE_P(TermIntHup, EndedBySignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

} // namespace
