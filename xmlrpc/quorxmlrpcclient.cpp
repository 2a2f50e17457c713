// SPDX-License-Identifier: MIT
#include "quorxmlrpcclient.h"

#include "quorcallreply_p.h"
#include "quorcodec_p.h"
#include "quorfault.h"
#include "quorhttpclient_p.h"
#include "quorobject.h"
#include "quorobject_p.h"
#include "quorxmlrpcclientlimits_p.h"
#include "quorxmlrpcclientoptions.h"

#include <QNetworkReply>
#include <QPointer>

#include <utility>

namespace {
const QByteArray UserAgentHeader = QByteArrayLiteral("User-Agent");
constexpr int TransportErrorCode = -32300;
constexpr int InvalidParametersCode = -32602;
// Each followed redirect sends the whole call again; a short chain is all a
// moved service needs.
constexpr int MaximumRedirects = 5;

// The reply of a call that was never sent, because a value of it has no
// XML-RPC form: finished before it started, its fault delivered from the
// event loop as any other.
class QuorUnsentReply : public QNetworkReply
{
public:
    QuorUnsentReply(const QNetworkRequest &request, QObject *parent)
        : QNetworkReply(parent)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(QNetworkAccessManager::PostOperation);
        setError(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
        setFinished(true);
        QIODevice::open(QIODevice::ReadOnly);
    }

    void abort() override { }

protected:
    qint64 readData(char *, qint64) override { return -1; }
};

// The client's own connections, made at its first call over them.
QuorHttpTransport *ownTransport(QuorXmlRpcClient *client)
{
    auto *transport = client->findChild<QuorHttpTransport *>(QString(), Qt::FindDirectChildrenOnly);
    if (!transport) {
        transport = new QuorHttpTransport(
            client->findChild<QNetworkAccessManager *>(QString(), Qt::FindDirectChildrenOnly),
            client);
        QObject::connect(transport, SIGNAL(finished(QNetworkReply *)), client,
            SLOT(replyFinished(QNetworkReply *)));
        QObject::connect(transport, SIGNAL(sslErrors(QNetworkReply *, const QList<QSslError> &)),
            client, SIGNAL(sslErrors(QNetworkReply *, const QList<QSslError> &)));
    }
    return transport;
}

// Arms the limits set now for the call that reply carries, for timeout of
// what is left of the call's time. The timer and the connections go with the
// reply, or with the limits when the client goes first.
void watch(QNetworkReply *reply, QuorXmlRpcClientLimitsData *limits, int timeout)
{
    const int stated = limits->timeout;
    const qint64 maximum = limits->maximumResponseSize;
    QuorCallReply::watch(reply, limits, timeout, maximum, [=](QuorCallReply::Bound bound) {
        limits->end(reply, QuorCallReply::boundText(bound, stated, maximum));
    });
}

// The codec options set for client's calls.
QuorCodec::Options codecOptions(const QuorXmlRpcClient *client)
{
    QuorCodec::Options options;
    options.i8 = QuorXmlRpcClientOptions::isI8Enabled(client);
    options.nil = QuorXmlRpcClientOptions::isNilEnabled(client);
    return options;
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(-1) == b.port(-1);
}

// text without the password of url: Qt's error texts show the URL whole.
QString withoutPassword(QString text, const QUrl &url)
{
    if (url.password().isEmpty())
        return text;
    for (const QUrl::ComponentFormattingOption format : {QUrl::PrettyDecoded, QUrl::FullyEncoded}) {
        text.replace(url.toString(format), url.toString(format | QUrl::RemovePassword));
        text.replace(
            url.userInfo(format) + QLatin1Char('@'), url.userName(format) + QLatin1Char('@'));
    }
    return text;
}

} // namespace

QuorXmlRpcClient::QuorXmlRpcClient(QObject *parent)
    : QObject(parent)
    , manager(this)
{
    init();
}

QuorXmlRpcClient::QuorXmlRpcClient(QUrl url, QObject *parent)
    : QObject(parent)
    , manager(this)
    , request(url)
{
    init();
    setUrl(url);
}

