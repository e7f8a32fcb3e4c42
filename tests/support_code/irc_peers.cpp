#include "support_code/irc_peers.h"

#include <QFile>
#include <QRandomGenerator>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

bool ListenOnLowPort(QTcpServer& server)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto port = static_cast<quint16>(7000 + QRandomGenerator::global()->bounded(2999));
        if (port != 6667 && server.listen(QHostAddress::LocalHost, port))
            return true;
    }
    return false;
}

quint16 FreeLowPort()
{
    QTcpServer probe;
    ListenOnLowPort(probe);
    return probe.serverPort();
}

NgircdServer::NgircdServer(const std::optional<TlsFiles>& Tls)
{
    FPort = FreeLowPort();
    QString ssl;
    if (Tls) {
        do
            FTlsPort = FreeLowPort();
        while (FTlsPort == FPort);
        ssl = QString("[SSL]\nCertFile = %1\nKeyFile = %2\nPorts = %3\n").arg(Tls->CertFile, Tls->KeyFile).arg(FTlsPort);
    }
    QFile conf(FDir.filePath("ngircd.conf"));
    if (!conf.open(QIODevice::WriteOnly))
        return;
    conf.write(QString("[Global]\n"
                       "Name = irc.nimbo.test\n"
                       "Info = NimboChat test server\n"
                       "Listen = 127.0.0.1\n"
                       "Ports = %1\n"
                       "MotdPhrase = \"NimboChat test server\"\n"
                       "PidFile = %2\n"
                       "[Limits]\n"
                       "PingTimeout = 120\n"
                       "PongTimeout = 60\n"
                       "MaxNickLength = 30\n"
                       "[Options]\n"
                       "PAM = no\n"
                       "DNS = no\n"
                       "Ident = no\n")
                   .arg(FPort)
                   .arg(FDir.filePath("ngircd.pid"))
                   .toUtf8() +
               ssl.toUtf8());
    conf.close();
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    Start();
}

NgircdServer::~NgircdServer()
{
    Kill(); // SIGKILL ends a paused server as well; it needs no SIGCONT
}

bool NgircdServer::Start()
{
    FProcess.start("ngircd", {"-n", "-f", FDir.filePath("ngircd.conf")});
    if (!FProcess.waitForStarted(5000))
        return false;
    // ngircd logs each port it listens on, and exits when it can listen on
    // none. A connect alone proves nothing: another program may hold the port.
    QByteArray log;
    const auto listening = [&](quint16 port) {
        return port == 0 || log.contains(QString("Now listening on [127.0.0.1]:%1 ").arg(port).toUtf8());
    };
    FStarted = WaitUntil([&] {
        log += FProcess.readAll();
        return FProcess.state() == QProcess::NotRunning || (listening(FPort) && listening(FTlsPort));
    }, 10000) && FProcess.state() == QProcess::Running;
    return FStarted;
}

void NgircdServer::Stop()
{
    FStarted = false;
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.terminate();
    Resume(); // a frozen process keeps the SIGTERM pending until it runs again
    if (!FProcess.waitForFinished(5000))
        Kill();
}

void NgircdServer::Kill()
{
    FStarted = false;
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.kill();
    FProcess.waitForFinished(5000);
}

namespace {

// The state letter of a process ('R', 'S', 'T' for stopped, ...), which
// /proc/<pid>/stat gives after the command name in parentheses; 0 when
// there is no such process.
char ProcessState(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const qsizetype name = line.lastIndexOf(')');
    return name >= 0 && name + 2 < line.size() ? line[name + 2] : 0;
}

} // namespace

bool NgircdServer::Pause()
{
    // Without a process processId() is 0, and kill(0, ...) would signal
    // this test's own process group.
    if (FProcess.state() != QProcess::Running)
        return false;
    ::kill(static_cast<pid_t>(FProcess.processId()), SIGSTOP);
    return WaitUntil([&] { return ProcessState(FProcess.processId()) == 'T'; });
}

void NgircdServer::Resume()
{
    if (FProcess.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(FProcess.processId()), SIGCONT);
}

ScriptedServer::ScriptedServer()
{
    ListenOnLowPort(FServer);
}

void ScriptedServer::Accept()
{
    while (QTcpSocket* next = FServer.nextPendingConnection()) {
        FConnections.emplace_back(next);
        FReceived.clear();
    }
}

int ScriptedServer::Connections()
{
    Accept();
    return static_cast<int>(FConnections.size());
}

