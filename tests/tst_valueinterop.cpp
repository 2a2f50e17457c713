// SPDX-License-Identifier: MIT
// Values arrive as they were sent, between this library and independent
// XML-RPC peers, in both directions: exact doubles, characters beyond U+FFFF,
// carriage returns, bodies that declare an encoding they do not use, 64-bit
// integers where both sides take them, and never a document that lacks a
// value it could not write.

#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientoptions.h"
#include "quorxmlrpcserver.h"
#include "rawhttpclient.h"
#include "receiver.h"
#include "testpython.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <climits>

namespace {

QUrl urlOf(const QuorXmlRpcServer &server)
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(server.serverPort()));
}

} // namespace

class tst_ValueInterop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void pythonClientThroughServer();
    void integers64_data();
    void integers64();
    void unwritableCallIsNeverSent_data();
    void unwritableCallIsNeverSent();
    void unwritableAnswerIsInternalError();
    void nilWithBothSidesOn();
    void declaredEncodings_data();
    void declaredEncodings();

private:
    QuorXmlRpcServer m_server;
    int m_echoed = 0;
};

void tst_ValueInterop::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    m_server.registerMethod(
        QStringLiteral("echo"), [this](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            ++m_echoed;
            answer.setValue(params.value(0));
        });
    m_server.registerMethod(QStringLiteral("nothing"),
        [](const QVariantList &, const QuorXmlRpcAnswer &answer) { answer.setValue(QVariant()); });
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
}

void tst_ValueInterop::pythonClientThroughServer()
{
    if (pythonProgram().isEmpty())
        QSKIP("python3 is not installed");
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start(
        pythonProgram(), {QFINDTESTDATA("python/valuepeer.py"), urlOf(m_server).toString()});
    QVERIFY(python.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(python.state(), QProcess::NotRunning, 30000);
    const QList<QByteArray> lines = python.readAllStandardOutput().trimmed().split('\n');
    QVERIFY(lines.size() > 10);
    for (const QByteArray &line : lines)
        QVERIFY2(line.startsWith("ok "), line.constData());
}

void tst_ValueInterop::integers64_data()
{
    QTest::addColumn<bool>("clientI8");
    QTest::addColumn<bool>("serverI8");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("expected"); // invalid: the call ends in a fault
    const QVariant big = QVariant(qlonglong(1) << 40);
    QTest::newRow("both sides on") << true << true << big << big;
    QTest::newRow("smallest") << true << true << QVariant(LLONG_MIN) << QVariant(LLONG_MIN);
    QTest::newRow("unsigned that fits")
        << true << true << QVariant(qulonglong(LLONG_MAX)) << QVariant(LLONG_MAX);
    QTest::newRow("unsigned too large")
        << true << true << QVariant(qulonglong(ULLONG_MAX)) << QVariant();
    QTest::newRow("client off") << false << true << big << QVariant();
    QTest::newRow("server off") << true << false << big << QVariant();
    QTest::newRow("int stays int") << true << true << QVariant(7) << QVariant(7);
}

void tst_ValueInterop::integers64()
{
    QFETCH(bool, clientI8);
    QFETCH(bool, serverI8);
    QFETCH(QVariant, value);
    QFETCH(QVariant, expected);
    m_server.setI8Enabled(serverI8);
    QuorXmlRpcClient client(urlOf(m_server));
    QuorXmlRpcClientOptions::setI8Enabled(&client, clientI8);
    QCOMPARE(QuorXmlRpcClientOptions::isI8Enabled(&client), clientI8);
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("echo"), {value});
    QVERIFY(receiver.waitForDeliveries(1));
    const Delivery &delivery = receiver.deliveries.at(0);
    m_server.setI8Enabled(false);
    QCOMPARE(delivery.isAnswer, expected.isValid());
    if (expected.isValid()) {
        QCOMPARE(delivery.value.userType(), expected.userType());
        QCOMPARE(delivery.value, expected);
    }
}

void tst_ValueInterop::unwritableCallIsNeverSent_data()
{
    QTest::addColumn<QVariantList>("args");
    QTest::newRow("nil in an array") << QVariantList {QVariantList {1, QVariant(), 3}};
    QTest::newRow("nil struct member")
        << QVariantList {QVariantMap {{QStringLiteral("k"), QVariant()}}};
    QTest::newRow("invalid parameter before another") << QVariantList {QVariant(), 2};
    QTest::newRow("64-bit integer without the option") << QVariantList {QVariant(qlonglong(5))};
    QTest::newRow("unsupported type") << QVariantList {QVariant(QStringList {QStringLiteral("a")})};
}

