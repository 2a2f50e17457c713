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

#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    // Whether it ended within the peers' timeout, all of its output read.
    bool finish()
    {
        if (process.state() != QProcess::NotRunning)
            process.waitForFinished(PeerTimeoutMs);
        output += process.readAllStandardOutput();
        return process.state() == QProcess::NotRunning;
    }
};

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// The demo, in user scope, with its standard output and error collected;
// runtimeDirectory is its XDG_RUNTIME_DIR, and this user's launches run
// behind prefix (unshare...).
// otherDemoDirectory, when not empty, holds the copy of the demo and the
// library that the other user runs.
void startDemo(Peer &peer, const QStringList &arguments, const QString &runtimeDirectory,
    const QString &otherDemoDirectory = QString(), const QStringList &prefix = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory);
    peer.process.setProcessChannelMode(QProcess::MergedChannels);
    if (!otherDemoDirectory.isEmpty()) {
        environment.insert(QStringLiteral("LD_LIBRARY_PATH"), otherDemoDirectory);
        peer.process.setProcessEnvironment(environment);
        OtherUser::start(
            peer.process, otherDemoDirectory + QStringLiteral("/tavrel-demo"), arguments);
        return;
    }
    peer.process.setProcessEnvironment(environment);
    const QStringList command = prefix + QStringList {QStringLiteral(TAVREL_DEMO)} + arguments;
    peer.process.start(command.first(), command.mid(1));
}

QStringList portArgument(quint16 port)
{
    return {QStringLiteral("--port"), QString::number(port)};
}

// A later launch of the demo that sends "echo word"; its output, which holds
// "answer: word" when the command was answered.
QByteArray launchEcho(quint16 port, const QString &word, const QString &runtimeDirectory,
    const QString &otherDemoDirectory = QString())
{
    Peer launch;
    startDemo(launch, portArgument(port) + QStringList {QStringLiteral("echo"), word},
        runtimeDirectory, otherDemoDirectory);
    launch.finish();
    return launch.output;
}

// The rendezvous name of port in user scope, as the library makes it.
QString rendezvousName(quint16 port)
{
    const QString link = QFile::symLinkTarget(QStringLiteral("/proc/self/ns/net"));
    const QString network = link.section(QLatin1Char('['), 1).section(QLatin1Char(']'), 0, 0);
    return QStringLiteral("port-%1").arg(port)
        + (network.isEmpty() ? QString() : QStringLiteral("-net-") + network);
}

// Sets an environment variable for the scope of the returned guard.
auto scopedEnvironment(const char *name, const QByteArray &value)
{
    const bool had = qEnvironmentVariableIsSet(name);
    const QByteArray previous = qgetenv(name);
    qputenv(name, value);
    return qScopeGuard([=] {
        if (had)
            qputenv(name, previous);
        else
            qunsetenv(name);
    });
}

// Where a squatter put a rendezvous for the launches of this process's user.
enum Squat {
    RuntimeDirectoryOfOtherUser,
    TavrelDirectoryOfOtherUser,
    TavrelDirectoryLinkToOtherUser,
    TavrelDirectoryOpenToAll,
    LockFileOfOtherUser,
    LockFileLinkToOtherUser,
    FallbackDirectoryOfOtherUser,
};

} // namespace

class tst_TavrelInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void decides_data();
    void decides();
    void commandsOfThisUser_data();
    void commandsOfThisUser();
    void clientsOfAnotherUser_data();
    void clientsOfAnotherUser();
    void squatterGetsNoCommand();
    void eachUserGetsItsOwn_data();
    void eachUserGetsItsOwn();
    void killedInstanceLeavesNothing_data();
    void killedInstanceLeavesNothing();
    void simultaneousLaunches_data();
    void simultaneousLaunches();
    void squattedRendezvousIsIgnored_data();
    void squattedRendezvousIsIgnored();
    void rendezvousDirectories_data();
    void rendezvousDirectories();
    void sessions_data();
    void sessions();
    void privateLoopbacks();

    void launches_data();
    void launches();

