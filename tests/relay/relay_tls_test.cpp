// TLS to the server: ngircd with TLS on 127.0.0.1 presenting certificates of
// a CA made here with openssl, which NimboChat is told of as a user would,
// through NIMBOCHAT_CA_FILE. A tap between NimboChat and the server records
// what NimboChat puts on the wire, so that a line in plain text is seen.
#include "relay/probe.h"
#include "support_code/flood.h"
#include "support_code/irc_peers.h"
#include "support_code/recording_sink.h"
#include "support_code/test_window.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

namespace {

// Certificates made with openssl in a temporary folder: a CA, and server
// certificates signed by it or by themselves.
class Certificates {
public:
    Certificates() { FMade = Run({"req", "-x509", "-out", CaFile(), "-days", "2"}, "ca", "nimbochat-test-ca"); }
    bool Made() const { return FMade; }
    QString CaFile() const { return Path("ca.pem"); }
    // A certificate naming Host, valid for Days from now (-1: expired a day ago).
    std::optional<TlsFiles> Make(const QString& File, const QString& Host, int Days, bool SelfSigned = false) const
    {
        const TlsFiles f{Path(File + ".pem"), Path(File + ".key")};
        const QString csr = Path(File + ".csr"), days = QString::number(Days);
        const bool made = SelfSigned ? Run({"req", "-x509", "-out", f.CertFile, "-days", days}, File, Host)
                                     : Run({"req", "-new", "-out", csr}, File, Host) &&
                                           Run({"x509", "-req", "-in", csr, "-CA", CaFile(), "-CAkey", Path("ca.key"),
                                                "-CAcreateserial", "-copy_extensions", "copy", "-days", days, "-out",
                                                f.CertFile});
        return made ? std::optional(f) : std::nullopt;
    }

private:
    QString Path(const QString& Name) const { return FDir.filePath(Name); }
    // Runs openssl; with a Host, on a new key File.key for the name Host.
    bool Run(QStringList Args, const QString& File = {}, const QString& Host = {}) const
    {
        if (!Host.isEmpty())
            Args += {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                     Path(File + ".key"), "-subj", "/CN=" + Host, "-addext", "subjectAltName=DNS:" + Host};
        QProcess openssl;
        openssl.start("openssl", Args);
        return openssl.waitForFinished(20000) && openssl.exitStatus() == QProcess::NormalExit &&
               openssl.exitCode() == 0;
    }
    QTemporaryDir FDir;
    bool FMade = false;
};

// Passes one connection through to a port of 127.0.0.1 and records the
// bytes its client sent.
class WireTap {
public:
    explicit WireTap(quint16 Target)
    {
        ListenOnLowPort(FServer);
        QObject::connect(&FServer, &QTcpServer::newConnection, [this, Target] {
            FIn.reset(FServer.nextPendingConnection());
            FOut.connectToHost(QHostAddress::LocalHost, Target);
            QObject::connect(FIn.get(), &QTcpSocket::readyRead, [this] {
                const QByteArray b = FIn->readAll();
                Sent += b;
                FOut.write(b);
            });
            QObject::connect(&FOut, &QTcpSocket::readyRead, [this] { FIn->write(FOut.readAll()); });
            QObject::connect(&FOut, &QTcpSocket::disconnected, FIn.get(), &QTcpSocket::disconnectFromHost);
            QObject::connect(FIn.get(), &QTcpSocket::disconnected, &FOut, &QTcpSocket::disconnectFromHost);
        });
    }
    quint16 Port() const { return FServer.serverPort(); }
    QByteArray Sent;

private:
    QTcpServer FServer;
    std::unique_ptr<QTcpSocket> FIn;
    QTcpSocket FOut;
};

class Tls : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(certs.Made()) << "openssl could not make the CA";
        qputenv(ExtraCaFileVariable, certs.CaFile().toUtf8());
    }
    void TearDown() override { qunsetenv(ExtraCaFileVariable); }
    // A relay session to localhost, through a tap to Target (or straight
    // to it), with SSL on: the chat client Taro connects and registers.
    void StartRelay(quint16 Target, bool AllowUntrusted, bool Tapped = true)
    {
        if (Tapped)
            tap = std::make_unique<WireTap>(Target);
        w = StartTestWindow({.UpstreamPort = Tapped ? tap->Port() : Target});
        w->ClientEdit->SetText("localhost");
        w->SslCheckBox->SetChecked(true);
        w->ClientSocket->AllowUntrustedCert = AllowUntrusted;
        const quint16 relayPort = w->ServerSocket->Port;
        taro = std::make_unique<IrcClient>();
        ASSERT_TRUE(taro->Connect(relayPort));
        taro->Send("NICK Taro\r\nUSER taro 0 * :Taro\r\n");
    }
    Certificates certs;
    std::unique_ptr<WireTap> tap;
    std::unique_ptr<TNimboChat> w;
    std::unique_ptr<IrcClient> taro;
};

