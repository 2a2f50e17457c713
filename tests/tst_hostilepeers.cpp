// SPDX-License-Identifier: MIT
#include "processusage.h"
#include "quorobject.h"
#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientlimits.h"
#include "quorxmlrpcserver.h"
#include "rawhttpclient.h"
#include "receiver.h"
#include "testhttpserver.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

Q_DECLARE_METATYPE(TestHttpServer::Reply)

namespace {

constexpr int TransportError = -32300;
constexpr int NotWellFormed = -32700;
constexpr int DeliveryTimeoutMs = 60000;
constexpr qint64 OneMiB = 1024 * 1024;

const QByteArray Ok = TestHttpServer::responseFor(QStringLiteral("<string>ok</string>"));

// Bodies no sane peer sends, shared by the client's and the server's tables.
namespace Hostile {

QByteArray nested(const QByteArray &root, int depth)
{
    return "<?xml version=\"1.0\"?><" + root + "><params><param><value>"
        + QByteArray("<array><data><value>").repeated(depth / 3)
        + QByteArray("</value></data></array>").repeated(depth / 3) + "</value></param></params></"
        + root + '>';
}

// "Billion laughs": ten entities of ten times the one before, a gigabyte of
// text if the parser expanded it all.
QByteArray entityBomb(const QByteArray &root, const QByteArray &before)
{
    QByteArray document
        = "<?xml version=\"1.0\"?>\n<!DOCTYPE " + root + " [\n<!ENTITY lol0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        document += "<!ENTITY lol" + QByteArray::number(i) + " \""
            + ("&lol" + QByteArray::number(i - 1) + ';').repeated(10) + "\">\n";
    }
    return document + "]>\n<" + root + '>' + before
        + "<params><param><value><string>&lol9;</string></value></param></params></" + root + '>';
}

// An overlong encoding, a lone continuation byte, bytes that never occur in
// UTF-8 and an encoded surrogate.
const QByteArray InvalidUtf8 = QByteArray("bad \xc0\xaf \x80 \xfe\xff \xed\xa0\x80 end");

} // namespace Hostile

TestHttpServer::Reply raw(const QByteArray &bytes)
{
    TestHttpServer::Reply reply;
    reply.action = TestHttpServer::Reply::Raw;
    reply.raw = bytes;
    return reply;
}

TestHttpServer::Reply hang()
{
    TestHttpServer::Reply reply;
    reply.action = TestHttpServer::Reply::Hang;
    return reply;
}

TestHttpServer::Reply streamed(std::function<QByteArray(qint64)> piece, int interval = 0)
{
    TestHttpServer::Reply reply;
    reply.action = TestHttpServer::Reply::Stream;
    reply.piece = std::move(piece);
    reply.interval = interval;
    return reply;
}

// The headers of a response whose body never comes; the connection stays open.
TestHttpServer::Reply headersOnly(qint64 contentLength)
{
    return streamed([contentLength](qint64 index) {
        return index == 0 ? TestHttpServer::head(200, contentLength) : QByteArray();
    });
}

// A complete response sent one byte every interval ms.
TestHttpServer::Reply byteByByte(const QByteArray &body, int interval)
{
    const QByteArray bytes = TestHttpServer::head(200, body.size()) + body;
    return streamed([bytes](qint64 index) { return bytes.mid(int(index), 1); }, interval);
}

// Headers, then a body of junk that never ends.
TestHttpServer::Reply endless(const QByteArray &headers)
{
    const QByteArray junk(64 * 1024, 'x');
    return streamed([headers, junk](qint64 index) { return index == 0 ? headers : junk; });
}

// A small body that inflates to a much larger one on the client's side (but
// stays below the size at which Qt 6 checks the ratio by itself).
TestHttpServer::Reply deflateBomb(int inflatedMiB)
{
    // qCompress() writes a zlib stream after four bytes of length: the zlib
    // stream alone is what HTTP calls "deflate".
    const QByteArray deflated = qCompress(QByteArray(inflatedMiB * OneMiB, ' '), 9).mid(4);
    return raw(
        TestHttpServer::head(200, deflated.size(), "Content-Encoding: deflate\r\n") + deflated);
}

bool underValgrind()
{
    return qEnvironmentVariableIsSet("TAVREL_UNDER_VALGRIND");
}

// AddressSanitizer keeps freed memory in quarantine and adds its shadow
// memory, so a program built with it shows no peak of its own.
constexpr bool memoryIsMeasured()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return false;
#endif
#endif
    return true;
}

// The serving side's settings in these tests: short enough to keep them fast.
constexpr int ServerRequestTimeoutMs = 1000;
constexpr int BigAnswerSize = 16 * 1024;
// What a server may hold of one connection's answers that its client has not
// taken yet; the server's own bound is lower, one answer may come on top.
constexpr qint64 UnsentAnswersBound = 2 * OneMiB;
constexpr int AttackConnections = 200;

