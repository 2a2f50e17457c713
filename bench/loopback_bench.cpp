// SPDX-License-Identifier: MIT
// Calls over the loopback and instance detection, with Google Benchmark:
//  - sequential small calls of one QuorXmlRpcClient to one QuorXmlRpcServer,
//    with the 50th and 99th percentile of their latency,
//  - the same with 32 calls in flight at any time,
//  - Tavrel::checkTcp() against a closed port,
//  - Tavrel::checkTcp() against a running TavrelServer, up to its report.
// Python's xmlrpc.client against SimpleXMLRPCServer, the reference for the
// sequential calls, is measured by keepalive_bench.
//
//   loopback_bench [--benchmark_... flags]

#include "quorxmlrpcclient.h"
#include "quorxmlrpcserver.h"
#include "tavrel.h"
#include "tavrelserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTcpServer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace {

// Small calls of "echo", each answered call followed by a new one, with at
// most inFlight under way; records each call's latency.
class Caller : public QObject
{
    Q_OBJECT

public:
    Caller(const QUrl &url, int inFlight)
        : m_client(url)
        , m_inFlight(inFlight)
    { }

    // Makes count calls and returns the seconds they took.
    double run(int count)
    {
        m_remaining = count;
        m_latencies.clear();
        QElapsedTimer total;
        total.start();
        for (int i = 0; i < m_inFlight; ++i)
            next();
        m_loop.exec();
        return double(total.nsecsElapsed()) / 1e9;
    }

    double percentile(int percent)
    {
        std::sort(m_latencies.begin(), m_latencies.end());
        if (m_latencies.empty())
            return 0;
        return m_latencies[std::min(m_latencies.size() - 1, m_latencies.size() * percent / 100)];
    }

public Q_SLOTS:
    void answered(QVariant &, QNetworkReply *reply)
    {
        m_latencies.push_back(double(m_started.take(reply).nsecsElapsed()) / 1e6);
        if (m_started.isEmpty() && m_remaining <= 0)
            m_loop.quit();
        next();
    }
    void failed(int code, const QString &message)
    {
        qFatal("fault %d: %s", code, qPrintable(message));
    }

private:
    void next()
    {
        if (m_remaining <= 0)
            return;
        --m_remaining;
        QElapsedTimer started;
        started.start();
        QNetworkReply *reply = m_client.call(QStringLiteral("echo"), {QStringLiteral("hello")},
            this, SLOT(answered(QVariant &, QNetworkReply *)), this,
            SLOT(failed(int, const QString &)));
        m_started.insert(reply, started);
    }

    QuorXmlRpcClient m_client;
    QEventLoop m_loop;
    QHash<QNetworkReply *, QElapsedTimer> m_started;
    std::vector<double> m_latencies;
    int m_inFlight;
    int m_remaining = 0;
};

QuorXmlRpcServer &echoServer()
{
    static QuorXmlRpcServer *server = [] {
        auto *echo = new QuorXmlRpcServer;
        echo->registerMethod(
            QStringLiteral("echo"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
                answer.setValue(params.value(0));
            });
        echo->listen();
        return echo;
    }();
    return *server;
}

void calls(benchmark::State &state)
{
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(echoServer().serverPort()));
    Caller caller(url, int(state.range(0)));
    caller.run(200); // opens the connections
    const int count = 2000;
    double p50 = 0;
    double p99 = 0;
    for (auto _ : state) {
        state.SetIterationTime(caller.run(count));
        p50 = caller.percentile(50);
        p99 = caller.percentile(99);
    }
    state.counters["calls/s"] = benchmark::Counter(
        double(count) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["p50_ms"] = p50;
    state.counters["p99_ms"] = p99;
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void checkClosedPort(benchmark::State &state)
{
    Tavrel tavrel(nullptr, closedPort());
    for (auto _ : state) {
        if (tavrel.checkTcp())
            state.SkipWithError("something listens");
    }
}

// Counts report lines; the report's last line ends the wait.
int s_reportLines = 0;
QEventLoop *s_reportLoop = nullptr;

void catchReport(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.contains(QLatin1String("owned by")) && s_reportLoop) {
        ++s_reportLines;
        s_reportLoop->quit();
    }
}

void checkRunningInstance(benchmark::State &state)
{
    TavrelServer server;
    const quint16 port = closedPort();
    if (!server.listen(port)) {
        state.SkipWithError("cannot listen");
        return;
    }
    Tavrel tavrel(nullptr, port);
    QEventLoop loop;
    s_reportLoop = &loop;
    const QtMessageHandler previous = qInstallMessageHandler(catchReport);
    for (auto _ : state) {
        if (!tavrel.checkTcp()) {
            state.SkipWithError("nothing listens");
            break;
        }
        loop.exec();
    }
    qInstallMessageHandler(previous);
    s_reportLoop = nullptr;
}

} // namespace

BENCHMARK(calls)
    ->Name("Loopback/SequentialCalls")
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(calls)
    ->Name("Loopback/CallsInFlight")
    ->Arg(32)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(checkClosedPort)
    ->Name("Instance/CheckTcpClosedPort")
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(checkRunningInstance)
    ->Name("Instance/CheckTcpToReport")
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}

#include "loopback_bench.moc"
