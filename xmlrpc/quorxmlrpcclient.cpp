// SPDX-License-Identifier: MIT
#include "quorxmlrpcclient.h"

#include "quorcodec_p.h"
#include "quorfault.h"
#include "quorhttpclient_p.h"
#include "quorobject.h"
#include "quorobject_p.h"
#include "quorxmlrpcclientlimits_p.h"
#include "quorxmlrpcclientoptions.h"

#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace {
const QByteArray UserAgentHeader = QByteArrayLiteral("User-Agent");
constexpr int TransportErrorCode = -32300;
constexpr int InvalidParametersCode = -32602;

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

// The client's own connections to loopback servers, made at its first call there.
QuorHttpTransport *loopbackTransport(QuorXmlRpcClient *client)
{
    auto *transport = client->findChild<QuorHttpTransport *>(QString(), Qt::FindDirectChildrenOnly);
    if (!transport) {
        transport = new QuorHttpTransport(
            client->findChild<QNetworkAccessManager *>(QString(), Qt::FindDirectChildrenOnly),
            client);
        QObject::connect(transport, SIGNAL(finished(QNetworkReply *)), client,
            SLOT(replyFinished(QNetworkReply *)));
    }
    return transport;
}

// Arms the limits set now for the call that reply carries. The timer and the
// connections go with the reply, or with the limits when the client goes first.
void watch(QNetworkReply *reply, QuorXmlRpcClientLimitsData *limits)
{
    if (const int timeout = limits->timeout) {
        auto *timer = new QTimer(reply);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, limits, [reply, limits, timeout] {
            limits->end(reply, QStringLiteral("timed out after %1 ms").arg(timeout));
        });
        timer->start(timeout);
    }
    if (const qint64 maximum = limits->maximumResponseSize) {
        const auto check = [reply, limits, maximum](qint64 bytes) {
            if (bytes > maximum)
                limits->end(reply, QStringLiteral("response larger than %1 bytes").arg(maximum));
        };
        // A declared length ends the call before any of the body is read.
        QObject::connect(reply, &QNetworkReply::metaDataChanged, limits, [reply, check] {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid())
                check(length.toLongLong());
        });
        // The body stays unread until the reply has finished, so what is
        // available is all that came. Qt holds back some downloadProgress
        // signals, but none of readyRead.
        QObject::connect(reply, &QNetworkReply::readyRead, limits,
            [reply, check] { check(reply->bytesAvailable()); });
    }
}

// The codec options set for client's calls.
QuorCodec::Options codecOptions(const QuorXmlRpcClient *client)
{
    QuorCodec::Options options;
    options.i8 = QuorXmlRpcClientOptions::isI8Enabled(client);
    return options;
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
    if (QuorHttpTransport *loopback
        = findChild<QuorHttpTransport *>(QString(), Qt::FindDirectChildrenOnly))
        loopback->disconnect(this);
}

void QuorXmlRpcClient::init()
{
    request.setRawHeader(UserAgentHeader, QByteArrayLiteral("rododir/0.2"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QVariant(QStringLiteral("text/xml")));
    // A redirection is an answer like any other, never followed (Qt 6 would
    // otherwise repeat the call as a GET to the new place).
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
    QNetworkReply *reply = QuorHttpTransport::serves(request.url())
        ? loopbackTransport(this)->post(request, document)
        : manager.post(request, document);
    callmap.insert(reply, callObject);
    if (QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(this))
        watch(reply, limits);
    return reply;
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

    // A slot that destroys the client also destroys the reply with the manager.
    const QPointer<QuorXmlRpcClient> alive(this);
    if (dynamic_cast<QuorUnsentReply *>(reply)) {
        QuorResponse fault = QuorResponse::fromFault(InvalidParametersCode,
            QStringLiteral("invalid parameters: a value of the call has no XML-RPC form"));
        quorDeliverResponse(callObject, &fault, reply);
    } else if (!failure.isNull()) {
        callObject->parseResponse(QuorFault(TransportErrorCode, failure).toString(), reply);
    } else {
        // The body counts as zero-terminated text. It is read straight from
        // its UTF-8 bytes, as parseResponse() would read it decoded.
        QByteArray body = reply->readAll();
        const int zero = body.indexOf('\0');
        if (zero >= 0)
            body.truncate(zero);
        QuorResponse response = QuorFastCodec::readResponseBytes(body, codecOptions(this));
        body.clear();
        quorDeliverResponse(callObject, &response, reply);
    }
    if (!alive)
        return;
    reply->deleteLater();
    callmap.remove(reply);
}