// A server with two methods: "test.echo" answers its parameter, "test.big"
// 16 KiB of text.
std::unique_ptr<QuorXmlRpcServer> startServer()
{
    auto server = std::make_unique<QuorXmlRpcServer>();
    server->setRequestTimeout(ServerRequestTimeoutMs);
    server->registerMethod(QStringLiteral("test.echo"),
        [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
            answer.setValue(params.value(0));
        });
    server->registerMethod(
        QStringLiteral("test.big"), [](const QVariantList &, const QuorXmlRpcAnswer &answer) {
            answer.setValue(QString(BigAnswerSize, QLatin1Char('x')));
        });
    if (!server->listen())
        server.reset();
    return server;
}

QByteArray echoRequest(const QString &text)
{
    return RawHttp::post(RawHttp::methodCall(QStringLiteral("test.echo"), {text}));
}

// The most answers one connection of server holds unsent.
qint64 largestUnsentAnswers(const QuorXmlRpcServer &server)
{
    qint64 largest = 0;
    for (const QTcpSocket *socket : server.findChildren<QTcpSocket *>())
        largest = qMax(largest, socket->bytesToWrite());
    return largest;
}

} // namespace

class tst_HostilePeers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void limitSettings();
    void hostileServer_data();
    void hostileServer();
    void silentServerWithoutLimits();
    void hugeBase64Response_data();
    void hugeBase64Response();
    void launchAgainstHostileListener_data();
    void launchAgainstHostileListener();

    void hostileRequests_data();
    void hostileRequests();
    void manyConnections_data();
    void manyConnections();
    void slowConnectionMakesRoomFirst();
    void arrivedRequestIsKept();
    void slowloris();
    void floodWithoutReading();

private:
    // A well-behaved client's calls, one after the other, are all answered.
    void verifyServing(quint16 port, int calls = 1);
    // Holds until what the process held at mark() is all it holds again.
    void verifyNothingLeft();
    void mark() { m_mark = ProcessUsage::now(); }

    ProcessUsage m_mark;
};

void tst_HostilePeers::initTestCase()
{
    // The first call sets up what the network layer keeps for the whole
    // process; only what comes after it must be given back.
    TestHttpServer server;
    QVERIFY(server.start());
    QuorXmlRpcClient client(server.url());
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("warmUp"));
    QVERIFY(receiver.waitForDeliveries(1, DeliveryTimeoutMs));
}

