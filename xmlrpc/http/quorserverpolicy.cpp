// SPDX-License-Identifier: MIT
#include "quorserverpolicy_p.h"

#include "quorhttp_p.h"
#include "quorserverconnection_p.h"

namespace {

// A Host header's host: a loopback name or address, with any port.
bool namesLoopbackHost(const QByteArray &hostHeader)
{
    QByteArray host = hostHeader.trimmed().toLower();
    if (host.startsWith('[')) {
        const int end = host.indexOf(']');
        if (end < 0)
            return false;
        host = host.mid(1, end - 1);
    } else if (host.count(':') == 1) {
        host.truncate(host.indexOf(':'));
    }
    // Names under "localhost." are loopback names too.
    return QuorHttp::isLoopbackHost(QString::fromLatin1(host)) || host.endsWith(".localhost")
        || host.endsWith(".localhost.");
}

bool isXmlContentType(const QByteArray &contentType)
{
    const QByteArray mediaType = contentType.split(';').value(0).trimmed().toLower();
    return mediaType == "text/xml" || mediaType == "application/xml" || mediaType.endsWith("+xml");
}

// The status that refuses a request's framing, or 0. Chunked is the one coding
// understood, and frames a body alone: no Content-Length beside it, which a
// proxy on the way might have believed instead, and no HTTP/1.0, which has no
// such framing.
int framingRefusal(const QuorHttpHead &head, qint64 maximumRequestSize)
{
    if (head.headerCount("transfer-encoding") > 0) {
        int codings = 0;
        for (const auto &header : head.headers) {
            if (header.first.compare("transfer-encoding", Qt::CaseInsensitive) != 0)
                continue;
            for (const QByteArray &coding : header.second.split(',')) {
                const QByteArray name = coding.trimmed().toLower();
                if (name.isEmpty())
                    continue;
                if (name != "chunked")
                    return 501;
                ++codings;
            }
        }
        return codings != 1 || head.headerCount("content-length") > 0 || head.minorVersion == 0
            ? 400
            : 0;
    }
    if (head.headerCount("content-length") == 0)
        return 411;
    const QByteArray length = head.header("content-length");
    bool isNumber = !length.isEmpty() && length.size() <= 18;
    for (const char c : length)
        isNumber = isNumber && c >= '0' && c <= '9';
    if (!isNumber || head.headerCount("content-length") > 1)
        return 400;
    return length.toLongLong() > maximumRequestSize ? 413 : 0;
}

} // namespace

int QuorServerPolicy::statusRefusing(const QuorHttpHead &head) const
{
    if (head.method != "POST")
        return 405;
    QByteArray path = head.target;
    if (path.startsWith("http://") || path.startsWith("https://")) {
        const int slash = path.indexOf('/', path.indexOf("//") + 2);
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    path.truncate(path.indexOf('?') < 0 ? path.size() : path.indexOf('?'));
    if (!paths.contains(QString::fromUtf8(path)))
        return 404;
    const int hosts = head.headerCount("host");
    if (hosts > 1 || (hosts == 0 && head.minorVersion == 1))
        return 400;
    if (loopbackHostRequired && hosts == 1 && !namesLoopbackHost(head.header("host")))
        return 403;
    if (xmlContentTypeRequired && !isXmlContentType(head.header("content-type")))
        return 415;
    return framingRefusal(head, maximumRequestSize);
}

QuorServerConnection *QuorServerPolicy::connectionToReplace(
    const QList<QuorServerConnection *> &connections)
{
    for (const bool resting : {false, true}) {
        for (QuorServerConnection *connection : connections) {
            if (connection->waitsForClient() && connection->restsBetweenRequests() == resting
                && !connection->hasWholeRequest())
                return connection;
        }
    }
    return nullptr;
}
