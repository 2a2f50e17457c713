// SPDX-License-Identifier: MIT
#include "quorobject.h"
#include "quorxmlrpcbatch.h"
#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientlimits.h"
#include "quorxmlrpcclientoptions.h"
#include "quorxmlrpcserver.h"
#include "receiver.h"
#include "testhttpserver.h"
#include "testpython.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <memory>

Q_DECLARE_METATYPE(TestHttpServer::Reply)

namespace {

constexpr int TransportError = -32300;
constexpr int NotWellFormed = -32700;
constexpr int NotXmlRpc = -32600;

// How a client is set up (requestHeadersAndBody).
enum Construction { WithUrl, ParentOnlyThenSetUrl, WithUserAgent, SetUserAgent, Both };
// How a fault message is checked: exactly, by its beginning, or against the
// reply's own error text, the network layer's wording (response).
enum Match { Exact, Prefix, ReplyErrorString };
// Which URL a client ends up with (url).
enum UrlCase {
    InvalidSetUrlKeepsPrevious,
    ValidSetUrlReplaces,
    NoUrl,
    TwoArgumentsInvalidUrl,
    ThreeArgumentsInvalidUrl
};
// How a call names what receives its outcome (slotShapes).
enum Shape { SlotPlain, SlotWithReply, Lambdas, LambdasWithReply, MemberFunctions };
// Which server answers a batch (batch).
enum BatchServer { OwnServer, PythonWithMulticall, PythonWithoutMulticall, CannedReply };
// What happens to the SSL errors of a self-signed server (https).
enum Handling { Unhandled, IgnoredByReceiver, TrustedConfiguration };
// How an SCGI server ends its answer (scgiAnswers).
enum ScgiEnd { ScgiClose, ScgiKeepOpen, ScgiEndless };
// Where the client's manager is told to find a proxy (proxies).
enum ProxySetting { ManagerProxy, ManagerProxyFactory };
// A server of Debian's on a socket other than HTTP over TCP (localServers).
enum LocalServer { Supervisord, RtorrentScgiTcp, RtorrentScgiLocal, NoServer };

TestHttpServer::Reply actionReply(TestHttpServer::Reply::Action action, const QByteArray &raw = {})
{
    TestHttpServer::Reply reply;
    reply.action = action;
    reply.raw = raw;
    return reply;
}

quint16 unusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QUrl urlForPort(const QString &scheme, quint16 port)
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2/RPC2").arg(scheme).arg(port));
}

QString describe(const QVariant &value)
{
    QString text;
    QDebug(&text) << value;
    return text;
}

// QVariant's own comparison converts between types; a value that comes back
// from a peer must keep its type as well as its content.
bool sameValue(const QVariant &actual, const QVariant &expected)
{
    if (actual.userType() != expected.userType())
        return false;
    switch (expected.userType()) {
    case QMetaType::QVariantList: {
        const QVariantList a = actual.toList();
        const QVariantList e = expected.toList();
        if (a.size() != e.size())
            return false;
        for (int i = 0; i < a.size(); ++i) {
            if (!sameValue(a.at(i), e.at(i)))
                return false;
        }
        return true;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap a = actual.toMap();
        const QVariantMap e = expected.toMap();
        if (a.keys() != e.keys())
            return false;
        for (auto it = e.cbegin(); it != e.cend(); ++it) {
            if (!sameValue(a.value(it.key()), it.value()))
                return false;
        }
        return true;
    }
    default:
        return actual == expected;
    }
}

} // namespace

class tst_QuorXmlRpcClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void requestHeadersAndBody_data();
    void requestHeadersAndBody();
    void templateChangesAffectOnlyLaterCalls();
    void response_data();
    void response();
    void slotShapes_data();
    void slotShapes();
    void callbacksNeverRunForDestroyedContext();
    void rawHeaderRules_data();
    void rawHeaderRules();
    void batch_data();
    void batch();
    void pendingCallsAnsweredInReverseOrder();
    void answerFraming_data();
    void answerFraming();
    void manyCallsShareFewConnections();
    void replyWithoutCallIsIgnored();
    void destroyingClientEndsPendingCall();
    void url_data();
    void url();
    void refusedConnection();

    void pythonEcho_data();
    void pythonEcho();
    void pythonFault_data();
    void pythonFault();

    void https_data();
    void https();

    void proxies_data();
    void proxies();
    void scgiAnswers_data();
    void scgiAnswers();
    void localServers_data();
    void localServers();

private:
    // Starts the Python peer; port stays 0 on failure.
    void startPeer(QProcess &process, const QStringList &arguments, quint16 *port);
    // The plain HTTP peer, started once and shared by the rows that need it.
    quint16 plainPeerPort();
    // The same with system.multicall, and None written as <nil/>.
    quint16 multicallPeerPort();

    QProcess m_plainPeer;
    quint16 m_plainPeerPort = 0;
    QProcess m_multicallPeer;
    quint16 m_multicallPeerPort = 0;

    QTemporaryDir m_certificateDir;
    QString m_certificatePath;
    QString m_keyPath;
    QSslCertificate m_certificate;
};

void tst_QuorXmlRpcClient::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    qRegisterMetaType<QList<QSslError>>();
    QVERIFY(m_certificateDir.isValid());

    // A self-signed certificate for 127.0.0.1, made fresh for this run.
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty() || !QSslSocket::supportsSsl())
        return;
    m_certificatePath = m_certificateDir.filePath(QStringLiteral("cert.pem"));
    m_keyPath = m_certificateDir.filePath(QStringLiteral("key.pem"));
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(openssl,
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
            QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
            QStringLiteral("-keyout"), m_keyPath, QStringLiteral("-out"), m_certificatePath,
            QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
            QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
            QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")});
    QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));
    QVERIFY2(process.exitCode() == 0, process.readAll().constData());
    QFile file(m_certificatePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    m_certificate = QSslCertificate(&file, QSsl::Pem);
    QVERIFY(!m_certificate.isNull());
}

void tst_QuorXmlRpcClient::cleanupTestCase()
{
    for (QProcess *peer : {&m_plainPeer, &m_multicallPeer}) {
        peer->kill();
        peer->waitForFinished();
    }
}

quint16 tst_QuorXmlRpcClient::plainPeerPort()
{
    if (m_plainPeer.state() != QProcess::Running)
        startPeer(m_plainPeer, {}, &m_plainPeerPort);
    return m_plainPeerPort;
}

quint16 tst_QuorXmlRpcClient::multicallPeerPort()
{
    if (m_multicallPeer.state() != QProcess::Running)
        startPeer(m_multicallPeer, {QStringLiteral("--multicall"), QStringLiteral("--allow-none")},
            &m_multicallPeerPort);
    return m_multicallPeerPort;
}

void tst_QuorXmlRpcClient::startPeer(QProcess &process, const QStringList &arguments, quint16 *port)
{
    *port = startPythonPeer(&process, QFINDTESTDATA("python/xmlrpcpeer.py"), arguments);
}

void tst_QuorXmlRpcClient::requestHeadersAndBody_data()
{
    QTest::addColumn<int>("construction");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QByteArray>("userAgent");
    QTest::addColumn<QByteArray>("body"); // when known to the byte

    QTest::addRow("no parameters") << int(WithUrl) << QStringLiteral("getAppInfo") << QVariantList()
                                   << QByteArray("rododir/0.2")
                                   << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                 "<methodCall>\n"
                                                 " <methodName>getAppInfo</methodName>\n"
                                                 " <params/>\n"
                                                 "</methodCall>\n");
    QTest::addRow("one string parameter")
        << int(WithUrl) << QStringLiteral("open") << QVariantList {QStringLiteral("file")}
        << QByteArray("rododir/0.2")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<methodCall>\n"
                      " <methodName>open</methodName>\n"
                      " <params>\n"
                      "  <param>\n"
                      "   <value>\n"
                      "    <string>file</string>\n"
                      "   </value>\n"
                      "  </param>\n"
                      " </params>\n"
                      "</methodCall>\n");
    QTest::addRow("UTF-8 and markup in parameters, URL set later")
        << int(ParentOnlyThenSetUrl) << QStringLiteral("store")
        << QVariantList {QString::fromUtf8("Grüße € <&> \"q\""), 42, true,
               QVariantList {1.5, QByteArray("\x01\x02", 2)}}
        << QByteArray("rododir/0.2") << QByteArray();
    QTest::addRow("three-argument constructor")
        << int(WithUserAgent) << QStringLiteral("ping") << QVariantList()
        << QByteArray("tester/1.0") << QByteArray();
    QTest::addRow("setUserAgent") << int(SetUserAgent) << QStringLiteral("ping") << QVariantList()
                                  << QByteArray("tester/2.0") << QByteArray();
    QTest::addRow("setUserAgent after three-argument constructor")
        << int(Both) << QStringLiteral("ping") << QVariantList() << QByteArray("tester/3.0")
        << QByteArray();
}

