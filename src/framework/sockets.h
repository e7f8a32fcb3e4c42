// Non-blocking TCP sockets whose events arrive on the GUI thread, as the
// program's socket components deliver them.
//
// Guarantees callers rely on:
// - Events (connect, read, disconnect, error, client connect) run through
//   DispatchEvent: no exception crosses the event loop.
// - Close delivers the disconnect event inside the call when the connection
//   was established, and the connection reads closed at once; a connection
//   that never connected closes silently. What was written before Close is
//   still delivered, as a closed Winsock socket delivers it: the closed
//   connection lingers until its unsent bytes are out, its peer goes away or
//   LingerTimeMs pass, and is then freed.
// - At most ReadChunkBytes wait unread in the program per connection; beyond
//   them the peer's sending is held back by TCP itself. A read handler that
//   leaves the bytes waiting (ReceiveText not called) holds the peer back
//   the same way; the disconnect event still comes after the peer closes,
//   with the last bytes still there to read.
// - SendText queues and returns: the bytes sent while one event is handled
//   (or, outside any event, by the running code) leave together, in order,
//   in one write once it is over (AtEventEnd). With plain TCP and nothing
//   waiting before them they go straight to the network, without a further
//   turn of the event loop. PendingOutput counts them from the moment they
//   are queued.
// - The write event runs after queued bytes were handed to the network, so
//   PendingOutput has gone down; once per write, after the handler that
//   sent has returned (or, while that handler waits in a nested event loop,
//   from that loop), and it posts no event of its own.
// - A client socket is Active only while its connection is established; a
//   server socket is Active while it listens.
// - Nothing here blocks the thread: Open, LookupNameAsync and
//   RemoteHostAsync resolve names through the host lookup (SetHostLookup),
//   whose answers arrive later as events, never after the connection object
//   is gone.
// - Open throws ESocketError only when no connect can be started (no host
//   name); every later failure (a name that does not resolve, a refusal, a
//   connect or TLS handshake that does not finish in time) arrives as an
//   error event in the connect phase, with ConnectFailure saying why. When
//   the error handler leaves ErrorCode nonzero, the framework first closes
//   (or abandons) the connection and then shows the error with
//   Application->ShowExceptionLater, after the event: no box is ever open
//   inside a socket event. Error texts name the operation, the host and
//   port and the system's reason: "connect to irc.example.net:6667:
//   Connection refused".
// - A connection object stays valid until the event that reports its
//   disconnect has returned; it is freed later by its owner.
// - A client socket opened with Secure speaks TLS only: its connect event
//   comes after the handshake and the certificate check, and a failure of
//   either is a connect error (no connection in plain text is ever made).
#pragma once

#include "framework/classes.h"

#include <QList>
#include <QtGlobal>

#include <array>
#include <cstdint>
#include <memory>

class QHostAddress;
class QHostInfo;
class QObject;
class QSslError;
class QTcpSocket;
class QTcpServer;
class QTimer;

enum TErrorEvent { eeGeneral = 0, eeSend = 1, eeReceive = 2, eeConnect = 3, eeDisconnect = 4, eeAccept = 5 };

class ESocketError : public Exception {
public:
    using Exception::Exception;
};

class TCustomWinSocket;

