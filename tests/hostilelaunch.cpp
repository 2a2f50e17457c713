// SPDX-License-Identifier: MIT
// A launch that finds something on its port, for tests that watch what the
// launch holds while that something misbehaves:
//   hostilelaunch tavrel PORT      Tavrel: checkTcp(), then sendCommand("echo", "hi")
//   hostilelaunch instance PORT    TavrelInstance: decide(), then the same command
// Once every exchange has ended it prints "start-kib N" (resident at start)
// and "peak-kib N" (the peak, VmHWM); Tavrel's lines go to standard error,
// the instance's outcome to standard output.
//   hostilelaunch forward PORT DEADLINE_MS [ARG...]
// hands the launch to the instance, with TAVREL_NAMED of its environment and
// the data {"from": "hostilelaunch"}, and exits with what forward() returns.
#include "quorobject.h"
#include "tavrel.h"
#include "tavrelinstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

namespace {

qint64 statusKiB(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 startKiB = statusKiB("VmRSS:");
    const QStringList arguments = QCoreApplication::arguments();
    const quint16 port = quint16(arguments.value(2).toUInt());
    QTextStream out(stdout);

    if (arguments.value(1) == QLatin1String("forward")) {
        TavrelInstance instance(port);
        instance.setForwardDeadline(arguments.value(3).toInt());
        instance.setForwardedEnvironment({QStringLiteral("TAVREL_NAMED")});
        instance.setLaunchData({{QStringLiteral("from"), QStringLiteral("hostilelaunch")}});
        return instance.forward(arguments.mid(4));
    }
    if (arguments.value(1) == QLatin1String("tavrel")) {
        Tavrel tavrel(&app, port);
        if (tavrel.checkTcp())
            tavrel.sendCommand(QStringLiteral("echo"), QStringLiteral("hi"));
        // Each request ends within Tavrel's own bounds; its call object goes then.
        while (!tavrel.findChildren<QuorObject *>().isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    } else {
        TavrelInstance instance(port);
        // What listens on the port is what is looked at.
        instance.setScope(TavrelInstance::MachineScope);
        if (instance.decide()) {
            out << "serving" << Qt::endl;
        } else if (instance.holder() == TavrelInstance::SameUser) {
            QStringList answer;
            if (instance.sendCommandAndWait(QStringLiteral("echo"), QStringLiteral("hi"), &answer))
                out << "answer " << answer.join(QLatin1Char(' ')) << Qt::endl;
            else
                out << "command failed: " << instance.errorString() << Qt::endl;
        } else {
            out << "holder " << instance.holder() << ": " << instance.errorString() << Qt::endl;
        }
    }
    out << "start-kib " << startKiB << "\npeak-kib " << statusKiB("VmHWM:") << Qt::endl;
    return 0;
}
