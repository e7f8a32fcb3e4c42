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
// - SendText queues and returns: the bytes sent in one turn of the event
//   loop leave together, in order, in one write (TCP) when the turn is over.
//   PendingOutput counts them from the moment they are queued.
// - The write event runs after queued bytes were handed to the network, so
//   PendingOutput has gone down; once per write, never inside a handler that
//   sent, and it posts no event of its own.
// - A client socket is Active only while its connection is established; a
//   server socket is Active while it listens.
// - Open resolves the host name at once (blocking). A failure found then is
//   thrown as ESocketError; later failures arrive as error events with their
//   phase. When the error handler leaves ErrorCode nonzero, the framework
//   first closes (or abandons) the connection and then shows the error with
//   Application->ShowExceptionLater, after the event: no box is ever open
//   inside a socket event.
// - LookupNameAsync never blocks: its answer arrives later as an event, and
//   never after the connection object is gone.
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

class QObject;
class QSslError;
class QTcpSocket;
class QTcpServer;

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
    // The machine's host name.
    AnsiString LocalHost() const;
    AnsiString LocalAddress() const;
    // The peer's name by reverse lookup (blocking); empty when it has none.
    AnsiString RemoteHost() const;
    AnsiString RemoteAddress() const;
    // Resolves a host name to an IPv4 address (blocking); 0.0.0.0 when the
    // name does not resolve.
    TIPv4 LookupName(const AnsiString& Name) const;
    // Resolves a host name without blocking and calls Done with the address
    // (0.0.0.0 when the name does not resolve) from the event loop.
    void LookupNameAsync(const AnsiString& Name, std::function<void(const TIPv4&)> Done);
    // While the connect error event of a TLS connection runs: why the
    // handshake failed or the certificate was refused ("certificate for
    // irc.example.net has expired"). Empty otherwise.
    const AnsiString& TlsFailure() const { return FTlsFailure; }

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
    void HandleConnected();
    void HandleSslErrors(const QList<QSslError>& Errors);
    void HandleReadyRead();
    void HandleBytesWritten();
    void HandleDisconnected();
    void HandleError(int QtError);
    void FinishClose();
    struct BusyGuard;

    QTcpSocket* FSocket;
    std::unique_ptr<QObject> FContext; // lives as long as this object: the target of its later events
    int FBusy = 0;
    Hooks FHooks;
    AnsiString FPeerName;         // the host name a TLS certificate must name
    bool FAllowUntrusted = false; // see TClientSocket::AllowUntrustedCert
    AnsiString FTlsFailure;
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
    bool Active() const;
    // True while a connect (with TLS: its handshake) has been started and
    // not yet finished.
    bool Connecting() const;
    // Starts connecting to Host:Port, with TLS when Secure is set. Does
    // nothing while a connection is open or being opened. Throws
    // ESocketError when the name does not resolve.
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
    int ActiveConnections() const;

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