// Threads and descriptors of earlier rows may still be on their way out at
// mark(), so fewer count as well.
void tst_HostilePeers::verifyNothingLeft()
{
    const auto compared = [this] {
        return ProcessUsage::now().toString() + QStringLiteral(" after ") + m_mark.toString();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(
        ProcessUsage::now().descriptors <= m_mark.descriptors, qPrintable(compared()), 10000);
    QTRY_VERIFY2_WITH_TIMEOUT(
        ProcessUsage::now().threads <= m_mark.threads, qPrintable(compared()), 10000);
}

// Off unless set, never negative, kept per client; a null client is ignored.
void tst_HostilePeers::limitSettings()
{
    QuorXmlRpcClient client;
    QuorXmlRpcClient other;
    QCOMPARE(QuorXmlRpcClientLimits::timeout(&client), 0);
    QCOMPARE(QuorXmlRpcClientLimits::maximumResponseSize(&client), qint64(0));
    QuorXmlRpcClientLimits::setTimeout(&client, 5000);
    QuorXmlRpcClientLimits::setMaximumResponseSize(&client, OneMiB);
    QCOMPARE(QuorXmlRpcClientLimits::timeout(&client), 5000);
    QCOMPARE(QuorXmlRpcClientLimits::maximumResponseSize(&client), OneMiB);
    QCOMPARE(QuorXmlRpcClientLimits::timeout(&other), 0);
    QuorXmlRpcClientLimits::setTimeout(&client, -1);
    QuorXmlRpcClientLimits::setMaximumResponseSize(&client, -1);
    QCOMPARE(QuorXmlRpcClientLimits::timeout(&client), 0);
    QCOMPARE(QuorXmlRpcClientLimits::maximumResponseSize(&client), qint64(0));

    QuorXmlRpcClientLimits::setTimeout(nullptr, 5000);
    QuorXmlRpcClientLimits::setMaximumResponseSize(nullptr, OneMiB);
    QCOMPARE(QuorXmlRpcClientLimits::timeout(nullptr), 0);
    QCOMPARE(QuorXmlRpcClientLimits::maximumResponseSize(nullptr), qint64(0));
}

void tst_HostilePeers::hostileServer_data()
{
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<qint64>("maximumSize");
    QTest::addColumn<bool>("isAnswer");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("messageStart");

    const QString notWellFormed = QStringLiteral("parse error: response not well formed");
    const auto timedOut = [](int ms) { return QStringLiteral("timed out after %1 ms").arg(ms); };
    const QString larger = QStringLiteral("response larger than 1048576 bytes");

    QTest::addRow("nested 100,000 deep")
        << TestHttpServer::answer(Hostile::nested("methodResponse", 100000)) << 0 << qint64(0)
        << false << QVariant() << NotWellFormed << notWellFormed;
    QTest::addRow("entity expansion bomb")
        << TestHttpServer::answer(Hostile::entityBomb("methodResponse", {})) << 0 << qint64(0)
        << false << QVariant() << NotWellFormed << notWellFormed;
    QTest::addRow("invalid UTF-8") << TestHttpServer::answer(QByteArray(Ok).replace(
        "<string>ok</string>", "<string>" + Hostile::InvalidUtf8 + "</string>"))
                                   << 0 << qint64(0) << true << QVariant() << 0 << QString();
    QTest::addRow("body cut in the middle")
        << raw(TestHttpServer::head(200, Ok.size()) + Ok.left(Ok.size() / 2)) << 0 << qint64(0)
        << false << QVariant() << TransportError << QString();
    QTest::addRow("zero byte in the middle")
        << TestHttpServer::answer(Ok.left(Ok.size() / 2) + '\0' + Ok.mid(Ok.size() / 2)) << 0
        << qint64(0) << false << QVariant() << NotWellFormed << notWellFormed;
    QTest::addRow("accepts and never answers, timeout")
        << hang() << 200 << qint64(0) << false << QVariant() << TransportError << timedOut(200);
    QTest::addRow("headers, then silence, timeout")
        << headersOnly(Ok.size()) << 200 << qint64(0) << false << QVariant() << TransportError
        << timedOut(200);
    QTest::addRow("byte by byte, no limits") << byteByByte(Ok, 1) << 0 << qint64(0) << true
                                             << QVariant(QStringLiteral("ok")) << 0 << QString();
    // Each byte comes long before any idle time runs out; the call as a whole
    // takes longer than its limit.
    QTest::addRow("byte by byte, timeout") << byteByByte(Ok, 2) << 150 << qint64(0) << false
                                           << QVariant() << TransportError << timedOut(150);
    QTest::addRow("limits not reached") << TestHttpServer::answer(Ok) << 10000 << OneMiB << true
                                        << QVariant(QStringLiteral("ok")) << 0 << QString();
    QTest::addRow("endless body, maximum size")
        << endless(TestHttpServer::head(200, -1, {}, "text/xml", false)) << 0 << OneMiB << false
        << QVariant() << TransportError << larger;
    QTest::addRow("endless body with a huge Content-Length, maximum size")
        << endless(TestHttpServer::head(200, Q_INT64_C(1) << 40)) << 0 << 2 * OneMiB << false
        << QVariant() << TransportError << QStringLiteral("response larger than 2097152 bytes");
    QTest::addRow("Content-Length above the maximum, then silence")
        << headersOnly(OneMiB + 1) << 0 << OneMiB << false << QVariant() << TransportError
        << larger;
    const QByteArray chunked = TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n");
    QTest::addRow("endless chunk, maximum size")
        << endless(chunked + "7fffffffffff\r\n") << 0 << OneMiB << false << QVariant()
        << TransportError << larger;
    // Lines the decoder gathers are bounded without any limit set.
    QTest::addRow("endless chunk-size line, no limits")
        << endless(chunked + "1;") << 0 << qint64(0) << false << QVariant() << TransportError
        << QString();
    QTest::addRow("endless trailer, no limits")
        << endless(chunked + "2\r\nok\r\n0\r\nX-Pad: ") << 0 << qint64(0) << false << QVariant()
        << TransportError << QString();
    // The client never asks for a compressed answer, and reads one as it comes:
    // not XML, and never inflated.
    QTest::addRow("deflate bomb, maximum size")
        << deflateBomb(8) << 0 << OneMiB << false << QVariant() << NotWellFormed
        << QStringLiteral("parse error: response not well formed");
}

// Whatever a server sends, the call ends with exactly one result, the client
// makes its next call as if nothing had happened, and once it is gone nothing
// of it is left: no call object, no reply, no connection, no thread.
void tst_HostilePeers::hostileServer()
{
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(int, timeout);
    QFETCH(qint64, maximumSize);
    QFETCH(bool, isAnswer);
    QFETCH(QVariant, value);
    QFETCH(int, code);
    QFETCH(QString, messageStart);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([reply](const TestHttpServer::Request &request) {
        return request.body.contains("<methodName>hostile</methodName>")
            ? reply
            : TestHttpServer::answer(Ok);
    });
    mark();
    {
        QuorXmlRpcClient client(server.url());
        QuorXmlRpcClientLimits::setTimeout(&client, timeout);
        QuorXmlRpcClientLimits::setMaximumResponseSize(&client, maximumSize);
        QCOMPARE(QuorXmlRpcClientLimits::timeout(&client), timeout);
        QCOMPARE(QuorXmlRpcClientLimits::maximumResponseSize(&client), maximumSize);
        Receiver receiver;
        const QPointer<QNetworkReply> networkReply
            = receiver.callPlain(client, QStringLiteral("hostile"));
        QVERIFY(receiver.waitForDeliveries(1, DeliveryTimeoutMs));
        const Delivery result = receiver.deliveries.first();
        QCOMPARE(result.isAnswer, isAnswer);
        if (isAnswer && value.isValid()) {
            QCOMPARE(result.value, value);
        } else if (isAnswer) {
            // Bytes that are no UTF-8 arrive as replacement characters.
            const QString text = result.value.toString();
            QVERIFY2(text.startsWith(QLatin1String("bad ")) && text.endsWith(QLatin1String(" end"))
                    && text.contains(QChar::ReplacementCharacter),
                qPrintable(text));
        } else {
            QCOMPARE(result.code, code);
            QVERIFY(!result.message.isEmpty());
            QVERIFY2(result.message.startsWith(messageStart), qPrintable(result.message));
        }
        QVERIFY(client.findChildren<QuorObject *>().isEmpty());
        QTRY_VERIFY(!networkReply);

        receiver.callPlain(client, QStringLiteral("next"));
        QVERIFY(receiver.waitForDeliveries(2, DeliveryTimeoutMs));
        QCOMPARE(receiver.deliveries.size(), 2);
        QVERIFY(receiver.deliveries.at(1).isAnswer);
        QCOMPARE(receiver.deliveries.at(1).value, QVariant(QStringLiteral("ok")));
    }
    verifyNothingLeft();
}

// Without limits a call to a server that never answers waits until its client
// goes; then it ends without a word, and takes nothing with it.
void tst_HostilePeers::silentServerWithoutLimits()
{
    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([](const TestHttpServer::Request &) { return hang(); });
    mark();
    Receiver receiver;
    auto client = std::make_unique<QuorXmlRpcClient>(server.url());
    const QPointer<QNetworkReply> reply = receiver.callPlain(*client, QStringLiteral("hostile"));
    QTRY_COMPARE(server.requests().size(), 1);
    const QPointer<QuorObject> callObject = client->findChild<QuorObject *>();
    QVERIFY(callObject);

    client.reset();
    QVERIFY(!reply);
    QVERIFY(!callObject);
    verifyNothingLeft();
    QVERIFY(receiver.deliveries.isEmpty());
}

// What a listener on an instance port sends to a launch of Tavrel or
// TavrelInstance, before it is trusted.
enum class Launch { Tavrel, Instance };
Q_DECLARE_METATYPE(Launch)

void tst_HostilePeers::launchAgainstHostileListener_data()
{
    QTest::addColumn<Launch>("launch");
    QTest::addColumn<TestHttpServer::Reply>("reply");
    QTest::addColumn<bool>("honestIdentity"); // answers "getAppInfo" as an instance does
    QTest::addColumn<QString>("failure"); // in what the launch prints
    QTest::addColumn<int>("maximumMs");
    QTest::addColumn<qint64>("maximumRiseKiB");

    // The instance side's documented bounds: 3 s for each exchange, 16 KiB
    // for an identity answer, 8 MiB for a command's.
    constexpr int TimeoutMs = 3000;
    // What a launch may take on top of its timeout to start, probe and exit,
    // on a busy machine.
    constexpr int MarginMs = 4000;
    // A launch holds a bounded answer and the copies the network layer makes
    // of it: 8 MiB of a command's answer in a few copies, or a few KiB.
    constexpr qint64 CommandRiseKiB = 48 * 1024;
    constexpr qint64 IdentityRiseKiB = 16 * 1024;
    const QString identityTooLarge = QStringLiteral("response larger than 16384 bytes");
    const QString commandTooLarge = QStringLiteral("response larger than 8388608 bytes");
    const QString timedOut = QStringLiteral("timed out after 3000 ms");

    // A methodResponse of an array of 1 MiB strings that never ends.
    const QByteArray arrayStart
        = "<?xml version=\"1.0\"?><methodResponse><params><param><value><array><data>";
    const QByteArray element
        = "<value><string>" + QByteArray(int(OneMiB), 'x') + "</string></value>";
    const auto endlessArray = [arrayStart, element](const QByteArray &head) {
        return streamed([head, arrayStart, element](
                            qint64 index) { return index == 0 ? head + arrayStart : element; });
    };
    const QByteArray chunk
        = QByteArray::number(int(OneMiB), 16) + "\r\n" + QByteArray(int(OneMiB), 'x') + "\r\n";
    const TestHttpServer::Reply chunkedForever = streamed([chunk](qint64 index) {
        return index == 0 ? TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n") : chunk;
    });
    const QByteArray digits(int(OneMiB), 'f');
    const TestHttpServer::Reply chunkSizeForever = streamed([digits](qint64 index) {
        return index == 0 ? TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n")
                          : digits;
    });
    TestHttpServer::Reply closes;
    closes.action = TestHttpServer::Reply::Close;

    struct Row
    {
        const char *name;
        TestHttpServer::Reply reply;
        bool honestIdentity;
        QString failure;
        bool endless = false; // a command's answer reaches its bound
    };
    const Row rows[] = {
        {"endless body", endlessArray(TestHttpServer::head(200, -1, {}, "text/xml", false)), false,
            identityTooLarge, true},
        {"endless body to a command",
            endlessArray(TestHttpServer::head(200, -1, {}, "text/xml", false)), true,
            commandTooLarge, true},
        {"Content-Length of 4000000000, endless body",
            endlessArray(TestHttpServer::head(200, Q_INT64_C(4000000000))), false,
            identityTooLarge},
        {"Content-Length of 4000000000 to a command",
            endlessArray(TestHttpServer::head(200, Q_INT64_C(4000000000))), true, commandTooLarge},
        {"chunked without end", chunkedForever, true, commandTooLarge, true},
        {"chunk size without end", chunkSizeForever, false, QString()},
        {"one byte every 100 ms", byteByByte(Ok, 100), false, timedOut},
        {"one byte every 100 ms to a command", byteByByte(Ok, 100), true, timedOut},
        {"accepts and never answers", hang(), false, timedOut},
        {"nested 100,000 deep", TestHttpServer::answer(Hostile::nested("methodResponse", 100000)),
            true, QStringLiteral("parse error")},
        {"closes at once", closes, false, QString()},
    };
    for (const Row &row : rows) {
        for (const Launch launch : {Launch::Tavrel, Launch::Instance}) {
            // Tavrel sends its command whatever the identity answer was.
            const bool commandReadsMuch
                = row.endless && (row.honestIdentity || launch == Launch::Tavrel);
            QTest::addRow(
                "%s, %s", row.name, launch == Launch::Tavrel ? "Tavrel" : "TavrelInstance")
                << launch << row.reply << row.honestIdentity << row.failure << TimeoutMs + MarginMs
                << (commandReadsMuch ? CommandRiseKiB : IdentityRiseKiB);
        }
    }
}

// Whatever listens on the port, a launch that asks it ends within its
// timeout, holding no more than its bounds let in.
void tst_HostilePeers::launchAgainstHostileListener()
{
    QFETCH(Launch, launch);
    QFETCH(TestHttpServer::Reply, reply);
    QFETCH(bool, honestIdentity);
    QFETCH(QString, failure);
    QFETCH(int, maximumMs);
    QFETCH(qint64, maximumRiseKiB);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&](const TestHttpServer::Request &request) {
        return honestIdentity && request.body.contains("<methodName>getAppInfo</methodName>")
            ? TestHttpServer::answer(
                TestHttpServer::responseFor(QStringLiteral("<string>4711 hostile me</string>")))
            : reply;
    });

    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    const auto stop = qScopeGuard([&child] {
        child.kill();
        child.waitForFinished();
    });
    QElapsedTimer timer;
    timer.start();
    child.start(QStringLiteral(TAVREL_HOSTILE_LAUNCH),
        {launch == Launch::Tavrel ? QStringLiteral("tavrel") : QStringLiteral("instance"),
            QString::number(server.serverPort())});
    qRegisterMetaType<QProcess::ExitStatus>();
    QSignalSpy finished(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    // The listener serves from this event loop while the launch runs.
    QVERIFY(finished.wait(maximumMs + 10000));
    const qint64 elapsedMs = timer.elapsed();
    const QString output = QString::fromUtf8(child.readAll());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(
        elapsedMs <= maximumMs, qPrintable(QString::number(elapsedMs) + QStringLiteral(" ms")));

    const QRegularExpression usage(QStringLiteral("start-kib (\\d+)\npeak-kib (\\d+)"));
    const QRegularExpressionMatch match = usage.match(output);
    QVERIFY2(match.hasMatch(), qPrintable(output));
    const qint64 riseKiB = match.captured(2).toLongLong() - match.captured(1).toLongLong();
    if (memoryIsMeasured()) {
        QVERIFY2(riseKiB <= maximumRiseKiB,
            qPrintable(QStringLiteral("peak %1 KiB above the start").arg(riseKiB)));
        // Well below what would hurt the machine, whatever the listener sends.
        QVERIFY2(match.captured(2).toLongLong() < 64 * 1024, qPrintable(output));
    }
    QVERIFY2(output.contains(failure), qPrintable(output));
    QVERIFY2(!output.contains(QLatin1String("answer ")), qPrintable(output));
}

