// SPDX-License-Identifier: MIT
#include "quorobject.h"
#include "quorxmlrpcclient.h"
#include "tavrel.h"
#include "testhttpserver.h"

#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <climits>

Q_DECLARE_METATYPE(TestHttpServer::Reply)

namespace {

QByteArray stringArray(const QStringList &items)
{
    QString values;
    for (const QString &item : items)
        values += QStringLiteral("<value><string>%1</string></value>").arg(item.toHtmlEscaped());
    return TestHttpServer::responseFor(
        QStringLiteral("<array><data>%1</data></array>").arg(values));
}

QString methodOf(const TestHttpServer::Request &request)
{
    QDomDocument document;
    document.setContent(request.body);
    return document.documentElement().firstChildElement(QStringLiteral("methodName")).text();
}

// The instance report with PORT standing for the port.
QString reportTemplate(const QString &name, const QString &pid, const QString &owner)
{
    return QStringLiteral("ERROR\n"
                          "      an instance of\n"
                          "       \"%1\" \n"
                          "       listening on the same port ( PORT )\n"
                          "       is running with PID: %2 \n"
                          "       owned by \"%3\" ")
        .arg(name, pid, owner);
}

QString expectedReport(const QString &name, int port, const QString &pid, const QString &owner)
{
    return reportTemplate(name, pid, owner).replace(QLatin1String("PORT"), QString::number(port));
}

QString expectedFaultLine(int code, const QString &message)
{
    return QStringLiteral("An Error occured, Code:  %1  Message:  \"%2\" ").arg(code).arg(message);
}

// A port on the loopback where nothing listens.
quint16 unusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Returns once no call of owner's is pending any more: each per-call object
// deletes itself right after its answer or fault has been delivered.
bool waitForAnswers(QObject &owner)
{
    for (;;) {
        const QList<QuorObject *> pending = owner.findChildren<QuorObject *>();
        if (pending.isEmpty())
            return true;
        QSignalSpy spy(pending.first(), &QObject::destroyed);
        if (!spy.wait(10000))
            return false;
    }
}

int threadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return -1;
}

int descriptorCount()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

// The request that a fault answers (faultLine).
enum Operation { Probe, Connection, Command };

const QByteArray AppInfoCall = QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                 "<methodCall>\n"
                                                 " <methodName>getAppInfo</methodName>\n"
                                                 " <params/>\n"
                                                 "</methodCall>\n");

} // namespace

// Collects the debug messages written while a test runs; other messages go on
// to the handler that was there before.
class MessageLog : public QObject
{
    Q_OBJECT

public:
    QStringList messages;

    void install()
    {
        messages.clear();
        s_current = this;
        s_previous = qInstallMessageHandler(&MessageLog::handle);
    }
    void uninstall()
    {
        qInstallMessageHandler(s_previous);
        s_current = nullptr;
    }

    bool waitForMessages(int count)
    {
        QSignalSpy spy(this, &MessageLog::logged);
        while (messages.size() < count) {
            if (!spy.wait(10000))
                return false;
        }
        return true;
    }

Q_SIGNALS:
    void logged();

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtDebugMsg && s_current) {
            s_current->messages.append(message);
            Q_EMIT s_current->logged();
            return;
        }
        s_previous(type, context, message);
    }

    static inline MessageLog *s_current = nullptr;
    static inline QtMessageHandler s_previous = nullptr;
};

class tst_Tavrel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void probeFindsNothing();
    void probeFindsServer();
    void report_data();
    void report();
    void reportOnGivenPort();
    void connectionAnswer_data();
    void connectionAnswer();
    void sendCommand_data();
    void sendCommand();
    void laterCommandAnswerReplaces();
    void faultLine_data();
    void faultLine();
    void faultLineFormat_data();
    void faultLineFormat();
    void probesKeepTheirSockets();
    void destroyWithRequestsOutstanding();
    void resourcesStayFlat();

private:
    MessageLog m_log;
};

void tst_Tavrel::init()
{
    m_log.install();
}

void tst_Tavrel::cleanup()
{
    m_log.uninstall();
}

