// SPDX-License-Identifier: MIT
#include "quorxmlrpcserver.h"
#include "rawhttpclient.h"
#include "tavrel.h"
#include "tavrelserver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int DemoTimeoutMs = 30000;
constexpr int RaceCopies = 20;

// The instance demo, unless the build leaves the examples out.
QString demoProgram()
{
#ifdef TAVREL_DEMO
    return QStringLiteral(TAVREL_DEMO);
#else
    return QString();
#endif
}

// The login name of the user running this process, as the instance reports it.
QString loginName()
{
    const passwd *entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

// A port that nothing listens on at this moment, on either loopback.
quint16 freePort()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        QTcpServer ipv4;
        if (!ipv4.listen(QHostAddress::LocalHost, 0))
            return 0;
        QTcpServer ipv6;
        if (!ipv6.listen(QHostAddress::LocalHostIPv6, ipv4.serverPort())
            && ipv6.serverError() == QAbstractSocket::AddressInUseError)
            continue;
        return ipv4.serverPort();
    }
    return 0;
}

bool hasIpv6Loopback()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHostIPv6, 0);
}

// What holds the port that a TavrelServer wants.
enum Holder { TcpServerOnIpv4, TcpServerOnIpv6, AnotherTavrelServer };

// The debug messages of this process, while a MessageCapture exists.
class MessageCapture
{
public:
    MessageCapture() { s_previous = qInstallMessageHandler(&MessageCapture::handle); }
    ~MessageCapture()
    {
        qInstallMessageHandler(s_previous);
        s_messages.clear();
    }

    static const QStringList &messages() { return s_messages; }
    static QStringList messagesStartingWith(const QString &start)
    {
        QStringList found;
        for (const QString &message : s_messages) {
            if (message.startsWith(start))
                found.append(message);
        }
        return found;
    }

private:
    Q_DISABLE_COPY(MessageCapture)
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtDebugMsg)
            s_messages.append(message);
        else if (s_previous)
            s_previous(type, context, message);
    }

    static QtMessageHandler s_previous;
    static QStringList s_messages;
};

QtMessageHandler MessageCapture::s_previous = nullptr;
QStringList MessageCapture::s_messages;

// The instance report, line for line as Tavrel prints it.
QString expectedReport(const QString &name, int port, qint64 pid, const QString &owner)
{
    return QStringLiteral("ERROR\n"
                          "      an instance of\n"
                          "       \"%1\" \n"
                          "       listening on the same port ( %2 )\n"
                          "       is running with PID: %3 \n"
                          "       owned by \"%4\" ")
        .arg(name, QString::number(port), QString::number(pid), owner);
}

// A copy of the instance demo with its output collected as it comes.
class Demo
{
public:
    explicit Demo(const QStringList &arguments)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
            [this] { standardOutput += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
            [this] { standardError += process.readAllStandardError(); });
        QObject::connect(
            &process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), [this] {
                standardOutput += process.readAllStandardOutput();
                standardError += process.readAllStandardError();
                finished = true;
            });
        process.start(demoProgram(), arguments);
    }

    ~Demo()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
    }

    bool isServing() const { return standardOutput.contains("serving as"); }
    QString report() const { return QString::fromLocal8Bit(standardError); }

    QProcess process;
    QByteArray standardOutput;
    QByteArray standardError;
    bool finished = false;

private:
    Q_DISABLE_COPY(Demo)
};

} // namespace

class tst_TavrelServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void tavrelAgainstAnotherProcess_data();
    void tavrelAgainstAnotherProcess();

    void appInfo_data();
    void appInfo();
    void commands_data();
    void commands();
    void servesBothLoopbacks();
    void listenFailsWhenPortTaken_data();
    void listenFailsWhenPortTaken();

    void startRace();
};

void tst_TavrelServer::initTestCase()
{
    if (!demoProgram().isEmpty())
        QVERIFY2(QFileInfo(demoProgram()).isExecutable(), qPrintable(demoProgram()));
    QVERIFY(!loginName().isEmpty());
}

void tst_TavrelServer::tavrelAgainstAnotherProcess_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reportedName");

    QTest::addRow("plain name") << QStringLiteral("editor") << QStringLiteral("editor");
    QTest::addRow("name with spaces")
        << QStringLiteral("my text editor") << QStringLiteral("my_text_editor");
}

