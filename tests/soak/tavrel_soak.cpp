// SPDX-License-Identifier: MIT
// Runs the library under sustained load and tells whether it gives back what
// it takes:
//
//   tavrel_soak [CALLS [ROUND_TRIPS]]      (100000 and 10000 unless given)
//
// First CALLS XML-RPC calls through one QuorXmlRpcClient, a few in flight at
// a time, against a QuorXmlRpcServer in this process; then ROUND_TRIPS times a
// new Tavrel finds a TavrelServer in this process, reads its report and sends
// it a command. Resident memory, threads and open descriptors are printed at
// the start, every tenth of each part and at its end. The first tenth is
// warm-up; the program fails when a part ends holding more than it did then,
// beyond a small allowance for memory, or when any call goes wrong.

#include "processusage.h"
#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientlimits.h"
#include "quorxmlrpcserver.h"
#include "tavrel.h"
#include "tavrelserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int DefaultCalls = 100000;
constexpr int DefaultRoundTrips = 10000;
constexpr int CallsInFlight = 4;
constexpr int CallTimeoutMs = 10000;
constexpr qint64 AllowedGrowthKiB = 4 * 1024;
constexpr int Reports = 10;

int reportsSeen = 0;
QtMessageHandler defaultHandler = nullptr;

// Tavrel prints its report on every instance it finds; counted, not printed.
void countReports(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && message.contains(QLatin1String("an instance of"))) {
        ++reportsSeen;
        return;
    }
    defaultHandler(type, context, message);
}

void print(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

// Runs the event loop until done() holds, or for at most timeoutMs.
bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    QTimer wakeUp; // so that a wait without events still sees the time run out
    wakeUp.start(50);
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Follows one part: prints its figures and remembers them after warm-up.
class Part
{
public:
    Part(const char *name, int total)
        : m_name(QString::fromLatin1(name))
        , m_total(total)
    {
        report(0);
    }

    void progress(int done)
    {
        if (done % qMax(1, m_total / Reports) == 0 || done == m_total)
            report(done);
        if (done == qMax(1, m_total / Reports))
            m_warm = ProcessUsage::now();
    }

    // Lets objects on their way out go, then compares with the warm figures.
    bool finish(int failures)
    {
        runUntil(
            [this] {
                const ProcessUsage now = ProcessUsage::now();
                return now.threads <= m_warm.threads && now.descriptors <= m_warm.descriptors;
            },
            5000);
        const ProcessUsage end = ProcessUsage::now();
        print(QStringLiteral("%1: end      %2").arg(m_name, end.toString()));
        const qint64 growth = end.residentKiB - m_warm.residentKiB;
        print(QStringLiteral("%1: after warm-up: %2 KiB more memory, %3 more threads, %4 more "
                             "descriptors, %5 failed")
                  .arg(m_name)
                  .arg(growth)
                  .arg(end.threads - m_warm.threads)
                  .arg(end.descriptors - m_warm.descriptors)
                  .arg(failures));
        return failures == 0 && growth <= AllowedGrowthKiB && end.threads <= m_warm.threads
            && end.descriptors <= m_warm.descriptors;
    }

private:
    void report(int done)
    {
        print(QStringLiteral("%1: %2/%3 %4")
                  .arg(m_name)
                  .arg(done, 6)
                  .arg(m_total)
                  .arg(ProcessUsage::now().toString()));
    }

    QString m_name;
    int m_total;
    ProcessUsage m_warm;
};

// Keeps a few calls in flight until all are made and answered.
class Caller : public QObject
{
    Q_OBJECT

public:
    Caller(QuorXmlRpcClient *client, int total)
        : m_client(client)
        , m_total(total)
        , m_part("calls", total)
    { }

    bool run()
    {
        for (int i = 0; i < CallsInFlight; ++i)
            callNext();
        if (!runUntil([this] { return m_finished == m_total; }, m_total * CallTimeoutMs))
            ++m_failures;
        return m_part.finish(m_failures);
    }

public Q_SLOTS:
    void answered(QVariant &value, QNetworkReply *reply)
    {
        if (value.toInt() != m_expected.take(reply))
            ++m_failures;
        finishOne();
    }

    void failed(int code, const QString &message, QNetworkReply *reply)
    {
        print(QStringLiteral("call failed: %1 %2").arg(code).arg(message));
        m_expected.remove(reply);
        ++m_failures;
        finishOne();
    }

private:
    void callNext()
    {
        if (m_started == m_total)
            return;
        QNetworkReply *reply = m_client->call(QStringLiteral("echo"), {m_started}, this,
            SLOT(answered(QVariant &, QNetworkReply *)), this,
            SLOT(failed(int, const QString &, QNetworkReply *)));
        m_expected.insert(reply, m_started++);
    }

    void finishOne()
    {
        m_part.progress(++m_finished);
        callNext();
    }

    QuorXmlRpcClient *m_client;
    int m_total;
    int m_started = 0;
    int m_finished = 0;
    int m_failures = 0;
    // The calls in flight: the client spreads them over several connections,
    // so answers come in any order.
    QHash<QNetworkReply *, int> m_expected;
    Part m_part;
};

bool soakCalls(int total)
{
    QuorXmlRpcServer server;
    server.registerMethod(
        QStringLiteral("echo"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setValue(params.value(0));
        });
    if (!server.listen()) {
        print(QStringLiteral("cannot listen: %1").arg(server.errorString()));
        return false;
    }
    QuorXmlRpcClient client(
        QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(server.serverPort())));
    // The limits' timers and connections are part of every call, so soak them too.
    QuorXmlRpcClientLimits::setTimeout(&client, CallTimeoutMs);
    QuorXmlRpcClientLimits::setMaximumResponseSize(&client, 64 * 1024);
    Caller caller(&client, total);
    return caller.run();
}