void tst_HostilePeers::hugeBase64Response_data()
{
    QTest::addColumn<qint64>("maximumSize");

    QTest::addRow("no limit") << qint64(0);
    QTest::addRow("limited to 1 MiB") << OneMiB;
}

// 200 MiB of base64 text, streamed by the server as its socket drains: read
// whole without a limit, refused early with one.
void tst_HostilePeers::hugeBase64Response()
{
    QFETCH(qint64, maximumSize);
    if (underValgrind())
        QSKIP("200 MiB take too long under valgrind");

    constexpr int Pieces = 200;
    // 768 KiB, a multiple of three, so that each piece is 1 MiB of base64 of its own.
    QByteArray decoded(768 * 1024, '\0');
    for (int i = 0; i < decoded.size(); ++i)
        decoded[i] = char(i % 251);
    const QByteArray encoded = decoded.toBase64();
    QCOMPARE(encoded.size(), int(OneMiB));
    const QByteArray prefix
        = "<?xml version=\"1.0\"?><methodResponse><params><param><value><base64>";
    const QByteArray suffix = "</base64></value></param></params></methodResponse>";
    const QByteArray head
        = TestHttpServer::head(200, prefix.size() + Pieces * encoded.size() + suffix.size());

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler([&](const TestHttpServer::Request &) {
        return streamed([&](qint64 index) {
            if (index == 0)
                return head + prefix;
            if (index <= Pieces)
                return encoded;
            return index == Pieces + 1 ? suffix : QByteArray();
        });
    });
    QuorXmlRpcClient client(server.url());
    QuorXmlRpcClientLimits::setMaximumResponseSize(&client, maximumSize);
    Receiver receiver;
    receiver.callPlain(client, QStringLiteral("huge"));
    QVERIFY(receiver.waitForDeliveries(1, DeliveryTimeoutMs));
    const Delivery result = receiver.deliveries.takeFirst();
    if (maximumSize > 0) {
        QVERIFY(!result.isAnswer);
        QCOMPARE(result.code, TransportError);
        QCOMPARE(result.message, QStringLiteral("response larger than 1048576 bytes"));
    } else {
        QVERIFY2(result.isAnswer, qPrintable(result.message));
        const QByteArray value = result.value.toByteArray();
        QCOMPARE(value.size(), Pieces * decoded.size());
        for (int i = 0; i < Pieces; ++i)
            QVERIFY(value.mid(i * decoded.size(), decoded.size()) == decoded);
    }
}

