// SPDX-License-Identifier: MIT
// Wall time of a second launch, from starting it to its exit once the running
// instance has taken its argument, for Tavrel and two references: KDE's
// KDBusService (Unique) and a bare QLocalServer/QLocalSocket hand-off. Each
// program's plain start-and-exit time is measured alongside, in the same
// rounds, so that what the hand-off itself costs shows. Then the memory and
// threads of each serving instance, idle.
//
//   dbus-run-session -- handoff_bench [ROUNDS]      (without a session bus, KDBusService is left
//   out)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

struct Mechanism
{
    QString name;
    QString program;
    QStringList serveArguments;
    QStringList handOffArguments;
    QStringList baselineArguments;
    std::vector<double> handOffMs;
    std::vector<double> baselineMs;
    std::unique_ptr<QProcess> instance;
};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

double runMs(const QString &program, const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    const bool finished = process.waitForFinished(10000);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return ms;
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values.at(size_t(fraction * double(values.size() - 1) + 0.5));
}

// VmRSS in KiB and the thread count of a process.
QPair<qint64, int> usageOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    qint64 rss = 0;
    int threads = 0;
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                rss = line.mid(6).trimmed().split(' ').value(0).toLongLong();
            else if (line.startsWith("Threads:"))
                threads = line.mid(8).trimmed().toInt();
        }
    }
    return {rss, threads};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = qMax(5, QCoreApplication::arguments().value(1).toInt());
    const QString port = QString::number(40000 + ::getpid() % 20000);
    const QString localName = QStringLiteral("tavrel-handoff-%1").arg(::getpid());

    std::vector<std::unique_ptr<Mechanism>> mechanisms;
    const auto add = [&mechanisms](const QString &name, const QString &program,
                         const QStringList &serve, const QStringList &handOff,
                         const QStringList &baseline = {QStringLiteral("--baseline")}) {
        auto mechanism = std::make_unique<Mechanism>();
        mechanism->name = name;
        mechanism->program = program;
        mechanism->serveArguments = serve;
        mechanism->handOffArguments = handOff;
        mechanism->baselineArguments = baseline;
        mechanisms.push_back(std::move(mechanism));
    };
    add(QStringLiteral("Tavrel (TavrelInstance)"), QStringLiteral(TAVREL_HANDOFF_TAVREL), {port},
        {port, QStringLiteral("/tmp/notes.txt")});
    const QString demoPort = QString::number(port.toInt() + 1);
    add(QStringLiteral("tavrel-demo echo"), QStringLiteral(TAVREL_DEMO),
        {QStringLiteral("--port"), demoPort},
        {QStringLiteral("--port"), demoPort, QStringLiteral("echo"), QStringLiteral("hello")},
        {QStringLiteral("--help")});
    const QString statusPort = QString::number(port.toInt() + 2);
    add(QStringLiteral("tavrel-demo --status"), QStringLiteral(TAVREL_DEMO),
        {QStringLiteral("--port"), statusPort},
        {QStringLiteral("--port"), statusPort, QStringLiteral("--status")},
        {QStringLiteral("--help")});
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        add(QStringLiteral("KDBusService Unique"), QStringLiteral(TAVREL_HANDOFF_KDBUS), {},
            {QStringLiteral("/tmp/notes.txt")});
    else
        out() << "no session bus: KDBusService left out (run under dbus-run-session)" << Qt::endl;
    add(QStringLiteral("QLocalSocket"), QStringLiteral(TAVREL_HANDOFF_LOCAL), {localName},
        {localName, QStringLiteral("/tmp/notes.txt")});

    for (const auto &mechanism : mechanisms) {
        mechanism->instance = std::make_unique<QProcess>();
        mechanism->instance->start(mechanism->program, mechanism->serveArguments);
        if (!mechanism->instance->waitForReadyRead(10000)
            || !mechanism->instance->readAll().contains("ready")) {
            if (mechanism->program != QLatin1String(TAVREL_DEMO)) {
                out() << mechanism->name << ": the instance did not start" << Qt::endl;
                return 1;
            }
        }
    }

    // Paired rounds: every program once per round, in turn, so that drifts of
    // the machine touch all alike. The first round warms caches and is dropped.
    for (int round = 0; round <= rounds; ++round) {
        for (const auto &mechanism : mechanisms) {
            bool ok = false;
            const double handOff = runMs(mechanism->program, mechanism->handOffArguments, &ok);
            if (!ok) {
                out() << mechanism->name << ": a hand-off failed" << Qt::endl;
                return 1;
            }
            const double baseline = runMs(mechanism->program, mechanism->baselineArguments, &ok);
            if (round > 0) {
                mechanism->handOffMs.push_back(handOff);
                mechanism->baselineMs.push_back(baseline);
            }
        }
    }

    // Idle: the hand-offs are over and their connections closed.
    QThread::msleep(500);
    out() << "rounds: " << rounds << "\n\n"
          << "| Hand-off | median ms | p90 ms | start-and-exit median ms | above it ms | "
             "instance RSS KiB | instance threads |\n"
          << "|---|---|---|---|---|---|---|\n";
    for (const auto &mechanism : mechanisms) {
        const double median = percentile(mechanism->handOffMs, 0.5);
        const double baseline = percentile(mechanism->baselineMs, 0.5);
        const auto usage = usageOf(mechanism->instance->processId());
        out() << "| " << mechanism->name << " | " << QString::number(median, 'f', 2) << " | "
              << QString::number(percentile(mechanism->handOffMs, 0.9), 'f', 2) << " | "
              << QString::number(baseline, 'f', 2) << " | "
              << QString::number(median - baseline, 'f', 2) << " | " << usage.first << " | "
              << usage.second << " |\n";
    }

    // Each round ran every program once, one after the other: the ratio within
    // a round leaves out what drifts between rounds.
    const auto find = [&mechanisms](const QString &name) -> const Mechanism * {
        for (const auto &mechanism : mechanisms) {
            if (mechanism->name == name)
                return mechanism.get();
        }
        return nullptr;
    };
    const auto pairedRatio = [](const Mechanism &mechanism, const Mechanism *reference) {
        if (!reference)
            return QStringLiteral("-");
        std::vector<double> ratios;
        for (size_t round = 0; round < mechanism.handOffMs.size(); ++round)
            ratios.push_back(mechanism.handOffMs.at(round) / reference->handOffMs.at(round));
        return QString::number(percentile(ratios, 0.5), 'f', 3);
    };
    const Mechanism *local = find(QStringLiteral("QLocalSocket"));
    const Mechanism *kdbus = find(QStringLiteral("KDBusService Unique"));
    out() << "\n| Hand-off | vs QLocalSocket, median of the rounds | vs KDBusService, median of "
             "the rounds |\n|---|---|---|\n";
    for (const auto &mechanism : mechanisms) {
        out() << "| " << mechanism->name << " | " << pairedRatio(*mechanism, local) << " | "
              << pairedRatio(*mechanism, kdbus) << " |\n";
    }
    out().flush();
    for (const auto &mechanism : mechanisms) {
        mechanism->instance->kill();
        mechanism->instance->waitForFinished(5000);
    }
    return 0;
}