void tst_Tavrel::probeFindsNothing()
{
    const quint16 port = unusedPort();
    QVERIFY(port != 0);
    Tavrel tavrel(nullptr, port);

    QElapsedTimer timer;
    timer.start();
    QVERIFY(!tavrel.checkTcp());
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));

    QCoreApplication::processEvents();
    QCOMPARE(m_log.messages, QStringList());
    QVERIFY(tavrel.findChildren<QuorXmlRpcClient *>().isEmpty());
    QVERIFY(tavrel.findChildren<QuorObject *>().isEmpty());
    // The failed probe's socket stays with the object.
    QVERIFY(tavrel.lastProbeSocket());
    QCOMPARE(tavrel.lastProbeSocket()->parent(), &tavrel);
}

void tst_Tavrel::probeFindsServer()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.answerWith(TestHttpServer::responseFor(QStringLiteral("<string>1 app me</string>")));
    Tavrel tavrel(nullptr, server.serverPort());

    QVERIFY(tavrel.checkTcp());
    QVERIFY(tavrel.lastProbeSocket());
    QCOMPARE(tavrel.lastProbeSocket()->state(), QAbstractSocket::UnconnectedState);
    // The report comes later, from the event loop.
    QCOMPARE(m_log.messages, QStringList());
    QVERIFY(m_log.waitForMessages(1));
    QCOMPARE(m_log.messages,
        QStringList {expectedReport(QStringLiteral("app"), server.serverPort(), QStringLiteral("1"),
            QStringLiteral("me"))});
    QVERIFY(waitForAnswers(tavrel));

    QCOMPARE(server.requests().size(), 1);
    const TestHttpServer::Request &request = server.requests().at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, QByteArray("/RPC2"));
    QCOMPARE(request.headers.value("host"),
        QByteArray("localhost:") + QByteArray::number(server.serverPort()));
    QCOMPARE(request.headers.value("content-type"), QByteArray("text/xml"));
    QCOMPARE(request.headers.value("user-agent"), QByteArray("rododir/0.2"));
    QCOMPARE(request.body, AppInfoCall);
    // The probe's connection carried no request.
    QCOMPARE(server.connectionCount(), 2);
    QCOMPARE(tavrel.findChildren<QuorXmlRpcClient *>().size(), 1);
}

void tst_Tavrel::report_data()
{
    QTest::addColumn<QString>("value"); // the XML-RPC value of the answer
    QTest::addColumn<QString>("expected"); // PORT stands for the server's port

    const auto row = [](const char *name, const QString &value, const QString &pid,
                         const QString &appName, const QString &owner) {
        QTest::addRow("%s", name) << value << reportTemplate(appName, pid, owner);
    };

    QTest::addRow("pid, name and owner")
        << QStringLiteral("<string>4711 editor owner1</string>")
        << QStringLiteral(
               "ERROR\n      an instance of\n       \"editor\" \n       listening on the "
               "same port ( PORT )\n       is running with PID: 4711 \n       owned by "
               "\"owner1\" ");
    row("untyped value", QStringLiteral("4711 editor owner1"), QStringLiteral("4711"),
        QStringLiteral("editor"), QStringLiteral("owner1"));
    row("extra words ignored", QStringLiteral("<string>4711 editor owner1 on tty2</string>"),
        QStringLiteral("4711"), QStringLiteral("editor"), QStringLiteral("owner1"));
    row("non-numeric pid", QStringLiteral("<string>abc editor owner1</string>"),
        QStringLiteral("0"), QStringLiteral("editor"), QStringLiteral("owner1"));
    row("pid with trailing letters", QStringLiteral("<string>47x editor owner1</string>"),
        QStringLiteral("0"), QStringLiteral("editor"), QStringLiteral("owner1"));
    row("negative pid", QStringLiteral("<string>-3 editor owner1</string>"), QStringLiteral("-3"),
        QStringLiteral("editor"), QStringLiteral("owner1"));
    row("double space gives an empty name", QStringLiteral("<string>4711  editor owner1</string>"),
        QStringLiteral("4711"), QString(), QStringLiteral("editor"));
    row("leading space", QStringLiteral("<string> 4711 editor owner1</string>"),
        QStringLiteral("0"), QStringLiteral("4711"), QStringLiteral("editor"));
    row("quote in name", QStringLiteral("<string>4711 my\"editor owner1</string>"),
        QStringLiteral("4711"), QStringLiteral("my\"editor"), QStringLiteral("owner1"));
    row("backslash and non-ASCII unescaped",
        QString::fromUtf8("<string>4711 C:\\Grüße &lt;ø&gt;</string>"), QStringLiteral("4711"),
        QString::fromUtf8("C:\\Grüße"), QString::fromUtf8("<ø>"));
    row("two words", QStringLiteral("<string>4711 editor</string>"), QStringLiteral("4711"),
        QStringLiteral("editor"), QString());
    row("one word", QStringLiteral("<string>4711</string>"), QStringLiteral("4711"), QString(),
        QString());
    row("int answer", QStringLiteral("<int>4711</int>"), QStringLiteral("4711"), QString(),
        QString());
    row("empty answer", QStringLiteral("<string></string>"), QStringLiteral("0"), QString(),
        QString());
    row("struct answer",
        QStringLiteral("<struct><member><name>pid</name><value><int>4711</int></value></member>"
                       "</struct>"),
        QStringLiteral("0"), QString(), QString());
    row("array answer",
        QStringLiteral("<array><data><value><string>4711 editor owner1</string></value></data>"
                       "</array>"),
        QStringLiteral("0"), QString(), QString());
}

