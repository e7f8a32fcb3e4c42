// The two chat users of scripts/demo: Taro talks through NimboChat in
// UTF-8, as today's chat clients do (NimboChat's "UTF-8" switch is on), Hana
// straight to the IRC server in JIS, as the Japanese channels do. They
// exchange Japanese messages; Taro's greeting ends in an emoji, which JIS
// cannot hold, and a long line of his reaches Hana whole; Hana sends a CTCP
// VERSION and a line with Taro's keyword. Then Taro's chat client goes away,
// the IRC server restarts meanwhile, NimboChat is back on it by itself, and
// the client comes back to both channels and finds what Hana said before
// and after the restart. Prints a readable transcript of what each side
// received.
//
// Usage: demo_chat RELAY_PORT SERVER_PORT HOLD_FILE
// After the keyword line it creates HOLD_FILE.ready and waits (at most 20 s)
// for HOLD_FILE.go, so the demo can take its screenshot. For the restart it
// creates HOLD_FILE.restart and waits (at most 20 s) for
// HOLD_FILE.restarted, which the demo creates once the server is up again.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

#include <cstdio>
#include <iconv.h>
#include <memory>

namespace {

QByteArray Convert(const char* to, const char* from, const QByteArray& in)
{
    iconv_t cd = iconv_open(to, from);
    QByteArray out(in.size() * 4 + 16, '\0');
    char* inPtr = const_cast<char*>(in.constData());
    size_t inLeft = static_cast<size_t>(in.size());
    char* outPtr = out.data();
    size_t outLeft = static_cast<size_t>(out.size());
    iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - static_cast<int>(outLeft));
    return out;
}

QByteArray Jis(const char* utf8) { return Convert("ISO-2022-JP", "UTF-8", utf8); }

// The two-byte codes of an all-kanji text, without its escapes: what to look
// for inside a longer JIS line.
QByteArray JisBody(const char* utf8)
{
    QByteArray jis = Jis(utf8);
    return jis.mid(3, jis.size() - 6);
}

class User {
public:
    User(const char* name, const char* route, bool utf8) : FName(name), FRoute(route), FUtf8(utf8) {}

    bool Connect(quint16 port)
    {
        FSocket.connectToHost("127.0.0.1", port);
        return FSocket.waitForConnected(5000);
    }
    void Send(const QByteArray& line)
    {
        std::printf("  %-5s sends    %s\n", FName, Readable(line).constData());
        FSocket.write(line + "\r\n");
        FSocket.flush();
    }
    // Waits for a received line holding `needle`, printing every line.
    bool Expect(const QByteArray& needle, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (FSocket.canReadLine()) {
                QByteArray line = FSocket.readLine().trimmed();
                if (line.startsWith("PING ")) {
                    FSocket.write("PONG " + line.mid(5) + "\r\n");
                    continue;
                }
                if (Interesting(line))
                    std::printf("  %-5s received %s\n", FName, Readable(line).constData());
                if (line.contains(needle))
                    return true;
            }
            FSocket.waitForReadyRead(100);
        }
        std::printf("  %-5s did not receive %s\n", FName, needle.constData());
        return false;
    }
    bool Register()
    {
        std::printf("%s connects %s\n", FName, FRoute);
        Send("NICK " + QByteArray(FName));
        Send("USER " + QByteArray(FName).toLower() + " 0 * :" + FName);
        return Expect(" 001 ");
    }
    void Close() { FSocket.waitForDisconnected(3000); }
    // Whether the server has closed the connection (it restarts), waiting at most a while.
    bool Closed(int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (FSocket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired())
            FSocket.waitForReadyRead(100);
        return FSocket.state() != QAbstractSocket::ConnectedState;
    }
    // The chat client goes away without a word, as a crashed or closed one does.
    void Drop()
    {
        std::printf("%s's chat client closes\n", FName);
        FSocket.abort();
    }

private:
    static bool Interesting(const QByteArray& line)
    {
        // Skip the server's greeting numerics except the welcome and the names list.
        QList<QByteArray> parts = line.split(' ');
        if (parts.size() < 2)
            return true;
        bool numeric = false;
        parts[1].toInt(&numeric);
        return !numeric || parts[1] == "001" || parts[1] == "353";
    }
    QByteArray Readable(const QByteArray& line) const
    {
        return QByteArray(FUtf8 ? line : Convert("UTF-8", "ISO-2022-JP", line)).replace('\x01', "^A");
    }

    const char* FName;
    const char* FRoute;
    bool FUtf8;
    QTcpSocket FSocket;
};