void tst_QuorXmlRpcClient::requestHeadersAndBody()
{
    QFETCH(int, construction);
    QFETCH(QString, method);
    QFETCH(QVariantList, args);
    QFETCH(QByteArray, userAgent);
    QFETCH(QByteArray, body);

    TestHttpServer server;
    QVERIFY(server.start());
    std::unique_ptr<QuorXmlRpcClient> client;
    switch (construction) {
    case WithUrl:
        client = std::make_unique<QuorXmlRpcClient>(server.url());
        break;
    case ParentOnlyThenSetUrl:
        client = std::make_unique<QuorXmlRpcClient>(nullptr);
        client->setUrl(server.url());
        break;
    case WithUserAgent:
        client = std::make_unique<QuorXmlRpcClient>(server.url(), QString::fromLatin1(userAgent));
        break;
    case SetUserAgent:
        client = std::make_unique<QuorXmlRpcClient>(server.url());
        client->setUserAgent(QString::fromLatin1(userAgent));
        break;
    case Both:
        client = std::make_unique<QuorXmlRpcClient>(server.url(), QStringLiteral("first/0"));
        client->setUserAgent(QString::fromLatin1(userAgent));
        break;
    }

    Receiver receiver;
    receiver.callPlain(*client, method, args);
    QVERIFY(receiver.waitForDeliveries(1));
    QVERIFY(receiver.deliveries.at(0).isAnswer);
    QCOMPARE(receiver.deliveries.at(0).value, QVariant(QStringLiteral("ok")));

    QCOMPARE(server.requests().size(), 1);
    const TestHttpServer::Request &request = server.requests().at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, QByteArray("/RPC2"));
    QCOMPARE(request.headers.value("content-type"), QByteArray("text/xml"));
    QCOMPARE(request.headers.value("user-agent"), userAgent);
    QCOMPARE(request.headers.value("host"),
        QByteArray("127.0.0.1:") + QByteArray::number(server.serverPort()));
    QCOMPARE(request.headers.value("content-length").toInt(), request.body.size());
    QuorObject writer;
    QCOMPARE(request.body, writer.prepareCall(method, args).toUtf8());
    if (!body.isEmpty())
        QCOMPARE(request.body, body);
    // Text goes out as UTF-8, with markup escaped.
    if (method == QLatin1String("store"))
        QVERIFY(request.body.contains(QString::fromUtf8("<string>Grüße € &lt;&amp;").toUtf8()));
}

void tst_QuorXmlRpcClient::templateChangesAffectOnlyLaterCalls()
{
    TestHttpServer first;
    TestHttpServer second;
    QVERIFY(first.start());
    QVERIFY(second.start());
    QuorXmlRpcClient client(first.url());
    Receiver receiver;

    receiver.callPlain(client, QStringLiteral("one"));
    client.setUserAgent(QStringLiteral("later/1.0"));
    client.setUrl(second.url());
    receiver.callPlain(client, QStringLiteral("two"));
    QVERIFY(receiver.waitForDeliveries(2));

    QCOMPARE(first.requests().size(), 1);
    QVERIFY(first.requests().at(0).body.contains("<methodName>one</methodName>"));
    QCOMPARE(first.requests().at(0).headers.value("user-agent"), QByteArray("rododir/0.2"));
    QCOMPARE(second.requests().size(), 1);
    QVERIFY(second.requests().at(0).body.contains("<methodName>two</methodName>"));
    QCOMPARE(second.requests().at(0).headers.value("user-agent"), QByteArray("later/1.0"));
}

void tst_QuorXmlRpcClient::response_data()
{
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<bool>("isAnswer");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("match");

    const QByteArray ok = TestHttpServer::responseFor(QStringLiteral("<string>ok</string>"));

    QTest::addRow("string answer")
        << TestHttpServer::answer(
               TestHttpServer::responseFor(QStringLiteral("<string>hello</string>")))
        << true << QVariant(QStringLiteral("hello")) << 0 << QString() << int(Exact);
    QTest::addRow("UTF-8 answer") << TestHttpServer::answer(
        TestHttpServer::responseFor(QString::fromUtf8("<string>Grüße €</string>")))
                                  << true << QVariant(QString::fromUtf8("Grüße €")) << 0
                                  << QString() << int(Exact);
    QTest::addRow("struct answer")
        << TestHttpServer::answer(TestHttpServer::responseFor(
               QStringLiteral("<struct><member><name>a</name><value><int>1</int></value></member>"
                              "</struct>")))
        << true << QVariant(QVariantMap {{QStringLiteral("a"), 1}}) << 0 << QString() << int(Exact);
    QTest::addRow("empty params") << TestHttpServer::answer(
        QByteArrayLiteral("<methodResponse><params/></methodResponse>"))
                                  << true << QVariant() << 0 << QString() << int(Exact);
    // Unless the body is cut at the zero byte, the text after it makes the
    // document not well formed.
    QTest::addRow("zero byte after the document")
        << TestHttpServer::answer(ok + QByteArray("\0<trailing>garbage", 18)) << true
        << QVariant(QStringLiteral("ok")) << 0 << QString() << int(Exact);
    QTest::addRow("zero byte inside the document")
        << TestHttpServer::answer(
               QByteArray("<methodResponse><params><param><value><string>ab\0cd</string>"
                          "</value></param></params></methodResponse>",
                   103))
        << false << QVariant() << NotWellFormed
        << QStringLiteral("parse error: response not well formed at line ") << int(Prefix);
    QTest::addRow("server fault") << TestHttpServer::answer(
        TestHttpServer::faultFor(4, QStringLiteral("Too many <args>")))
                                  << false << QVariant() << 4 << QStringLiteral("Too many <args>")
                                  << int(Exact);
    QTest::addRow("server fault with negative code")
        << TestHttpServer::answer(TestHttpServer::faultFor(-5, QString::fromUtf8("négatif")))
        << false << QVariant() << -5 << QString::fromUtf8("négatif") << int(Exact);
    QTest::addRow("not well formed")
        << TestHttpServer::answer(QByteArrayLiteral("<methodResponse><params>")) << false
        << QVariant() << NotWellFormed
        << QStringLiteral("parse error: response not well formed at line ") << int(Prefix);
    QTest::addRow("empty body") << TestHttpServer::answer(QByteArray()) << false << QVariant()
                                << NotWellFormed
                                << QStringLiteral("parse error: response not well formed at line ")
                                << int(Prefix);
    QTest::addRow("not an XML-RPC response")
        << TestHttpServer::answer(QByteArrayLiteral("<methodResponse><result/></methodResponse>"))
        << false << QVariant() << NotXmlRpc << QStringLiteral("parse error: invalid xml-rpc.")
        << int(Prefix);
    // The status alone decides, even when the body holds a good answer.
    QTest::addRow("HTTP 500 with an answer body")
        << TestHttpServer::answer(ok, 500) << false << QVariant() << TransportError << QString()
        << int(ReplyErrorString);
    QTest::addRow("HTTP 404") << TestHttpServer::answer(QByteArrayLiteral("not here"), 404) << false
                              << QVariant() << TransportError << QString() << int(ReplyErrorString);
    QTest::addRow("connection closed before any answer")
        << actionReply(TestHttpServer::Reply::Close) << false << QVariant() << TransportError
        << QString() << int(ReplyErrorString);
    QTest::addRow("garbage instead of HTTP")
        << actionReply(TestHttpServer::Reply::Raw, QByteArrayLiteral("SMTP ready\r\n\r\n")) << false
        << QVariant() << TransportError << QString() << int(ReplyErrorString);
    QTest::addRow("HTTP/1.0 body ended by closing")
        << actionReply(TestHttpServer::Reply::Raw,
               QByteArrayLiteral("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n") + ok)
        << true << QVariant(QStringLiteral("ok")) << 0 << QString() << int(Exact);
}

