// SPDX-License-Identifier: MIT
// A program built against the installed library: serves with TavrelServer,
// finds itself with Tavrel and makes one real XML-RPC call over the loopback,
// then hands a command over as a second launch would, with TavrelInstance.

#include <QCoreApplication>
#include <QTimer>

#include <quorxmlrpcclient.h>
#include <quorxmlrpcclientlimits.h>
#include <quorxmlrpcserver.h>
#include <tavrel.h>
#include <tavrelinstance.h>
#include <tavrelserver.h>

class Caller : public QObject
{
    Q_OBJECT

public:
    int result = 1;

public Q_SLOTS:
    void answered(QVariant &value)
    {
        result = value.toList() == QVariantList {QStringLiteral("installed")} ? 0 : 1;
        QCoreApplication::quit();
    }
    void failed(int code, const QString &message)
    {
        qWarning("fault %d: %s", code, qPrintable(message));
        QCoreApplication::quit();
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TavrelServer server;
    server.registerCommand(
        QStringLiteral("echo"), [](const QString &argument) { return QStringList {argument}; });
    if (!server.listen(0))
        return 1;

    Tavrel tavrel(&app, server.port());
    if (!tavrel.checkTcp())
        return 1;

    Caller caller;
    QuorXmlRpcClient client(QUrl(QStringLiteral("http://localhost:%1/RPC2").arg(server.port())));
    QuorXmlRpcClientLimits::setTimeout(&client, 10000);
    client.call(QStringLiteral("echo"), {QStringLiteral("installed")}, &caller,
        SLOT(answered(QVariant &)), &caller, SLOT(failed(int, const QString &)));
    QTimer::singleShot(10000, &app, &QCoreApplication::quit);
    app.exec();
    if (caller.result != 0)
        return caller.result;

    TavrelInstance secondLaunch(server.port());
    // The server above holds the port machine-wide.
    secondLaunch.setScope(TavrelInstance::MachineScope);
    QStringList answer;
    if (secondLaunch.decide() || secondLaunch.holder() != TavrelInstance::SameUser
        || !secondLaunch.sendCommandAndWait(
            QStringLiteral("echo"), QStringLiteral("handed"), &answer))
        return 1;
    return answer == QStringList {QStringLiteral("handed")} ? 0 : 1;
}

#include "main.moc"