void tst_Tavrel::report()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);

    TestHttpServer server;
    QVERIFY(server.start());
    server.answerWith(TestHttpServer::responseFor(value));
    Tavrel tavrel(nullptr, server.serverPort());
    tavrel.openTcp();
    QVERIFY(waitForAnswers(tavrel));
    const QString connectionAnswer = tavrel.lastConnectionAnswer();
    m_log.messages.clear();

    QVERIFY(tavrel.checkTcp());
    QVERIFY(m_log.waitForMessages(1));
    QVERIFY(waitForAnswers(tavrel));
    expected.replace(QLatin1String("PORT"), QString::number(server.serverPort()));
    QCOMPARE(m_log.messages, QStringList {expected});
    // The report changes no stored answer.
    QCOMPARE(tavrel.lastConnectionAnswer(), connectionAnswer);
    QCOMPARE(tavrel.lastCommandAnswer(), QStringList());
}

void tst_Tavrel::reportOnGivenPort()
{
    // No network here: the slot is called as the client would call it.
    Tavrel tavrel(nullptr, 8080);
    QVariant answer(QStringLiteral("4711 editor owner1"));
    tavrel.testSingle(answer);
    QCOMPARE(m_log.messages,
        QStringList {QStringLiteral("ERROR\n      an instance of\n       \"editor\" \n       "
                                    "listening on the same port ( 8080 )\n       is running with "
                                    "PID: 4711 \n       owned by \"owner1\" ")});
}

void tst_Tavrel::connectionAnswer_data()
{
    QTest::addColumn<QStringList>("answers"); // XML-RPC values, one per openTcp()
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("isNull");

    const QString ready = QStringLiteral("<string>ready 1</string>");
    QTest::addRow("ready 1") << QStringList {ready} << QStringLiteral("ready") << false;
    QTest::addRow("single word") << QStringList {QStringLiteral("<string>busy</string>")}
                                 << QStringLiteral("busy") << false;
    QTest::addRow("int answer") << QStringList {QStringLiteral("<int>7</int>")}
                                << QStringLiteral("7") << false;
    QTest::addRow("empty first answer")
        << QStringList {QStringLiteral("<string></string>")} << QString() << true;
    QTest::addRow("empty answer leaves the previous one")
        << QStringList {ready, QStringLiteral("<string></string>")} << QStringLiteral("ready")
        << false;
    QTest::addRow("struct answer leaves the previous one") << QStringList {ready,
        QStringLiteral("<struct><member><name>a</name><value>b</value></member></struct>")}
                                                           << QStringLiteral("ready") << false;
    QTest::addRow("leading space gives an empty word")
        << QStringList {ready, QStringLiteral("<string> ready</string>")} << QString("") << false;
    QTest::addRow("later answer replaces")
        << QStringList {ready, QStringLiteral("<string>gone 2 3</string>")}
        << QStringLiteral("gone") << false;
}

