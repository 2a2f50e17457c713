// SPDX-License-Identifier: MIT
// tavrel-call run as a user runs it, against the library's own server, Python's
// xmlrpc.server and a scripted HTTP server: its output, its fault and error
// reports and its exit statuses.

#include "quorxmlrpcserver.h"
#include "testhttpserver.h"
#include "testpython.h"

#include <QProcess>
#include <QTcpServer>
#include <QtTest>

namespace {

enum Peer { Library, Python, Scripted, NoPeer };

// URL in a row's arguments stands for the peer's URL; CLOSED for a port where nothing listens.
const QString UrlWord = QStringLiteral("URL");
const QString ClosedWord = QStringLiteral("CLOSED");

const QByteArray UsageLine = "usage: tavrel-call";

quint16 unusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

class tst_TavrelCall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void call_data();
    void call();

private:
    QUrl urlOf(Peer peer) const;

    QuorXmlRpcServer m_library;
    QProcess m_python;
    quint16 m_pythonPort = 0;
    TestHttpServer m_scripted;
};

void tst_TavrelCall::initTestCase()
{
    m_library.registerMethod(
        QStringLiteral("echo"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setValue(params.value(0));
        });
    m_library.registerMethod(
        QStringLiteral("fail"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setFault(params.value(0).toInt(), params.value(1).toString());
        });
    m_library.setI8Enabled(true);
    QVERIFY(m_library.listen(QHostAddress::LocalHost, 0));

    m_scripted.setHandler([](const TestHttpServer::Request &request) {
        if (request.body.contains("hang")) {
            TestHttpServer::Reply never;
            never.action = TestHttpServer::Reply::Hang;
            return never;
        }
        if (request.body.contains("zoned"))
            return TestHttpServer::answer(TestHttpServer::responseFor(
                QStringLiteral("<dateTime.iso8601>2014-11-10T23:38:51.5+0000</dateTime.iso8601>")));
        if (request.body.contains("nil"))
            return TestHttpServer::answer(TestHttpServer::responseFor(QStringLiteral("<nil/>")));
        return TestHttpServer::answer("no XML-RPC here");
    });
    QVERIFY(m_scripted.start());

    if (pythonProgram().isEmpty())
        return;
    m_pythonPort = startPythonPeer(&m_python, QFINDTESTDATA("python/xmlrpcpeer.py"), {});
    QVERIFY(m_pythonPort != 0);
}

void tst_TavrelCall::cleanupTestCase()
{
    m_python.kill();
    m_python.waitForFinished();
}

QUrl tst_TavrelCall::urlOf(Peer peer) const
{
    switch (peer) {
    case Library:
        return QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(m_library.serverPort()));
    case Python:
        return QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(m_pythonPort));
    case Scripted:
        return m_scripted.url();
    case NoPeer:
        break;
    }
    return QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(unusedPort()));
}

