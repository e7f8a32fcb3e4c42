// Relay throughput and latency: JIS chat lines from an upstream server
// through a running NimboChat (offscreen, logging on) to its chat client,
// against the same lines over one direct loopback connection.
#include "relay/main_window.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int LineCount = 100000;

// About 80 bytes of JIS chat: a prefix, kanji and ASCII.
QByteArray ChatLine(int i)
{
    return ":hana!h@pc.example.jp PRIVMSG #leaf :\x1B$B\x24\x33\x24\x73\x24\x4B\x24\x41\x24\x4F\x1B(B line " +
           QByteArray::number(i).rightJustified(6, '0') + " ok\r\n";
}

const QByteArray& Burst()
{
    static QByteArray burst = [] {
        QByteArray b;
        for (int i = 0; i < LineCount; ++i)
            b += ChatLine(i);
        return b;
    }();
    return burst;
}

bool Pump(const std::function<bool()>& done, int timeoutMs = 120000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

quint16 LowPort(QTcpServer& server)
{
    for (quint16 p = 7100; p < 9999; ++p)
        if (server.listen(QHostAddress::LocalHost, p))
            return p;
    return 0;
}

// A running relay session: upstream server socket, window, chat client.
struct RelaySession {
    RelaySession()
    {
        LowPort(upstream);
        window = std::make_unique<TNimboChat>(nullptr);
        window->ClientEdit->SetText("127.0.0.1");
        window->ClientPortEdit->SetText(std::to_string(upstream.serverPort()));
        QTcpServer probe;
        quint16 listen = LowPort(probe);
        probe.close();
        window->ServerPortEdit->SetText(std::to_string(listen));
        client.connectToHost(QHostAddress::LocalHost, listen);
        Pump([&] { return upstream.hasPendingConnections() && window->ClientSocket->Active(); });
        server.reset(upstream.nextPendingConnection());
    }
    QTcpServer upstream;
    std::unique_ptr<TNimboChat> window;
    QTcpSocket client;
    std::unique_ptr<QTcpSocket> server;
};

void Transfer(QTcpSocket& from, QTcpSocket& to, const QByteArray& bytes, benchmark::State& state)
{
    qint64 received = 0;
    QElapsedTimer timer;
    timer.start();
    from.write(bytes);
    bool ok = Pump([&] {
        received += to.readAll().size();
        return received >= bytes.size();
    });
    state.SetIterationTime(timer.nsecsElapsed() / 1e9);
    if (!ok)
        state.SkipWithError("lines were lost");
}

void BM_RelayThroughput(benchmark::State& state)
{
    RelaySession s;
    for (auto _ : state)
        Transfer(*s.server, s.client, Burst(), state);
    state.counters["lines_per_s"] = benchmark::Counter(double(LineCount) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_DirectLoopbackThroughput(benchmark::State& state)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    Pump([&] { return server.hasPendingConnections(); });
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    for (auto _ : state)
        Transfer(*peer, client, Burst(), state);
    state.counters["lines_per_s"] = benchmark::Counter(double(LineCount) * state.iterations(), benchmark::Counter::kIsRate);
}

// One line a millisecond for a second; the delay of each line from its
// write at the server to its arrival at the client.
void BM_RelayLatencyAt1000LinesPerSecond(benchmark::State& state)
{
    RelaySession s;
    std::vector<double> delaysUs;
    for (auto _ : state) {
        constexpr int lines = 1000;
        std::vector<qint64> sentAt(lines, 0);
        QElapsedTimer clock;
        clock.start();
        int sent = 0;
        int arrived = 0;
        QByteArray pending;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (sent < lines) {
                sentAt[sent] = clock.nsecsElapsed();
                s.server->write(ChatLine(sent));
                s.server->flush();
                ++sent;
            }
        });
        tick.setTimerType(Qt::PreciseTimer);
        tick.start(1);
        Pump([&] {
            pending += s.client.readAll();
            qsizetype lf;
            while ((lf = pending.indexOf('\n')) >= 0) {
                delaysUs.push_back((clock.nsecsElapsed() - sentAt[arrived]) / 1000.0);
                ++arrived;
                pending.remove(0, lf + 1);
            }
            return arrived >= lines;
        });
    }
    std::sort(delaysUs.begin(), delaysUs.end());
    if (!delaysUs.empty()) {
        state.counters["median_us"] = delaysUs[delaysUs.size() / 2];
        state.counters["p99_us"] = delaysUs[delaysUs.size() * 99 / 100];
    }
}

// The log alone, sustained: bursts of lines appended to a full log while the
// event loop runs every 256 lines, as between a read's slices, so the view is
// drawn at screen rate; each burst's time includes its last view update.
void BM_AddLog(benchmark::State& state)
{
    constexpr int BurstLines = 100000;
    TNimboChat window(nullptr);
    window.Show();
    int i = 0;
    for (auto _ : state) {
        for (int n = 0; n < BurstLines; ++n) {
            window.AddLog(":hana!h@pc PRIVMSG #leaf :line " + std::to_string(i++), clBlack, false);
            if (n % 256 == 255)
                QCoreApplication::processEvents();
        }
        while (window.LogRichEdit->ViewPending())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    state.counters["AddLog_sustained_lines_per_s"] =
        benchmark::Counter(double(state.iterations()) * BurstLines, benchmark::Counter::kIsRate);
    state.counters["goal_lines_per_s"] = 500000;
}

BENCHMARK(BM_AddLog)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RelayThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DirectLoopbackThroughput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RelayLatencyAt1000LinesPerSecond)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qtApp(argc, argv);
    TApplication app;
    Application = &app;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Application = nullptr;
    return 0;
}