void tst_Tavrel::connectionAnswer()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, expected);
    QFETCH(bool, isNull);

    TestHttpServer server;
    QVERIFY(server.start());
    Tavrel tavrel(nullptr, server.serverPort());
    QVERIFY(tavrel.lastConnectionAnswer().isNull());
    for (const QString &answer : qAsConst(answers)) {
        server.answerWith(TestHttpServer::responseFor(answer));
        tavrel.openTcp();
        QVERIFY(waitForAnswers(tavrel));
    }

    QCOMPARE(tavrel.lastConnectionAnswer(), expected);
    QCOMPARE(tavrel.lastConnectionAnswer().isNull(), isNull);
    QCOMPARE(tavrel.lastCommandAnswer(), QStringList());
    QCOMPARE(m_log.messages, QStringList());
    QCOMPARE(server.requests().size(), answers.size());
    QuorObject writer;
    for (const TestHttpServer::Request &request : server.requests()) {
        QCOMPARE(request.path, QByteArray("/RPC2"));
        QCOMPARE(request.body,
            writer.prepareCall(QStringLiteral("checkConnection"), QVariantList()).toUtf8());
        QVERIFY(request.body.contains(" <params/>\n"));
    }
}

void tst_Tavrel::sendCommand_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<bool>("hasParameter");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("expected");

    const QStringList list {QStringLiteral("alpha"), QStringLiteral("beta gamma"), QString("")};
    QTest::addRow("null argument")
        << QStringLiteral("reload") << QString() << false << stringArray(list) << list;
    QTest::addRow("empty argument")
        << QStringLiteral("reload") << QString("") << false << stringArray(list) << list;
    QTest::addRow("argument") << QStringLiteral("open") << QStringLiteral("file.txt") << true
                              << stringArray(list) << list;
    QTest::addRow("argument of one space")
        << QStringLiteral("open") << QStringLiteral(" ") << true << stringArray(list) << list;
    QTest::addRow("argument with markup and non-ASCII")
        << QStringLiteral("open") << QString::fromUtf8("a <b> & \"Grüße\"") << true
        << stringArray(list) << list;
    QTest::addRow("method name passed unchanged")
        << QStringLiteral("app.do_it") << QStringLiteral("x") << true << stringArray(list) << list;
    QTest::addRow("string answer")
        << QStringLiteral("status") << QString() << false
        << TestHttpServer::responseFor(QStringLiteral("<string>all fine</string>"))
        << QStringList {QStringLiteral("all fine")};
    QTest::addRow("array of ints")
        << QStringLiteral("ids") << QString() << false
        << TestHttpServer::responseFor(QStringLiteral(
               "<array><data><value><int>1</int></value><value><int>2</int></value></data>"
               "</array>"))
        << QStringList {QStringLiteral("1"), QStringLiteral("2")};
    QTest::addRow("empty array") << QStringLiteral("none") << QString() << false << stringArray({})
                                 << QStringList();
    QTest::addRow("struct answer")
        << QStringLiteral("map") << QString() << false
        << TestHttpServer::responseFor(
               QStringLiteral("<struct><member><name>a</name><value>b</value></member></struct>"))
        << QStringList();
}

