// SPDX-License-Identifier: MIT
#include "otheruser.h"
#include "rawhttpclient.h"
#include "tavrel.h"
#include "tavrelinstance.h"
#include "tavrelserver.h"
#include "testhttpserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

namespace {

constexpr int PeerTimeoutMs = 10000;

// An XML-RPC server on 127.0.0.1 that prints every call it gets. As an
// "instance" it answers getAppInfo with a PID and the owner "root", whoever
// runs it; as "plain" it answers every call with a fault.
const QString SquatterScript = QStringLiteral(R"(
import os, sys, xmlrpc.client, xmlrpc.server
class Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
    rpc_paths = ('/', '/RPC2')
server = xmlrpc.server.SimpleXMLRPCServer(('127.0.0.1', 0), Handler, logRequests=False)
def dispatch(method, params):
    print('called', method, *params, flush=True)
    if method == 'getAppInfo' and sys.argv[1] == 'instance':
        return '%d squatter root' % os.getpid()
    raise xmlrpc.client.Fault(-32601, 'no such method')
server._dispatch = dispatch
print(server.server_address[1], flush=True)
server.serve_forever()
)");

// Calls METHOD [ARGUMENT...] on 127.0.0.1:PORT and prints "answer VALUE" or "fault CODE".
const QString ClientScript = QStringLiteral(R"(
import sys, xmlrpc.client
proxy = xmlrpc.client.ServerProxy('http://127.0.0.1:%s/RPC2' % sys.argv[1])
try:
    if sys.argv[2] == 'system.multicall':
        print('answer', proxy.system.multicall([{'methodName': 'echo', 'params': ['x']}]))
    else:
        print('answer', getattr(proxy, sys.argv[2])(*sys.argv[3:]))
except xmlrpc.client.Fault as fault:
    print('fault', fault.faultCode)
)");

// Who holds the port while a TavrelInstance decides.
enum HolderKind {
    Nothing,
    InstanceOfThisUser,
    SilentTcpServer,
    Http404Server,
    XmlRpcServerOfThisUser,
    InstanceOfOtherUser,
    PlainServerOfOtherUser,
};

// A peer process with its output collected as it comes.
struct Peer
{
    QProcess process;
    QByteArray output;

    Peer()
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
            [this] { output += process.readAllStandardOutput(); });
    }
    ~Peer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // The first line: the port it listens on.
    quint16 waitForPort()
    {
        if (!QTest::qWaitFor(
                [this] { return output.contains('\n') || process.state() == QProcess::NotRunning; },
                PeerTimeoutMs))
            return 0;
        return quint16(output.left(output.indexOf('\n')).trimmed().toUInt());
    }
};

} // namespace

class tst_TavrelInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decides_data();
    void decides();
    void commandsOfThisUser_data();
    void commandsOfThisUser();
    void clientsOfAnotherUser_data();
    void clientsOfAnotherUser();
    void squatterGetsNoCommand();
    void launches_data();
    void launches();
};

void tst_TavrelInstance::decides_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("holder");

    QTest::addRow("nothing: this process serves")
        << int(Nothing) << int(TavrelInstance::ThisProcess);
    QTest::addRow("an instance of this user")
        << int(InstanceOfThisUser) << int(TavrelInstance::SameUser);
    QTest::addRow("a TCP server of this user that answers nothing")
        << int(SilentTcpServer) << int(TavrelInstance::SilentInstance);
    QTest::addRow("an HTTP server answering 404")
        << int(Http404Server) << int(TavrelInstance::NotAnInstance);
    QTest::addRow("an XML-RPC server without getAppInfo")
        << int(XmlRpcServerOfThisUser) << int(TavrelInstance::NotAnInstance);
    QTest::addRow("an instance of another user")
        << int(InstanceOfOtherUser) << int(TavrelInstance::OtherUser);
    QTest::addRow("a plain server of another user")
        << int(PlainServerOfOtherUser) << int(TavrelInstance::NotAnInstance);
}