void tst_QuorXmlRpcClient::response()
{
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(bool, isAnswer);
    QFETCH(QVariant, value);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(int, match);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([reply](const TestHttpServer::Request &) { return reply; });
    QuorXmlRpcClient client(server.url());
    Receiver receiver;
    QNetworkReply *networkReply = receiver.callWithReply(client, QStringLiteral("answerMe"));
    QVERIFY(networkReply);
    QVERIFY(receiver.waitForDeliveries(1));
    QVERIFY(server.requests().size() >= 1);

    QCOMPARE(receiver.deliveries.size(), 1);
    const Delivery &delivery = receiver.deliveries.at(0);
    QCOMPARE(delivery.reply, networkReply);
    QCOMPARE(delivery.isAnswer, isAnswer);
    if (isAnswer) {
        QVERIFY2(sameValue(delivery.value, value), qPrintable(describe(delivery.value)));
    } else {
        QCOMPARE(delivery.code, code);
        switch (match) {
        case Exact:
            QCOMPARE(delivery.message, message);
            break;
        case Prefix:
            QVERIFY2(delivery.message.startsWith(message), qPrintable(delivery.message));
            break;
        case ReplyErrorString:
            QVERIFY(delivery.replyError != QNetworkReply::NoError);
            QVERIFY(!delivery.message.isEmpty());
            QCOMPARE(delivery.message, delivery.replyErrorString);
            break;
        }
    }
    // The per-call object is gone once it has delivered its one result.
    QVERIFY(client.findChildren<QuorObject *>().isEmpty());
}

void tst_QuorXmlRpcClient::slotShapes_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<bool>("isAnswer");

    const TestHttpServer::Reply answer
        = TestHttpServer::answer(TestHttpServer::responseFor(QStringLiteral("<int>7</int>")));
    const TestHttpServer::Reply serverFault
        = TestHttpServer::answer(TestHttpServer::faultFor(3, QStringLiteral("no")));
    const TestHttpServer::Reply transportFault = actionReply(TestHttpServer::Reply::Close);

    const QList<QPair<Shape, const char *>> shapes {{SlotPlain, "slot without reply"},
        {SlotWithReply, "slot with reply"}, {Lambdas, "lambda without reply"},
        {LambdasWithReply, "lambda with reply"}, {MemberFunctions, "member function"}};
    for (const auto &shape : shapes) {
        QTest::addRow("%s, answer", shape.second) << int(shape.first) << answer << true;
        QTest::addRow("%s, server fault", shape.second) << int(shape.first) << serverFault << false;
        QTest::addRow("%s, transport error", shape.second)
            << int(shape.first) << transportFault << false;
    }
}

void tst_QuorXmlRpcClient::slotShapes()
{
    QFETCH(int, shape);
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(bool, isAnswer);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([reply](const TestHttpServer::Request &) { return reply; });
    QuorXmlRpcClient client(server.url());
    Receiver receiver;
    const QString method = QStringLiteral("shape");
    QNetworkReply *networkReply = nullptr;
    switch (shape) {
    case SlotPlain:
        receiver.callPlain(client, method);
        break;
    case SlotWithReply:
        networkReply = receiver.callWithReply(client, method);
        break;
    case Lambdas:
        client.call(
            method, {}, &receiver,
            [&receiver](const QVariant &value) {
                QVariant copy = value;
                receiver.answer(copy);
            },
            [&receiver](int code, const QString &text) { receiver.fault(code, text); });
        break;
    case LambdasWithReply:
        networkReply = client.call(
            method, {}, &receiver,
            [&receiver](QVariant &value, QNetworkReply *r) { receiver.answerWithReply(value, r); },
            [&receiver](int code, const QString &text, QNetworkReply *r) {
                receiver.faultWithReply(code, text, r);
            });
        break;
    case MemberFunctions:
        networkReply = client.call(
            method, {}, &receiver, &Receiver::answerWithReply, &Receiver::faultWithReply);
        break;
    }
    QVERIFY(receiver.waitForDeliveries(1));

    QCOMPARE(receiver.deliveries.size(), 1);
    const Delivery &delivery = receiver.deliveries.at(0);
    QCOMPARE(delivery.isAnswer, isAnswer);
    QCOMPARE(delivery.reply, networkReply);
    if (isAnswer)
        QCOMPARE(delivery.value, QVariant(7));
    else
        QCOMPARE(delivery.code, reply.action == TestHttpServer::Reply::Close ? TransportError : 3);
}

void tst_QuorXmlRpcClient::callbacksNeverRunForDestroyedContext()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([](const TestHttpServer::Request &) {
        return TestHttpServer::answer(TestHttpServer::responseFor(QStringLiteral("<int>7</int>")));
    });
    QuorXmlRpcClient client(server.url());
    Receiver later;
    auto *context = new QObject;
    int runs = 0;
    client.call(
        QStringLiteral("gone"), {}, context, [&runs](const QVariant &) { ++runs; },
        [&runs](int, const QString &) { ++runs; });
    delete context;
    later.callPlain(client, QStringLiteral("after"));
    QVERIFY(later.waitForDeliveries(1));
    QCOMPARE(runs, 0);
    QTRY_VERIFY(client.findChildren<QuorObject *>().isEmpty());
}

void tst_QuorXmlRpcClient::rawHeaderRules_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("sent"); // the value the server gets; empty for none

    QTest::addRow("an API key") << QByteArray("X-Api-Key") << QByteArray("k") << true
                                << QByteArray("k");
    QTest::addRow("an empty value sends it no more")
        << QByteArray("X-Api-Key") << QByteArray() << true << QByteArray();
    QTest::addRow("a line break cannot smuggle a header")
        << QByteArray("X-Api-Key") << QByteArray("k\r\nX-Evil: 1") << false << QByteArray("old");
    QTest::addRow("a name with a space")
        << QByteArray("X Api") << QByteArray("k") << false << QByteArray();
    QTest::addRow("the transport's own Host")
        << QByteArray("Host") << QByteArray("elsewhere") << false << QByteArray();
    QTest::addRow("the transport's own Content-Length")
        << QByteArray("content-length") << QByteArray("1") << false << QByteArray();
}

void tst_QuorXmlRpcClient::rawHeaderRules()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, sent);

    TestHttpServer server;
    QVERIFY(server.start());
    QuorXmlRpcClient client(server.url());
    QVERIFY(QuorXmlRpcClientOptions::setRawHeader(&client, "X-Api-Key", "old"));
    QCOMPARE(QuorXmlRpcClientOptions::setRawHeader(&client, name, value), accepted);
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("headers"));
    QVERIFY(receiver.waitForDeliveries(1));
    const TestHttpServer::Request &request = server.requests().at(0);
    const QByteArray header = name.toLower() == "x-api-key" ? "x-api-key" : name.toLower();
    if (!accepted && header != "x-api-key") {
        QCOMPARE(request.headers.value("x-api-key"), QByteArray("old"));
        QVERIFY(request.headers.value(header) != value);
    } else {
        QCOMPARE(request.headers.value(header), sent);
    }
    QVERIFY(!request.headers.contains("x-evil"));
}