bool soakRoundTrips(int total)
{
    TavrelServer server;
    server.setApplicationName(QStringLiteral("soak"));
    server.registerCommand(
        QStringLiteral("echo"), [](const QString &argument) { return QStringList {argument}; });
    if (!server.listen(0)) {
        print(QStringLiteral("cannot listen: %1").arg(server.errorString()));
        return false;
    }
    Part part("round trips", total);
    int failures = 0;
    for (int i = 1; i <= total; ++i) {
        Tavrel tavrel(nullptr, server.port());
        const int reportsBefore = reportsSeen;
        const QStringList expected {QString::number(i)};
        if (tavrel.checkTcp()) {
            tavrel.sendCommand(QStringLiteral("echo"), expected.first());
            if (!runUntil(
                    [&] {
                        return reportsSeen > reportsBefore
                            && tavrel.lastCommandAnswer() == expected;
                    },
                    CallTimeoutMs))
                ++failures;
        } else {
            ++failures;
        }
        part.progress(i);
    }
    return part.finish(failures);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    defaultHandler = qInstallMessageHandler(countReports);
    const QStringList arguments = app.arguments();
    const int calls = arguments.size() > 1 ? arguments.at(1).toInt() : DefaultCalls;
    const int roundTrips = arguments.size() > 2 ? arguments.at(2).toInt() : DefaultRoundTrips;
    print(QStringLiteral("start: %1").arg(ProcessUsage::now().toString()));
    const bool callsHeld = soakCalls(calls);
    const bool roundTripsHeld = soakRoundTrips(roundTrips);
    print(QStringLiteral("end: %1").arg(ProcessUsage::now().toString()));
    if (!callsHeld || !roundTripsHeld) {
        print(QStringLiteral("FAILED: something went wrong or was kept"));
        return 1;
    }
    print(QStringLiteral("passed: nothing kept beyond warm-up"));
    return 0;
}

#include "tavrel_soak.moc"
