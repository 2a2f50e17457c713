// SPDX-License-Identifier: MIT
#include "quorinstancecall_p.h"

#include "quorcallreply_p.h"
#include "quorhttpclient_p.h"
#include "quorhttpexchange_p.h"

#include <QEventLoop>

#include <QNetworkRequest>
#include <QPointer>

QuorInstanceCaller::QuorInstanceCaller(const QByteArray &userAgent, QObject *parent)
    : QObject(parent)
    , m_userAgent(userAgent)
{ }

QuorInstanceCaller::~QuorInstanceCaller()
{
    // The transport aborts its replies as it goes; none may reach a callback.
    m_calls.clear();
    if (m_transport)
        m_transport->disconnect(this);
}

void QuorInstanceCaller::call(const QUrl &url, const QString &method, const QVariantList &params,
    int timeoutMs, qint64 maximumAnswerSize, Done done)
{
    if (!m_transport) {
        // No manager: the transport keeps no cookies, which no instance sets.
        m_transport = new QuorHttpTransport(nullptr, this);
        connect(m_transport, &QuorHttpTransport::finished, this, &QuorInstanceCaller::finished);
    }
    bool written = true;
    const QByteArray document = QuorFastCodec::writeCallUtf8(method, params, {}, &written);
    if (!written) {
        QMetaObject::invokeMethod(
            this, [done] { done(unwritable()); }, Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", m_userAgent);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/xml"));
    QNetworkReply *reply = m_transport->post(request, document);
    m_calls.insert(reply, Pending {std::move(done), QString()});

    using QuorCallReply::Bound;
    QuorCallReply::watch(reply, this, timeoutMs, maximumAnswerSize,
        [this, reply, timeoutMs, maximumAnswerSize](Bound bound) {
            if (end(reply, QuorCallReply::boundText(bound, timeoutMs, maximumAnswerSize)))
                m_calls[reply].timedOut = bound == Bound::Time;
        });
}

QuorInstanceCaller::Outcome QuorInstanceCaller::callAndWait(const QHostAddress &address,
    quint16 port, const QString &method, const QVariantList &params, int timeoutMs,
    qint64 maximumAnswerSize)
{
#if defined(Q_OS_UNIX)
    bool written = true;
    const QByteArray document = QuorFastCodec::writeCallUtf8(method, params, {}, &written);
    if (!written)
        return unwritable();
    const QuorHttpExchange exchange = QuorHttpExchange::post(address, port,
        "User-Agent: " + m_userAgent + "\r\nContent-Type: text/xml\r\n", document, timeoutMs,
        maximumAnswerSize);
    QString failure;
    switch (exchange.ending) {
    case QuorHttpExchange::Answered:
        break;
    case QuorHttpExchange::Failed:
        failure = exchange.errorString;
        break;
    case QuorHttpExchange::TimedOut:
        failure
            = QuorCallReply::boundText(QuorCallReply::Bound::Time, timeoutMs, maximumAnswerSize);
        break;
    case QuorHttpExchange::TooLarge:
        failure
            = QuorCallReply::boundText(QuorCallReply::Bound::Size, timeoutMs, maximumAnswerSize);
        break;
    }
    Outcome outcome = outcomeOf(failure, exchange.status, exchange.body);
    outcome.networkError = exchange.error;
    outcome.timedOut = exchange.ending == QuorHttpExchange::TimedOut;
    return outcome;
#else
    // Elsewhere the same call, waited for.
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(address.toString());
    url.setPort(port);
    url.setPath(QStringLiteral("/RPC2"));
    Outcome outcome;
    QEventLoop loop;
    call(url, method, params, timeoutMs, maximumAnswerSize, [&](const Outcome &result) {
        outcome = result;
        loop.quit();
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return outcome;
#endif
}

QuorInstanceCaller::Outcome QuorInstanceCaller::unwritable()
{
    Outcome outcome;
    outcome.isFault = true;
    outcome.code = -32602;
    outcome.message = QuorCallReply::unwritableCallText();
    return outcome;
}

QuorInstanceCaller::Outcome QuorInstanceCaller::outcomeOf(
    QString failure, int status, const QByteArray &body)
{
    Outcome outcome;
    if (failure.isNull() && status >= 300 && status < 400)
        failure = QStringLiteral("HTTP %1 redirect not followed on the loopback").arg(status);
    if (!failure.isNull()) {
        outcome.isFault = true;
        outcome.code = TransportErrorCode;
        outcome.message = failure;
        return outcome;
    }
    const QuorResponse response = QuorCallReply::readAnswer(body, {});
    outcome.isFault = response.isFault;
    outcome.code = response.faultCode;
    outcome.message = response.faultString;
    outcome.value = response.value;
    return outcome;
}

bool QuorInstanceCaller::end(QNetworkReply *reply, const QString &why)
{
    const auto pending = m_calls.find(reply);
    if (pending == m_calls.end() || !pending->ending.isNull() || !reply->isRunning())
        return false;
    pending->ending = why;
    // Not from inside the reply's own signals, which go on after they return.
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    return true;
}

void QuorInstanceCaller::finished(QNetworkReply *reply)
{
    reply->deleteLater();
    const Pending pending = m_calls.take(reply);
    if (!pending.done)
        return;
    QString failure = pending.ending;
    if (failure.isNull() && reply->error() != QNetworkReply::NoError)
        failure = reply->errorString();
    Outcome outcome
        = outcomeOf(failure, reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            failure.isNull() ? reply->readAll() : QByteArray());
    outcome.networkError = reply->error();
    outcome.timedOut = pending.timedOut;
    pending.done(outcome);
}
