#include "support_code/irc_peers.h"

#include <QFile>
#include <QRandomGenerator>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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
    FProcess.start("ngircd", {"-n", "-f", conf.fileName()});
    if (!FProcess.waitForStarted(5000))
        return;
    FStarted = WaitUntil([&] {
        for (quint16 port : {FPort, FTlsPort}) {
            if (port == 0)
                continue;
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (!probe.waitForConnected(200))
                return false;
        }
        return true;
    }, 10000);
}

NgircdServer::~NgircdServer()
{
    Kill();
}

void NgircdServer::Kill()
{
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.kill();
    FProcess.waitForFinished(5000);
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