// What holds the port is told as data, within the timeout, and only an
// instance of this user is sent commands.
void tst_TavrelInstance::decides()
{
    QFETCH(int, kind);
    QFETCH(int, holder);

    TavrelServer instanceOfThisUser;
    instanceOfThisUser.setApplicationName(QStringLiteral("first editor"));
    QTcpServer silent;
    TestHttpServer http;
    Peer peer;
    quint16 port = 0;
    qint64 otherUid = -1;
    switch (kind) {
    case Nothing: {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
        break;
    }
    case InstanceOfThisUser:
        QVERIFY(instanceOfThisUser.listen(0));
        port = instanceOfThisUser.port();
        break;
    case SilentTcpServer:
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        port = silent.serverPort();
        break;
    case Http404Server:
    case XmlRpcServerOfThisUser:
        QVERIFY(http.start());
        port = quint16(http.url().port());
        http.setHandler([kind](const TestHttpServer::Request &) {
            return kind == Http404Server
                ? TestHttpServer::answer("not here", 404)
                : TestHttpServer::answer(TestHttpServer::faultFor(-32601, QStringLiteral("no")));
        });
        break;
    case InstanceOfOtherUser:
    case PlainServerOfOtherUser: {
        QString why;
        otherUid = OtherUser::uid(&why);
        if (otherUid < 0)
            QSKIP(qPrintable(why));
        OtherUser::startPython(peer.process, SquatterScript,
            {kind == InstanceOfOtherUser ? QStringLiteral("instance") : QStringLiteral("plain")});
        port = peer.waitForPort();
        QVERIFY2(port != 0, peer.process.readAllStandardError().constData());
        break;
    }
    }

    TavrelInstance instance(port);
    instance.setTimeout(500);
    QSignalSpy decided(&instance, &TavrelInstance::decided);
    QElapsedTimer deciding;
    deciding.start();
    QCOMPARE(instance.decide(), holder == TavrelInstance::ThisProcess);
    // A holder that never answers is given up on after the timeout, not waited for.
    QVERIFY(deciding.elapsed() < PeerTimeoutMs);
    QCOMPARE(int(instance.holder()), holder);
    QVERIFY(decided.wait(PeerTimeoutMs) || decided.count() == 1);
    QCOMPARE(decided.count(), 1);
    QCOMPARE(decided.first().first().value<TavrelInstance::Holder>(), instance.holder());

    switch (kind) {
    case Nothing:
        QVERIFY(instance.isServing());
        QCOMPARE(instance.holderPid(), QCoreApplication::applicationPid());
        QCOMPARE(instance.server()->port(), port);
        break;
    case InstanceOfThisUser:
        QCOMPARE(instance.holderPid(), QCoreApplication::applicationPid());
        QCOMPARE(instance.holderName(), QStringLiteral("first_editor"));
        QCOMPARE(instance.holderOwner(), instanceOfThisUser.appInfo().section(QLatin1Char(' '), 2));
        QCOMPARE(instance.holderUid(), qint64(::geteuid()));
        break;
    case InstanceOfOtherUser:
        QCOMPARE(instance.holderPid(), peer.process.processId());
        QCOMPARE(instance.holderName(), QStringLiteral("squatter"));
        // The kernel's word, not the instance's claim to be root.
        QCOMPARE(instance.holderOwner(), OtherUser::name());
        QCOMPARE(instance.holderUid(), otherUid);
        break;
    default:
        QCOMPARE(instance.holderPid(), 0);
        QVERIFY(instance.holderUid() == (otherUid >= 0 ? otherUid : qint64(::geteuid())));
        break;
    }

    if (holder == TavrelInstance::SameUser)
        return;
    QStringList answer {QStringLiteral("untouched")};
    QVERIFY(
        !instance.sendCommandAndWait(QStringLiteral("open"), QStringLiteral("/secret"), &answer));
    QCOMPARE(answer, QStringList {QStringLiteral("untouched")});
    QCOMPARE(instance.errorCode(),
        int(holder == TavrelInstance::OtherUser ? TavrelInstance::ListenerOfAnotherUser
                                                : TavrelInstance::NoInstance));
    QVERIFY(!instance.errorString().contains(QLatin1String("secret")));
    QVERIFY(!peer.output.contains("open"));
    for (const TestHttpServer::Request &request : http.requests())
        QVERIFY(!request.body.contains("open"));
}