bool ScriptedServer::WaitConnections(int count, int timeoutMs)
{
    return WaitUntil([&] { return Connections() >= count; }, timeoutMs);
}

QTcpSocket* ScriptedServer::Current()
{
    Accept();
    return FConnections.empty() ? nullptr : FConnections.back().get();
}

void ScriptedServer::Send(const QByteArray& bytes)
{
    if (QTcpSocket* current = Current()) {
        current->write(bytes);
        current->flush();
    }
}

const QByteArray& ScriptedServer::Received()
{
    if (QTcpSocket* current = Current(); current && current->isOpen())
        FReceived += current->readAll();
    return FReceived;
}

bool ScriptedServer::WaitFor(const QByteArray& needle, int timeoutMs)
{
    return WaitUntil([&] { return Received().contains(needle); }, timeoutMs);
}

void ScriptedServer::DropCurrent()
{
    Received(); // what came before the drop stays readable
    if (QTcpSocket* current = Current())
        current->close();
}

void ScriptedServer::ResetCurrent()
{
    Received();
    if (QTcpSocket* current = Current()) {
        // With a zero linger time the close sends RST and drops what is unsent.
        const linger now{1, 0};
        setsockopt(static_cast<int>(current->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
        current->abort();
    }
}

bool IrcClient::Connect(quint16 port, int timeoutMs)
{
    // The connected signal counts, so that a peer that answers and closes at
    // once still counts as reached.
    bool connected = false;
    QMetaObject::Connection c = QObject::connect(&FSocket, &QTcpSocket::connected, [&] { connected = true; });
    FSocket.connectToHost(QHostAddress::LocalHost, port);
    bool ok = WaitUntil([&] { return connected; }, timeoutMs);
    QObject::disconnect(c);
    return ok;
}

void IrcClient::Send(const QByteArray& bytes)
{
    FSocket.write(bytes);
    FSocket.flush();
}

bool IrcClient::Register(const QByteArray& nick, int timeoutMs)
{
    Send("NICK " + nick + "\r\nUSER " + nick.toLower() + " 0 * :" + nick + "\r\n");
    return WaitFor(" 001 ", timeoutMs);
}

bool IrcClient::Join(const QByteArray& channel, int timeoutMs)
{
    Send("JOIN " + channel + "\r\n");
    return WaitFor(" 366 ", timeoutMs); // end of the names list
}

void IrcClient::Drain()
{
    FReceived += FSocket.readAll();
}

bool IrcClient::WaitFor(const QByteArray& needle, int timeoutMs)
{
    return WaitUntil([&] {
        Drain();
        return FReceived.contains(needle);
    }, timeoutMs);
}

bool IrcClient::WaitClosed(int timeoutMs)
{
    return WaitUntil([&] {
        Drain();
        return FSocket.state() == QAbstractSocket::UnconnectedState;
    }, timeoutMs);
}

const QByteArray& IrcClient::Received()
{
    Drain();
    return FReceived;
}

QByteArray IrcClient::LineWith(const QByteArray& needle)
{
    for (const QByteArray& line : Received().split('\n'))
        if (line.contains(needle))
            return line.endsWith('\r') ? line.chopped(1) : line;
    return {};
}

void IrcClient::Close()
{
    FSocket.close();
}

LateUpstream::LateUpstream()
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    do { // a free port can be taken by a test running beside this one
        if (FListen >= 0)
            close(FListen);
        FListen = socket(AF_INET, SOCK_STREAM, 0);
        FPort = FreeLowPort();
        a.sin_port = htons(FPort);
    } while (bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0);
    listen(FListen, 0);
    for (int i = 0; i < 4; ++i) { // fills the accept queue
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        FFillers.push_back(f);
    }
    fcntl(FListen, F_SETFL, O_NONBLOCK);
}

LateUpstream::~LateUpstream()
{
    for (int f : FFillers)
        close(f);
    for (int f : FAccepted)
        close(f);
    close(FListen);
}

void LateUpstream::Release()
{
    for (int f : FFillers)
        close(f);
    FFillers.clear();
    for (int f = accept(FListen, nullptr, nullptr); f >= 0; f = accept(FListen, nullptr, nullptr))
        FAccepted.push_back(f);
}

std::string LateUpstream::Read()
{
    Release();
    char buf[4096];
    for (int f : FAccepted) {
        for (ssize_t n = recv(f, buf, sizeof buf, MSG_DONTWAIT); n > 0; n = recv(f, buf, sizeof buf, MSG_DONTWAIT))
            FGot.append(buf, static_cast<size_t>(n));
    }
    return FGot;
}
