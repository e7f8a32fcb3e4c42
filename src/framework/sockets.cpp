#include "framework/sockets.h"

#include "framework/application.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QHostInfo>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <utility>

#include <cerrno>

#include <sys/socket.h>

namespace {

// The Windows sockets error code for a Qt socket error, so handlers and
// messages see the codes the program has always known.
int winsockCode(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return 10061;
    case QAbstractSocket::RemoteHostClosedError: return 10053;
    case QAbstractSocket::HostNotFoundError: return 11001;
    case QAbstractSocket::SocketAccessError: return 10013;
    case QAbstractSocket::SocketResourceError: return 10055;
    case QAbstractSocket::SocketTimeoutError: return 10060;
    case QAbstractSocket::NetworkError: return 10050;
    case QAbstractSocket::AddressInUseError: return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;
    default: return 10004;
    }
}

TIPv4 toIPv4(const QHostAddress& address)
{
    bool ok = false;
    quint32 v = address.toIPv4Address(&ok);
    if (!ok)
        return {0, 0, 0, 0};
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// The address a name writes as a dotted IPv4 literal, or a null address.
QHostAddress ipv4Literal(const AnsiString& name)
{
    QHostAddress literal;
    if (literal.setAddress(ToQString(name)) && literal.protocol() == QAbstractSocket::IPv4Protocol)
        return literal;
    return {};
}

// First IPv4 address of a lookup's answer, or a null address.
QHostAddress firstIPv4(const QHostInfo& info)
{
    for (const QHostAddress& a : info.addresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol)
            return a;
    return {};
}

// The reverse name of an answer, or empty when the address has none.
AnsiString reverseName(const QHostInfo& info, const QString& address)
{
    const QString name = info.hostName();
    if (info.error() != QHostInfo::NoError || name == address ||
        QHostAddress(name).protocol() != QAbstractSocket::UnknownNetworkLayerProtocol)
        return {};
    return FromQString(name);
}

THostLookup& hostLookup()
{
    static THostLookup lookup = [](const AnsiString& Name, QObject* Context,
                                   std::function<void(const QHostInfo&)> Done) {
        QHostInfo::lookupHost(ToQString(Name), Context, std::move(Done));
    };
    return lookup;
}

// The fingerprint people compare a certificate by: SHA-256, as AB:CD:...
AnsiString sha256Fingerprint(const QSslCertificate& certificate)
{
    return FromQString(QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper()));
}

// Lets a closed connection deliver what is still unsent, then frees it:
// once it is drained and closed, when its peer goes away, or after
// LingerTimeMs. What the peer still sends is read and dropped.
void lingerUntilSent(QTcpSocket* socket)
{
    socket->setParent(QCoreApplication::instance()); // freed with the application at the latest
    auto end = [socket] {
        socket->abort();
        socket->deleteLater();
    };
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, end);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QTimer::singleShot(LingerTimeMs, socket, end);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
}

// The certificate faults that only say no trusted authority vouches for the
// certificate: what AllowUntrustedCert accepts.
bool untrustedOnly(const QSslError& error)
{
    switch (error.error()) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
        return true;
    default:
        return false;
    }
}

// Why a certificate was refused, the gravest fault first.
AnsiString certificateFault(const AnsiString& host, const QList<QSslError>& errors)
{
    auto has = [&](QSslError::SslError kind) {
        return std::any_of(errors.begin(), errors.end(), [kind](const QSslError& e) { return e.error() == kind; });
    };
    const AnsiString subject = "certificate for " + host;
    if (has(QSslError::CertificateExpired))
        return subject + " has expired";
    if (has(QSslError::CertificateNotYetValid))
        return subject + " is not valid yet";
    if (has(QSslError::HostNameMismatch))
        return subject + " names another host";
    if (has(QSslError::SelfSignedCertificate))
        return subject + " is self-signed";
    if (std::any_of(errors.begin(), errors.end(), untrustedOnly))
        return subject + " is not signed by a trusted authority";
    return subject + " was refused: " + FromQString(errors.front().errorString());
}