void tst_QuorXmlRpcClient::batch_data()
{
    QTest::addColumn<int>("serverKind");
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<QStringList>("outcomes");

    const QStringList mixed {
        QStringLiteral("value 1"), QStringLiteral("fault 4 no"), QStringLiteral("value two")};
    const TestHttpServer::Reply none;
    QTest::addRow("own server") << int(OwnServer) << none << true << mixed;
    QTest::addRow("Python with system.multicall")
        << int(PythonWithMulticall) << none << true << mixed;
    QTest::addRow("Python without it: one call after another")
        << int(PythonWithoutMulticall) << none << true << mixed;
    const QString unsupported = QStringLiteral("fault 1 <class 'Exception'>:method "
                                               "\"system.multicall\" is not supported");
    QTest::addRow("Python without it, no fallback")
        << int(PythonWithoutMulticall) << none << false
        << QStringList {unsupported, unsupported, unsupported};
    const QString closed = QStringLiteral("fault -32300 Connection closed");
    QTest::addRow("transport error: every call's fault")
        << int(CannedReply) << actionReply(TestHttpServer::Reply::Close) << true
        << QStringList {closed, closed, closed};
    const QString tooFew
        = QStringLiteral("fault -32600 invalid system.multicall answer: no outcome for this call");
    QTest::addRow("entries of odd shape or missing")
        << int(CannedReply)
        << TestHttpServer::answer(TestHttpServer::responseFor(QStringLiteral(
               "<array><data><value><array><data><value><int>1</int></value></data></array>"
               "</value><value><string>bare</string></value></data></array>")))
        << true << QStringList {QStringLiteral("value 1"), tooFew, tooFew};
    QTest::addRow("bare values, as supervisor answers")
        << int(CannedReply)
        << TestHttpServer::answer(TestHttpServer::responseFor(QStringLiteral(
               "<array><data><value><int>1</int></value><value><struct><member><name>faultCode"
               "</name><value><int>4</int></value></member><member><name>faultString</name>"
               "<value>no</value></member></struct></value><value>two</value></data></array>")))
        << true << mixed;
    QTest::addRow("an answer that is no array")
        << int(CannedReply)
        << TestHttpServer::answer(TestHttpServer::responseFor(QStringLiteral("<int>3</int>")))
        << true << QStringList {tooFew, tooFew, tooFew};
}

void tst_QuorXmlRpcClient::batch()
{
    QFETCH(int, serverKind);
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(bool, fallback);
    QFETCH(QStringList, outcomes);

    QuorXmlRpcServer ownServer;
    TestHttpServer canned;
    QUrl url;
    switch (serverKind) {
    case OwnServer:
        ownServer.registerMethod(
            QStringLiteral("echo"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
                answer.setValue(params.value(0));
            });
        ownServer.registerMethod(
            QStringLiteral("fail"), [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
                answer.setFault(params.value(0).toInt(), params.value(1).toString());
            });
        QVERIFY(ownServer.listen());
        url = urlForPort(QStringLiteral("http"), ownServer.serverPort());
        break;
    case PythonWithMulticall:
    case PythonWithoutMulticall: {
        if (pythonProgram().isEmpty())
            QSKIP("python3 is not installed");
        const quint16 port
            = serverKind == PythonWithMulticall ? multicallPeerPort() : plainPeerPort();
        if (QTest::currentTestFailed())
            return;
        url = urlForPort(QStringLiteral("http"), port);
        break;
    }
    case CannedReply:
        QVERIFY(canned.start());
        canned.setHandler([reply](const TestHttpServer::Request &) { return reply; });
        url = canned.url();
        break;
    }

    QuorXmlRpcClient client(url);
    auto *batch = new QuorXmlRpcBatch(&client);
    batch->setFallbackEnabled(fallback);
    QCOMPARE(batch->add(QStringLiteral("echo"), {1}), 0);
    QCOMPARE(batch->add(QStringLiteral("fail"), {4, QStringLiteral("no")}), 1);
    QCOMPARE(batch->add(QStringLiteral("echo"), {QStringLiteral("two")}), 2);
    QSignalSpy finished(batch, &QuorXmlRpcBatch::finished);
    batch->send();
    QCOMPARE(batch->add(QStringLiteral("late"), {}), -1);
    QVERIFY(finished.wait());
    QVERIFY(batch->isFinished());

    QStringList actual;
    for (int i = 0; i < batch->count(); ++i) {
        actual.append(batch->isFault(i)
                ? QStringLiteral("fault %1 %2").arg(batch->faultCode(i)).arg(batch->faultString(i))
                : QStringLiteral("value %1").arg(batch->value(i).toString()));
    }
    QCOMPARE(actual, outcomes);
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 1);
}

// However a server frames its answer, the client reads the same document.
void tst_QuorXmlRpcClient::answerFraming_data()
{
    QTest::addColumn<QByteArray>("raw");
    const QByteArray body = TestHttpServer::responseFor(QStringLiteral("<string>framed</string>"));
    const auto chunked = [&body](const QByteArray &extension, const QByteArray &trailer) {
        QByteArray text;
        for (int start = 0; start < body.size(); start += 40) {
            const QByteArray chunk = body.mid(start, 40);
            text += QByteArray::number(chunk.size(), 16) + extension + "\r\n" + chunk + "\r\n";
        }
        return text + "0\r\n" + trailer + "\r\n";
    };
    QTest::addRow("Content-Length") << TestHttpServer::head(200, body.size()) + body;
    QTest::addRow("header names in lower case")
        << "HTTP/1.1 200 OK\r\ncontent-type: text/xml\r\ncontent-length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    QTest::addRow("chunked") << TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n")
            + chunked(QByteArray(), QByteArray());
    QTest::addRow("chunked, with extensions and a trailer")
        << TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n")
            + chunked(";name=value", "X-Checked: yes\r\n");
    QTest::addRow("delimited by the end of the connection")
        << TestHttpServer::head(200, -1, QByteArray(), "text/xml", false) + body;
    QTest::addRow("HTTP/1.0 without keep-alive")
        << "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + body;
    QTest::addRow("100 Continue first")
        << "HTTP/1.1 100 Continue\r\n\r\n" + TestHttpServer::head(200, body.size()) + body;
}

void tst_QuorXmlRpcClient::answerFraming()
{
    QFETCH(QByteArray, raw);
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&raw](const TestHttpServer::Request &) {
        TestHttpServer::Reply reply;
        reply.action = TestHttpServer::Reply::Raw;
        reply.raw = raw;
        return reply;
    });
    QuorXmlRpcClient client(server.url());
    Receiver receiver;
    // Twice: the second call finds the first one's connection gone or reusable.
    for (int call = 1; call <= 2; ++call) {
        receiver.callPlain(client, QStringLiteral("framing"));
        QVERIFY(receiver.waitForDeliveries(call));
        QVERIFY2(
            receiver.deliveries.last().isAnswer, qPrintable(receiver.deliveries.last().message));
        QCOMPARE(receiver.deliveries.last().value, QVariant(QStringLiteral("framed")));
    }
}

// Calls made at once wait for one of a few connections rather than each
// opening its own, and all of them are answered.
void tst_QuorXmlRpcClient::manyCallsShareFewConnections()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([](const TestHttpServer::Request &request) {
        return TestHttpServer::answer(TestHttpServer::responseFor(
            QStringLiteral("<int>%1</int>").arg(request.body.count("<int>"))));
    });
    QuorXmlRpcClient client(server.url());
    Receiver receiver;
    const int calls = 40;
    for (int i = 0; i < calls; ++i)
        receiver.callPlain(client, QStringLiteral("count"), {1});
    QVERIFY(receiver.waitForDeliveries(calls));
    for (const Delivery &delivery : qAsConst(receiver.deliveries))
        QCOMPARE(delivery.value, QVariant(1));
    QVERIFY2(server.connectionCount() <= 6, qPrintable(QString::number(server.connectionCount())));
    // Kept alive: later calls open nothing new.
    const int connections = server.connectionCount();
    receiver.callPlain(client, QStringLiteral("count"), {1});
    QVERIFY(receiver.waitForDeliveries(calls + 1));
    QCOMPARE(server.connectionCount(), connections);
}

