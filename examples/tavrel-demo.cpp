// The instance demo: the first copy started on a port becomes the instance and
// serves; every later copy finds it, prints the instance report, sends its
// command (if any), prints the answer and exits.
//
//   tavrel-demo --port 47111 --name editor            # serves
//   tavrel-demo --port 47111 echo "hello there"       # reports, sends echo
//   tavrel-demo --port 47111 quit                     # stops the first copy

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QObject>
#include <QTextStream>

#include "quorobject.h"
#include "tavrel.h"
#include "tavrelserver.h"

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Runs the event loop until every request that owner has sent is answered:
// each request's per-call object deletes itself once its answer is delivered.
void waitForAnswers(QCoreApplication &app, QObject *owner)
{
    const QList<QuorObject *> pending = owner->findChildren<QuorObject *>();
    auto remaining = std::make_shared<int>(pending.size());
    for (QuorObject *call : pending) {
        QObject::connect(call, &QObject::destroyed, &app, [remaining, &app] {
            if (--*remaining == 0)
                app.quit();
        });
    }
    if (*remaining > 0)
        app.exec();
}

int serve(QCoreApplication &app, TavrelServer &server)
{
    server.registerCommand(
        QStringLiteral("echo"), [](const QString &argument) { return QStringList {argument}; });
    server.registerCommand(QStringLiteral("quit"), [&app](const QString &) {
        // The answer is written before the event loop runs again.
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        return QStringList {QStringLiteral("bye")};
    });
    QObject::connect(
        &server, &TavrelServer::commandReceived, [](const QString &name, const QString &argument) {
            out() << "received command: " << name
                  << (argument.isEmpty() ? QString() : QLatin1Char(' ') + argument) << Qt::endl;
        });
    out() << "serving as \"" << server.applicationName() << "\" on port " << server.port()
          << Qt::endl;
    const int status = app.exec();
    out() << "instance stopped" << Qt::endl;
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-demo"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Becomes the instance on a port, or finds the instance that serves there "
                       "and sends it a command."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("The TCP port (default 47111)."), QStringLiteral("port"),
        QStringLiteral("47111"));
    const QCommandLineOption nameOption(QStringLiteral("name"),
        QStringLiteral("The name this instance reports."), QStringLiteral("name"),
        QStringLiteral("tavrel-demo"));
    parser.addOption(portOption);
    parser.addOption(nameOption);
    parser.addPositionalArgument(QStringLiteral("command"),
        QStringLiteral("Command for a running instance: echo, quit."),
        QStringLiteral("[command [argument]]"));
    parser.process(app);

    bool portIsNumber = false;
    const int port = parser.value(portOption).toInt(&portIsNumber);
    if (!portIsNumber || port < 1 || port > 65535) {
        QTextStream(stderr) << "invalid port: " << parser.value(portOption) << Qt::endl;
        return 2;
    }
    const QStringList command = parser.positionalArguments();

    Tavrel tavrel(&app, port);
    TavrelServer server;
    server.setApplicationName(parser.value(nameOption));
    // A copy that loses the race for the port finds the winner on the next probe.
    constexpr int attempts = 5;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (tavrel.checkTcp()) {
            out() << "another instance serves on port " << port << Qt::endl;
            if (!command.isEmpty())
                tavrel.sendCommand(command.at(0), command.value(1));
            waitForAnswers(app, &tavrel);
            if (!command.isEmpty())
                out() << "answer: " << tavrel.lastCommandAnswer().join(QLatin1Char(' '))
                      << Qt::endl;
            return 0;
        }
        if (server.listen(quint16(port)))
            return serve(app, server);
    }
    QTextStream(stderr) << "cannot serve on port " << port << ": " << server.errorString()
                        << Qt::endl;
    return 1;
}
