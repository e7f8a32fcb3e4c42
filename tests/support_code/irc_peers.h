// Real IRC peers on 127.0.0.1 for the relay's tests: an ngircd server with a
// configuration of its own in a temporary folder, a scripted server and a
// scripted client.
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
    // Whether the last start worked and the server has not been ended since.
    bool Started() const { return FStarted; }
    quint16 Port() const { return FPort; }
    quint16 TlsPort() const { return FTlsPort; }
    const char* Name() const { return "irc.nimbo.test"; }
    // Starts the server again, with the same configuration on the same
    // ports, and waits until it accepts; false when it does not.
    bool Start();
    // Ends the server as an administrator does (SIGTERM), paused or not, and
    // waits until it has exited: the server closes every connection itself,
    // after "ERROR :Server going down".
    void Stop();
    // Stops the server at once: every connection is dropped.
    void Kill();
    // Freezes the server (SIGSTOP) and waits until it is frozen, which it
    // tells: its connections stay open, but nothing is read or answered on
    // them until Resume() (SIGCONT). The destructor ends a paused server too.
    bool Pause();
    void Resume();

private:
    QTemporaryDir FDir;
    QProcess FProcess;
    quint16 FPort = 0;
    quint16 FTlsPort = 0;
    bool FStarted = false;
};

// An upstream server whose every byte the test writes itself: it accepts
// each connection made to it, one after another (a relay that reconnects
// comes back on a new one), and serves the one accepted last.
class ScriptedServer {
public:
    ScriptedServer();
    // Whether it listens, on Port(), a low port of 127.0.0.1.
    bool Listening() const { return FServer.isListening(); }
    quint16 Port() const { return FServer.serverPort(); }
    // The connections accepted so far, the current one included.
    int Connections();
    bool WaitConnections(int count, int timeoutMs = 5000);
    // The connection accepted last, or null before the first.
    QTcpSocket* Current();
    void Send(const QByteArray& bytes);
    // What the current connection has received, from its start.
    const QByteArray& Received();
    // Waits until the current connection has received `needle`.
    bool WaitFor(const QByteArray& needle, int timeoutMs = 5000);
    // Closes the current connection, as a server that ends a session does.
    void DropCurrent();
    // Resets the current connection (RST), as a server that crashes or a
    // router that forgets it does.
    void ResetCurrent();

private:
    void Accept();
    QTcpServer FServer;
    // Earlier connections stay open until the peer or the destructor ends them.
    std::vector<std::unique_ptr<QTcpSocket>> FConnections;
    QByteArray FReceived;
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