void tst_Tavrel::sendCommand()
{
    QFETCH(QString, method);
    QFETCH(QString, argument);
    QFETCH(bool, hasParameter);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, expected);

    TestHttpServer server;
    QVERIFY(server.start());
    server.answerWith(answer);
    Tavrel tavrel(nullptr, server.serverPort());
    tavrel.sendCommand(method, argument);
    QVERIFY(waitForAnswers(tavrel));

    QCOMPARE(tavrel.lastCommandAnswer(), expected);
    QVERIFY(tavrel.lastConnectionAnswer().isNull());
    QCOMPARE(m_log.messages, QStringList());

    QCOMPARE(server.requests().size(), 1);
    const QByteArray body = server.requests().at(0).body;
    QDomDocument document;
    QVERIFY(document.setContent(body));
    const QDomElement call = document.documentElement();
    QCOMPARE(call.tagName(), QStringLiteral("methodCall"));
    QCOMPARE(call.firstChildElement(QStringLiteral("methodName")).text(), method);
    const QDomNodeList params = call.firstChildElement(QStringLiteral("params")).childNodes();
    QCOMPARE(params.size(), hasParameter ? 1 : 0);
    QVariantList sent;
    if (hasParameter) {
        // A whitespace-only text node does not survive parsing, so compare the text.
        const QDomElement string = params.at(0)
                                       .firstChildElement(QStringLiteral("value"))
                                       .firstChildElement(QStringLiteral("string"));
        QVERIFY(!string.isNull());
        if (!argument.trimmed().isEmpty())
            QCOMPARE(string.text(), argument);
        sent.append(argument);
    }
    QuorObject writer;
    QCOMPARE(body, writer.prepareCall(method, sent).toUtf8());
}

void tst_Tavrel::laterCommandAnswerReplaces()
{
    TestHttpServer server;
    QVERIFY(server.start());
    Tavrel tavrel(nullptr, server.serverPort());

    const QList<QStringList> answers {
        {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")},
        {QStringLiteral("d")},
        {},
        {QStringLiteral("e"), QStringLiteral("f")},
    };
    for (const QStringList &answer : answers) {
        server.answerWith(stringArray(answer));
        tavrel.sendCommand(QStringLiteral("list"), QString());
        QVERIFY(waitForAnswers(tavrel));
        QCOMPARE(tavrel.lastCommandAnswer(), answer);
    }
}

void tst_Tavrel::faultLine_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected"); // empty: any one-line text from the library or Qt

    QTest::addRow("code 5, text abc")
        << int(Command)
        << TestHttpServer::answer(TestHttpServer::faultFor(5, QStringLiteral("abc"))) << 5
        << QStringLiteral("An Error occured, Code:  5  Message:  \"abc\" ");
    QTest::addRow("negative code")
        << int(Connection)
        << TestHttpServer::answer(TestHttpServer::faultFor(-12, QStringLiteral("minus"))) << -12
        << expectedFaultLine(-12, QStringLiteral("minus"));
    QTest::addRow("quote in the text unescaped")
        << int(Command)
        << TestHttpServer::answer(TestHttpServer::faultFor(3, QStringLiteral("say \"hi\""))) << 3
        << expectedFaultLine(3, QStringLiteral("say \"hi\""));
    QTest::addRow("empty text") << int(Command)
                                << TestHttpServer::answer(TestHttpServer::faultFor(0, QString()))
                                << 0 << expectedFaultLine(0, QString());
    QTest::addRow("fault of the probe's query")
        << int(Probe) << TestHttpServer::answer(TestHttpServer::faultFor(9, QStringLiteral("who?")))
        << 9 << expectedFaultLine(9, QStringLiteral("who?"));
    QTest::addRow("answer that is not XML-RPC")
        << int(Command) << TestHttpServer::answer(QByteArrayLiteral("<html/>")) << -32600
        << QString();
    QTest::addRow("answer that is not XML")
        << int(Probe) << TestHttpServer::answer(QByteArrayLiteral("ERROR")) << -32700 << QString();
    TestHttpServer::Reply close;
    close.action = TestHttpServer::Reply::Close;
    QTest::addRow("server closes the connection") << int(Command) << close << -32300 << QString();
    QTest::addRow("HTTP error status")
        << int(Connection) << TestHttpServer::answer(QByteArrayLiteral("busy"), 503) << -32300
        << QString();
}

