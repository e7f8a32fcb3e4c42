// Real IRC peers on 127.0.0.1 for the relay's tests: an ngircd server with a
// configuration of its own in a temporary folder, and a scripted client.
#pragma once

#include "support_code/event_wait.h"

#include <QByteArray>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Listens on a free port of 127.0.0.1 below 10000, the range that the
// window's port boxes hold (their up-downs stop at 9999).
bool ListenOnLowPort(QTcpServer& server);

// A free port below 10000 at the time of the call.
quint16 FreeLowPort();

// A server certificate (PEM) and its key, for ngircd's TLS port.
struct TlsFiles {
    QString CertFile;
    QString KeyFile;
};

class NgircdServer {
public:
    // Starts ngircd and waits until it accepts connections: in plain text on
    // Port(), and with Tls also with TLS on TlsPort(). Started() tells
    // whether that worked.
    explicit NgircdServer(const std::optional<TlsFiles>& Tls = std::nullopt);
    ~NgircdServer();
    bool Started() const { return FStarted; }
    quint16 Port() const { return FPort; }
    quint16 TlsPort() const { return FTlsPort; }
    const char* Name() const { return "irc.nimbo.test"; }
    // Stops the server at once: every connection is dropped.
    void Kill();

private:
    QTemporaryDir FDir;
    QProcess FProcess;
    quint16 FPort = 0;
    quint16 FTlsPort = 0;
    bool FStarted = false;
};

// A listening socket on a low port of 127.0.0.1 whose accept queue is full,
// so that a connect to it waits, its SYN sent again and again, until
// Release() makes room: an upstream that connects late.
class LateUpstream {
public:
    LateUpstream();
    ~LateUpstream();
    LateUpstream(const LateUpstream&) = delete;
    LateUpstream& operator=(const LateUpstream&) = delete;
    quint16 Port() const { return FPort; }
    // Makes room for the relay's connection. The fillers still trying are
    // closed first: their retried handshakes would otherwise take the room
    // again at the moment the relay's retry comes, and the relay's next try
    // is seconds later.
    void Release();
    // What arrived on the accepted connections; only the relay's sends.
    std::string Read();

private:
    int FListen = -1;
    quint16 FPort = 0;
    std::vector<int> FFillers, FAccepted;
    std::string FGot;
};

// A scripted client: sends raw bytes and collects everything it receives.
class IrcClient {
public:
    bool Connect(quint16 port, int timeoutMs = 5000);
    void Send(const QByteArray& bytes);
    // Registers with NICK and USER and waits for the welcome reply.
    bool Register(const QByteArray& nick, int timeoutMs = 5000);
    bool Join(const QByteArray& channel, int timeoutMs = 5000);
    // Waits until the bytes received contain `needle`.
    bool WaitFor(const QByteArray& needle, int timeoutMs = 5000);
    // Waits until the peer closed the connection.
    bool WaitClosed(int timeoutMs = 5000);
    const QByteArray& Received();
    // The received line (without CR LF) that contains `needle`, or empty.
    QByteArray LineWith(const QByteArray& needle);
    void Close();
    QTcpSocket& Socket() { return FSocket; }

private:
    void Drain();
    QTcpSocket FSocket;
    QByteArray FReceived;
};
