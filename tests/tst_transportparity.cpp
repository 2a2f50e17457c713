// SPDX-License-Identifier: MIT
#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientoptions.h"
#include "testhttpserver.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include <functional>

namespace {

using Script = std::function<TestHttpServer::Reply(const TestHttpServer::Request &)>;

constexpr int CallTimeoutMs = 5000;
const QString User = QStringLiteral("user");
const QString Password = QStringLiteral("s3cr3t-pw");
// Begins the difference of a row where Qt's manager differs only by chance.
const QString Sometimes = QStringLiteral("sometimes: ");

QByteArray okBody(const QString &text = QStringLiteral("ok"))
{
    return TestHttpServer::responseFor(QStringLiteral("<string>%1</string>").arg(text));
}

// raw sent as it is; the connection then stays open and silent, so that an
// answer that waits for the end of the connection never ends.
TestHttpServer::Reply keptOpen(const QByteArray &raw)
{
    TestHttpServer::Reply reply;
    reply.action = TestHttpServer::Reply::Stream;
    reply.keepAlive = true;
    reply.piece = [raw](qint64 index) { return index == 0 ? raw : QByteArray(); };
    return reply;
}

// raw sent as it is, then the connection closes.
TestHttpServer::Reply thenClosed(const QByteArray &raw)
{
    TestHttpServer::Reply reply;
    reply.action = TestHttpServer::Reply::Raw;
    reply.raw = raw;
    return reply;
}

Script always(const TestHttpServer::Reply &reply)
{
    return [reply](const TestHttpServer::Request &) { return reply; };
}

Script status(int code, const QByteArray &extraHeaders = {}, const QByteArray &body = "no")
{
    return always(keptOpen(TestHttpServer::head(code, body.size(), extraHeaders) + body));
}

// bytes in gzip's format, built by hand: Qt writes zlib's only. Both hold
// the same deflate stream.
QByteArray gzipped(const QByteArray &bytes)
{
    const QByteArray zlib = qCompress(bytes).mid(4); // after qCompress's length
    QByteArray gzip = QByteArray::fromHex("1f8b0800000000000003");
    gzip += zlib.mid(2, zlib.size() - 6); // without zlib's head and checksum
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    for (const quint32 word : {~crc, quint32(bytes.size())}) {
        for (int shift = 0; shift < 32; shift += 8)
            gzip += char((word >> shift) & 0xff);
    }
    return gzip;
}

QByteArray basicCredentials(const QString &user, const QString &password)
{
    return "Basic " + (user + QLatin1Char(':') + password).toLatin1().toBase64();
}

// Records what reaches the caller, while the reply is still valid.
class Outcome : public QObject
{
    Q_OBJECT

public:
    QStringList lines;

public Q_SLOTS:
    void answer(QVariant &value, QNetworkReply *reply)
    {
        record(QStringLiteral("answer %1").arg(value.toString()), reply);
    }
    void fault(int code, const QString &message, QNetworkReply *reply)
    {
        record(QStringLiteral("fault %1 \"%2\"").arg(code).arg(message), reply);
    }

Q_SIGNALS:
    void delivered();

private:
    void record(const QString &what, QNetworkReply *reply)
    {
        lines.append(what);
        lines.append(
            QStringLiteral("  error %1, status %2, reason \"%3\"")
                .arg(reply->error())
                .arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toString(),
                    reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        Q_EMIT delivered();
    }
};

} // namespace

Q_DECLARE_METATYPE(Script)

// The same answers, odd and hostile, reach a caller alike whether a call goes
// over the client's own loopback connections or through Qt's network access
// manager: the answer or the fault and its text, the reply's error, status and
// reason phrase, and what the server was sent along (credentials, cookies).
class tst_TransportParity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sameOutcome_data();
    void sameOutcome();
    void redirectsAndHeaders_data();
    void redirectsAndHeaders();

private:
    QStringList run(TestHttpServer &server, bool throughManager, const QString &userInfo, int calls,
        const std::function<void(QuorXmlRpcClient &)> &setUp = {});
};