void tst_QuorXmlRpcClient::pendingCallsAnsweredInReverseOrder()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([](const TestHttpServer::Request &) {
        TestHttpServer::Reply reply;
        reply.action = TestHttpServer::Reply::Hang;
        return reply;
    });
    QuorXmlRpcClient client(server.url());

    const QStringList methods {
        QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")};
    QStringList arrivalOrder;
    std::vector<std::unique_ptr<Receiver>> receivers;
    QList<QNetworkReply *> replies;
    for (const QString &method : methods) {
        receivers.push_back(std::make_unique<Receiver>());
        receivers.back()->setObjectName(method);
        receivers.back()->arrivalOrder = &arrivalOrder;
        replies.append(receivers.back()->callWithReply(client, method));
    }
    QCOMPARE(client.findChildren<QuorObject *>().size(), 3);
    QTRY_COMPARE(server.requests().size(), 3);

    // Answer the last call first; the second call gets a fault.
    for (int call = 2; call >= 0; --call) {
        const QByteArray name = "<methodName>" + methods.at(call).toUtf8() + "</methodName>";
        int index = -1;
        for (int i = 0; i < server.requests().size(); ++i) {
            if (server.requests().at(i).body.contains(name))
                index = i;
        }
        QVERIFY(index >= 0);
        const QByteArray body = call == 1
            ? TestHttpServer::faultFor(call, methods.at(call))
            : TestHttpServer::responseFor(
                QStringLiteral("<string>%1</string>").arg(methods.at(call)));
        server.answerPending(index, TestHttpServer::answer(body));
        QVERIFY(receivers.at(call)->waitForDeliveries(1));
    }

    QCOMPARE(arrivalOrder, QStringList({methods.at(2), methods.at(1), methods.at(0)}));
    for (int call = 0; call < 3; ++call) {
        const Receiver &receiver = *receivers.at(call);
        QCOMPARE(receiver.deliveries.size(), 1);
        const Delivery &delivery = receiver.deliveries.at(0);
        QCOMPARE(delivery.reply, replies.at(call));
        QCOMPARE(delivery.isAnswer, call != 1);
        if (delivery.isAnswer) {
            QCOMPARE(delivery.value, QVariant(methods.at(call)));
        } else {
            QCOMPARE(delivery.code, call);
            QCOMPARE(delivery.message, methods.at(call));
        }
    }
    QVERIFY(client.findChildren<QuorObject *>().isEmpty());
}

void tst_QuorXmlRpcClient::replyWithoutCallIsIgnored()
{
    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray foreignAnswer
        = TestHttpServer::responseFor(QStringLiteral("<string>foreign</string>"));
    server.setHandler([&foreignAnswer](const TestHttpServer::Request &request) {
        TestHttpServer::Reply reply;
        if (request.body.contains("<methodName>pending</methodName>"))
            reply.action = TestHttpServer::Reply::Hang;
        else
            reply.body = foreignAnswer;
        return reply;
    });
    QuorXmlRpcClient client(server.url());
    QSignalSpy sslErrorsSpy(&client, &QuorXmlRpcClient::sslErrors);
    auto *manager
        = client.findChild<QNetworkAccessManager *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(manager);

    // A call stays pending while a reply that the client never made finishes.
    Receiver receiver;
    QPointer<QNetworkReply> routed = receiver.callWithReply(client, QStringLiteral("pending"));
    QTRY_COMPARE(server.requests().size(), 1);
    QPointer<QuorObject> callObject = client.findChild<QuorObject *>();
    QVERIFY(callObject);

    QSignalSpy finishedSpy(manager, &QNetworkAccessManager::finished);
    QNetworkRequest request(server.url());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/xml"));
    QPointer<QNetworkReply> foreign = manager->post(request, QByteArray("<methodCall/>"));
    QVERIFY(foreign);
    QTRY_COMPARE(finishedSpy.size(), 1);
    QCOMPARE(finishedSpy.at(0).at(0).value<QNetworkReply *>(), foreign.data());

    // Nothing reached the receiver, the pending call is untouched, and the
    // foreign reply is neither read nor scheduled for deletion.
    QCOMPARE(receiver.deliveries.size(), 0);
    QVERIFY(callObject);
    QCOMPARE(client.findChildren<QuorObject *>().size(), 1);

    server.answerPending(0,
        TestHttpServer::answer(
            TestHttpServer::responseFor(QStringLiteral("<string>routed</string>"))));
    QVERIFY(receiver.waitForDeliveries(1));
    QCOMPARE(receiver.deliveries.at(0).value, QVariant(QStringLiteral("routed")));
    QCOMPARE(receiver.deliveries.at(0).reply, routed.data());
    QVERIFY(!callObject);

    // The routed reply is deleted later; by then the foreign one would be too.
    QTRY_VERIFY(!routed);
    QVERIFY(foreign);
    QCOMPARE(foreign->bytesAvailable(), qint64(foreignAnswer.size()));
    QCOMPARE(foreign->readAll(), foreignAnswer);
    QCOMPARE(receiver.deliveries.size(), 1);
    QCOMPARE(sslErrorsSpy.size(), 0);
    delete foreign.data();
}

void tst_QuorXmlRpcClient::destroyingClientEndsPendingCall()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([](const TestHttpServer::Request &request) {
        TestHttpServer::Reply reply;
        if (request.body.contains("<methodName>hang</methodName>"))
            reply.action = TestHttpServer::Reply::Hang;
        else
            reply.body = TestHttpServer::responseFor(QStringLiteral("<string>later</string>"));
        return reply;
    });

    auto *client = new QuorXmlRpcClient(server.url());
    Receiver receiver;
    QPointer<QNetworkReply> reply = receiver.callWithReply(*client, QStringLiteral("hang"));
    QTRY_COMPARE(server.requests().size(), 1);
    QPointer<QuorObject> callObject = client->findChild<QuorObject *>();
    QVERIFY(callObject);
    QVERIFY(reply);

    delete client;
    QVERIFY(!callObject);
    QVERIFY(!reply);

    // The answer comes after all; a later round trip on a fresh client proves
    // that the event loop has seen whatever it caused.
    server.answerPending(0,
        TestHttpServer::answer(
            TestHttpServer::responseFor(QStringLiteral("<string>late</string>"))));
    QuorXmlRpcClient other(server.url());
    Receiver otherReceiver;
    otherReceiver.callPlain(other, QStringLiteral("after"));
    QVERIFY(otherReceiver.waitForDeliveries(1));
    QCOMPARE(otherReceiver.deliveries.at(0).value, QVariant(QStringLiteral("later")));
    QCOMPARE(receiver.deliveries.size(), 0);
}

void tst_QuorXmlRpcClient::url_data()
{
    QTest::addColumn<int>("construction");
    QTest::addColumn<bool>("reachesServer");

    QTest::addRow("setUrl with an invalid URL keeps the previous one")
        << int(InvalidSetUrlKeepsPrevious) << true;
    QTest::addRow("setUrl with a valid URL replaces the previous one")
        << int(ValidSetUrlReplaces) << true;
    QTest::addRow("no URL") << int(NoUrl) << false;
    QTest::addRow("two-argument constructor, invalid URL") << int(TwoArgumentsInvalidUrl) << false;
    QTest::addRow("three-argument constructor, invalid URL")
        << int(ThreeArgumentsInvalidUrl) << false;
}

void tst_QuorXmlRpcClient::url()
{
    QFETCH(int, construction);
    QFETCH(bool, reachesServer);

    TestHttpServer server;
    QVERIFY(server.start());
    const QUrl invalid(QStringLiteral("http://127.0.0.1:99999/RPC2"));
    QVERIFY2(!invalid.isValid(), qPrintable(invalid.toString()));

    std::unique_ptr<QuorXmlRpcClient> client;
    switch (construction) {
    case InvalidSetUrlKeepsPrevious:
        client = std::make_unique<QuorXmlRpcClient>(server.url());
        client->setUrl(invalid);
        break;
    case ValidSetUrlReplaces:
        client
            = std::make_unique<QuorXmlRpcClient>(urlForPort(QStringLiteral("http"), unusedPort()));
        client->setUrl(server.url());
        break;
    case NoUrl:
        client = std::make_unique<QuorXmlRpcClient>(nullptr);
        break;
    case TwoArgumentsInvalidUrl:
        client = std::make_unique<QuorXmlRpcClient>(invalid);
        break;
    case ThreeArgumentsInvalidUrl:
        client = std::make_unique<QuorXmlRpcClient>(invalid, QStringLiteral("agent/1"));
        break;
    }

    Receiver receiver;
    QNetworkReply *reply = receiver.callWithReply(*client, QStringLiteral("where"));
    QVERIFY(receiver.waitForDeliveries(1));
    const Delivery &delivery = receiver.deliveries.at(0);
    QCOMPARE(delivery.reply, reply);
    if (reachesServer) {
        QVERIFY(delivery.isAnswer);
        QCOMPARE(delivery.value, QVariant(QStringLiteral("ok")));
        QCOMPARE(server.requests().size(), 1);
    } else {
        QVERIFY(!delivery.isAnswer);
        QCOMPARE(delivery.code, TransportError);
        QVERIFY(!delivery.message.isEmpty());
        QCOMPARE(delivery.message, delivery.replyErrorString);
        QCOMPARE(server.requests().size(), 0);
    }
}