// The asking side in this process, the instance in another: the report names
// that process, the connection check and a command come back.
void tst_TavrelServer::tavrelAgainstAnotherProcess()
{
    QFETCH(QString, name);
    QFETCH(QString, reportedName);
    if (demoProgram().isEmpty())
        QSKIP("built without the examples");

    const quint16 port = freePort();
    QVERIFY(port != 0);
    Demo instance(
        {QStringLiteral("--port"), QString::number(port), QStringLiteral("--name"), name});
    QTRY_VERIFY_WITH_TIMEOUT(instance.isServing() || instance.finished, DemoTimeoutMs);
    QVERIFY2(instance.isServing(), instance.standardError.constData());
    const qint64 pid = instance.process.processId();
    QVERIFY(pid > 0);

    MessageCapture capture;
    Tavrel tavrel(nullptr, port);
    QVERIFY(tavrel.checkTcp());
    QTRY_COMPARE_WITH_TIMEOUT(
        MessageCapture::messagesStartingWith(QStringLiteral("ERROR")).size(), 1, DemoTimeoutMs);
    QCOMPARE(MessageCapture::messagesStartingWith(QStringLiteral("ERROR")).first(),
        expectedReport(reportedName, port, pid, loginName()));

    tavrel.openTcp();
    QTRY_COMPARE_WITH_TIMEOUT(
        tavrel.lastConnectionAnswer(), QStringLiteral("ready"), DemoTimeoutMs);

    tavrel.sendCommand(QStringLiteral("echo"), QStringLiteral("hello  there"));
    QTRY_COMPARE_WITH_TIMEOUT(
        tavrel.lastCommandAnswer(), QStringList {QStringLiteral("hello  there")}, DemoTimeoutMs);

    tavrel.sendCommand(QStringLiteral("no-such-command"), QString());
    QTRY_COMPARE_WITH_TIMEOUT(
        MessageCapture::messagesStartingWith(QStringLiteral("An Error occured")).size(), 1,
        DemoTimeoutMs);
    QVERIFY(MessageCapture::messagesStartingWith(QStringLiteral("An Error occured"))
                .first()
                .startsWith(QStringLiteral("An Error occured, Code:  -32601  Message:  \"")));
    QCOMPARE(tavrel.lastConnectionAnswer(), QString());

    tavrel.sendCommand(QStringLiteral("quit"), QString());
    QTRY_COMPARE_WITH_TIMEOUT(
        tavrel.lastCommandAnswer(), QStringList {QStringLiteral("bye")}, DemoTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(instance.finished, DemoTimeoutMs);
    QCOMPARE(instance.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(instance.process.exitCode(), 0);
    QVERIFY2(instance.standardOutput.contains("received command: echo hello  there\n"),
        instance.standardOutput.constData());
    QVERIFY(instance.standardOutput.contains("received command: quit\n"));
    QVERIFY(!instance.standardOutput.contains("no-such-command"));
}

void tst_TavrelServer::appInfo_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("word");

    QTest::addRow("plain") << QStringLiteral("editor") << QStringLiteral("editor");
    QTest::addRow("spaces inside")
        << QStringLiteral("my text editor") << QStringLiteral("my_text_editor");
    QTest::addRow("spaces around") << QStringLiteral(" editor  ") << QStringLiteral("_editor__");
    QTest::addRow("only a space") << QStringLiteral(" ") << QStringLiteral("_");
    QTest::addRow("quotes and non-ASCII")
        << QStringLiteral("\"\u00e9diteur\" 2") << QStringLiteral("\"\u00e9diteur\"_2");
    QTest::addRow("empty: the application's name")
        << QString() << QCoreApplication::applicationName();
}

// "getAppInfo" always has three words, PID NAME OWNER, split as Tavrel splits.
void tst_TavrelServer::appInfo()
{
    QFETCH(QString, name);
    QFETCH(QString, word);
    QVERIFY(!QCoreApplication::applicationName().isEmpty());

    TavrelServer server;
    server.setApplicationName(name);
    QCOMPARE(server.applicationName(), name.isEmpty() ? QCoreApplication::applicationName() : name);
    const QString expected = QString::number(QCoreApplication::applicationPid()) + QLatin1Char(' ')
        + word + QLatin1Char(' ') + loginName();
    QCOMPARE(server.appInfo(), expected);

    QVERIFY2(server.listen(0), qPrintable(server.errorString()));
    const XmlRpcOutcome outcome = RawHttp::call(server.port(), QStringLiteral("getAppInfo"));
    QVERIFY(outcome.isResponse && !outcome.isFault);
    QCOMPARE(outcome.value.userType(), int(QMetaType::QString));
    QCOMPARE(outcome.value.toString(), expected);
    const QStringList words
        = outcome.value.toString().split(QLatin1Char(' '), Qt::KeepEmptyParts, Qt::CaseSensitive);
    QCOMPARE(words.size(), 3);
    QCOMPARE(words.at(0).toLongLong(), QCoreApplication::applicationPid());
    QCOMPARE(words.at(1), word);
    QCOMPARE(words.at(2), loginName());
}

void tst_TavrelServer::commands_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("params");
    QTest::addColumn<QVariant>("answer"); // invalid when a fault is expected
    QTest::addColumn<int>("faultCode");
    QTest::addColumn<QString>("argument"); // what commandReceived() carries, null: not emitted

    const QString none;
    QTest::addRow("checkConnection") << QStringLiteral("checkConnection") << QVariantList()
                                     << QVariant(QStringLiteral("ready")) << 0 << none;
    QTest::addRow("command with one string")
        << QStringLiteral("echo") << QVariantList {QStringLiteral("hello there")}
        << QVariant(QVariantList {QStringLiteral("hello there")}) << 0
        << QStringLiteral("hello there");
    QTest::addRow("command without parameter")
        << QStringLiteral("echo") << QVariantList() << QVariant(QVariantList {QString()}) << 0
        << QStringLiteral("");
    QTest::addRow("command answering several strings")
        << QStringLiteral("split") << QVariantList {QStringLiteral("a b c")}
        << QVariant(QVariantList {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")})
        << 0 << QStringLiteral("a b c");
    QTest::addRow("command answering nothing")
        << QStringLiteral("nothing") << QVariantList() << QVariant(QVariantList()) << 0
        << QStringLiteral("");
    QTest::addRow("unknown command") << QStringLiteral("no-such-command") << QVariantList()
                                     << QVariant() << int(QuorXmlRpcServer::MethodNotFound) << none;
    QTest::addRow("unregistered command") << QStringLiteral("gone") << QVariantList() << QVariant()
                                          << int(QuorXmlRpcServer::MethodNotFound) << none;
    QTest::addRow("two parameters")
        << QStringLiteral("echo") << QVariantList {QStringLiteral("a"), QStringLiteral("b")}
        << QVariant() << int(QuorXmlRpcServer::InvalidParams) << none;
    QTest::addRow("int parameter") << QStringLiteral("echo") << QVariantList {5} << QVariant()
                                   << int(QuorXmlRpcServer::InvalidParams) << none;
    QTest::addRow("array parameter")
        << QStringLiteral("echo") << QVariantList {QVariant(QVariantList {QStringLiteral("a")})}
        << QVariant() << int(QuorXmlRpcServer::InvalidParams) << none;
}

void tst_TavrelServer::commands()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, params);
    QFETCH(QVariant, answer);
    QFETCH(int, faultCode);
    QFETCH(QString, argument);

    TavrelServer server;
    server.registerCommand(
        QStringLiteral("echo"), [](const QString &text) { return QStringList {text}; });
    server.registerCommand(
        QStringLiteral("split"), [](const QString &text) { return text.split(QLatin1Char(' ')); });
    server.registerCommand(
        QStringLiteral("nothing"), [](const QString &) { return QStringList(); });
    server.registerCommand(QStringLiteral("gone"), [](const QString &) { return QStringList(); });
    server.unregisterCommand(QStringLiteral("gone"));
    QSignalSpy received(&server, &TavrelServer::commandReceived);
    QVERIFY2(server.listen(0), qPrintable(server.errorString()));
    QVERIFY(server.isListening());

    const XmlRpcOutcome outcome = RawHttp::call(server.port(), method, params);
    QVERIFY(outcome.isResponse);
    if (faultCode != 0) {
        QVERIFY(outcome.isFault);
        QCOMPARE(outcome.faultCode, faultCode);
        QVERIFY(!outcome.faultString.isEmpty());
    } else {
        QVERIFY2(!outcome.isFault, qPrintable(outcome.faultString));
        QCOMPARE(outcome.value, answer);
    }
    if (argument.isNull()) {
        QCOMPARE(received.count(), 0);
    } else {
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.first().at(0).toString(), method);
        QCOMPARE(received.first().at(1).toString(), argument);
    }
}