void tst_TransportParity::sameOutcome_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("userInfo"); // of the URL
    QTest::addColumn<int>("calls"); // made one after the other on one client
    QTest::addColumn<QString>("difference"); // why the transports differ, if they do

    const QString credentials = User + QLatin1Char(':') + Password;
    const QByteArray challenge = "WWW-Authenticate: Basic realm=\"rpc\"\r\n";
    const QByteArray ok = okBody();
    const auto row = [](const char *name, const Script &script, const QString &userInfo = {},
                         int calls = 1, const QString &difference = {}) {
        QTest::addRow("%s", name) << script << userInfo << calls << difference;
    };

    row("200", status(200, {}, ok));
    row("400", status(400));
    row("401 without a challenge", status(401), credentials);
    row("401 with a challenge, no credentials", status(401, challenge));
    row(
        "401 answered with the URL's credentials",
        [ok, challenge](const TestHttpServer::Request &request) {
            return request.headers.value("authorization") == basicCredentials(User, Password)
                ? keptOpen(TestHttpServer::head(200, ok.size()) + ok)
                : keptOpen(TestHttpServer::head(401, 2, challenge) + "no");
        },
        credentials, 2);
    row("401 refusing the URL's credentials", status(401, challenge), credentials, 2);
    row("401 with a challenge of another scheme", status(401, "WWW-Authenticate: Newauth\r\n"),
        credentials);
    row("Digest challenge", status(401, "WWW-Authenticate: Digest realm=\"d\", nonce=\"n\"\r\n"),
        credentials, 1,
        QStringLiteral("the loopback transport answers Basic challenges only, Qt Digest too"));
    row("403", status(403));
    row("404, credentials in the URL", status(404), credentials);
    row("404 without a reason phrase",
        always(keptOpen("HTTP/1.1 404\r\nContent-Length: 2\r\n\r\nno")));
    row("405", status(405));
    row("407", status(407));
    row("409", status(409));
    row("410", status(410));
    row("418", status(418));
    row("451", status(451));
    row("500 with an XML-RPC fault body",
        status(500, {}, TestHttpServer::faultFor(4, QStringLiteral("broken"))));
    row("501", status(501));
    row("503", status(503));
    row("599", status(599));
    row("200 with a fault", status(200, {}, TestHttpServer::faultFor(7, QStringLiteral("no"))));
    row("204", always(keptOpen("HTTP/1.1 204 No Content\r\n\r\n")));
    row("304", always(keptOpen("HTTP/1.1 304 Not Modified\r\n\r\n")));
    row("100 Continue, then 200",
        always(
            keptOpen("HTTP/1.1 100 Continue\r\n\r\n" + TestHttpServer::head(200, ok.size()) + ok)));
    row("103 Early Hints, then 200",
        always(keptOpen(
            "HTTP/1.1 103 Early Hints\r\n\r\n" + TestHttpServer::head(200, ok.size()) + ok)),
        {}, 1, QStringLiteral("Qt takes an informational status other than 100 for the answer"));
    row("chunked 200",
        always(keptOpen(TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n")
            + QByteArray::number(ok.size() - 20, 16) + ";x=y\r\n" + ok.left(ok.size() - 20)
            + "\r\n14\r\n" + ok.right(20) + "\r\n0\r\nX-Trailer: 1\r\n\r\n")));
    row("chunked 200, bare LF line ends",
        always(keptOpen(TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n")
            + QByteArray::number(ok.size(), 16) + "\n" + ok + "\n0\n\n")),
        {}, 1, QStringLiteral("Qt ends a chunked body's lines with CRLF only and waits for one"));
    row("gzip when asked for", [ok](const TestHttpServer::Request &request) {
        if (!request.headers.value("accept-encoding").contains("gzip"))
            return keptOpen(TestHttpServer::head(200, ok.size()) + ok);
        const QByteArray body = gzipped(ok);
        return keptOpen(
            TestHttpServer::head(200, body.size(), "Content-Encoding: gzip\r\n") + body);
    });
    row("301, not followed", status(301, "Location: /elsewhere\r\n", ok));
    row("302, not followed", status(302, "Location: /elsewhere\r\n", ok));
    row(
        "Set-Cookie, then Cookie",
        [](const TestHttpServer::Request &request) {
            const QByteArray cookie = request.headers.value("cookie");
            if (cookie.isEmpty()) {
                const QByteArray body = okBody(QStringLiteral("first"));
                return keptOpen(TestHttpServer::head(200, body.size(),
                                    "Set-Cookie: session=abc; Path=/\r\nSet-Cookie: theme=dark\r\n")
                    + body);
            }
            const QByteArray body = okBody(QString::fromLatin1(cookie));
            return keptOpen(TestHttpServer::head(200, body.size()) + body);
        },
        {}, 2);
    row("body cut short", always(thenClosed(TestHttpServer::head(200, ok.size() + 100) + ok)));
    row("chunked body cut short",
        always(thenClosed(TestHttpServer::head(200, -1, "Transfer-Encoding: chunked\r\n")
            + QByteArray::number(ok.size() + 100, 16) + "\r\n" + ok)),
        {}, 1,
        Sometimes
            + QStringLiteral("Qt now and then takes a chunk cut short by the close for a whole "
                             "answer"));
    row("body ended by closing", always(thenClosed("HTTP/1.0 200 OK\r\n\r\n" + ok)));
    TestHttpServer::Reply close;
    close.action = TestHttpServer::Reply::Close;
    row("closed without an answer", always(close), {}, 1,
        QStringLiteral("Qt sends a call again when its new connection closes unanswered"));
    row("closed politely without an answer", always(thenClosed(QByteArray())), {}, 1,
        QStringLiteral("Qt sends a call again when its new connection closes unanswered"));
    row("garbage instead of HTTP", always(thenClosed("SMTP ready\r\n\r\n")), {}, 1,
        QStringLiteral("Qt sends a call again when its new connection closes unanswered"));
}