void tst_QuorXmlRpcClient::refusedConnection()
{
    const quint16 port = unusedPort();
    QVERIFY(port != 0);
    QuorXmlRpcClient client(urlForPort(QStringLiteral("http"), port));
    Receiver receiver;
    QNetworkReply *reply = receiver.callWithReply(client, QStringLiteral("anyone"));
    QVERIFY(receiver.waitForDeliveries(1));

    QCOMPARE(receiver.deliveries.size(), 1);
    const Delivery &delivery = receiver.deliveries.at(0);
    QVERIFY(!delivery.isAnswer);
    QCOMPARE(delivery.reply, reply);
    QCOMPARE(delivery.code, TransportError);
    QCOMPARE(delivery.replyError, QNetworkReply::ConnectionRefusedError);
    QCOMPARE(delivery.message, delivery.replyErrorString);
    QVERIFY(client.findChildren<QuorObject *>().isEmpty());
}

void tst_QuorXmlRpcClient::pythonEcho_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("nil"); // both sides write no value as <nil/>

    const auto row = [](const char *name, const QVariant &value) {
        QTest::addRow("%s", name) << value << value << false;
    };
    row("boolean true", true);
    row("boolean false", false);
    row("int", 42);
    row("smallest int", INT_MIN);
    row("largest int", INT_MAX);
    row("double", 3.25);
    row("negative double", -0.5);
    row("double needing seventeen digits", 1.0 / 3);
    row("pi", 3.141592653589793);
    row("price", 1234567.89);
    row("huge double", 1e300);
    row("tiny negative double", -1.5e-300);
    row("emoji", QStringLiteral("smile \U0001F600"));
    row("CJK extension B and a mathematical letter", QStringLiteral("\U00020000 \U0001D400"));
    row("carriage returns", QStringLiteral("a\r\nb\r"));
    row("ASCII string", QStringLiteral("hello world"));
    row("non-ASCII string", QString::fromUtf8("Grüße, Καλημέρα, 日本語 €"));
    row("markup characters", QStringLiteral("<a href=\"x\">&amp; 'q'</a> ]]>"));
    row("empty string", QString(""));
    // The reader keeps no text node that is only whitespace.
    QTest::addRow("whitespace-only string arrives empty")
        << QVariant(QStringLiteral("  ")) << QVariant(QString("")) << false;
    row("base64", QByteArray("\x00\x01\xfe\xff binary \n", 13));
    row("empty base64", QByteArray(""));
    row("dateTime", QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58)));
    row("array", QVariantList {1, QStringLiteral("two"), 3.5, true});
    row("empty array", QVariantList());
    row("struct",
        QVariantMap {{QStringLiteral("name"), QString::fromUtf8("Zoë")},
            {QStringLiteral("count"), 3}, {QStringLiteral("ok"), false}});
    row("empty struct", QVariantMap());
    row("nested",
        QVariantList {QVariantMap {{QStringLiteral("list"), QVariantList {1, QVariantList {2}}},
                          {QStringLiteral("when"), QDateTime(QDate(1999, 12, 31), QTime(0, 0, 1))},
                          {QStringLiteral("data"), QByteArray("xyz")}},
            QStringLiteral("tail")});
    QTest::addRow("nil among items, with allow_none")
        << QVariant(QVariantList {1, QVariant(), QVariantMap {{QStringLiteral("k"), QVariant()}}})
        << QVariant(QVariantList {1, QVariant(), QVariantMap {{QStringLiteral("k"), QVariant()}}})
        << true;
    QTest::addRow("null pointer is nil, with allow_none")
        << QVariant::fromValue(nullptr) << QVariant() << true;
}

void tst_QuorXmlRpcClient::pythonEcho()
{
    QFETCH(QVariant, value);
    QFETCH(QVariant, expected);
    QFETCH(bool, nil);
    if (pythonProgram().isEmpty())
        QSKIP("python3 is not installed");

    const quint16 port = nil ? multicallPeerPort() : plainPeerPort();
    if (QTest::currentTestFailed())
        return;

    QuorXmlRpcClient client(urlForPort(QStringLiteral("http"), port));
    QuorXmlRpcClientOptions::setNilEnabled(&client, nil);
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("echo"), {value});
    QVERIFY(receiver.waitForDeliveries(1));
    const Delivery &delivery = receiver.deliveries.at(0);
    QVERIFY2(delivery.isAnswer, qPrintable(delivery.message));
    QVERIFY2(sameValue(delivery.value, expected),
        qPrintable(describe(delivery.value) + QStringLiteral(" != ") + describe(expected)));
}

void tst_QuorXmlRpcClient::pythonFault_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("exact");

    QTest::addRow("fault raised by the method")
        << QStringLiteral("fail") << QVariantList {4, QStringLiteral("Too many parameters")} << 4
        << QStringLiteral("Too many parameters") << true;
    QTest::addRow("negative fault code")
        << QStringLiteral("fail") << QVariantList {-32601, QStringLiteral("custom")} << -32601
        << QStringLiteral("custom") << true;
    QTest::addRow("fault text with markup and non-ASCII")
        << QStringLiteral("fail") << QVariantList {7, QString::fromUtf8("<bad> & \"Grüße\"")} << 7
        << QString::fromUtf8("<bad> & \"Grüße\"") << true;
    QTest::addRow("unknown method") << QStringLiteral("nope") << QVariantList() << 1
                                    << QStringLiteral("method \"nope\" is not supported") << false;
    QTest::addRow("wrong number of arguments")
        << QStringLiteral("echo") << QVariantList() << 1 << QStringLiteral("TypeError") << false;
}

void tst_QuorXmlRpcClient::pythonFault()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(bool, exact);
    if (pythonProgram().isEmpty())
        QSKIP("python3 is not installed");

    const quint16 port = plainPeerPort();
    if (QTest::currentTestFailed())
        return;

    QuorXmlRpcClient client(urlForPort(QStringLiteral("http"), port));
    Receiver receiver;
    receiver.callPlain(client, method, args);
    QVERIFY(receiver.waitForDeliveries(1));
    QCOMPARE(receiver.deliveries.size(), 1);
    const Delivery &delivery = receiver.deliveries.at(0);
    QVERIFY(!delivery.isAnswer);
    QCOMPARE(delivery.code, code);
    if (exact)
        QCOMPARE(delivery.message, message);
    else
        QVERIFY2(delivery.message.contains(message), qPrintable(delivery.message));
}

void tst_QuorXmlRpcClient::https_data()
{
    QTest::addColumn<int>("handling");
    QTest::addColumn<bool>("isAnswer");
    QTest::addColumn<bool>("sslErrorsEmitted");

    QTest::addRow("errors not handled") << int(Unhandled) << false << true;
    QTest::addRow("receiver ignores the errors") << int(IgnoredByReceiver) << true << true;
    QTest::addRow("configuration trusts the certificate")
        << int(TrustedConfiguration) << true << false;
}