QuorXmlRpcClient::QuorXmlRpcClient(QUrl url, QString userAgent, QObject *parent)
    : QObject(parent)
    , manager(this)
{
    init();
    setUserAgent(userAgent);
    setUrl(url);
}

QuorXmlRpcClient::~QuorXmlRpcClient()
{
    // The manager and the transport abort their pending replies as they go;
    // none of them may reach replyFinished() on a client that is half destroyed.
    manager.disconnect(this);
    if (QuorHttpTransport *own
        = findChild<QuorHttpTransport *>(QString(), Qt::FindDirectChildrenOnly))
        own->disconnect(this);
}

void QuorXmlRpcClient::init()
{
    request.setRawHeader(UserAgentHeader, QByteArrayLiteral("rododir/0.2"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QVariant(QStringLiteral("text/xml")));
    // The client decides about redirects itself, alike on both transports
    // (Qt 6 would otherwise repeat the call as a GET to the new place).
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(
        &manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(replyFinished(QNetworkReply *)));
    connect(&manager, SIGNAL(sslErrors(QNetworkReply *, const QList<QSslError> &)), this,
        SIGNAL(sslErrors(QNetworkReply *, const QList<QSslError> &)));
}

void QuorXmlRpcClient::setUrl(QUrl url)
{
    if (url.isValid())
        request.setUrl(url);
}

void QuorXmlRpcClient::setUserAgent(QString userAgent)
{
    request.setRawHeader(UserAgentHeader, userAgent.toLatin1());
}

void QuorXmlRpcClient::setSslConfiguration(const QSslConfiguration &config)
{
    request.setSslConfiguration(config);
}

QSslConfiguration QuorXmlRpcClient::sslConfiguration() const
{
    return request.sslConfiguration();
}

QNetworkReply *QuorXmlRpcClient::call(QString method, QList<QVariant> args, QObject *responseObject,
    const char *responseSlot, QObject *faultObject, const char *faultSlot)
{
    QuorObject *callObject = new QuorObject(this);
    connect(
        callObject, SIGNAL(aresponse(QVariant &, QNetworkReply *)), responseObject, responseSlot);
    connect(
        callObject, SIGNAL(fault(int, const QString &, QNetworkReply *)), faultObject, faultSlot);
    return post(callObject, method, args);
}

QNetworkReply *QuorXmlRpcClient::callWithCallbacks(const QString &method,
    const QList<QVariant> &args, QObject *context,
    std::function<void(QVariant &, QNetworkReply *)> onValue,
    std::function<void(int, const QString &, QNetworkReply *)> onFault)
{
    QuorObject *callObject = new QuorObject(this);
    connect(callObject, &QuorObject::aresponse, context, std::move(onValue));
    connect(callObject, &QuorObject::fault, context, std::move(onFault));
    return post(callObject, method, args);
}

QNetworkReply *QuorXmlRpcClient::post(
    QuorObject *callObject, const QString &method, const QList<QVariant> &args)
{
    // The very bytes of prepareCall(method, args).toUtf8(), written directly.
    bool written = true;
    const QByteArray document
        = QuorFastCodec::writeCallUtf8(method, args, codecOptions(this), &written);
    if (!written) {
        QNetworkReply *reply = new QuorUnsentReply(request, this);
        callmap.insert(reply, callObject);
        QMetaObject::invokeMethod(
            this, [this, reply] { replyFinished(reply); }, Qt::QueuedConnection);
        return reply;
    }
    QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::findOrCreate(this);
    QNetworkRequest outgoing = request;
    for (const auto &header : std::as_const(limits->headers))
        outgoing.setRawHeader(header.first, header.second);
    QNetworkReply *reply = sendDocument(callObject, outgoing, document, limits->timeout);
    QuorXmlRpcClientLimitsData::Hop &hop = limits->hops[reply];
    hop.document = document;
    hop.original = reply;
    hop.elapsed.start();
    return reply;
}

QNetworkReply *QuorXmlRpcClient::sendDocument(QuorObject *callObject,
    const QNetworkRequest &outgoing, const QByteArray &document, int timeout)
{
    QNetworkReply *reply = QuorHttpTransport::serves(outgoing.url(), &manager)
        ? ownTransport(this)->post(outgoing, document)
        : manager.post(outgoing, document);
    callmap.insert(reply, callObject);
    watch(reply, QuorXmlRpcClientLimitsData::find(this), timeout);
    return reply;
}

// Only 307 and 308 promise that the same call may go to the new place; other
// redirects end the call and say where the service went.
bool QuorXmlRpcClient::followRedirect(
    QNetworkReply *reply, QuorObject *callObject, QString *failure)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return false;
    QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(this);
    const QuorXmlRpcClientLimitsData::Hop hop = limits->hops.value(reply);
    const QByteArray location = reply->rawHeader("Location");
    const QUrl from = reply->url();
    const QUrl to = from.resolved(QUrl::fromEncoded(location));
    const QString where = withoutPassword(to.toString(), to);
    if (location.isEmpty() || !to.isValid()
        || (to.scheme() != QLatin1String("http") && to.scheme() != QLatin1String("https"))) {
        *failure = QStringLiteral("HTTP %1 redirect without a usable Location").arg(status);
    } else if (status != 307 && status != 308) {
        *failure
            = QStringLiteral("HTTP %1 redirect to %2 not followed: only 307 and 308 repeat a call")
                  .arg(status)
                  .arg(where);
    } else if (from.scheme() == QLatin1String("https") && to.scheme() != QLatin1String("https")) {
        *failure = QStringLiteral("HTTP %1 redirect from HTTPS to %2 not followed")
                       .arg(status)
                       .arg(where);
    } else if (hop.redirects >= MaximumRedirects) {
        *failure = QStringLiteral("more than %1 redirects, the last to %2")
                       .arg(MaximumRedirects)
                       .arg(where);
    } else {
        QNetworkRequest outgoing = reply->request();
        outgoing.setUrl(to);
        if (!sameOrigin(from, to)) {
            outgoing.setRawHeader("Authorization", QByteArray());
            outgoing.setRawHeader("Cookie", QByteArray());
        }
        int timeout = limits->timeout;
        if (timeout)
            timeout = qMax(1, timeout - int(hop.elapsed.elapsed()));
        QNetworkReply *next = sendDocument(callObject, outgoing, hop.document, timeout);
        QuorXmlRpcClientLimitsData::Hop &nextHop = limits->hops[next];
        nextHop = hop;
        ++nextHop.redirects;
        callmap.remove(reply);
        limits->hops.remove(reply);
        if (reply != hop.original)
            reply->deleteLater();
        return true;
    }
    return false;
}

