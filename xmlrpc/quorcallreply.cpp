// SPDX-License-Identifier: MIT
#include "quorcallreply_p.h"

#include <QNetworkReply>
#include <QTimer>

namespace QuorCallReply {

void watch(QNetworkReply *reply, QObject *context, int timeoutMs, qint64 maximumSize,
    const std::function<void(Bound)> &end)
{
    if (timeoutMs > 0) {
        auto *timer = new QTimer(reply);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, context, [end] { end(Bound::Time); });
        timer->start(timeoutMs);
    }
    if (maximumSize > 0) {
        const auto check = [end, maximumSize](qint64 bytes) {
            if (bytes > maximumSize)
                end(Bound::Size);
        };
        // A declared length ends the call before any of the body is read.
        QObject::connect(reply, &QNetworkReply::metaDataChanged, context, [reply, check] {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid())
                check(length.toLongLong());
        });
        // The body stays unread until the reply has finished, so what is
        // available is all that came. Qt holds back some downloadProgress
        // signals, but none of readyRead.
        QObject::connect(reply, &QNetworkReply::readyRead, context,
            [reply, check] { check(reply->bytesAvailable()); });
    }
}

QString boundText(Bound bound, int timeoutMs, qint64 maximumSize)
{
    return bound == Bound::Time ? QStringLiteral("timed out after %1 ms").arg(timeoutMs)
                                : QStringLiteral("response larger than %1 bytes").arg(maximumSize);
}

QuorResponse readAnswer(QNetworkReply *reply, const QuorCodec::Options &options)
{
    return readAnswer(reply->readAll(), options);
}

QuorResponse readAnswer(QByteArray body, const QuorCodec::Options &options)
{
    const int zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    return QuorFastCodec::readResponseBytes(body, options);
}

QString unwritableCallText()
{
    return QStringLiteral("invalid parameters: a value of the call has no XML-RPC form");
}

} // namespace QuorCallReply
