// SPDX-License-Identifier: MIT
// The hand-off through a local socket, the way QLocalServer-based
// single-instance libraries do it:
//   handoff_local NAME            serves, prints "ready"
//   handoff_local NAME ARGUMENT   hands ARGUMENT over, waits for the answer line, exits
//   handoff_local --baseline      starts and exits
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) == QLatin1String("--baseline"))
        return 0;
    const QString name = arguments.value(1);
    if (arguments.size() > 2) {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (!socket.waitForConnected(3000))
            return 1;
        socket.write(arguments.value(2).toUtf8() + '\n');
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(3000))
                return 1;
        }
        return socket.readLine().trimmed() == arguments.value(2).toUtf8() ? 0 : 1;
    }
    QLocalServer server;
    QLocalServer::removeServer(name);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(name))
        return 1;
    QObject::connect(&server, &QLocalServer::newConnection, [&server] {
        QLocalSocket *socket = server.nextPendingConnection();
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] {
            if (socket->canReadLine())
                socket->write(socket->readLine());
        });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QLocalSocket::deleteLater);
    });
    QTextStream(stdout) << "ready" << Qt::endl;
    return app.exec();
}
