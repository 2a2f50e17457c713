// SPDX-License-Identifier: MIT
#include "quorxmlrpcclientlimits.h"

#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientlimits_p.h"
#include "quorxmlrpcclientoptions.h"

#include <QNetworkReply>

QuorXmlRpcClientLimitsData::QuorXmlRpcClientLimitsData(QuorXmlRpcClient *client)
    : QObject(client)
{ }

QuorXmlRpcClientLimitsData *QuorXmlRpcClientLimitsData::find(const QuorXmlRpcClient *client)
{
    return client
        ? client->findChild<QuorXmlRpcClientLimitsData *>(QString(), Qt::FindDirectChildrenOnly)
        : nullptr;
}

QuorXmlRpcClientLimitsData *QuorXmlRpcClientLimitsData::findOrCreate(QuorXmlRpcClient *client)
{
    QuorXmlRpcClientLimitsData *limits = find(client);
    return limits ? limits : new QuorXmlRpcClientLimitsData(client);
}

void QuorXmlRpcClientLimitsData::end(QNetworkReply *reply, const QString &why)
{
    // A reply that has finished may still wait for its deletion; a second
    // limit may trip before the first one's abort has run.
    if (!reply->isRunning() || m_endings.contains(reply))
        return;
    m_endings.insert(reply, why);
    // Not from inside the reply's own signals, which Qt goes on handling
    // after they return; should the reply finish meanwhile, the reason stands
    // and the abort does nothing.
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

QString QuorXmlRpcClientLimitsData::takeEnding(QNetworkReply *reply)
{
    return m_endings.take(reply);
}

void QuorXmlRpcClientLimits::setTimeout(QuorXmlRpcClient *client, int milliseconds)
{
    if (client)
        QuorXmlRpcClientLimitsData::findOrCreate(client)->timeout = qMax(0, milliseconds);
}

int QuorXmlRpcClientLimits::timeout(const QuorXmlRpcClient *client)
{
    const QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(client);
    return limits ? limits->timeout : 0;
}

void QuorXmlRpcClientLimits::setMaximumResponseSize(QuorXmlRpcClient *client, qint64 bytes)
{
    if (client)
        QuorXmlRpcClientLimitsData::findOrCreate(client)->maximumResponseSize
            = qMax(qint64(0), bytes);
}

qint64 QuorXmlRpcClientLimits::maximumResponseSize(const QuorXmlRpcClient *client)
{
    const QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(client);
    return limits ? limits->maximumResponseSize : 0;
}

void QuorXmlRpcClientOptions::setI8Enabled(QuorXmlRpcClient *client, bool enabled)
{
    if (client)
        QuorXmlRpcClientLimitsData::findOrCreate(client)->i8Enabled = enabled;
}

bool QuorXmlRpcClientOptions::isI8Enabled(const QuorXmlRpcClient *client)
{
    const QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(client);
    return limits && limits->i8Enabled;
}

void QuorXmlRpcClientOptions::setNilEnabled(QuorXmlRpcClient *client, bool enabled)
{
    if (client)
        QuorXmlRpcClientLimitsData::findOrCreate(client)->nilEnabled = enabled;
}

bool QuorXmlRpcClientOptions::isNilEnabled(const QuorXmlRpcClient *client)
{
    const QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(client);
    return limits && limits->nilEnabled;
}

namespace {
// The headers the transport writes from the call itself.
bool isTransportHeader(const QByteArray &name)
{
    for (const char *own : {"host", "content-length", "transfer-encoding", "connection"}) {
        if (name.compare(own, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// A header name is a token: visible ASCII without separators.
bool isToken(const QByteArray &name)
{
    static const QByteArray separators = QByteArrayLiteral("()<>@,;:\\\"/[]?={} \t");
    for (const char c : name) {
        if (uchar(c) <= 32 || uchar(c) >= 127 || separators.contains(c))
            return false;
    }
    return !name.isEmpty();
}
} // namespace

bool QuorXmlRpcClientOptions::setRawHeader(
    QuorXmlRpcClient *client, const QByteArray &name, const QByteArray &value)
{
    if (!client || !isToken(name) || isTransportHeader(name) || value.contains('\r')
        || value.contains('\n') || value.contains('\0'))
        return false;
    auto &headers = QuorXmlRpcClientLimitsData::findOrCreate(client)->headers;
    for (int i = 0; i < headers.size(); ++i) {
        if (headers.at(i).first.compare(name, Qt::CaseInsensitive) == 0)
            headers.removeAt(i--);
    }
    if (!value.isEmpty())
        headers.append({name, value});
    return true;
}

QByteArray QuorXmlRpcClientOptions::rawHeader(
    const QuorXmlRpcClient *client, const QByteArray &name)
{
    if (const QuorXmlRpcClientLimitsData *limits = QuorXmlRpcClientLimitsData::find(client)) {
        for (const auto &header : limits->headers) {
            if (header.first.compare(name, Qt::CaseInsensitive) == 0)
                return header.second;
        }
    }
    return QByteArray();
}
