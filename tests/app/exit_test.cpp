// The real NimboChat program ended by a signal: it must end as when its
// window is closed, with the settings written.
#include "support_code/event_wait.h"
#include "support_code/irc_peers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <unistd.h>
#include <functional>
#include <memory>
#include <vector>

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

// The program with stored settings in a folder of its own, its upstream on
// 127.0.0.1:UpstreamPort, its listener on ListenPort.
class Program {
public:
    Program(quint16 UpstreamPort, quint16 ListenPort, const QProcessEnvironment& Env)
    {
        QDir(FConfig.path()).mkpath("nimbochat");
        QFile f(Hive());
        f.open(QIODevice::WriteOnly);
        f.write(StoredSettings(ListenPort)
                    .replace("irc.example.jp", "127.0.0.1")
                    .replace("dword:00001a0b", "dword:" + QByteArray::number(UpstreamPort, 16).rightJustified(8, '0')));
        f.close();
        QProcessEnvironment env = Env;
        env.insert("XDG_CONFIG_HOME", FConfig.path());
        FProcess.setProcessEnvironment(env);
        FProcess.start(NIMBOCHAT_BINARY, {});
    }
    ~Program()
    {
        if (FProcess.state() != QProcess::NotRunning)
            FProcess.kill();
        FProcess.waitForFinished();
    }
    QString Hive() const { return FConfig.filePath("nimbochat/HKEY_CURRENT_USER.reg"); }
    // Sends SIGTERM and tells whether the program then ended normally within
    // a second, its settings written.
    bool EndsAtOnceOnSigterm()
    {
        QFile::remove(Hive());
        kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
        return WaitUntil([&] { return FProcess.state() == QProcess::NotRunning; }, 1000) &&
               FProcess.exitStatus() == QProcess::NormalExit && FProcess.exitCode() == 0 && QFile::exists(Hive());
    }
    QProcess& Process() { return FProcess; }

private:
    QTemporaryDir FConfig;
    QProcess FProcess;
};

QProcessEnvironment Offscreen()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

// The TCP sockets a process holds: local and remote port, state (2 a
// connect under way) and the bytes received and not yet read.
struct TcpSocket {
    unsigned Local, Remote, State, Unread;
};

std::vector<TcpSocket> TcpSocketsOf(qint64 Pid)
{
    QSet<QByteArray> inodes; // the process's sockets, by inode
    const QString fds = QString("/proc/%1/fd").arg(Pid);
    for (const QString& fd : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char link[64] = {};
        const QByteArray target(link, readlink(QFile::encodeName(fds + "/" + fd).constData(), link, sizeof link - 1));
        if (target.startsWith("socket:["))
            inodes.insert(target.mid(8, target.size() - 9));
    }
    std::vector<TcpSocket> sockets;
    QFile f("/proc/net/tcp");
    if (!f.open(QIODevice::ReadOnly))
        return sockets;
    f.readLine(); // the heading
    for (QByteArray line = f.readLine(); !line.isEmpty(); line = f.readLine()) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 10 || !inodes.contains(fields[9]))
            continue;
        auto port = [](const QByteArray& address) { return address.split(':').value(1).toUInt(nullptr, 16); };
        sockets.push_back({port(fields[1]), port(fields[2]), fields[3].toUInt(nullptr, 16),
                           fields[4].split(':').value(1).toUInt(nullptr, 16)});
    }
    return sockets;
}

bool Holds(QProcess& Process, const std::function<bool(const TcpSocket&)>& Wanted)
{
    const std::vector<TcpSocket> all = TcpSocketsOf(Process.processId());
    return std::any_of(all.begin(), all.end(), Wanted);
}