void tst_TransportParity::sameOutcome()
{
    QFETCH(Script, script);
    QFETCH(QString, userInfo);
    QFETCH(int, calls);
    QFETCH(QString, difference);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler(script);
    const QStringList loopback = run(server, false, userInfo, calls);
    const int loopbackRequests = server.requests().size();
    const QStringList manager = run(server, true, userInfo, calls);
    // The manager asks for compressed answers; the loopback transport does not.
    QVERIFY(loopbackRequests > 0 && server.requests().size() > loopbackRequests);
    QVERIFY(!server.requests().first().headers.contains("accept-encoding"));
    QVERIFY(server.requests().at(loopbackRequests).headers.contains("accept-encoding"));

    for (const QString &line : loopback + manager)
        QVERIFY2(!line.contains(Password), qPrintable(line));
    if (!difference.isEmpty() && !(difference.startsWith(Sometimes) && loopback == manager))
        QEXPECT_FAIL("", qPrintable(difference), Continue);
    QVERIFY2(loopback == manager,
        qPrintable(QStringLiteral("\nloopback:\n%1\nmanager:\n%2")
                       .arg(loopback.join(QLatin1Char('\n')), manager.join(QLatin1Char('\n')))));
}

void tst_TransportParity::redirectsAndHeaders_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("expected"); // what the caller gets; PORT stands for the server's

    // Answers with the client's own headers it was sent.
    const auto echoHeaders = [](const TestHttpServer::Request &request) {
        const QByteArray body = okBody(QString::fromLatin1(
            request.headers.value("x-api-key") + "|" + request.headers.value("authorization")));
        return keptOpen(TestHttpServer::head(200, body.size()) + body);
    };
    // A redirect from /RPC2 to location, where echoHeaders answers.
    const auto movedTo = [echoHeaders](int code, const QByteArray &location) -> Script {
        return [=](const TestHttpServer::Request &request) {
            if (request.path != "/RPC2")
                return echoHeaders(request);
            QByteArray where = location;
            where.replace("HOSTPORT", request.headers.value("host").split(':').value(1));
            return keptOpen(TestHttpServer::head(code, 2, "Location: " + where + "\r\n") + "no");
        };
    };
    const auto row = [](const char *name, const Script &script, const char *expected) {
        QTest::addRow("%s", name) << script << QString::fromUtf8(expected);
    };

    row("the client's own headers", echoHeaders, "answer k1|Bearer t");
    row("307 followed with the same call and headers", movedTo(307, "/moved"),
        "answer k1|Bearer t");
    row("308 to an absolute URL", movedTo(308, "http://127.0.0.1:HOSTPORT/moved"),
        "answer k1|Bearer t");
    row("307 to another host leaves Authorization out",
        movedTo(307, "http://localhost:HOSTPORT/moved"), "answer k1|");
    row("301 not followed", movedTo(301, "/moved"),
        "fault -32300 \"HTTP 301 redirect to http://127.0.0.1:PORT/moved not followed: only 307 "
        "and 308 repeat a call\"");
    row("303 not followed", movedTo(303, "/moved"),
        "fault -32300 \"HTTP 303 redirect to http://127.0.0.1:PORT/moved not followed: only 307 "
        "and 308 repeat a call\"");
    row("307 without a Location", status(307),
        "fault -32300 \"HTTP 307 redirect without a usable "
        "Location\"");
    row("307 to itself, without end", movedTo(307, "/RPC2"),
        "fault -32300 \"more than 5 redirects, the last to http://127.0.0.1:PORT/RPC2\"");
}