void tst_HostilePeers::verifyServing(quint16 port, int calls)
{
    QuorXmlRpcClient client(QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(port)));
    QuorXmlRpcClientLimits::setTimeout(&client, 5000);
    Receiver receiver;
    for (int i = 0; i < calls; ++i) {
        receiver.callPlain(client, QStringLiteral("test.echo"), {i});
        QVERIFY(receiver.waitForDeliveries(i + 1, DeliveryTimeoutMs));
        const Delivery result = receiver.deliveries.at(i);
        QVERIFY2(result.isAnswer, qPrintable(result.message));
        QCOMPARE(result.value, QVariant(i));
    }
}

void tst_HostilePeers::hostileRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status"); // 0: the client leaves without waiting
    QTest::addColumn<int>("faultCode"); // 0: no fault

    const QByteArray echoCall = RawHttp::methodCall(QStringLiteral("test.echo"), {1});
    const QByteArray echoName = "<methodName>test.echo</methodName>";
    const int parseError = QuorXmlRpcServer::ParseError;

    QTest::addRow("nested 100,000 deep")
        << RawHttp::post(Hostile::nested("methodCall", 100000)) << 200 << parseError;
    QTest::addRow("entity expansion bomb")
        << RawHttp::post(Hostile::entityBomb("methodCall", echoName)) << 200 << parseError;
    // The server decodes a body before it checks and parses it, so bytes that
    // are no UTF-8 arrive as replacement characters, as in the client.
    const int invalidUtf8Fault = 0;
    QTest::addRow("invalid UTF-8") << RawHttp::post("<?xml version=\"1.0\"?><methodCall>" + echoName
        + "<params><param><value><string>" + Hostile::InvalidUtf8
        + "</string></value></param></params></methodCall>")
                                   << 200 << invalidUtf8Fault;
    QTest::addRow("zero byte in the middle") << RawHttp::post(
        echoCall.left(echoCall.size() / 2) + '\0' + echoCall.mid(echoCall.size() / 2))
                                             << 200 << parseError;
    QTest::addRow("huge body")
        << QByteArray("POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                      "Content-Length: 1073741824\r\n\r\n")
            + QByteArray(4096, 'x')
        << 413 << 0;
    QTest::addRow("body cut, then the client goes") << RawHttp::post(echoCall).left(150) << 0 << 0;
}