// A chat client has sent its first line and waits while the upstream
// connects late (its SYN unanswered): the program, ended then, ends at once,
// not when the connect gives up minutes later.
TEST(Ending, ASignalWhileAClientWaitsForALateUpstreamEndsTheProgramAtOnce)
{
    LateUpstream upstream;
    const quint16 listenPort = FreeLowPort();
    Program program(upstream.Port(), listenPort, Offscreen());
    ASSERT_TRUE(program.Process().waitForStarted());
    IrcClient client;
    ASSERT_TRUE(WaitUntil([&] { return client.Connect(listenPort, 200); }, 20000));
    const quint16 clientPort = client.Socket().localPort();
    auto connecting = [&](const TcpSocket& s) { return s.Remote == upstream.Port() && s.State == 2; };
    ASSERT_TRUE(WaitUntil([&] { return Holds(program.Process(), connecting); }))
        << "the program's connect to the upstream is not under way";
    client.Send("NICK taro\r\nUSER taro 0 * :Taro\r\n");
    // The program has read the lines: nothing waits unread on its side.
    ASSERT_TRUE(WaitUntil([&] {
        return client.Socket().bytesToWrite() == 0 && Holds(program.Process(), [&](const TcpSocket& s) {
                   return s.Local == listenPort && s.Remote == clientPort && s.Unread == 0;
               });
    }));
    ASSERT_TRUE(Holds(program.Process(), connecting));
    EXPECT_TRUE(program.EndsAtOnceOnSigterm()) << program.Process().readAllStandardError().toStdString();
}

// An X server of the test's own, for the real boxes of the program.
class VirtualDisplay {
public:
    VirtualDisplay()
    {
        // -noreset: an X server resets when its last client leaves, and a
        // client that connects during the reset is refused. The readiness
        // probe below is such a last client.
        FServer.start("Xvfb", {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp", "-noreset"});
        if (!FServer.waitForStarted() || !WaitUntil([&] { return FServer.canReadLine(); }, 10000))
            return;
        const QString name = ":" + QString::fromUtf8(FServer.readLine().trimmed());
        // Named once a client can really connect to it.
        if (WaitUntil([&] { return Answers(*XwininfoRoot(name)); }, 10000))
            FName = name;
    }
    ~VirtualDisplay()
    {
        FServer.terminate();
        FServer.waitForFinished();
    }
    const QString& Name() const { return FName; }
    bool Answers() const { return Answers(*XwininfoRoot(FName)); }
    // Whether a window with this title is on the display.
    bool Shows(const QString& Title)
    {
        return XwininfoRoot(FName)->readAllStandardOutput().contains(Title.toUtf8());
    }

private:
    // Whether xwininfo ran to its end and listed the root window.
    static bool Answers(const QProcess& Info)
    {
        return Info.state() == QProcess::NotRunning && Info.error() == QProcess::UnknownError &&
               Info.exitStatus() == QProcess::NormalExit &&
               Info.exitCode() == 0;
    }
    // The window tree of a display, as xwininfo lists it.
    static std::unique_ptr<QProcess> XwininfoRoot(const QString& Display)
    {
        auto info = std::make_unique<QProcess>();
        info->start("xwininfo", {"-root", "-tree", "-display", Display});
        info->waitForFinished(5000);
        return info;
    }

    QProcess FServer;
    QString FName;
};

// With its port taken, the program starts with the box "SocketError" on
// screen; an ending signal then ends the program, box and all.
TEST(Ending, ASignalWhileTheStartUpBoxIsOpenEndsTheProgram)
{
    VirtualDisplay display;
    ASSERT_FALSE(display.Name().isEmpty()) << "Xvfb did not start";
    QTcpServer taken;
    ASSERT_TRUE(ListenOnLowPort(taken));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", display.Name());
    Program program(FreeLowPort(), taken.serverPort(), env);
    ASSERT_TRUE(program.Process().waitForStarted());
    ASSERT_TRUE(WaitUntil([&] { return display.Shows("SocketError"); }, 20000))
        << program.Process().readAllStandardError().toStdString() << "\n"
        << (display.Answers() ? "the display answers" : "the display does not answer") << "\n";
    EXPECT_TRUE(program.EndsAtOnceOnSigterm()) << program.Process().readAllStandardError().toStdString();
}

} // namespace
