// Sequential small calls on one kept-alive connection, for every pairing of
// Tavrel's client and server with Python's xmlrpc: calls per second and the
// 50th and 99th percentile of the latency. Guards against the delayed-ACK
// stall (about 40 ms a call) that a client writing headers and body
// separately runs into against a server that acknowledges late.
//
//   keepalive_bench [calls]     (default 1000)

#include "quorxmlrpcclient.h"
#include "quorxmlrpcserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextStream>
#include <QUrl>

#include <algorithm>
#include <vector>

namespace {

const QString PeerScript = QStringLiteral(TAVREL_BENCH_DIR "/keepalive_peer.py");

struct Figures
{
    double callsPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
};

void print(const QString &pairing, const Figures &figures)
{
    QTextStream out(stdout);
    out << pairing.leftJustified(34) << QString::number(figures.callsPerSecond, 'f', 0)
        << " calls/s   p50 " << QString::number(figures.p50, 'f', 3) << " ms   p99 "
        << QString::number(figures.p99, 'f', 3) << " ms" << Qt::endl;
}

// Calls "echo" count times, each after the previous one has been answered.
class SequentialCaller : public QObject
{
    Q_OBJECT

public:
    SequentialCaller(const QUrl &url, int count)
        : m_client(url)
        , m_remaining(count)
    {
        m_latencies.reserve(size_t(count));
    }

    Figures run()
    {
        m_total.start();
        next();
        m_loop.exec();
        std::sort(m_latencies.begin(), m_latencies.end());
        Figures figures;
        figures.callsPerSecond = double(m_latencies.size()) * 1e9 / double(m_total.nsecsElapsed());
        figures.p50 = m_latencies[m_latencies.size() / 2];
        figures.p99 = m_latencies[std::min(m_latencies.size() - 1, m_latencies.size() * 99 / 100)];
        return figures;
    }

public Q_SLOTS:
    void answered(QVariant &)
    {
        m_latencies.push_back(double(m_call.nsecsElapsed()) / 1e6);
        next();
    }
    void failed(int code, const QString &message)
    {
        QTextStream(stderr) << "fault " << code << ": " << message << Qt::endl;
        m_loop.exit(1);
    }

private:
    void next()
    {
        if (m_remaining-- == 0) {
            m_loop.quit();
            return;
        }
        m_call.start();
        m_client.call(QStringLiteral("echo"), {QStringLiteral("hello")}, this,
            SLOT(answered(QVariant &)), this, SLOT(failed(int, const QString &)));
    }

    QuorXmlRpcClient m_client;
    QEventLoop m_loop;
    QElapsedTimer m_total;
    QElapsedTimer m_call;
    std::vector<double> m_latencies;
    int m_remaining;
};

Figures fromPython(const QStringList &output)
{
    Figures figures;
    if (output.size() == 3) {
        figures.callsPerSecond = output.at(0).toDouble();
        figures.p50 = output.at(1).toDouble();
        figures.p99 = output.at(2).toDouble();
    }
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int calls = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    const QString python = QStringLiteral("python3");

    QuorXmlRpcServer server;
    server.registerMethod(
        QStringLiteral("echo"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setValue(params.value(0));
        });
    server.listen();
    const QUrl serverUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(server.serverPort()));

    QTextStream(stdout) << calls << " sequential calls on one connection" << Qt::endl;
    print(
        QStringLiteral("Tavrel client -> Tavrel server"), SequentialCaller(serverUrl, calls).run());

    // Python's client runs in another process while this one serves.
    QProcess pythonClient;
    pythonClient.start(python,
        {PeerScript, QStringLiteral("call"), QString::number(server.serverPort()),
            QString::number(calls)});
    QEventLoop loop;
    QObject::connect(&pythonClient, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
        &loop, &QEventLoop::quit);
    loop.exec();
    print(QStringLiteral("Python client -> Tavrel server"),
        fromPython(
            QString::fromLatin1(pythonClient.readAllStandardOutput()).split(QLatin1Char(' '))));

    QProcess pythonServer;
    pythonServer.start(python, {PeerScript, QStringLiteral("serve")});
    if (!pythonServer.waitForReadyRead(10000)) {
        QTextStream(stderr) << "python3 did not start" << Qt::endl;
        return 1;
    }
    const QString pythonPort = QString::fromLatin1(pythonServer.readLine()).trimmed();
    const QUrl pythonUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(pythonPort));
    // Fewer calls: each may take the full delayed-ACK time.
    print(QStringLiteral("Tavrel client -> Python server"),
        SequentialCaller(pythonUrl, qMin(calls, 200)).run());
    pythonClient.start(
        python, {PeerScript, QStringLiteral("call"), pythonPort, QString::number(calls)});
    pythonClient.waitForFinished(-1);
    print(QStringLiteral("Python client -> Python server"),
        fromPython(
            QString::fromLatin1(pythonClient.readAllStandardOutput()).split(QLatin1Char(' '))));
    pythonServer.kill();
    pythonServer.waitForFinished();
    return 0;
}

#include "keepalive_bench.moc"