void tst_TavrelInstance::commandsOfThisUser_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QStringList>("answer");
    QTest::addColumn<int>("faultCode");

    QTest::addRow("answered") << QStringLiteral("echo") << QStringLiteral("a b")
                              << QStringList {QStringLiteral("a b")} << 0;
    QTest::addRow("without argument")
        << QStringLiteral("echo") << QString() << QStringList {QString()} << 0;
    QTest::addRow("unknown command")
        << QStringLiteral("no-such") << QString() << QStringList() << -32601;
}

// A second TavrelInstance finds the first, serving in this process, and
// commands it; the serving side tells of every command it runs.
void tst_TavrelInstance::commandsOfThisUser()
{
    QFETCH(QString, command);
    QFETCH(QString, argument);
    QFETCH(QStringList, answer);
    QFETCH(int, faultCode);

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    TavrelInstance serving(port);
    serving.registerCommand(
        QStringLiteral("echo"), [](const QString &text) { return QStringList {text}; });
    QSignalSpy received(&serving, &TavrelInstance::commandReceived);
    QVERIFY(serving.decide());

    TavrelInstance second(port);
    QVERIFY(!second.decide());
    QCOMPARE(second.holder(), TavrelInstance::SameUser);
    QSignalSpy answered(&second, &TavrelInstance::commandAnswered);
    QSignalSpy failed(&second, &TavrelInstance::commandFailed);
    const int id = second.sendCommand(command, argument);
    QTRY_COMPARE_WITH_TIMEOUT(answered.count() + failed.count(), 1, PeerTimeoutMs);
    if (faultCode == 0) {
        QCOMPARE(answered.count(), 1);
        QCOMPARE(answered.first().at(0).toInt(), id);
        QCOMPARE(answered.first().at(1).toStringList(), answer);
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.first().at(1).toString(), argument.isNull() ? QString() : argument);
    } else {
        QCOMPARE(failed.first().at(0).toInt(), id);
        QCOMPARE(failed.first().at(1).toInt(), faultCode);
        QCOMPARE(received.count(), 0);
    }
    QStringList waited;
    QCOMPARE(second.sendCommandAndWait(command, argument, &waited), faultCode == 0);
    QCOMPARE(waited, answer);
}

void tst_TavrelInstance::clientsOfAnotherUser_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("allUsersAllowed");
    QTest::addColumn<QByteArray>("expected"); // the start of the client's line
    QTest::addColumn<int>("handlerRuns");

    QTest::addRow("a command is refused")
        << QStringLiteral("echo") << false << QByteArray("fault -32000") << 0;
    QTest::addRow("a command inside system.multicall is refused")
        << QStringLiteral("system.multicall") << false << QByteArray("fault -32000") << 0;
    QTest::addRow("system.listMethods is refused")
        << QStringLiteral("system.listMethods") << false << QByteArray("fault -32000") << 0;
    QTest::addRow("getAppInfo is answered")
        << QStringLiteral("getAppInfo") << false << QByteArray("answer ") << 0;
    QTest::addRow("checkConnection is answered")
        << QStringLiteral("checkConnection") << false << QByteArray("answer ready") << 0;
    QTest::addRow("a command runs when every user is allowed")
        << QStringLiteral("echo") << true << QByteArray("answer ['hi']") << 1;
}

// The serving side runs commands only for clients of its own user, as the
// kernel tells it from the client's socket.
void tst_TavrelInstance::clientsOfAnotherUser()
{
    QFETCH(QString, method);
    QFETCH(bool, allUsersAllowed);
    QFETCH(QByteArray, expected);
    QFETCH(int, handlerRuns);
    QString why;
    if (OtherUser::uid(&why) < 0)
        QSKIP(qPrintable(why));

    TavrelServer server;
    int runs = 0;
    server.registerCommand(QStringLiteral("echo"), [&runs](const QString &text) {
        ++runs;
        return QStringList {text};
    });
    QSignalSpy received(&server, &TavrelServer::commandReceived);
    server.setAllUsersAllowed(allUsersAllowed);
    QVERIFY(server.listen(0));

    Peer client;
    OtherUser::startPython(client.process, ClientScript,
        {QString::number(server.port()), method, QStringLiteral("hi")});
    QTRY_VERIFY_WITH_TIMEOUT(client.process.state() == QProcess::NotRunning, PeerTimeoutMs);
    QVERIFY2(client.output.startsWith(expected),
        (client.output + client.process.readAllStandardError()).constData());
    QCOMPARE(runs, handlerRuns);
    QCOMPARE(received.count(), handlerRuns);

    // The same command from this process's user runs.
    const XmlRpcOutcome own
        = RawHttp::call(server.port(), QStringLiteral("echo"), {QStringLiteral("x")});
    QVERIFY2(own.isResponse && !own.isFault, qPrintable(own.faultString));
    QCOMPARE(runs, handlerRuns + 1);
}