void tst_ValueInterop::unwritableCallIsNeverSent()
{
    QFETCH(QVariantList, args);
    QuorXmlRpcClient client(urlOf(m_server));
    Receiver receiver;
    const int echoedBefore = m_echoed;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Failed to marshal")));
    receiver.callWithReply(client, QStringLiteral("echo"), args);
    QVERIFY(receiver.waitForDeliveries(1));
    const Delivery &delivery = receiver.deliveries.at(0);
    QVERIFY(!delivery.isAnswer);
    QCOMPARE(delivery.code, -32602);
    QVERIFY(delivery.reply);
    // A call that did go out would have been echoed by now.
    QTRY_COMPARE(m_echoed, echoedBefore);
    receiver.callPlain(client, QStringLiteral("echo"), {1});
    QVERIFY(receiver.waitForDeliveries(2));
    QCOMPARE(m_echoed, echoedBefore + 1);
}

void tst_ValueInterop::unwritableAnswerIsInternalError()
{
    QuorXmlRpcClient client(urlOf(m_server));
    Receiver receiver;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Failed to marshal")));
    receiver.callPlain(client, QStringLiteral("nothing"));
    QVERIFY(receiver.waitForDeliveries(1));
    QCOMPARE(receiver.deliveries.at(0).code, -32603);
    QVERIFY(receiver.deliveries.at(0).message.contains(QLatin1String("nothing")));
}

void tst_ValueInterop::nilWithBothSidesOn()
{
    m_server.setNilEnabled(true);
    const auto off = qScopeGuard([this] { m_server.setNilEnabled(false); });
    QuorXmlRpcClient client(urlOf(m_server));
    QuorXmlRpcClientOptions::setNilEnabled(&client, true);
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("echo"),
        {QVariant(QVariantList {1, QVariant(), QVariant::fromValue(nullptr)})});
    QVERIFY(receiver.waitForDeliveries(1));
    receiver.callPlain(client, QStringLiteral("nothing"));
    QVERIFY(receiver.waitForDeliveries(2));
    QVERIFY(receiver.deliveries.at(0).isAnswer);
    QCOMPARE(receiver.deliveries.at(0).value, QVariant(QVariantList {1, QVariant(), QVariant()}));
    QVERIFY(receiver.deliveries.at(1).isAnswer);
    QVERIFY(!receiver.deliveries.at(1).value.isValid());
}

void tst_ValueInterop::declaredEncodings_data()
{
    QTest::addColumn<QByteArray>("declaration");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");
    const QString accented = QString::fromUtf8("Gr\u00fc\u00dfe \U0001F600");
    const QString latin = QString::fromUtf8("Gr\u00fc\u00dfe");
    QTest::newRow("US-ASCII holding UTF-8, as Perl's RPC::XML sends")
        << QByteArray("us-ascii") << accented.toUtf8() << accented;
    QTest::newRow("ASCII alias") << QByteArray("ANSI_X3.4-1968") << accented.toUtf8() << accented;
    QTest::newRow("UTF8 alias") << QByteArray("UTF8") << accented.toUtf8() << accented;
    QTest::newRow("ISO-8859-1") << QByteArray("ISO-8859-1") << latin.toLatin1() << latin;
    QTest::newRow("latin1 alias") << QByteArray("latin1") << latin.toLatin1() << latin;
    QTest::newRow("no declaration") << QByteArray() << accented.toUtf8() << accented;
}

// The same body read by the server, and by the client from a server that
// sends it; both must read the text the body meant.
void tst_ValueInterop::declaredEncodings()
{
    QFETCH(QByteArray, declaration);
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    const QByteArray prolog = declaration.isEmpty()
        ? QByteArray()
        : "<?xml version=\"1.0\" encoding=\"" + declaration + "\"?>\n";
    const QByteArray value = "<value><string>" + text + "</string></value>";

    RawHttpClient raw(m_server.serverPort());
    QVERIFY(raw.waitForConnected());
    raw.write(RawHttp::post(prolog + "<methodCall><methodName>echo</methodName><params><param>"
        + value + "</param></params></methodCall>"));
    QVERIFY(raw.waitForResponses(1));
    // Read as bytes: the test's own DOM reader would drop characters beyond U+FFFF on Qt 5.
    const QByteArray echoed = raw.responses().at(0).body;
    QVERIFY2(echoed.contains("<string>" + expected.toUtf8() + "</string>"), echoed.constData());

    QTcpServer sender;
    QVERIFY(sender.listen(QHostAddress::LocalHost, 0));
    connect(&sender, &QTcpServer::newConnection, &sender, [&] {
        QTcpSocket *socket = sender.nextPendingConnection();
        const QByteArray body = prolog + "<methodResponse><params><param>" + value
            + "</param></params></methodResponse>";
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    });
    QuorXmlRpcClient client(
        QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(sender.serverPort())));
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("any"));
    QVERIFY(receiver.waitForDeliveries(1));
    QCOMPARE(receiver.deliveries.at(0).value.toString(), expected);
}

QTEST_GUILESS_MAIN(tst_ValueInterop)
#include "tst_valueinterop.moc"