// Whatever a client sends, the server answers what it can, lets go of the
// connection when it is over and goes on serving.
void tst_HostilePeers::hostileRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(int, faultCode);

    const auto server = startServer();
    QVERIFY(server);
    mark();
    {
        RawHttpClient client(server->serverPort());
        QVERIFY(client.waitForConnected());
        client.write(request);
        if (status == 0) {
            QTRY_COMPARE(server->connectionCount(), 1);
        } else {
            QVERIFY(client.waitForResponses(1));
            const RawHttpResponse response = client.responses().first();
            QCOMPARE(response.status, status);
            if (status == 200) {
                const XmlRpcOutcome outcome = RawHttp::parseMethodResponse(response.body);
                QVERIFY2(outcome.isResponse, response.body.constData());
                QCOMPARE(outcome.isFault, faultCode != 0);
                QCOMPARE(outcome.faultCode, faultCode);
            } else {
                QVERIFY(client.waitForClosed());
            }
        }
    }
    QTRY_COMPARE(server->connectionCount(), 0);
    verifyNothingLeft();
    verifyServing(server->serverPort());
}

void tst_HostilePeers::manyConnections_data()
{
    QTest::addColumn<QByteArray>("sent"); // by each of the 200 connections
    QTest::addColumn<int>("maximumConnections");

    QTest::addRow("idle") << QByteArray() << 64;
    QTest::addRow("half a request each") << echoRequest(QStringLiteral("half")).left(60) << 64;
    QTest::addRow("a whole request each, room for all")
        << echoRequest(QStringLiteral("whole")) << 256;
}