private:
    // The runtime directories of this user and of the other user (when there is one).
    QTemporaryDir m_runtime;
    QTemporaryDir m_otherRuntime;
    // The other user's copy of the demo and the library.
    QTemporaryDir m_otherDemo;
};

void tst_TavrelInstance::initTestCase()
{
    QVERIFY(m_runtime.isValid() && m_otherRuntime.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    QString why;
    const qint64 other = OtherUser::uid(&why);
    if (other < 0)
        return;
    QCOMPARE(
        ::chown(QFile::encodeName(m_otherRuntime.path()).constData(), uid_t(other), gid_t(-1)), 0);
    QVERIFY(m_otherDemo.isValid());
    constexpr auto ReadableByAll = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(m_otherDemo.path(), ReadableByAll));
    const QString copies[2][2] {{QStringLiteral(TAVREL_DEMO), QStringLiteral("tavrel-demo")},
        {QStringLiteral(TAVREL_LIBRARY), QStringLiteral(TAVREL_LIBRARY_SONAME)}};
    for (const auto &copy : copies) {
        QVERIFY(QFile::copy(copy[0], m_otherDemo.filePath(copy[1])));
        QVERIFY(QFile::setPermissions(m_otherDemo.filePath(copy[1]), ReadableByAll));
    }
}

void tst_TavrelInstance::decides_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("holder");
    QTest::addColumn<int>("scope");

    constexpr int Machine = TavrelInstance::MachineScope;
    QTest::addRow("nothing: this process serves")
        << int(Nothing) << int(TavrelInstance::ThisProcess) << Machine;
    QTest::addRow("an instance of this user")
        << int(InstanceOfThisUser) << int(TavrelInstance::SameUser) << Machine;
    QTest::addRow("a TCP server of this user that answers nothing")
        << int(SilentTcpServer) << int(TavrelInstance::SilentInstance) << Machine;
    QTest::addRow("an HTTP server answering 404")
        << int(Http404Server) << int(TavrelInstance::NotAnInstance) << Machine;
    QTest::addRow("an XML-RPC server without getAppInfo")
        << int(XmlRpcServerOfThisUser) << int(TavrelInstance::NotAnInstance) << Machine;
    QTest::addRow("an instance of another user")
        << int(InstanceOfOtherUser) << int(TavrelInstance::OtherUser) << Machine;
    QTest::addRow("a plain server of another user")
        << int(PlainServerOfOtherUser) << int(TavrelInstance::NotAnInstance) << Machine;

    constexpr int User = TavrelInstance::UserScope;
    QTest::addRow("user scope: nothing")
        << int(Nothing) << int(TavrelInstance::ThisProcess) << User;
    QTest::addRow("user scope: a TCP server that answers nothing")
        << int(SilentTcpServer) << int(TavrelInstance::ThisProcess) << User;
    QTest::addRow("user scope: an instance of this user alone on the port, as earlier versions")
        << int(InstanceOfThisUser) << int(TavrelInstance::SameUser) << User;
    QTest::addRow("user scope: an XML-RPC server of this user without getAppInfo")
        << int(XmlRpcServerOfThisUser) << int(TavrelInstance::ThisProcess) << User;
    QTest::addRow("user scope: an instance of another user")
        << int(InstanceOfOtherUser) << int(TavrelInstance::ThisProcess) << User;
    QTest::addRow("user scope: a plain server of another user")
        << int(PlainServerOfOtherUser) << int(TavrelInstance::ThisProcess) << User;
}