void tst_TransportParity::redirectsAndHeaders()
{
    QFETCH(Script, script);
    QFETCH(QString, expected);

    TestHttpServer server;
    QVERIFY(server.start());
    server.setHandler(script);
    for (const bool throughManager : {false, true}) {
        const QStringList lines = run(server, throughManager, {}, 1, [](QuorXmlRpcClient &client) {
            QVERIFY(QuorXmlRpcClientOptions::setRawHeader(&client, "X-Api-Key", "k1"));
            QVERIFY(QuorXmlRpcClientOptions::setRawHeader(&client, "Authorization", "Bearer t"));
        });
        QString outcome = lines.value(0);
        outcome.replace(QString::number(server.serverPort()), QStringLiteral("PORT"));
        QCOMPARE(outcome, expected);
    }
    // Every request the server saw carried the same call.
    for (const TestHttpServer::Request &request : server.requests())
        QCOMPARE(request.body, server.requests().first().body);
}

// The outcome of calls, one after the other, on a new client through one
// transport, with what the server was sent along.
QStringList tst_TransportParity::run(TestHttpServer &server, bool throughManager,
    const QString &userInfo, int calls, const std::function<void(QuorXmlRpcClient &)> &setUp)
{
    QUrl url = server.url();
    url.setUserInfo(userInfo);
    QuorXmlRpcClient client(url);
    if (setUp)
        setUp(client);
    // An application proxy sends the client's calls through its manager; the
    // manager itself goes direct.
    if (throughManager)
        client.findChild<QNetworkAccessManager *>()->setProxy(QNetworkProxy::NoProxy);
    Outcome outcome;
    QSignalSpy delivered(&outcome, &Outcome::delivered);
    const int firstRequest = server.requests().size();
    for (int call = 0; call < calls; ++call) {
        if (throughManager)
            QNetworkProxy::setApplicationProxy(
                QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), 1));
        client.call(QStringLiteral("answer"), {}, &outcome,
            SLOT(answer(QVariant &, QNetworkReply *)), &outcome,
            SLOT(fault(int, const QString &, QNetworkReply *)));
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        if (delivered.count() <= call && !delivered.wait(CallTimeoutMs))
            outcome.lines.append(QStringLiteral("nothing within %1 ms").arg(CallTimeoutMs));
    }
    for (int i = firstRequest; i < server.requests().size(); ++i) {
        const TestHttpServer::Request &request = server.requests().at(i);
        outcome.lines.append(QStringLiteral("sent: Authorization \"%1\", Cookie \"%2\"")
                                 .arg(QString::fromLatin1(request.headers.value("authorization")),
                                     QString::fromLatin1(request.headers.value("cookie"))));
    }
    return outcome.lines;
}

QTEST_GUILESS_MAIN(tst_TransportParity)
#include "tst_transportparity.moc"