// 200 connections at once neither lock well-behaved clients out nor hold
// more than the server allows; when there is room, all of them are served.
void tst_HostilePeers::manyConnections()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, maximumConnections);

    const auto server = startServer();
    QVERIFY(server);
    server->setMaximumConnections(maximumConnections);
    // Long enough that no connection is closed for being slow meanwhile.
    server->setRequestTimeout(60000);
    mark();
    {
        std::vector<std::unique_ptr<RawHttpClient>> clients;
        for (int i = 0; i < AttackConnections; ++i)
            clients.emplace_back(new RawHttpClient(server->serverPort()));
        for (const auto &client : clients) {
            // Connections that made room for later ones are closed.
            if (client->waitForConnected() && !sent.isEmpty())
                client->write(sent);
        }
        const bool answered = sent.endsWith("</methodCall>\n") || sent.endsWith("</methodCall>");
        if (answered) {
            for (const auto &client : clients) {
                QVERIFY(client->waitForResponses(1));
                QCOMPARE(client->responses().first().status, 200);
            }
        } else {
            QTRY_COMPARE(server->connectionCount(), maximumConnections);
        }
        verifyServing(server->serverPort(), 3);
        QVERIFY(server->connectionCount() <= maximumConnections);
    }
    QTRY_COMPARE(server->connectionCount(), 0);
    verifyNothingLeft();
}

// Making room, the server closes a connection in the middle of a request
// before one whose client has completed its requests, although that one has
// waited longer.
void tst_HostilePeers::slowConnectionMakesRoomFirst()
{
    const auto server = startServer();
    QVERIFY(server);
    server->setMaximumConnections(2);
    RawHttpClient resting(server->serverPort());
    QVERIFY(resting.waitForConnected());
    resting.write(echoRequest(QStringLiteral("first")));
    QVERIFY(resting.waitForResponses(1));
    RawHttpClient slow(server->serverPort());
    QVERIFY(slow.waitForConnected());
    slow.write(echoRequest(QStringLiteral("slow")).left(40));
    QTRY_COMPARE(server->connectionCount(), 2);

    RawHttpClient newcomer(server->serverPort());
    QVERIFY(newcomer.waitForConnected());
    QVERIFY(slow.waitForClosed());
    QVERIFY(slow.responses().isEmpty());
    QVERIFY(!resting.isClosed());
    resting.write(echoRequest(QStringLiteral("second")));
    QVERIFY(resting.waitForResponses(2));
    newcomer.write(echoRequest(QStringLiteral("new")));
    QVERIFY(newcomer.waitForResponses(1));
    QCOMPARE(RawHttp::parseMethodResponse(newcomer.responses().first().body).value,
        QVariant(QStringLiteral("new")));
}

