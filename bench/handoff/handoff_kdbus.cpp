// SPDX-License-Identifier: MIT
// The hand-off through KDE's KDBusService in Unique mode (needs a session bus):
//   handoff_kdbus              the first serves and prints "ready"; a later one
//                              hands its arguments over and exits inside KDBusService
//   handoff_kdbus --baseline   starts and exits
#include <KDBusService>

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationDomain(QStringLiteral("tavrel.example"));
    QCoreApplication::setApplicationName(QStringLiteral("handoffbench"));
    if (QCoreApplication::arguments().value(1) == QLatin1String("--baseline"))
        return 0;
    KDBusService service(KDBusService::Unique);
    QObject::connect(&service, &KDBusService::activateRequested,
        [](const QStringList &arguments, const QString &) { Q_UNUSED(arguments); });
    QTextStream(stdout) << "ready" << Qt::endl;
    return app.exec();
}
