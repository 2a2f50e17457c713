// SPDX-License-Identifier: MIT
// The hand-off through Tavrel, as an application does it:
//   handoff_tavrel PORT            serves, prints "ready"
//   handoff_tavrel PORT ARGUMENT   hands its launch to the instance, exits with its status
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
    // The instance takes the launch's file and answers at once.
    QObject::connect(&instance, &TavrelInstance::launchReceived, [](const TavrelLaunch &launch) {
        launch.finish(launch.arguments().value(2).isEmpty() ? 1 : 0);
    });
    const int status = instance.forward();
    if (!instance.isServing())
        return status;
    QTextStream(stdout) << "ready" << Qt::endl;
    return app.exec();
}