void tst_QuorXmlRpcClient::https()
{
    QFETCH(int, handling);
    QFETCH(bool, isAnswer);
    QFETCH(bool, sslErrorsEmitted);
    if (m_certificate.isNull())
        QSKIP("no TLS support or no openssl to make a certificate");
    if (pythonProgram().isEmpty())
        QSKIP("python3 is not installed");

    QProcess peer;
    auto killPeer = qScopeGuard([&peer] {
        peer.kill();
        peer.waitForFinished();
    });
    quint16 port = 0;
    startPeer(peer,
        {QStringLiteral("--cert"), m_certificatePath, QStringLiteral("--key"), m_keyPath}, &port);
    if (QTest::currentTestFailed())
        return;

    QuorXmlRpcClient client(urlForPort(QStringLiteral("https"), port));
    QSignalSpy sslErrorsSpy(&client, &QuorXmlRpcClient::sslErrors);
    Receiver receiver;
    if (handling == IgnoredByReceiver) {
        connect(&client, &QuorXmlRpcClient::sslErrors, &receiver,
            [](QNetworkReply *reply, const QList<QSslError> &) { reply->ignoreSslErrors(); });
    } else if (handling == TrustedConfiguration) {
        QSslConfiguration configuration = client.sslConfiguration();
        configuration.setCaCertificates({m_certificate});
        client.setSslConfiguration(configuration);
        QCOMPARE(
            client.sslConfiguration().caCertificates(), QList<QSslCertificate> {m_certificate});
    }

    QNetworkReply *reply
        = receiver.callWithReply(client, QStringLiteral("echo"), {QStringLiteral("secret")});
    QVERIFY(receiver.waitForDeliveries(1));
    QCOMPARE(receiver.deliveries.size(), 1);
    const Delivery &delivery = receiver.deliveries.at(0);
    QCOMPARE(delivery.reply, reply);

    if (sslErrorsEmitted) {
        QCOMPARE(sslErrorsSpy.size(), 1);
        QCOMPARE(sslErrorsSpy.at(0).at(0).value<QNetworkReply *>(), reply);
        const auto errors = sslErrorsSpy.at(0).at(1).value<QList<QSslError>>();
        QVERIFY(!errors.isEmpty());
        QCOMPARE(errors.at(0).certificate(), m_certificate);
    } else {
        QCOMPARE(sslErrorsSpy.size(), 0);
    }
    QCOMPARE(delivery.isAnswer, isAnswer);
    if (isAnswer) {
        QCOMPARE(delivery.value, QVariant(QStringLiteral("secret")));
    } else {
        QCOMPARE(delivery.code, TransportError);
        QCOMPARE(delivery.replyError, QNetworkReply::SslHandshakeFailedError);
        QCOMPARE(delivery.message, delivery.replyErrorString);
    }
}

void tst_QuorXmlRpcClient::scgiAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("outcome"); // the start of it

    const QByteArray body = TestHttpServer::responseFor(QStringLiteral("<string>ok</string>"));
    const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    QTest::addRow("Status and Content-Length, as rtorrent answers")
        << "Status: 200 OK\r\nContent-Type: text/xml\r\n" + length + "\r\n" + body
        << int(ScgiKeepOpen) << QStringLiteral("answer ok");
    QTest::addRow("neither: 200, the body until the end")
        << "Content-Type: text/xml\r\n\r\n" + body << int(ScgiClose) << QStringLiteral("answer ok");
    QTest::addRow("an HTTP status line, as some servers send") << "HTTP/1.1 200 OK\r\n" + length
            + "\r\n" + body << int(ScgiKeepOpen) << QStringLiteral("answer ok");
    QTest::addRow("Status 500") << QByteArray("Status: 500 Broken\r\nContent-Length: 2\r\n\r\nno")
                                << int(ScgiKeepOpen)
                                << QStringLiteral("fault -32300 Error transferring scgi://");
    QTest::addRow("closed before any answer")
        << QByteArray() << int(ScgiClose) << QStringLiteral("fault -32300 Connection closed");
    QTest::addRow("an endless head") << QByteArray("X-Pad: ") << int(ScgiEndless)
                                     << QStringLiteral("fault -32300 Invalid HTTP response header");
    QTest::addRow("an endless body, maximum size")
        << QByteArray("Content-Type: text/xml\r\n\r\n") << int(ScgiEndless)
        << QStringLiteral("fault -32300 response larger than 1048576 bytes");
    QTest::addRow("silence, timeout") << QByteArray() << int(ScgiKeepOpen)
                                      << QStringLiteral("fault -32300 timed out after 500 ms");
}

// An SCGI server's answers, odd and hostile, over a Unix socket, under the
// client's limits; the server checks the request's netstring.
void tst_QuorXmlRpcClient::scgiAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, end);
    QFETCH(QString, outcome);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QLocalServer server;
    QVERIFY(server.listen(dir.filePath(QStringLiteral("scgi.sock"))));
    QByteArray request;
    connect(&server, &QLocalServer::newConnection, this, [&] {
        QLocalSocket *socket = server.nextPendingConnection();
        connect(socket, &QLocalSocket::readyRead, socket, [&, socket] {
            request += socket->readAll();
            const int colon = request.indexOf(':');
            const int headSize = request.left(colon).toInt();
            const QList<QByteArray> fields = request.mid(colon + 1, headSize).split('\0');
            if (colon < 0 || request.size() < colon + 2 + headSize + fields.value(1).toInt())
                return;
            socket->write(answer);
            if (end == ScgiClose) {
                socket->disconnectFromServer();
            } else if (end == ScgiEndless) {
                const auto more = [socket] {
                    if (socket->bytesToWrite() < 65536)
                        socket->write(QByteArray(65536, 'x'));
                };
                connect(socket, &QLocalSocket::bytesWritten, socket, more);
                more();
            }
        });
    });

    QuorXmlRpcClient client(QUrl(QStringLiteral("scgi://") + server.fullServerName()));
    QuorXmlRpcClientLimits::setTimeout(&client, 500);
    QuorXmlRpcClientLimits::setMaximumResponseSize(&client, 1024 * 1024);
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("echo"), {QStringLiteral("ok")});
    QVERIFY(receiver.waitForDeliveries(1));
    const Delivery &delivery = receiver.deliveries.at(0);
    const QString actual = delivery.isAnswer
        ? QStringLiteral("answer ") + delivery.value.toString()
        : QStringLiteral("fault %1 %2").arg(delivery.code).arg(delivery.message);
    QVERIFY2(actual.startsWith(outcome), qPrintable(actual));

    // CONTENT_LENGTH first, then SCGI, the client's own headers as CGI variables.
    const int colon = request.indexOf(':');
    const QByteArray head = request.mid(colon + 1, request.left(colon).toInt());
    const QByteArray callBody = request.mid(colon + 2 + head.size());
    const QList<QByteArray> fields = head.split('\0');
    QCOMPARE(fields.mid(0, 6),
        (QList<QByteArray> {"CONTENT_LENGTH", QByteArray::number(callBody.size()), "SCGI", "1",
            "REQUEST_METHOD", "POST"}));
    const int contentType = int(fields.indexOf("CONTENT_TYPE"));
    QVERIFY(contentType > 0 && contentType % 2 == 0);
    QCOMPARE(fields.value(contentType + 1), QByteArray("text/xml"));
    QVERIFY(fields.contains("HTTP_USER_AGENT"));
    QVERIFY(callBody.startsWith("<?xml"));
}

// One proxy for every URL, as a factory gives it.
class OneProxyFactory : public QNetworkProxyFactory
{
public:
    explicit OneProxyFactory(const QNetworkProxy &proxy)
        : m_proxy(proxy)
    { }
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &) override { return {m_proxy}; }

private:
    QNetworkProxy m_proxy;
};

void tst_QuorXmlRpcClient::proxies_data()
{
    QTest::addColumn<int>("setting");
    QTest::addRow("the manager's own proxy") << int(ManagerProxy);
    QTest::addRow("the manager's proxy factory") << int(ManagerProxyFactory);
}

// A proxy that the client's manager would take is taken, whatever the host.
void tst_QuorXmlRpcClient::proxies()
{
    QFETCH(int, setting);
    TestHttpServer proxyServer;
    QVERIFY(proxyServer.start());
    proxyServer.answerWith(TestHttpServer::responseFor(QStringLiteral("<string>proxied</string>")));
    const QUrl url = urlForPort(QStringLiteral("http"), unusedPort());
    QuorXmlRpcClient client(url);
    auto *manager = client.findChild<QNetworkAccessManager *>();
    const QNetworkProxy proxy(
        QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxyServer.serverPort());
    if (setting == ManagerProxy)
        manager->setProxy(proxy);
    else
        manager->setProxyFactory(new OneProxyFactory(proxy));

    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("echo"));
    QVERIFY(receiver.waitForDeliveries(1));
    QCOMPARE(receiver.deliveries.at(0).value, QVariant(QStringLiteral("proxied")));
    QCOMPARE(proxyServer.requests().size(), 1);
    QCOMPARE(proxyServer.requests().at(0).path, url.toEncoded());
}