// What a TLS connection checks the server against: the system's CA store,
// and the certificates of the file ExtraCaFileVariable names.
QSslConfiguration tlsConfiguration()
{
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const QString extra = qEnvironmentVariable(ExtraCaFileVariable);
    if (!extra.isEmpty())
        conf.setCaCertificates(QSslConfiguration::systemCaCertificates() + QSslCertificate::fromPath(extra));
    return conf;
}

} // namespace

THostLookup SetHostLookup(THostLookup Lookup)
{
    std::swap(hostLookup(), Lookup);
    return Lookup;
}

AnsiString IPv4ToDotted(const TIPv4& a)
{
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

// Marks a connection as inside one of its own events, so that its owner
// never frees it while a handler (or a message pump inside one) runs.
struct TCustomWinSocket::BusyGuard {
    explicit BusyGuard(TCustomWinSocket* s) : S(s) { ++S->FBusy; }
    ~BusyGuard() { --S->FBusy; }
    TCustomWinSocket* S;
};

TCustomWinSocket::TCustomWinSocket(QTcpSocket* Socket, bool Connected, Hooks H)
    : FConnected(Connected), FSocket(Socket), FContext(std::make_unique<QObject>()), FHooks(std::move(H)),
      FDeadline(new QTimer(FContext.get()))
{
    FDeadline->setSingleShot(true);
    QObject::connect(FDeadline, &QTimer::timeout, FContext.get(), [this] {
        BusyGuard busy(this);
        Fail(eeConnect, 10060, FDeadlineReason);
    });
    Wire();
}

TCustomWinSocket::TCustomWinSocket(bool Connected)
    : FConnected(Connected), FSocket(new QTcpSocket), FContext(std::make_unique<QObject>()),
      FDeadline(new QTimer(FContext.get()))
{
}

void TCustomWinSocket::Wire()
{
    // IRC lines are small and interactive: send each at once, without
    // waiting for the peer's acknowledgement of the one before.
    FSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    FSocket->setReadBufferSize(ReadChunkBytes);
    // SendText only queues, so bytes are reported written only after the
    // event that sent them, never inside the handler that wrote: the write
    // event can run straight from the signal, without a posted event.
    auto written = [this] { HandleBytesWritten(); };
    if (auto* tls = qobject_cast<QSslSocket*>(FSocket)) {
        // Connected only once the handshake and the certificate check are done.
        QObject::connect(tls, &QSslSocket::connected, tls, [this] { HandleTcpConnected(); });
        QObject::connect(tls, &QSslSocket::encrypted, tls, [this] { HandleConnected(); });
        QObject::connect(tls, &QSslSocket::sslErrors, tls, [this](const QList<QSslError>& e) { HandleSslErrors(e); });
        // bytesWritten counts plaintext taken for encryption, which happens
        // at once; what left for the network is told by encryptedBytesWritten.
        QObject::connect(tls, &QSslSocket::encryptedBytesWritten, FSocket, written);
    } else {
        QObject::connect(FSocket, &QTcpSocket::connected, FSocket, [this] { HandleConnected(); });
        QObject::connect(FSocket, &QTcpSocket::bytesWritten, FSocket, written);
    }
    QObject::connect(FSocket, &QTcpSocket::readyRead, FSocket, [this] { HandleReadyRead(); });
    QObject::connect(FSocket, &QTcpSocket::disconnected, FSocket, [this] { HandleDisconnected(); });
    QObject::connect(FSocket, &QTcpSocket::errorOccurred, FSocket,
                     [this](QAbstractSocket::SocketError e) { HandleError(static_cast<int>(e)); });
}

TCustomWinSocket::~TCustomWinSocket()
{
    QObject::disconnect(FSocket, nullptr, nullptr, nullptr);
    FSocket->abort();
    delete FSocket;
}

AnsiString TCustomWinSocket::ReceiveText()
{
    QByteArray bytes = FSocket->readAll();
    return AnsiString(bytes.constData(), static_cast<size_t>(bytes.size()));
}

int TCustomWinSocket::SendText(const AnsiString& Text)
{
    if (!FConnected || Text.empty())
        return 0;
    // Everything sent while one event is handled leaves in one write once
    // the event is over.
    if (FOutgoing.empty())
        AtEventEnd([this, alive = QPointer<QObject>(FContext.get())] {
            if (alive)
                SendOutgoing();
        });
    FOutgoing += Text;
    return static_cast<int>(Text.size());
}

void TCustomWinSocket::SendOutgoing()
{
    if (FOutgoing.empty() || !FConnected) {
        FOutgoing.clear(); // the connection went meanwhile: nothing of it may reach a later one
        return;
    }
    FOutgoing.erase(0, SendStraight(FOutgoing));
    if (FOutgoing.empty()) {
        HandleBytesWritten(); // all of it is on the network already
        return;
    }
    HandOutgoingToQt();
    // TLS encrypts at once; the ciphertext leaves now rather than a turn later.
    if (qobject_cast<QSslSocket*>(FSocket))
        FSocket->flush();
}

size_t TCustomWinSocket::SendStraight(const AnsiString& Out)
{
    // Plain TCP with nothing queued before: straight to the kernel, so that
    // Qt's write notifier is neither switched on nor off for it, each of
    // which wakes the event loop once more. What the kernel does not take
    // now, and every error, is left to Qt's own write path.
    if (qobject_cast<QSslSocket*>(FSocket) || FSocket->bytesToWrite() > 0 ||
        FSocket->state() != QAbstractSocket::ConnectedState)
        return 0;
    const ssize_t sent = ::send(static_cast<int>(FSocket->socketDescriptor()), Out.data(), Out.size(),
                                MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent > 0 ? static_cast<size_t>(sent) : 0;
}

void TCustomWinSocket::HandOutgoingToQt()
{
    if (!FOutgoing.empty())
        FSocket->write(FOutgoing.data(), static_cast<qint64>(FOutgoing.size()));
    FOutgoing.clear();
}

qint64 TCustomWinSocket::PendingOutput() const
{
    const auto outgoing = static_cast<qint64>(FOutgoing.size());
    // A TLS socket encrypts what is written at once: what really waits is
    // mostly ciphertext.
    if (auto* tls = qobject_cast<QSslSocket*>(FSocket))
        return outgoing + tls->bytesToWrite() + tls->encryptedBytesToWrite();
    return outgoing + FSocket->bytesToWrite();
}

bool TCustomWinSocket::PeerGone() const
{
    if (!FConnected || FSocket->bytesAvailable() > 0)
        return false;
    char next;
    const ssize_t peeked =
        ::recv(static_cast<int>(FSocket->socketDescriptor()), &next, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void TCustomWinSocket::Close()
{
    if (!FConnected) {
        FDeadline->stop();
        FResolving = false;
        ++FAttempt;
        FSocket->abort();
        return;
    }
    FConnected = false;
    HandOutgoingToQt(); // delivered by the lingering connection
    HandOverToLinger();
    FinishClose();
}

QTcpSocket* TCustomWinSocket::Replace(QTcpSocket* Fresh)
{
    QObject::disconnect(FSocket, nullptr, nullptr, nullptr);
    QTcpSocket* old = FSocket;
    FSocket = Fresh;
    Wire();
    return old;
}

void TCustomWinSocket::HandOverToLinger()
{
    // The network connection goes on alone; this object gets a fresh socket,
    // so that its state reads closed at once and it can connect again.
    lingerUntilSent(Replace(new QTcpSocket));
}

void TCustomWinSocket::FinishClose()
{
    if (FHooks.Disconnect)
        DispatchEvent([this] { FHooks.Disconnect(this); });
}

AnsiString TCustomWinSocket::LocalHost() const
{
    return FromQString(QHostInfo::localHostName());
}

AnsiString TCustomWinSocket::LocalAddress() const
{
    return IPv4ToDotted(toIPv4(FSocket->localAddress()));
}

void TCustomWinSocket::RemoteHostAsync(std::function<void(const AnsiString&)> Done)
{
    const QString peer = FSocket->peerAddress().toString();
    hostLookup()(FromQString(peer), FContext.get(), [Done, peer](const QHostInfo& info) {
        const AnsiString name = reverseName(info, peer);
        DispatchEvent([&] { Done(name); });
    });
}

AnsiString TCustomWinSocket::RemoteAddress() const
{
    return IPv4ToDotted(toIPv4(FSocket->peerAddress()));
}

void TCustomWinSocket::LookupNameAsync(const AnsiString& Name, std::function<void(const TIPv4&)> Done)
{
    hostLookup()(Name, FContext.get(), [Done](const QHostInfo& info) {
        TIPv4 address = toIPv4(firstIPv4(info));
        DispatchEvent([&] { Done(address); });
    });
}

void TCustomWinSocket::SetDeadline(int TimeoutMs, const AnsiString& Reason)
{
    FDeadlineReason = Reason;
    FDeadline->start(TimeoutMs);
}

void TCustomWinSocket::HandleTcpConnected()
{
    SetDeadline(FHandshakeTimeout, "TLS handshake with " + FPeerName + " timed out");
}

void TCustomWinSocket::HandleConnected()
{
    BusyGuard busy(this);
    FDeadline->stop();
    FSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    FConnected = true;
    if (FHooks.Connect)
        DispatchEvent([this] { FHooks.Connect(this); });
    FUntrustedNote.clear();
}

void TCustomWinSocket::HandleSslErrors(const QList<QSslError>& Errors)
{
    auto* tls = static_cast<QSslSocket*>(FSocket);
    if (FAllowUntrusted && std::all_of(Errors.begin(), Errors.end(), untrustedOnly)) {
        tls->ignoreSslErrors();
        FUntrustedNote = certificateFault(FPeerName, Errors) + "; accepted by AllowUntrustedCert, SHA-256 " +
                         sha256Fingerprint(tls->peerCertificate());
        return;
    }
    // Not ignored, the errors fail the handshake: the error event follows.
    FFailure = certificateFault(FPeerName, Errors);
}

void TCustomWinSocket::HandleReadyRead()
{
    BusyGuard busy(this);
    if (FConnected && FHooks.Read)
        DispatchEvent([this] { FHooks.Read(this); });
}

void TCustomWinSocket::HandleBytesWritten()
{
    BusyGuard busy(this);
    if (FConnected && FHooks.Write)
        DispatchEvent([this] { FHooks.Write(this); });
}

void TCustomWinSocket::HandleDisconnected()
{
    BusyGuard busy(this);
    if (!FConnected)
        return;
    // Text that came with the close is read before the disconnect is told.
    if (FSocket->bytesAvailable() > 0)
        HandleReadyRead();
    if (!FConnected)
        return; // the read handler closed the connection itself
    FConnected = false;
    FOutgoing.clear(); // the peer is gone
    FinishClose();
}

void TCustomWinSocket::HandleError(int QtError)
{
    BusyGuard busy(this);
    auto error = static_cast<QAbstractSocket::SocketError>(QtError);
    if (error == QAbstractSocket::RemoteHostClosedError && FConnected)
        return; // an ordinary close; the disconnected signal reports it
    // Before FConnected a close can only come in a TLS handshake: a failed connect.
    const bool handshake =
        error == QAbstractSocket::SslHandshakeFailedError || error == QAbstractSocket::RemoteHostClosedError;
    const AnsiString reason = FromQString(FSocket->errorString());
    const AnsiString endpoint = FPeerName.empty() ? FromQString(FSocket->peerAddress().toString()) + ":" +
                                                        std::to_string(FSocket->peerPort())
                                                  : FPeerName + ":" + FPeerPort;
    if (FConnected)
        Fail(eeReceive, winsockCode(error), "connection to " + endpoint + ": " + reason);
    else if (!FFailure.empty())
        Fail(eeConnect, winsockCode(error), FFailure);
    else if (handshake && qobject_cast<QSslSocket*>(FSocket))
        Fail(eeConnect, winsockCode(error), "TLS handshake with " + FPeerName + " failed: " + reason);
    else
        Fail(eeConnect, winsockCode(error), "connect to " + endpoint + ": " + reason);
}

void TCustomWinSocket::Fail(TErrorEvent Phase, int Code, AnsiString Reason)
{
    FDeadline->stop();
    FResolving = false;
    FFailure = Phase == eeConnect ? Reason : AnsiString();
    if (FHooks.Error)
        DispatchEvent([&] { FHooks.Error(this, Phase, Code); });
    FFailure.clear();
    FUntrustedNote.clear();
    // The connection is settled before the error is shown, and the error is
    // shown after this event: a box's event loop must not run while this
    // connection's state is being decided.
    Close(); // a connect under way is abandoned
    if (Code != 0 && Application)
        Application->ShowExceptionLater(ESocketError(Reason));
}

TClientSocket::TClientSocket(TComponent* Owner) : TComponent(Owner)
{
    TCustomWinSocket::Hooks hooks;
    hooks.Connect = [this](TCustomWinSocket* s) { if (OnConnect) OnConnect(this, s); };
    hooks.Read = [this](TCustomWinSocket* s) { if (OnRead) OnRead(this, s); };
    hooks.Write = [this](TCustomWinSocket* s) { if (OnWrite) OnWrite(this, s); };
    hooks.Disconnect = [this](TCustomWinSocket* s) { if (OnDisconnect) OnDisconnect(this, s); };
    hooks.Error = [this](TCustomWinSocket* s, TErrorEvent e, int& code) { if (OnError) OnError(this, s, e, code); };
    FSocket.reset(new TCustomWinSocket(new QTcpSocket, false, std::move(hooks)));
}

TClientSocket::~TClientSocket() = default;

bool TClientSocket::Active() const
{
    return FSocket->Connected();
}

bool TClientSocket::Connecting() const
{
    return FSocket->FResolving || (!FSocket->FConnected && FSocket->FSocket->state() != QAbstractSocket::UnconnectedState);
}

void TClientSocket::Open()
{
    if (FSocket->FConnected || Connecting())
        return;
    const AnsiString endpoint = Host + ":" + std::to_string(Port);
    if (Host.empty())
        throw ESocketError("connect to " + endpoint + ": no server name");
    if ((qobject_cast<QSslSocket*>(FSocket->FSocket) != nullptr) != Secure) {
        QTcpSocket* old = FSocket->Replace(Secure ? new QSslSocket : new QTcpSocket);
        old->setParent(QCoreApplication::instance()); // freed with the application at the latest
        old->deleteLater();
    }
    FSocket->FPeerName = Host;
    FSocket->FPeerPort = std::to_string(Port);
    FSocket->FAllowUntrusted = AllowUntrustedCert;
    FSocket->FHandshakeTimeout = HandshakeTimeout;
    FSocket->SetDeadline(ConnectTimeout, "connect to " + endpoint + " timed out");
    const unsigned attempt = ++FSocket->FAttempt;
    if (QHostAddress literal = ipv4Literal(Host); !literal.isNull()) {
        Dial(literal);
        return;
    }
    FSocket->FResolving = true;
    hostLookup()(Host, FSocket->FContext.get(), [this, attempt, endpoint](const QHostInfo& info) {
        if (attempt != FSocket->FAttempt || !FSocket->FResolving)
            return; // the connect was abandoned meanwhile
        FSocket->FResolving = false;
        const QHostAddress address = firstIPv4(info);
        TCustomWinSocket::BusyGuard busy(FSocket.get());
        if (address.isNull())
            FSocket->Fail(eeConnect, 11001, "connect to " + endpoint + ": Host not found");
        else
            Dial(address);
    });
}

void TClientSocket::Dial(const QHostAddress& Address)
{
    const auto port = static_cast<quint16>(std::stoi(FSocket->FPeerPort));
    auto* tls = qobject_cast<QSslSocket*>(FSocket->FSocket);
    if (!tls) {
        FSocket->FSocket->connectToHost(Address, port);
        return;
    }
    tls->setSslConfiguration(tlsConfiguration());
    // The address resolved is dialled; the certificate must name the host typed.
    tls->connectToHostEncrypted(Address.toString(), port, ToQString(FSocket->FPeerName));
}

void TClientSocket::Close()
{
    FSocket->Close();
}

void TClientSocket::ReplaceConnection(std::unique_ptr<TCustomWinSocket> Connection)
{
    FSocket = std::move(Connection);
}

TServerSocket::TServerSocket(TComponent* Owner) : TComponent(Owner), FServer(new QTcpServer)
{
    QObject::connect(FServer, &QTcpServer::newConnection, FServer, [this] { Accept(); });
}

TServerSocket::~TServerSocket()
{
    QObject::disconnect(FServer, nullptr, nullptr, nullptr);
    FConnections.clear();
    FClosed.clear();
    delete FServer;
}

bool TServerSocket::Active() const
{
    return FServer->isListening();
}

void TServerSocket::Open()
{
    if (FServer->isListening())
        return;
    if (!FServer->listen(QHostAddress::LocalHost, static_cast<quint16>(Port)))
        throw ESocketError("listen on 127.0.0.1:" + std::to_string(Port) + ": " + FromQString(FServer->errorString()));
}

void TServerSocket::Close()
{
    while (!FConnections.empty()) {
        TCustomWinSocket* c = FConnections.front().get();
        if (c->Connected())
            c->Close(); // its disconnect hook moves it to FClosed
        else
            Forget(c);
    }
    FServer->close();
}

void TServerSocket::Accept()
{
    while (QTcpSocket* s = FServer->nextPendingConnection()) {
        s->setParent(nullptr);
        TCustomWinSocket::Hooks hooks;
        hooks.Read = [this](TCustomWinSocket* c) { if (OnClientRead) OnClientRead(this, c); };
        hooks.Write = [this](TCustomWinSocket* c) { if (OnClientWrite) OnClientWrite(this, c); };
        hooks.Disconnect = [this](TCustomWinSocket* c) {
            if (OnClientDisconnect)
                OnClientDisconnect(this, c);
            Forget(c);
        };
        FConnections.emplace_back(new TCustomWinSocket(s, true, std::move(hooks)));
        TCustomWinSocket* c = FConnections.back().get();
        TCustomWinSocket::BusyGuard busy(c);
        if (OnClientConnect)
            DispatchEvent([&] { OnClientConnect(this, c); });
    }
}

void TServerSocket::Forget(TCustomWinSocket* Connection)
{
    for (auto it = FConnections.begin(); it != FConnections.end(); ++it) {
        if (it->get() == Connection) {
            FClosed.push_back(std::move(*it));
            FConnections.erase(it);
            break;
        }
    }
    Reap(0);
}

void TServerSocket::Reap(int DelayMs)
{
    // Frees closed connections once none of their events is running; one
    // whose handler is still on the stack (pumping messages) is tried again.
    QTimer::singleShot(DelayMs, FServer, [this] {
        std::erase_if(FClosed, [](const auto& c) { return c->FBusy == 0; });
        if (!FClosed.empty())
            Reap(100);
    });
}