// Another user's program that took the port, and claims to be an instance,
// never receives a command: neither through TavrelInstance nor through Tavrel.
void tst_TavrelInstance::squatterGetsNoCommand()
{
    QString why;
    if (OtherUser::uid(&why) < 0)
        QSKIP(qPrintable(why));
    Peer squatter;
    OtherUser::startPython(squatter.process, SquatterScript, {QStringLiteral("instance")});
    const quint16 port = squatter.waitForPort();
    QVERIFY(port != 0);

    QString faultLine;
    static QString *capture = nullptr;
    capture = &faultLine;
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
              if (message.startsWith(QLatin1String("An Error occured")))
                  *capture = message;
          });
    const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
    Tavrel tavrel(nullptr, port);
    tavrel.sendCommand(QStringLiteral("open"), QStringLiteral("/root/secret-notes"));
    QTRY_VERIFY_WITH_TIMEOUT(!faultLine.isEmpty(), PeerTimeoutMs);
    QCOMPARE(faultLine,
        QStringLiteral("An Error occured, Code:  -32001  Message:  \"command not sent: port %1 is "
                       "held by user %2\" ")
            .arg(port)
            .arg(OtherUser::name()));

    // A call that reaches the squatter shows that it would have printed one.
    TavrelInstance instance(port);
    QVERIFY(!instance.decide());
    QCOMPARE(instance.holder(), TavrelInstance::OtherUser);
    QVERIFY(
        !instance.sendCommandAndWait(QStringLiteral("open"), QStringLiteral("/root/secret-notes")));
    QCOMPARE(instance.errorCode(), int(TavrelInstance::ListenerOfAnotherUser));
    QTRY_VERIFY_WITH_TIMEOUT(squatter.output.contains("called getAppInfo"), PeerTimeoutMs);
    QVERIFY2(!squatter.output.contains("open"), squatter.output.constData());
    QVERIFY(!squatter.output.contains("secret"));
}

// What serves the port a launch goes to, and how it answers the launch.
enum LaunchPeer {
    AnsweringInstance, // finishes at once
    DeferringInstance, // finishes from the event loop, later
    UnfinishingInstance, // keeps no copy: the launch ends with status 0
    EarlierInstance, // a TavrelServer, which knows no launches
    SilentListener, // takes the connection, answers nothing
};

void tst_TavrelInstance::launches_data()
{
    QTest::addColumn<int>("peer");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err"); // what standard error starts with

    const QStringList odd {QStringLiteral("two words"), QString(), QStringLiteral("line\nbreak"),
        QStringLiteral("\"quoted\" 'too'"), QStringLiteral("emoji \U0001F600 and \U00020000"),
        QStringLiteral("--port"), QStringLiteral("tab\there")};
    QStringList many;
    for (int i = 0; i < 5000; ++i)
        many.append(QString::number(i));
    QTest::addRow("arguments arrive intact")
        << int(AnsweringInstance) << odd << 0 << QByteArray() << QByteArray();
    QTest::addRow("5000 arguments")
        << int(AnsweringInstance) << many << 0 << QByteArray() << QByteArray();
    QTest::addRow("exit status and both streams")
        << int(AnsweringInstance) << QStringList {QStringLiteral("--status")} << 3
        << QByteArray("out: --status\n") << QByteArray("err: \U0001F600\n");
    QTest::addRow("an answer given later")
        << int(DeferringInstance) << QStringList {QStringLiteral("later")} << 7
        << QByteArray("out: later\n") << QByteArray("err: \U0001F600\n");
    QTest::addRow("a launch nobody finishes ends with 0")
        << int(UnfinishingInstance) << QStringList {QStringLiteral("x")} << 0 << QByteArray()
        << QByteArray();
    QTest::addRow("an instance of the version before launches")
        << int(EarlierInstance) << QStringList {QStringLiteral("x")}
        << int(TavrelInstance::ForwardFailed) << QByteArray()
        << QByteArray("tavrel_hostilelaunch: the instance on port");
    QTest::addRow("a listener of this user that never answers, within the deadline")
        << int(SilentListener) << QStringList {QStringLiteral("x")}
        << int(TavrelInstance::ForwardFailed) << QByteArray()
        << QByteArray("tavrel_hostilelaunch: the launch was not finished on port");
}

