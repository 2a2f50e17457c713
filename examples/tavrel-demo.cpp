// SPDX-License-Identifier: MIT
// The instance demo: the first copy started on a port becomes the instance and
// serves; every later copy finds it, prints the instance report, sends its
// command (if any), prints the answer and exits. An instance of another user,
// or a program that is no instance, gets no command: the copy says so.
// With --status, a later copy hands its whole launch over instead, and prints
// and exits with what the instance answers, as if it had answered itself.
//
//   tavrel-demo --port 47111 --name editor            # serves
//   tavrel-demo --port 47111 echo "hello there"       # reports, sends echo
//   tavrel-demo --port 47111 --status                 # prints the instance's status
//   tavrel-demo --port 47111 quit                     # stops the first copy

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include "tavrel.h"
#include "tavrelinstance.h"

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int serve(QCoreApplication &app, TavrelInstance &instance)
{
    out() << "serving as \"" << instance.server()->applicationName() << "\" on port "
          << instance.server()->port() << Qt::endl;
    const int status = app.exec();
    out() << "instance stopped" << Qt::endl;
    return status;
}

// Prints the instance report the way Tavrel prints it.
void printReport(QCoreApplication &app, const TavrelInstance &instance)
{
    Tavrel reporter(&app, instance.port());
    QVariant appInfo = QStringLiteral("%1 %2 %3")
                           .arg(instance.holderPid())
                           .arg(instance.holderName(), instance.holderOwner());
    reporter.testSingle(appInfo);
}

int handOff(QCoreApplication &app, TavrelInstance &instance, const QStringList &command)
{
    const quint16 port = instance.holderPort();
    switch (instance.holder()) {
    case TavrelInstance::SameUser:
        break;
    case TavrelInstance::OtherUser:
        printReport(app, instance);
        out() << "port " << port << " is held by an instance of another user, "
              << instance.holderOwner() << ": no command sent" << Qt::endl;
        return 1;
    case TavrelInstance::UnknownUser:
        printReport(app, instance);
        out() << "port " << port << " is held by an instance whose user cannot be told here"
              << ": no command sent" << Qt::endl;
        return 1;
    case TavrelInstance::SilentInstance:
        out() << "port " << port << " is held by a program of this user that gives no answer"
              << " (a hung instance?): no command sent; end it and start again" << Qt::endl;
        return 1;
    case TavrelInstance::NotAnInstance:
        out() << "port " << port << " is held by something that is not an instance"
              << (instance.holderUid() >= 0 ? ", of user " + instance.holderOwner() : QString())
              << ": no command sent" << Qt::endl;
        return 1;
    default:
        QTextStream(stderr) << instance.errorString() << Qt::endl;
        return 1;
    }

    out() << "another instance serves on port " << port << Qt::endl;
    printReport(app, instance);
    if (command.isEmpty())
        return 0;
    QStringList answer;
    if (!instance.sendCommandAndWait(command.at(0), command.value(1), &answer)) {
        Tavrel(&app, port).faultResponse(instance.errorCode(), instance.errorString());
        return 1;
    }
    out() << "answer: " << answer.join(QLatin1Char(' ')) << Qt::endl;
    return 0;
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
    const QCommandLineOption statusOption(QStringLiteral("status"),
        QStringLiteral("Prints the running instance's status, and exits with its status."));
    parser.addOption(portOption);
    parser.addOption(nameOption);
    parser.addOption(statusOption);
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

    // One instance per user: another user's instance, or any program that
    // took the port first, keeps no launch from serving.
    TavrelInstance instance(quint16(port), &app);
    instance.setScope(TavrelInstance::UserScope);
    instance.server()->setApplicationName(parser.value(nameOption));
    instance.registerCommand(
        QStringLiteral("echo"), [](const QString &argument) { return QStringList {argument}; });
    instance.registerCommand(QStringLiteral("quit"), [&app](const QString &) {
        // The answer is written before the event loop runs again.
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        return QStringList {QStringLiteral("bye")};
    });
    int commands = 0;
    int launches = 0;
    QObject::connect(&instance, &TavrelInstance::commandReceived,
        [&commands](const QString &name, const QString &argument) {
            ++commands;
            out() << "received command: " << name
                  << (argument.isEmpty() ? QString() : QLatin1Char(' ') + argument) << Qt::endl;
        });
    // A launch with --status is answered as this program would answer itself.
    QObject::connect(&instance, &TavrelInstance::launchReceived, [&](const TavrelLaunch &launch) {
        ++launches;
        out() << "received launch: " << launch.arguments().mid(1).join(QLatin1Char(' ')) << " in "
              << launch.workingDirectory() << Qt::endl;
        launch.finish(0,
            QStringLiteral("instance %1 serves on port %2: %3 commands and %4 launches so far\n")
                .arg(QCoreApplication::applicationPid())
                .arg(instance.port())
                .arg(commands)
                .arg(launches));
    });

    if (parser.isSet(statusOption)) {
        const int status = instance.forward();
        if (!instance.isServing())
            return status;
        return serve(app, instance);
    }
    if (instance.decide())
        return serve(app, instance);
    return handOff(app, instance, parser.positionalArguments());
}