void QuorXmlRpcClient::replyFinished(QNetworkReply *reply)
{
    const auto entry = callmap.constFind(reply);
    if (entry == callmap.constEnd())
        return;
    QuorObject *callObject = entry.value();

    // A call ended by one of the client's limits, then a transport error.
    QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(this);
    QString failure = limits ? limits->takeEnding(reply) : QString();
    if (failure.isNull() && reply->error() != QNetworkReply::NoError)
        failure = withoutPassword(reply->errorString(), reply->url());
    if (failure.isNull() && followRedirect(reply, callObject, &failure))
        return;
    // After redirects, the slot still gets the reply that call() returned.
    QNetworkReply *original = limits ? limits->hops.take(reply).original : nullptr;
    QNetworkReply *delivered = original ? original : reply;

    // A slot that destroys the client also destroys the reply with the manager.
    const QPointer<QuorXmlRpcClient> alive(this);
    if (dynamic_cast<QuorUnsentReply *>(reply)) {
        QuorResponse fault
            = QuorResponse::fromFault(InvalidParametersCode, QuorCallReply::unwritableCallText());
        quorDeliverResponse(callObject, &fault, delivered);
    } else if (!failure.isNull()) {
        callObject->parseResponse(QuorFault(TransportErrorCode, failure).toString(), delivered);
    } else {
        QuorResponse response = QuorCallReply::readAnswer(reply, codecOptions(this));
        quorDeliverResponse(callObject, &response, delivered);
    }
    if (!alive)
        return;
    reply->deleteLater();
    if (delivered != reply)
        delivered->deleteLater();
    callmap.remove(reply);
}