// A connection whose whole request has arrived is served, not closed to make
// room, even when the server has not read the request yet and the connection
// has waited longest.
void tst_HostilePeers::arrivedRequestIsKept()
{
    const auto server = startServer();
    QVERIFY(server);
    server->setMaximumConnections(2);
    RawHttpClient arrived(server->serverPort());
    QVERIFY(arrived.waitForConnected());
    QTRY_COMPARE(server->connectionCount(), 1);
    RawHttpClient slow(server->serverPort());
    QVERIFY(slow.waitForConnected());
    QTRY_COMPARE(server->connectionCount(), 2);

    // Both reach the kernel before the event loop turns again, and the server
    // accepts before it reads.
    arrived.write(echoRequest(QStringLiteral("arrived")));
    RawHttpClient newcomer(server->serverPort());
    QVERIFY(arrived.waitForResponses(1));
    QCOMPARE(RawHttp::parseMethodResponse(arrived.responses().first().body).value,
        QVariant(QStringLiteral("arrived")));
    QVERIFY(slow.waitForClosed());
    QVERIFY(newcomer.waitForConnected());
    newcomer.write(echoRequest(QStringLiteral("new")));
    QVERIFY(newcomer.waitForResponses(1));
}

// Connections that send their requests a byte at a time, and come back as
// soon as they are closed, never keep a well-behaved client out.
void tst_HostilePeers::slowloris()
{
    const auto server = startServer();
    QVERIFY(server);
    mark();
    {
        const QByteArray request = echoRequest(QStringLiteral("slow"));
        std::vector<std::unique_ptr<RawHttpClient>> attackers(AttackConnections);
        std::vector<int> sentBytes(AttackConnections, 0);
        int reconnections = 0;
        QTimer trickle;
        connect(&trickle, &QTimer::timeout, [&] {
            for (int i = 0; i < AttackConnections; ++i) {
                auto &attacker = attackers[size_t(i)];
                if (!attacker || attacker->isClosed()) {
                    reconnections += attacker ? 1 : 0;
                    attacker.reset(new RawHttpClient(server->serverPort()));
                    sentBytes[size_t(i)] = 0;
                } else if (attacker->socket().state() == QAbstractSocket::ConnectedState
                    && sentBytes[size_t(i)] < request.size()) {
                    attacker->write(request.mid(sentBytes[size_t(i)]++, 1));
                }
            }
        });
        trickle.start(10);
        QTRY_VERIFY(reconnections >= AttackConnections);
        verifyServing(server->serverPort(), 10);
        QVERIFY(server->connectionCount() <= server->maximumConnections());
    }
    QTRY_COMPARE(server->connectionCount(), 0);
    verifyNothingLeft();
}

// A client that sends request after request and reads none of the answers
// makes the server stop reading from it, not pile up its answers; then it is
// closed, and others are served all the while.
void tst_HostilePeers::floodWithoutReading()
{
    const auto server = startServer();
    QVERIFY(server);
    mark();
    {
        constexpr int Requests = 4000;
        const QByteArray request = RawHttp::post(RawHttp::methodCall(QStringLiteral("test.big")));
        QTcpSocket flooder;
        // Takes a byte off the kernel at most: the answers stay where they are.
        flooder.setReadBufferSize(1);
        int written = 0;
        const auto writeMore = [&] {
            for (; written < Requests && flooder.bytesToWrite() < 64 * 1024; ++written)
                flooder.write(request);
        };
        connect(&flooder, &QTcpSocket::connected, writeMore);
        connect(&flooder, &QTcpSocket::bytesWritten, writeMore);
        flooder.connectToHost(QHostAddress::LocalHost, server->serverPort());

        QTRY_VERIFY(largestUnsentAnswers(*server) > 0);
        for (int round = 0; round < 5; ++round) {
            verifyServing(server->serverPort());
            QVERIFY2(largestUnsentAnswers(*server) <= UnsentAnswersBound,
                qPrintable(QString::number(largestUnsentAnswers(*server))));
        }
        // The flooder reads nothing, so it would not even notice; the server
        // has let go of it.
        QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 0, 10 * ServerRequestTimeoutMs);
    }
    verifyNothingLeft();
    verifyServing(server->serverPort());
}

QTEST_GUILESS_MAIN(tst_HostilePeers)
#include "tst_hostilepeers.moc"