bool WaitForFile(const QString& path, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!QFile::exists(path) && !deadline.hasExpired())
        QThread::msleep(50);
    return QFile::exists(path);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: demo_chat RELAY_PORT SERVER_PORT HOLD_FILE\n");
        return 2;
    }
    const quint16 relayPort = static_cast<quint16>(QByteArray(argv[1]).toUShort());
    const quint16 serverPort = static_cast<quint16>(QByteArray(argv[2]).toUShort());
    const QString hold = QString::fromLocal8Bit(argv[3]);

    auto hana = std::make_unique<User>("Hana", "straight to the IRC server, in JIS", false);
    User taro("Taro", "through NimboChat, in UTF-8", true);
    bool ok = hana->Connect(serverPort) && hana->Register();
    hana->Send("JOIN #leaf,#" + Jis("日本"));
    ok = ok && hana->Expect(" 366 ") && hana->Expect(" 366 ");
    ok = ok && taro.Connect(relayPort) && taro.Register();
    taro.Send("JOIN #leaf,#日本");
    ok = ok && taro.Expect("#日本 :End") && hana->Expect("JOIN");

    std::printf("\nTaro greets the channel in UTF-8; Hana gets JIS, the emoji as 〓:\n");
    taro.Send("PRIVMSG #leaf :こんにちは、花子さん。😀");
    ok = ok && hana->Expect(JisBody("花子さん。〓"));
    std::printf("\nTaro sends a long line: 428 bytes of UTF-8, 606 of JIS. NimboChat splits it\n"
                "for IRC's 512 bytes, and Hana gets all of it:\n");
    taro.Send("PRIVMSG #leaf :" + QByteArray("今日はGitHubのPRをreviewして、").repeated(10) + "今日はGitHubのPRをreview…!");
    ok = ok && hana->Expect(Jis("review…!"));
    std::printf("\nHana answers:\n");
    hana->Send("PRIVMSG #leaf :" + Jis("太郎さん、こんにちは！元気ですか？"));
    ok = ok && taro.Expect("元気ですか");

    std::printf("\nHana asks Taro's client for its version (NimboChat answers itself):\n");
    hana->Send("PRIVMSG Taro :\x01VERSION\x01");
    ok = ok && hana->Expect("VERSION NimboChat");

    std::printf("\nHana writes Taro's keyword \"nimbo\" (bold in the log, the window flashes):\n");
    hana->Send("PRIVMSG #leaf :" + Jis("nimbo の調子はどう？"));
    ok = ok && taro.Expect("調子はどう");

    QFile(hold + ".ready").open(QIODevice::WriteOnly);
    WaitForFile(hold + ".go", 20000);

    std::printf("\nTaro's chat client goes away; NimboChat keeps him on the server (its stay switch is on):\n");
    taro.Drop();
    hana->Send("PRIVMSG #leaf :" + Jis("太郎さん、いますか？"));
    hana->Send("PRIVMSG Taro :" + Jis("後で見てね"));

    std::printf("\nThe IRC server restarts while Taro is away:\n");
    QFile(hold + ".restart").open(QIODevice::WriteOnly);
    ok = ok && hana->Closed() && WaitForFile(hold + ".restarted", 20000);
    hana = std::make_unique<User>("Hana", "to the IRC server again", false);
    ok = ok && hana->Connect(serverPort) && hana->Register();
    hana->Send("JOIN #leaf,#" + Jis("日本"));
    std::printf("\nNimboChat is back on the server by itself and rejoins both channels:\n");
    ok = ok && hana->Expect(":Taro!", 30000) && hana->Expect(JisBody("日本"));
    hana->Send("PRIVMSG #" + Jis("日本") + " :" + Jis("サーバーが再起動しましたね"));
    // A round trip through NimboChat, which answers CTCP PING itself: it has
    // read her line before it answers.
    hana->Send("PRIVMSG Taro :\x01PING sync\x01");
    ok = ok && hana->Expect("PING sync");

    std::printf("\nTaro's client comes back to both channels and finds what was said before\n"
                "and after the restart, each line with its time:\n");
    User back("Taro", "through NimboChat again", true);
    ok = ok && back.Connect(relayPort) && back.Register();
    ok = ok && back.Expect("太郎さん、いますか") && back.Expect("再起動しましたね") && back.Expect("後で見てね");

    std::printf("\nTaro's client quits; NimboChat keeps him on the server until DisConnect:\n");
    back.Send("QUIT :またね");
    back.Close();
    std::printf("\n%s\n", ok ? "demo: every message arrived" : "demo: something did not arrive");
    return ok ? 0 : 1;
}