void tst_Tavrel::faultLine()
{
    QFETCH(int, operation);
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(int, code);
    QFETCH(QString, expected);

    TestHttpServer server;
    QVERIFY(server.start());
    const QStringList kept {QStringLiteral("keep"), QStringLiteral("me")};
    bool failing = false;
    server.setHandler([&](const TestHttpServer::Request &request) {
        if (failing)
            return reply;
        if (methodOf(request) == QLatin1String("checkConnection"))
            return TestHttpServer::answer(
                TestHttpServer::responseFor(QStringLiteral("<string>ready 1</string>")));
        return TestHttpServer::answer(stringArray(kept));
    });
    Tavrel tavrel(nullptr, server.serverPort());
    tavrel.openTcp();
    tavrel.sendCommand(QStringLiteral("list"), QString());
    QVERIFY(waitForAnswers(tavrel));
    QCOMPARE(tavrel.lastConnectionAnswer(), QStringLiteral("ready"));
    QCOMPARE(tavrel.lastCommandAnswer(), kept);

    failing = true;
    switch (operation) {
    case Probe:
        QVERIFY(tavrel.checkTcp());
        break;
    case Connection:
        tavrel.openTcp();
        break;
    case Command:
        tavrel.sendCommand(QStringLiteral("fail"), QStringLiteral("now"));
        break;
    }
    QVERIFY(m_log.waitForMessages(1));
    QVERIFY(waitForAnswers(tavrel));

    QCOMPARE(m_log.messages.size(), 1);
    if (expected.isEmpty()) {
        const QRegularExpression line(
            QStringLiteral("^An Error occured, Code:  %1  Message:  \"[^\"\n]+\" $").arg(code));
        QVERIFY2(line.match(m_log.messages.at(0)).hasMatch(), qPrintable(m_log.messages.at(0)));
    } else {
        QCOMPARE(m_log.messages.at(0), expected);
    }
    QVERIFY(tavrel.lastConnectionAnswer().isNull());
    QCOMPARE(tavrel.lastCommandAnswer(), kept);
}

void tst_Tavrel::faultLineFormat_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    QTest::addRow("zero, null text")
        << 0 << QString() << QStringLiteral("An Error occured, Code:  0  Message:  \"\" ");
    QTest::addRow("smallest int") << INT_MIN << QStringLiteral("low")
                                  << QStringLiteral("An Error occured, Code:  -2147483648  "
                                                    "Message:  \"low\" ");
    QTest::addRow("line feed and backslash kept")
        << 1 << QStringLiteral("a\nb\\c")
        << QStringLiteral("An Error occured, Code:  1  Message:  \"a\nb\\c\" ");
}

void tst_Tavrel::faultLineFormat()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, expected);

    // No network here: the slot is called as the client would call it.
    Tavrel tavrel(nullptr, 1);
    tavrel.faultResponse(code, message);
    QCOMPARE(m_log.messages, QStringList {expected});
    QVERIFY(tavrel.lastConnectionAnswer().isNull());
}

void tst_Tavrel::probesKeepTheirSockets()
{
    TestHttpServer server;
    QVERIFY(server.start());
    const quint16 port = server.serverPort();
    server.answerWith(TestHttpServer::responseFor(QStringLiteral("<string>1 a b</string>")));
    Tavrel tavrel(nullptr, port);

    QVERIFY(tavrel.checkTcp());
    QTcpSocket *first = tavrel.lastProbeSocket();
    QVERIFY(tavrel.checkTcp());
    QTcpSocket *second = tavrel.lastProbeSocket();
    QVERIFY(first && second && first != second);
    QCOMPARE(tavrel.findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly),
        (QList<QTcpSocket *> {first, second}));
    QCOMPARE(first->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(second->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(m_log.waitForMessages(2));
    QVERIFY(waitForAnswers(tavrel));
    QCOMPARE(server.requests().size(), 2);

    // A failed probe keeps its socket too.
    server.close();
    QVERIFY(!tavrel.checkTcp());
    QTcpSocket *third = tavrel.lastProbeSocket();
    QCOMPARE(tavrel.findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly),
        (QList<QTcpSocket *> {first, second, third}));
    QCOMPARE(m_log.messages.size(), 2);
    QCOMPARE(tavrel.findChildren<QuorXmlRpcClient *>().size(), 1);
}