// Tavrel asks "localhost", which may be either loopback address.
void tst_TavrelServer::servesBothLoopbacks()
{
    TavrelServer server;
    QVERIFY2(server.listen(0), qPrintable(server.errorString()));
    QCOMPARE(server.xmlRpcServers().size(), 2);
    QList<QHostAddress> addresses {QHostAddress(QHostAddress::LocalHost)};
    if (hasIpv6Loopback())
        addresses.append(QHostAddress(QHostAddress::LocalHostIPv6));
    for (const QHostAddress &address : addresses) {
        const XmlRpcOutcome outcome
            = RawHttp::call(server.port(), QStringLiteral("checkConnection"), {}, address);
        QVERIFY2(outcome.isResponse, qPrintable(address.toString()));
        QCOMPARE(outcome.value, QVariant(QStringLiteral("ready")));
    }

    server.close();
    QVERIFY(!server.isListening());
    RawHttpClient refused(server.port());
    QVERIFY(!refused.waitForConnected());
}

void tst_TavrelServer::listenFailsWhenPortTaken_data()
{
    QTest::addColumn<int>("holder");
    QTest::addRow("a server on 127.0.0.1") << int(TcpServerOnIpv4);
    QTest::addRow("a server on ::1") << int(TcpServerOnIpv6);
    QTest::addRow("another TavrelServer") << int(AnotherTavrelServer);
}