TEST_F(Tls, AcceptedServersRegisterTheRelayedClientOverTls)
{
    struct Case {
        const char* Name;
        std::optional<TlsFiles> Files;
        bool AllowUntrusted;
    } const cases[] = {
        {"signed by the CA of NIMBOCHAT_CA_FILE", certs.Make("good", "localhost", 1), false},
        {"self-signed, AllowUntrustedCert", certs.Make("self", "localhost", 1, true), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        NgircdServer irc(c.Files);
        ASSERT_TRUE(irc.Started());
        StartRelay(irc.TlsPort(), c.AllowUntrusted);
        ASSERT_TRUE(taro->WaitFor(" 001 Taro ", 10000));
        ASSERT_TRUE(taro->Join("#leaf"));
        EXPECT_TRUE(LogContains(*w, " 001 Taro ", clGreen));
        EXPECT_FALSE(tap->Sent.contains("NICK")) << "a line went in plain text";
        // A certificate let through by AllowUntrustedCert is named, with its fingerprint.
        EXPECT_EQ(LogContains(*w, "accepted by AllowUntrustedCert, SHA-256 ", clBlue), c.AllowUntrusted);
        EXPECT_TRUE(Recorded().Exceptions.empty());
    }
}

// A server that cannot be trusted ends the relay session as a failed
// connect: the reason in red and in the box, "Connecting Error" to the
// client, and nothing of the client's lines on the wire.
TEST_F(Tls, ARefusedServerEndsTheSessionAsAFailedConnect)
{
    Certificates otherCa;
    ASSERT_TRUE(otherCa.Made());
    struct Case {
        const char* Name;
        std::optional<TlsFiles> Files; // none: a server without TLS
        bool AllowUntrusted;
        const char* Reason;
    } const cases[] = {
        {"expired", certs.Make("expired", "localhost", -1), false, "certificate for localhost has expired"},
        // The host name is checked even when any signer is accepted.
        {"wrong host", certs.Make("other", "irc.other.test", 1), true, "certificate for localhost names another host"},
        {"self-signed", certs.Make("self", "localhost", 1, true), false, "certificate for localhost is self-signed"},
        {"unknown CA", otherCa.Make("stranger", "localhost", 1), false,
         "certificate for localhost is not signed by a trusted authority"},
        {"no TLS", std::nullopt, false, "TLS handshake with localhost failed: "},
    };
    // A server without TLS that greets in plain text, as IRC servers do.
    QTcpServer plain;
    ASSERT_TRUE(ListenOnLowPort(plain));
    QObject::connect(&plain, &QTcpServer::newConnection, [&] {
        plain.nextPendingConnection()->write(":irc.plain.test NOTICE * :*** Looking up your hostname\r\n");
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Recorded().Exceptions.clear();
        std::optional<NgircdServer> irc;
        if (c.Files) {
            irc.emplace(c.Files);
            ASSERT_TRUE(irc->Started());
        }
        StartRelay(irc ? irc->TlsPort() : plain.serverPort(), c.AllowUntrusted);
        EXPECT_TRUE(taro->WaitFor("Connecting Error\r\n", 10000));
        EXPECT_TRUE(taro->WaitClosed());
        EXPECT_TRUE(LogContains(*w, c.Reason, clRed));
        EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
        EXPECT_TRUE(w->ConnectButton->Enabled());
        ASSERT_EQ(Recorded().Exceptions.size(), 1u);
        EXPECT_NE(Recorded().Exceptions[0].find(c.Reason), AnsiString::npos) << Recorded().Exceptions[0];
        EXPECT_FALSE(tap->Sent.contains("NICK")) << "a line went in plain text";
    }
}

// A TLS server that stops reading (openssl's s_server, stopped with
// SIGSTOP) holds the chat client back as a plain one does: what waits
// encrypted counts, so the relay's memory stays bounded, and everything
// arrives once the server reads again.
TEST_F(Tls, AServerThatStopsReadingHoldsTheClientBackAndLaterGetsEverything)
{
    const std::optional<TlsFiles> files = certs.Make("sink", "localhost", 1);
    ASSERT_TRUE(files);
    const quint16 port = FreeLowPort();
    QProcess server;
    server.start("openssl", {"s_server", "-accept", "127.0.0.1:" + QString::number(port), "-cert", files->CertFile,
                             "-key", files->KeyFile, "-quiet"});
    ASSERT_TRUE(server.waitForStarted());
    ASSERT_TRUE(WaitUntil([&] { // up once it accepts; it serves the relay next
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(100);
    }, 10000));
    StartRelay(port, false, false);
    ASSERT_TRUE(WaitUntil([&] { return w->ClientSocket->Active(); }, 10000));
    const pid_t pid = static_cast<pid_t>(server.processId());
    kill(pid, SIGSTOP);

    const QByteArray flood = Flood("PRIVMSG #leaf :");
    taro->Send(flood);
    qint64 most = 0;
    TCustomWinSocket* upstreamSide = w->ClientSocket->Socket();
    EXPECT_TRUE(Settle([&] { return taro->Socket().bytesToWrite(); }, [&] { return upstreamSide->PendingOutput(); },
                       most));
    EXPECT_GT(taro->Socket().bytesToWrite(), 0) << "the relay read the client on although the server did not read";
    EXPECT_LE(most, HighWaterBytes + qint64(MaxLineBytes));
    kill(pid, SIGCONT);
    const QByteArray expected = "NICK Taro\r\nUSER taro 0 * :Taro\r\n" + flood;
    QByteArray got;
    EXPECT_TRUE(WaitUntil([&] { got += server.readAllStandardOutput(); return got.size() >= expected.size(); }, 60000));
    EXPECT_TRUE(got == expected) << "lost, doubled or out of order";
    server.kill();
    server.waitForFinished();
}

TEST(SslCheckBox, TurningItOnOffersTheTlsPortOnlyInPlaceOf6667)
{
    auto window = StartTestWindow();
    TNimboChat& w = *window;
    w.SslCheckBox->SetChecked(false);
    w.ClientPortEdit->SetText("6667");
    w.SslCheckBox->SetChecked(true);
    EXPECT_EQ(w.ClientPortEdit->Text(), "6697");
    EXPECT_EQ(w.ClientSocket->Port, 6697);
    EXPECT_TRUE(w.ClientSocket->Secure);
    w.SslCheckBox->SetChecked(false);
    EXPECT_FALSE(w.ClientSocket->Secure);
    w.ClientPortEdit->SetText("7000");
    w.SslCheckBox->SetChecked(true);
    EXPECT_EQ(w.ClientPortEdit->Text(), "7000");
}

} // namespace