void tst_QuorXmlRpcClient::localServers_data()
{
    QTest::addColumn<int>("server");
    QTest::addColumn<QVariantList>("calls"); // each a list: the method, then its arguments
    QTest::addColumn<QStringList>("outcomes"); // patterns; PID stands for the server's

    const QString help = QStringLiteral("system.methodHelp");
    const QVariantList getState {QStringLiteral("supervisor.getState")};
    const QVariantList methodHelp {help, QStringLiteral("supervisor.getState")};
    const QVariantList pid {QStringLiteral("system.pid")};
    const QString running = QStringLiteral("^value statecode=1 statename=RUNNING$");
    const QString helpText
        = QStringLiteral("^value QString\\s+Return current state of supervisord");

    QTest::addRow("supervisord, Unix socket: supervisor.getState")
        << int(Supervisord) << QVariantList {getState} << QStringList {running};
    QTest::addRow("supervisord, Unix socket: system.methodHelp")
        << int(Supervisord) << QVariantList {methodHelp} << QStringList {helpText};
    QTest::addRow("supervisord, Unix socket: a batch")
        << int(Supervisord)
        << QVariantList {getState, methodHelp,
               QVariantList {QStringLiteral("supervisor.getProcessInfo"), QStringLiteral("none")}}
        << QStringList {running, helpText, QStringLiteral("^fault 10 BAD_NAME: none$")};
    const QVariantList rtorrentBatch {pid, QVariantList {QStringLiteral("system.hostname")},
        QVariantList {QStringLiteral("nope")}};
    const QStringList rtorrentOutcomes {QStringLiteral("^value qlonglong PID$"),
        QStringLiteral("^value QString .+"),
        QStringLiteral("^fault -506 Method 'nope' not defined$")};
    QTest::addRow("rtorrent, SCGI over TCP: system.pid as i8")
        << int(RtorrentScgiTcp) << QVariantList {pid}
        << QStringList {QStringLiteral("^value qlonglong PID$")};
    QTest::addRow("rtorrent, SCGI over TCP: system.multicall")
        << int(RtorrentScgiTcp) << rtorrentBatch << rtorrentOutcomes;
    QTest::addRow("rtorrent, SCGI over a Unix socket: system.pid as i8")
        << int(RtorrentScgiLocal) << QVariantList {pid}
        << QStringList {QStringLiteral("^value qlonglong PID$")};
    QTest::addRow("rtorrent, SCGI over a Unix socket: system.multicall")
        << int(RtorrentScgiLocal) << rtorrentBatch << rtorrentOutcomes;
    QTest::addRow("no server at the Unix socket")
        << int(NoServer) << QVariantList {getState}
        << QStringList {QStringLiteral("^fault -32300 Unix socket .*/none.sock not found$")};
}

void tst_QuorXmlRpcClient::localServers()
{
    QFETCH(int, server);
    QFETCH(QVariantList, calls);
    QFETCH(QStringList, outcomes);

    const QString program = QStandardPaths::findExecutable(
        server == Supervisord ? QStringLiteral("supervisord") : QStringLiteral("rtorrent"));
    if (program.isEmpty() && server != NoServer)
        QSKIP(server == Supervisord ? "supervisord is not installed (Debian package supervisor)"
                                    : "rtorrent is not installed (Debian package rtorrent)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString socketPath = dir.filePath(QStringLiteral("rpc.sock"));
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    auto killPeer = qScopeGuard([&peer] {
        peer.kill();
        peer.waitForFinished();
    });
    QUrl url;
    // Each server tells it is ready only by listening.
    std::function<bool()> listening;
    switch (server) {
    case Supervisord: {
        QFile config(dir.filePath(QStringLiteral("supervisord.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("[unix_http_server]\nfile=%1\n"
                                    "[supervisord]\nnodaemon=true\nlogfile=%2/log\npidfile=%2/pid\n"
                                    "childlogdir=%2\n"
                                    "[rpcinterface:supervisor]\nsupervisor.rpcinterface_factory = "
                                    "supervisor.rpcinterface:make_main_rpcinterface\n")
                         .arg(socketPath, dir.path())
                         .toUtf8());
        config.close();
        peer.start(program, {QStringLiteral("-c"), config.fileName()});
        url = QUrl(QStringLiteral("unix://") + socketPath);
        listening = [socketPath] { return QFileInfo::exists(socketPath); };
        break;
    }
    case RtorrentScgiTcp:
    case RtorrentScgiLocal: {
        const quint16 port = unusedPort();
        const QString listener = server == RtorrentScgiTcp
            ? QStringLiteral("network.scgi.open_port=127.0.0.1:%1").arg(port)
            : QStringLiteral("network.scgi.open_local=%1").arg(socketPath);
        peer.start(program,
            {QStringLiteral("-n"), QStringLiteral("-o"), QStringLiteral("system.daemon.set=true"),
                QStringLiteral("-o"), listener, QStringLiteral("-o"),
                QStringLiteral("session.path.set=%1").arg(dir.path()), QStringLiteral("-o"),
                QStringLiteral("directory.default.set=%1").arg(dir.path())});
        if (server == RtorrentScgiTcp) {
            url = QUrl(QStringLiteral("scgi://127.0.0.1:%1").arg(port));
            listening = [port] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, port);
                return probe.waitForConnected(1000);
            };
        } else {
            url = QUrl(QStringLiteral("scgi://") + socketPath);
            listening = [socketPath] { return QFileInfo::exists(socketPath); };
        }
        break;
    }
    case NoServer:
        url = QUrl(QStringLiteral("unix://") + dir.filePath(QStringLiteral("none.sock")));
        listening = [] { return true; };
        break;
    }
    if (server != NoServer)
        QVERIFY2(peer.waitForStarted(), qPrintable(peer.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 15000);
    QVERIFY(url.isValid());

    QuorXmlRpcClient client;
    client.setUrl(url);
    QuorXmlRpcClientOptions::setI8Enabled(&client, true);
    // Values as flat text: a struct's members in order, a scalar with its type.
    const auto brief = [](const QVariant &value) {
        if (value.userType() != QMetaType::QVariantMap)
            return QString::fromLatin1(value.typeName()) + QLatin1Char(' ') + value.toString();
        QStringList members;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            members.append(it.key() + QLatin1Char('=') + it.value().toString());
        return members.join(QLatin1Char(' '));
    };
    QStringList actual;
    if (calls.size() == 1) {
        const QVariantList call = calls.at(0).toList();
        Receiver receiver;
        receiver.callPlain(client, call.at(0).toString(), call.mid(1));
        QVERIFY(receiver.waitForDeliveries(1));
        const Delivery &delivery = receiver.deliveries.at(0);
        actual.append(delivery.isAnswer
                ? QStringLiteral("value ") + brief(delivery.value)
                : QStringLiteral("fault %1 %2").arg(delivery.code).arg(delivery.message));
    } else {
        QuorXmlRpcBatch batch(&client);
        batch.setFallbackEnabled(false);
        for (const QVariant &call : std::as_const(calls))
            batch.add(call.toList().at(0).toString(), call.toList().mid(1));
        QSignalSpy finished(&batch, &QuorXmlRpcBatch::finished);
        batch.send();
        QVERIFY(finished.wait());
        for (int i = 0; i < batch.count(); ++i) {
            actual.append(batch.isFault(i) ? QStringLiteral("fault %1 %2")
                                                 .arg(batch.faultCode(i))
                                                 .arg(batch.faultString(i))
                                           : QStringLiteral("value ") + brief(batch.value(i)));
        }
    }
    QCOMPARE(actual.size(), outcomes.size());
    QStringList mismatches;
    for (int i = 0; i < outcomes.size(); ++i) {
        QString pattern = outcomes.at(i);
        pattern.replace(QStringLiteral("PID"), QString::number(peer.processId()));
        if (!QRegularExpression(pattern).match(actual.at(i)).hasMatch())
            mismatches.append(actual.at(i) + QStringLiteral(" does not match ") + pattern);
    }
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(tst_QuorXmlRpcClient)

#include "tst_quorxmlrpcclient.moc"