// A taken port is a clear failure, and nothing is left listening.
void tst_TavrelServer::listenFailsWhenPortTaken()
{
    QFETCH(int, holder);

    QTcpServer plain;
    TavrelServer other;
    quint16 port = 0;
    switch (holder) {
    case TcpServerOnIpv4:
        QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
        port = plain.serverPort();
        break;
    case TcpServerOnIpv6:
        if (!hasIpv6Loopback())
            QSKIP("no IPv6 loopback here");
        port = freePort();
        QVERIFY(port != 0);
        QVERIFY(plain.listen(QHostAddress::LocalHostIPv6, port));
        break;
    case AnotherTavrelServer:
        QVERIFY(other.listen(0));
        port = other.port();
        break;
    }

    TavrelServer server;
    QVERIFY(!server.listen(port));
    QVERIFY(!server.errorString().isEmpty());
    QVERIFY(!server.isListening());
    for (QuorXmlRpcServer *xmlRpcServer : server.xmlRpcServers())
        QVERIFY(!xmlRpcServer->isListening());

    // Once the port is free again, the same object serves there.
    plain.close();
    other.close();
    QVERIFY2(server.listen(port), qPrintable(server.errorString()));
    QVERIFY(server.errorString().isEmpty());
    QCOMPARE(server.port(), port);
}

// Copies of the demo started together on one port: one of them serves, every
// other finds it and reports it, even those that lost the race for listen().
void tst_TavrelServer::startRace()
{
    if (demoProgram().isEmpty())
        QSKIP("built without the examples");
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QStringList arguments {QStringLiteral("--port"), QString::number(port)};

    std::vector<std::unique_ptr<Demo>> copies;
    const auto killLeftovers = qScopeGuard([&copies] { copies.clear(); });
    for (int i = 0; i < RaceCopies; ++i)
        copies.emplace_back(new Demo(arguments));

    const auto finishedCount = [&copies] {
        return int(std::count_if(copies.cbegin(), copies.cend(),
            [](const std::unique_ptr<Demo> &copy) { return copy->finished; }));
    };
    QTRY_COMPARE_WITH_TIMEOUT(finishedCount(), RaceCopies - 1, 2 * DemoTimeoutMs);

    Demo *instance = nullptr;
    for (const std::unique_ptr<Demo> &copy : copies) {
        if (!copy->finished)
            instance = copy.get();
    }
    QVERIFY(instance);
    QTRY_VERIFY_WITH_TIMEOUT(instance->isServing(), DemoTimeoutMs);
    const QString pidText
        = QStringLiteral("is running with PID: %1 \n").arg(instance->process.processId());
    for (const std::unique_ptr<Demo> &copy : copies) {
        if (copy.get() == instance)
            continue;
        const QByteArray output = copy->standardOutput + copy->standardError;
        QVERIFY2(
            copy->process.exitStatus() == QProcess::NormalExit && copy->process.exitCode() == 0,
            output.constData());
        QVERIFY2(!copy->isServing(), output.constData());
        QVERIFY2(copy->standardOutput.contains(
                     "another instance serves on port " + QByteArray::number(port)),
            output.constData());
        QVERIFY2(copy->report().contains(pidText), output.constData());
    }
    QVERIFY(!instance->finished);

    Demo quit(arguments + QStringList {QStringLiteral("quit")});
    QTRY_VERIFY_WITH_TIMEOUT(quit.finished, DemoTimeoutMs);
    QCOMPARE(quit.process.exitCode(), 0);
    QVERIFY2(quit.standardOutput.contains("answer: bye"), quit.standardOutput.constData());
    QTRY_VERIFY_WITH_TIMEOUT(instance->finished, DemoTimeoutMs);
    QCOMPARE(instance->process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(instance->process.exitCode(), 0);
    QVERIFY(instance->standardOutput.contains("instance stopped"));
}

QTEST_GUILESS_MAIN(tst_TavrelServer)

#include "tst_tavrelserver.moc"
