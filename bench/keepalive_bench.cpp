// SPDX-License-Identifier: MIT
// Sequential small calls on one kept-alive connection, for every pairing of
// Tavrel's client and server with Python's xmlrpc and, where it is installed,
// Debian's xmlrpc-c: calls per second and the
// 50th and 99th percentile of the latency. Guards against the delayed-ACK
// stall (about 40 ms a call) that a client writing headers and body
// separately runs into against a server that acknowledges late.
//
//   keepalive_bench [calls]     (default 1000)
//   keepalive_bench remote URL CALLS [manager] [CA-FILE]
//                               Tavrel's client alone against URL, a server elsewhere
//                               (remote_keepalive.sh makes one); "manager" sends the
//                               calls through Qt's network access manager, as an
//                               application proxy would; CA-FILE is trusted for HTTPS.

#include "quorxmlrpcclient.h"
#include "quorxmlrpcserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
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
    out << pairing.leftJustified(36) << QString::number(figures.callsPerSecond, 'f', 0)
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

    QuorXmlRpcClient &client() { return m_client; }

    Figures run()
    {
        m_total.start();
        next();
        m_loop.exec();
        Figures figures;
        if (m_latencies.empty())
            return figures;
        std::sort(m_latencies.begin(), m_latencies.end());
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

// An independent peer program: Python's xmlrpc, or xmlrpc-c where it was built.
struct Peer
{
    QString name;
    QString program;
    QStringList leadingArguments;

    QStringList arguments(const QStringList &rest) const { return leadingArguments + rest; }
};

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs the peer's client against port while this process keeps serving.
Figures peerClient(const Peer &peer, quint16 port, int calls)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(peer.program,
        peer.arguments({QStringLiteral("call"), QString::number(port), QString::number(calls)}));
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
        &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    loop.exec();
    const QStringList output
        = QString::fromLatin1(process.readAllStandardOutput()).split(QLatin1Char(' '));
    Figures figures;
    if (output.size() == 3) {
        figures.callsPerSecond = output.at(0).toDouble();
        figures.p50 = output.at(1).toDouble();
        figures.p99 = output.at(2).toDouble();
    }
    return figures;
}

void measureAgainstPeer(const Peer &peer, const QUrl &tavrelServerUrl, int calls)
{
    print(peer.name + QStringLiteral(" client -> Tavrel server"),
        peerClient(peer, quint16(tavrelServerUrl.port()), calls));

    const quint16 port = freePort();
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(peer.program, peer.arguments({QStringLiteral("serve"), QString::number(port)}));
    if (!server.waitForReadyRead(10000)) {
        QTextStream(stderr) << peer.name << " did not start" << Qt::endl;
        return;
    }
    const QUrl peerUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(port));
    // Fewer calls: each may take the full delayed-ACK time.
    print(QStringLiteral("Tavrel client -> ") + peer.name + QStringLiteral(" server"),
        SequentialCaller(peerUrl, qMin(calls, 200)).run());
    print(peer.name + QStringLiteral(" client -> ") + peer.name + QStringLiteral(" server"),
        peerClient(peer, port, calls));
    server.kill();
    server.waitForFinished();
}

} // namespace

// One line of figures for the client against a server elsewhere.
int measureRemote(const QStringList &arguments)
{
    const QUrl url(arguments.value(2));
    const int calls = arguments.value(3).toInt();
    const bool throughManager = arguments.value(4) == QLatin1String("manager");
    const QString caFile = arguments.value(throughManager ? 5 : 4);
    SequentialCaller caller(url, calls);
    if (!caFile.isEmpty()) {
        QSslConfiguration configuration = caller.client().sslConfiguration();
        configuration.setCaCertificates(QSslCertificate::fromPath(caFile));
        caller.client().setSslConfiguration(configuration);
    }
    if (throughManager) {
        // The client's own connections give way to an application proxy;
        // its manager then goes direct.
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), 1));
        caller.client().findChild<QNetworkAccessManager *>()->setProxy(QNetworkProxy::NoProxy);
    }
    const Figures figures = caller.run();
    QTextStream(stdout) << QString::number(figures.callsPerSecond, 'f', 0) << " calls/s   p50 "
                        << QString::number(figures.p50, 'f', 3) << " ms   p99 "
                        << QString::number(figures.p99, 'f', 3) << " ms   " << url.toString()
                        << (throughManager ? " through the manager" : "") << Qt::endl;
    return figures.callsPerSecond > 0 ? 0 : 1;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("remote"))
        return measureRemote(app.arguments());
    const int calls = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;

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
    measureAgainstPeer(
        {QStringLiteral("Python"), QStringLiteral("python3"), {PeerScript}}, serverUrl, calls);
#ifdef TAVREL_XMLRPCC_PEER
    measureAgainstPeer(
        {QStringLiteral("xmlrpc-c"), QStringLiteral(TAVREL_XMLRPCC_PEER), {}}, serverUrl, calls);
#endif
    return 0;
}

#include "keepalive_bench.moc"