void tst_TavrelCall::call_data()
{
    QTest::addColumn<int>("peer");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out"); // all of standard output
    QTest::addColumn<QByteArray>("err"); // a line of standard error, from its start

    // Every type there and back: the answer is spelled as the argument was.
    const struct
    {
        const char *name;
        QString argument;
        QByteArray out;
    } echoes[] = {
        {"int", QStringLiteral("42"), "42\n"},
        {"negative int", QStringLiteral("-7"), "-7\n"},
        {"double", QStringLiteral("1.5"), "1.5\n"},
        {"whole double", QStringLiteral("1.0"), "1.0\n"},
        {"double with an exponent", QStringLiteral("2.5e10"), "2.5e+10\n"},
        {"double spelled out", QStringLiteral("{\"double\": 3}"), "3.0\n"},
        {"true", QStringLiteral("true"), "true\n"},
        {"false", QStringLiteral("false"), "false\n"},
        {"JSON string that looks like a number", QStringLiteral("\"42\""), "\"42\"\n"},
        {"bare word", QStringLiteral("hello"), "\"hello\"\n"},
        {"text that is no JSON", QStringLiteral("Grüße <&> 1.2.3"), "\"Grüße <&> 1.2.3\"\n"},
        {"JSON string with escapes", QStringLiteral("\"a\\nb \\\"q\\\" \\u00e9\""),
            "\"a\\nb \\\"q\\\" é\"\n"},
        {"base64", QStringLiteral("{\"base64\": \"aGk=\"}"), "{\"base64\": \"aGk=\"}\n"},
        {"dateTime.iso8601", QStringLiteral("{\"dateTime.iso8601\": \"20260101T10:00:00\"}"),
            "{\"dateTime.iso8601\": \"20260101T10:00:00\"}\n"},
        {"array", QStringLiteral("[1, \"a\", [true]]"),
            "[\n  1,\n  \"a\",\n  [\n    true\n  ]\n]\n"},
        {"struct", QStringLiteral("{\"s\": \"x\", \"n\": {\"base64\": \"AAE=\"}}"),
            "{\n  \"n\": {\"base64\": \"AAE=\"},\n  \"s\": \"x\"\n}\n"},
        {"struct with one member named like a type",
            QStringLiteral("{\"struct\": {\"base64\": \"x\"}}"),
            "{\"struct\": {\n  \"base64\": \"x\"\n}}\n"},
        {"empty array", QStringLiteral("[]"), "[]\n"},
        {"empty struct", QStringLiteral("{}"), "{}\n"},
    };
    for (Peer peer : {Library, Python}) {
        const char *peerName = peer == Library ? "library" : "python";
        for (const auto &echo : echoes) {
            QTest::addRow("%s: %s", peerName, echo.name)
                << int(peer) << QStringList {UrlWord, QStringLiteral("echo"), echo.argument} << 0
                << echo.out << QByteArray();
        }
        QTest::addRow("%s: fault", peerName)
            << int(peer)
            << QStringList {UrlWord, QStringLiteral("fail"), QStringLiteral("4"),
                   QStringLiteral("too many")}
            << 1 << QByteArray() << QByteArray("fault 4: too many\n");
    }
    QTest::addRow("library: unknown method")
        << int(Library) << QStringList {UrlWord, QStringLiteral("nosuch")} << 1 << QByteArray()
        << QByteArray("fault -32601: method not found");
    QTest::addRow("library: list")
        << int(Library) << QStringList {QStringLiteral("--list"), UrlWord} << 0
        << QByteArray("[\n  \"echo\",\n  \"fail\",\n  \"system.listMethods\",\n"
                      "  \"system.multicall\"\n]\n")
        << QByteArray();
    QTest::addRow("python: list")
        << int(Python) << QStringList {QStringLiteral("--list"), UrlWord} << 0
        << QByteArray("[\n  \"echo\",\n  \"fail\",\n  \"system.listMethods\",\n"
                      "  \"system.methodHelp\",\n  \"system.methodSignature\"\n]\n")
        << QByteArray();
    QTest::addRow("library: options end at the method")
        << int(Library)
        << QStringList {QStringLiteral("--timeout"), QStringLiteral("5000"), UrlWord,
               QStringLiteral("echo"), QStringLiteral("--list")}
        << 0 << QByteArray("\"--list\"\n") << QByteArray();
    QTest::addRow("library: --i8 is taken") << int(Library)
                                            << QStringList {QStringLiteral("--i8"), UrlWord,
                                                   QStringLiteral("echo"), QStringLiteral("5")}
                                            << 0 << QByteArray("5\n") << QByteArray();
    QTest::addRow("nil") << int(Scripted) << QStringList {UrlWord, QStringLiteral("nil")} << 0
                         << QByteArray("null\n") << QByteArray();
    QTest::addRow("null sent as nil") << int(Scripted)
                                      << QStringList {QStringLiteral("--nil"), UrlWord,
                                             QStringLiteral("echo"), QStringLiteral("null")}
                                      << 0 << QByteArray("null\n") << QByteArray();
    QTest::addRow("date-time with its zone")
        << int(Scripted) << QStringList {UrlWord, QStringLiteral("zoned")} << 0
        << QByteArray("{\"dateTime.iso8601\": \"20141110T23:38:51.500Z\"}\n") << QByteArray();
    QTest::addRow("answer that is no XML-RPC")
        << int(Scripted) << QStringList {UrlWord, QStringLiteral("other")} << 1 << QByteArray()
        << QByteArray("fault -32700: ");

    QTest::addRow("closed port") << int(NoPeer) << QStringList {UrlWord, QStringLiteral("echo")}
                                 << 2 << QByteArray()
                                 << QByteArray("tavrel-call: Connection refused\n");
    QTest::addRow("HTTP error status")
        << int(Library) << QStringList {UrlWord + QStringLiteral("/none"), QStringLiteral("echo")}
        << 2 << QByteArray() << QByteArray("tavrel-call: ");
    QTest::addRow("timeout") << int(Scripted)
                             << QStringList {QStringLiteral("--timeout"), QStringLiteral("100"),
                                    UrlWord, QStringLiteral("hang")}
                             << 2 << QByteArray()
                             << QByteArray("tavrel-call: timed out after 100 ms\n");

    QTest::addRow("help") << int(NoPeer) << QStringList {QStringLiteral("--help")} << 0
                          << QByteArray(UsageLine) << QByteArray();
    const struct
    {
        const char *name;
        QStringList arguments;
        QByteArray why;
    } misuses[] = {
        {"nothing", {}, "tavrel-call: no URL given\n"},
        {"no method", {UrlWord}, "tavrel-call: no METHOD given\n"},
        {"unknown option", {QStringLiteral("--fast"), UrlWord, QStringLiteral("m")},
            "tavrel-call: unknown option --fast\n"},
        {"timeout without a number",
            {QStringLiteral("--timeout"), QStringLiteral("soon"), UrlWord, QStringLiteral("m")},
            "tavrel-call: --timeout needs"},
        {"timeout at the end", {QStringLiteral("--timeout")}, "tavrel-call: --timeout needs"},
        {"no http URL", {QStringLiteral("ftp://127.0.0.1/"), QStringLiteral("m")},
            "tavrel-call: ftp://127.0.0.1/ is no http://, https://, unix:// or scgi:// URL\n"},
        {"list with a method", {QStringLiteral("--list"), UrlWord, QStringLiteral("m")},
            "tavrel-call: --list takes no method"},
        {"null", {UrlWord, QStringLiteral("m"), QStringLiteral("null")},
            "tavrel-call: null: null is sent only with --nil\n"},
        {"null inside", {UrlWord, QStringLiteral("m"), QStringLiteral("[1, null]")},
            "tavrel-call: [1, null]: null is sent"},
        {"malformed JSON", {UrlWord, QStringLiteral("m"), QStringLiteral("{\"a\": 1")},
            "tavrel-call: {\"a\": 1: expected ','"},
        {"member given twice", {UrlWord, QStringLiteral("m"), QStringLiteral("{\"a\":1,\"a\":2}")},
            "tavrel-call: {\"a\":1,\"a\":2}: member \"a\" given twice"},
        {"bad base64", {UrlWord, QStringLiteral("m"), QStringLiteral("{\"base64\": \"!!\"}")},
            "tavrel-call: {\"base64\": \"!!\"}: \"!!\" is no base64 text\n"},
        {"bad date",
            {UrlWord, QStringLiteral("m"),
                QStringLiteral("{\"dateTime.iso8601\": \"2026-01-01\"}")},
            "tavrel-call: {\"dateTime.iso8601\": \"2026-01-01\"}: \"2026-01-01\" is no date"},
        {"i8 without --i8", {UrlWord, QStringLiteral("m"), QStringLiteral("{\"i8\": \"1\"}")},
            "tavrel-call: {\"i8\": \"1\"}: i8 values are sent only with --i8\n"},
        {"integer beyond 32 bits without --i8",
            {UrlWord, QStringLiteral("m"), QStringLiteral("12345678901")},
            "tavrel-call: 12345678901: 12345678901 does not fit an int of 32 bits"},
    };
    for (const auto &misuse : misuses) {
        QTest::addRow("bad usage: %s", misuse.name)
            << int(NoPeer) << misuse.arguments << 64 << QByteArray() << misuse.why;
    }
}