using TSocketNotifyEvent = std::function<void(TObject* Sender, TCustomWinSocket* Socket)>;
using TSocketErrorEvent =
    std::function<void(TObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

// One IPv4 address as its four bytes, most significant first.
using TIPv4 = std::array<std::uint8_t, 4>;

// Dotted form of an IPv4 address: 203.0.113.5.
AnsiString IPv4ToDotted(const TIPv4& Address);

// The environment variable naming a PEM file of CA certificates that TLS
// connections trust besides the system's CA store (Qt reads neither
// SSL_CERT_FILE nor SSL_CERT_DIR).
constexpr const char* ExtraCaFileVariable = "NIMBOCHAT_CA_FILE";

// How long a closed connection may take to deliver what is still unsent.
constexpr int LingerTimeMs = 30000;
// How long a connect may take (its name lookup included), and the TLS
// handshake after it, before they fail as timed out.
constexpr int ConnectTimeoutMs = 30000;
constexpr int HandshakeTimeoutMs = 30000;

// Looks a name (or, for an address, its reverse name) up and calls Done with
// the answer from the event loop, unless Context is gone by then. The
// program uses QHostInfo::lookupHost; tests and fuzz targets put their own
// in its place.
using THostLookup =
    std::function<void(const AnsiString& Name, QObject* Context, std::function<void(const QHostInfo&)> Done)>;
// Replaces the host lookup and returns the one it replaced.
THostLookup SetHostLookup(THostLookup Lookup);
// The most a connection holds read from the network and not yet taken by
// ReceiveText.
constexpr qint64 ReadChunkBytes = 256 * 1024;

class TCustomWinSocket : public TObject {
public:
    ~TCustomWinSocket() override;

    // Every byte waiting on the connection, as one text (possibly empty).
    virtual AnsiString ReceiveText();
    // Queues the bytes after those queued before; they leave when the
    // running event has returned. Sends nothing and returns 0 when the
    // connection is not established; otherwise returns the count queued.
    virtual int SendText(const AnsiString& Text);
    // Bytes written and not yet handed to the network (with TLS, the
    // plaintext not yet encrypted and the ciphertext not yet sent).
    virtual qint64 PendingOutput() const;
    // Closes the connection; what was written before is still delivered.
    virtual void Close();
    bool Connected() const { return FConnected; }
    // True when the peer has already closed or reset the connection and
    // nothing of it waits to be read: its disconnect event is on its way
    // but has not run yet. Reads nothing.
    bool PeerGone() const;
    // The machine's host name.
    AnsiString LocalHost() const;
    AnsiString LocalAddress() const;
    // Calls Done with the peer's name by reverse lookup (empty when it has
    // none) from the event loop.
    void RemoteHostAsync(std::function<void(const AnsiString&)> Done);
    AnsiString RemoteAddress() const;
    // Resolves a host name and calls Done with the address (0.0.0.0 when
    // the name does not resolve) from the event loop.
    void LookupNameAsync(const AnsiString& Name, std::function<void(const TIPv4&)> Done);
    // While the connect error event runs: why the connect failed ("connect
    // to irc.example.net:6667: Connection refused", "TLS handshake with
    // irc.example.net timed out", "certificate for irc.example.net has
    // expired"). Empty otherwise.
    const AnsiString& ConnectFailure() const { return FFailure; }
    // While the connect event of a TLS connection runs: a note when
    // AllowUntrustedCert let a certificate through that no trusted
    // authority signed, with its SHA-256 fingerprint. Empty otherwise.
    const AnsiString& UntrustedNote() const { return FUntrustedNote; }

protected:
    // A connection that is not on the network and has no events: the base
    // of recording connections, which tests and fuzz targets hand to the
    // relay's handlers in place of real ones.
    explicit TCustomWinSocket(bool Connected);
    bool FConnected;

private:
    friend class TClientSocket;
    friend class TServerSocket;
    struct Hooks {
        std::function<void(TCustomWinSocket*)> Connect, Read, Write, Disconnect;
        std::function<void(TCustomWinSocket*, TErrorEvent, int&)> Error;
    };
    TCustomWinSocket(QTcpSocket* Socket, bool Connected, Hooks H);
    void Wire();
    // Puts a fresh, wired socket in place of the current one, whose events
    // are cut off; returns the old one.
    QTcpSocket* Replace(QTcpSocket* Fresh);
    void HandOverToLinger();
    void HandleTcpConnected();
    void HandleConnected();
    void HandleSslErrors(const QList<QSslError>& Errors);
    void HandleReadyRead();
    void HandleBytesWritten();
    void HandleDisconnected();
    void HandleError(int QtError);
    // Reports a failure as an error event and settles the connection.
    void Fail(TErrorEvent Phase, int Code, AnsiString Reason);
    // A connect under way (its lookup included) fails with Reason when it
    // has not finished within TimeoutMs.
    void SetDeadline(int TimeoutMs, const AnsiString& Reason);
    void FinishClose();
    // Writes what this event sent: straight to the network when it can
    // (SendStraight returns how much went), the rest through Qt.
    void SendOutgoing();
    size_t SendStraight(const AnsiString& Out);
    // Puts what is still gathered into Qt's queue, ahead of a close.
    void HandOutgoingToQt();
    struct BusyGuard;

    QTcpSocket* FSocket;
    AnsiString FOutgoing; // sent during the running event, not yet written
    std::unique_ptr<QObject> FContext; // lives as long as this object: the target of its later events
    int FBusy = 0;
    Hooks FHooks;
    AnsiString FPeerName;         // the host name a TLS certificate must name
    AnsiString FPeerPort;         // the port dialled, for error texts
    bool FAllowUntrusted = false; // see TClientSocket::AllowUntrustedCert
    AnsiString FFailure;
    AnsiString FUntrustedNote;
    QTimer* FDeadline;            // owned by FContext
    AnsiString FDeadlineReason;
    int FHandshakeTimeout = HandshakeTimeoutMs;
    bool FResolving = false;      // a connect waits for its name lookup
    unsigned FAttempt = 0;        // counts connects, so a late lookup answer for an abandoned one is dropped
};

class TClientSocket : public TComponent {
public:
    explicit TClientSocket(TComponent* Owner);
    ~TClientSocket() override;

    AnsiString Host;
    int Port = 0;
    // The next Open speaks TLS: the server's certificate must be valid now,
    // name Host and be signed by an authority of the system's CA store or
    // of the file ExtraCaFileVariable names.
    bool Secure = false;
    // With Secure, a certificate whose only fault is that no trusted
    // authority signed it (self-signed, unknown issuer) is accepted; an
    // expired one, or one naming another host, is still refused.
    bool AllowUntrustedCert = false;
    // How long a connect and a TLS handshake may take.
    int ConnectTimeout = ConnectTimeoutMs;
    int HandshakeTimeout = HandshakeTimeoutMs;
    bool Active() const;
    // True while a connect (its name lookup, the TCP connect, with TLS the
    // handshake) has been started and not yet finished.
    bool Connecting() const;
    // Starts connecting to Host:Port, with TLS when Secure is set; the name
    // is resolved without blocking. Does nothing while a connection is open
    // or being opened. Throws ESocketError when Host is empty.
    void Open();
    // Closes the connection (its disconnect event runs inside this call) or
    // abandons a connect under way (silently).
    void Close();
    // The connection object (the same one for the component's life, unless
    // replaced).
    TCustomWinSocket* Socket() const { return FSocket.get(); }
    // Puts a connection of the caller's making (a recording one) in place of
    // the network connection; the old one is cut and freed, so this is never
    // called from inside one of its events.
    void ReplaceConnection(std::unique_ptr<TCustomWinSocket> Connection);

    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnWrite;
    TSocketErrorEvent OnError;

private:
    // Dials the resolved address.
    void Dial(const QHostAddress& Address);
    std::unique_ptr<TCustomWinSocket> FSocket;
};

class TServerSocket : public TComponent {
public:
    explicit TServerSocket(TComponent* Owner);
    ~TServerSocket() override;

    int Port = 0;
    bool Active() const;
    // Starts listening on 127.0.0.1:Port. Does nothing while listening.
    // Throws ESocketError when the port cannot be taken.
    void Open();
    // Closes every accepted connection (each delivers its disconnect event),
    // then stops listening.
    void Close();

    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientRead;
    TSocketNotifyEvent OnClientWrite;
    TSocketNotifyEvent OnClientDisconnect;

private:
    void Accept();
    void Forget(TCustomWinSocket* Connection);
    void Reap(int DelayMs);

    QTcpServer* FServer;
    std::vector<std::unique_ptr<TCustomWinSocket>> FConnections;
    std::vector<std::unique_ptr<TCustomWinSocket>> FClosed; // freed at the next event
};
