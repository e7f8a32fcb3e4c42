// TLS to the server: ngircd with TLS on 127.0.0.1 presenting certificates of
// a CA made here with openssl, which NimboChat is told of as a user would,
// through NIMBOCHAT_CA_FILE. A tap between NimboChat and the server records
// what NimboChat puts on the wire, so that a line in plain text is seen.
#include "relay/probe.h"
#include "support_code/irc_peers.h"
#include "support_code/recording_sink.h"

#include <QProcess>
#include <gtest/gtest.h>

namespace {

// Certificates made with openssl in a temporary folder: a CA, server
// certificates it signs and a self-signed one, each with its key.
class Certificates {
public:
    Certificates()
    {
        FMade = Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                     Path("ca.key"), "-out", Path("ca.pem"), "-days", "2", "-subj", "/CN=NimboChat Test CA"});
    }
    bool Made() const { return FMade; }
    QString CaFile() const { return Path("ca.pem"); }
    // A certificate for Name valid for Days from now (a negative count makes
    // one that has expired), signed by the CA, or by itself.
    std::optional<TlsFiles> Make(const QString& File, const QString& Name, int Days, bool SelfSigned = false)
    {
        const TlsFiles f{Path(File + ".pem"), Path(File + ".key")};
        const QString ext = Path(File + ".ext");
        QFile extFile(ext);
        if (!extFile.open(QIODevice::WriteOnly) || extFile.write("subjectAltName=DNS:" + Name.toUtf8() + "\n") < 0)
            return std::nullopt;
        extFile.close();
        const QStringList key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                 "-keyout", f.KeyFile, "-subj", "/CN=" + Name};
        const bool made =
            SelfSigned ? Run(QStringList{"req", "-x509"} + key +
                             QStringList{"-out", f.CertFile, "-days", QString::number(Days), "-addext",
                                         "subjectAltName=DNS:" + Name})
                       : Run(QStringList{"req", "-new"} + key + QStringList{"-out", Path(File + ".csr")}) &&
                             Run({"x509", "-req", "-in", Path(File + ".csr"), "-CA", CaFile(), "-CAkey", Path("ca.key"),
                                  "-CAcreateserial", "-out", f.CertFile, "-days", QString::number(Days), "-extfile",
                                  ext});
        return made ? std::optional(f) : std::nullopt;
    }

private:
    QString Path(const QString& name) const { return FDir.filePath(name); }
    static bool Run(const QStringList& args)
    {
        QProcess openssl;
        openssl.start("openssl", args);
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
            FIn->setParent(nullptr);
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
    // A window whose upstream is localhost through a tap to Port, with SSL on.
    std::unique_ptr<TNimboChat> Window(WireTap& Tap, bool AllowUntrusted)
    {
        auto w = std::make_unique<TNimboChat>(nullptr);
        w->Show();
        w->ClientEdit->SetText("localhost");
        w->SslCheckBox->SetChecked(true);
        w->ClientPortEdit->SetText(std::to_string(Tap.Port()));
        w->ClientSocket->AllowUntrustedCert = AllowUntrusted;
        return w;
    }
    static bool LogHas(TNimboChat& w, const AnsiString& needle, TColor colour)
    {
        for (int i = 0; i < w.LogRichEdit->LineTextCount(); ++i)
            if (w.LogRichEdit->LineText(i).find(needle) != AnsiString::npos && w.LogRichEdit->LineColor(i) == colour)
                return true;
        return false;
    }
    Certificates certs;
};

TEST_F(Tls, ATrustedServerRegistersTheRelayedClientOverTls)
{
    NgircdServer irc(certs.Make("good", "localhost", 1));
    ASSERT_TRUE(irc.Started());
    WireTap tap(irc.TlsPort());
    auto w = Window(tap, false);
    const quint16 relayPort = FreeLowPort();
    w->ServerPortEdit->SetText(std::to_string(relayPort));
    IrcClient taro;
    ASSERT_TRUE(taro.Connect(relayPort));
    ASSERT_TRUE(taro.Register("Taro", 10000));
    ASSERT_TRUE(taro.Join("#leaf"));
    EXPECT_TRUE(LogHas(*w, " 001 Taro ", clGreen));
    EXPECT_FALSE(tap.Sent.contains("NICK")) << "a line went in plain text";
    EXPECT_TRUE(Recorded().Exceptions.empty());
}

TEST_F(Tls, AllowUntrustedCertAcceptsASelfSignedServer)
{
    NgircdServer irc(certs.Make("self", "localhost", 1, true));
    ASSERT_TRUE(irc.Started());
    WireTap tap(irc.TlsPort());
    auto w = Window(tap, true);
    w->NickEdit->SetText("Taro");
    w->ConnectButton->Click();
    EXPECT_TRUE(WaitUntil([&] { return LogHas(*w, " 001 Taro ", clGreen); }, 10000));
    EXPECT_FALSE(tap.Sent.contains("NICK"));
}

// A server that cannot be trusted ends the relay session as a failed
// connect: the reason in red, the box, "Connecting Error" to the client, and
// nothing of the client's lines on the wire.
TEST_F(Tls, ARefusedServerEndsTheSessionAsAFailedConnect)
{
    Certificates otherCa;
    ASSERT_TRUE(otherCa.Made());
    struct Case {
        const char* Name;
        std::optional<TlsFiles> Files; // none: the server's plain port
        bool AllowUntrusted;
        const char* Reason;
    };
    const Case cases[] = {
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
        WireTap tap(irc ? irc->TlsPort() : plain.serverPort());
        auto w = Window(tap, c.AllowUntrusted);
        const quint16 relayPort = FreeLowPort();
        w->ServerPortEdit->SetText(std::to_string(relayPort));
        IrcClient taro;
        ASSERT_TRUE(taro.Connect(relayPort));
        taro.Send("NICK Taro\r\nUSER taro 0 * :Taro\r\n");
        EXPECT_TRUE(taro.WaitFor("Connecting Error\r\n", 10000));
        EXPECT_TRUE(taro.WaitClosed());
        EXPECT_TRUE(LogHas(*w, c.Reason, clRed));
        EXPECT_EQ(NimboChatProbe::SessionState(*w), ssIdle);
        EXPECT_TRUE(w->ConnectButton->Enabled());
        ASSERT_EQ(Recorded().Exceptions.size(), 1u);
        EXPECT_NE(Recorded().Exceptions[0].find(c.Reason), AnsiString::npos) << Recorded().Exceptions[0];
        EXPECT_FALSE(tap.Sent.contains("NICK")) << "a line went in plain text";
    }
}

TEST(SslCheckBox, TurningItOnOffersTheTlsPortOnlyInPlaceOf6667)
{
    TNimboChat w(nullptr);
    w.SslCheckBox->SetChecked(false);
    w.ClientPortEdit->SetText("6667");
    w.SslCheckBox->SetChecked(true);
    EXPECT_EQ(w.ClientPortEdit->Text(), "6697");
    EXPECT_EQ(w.ClientSocket->Port, 6697);
    EXPECT_TRUE(w.ClientSocket->Secure);
    w.SslCheckBox->SetChecked(false);
    EXPECT_EQ(w.ClientPortEdit->Text(), "6697");
    EXPECT_FALSE(w.ClientSocket->Secure);
    w.ClientPortEdit->SetText("7000");
    w.SslCheckBox->SetChecked(true);
    EXPECT_EQ(w.ClientPortEdit->Text(), "7000");
}

} // namespace