// What holds the port is told as data, within the timeout, and only an
// instance of this user is sent commands. In user scope only what this user
// holds the port with is asked: an instance there is the instance, anything
// else is passed by, and this process serves on another port.
void tst_TavrelInstance::decides()
{
    QFETCH(int, kind);
    QFETCH(int, holder);
    QFETCH(int, scope);

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
    instance.setScope(TavrelInstance::Scope(scope));
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

    if (holder == TavrelInstance::ThisProcess) {
        QVERIFY(instance.isServing());
        QCOMPARE(instance.holderPid(), QCoreApplication::applicationPid());
        QCOMPARE(instance.holderPort(), instance.server()->port());
        // What holds the port keeps it.
        QCOMPARE(instance.server()->port() == port, kind == Nothing);
    } else
        switch (kind) {
        case InstanceOfThisUser:
            QCOMPARE(instance.holderPid(), QCoreApplication::applicationPid());
            QCOMPARE(instance.holderName(), QStringLiteral("first_editor"));
            QCOMPARE(
                instance.holderOwner(), instanceOfThisUser.appInfo().section(QLatin1Char(' '), 2));
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
    if (scope != TavrelInstance::MachineScope)
        QVERIFY2(!peer.output.contains("called"), peer.output.constData());
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
    instance.setScope(TavrelInstance::MachineScope);
    QVERIFY(!instance.decide());
    QCOMPARE(instance.holder(), TavrelInstance::OtherUser);
    QVERIFY(
        !instance.sendCommandAndWait(QStringLiteral("open"), QStringLiteral("/root/secret-notes")));
    QCOMPARE(instance.errorCode(), int(TavrelInstance::ListenerOfAnotherUser));
    QTRY_VERIFY_WITH_TIMEOUT(squatter.output.contains("called getAppInfo"), PeerTimeoutMs);
    QVERIFY2(!squatter.output.contains("open"), squatter.output.constData());
    QVERIFY(!squatter.output.contains("secret"));
}

void tst_TavrelInstance::eachUserGetsItsOwn_data()
{
    QTest::addColumn<bool>("foreignFirst");
    QTest::addRow("the port is free") << false;
    QTest::addRow("another user's program took the port first") << true;
}

// Two users launch the demo on one port at once: each gets an instance, and
// each later launch reaches its own user's, whatever took the port first.
void tst_TavrelInstance::eachUserGetsItsOwn()
{
    QFETCH(bool, foreignFirst);
    QString why;
    if (OtherUser::uid(&why) < 0)
        QSKIP(qPrintable(why));

    Peer foreign;
    quint16 port = freePort();
    if (foreignFirst) {
        // Not an instance: the other user's launch would take one of its own for theirs.
        OtherUser::startPython(foreign.process, SquatterScript, {QStringLiteral("plain")});
        port = foreign.waitForPort();
    }
    QVERIFY(port != 0);
    Peer instances[2];
    const QString runtimes[2] {m_runtime.path(), m_otherRuntime.path()};
    const QString demos[2] {QString(), m_otherDemo.path()};
    for (int user = 0; user < 2; ++user)
        startDemo(instances[user], portArgument(port), runtimes[user], demos[user]);
    for (Peer &instance : instances)
        QTRY_VERIFY2_WITH_TIMEOUT(
            instance.output.contains("serving as"), instance.output.constData(), PeerTimeoutMs);

    const QString words[2] {QStringLiteral("to mine"), QStringLiteral("to theirs")};
    for (int user = 0; user < 2; ++user) {
        const QByteArray output = launchEcho(port, words[user], runtimes[user], demos[user]);
        QVERIFY2(output.contains("answer: " + words[user].toUtf8()), output.constData());
        QVERIFY(output.contains(
            "is running with PID: " + QByteArray::number(instances[user].process.processId())));
    }
    for (int user = 0; user < 2; ++user) {
        QTRY_VERIFY_WITH_TIMEOUT(
            instances[user].output.contains("received command: echo " + words[user].toUtf8()),
            PeerTimeoutMs);
        QVERIFY(!instances[user].output.contains(words[1 - user].toUtf8()));
    }
    // Its own user's launch may ask it who it is; nobody sends it a command.
    QVERIFY2(!foreign.output.contains("called echo"), foreign.output.constData());
}

void tst_TavrelInstance::killedInstanceLeavesNothing_data()
{
    QTest::addColumn<bool>("foreignFirst");
    QTest::addRow("on the application's port") << false;
    QTest::addRow("on a port of its own, as a program holds the application's") << true;
}

// A launch right after the instance was killed serves, and later launches reach it.
void tst_TavrelInstance::killedInstanceLeavesNothing()
{
    QFETCH(bool, foreignFirst);
    QTcpServer foreign;
    quint16 port = freePort();
    if (foreignFirst) {
        QVERIFY(foreign.listen(QHostAddress::LocalHost, 0));
        port = foreign.serverPort();
    }
    Peer killed;
    startDemo(killed, portArgument(port), m_runtime.path());
    QTRY_VERIFY_WITH_TIMEOUT(killed.output.contains("serving as"), PeerTimeoutMs);
    killed.process.kill();
    QVERIFY(killed.finish());

    Peer next;
    startDemo(next, portArgument(port), m_runtime.path());
    QTRY_VERIFY2_WITH_TIMEOUT(
        next.output.contains("serving as"), next.output.constData(), PeerTimeoutMs);
    const QByteArray output = launchEcho(port, QStringLiteral("hi"), m_runtime.path());
    QVERIFY2(output.contains("answer: hi"), output.constData());
    QTRY_VERIFY_WITH_TIMEOUT(next.output.contains("received command: echo hi"), PeerTimeoutMs);
}

void tst_TavrelInstance::simultaneousLaunches_data()
{
    QTest::addColumn<int>("round");
    for (int round = 1; round <= 3; ++round)
        QTest::addRow("round %d", round) << round;
}

// Of launches of one user started together, exactly one serves; every other
// finds that one.
void tst_TavrelInstance::simultaneousLaunches()
{
    constexpr int Launches = 20;
    const quint16 port = freePort();
    QVERIFY(port != 0);
    std::vector<std::unique_ptr<Peer>> launches;
    for (int i = 0; i < Launches; ++i) {
        launches.push_back(std::make_unique<Peer>());
        startDemo(*launches.back(), portArgument(port), m_runtime.path());
    }
    const auto decided = [&launches] {
        int count = 0;
        for (const auto &launch : launches) {
            count += launch->output.contains("serving as")
                || launch->process.state() == QProcess::NotRunning;
        }
        return count;
    };
    QTRY_COMPARE_WITH_TIMEOUT(decided(), Launches, 6 * PeerTimeoutMs);
    qint64 servingPid = 0;
    for (const auto &launch : launches) {
        if (launch->output.contains("serving as")) {
            QCOMPARE(servingPid, 0);
            servingPid = launch->process.processId();
        }
    }
    QVERIFY(servingPid != 0);
    for (const auto &launch : launches) {
        if (launch->process.processId() == servingPid)
            continue;
        QVERIFY(launch->finish());
        QVERIFY2(launch->output.contains("is running with PID: " + QByteArray::number(servingPid)),
            launch->output.constData());
    }
}

void tst_TavrelInstance::squattedRendezvousIsIgnored_data()
{
    QTest::addColumn<int>("squat");
    QTest::addColumn<bool>("fallsBack"); // to a private directory in the temporary one, else alone

    QTest::addRow("the runtime directory is another user's")
        << int(RuntimeDirectoryOfOtherUser) << true;
    QTest::addRow("the rendezvous directory is another user's")
        << int(TavrelDirectoryOfOtherUser) << true;
    QTest::addRow("the rendezvous directory links to another user's")
        << int(TavrelDirectoryLinkToOtherUser) << true;
    QTest::addRow("the rendezvous directory is open to every user")
        << int(TavrelDirectoryOpenToAll) << true;
    QTest::addRow("the lock file is another user's") << int(LockFileOfOtherUser) << false;
    QTest::addRow("the lock file links to another user's") << int(LockFileLinkToOtherUser) << false;
    QTest::addRow("no runtime directory, the temporary one's is another user's")
        << int(FallbackDirectoryOfOtherUser) << false;
}

// A rendezvous that names the port of another user's program, held locked,
// in a place or a file this user does not own alone, is never read: the
// launch serves, and the program is not even asked who it is.
void tst_TavrelInstance::squattedRendezvousIsIgnored()
{
    QFETCH(int, squat);
    QFETCH(bool, fallsBack);
    QString why;
    const qint64 other = OtherUser::uid(&why);
    if (other < 0)
        QSKIP(qPrintable(why));
    Peer squatter;
    OtherUser::startPython(squatter.process, SquatterScript, {QStringLiteral("instance")});
    const quint16 port = squatter.waitForPort();
    QVERIFY(port != 0);

    QTemporaryDir runtime;
    QTemporaryDir otherDirectory;
    QTemporaryDir temporary;
    QVERIFY(runtime.isValid() && otherDirectory.isValid() && temporary.isValid());
    const auto giveAway = [other](const QString &path) {
        return ::lchown(QFile::encodeName(path).constData(), uid_t(other), gid_t(-1)) == 0;
    };
    QVERIFY(giveAway(otherDirectory.path()));
    const QString fallback = temporary.filePath(QStringLiteral("tavrel-%1").arg(::geteuid()));
    const QString tavrelDirectory = squat == FallbackDirectoryOfOtherUser
        ? fallback
        : runtime.filePath(QStringLiteral("tavrel"));
    const QString lockName = rendezvousName(port) + QStringLiteral(".lock");
    QString lockPath = tavrelDirectory + QLatin1Char('/') + lockName;
    if (squat == TavrelDirectoryLinkToOtherUser)
        QVERIFY(QFile::link(otherDirectory.path(), tavrelDirectory));
    else
        QCOMPARE(::mkdir(QFile::encodeName(tavrelDirectory).constData(), 0700), 0);
    if (squat == TavrelDirectoryLinkToOtherUser || squat == LockFileLinkToOtherUser) {
        const QString target = otherDirectory.filePath(lockName);
        if (squat == LockFileLinkToOtherUser)
            QVERIFY(QFile::link(target, lockPath));
        lockPath = target;
    }
    QFile lock(lockPath);
    QVERIFY(lock.open(QIODevice::ReadWrite));
    QVERIFY(lock.write(QByteArray::number(port) + '\n') > 0 && lock.flush());
    QCOMPARE(::flock(lock.handle(), LOCK_EX | LOCK_NB), 0);
    switch (squat) {
    case RuntimeDirectoryOfOtherUser:
        QVERIFY(giveAway(runtime.path()));
        break;
    case TavrelDirectoryOfOtherUser:
    case FallbackDirectoryOfOtherUser:
        QVERIFY(giveAway(tavrelDirectory));
        break;
    case TavrelDirectoryOpenToAll:
        QCOMPARE(::chmod(QFile::encodeName(tavrelDirectory).constData(), 0777), 0);
        break;
    default:
        QVERIFY(giveAway(lockPath));
        break;
    }

    const auto runtimeGuard = scopedEnvironment("XDG_RUNTIME_DIR",
        squat == FallbackDirectoryOfOtherUser ? QByteArray() : QFile::encodeName(runtime.path()));
    const auto temporaryGuard = scopedEnvironment("TMPDIR", QFile::encodeName(temporary.path()));
    TavrelInstance instance(port);
    QVERIFY(instance.decide());
    QVERIFY(instance.holderPort() != port);
    QVERIFY2(!squatter.output.contains("called"), squatter.output.constData());
    if (fallsBack)
        QVERIFY(QFileInfo::exists(fallback + QLatin1Char('/') + lockName));
    else
        QVERIFY2(instance.errorString().startsWith(QLatin1String("serving alone")),
            qPrintable(instance.errorString()));
}

void tst_TavrelInstance::rendezvousDirectories_data()
{
    QTest::addColumn<QByteArray>("runtime"); // XDG_RUNTIME_DIR; "RUNTIME" stands for a fresh one
    QTest::addColumn<bool>("inRuntime");

    QTest::addRow("the runtime directory") << QByteArray("RUNTIME") << true;
    QTest::addRow("no runtime directory: the temporary one") << QByteArray() << false;
    QTest::addRow("a relative runtime directory: the temporary one")
        << QByteArray("run/user") << false;
}

// Launches meet in the runtime directory, or in a private one in the
// temporary directory; the home directory is not needed.
void tst_TavrelInstance::rendezvousDirectories()
{
    QFETCH(QByteArray, runtime);
    QFETCH(bool, inRuntime);
    QTemporaryDir runtimeDirectory;
    QTemporaryDir temporary;
    QVERIFY(runtimeDirectory.isValid() && temporary.isValid());
    const auto runtimeGuard = scopedEnvironment("XDG_RUNTIME_DIR",
        runtime == "RUNTIME" ? QFile::encodeName(runtimeDirectory.path()) : runtime);
    const auto temporaryGuard = scopedEnvironment("TMPDIR", QFile::encodeName(temporary.path()));
    const auto homeGuard = scopedEnvironment("HOME", "/nonexistent");
    const quint16 port = freePort();
    QVERIFY(port != 0);

    TavrelInstance first(port);
    QVERIFY(first.decide());
    QVERIFY2(first.errorString().isEmpty(), qPrintable(first.errorString()));
    TavrelInstance second(port);
    QVERIFY(!second.decide());
    QCOMPARE(second.holder(), TavrelInstance::SameUser);
    QCOMPARE(second.holderPort(), first.server()->port());
    const QString directory = inRuntime
        ? runtimeDirectory.filePath(QStringLiteral("tavrel"))
        : temporary.filePath(QStringLiteral("tavrel-%1").arg(::geteuid()));
    QVERIFY(QFileInfo::exists(directory + QLatin1Char('/') + rendezvousName(port) + ".lock"));
    QCOMPARE(QFileInfo(directory).permissions()
            & (QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ReadGroup
                | QFileDevice::WriteGroup),
        QFileDevice::Permissions());
}

void tst_TavrelInstance::sessions_data()
{
    QTest::addColumn<int>("scope");
    QTest::addColumn<QByteArray>("secondSession");
    QTest::addColumn<bool>("secondServes");

    QTest::addRow("session scope, another session: its own instance")
        << int(TavrelInstance::SessionScope) << QByteArray("c2") << true;
    QTest::addRow("session scope, the same session: the first instance")
        << int(TavrelInstance::SessionScope) << QByteArray("c1") << false;
    QTest::addRow("user scope, another session: the first instance")
        << int(TavrelInstance::UserScope) << QByteArray("c2") << false;
}

// Launches of one user in two login sessions: one instance for each in
// session scope, one for both in user scope; a later launch of each session
// reaches its own.
void tst_TavrelInstance::sessions()
{
    QFETCH(int, scope);
    QFETCH(QByteArray, secondSession);
    QFETCH(bool, secondServes);
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QByteArray sessions[2] {"c1", secondSession};
    std::vector<std::unique_ptr<TavrelInstance>> first;
    for (const QByteArray &session : sessions) {
        const auto guard = scopedEnvironment("XDG_SESSION_ID", session);
        first.push_back(std::make_unique<TavrelInstance>(port));
        first.back()->setScope(TavrelInstance::Scope(scope));
        first.back()->decide();
    }
    QVERIFY(first.at(0)->isServing());
    QCOMPARE(first.at(1)->isServing(), secondServes);

    for (int i = 0; i < 2; ++i) {
        const auto guard = scopedEnvironment("XDG_SESSION_ID", sessions[i]);
        TavrelInstance later(port);
        later.setScope(TavrelInstance::Scope(scope));
        QVERIFY(!later.decide());
        QCOMPARE(later.holder(), TavrelInstance::SameUser);
        const TavrelInstance &own = *first.at(secondServes ? i : 0);
        QCOMPARE(later.holderPort(), own.server()->port());
    }
}

// Launches in two sandboxes with a loopback each of their own, sharing the
// runtime directory with launches outside: each loopback gets its instance.
void tst_TavrelInstance::privateLoopbacks()
{
    if (::geteuid() != 0
        || QProcess::execute(QStringLiteral("unshare"),
               {QStringLiteral("-n"), QStringLiteral("ip"), QStringLiteral("link"),
                   QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")})
            != 0)
        QSKIP("needs root, unshare and ip (util-linux, iproute2) to make network namespaces");
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QStringList sandbox {QStringLiteral("unshare"), QStringLiteral("-n"),
        QStringLiteral("sh"), QStringLiteral("-c"),
        QStringLiteral("ip link set lo up && exec \"$0\" \"$@\"")};
    Peer instances[3];
    for (int i = 0; i < 3; ++i)
        startDemo(instances[i], portArgument(port), m_runtime.path(), QString(),
            i == 0 ? QStringList() : sandbox);
    for (Peer &instance : instances)
        QTRY_VERIFY2_WITH_TIMEOUT(
            instance.output.contains("serving as"), instance.output.constData(), PeerTimeoutMs);

    const QByteArray output = launchEcho(port, QStringLiteral("hi"), m_runtime.path());
    QVERIFY2(output.contains("answer: hi"), output.constData());
    QTRY_VERIFY_WITH_TIMEOUT(instances[0].output.contains("received command"), PeerTimeoutMs);
}

// What serves the port a launch goes to, and how it answers the launch.
enum LaunchPeer {
    AnsweringInstance, // finishes at once
    DeferringInstance, // finishes from the event loop, later
    UnfinishingInstance, // keeps no copy: the launch ends with status 0
    EarlierInstance, // a TavrelServer, which knows no launches
    SilentListener, // takes the connection, answers nothing
    ChunkingListener, // an HTTP server that answers as an instance, in chunks of 5 bytes
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
    QTest::addRow("an answer in chunks, after an interim 100 head")
        << int(ChunkingListener) << QStringList {QStringLiteral("x")} << 5
        << QByteArray("out: \U0001F600\n") << QByteArray("err: chunked\n");
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
    TestHttpServer chunking;
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
    case ChunkingListener:
        probe.close();
        chunking.setHandler([](const TestHttpServer::Request &request) {
            const QString identity = QString::number(QCoreApplication::applicationPid())
                + QStringLiteral(" chunking someone");
            const QByteArray body = TestHttpServer::responseFor(request.body.contains("getAppInfo")
                    ? QStringLiteral("<string>%1</string>").arg(identity)
                    : QStringLiteral("<struct><member><name>exitStatus</name><value><int>5</int>"
                                     "</value></member><member><name>stdout</name><value>"
                                     "out: \U0001F600\n</value></member><member><name>stderr"
                                     "</name><value>err: chunked\n</value></member><member><name>"
                                     "instance</name><value>%1</value></member></struct>")
                          .arg(identity));
            QByteArray chunked;
            for (int at = 0; at < body.size(); at += 5)
                chunked += QByteArray::number(qMin(5, int(body.size()) - at), 16) + "\r\n"
                    + body.mid(at, 5) + "\r\n";
            TestHttpServer::Reply reply;
            reply.action = TestHttpServer::Reply::Raw;
            reply.raw = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n"
                        "Transfer-Encoding: chunked\r\n\r\n"
                + chunked + "0\r\n\r\n";
            return reply;
        });
        QVERIFY(chunking.listen(QHostAddress::LocalHost, port));
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