void tst_TavrelCall::call()
{
    QFETCH(int, peer);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    if (peer == Python && m_pythonPort == 0)
        QSKIP("no python3 to serve as the peer");
    const QString url = urlOf(Peer(peer)).toString();
    for (QString &argument : arguments)
        argument.replace(UrlWord, url);

    QProcess tool;
    tool.start(QStringLiteral(TAVREL_CALL), arguments);
    QVERIFY2(tool.waitForStarted(), qPrintable(tool.errorString()));
    // The in-process servers answer from this event loop.
    QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, 20000);
    const QByteArray standardOutput = tool.readAllStandardOutput();
    const QByteArray standardError = tool.readAllStandardError();
    const QByteArray report = "\nstdout:\n" + standardOutput + "\nstderr:\n" + standardError;

    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QVERIFY2(tool.exitCode() == exitCode, report.constData());
    if (QByteArray(QTest::currentDataTag()) == "help")
        QVERIFY2(standardOutput.startsWith(out) && standardOutput.contains("Examples:"),
            report.constData());
    else
        QVERIFY2(standardOutput == out, report.constData());
    if (err.isEmpty())
        QVERIFY2(standardError.isEmpty(), report.constData());
    else
        QVERIFY2(standardError.startsWith(err), report.constData());
    if (exitCode == 64)
        QVERIFY2(standardError.contains("\n" + UsageLine), report.constData());
}

QTEST_GUILESS_MAIN(tst_TavrelCall)
#include "tst_tavrelcall.moc"
