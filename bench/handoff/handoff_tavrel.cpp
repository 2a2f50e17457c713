// SPDX-License-Identifier: MIT
// The hand-off through Tavrel, as an application does it:
//   handoff_tavrel PORT            serves, prints "ready"
//   handoff_tavrel PORT ARGUMENT   hands ARGUMENT to the instance, exits with its answer
//   handoff_tavrel --baseline      starts and exits
#include <QCoreApplication>
#include <QTextStream>

#include "tavrelinstance.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) == QLatin1String("--baseline"))
        return 0;
    TavrelInstance instance(quint16(arguments.value(1).toUInt()));
    instance.registerCommand(
        QStringLiteral("open"), [](const QString &argument) { return QStringList {argument}; });
    if (instance.decide()) {
        QTextStream(stdout) << "ready" << Qt::endl;
        return app.exec();
    }
    QStringList answer;
    return instance.sendCommandAndWait(QStringLiteral("open"), arguments.value(2), &answer)
            && answer.value(0) == arguments.value(2)
        ? 0
        : 1;
}