// A launch in another process hands the instance its arguments, working
// directory, named environment, token and data, and ends as the instance
// finishes it, printing what the instance gave it to print.
void tst_TavrelInstance::launches()
{
    QFETCH(int, peer);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    QTcpServer silent;
    TavrelServer earlier;
    TavrelInstance serving(port);
    QList<TavrelLaunch> received;
    switch (peer) {
    case SilentListener:
        probe.close();
        QVERIFY(silent.listen(QHostAddress::LocalHost, port));
        break;
    case EarlierInstance:
        probe.close();
        QVERIFY(earlier.listen(port));
        break;
    default:
        probe.close();
        connect(&serving, &TavrelInstance::launchReceived, this,
            [&received, peer](const TavrelLaunch &launch) {
                if (peer != UnfinishingInstance)
                    received.append(launch);
                const auto finish = [launch] {
                    launch.finish(launch.arguments().value(0) == QLatin1String("--status") ? 3 : 7,
                        QStringLiteral("out: ") + launch.arguments().value(0) + QLatin1Char('\n'),
                        QStringLiteral("err: \U0001F600\n"));
                };
                if (peer == DeferringInstance)
                    QTimer::singleShot(50, finish);
                else if (peer == AnsweringInstance && launch.arguments().size() == 1)
                    finish();
                else if (peer == AnsweringInstance)
                    launch.finish(0);
            });
        QVERIFY(serving.decide());
    }

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QProcess launch;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TAVREL_NAMED"), QStringLiteral("named value"));
    environment.insert(QStringLiteral("TAVREL_UNNAMED"), QStringLiteral("secret"));
    environment.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), QStringLiteral("token-1"));
    launch.setProcessEnvironment(environment);
    launch.setWorkingDirectory(directory.path());
    launch.start(QStringLiteral(TAVREL_HOSTILE_LAUNCH),
        QStringList {QStringLiteral("forward"), QString::number(port), QStringLiteral("1500")}
            + arguments);
    QVERIFY(launch.waitForStarted(PeerTimeoutMs));
    const qint64 launcherPid = launch.processId();
    const auto stop = qScopeGuard([&launch] {
        launch.kill();
        launch.waitForFinished();
    });
    QTRY_VERIFY_WITH_TIMEOUT(launch.state() == QProcess::NotRunning, PeerTimeoutMs);
    const QByteArray launchErr = launch.readAllStandardError();
    QVERIFY2(launchErr.startsWith(err), launchErr.constData());
    QCOMPARE(launch.readAllStandardOutput(), out);
    QCOMPARE(launch.exitCode(), status);

    if (peer == AnsweringInstance || peer == DeferringInstance) {
        QCOMPARE(received.size(), 1);
        const TavrelLaunch &got = received.first();
        QCOMPARE(got.arguments(), arguments);
        QCOMPARE(got.workingDirectory(), QDir(directory.path()).canonicalPath());
        QCOMPARE(
            got.environment().value(QStringLiteral("TAVREL_NAMED")), QStringLiteral("named value"));
        QVERIFY(!got.environment().contains(QStringLiteral("TAVREL_UNNAMED")));
        QCOMPARE(got.activationToken(), QStringLiteral("token-1"));
        QCOMPARE(
            got.data().value(QStringLiteral("from")).toString(), QStringLiteral("hostilelaunch"));
        QCOMPARE(got.launcherPid(), launcherPid);
        QVERIFY(got.isFinished());
    }
}

QTEST_GUILESS_MAIN(tst_TavrelInstance)

#include "tst_tavrelinstance.moc"