void tst_Tavrel::destroyWithRequestsOutstanding()
{
    TestHttpServer server;
    QVERIFY(server.start());
    bool hang = true;
    server.setHandler([&hang](const TestHttpServer::Request &) {
        TestHttpServer::Reply reply;
        if (hang)
            reply.action = TestHttpServer::Reply::Hang;
        else
            reply.body = TestHttpServer::responseFor(QStringLiteral("<string>1 a b</string>"));
        return reply;
    });

    auto *tavrel = new Tavrel(nullptr, server.serverPort());
    QVERIFY(tavrel->checkTcp());
    tavrel->openTcp();
    tavrel->sendCommand(QStringLiteral("run"), QStringLiteral("x"));
    QTRY_COMPARE(server.requests().size(), 3);
    QPointer<QuorXmlRpcClient> client = tavrel->findChild<QuorXmlRpcClient *>();
    QVERIFY(client);
    QCOMPARE(client->findChildren<QuorObject *>().size(), 3);
    delete tavrel;
    QVERIFY(!client);

    // Answers and a fault arrive after all; a later round trip of another
    // object proves that the event loop has seen whatever they caused.
    server.answerPending(0,
        TestHttpServer::answer(
            TestHttpServer::responseFor(QStringLiteral("<string>1 a b</string>"))));
    server.answerPending(
        1, TestHttpServer::answer(TestHttpServer::faultFor(1, QStringLiteral("late"))));
    server.answerPending(2, TestHttpServer::answer(stringArray({QStringLiteral("late")})));
    hang = false;
    Tavrel other(nullptr, server.serverPort());
    other.sendCommand(QStringLiteral("after"), QString());
    QVERIFY(waitForAnswers(other));
    QCOMPARE(other.lastCommandAnswer(), QStringList {QStringLiteral("1 a b")});
    QCOMPARE(m_log.messages, QStringList());
}

void tst_Tavrel::resourcesStayFlat()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([](const TestHttpServer::Request &request) {
        QDomDocument document;
        document.setContent(request.body);
        const QString argument = document.documentElement()
                                     .firstChildElement(QStringLiteral("params"))
                                     .firstChildElement(QStringLiteral("param"))
                                     .firstChildElement(QStringLiteral("value"))
                                     .text();
        return TestHttpServer::answer(stringArray({argument}));
    });
    Tavrel tavrel(nullptr, server.serverPort());

    const auto roundTrips = [&tavrel](int from, int to) {
        for (int i = from; i < to; ++i) {
            const QString argument = QString::number(i);
            tavrel.sendCommand(QStringLiteral("echo"), argument);
            if (!waitForAnswers(tavrel) || tavrel.lastCommandAnswer() != QStringList {argument})
                return false;
        }
        return true;
    };

    // The first requests start the network machinery that stays for good.
    QVERIFY(roundTrips(0, 20));
    const int threadsBefore = threadCount();
    const int descriptorsBefore = descriptorCount();
    QVERIFY(threadsBefore > 0);
    QVERIFY(descriptorsBefore > 0);

    QVERIFY(roundTrips(20, 1020));
    const int threadsAfter = threadCount();
    const int descriptorsAfter = descriptorCount();

    constexpr int Slack = 4;
    QVERIFY2(threadsAfter <= threadsBefore + Slack,
        qPrintable(QStringLiteral("threads: %1 -> %2").arg(threadsBefore).arg(threadsAfter)));
    QVERIFY2(descriptorsAfter <= descriptorsBefore + Slack,
        qPrintable(
            QStringLiteral("descriptors: %1 -> %2").arg(descriptorsBefore).arg(descriptorsAfter)));
    QCOMPARE(tavrel.findChildren<QuorXmlRpcClient *>().size(), 1);
    QCOMPARE(server.requests().size(), 1020);
    QCOMPARE(m_log.messages, QStringList());
}

QTEST_GUILESS_MAIN(tst_Tavrel)

#include "tst_tavrel.moc"
