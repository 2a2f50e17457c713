// SPDX-License-Identifier: MIT
#include "quorhttp_p.h"

#include <QHostAddress>

namespace {

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
            || (c >= '0' && c <= '9') || QByteArray("!#$%&'*+-.^_`|~").contains(c);
        if (!allowed)
            return false;
    }
    return true;
}

bool hasControlCharacters(const QByteArray &text)
{
    for (const char c : text) {
        if ((c >= 0 && c < 0x20 && c != '\t') || c == 0x7f)
            return true;
    }
    return false;
}

} // namespace

QByteArray QuorHttpHead::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return header.second;
    }
    return QByteArray();
}

int QuorHttpHead::headerCount(const QByteArray &name) const
{
    int count = 0;
    for (const auto &header : headers)
        count += qstricmp(header.first.constData(), name.constData()) == 0 ? 1 : 0;
    return count;
}

namespace {

// "METHOD TARGET HTTP/1.x", as a server must read it.
QuorHttpHead::Result readRequestLine(const QByteArray &line, QuorHttpHead *head)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !isToken(parts.at(0)) || parts.at(1).isEmpty()
        || hasControlCharacters(parts.at(1))) {
        head->errorStatus = 400;
        return QuorHttpHead::Invalid;
    }
    if (parts.at(2) == "HTTP/1.1") {
        head->minorVersion = 1;
    } else if (parts.at(2) == "HTTP/1.0") {
        head->minorVersion = 0;
    } else {
        head->errorStatus = parts.at(2).startsWith("HTTP/") ? 505 : 400;
        return QuorHttpHead::Invalid;
    }
    head->method = parts.at(0);
    head->target = parts.at(1);
    return QuorHttpHead::Complete;
}

// "HTTP/1.x STATUS REASON", as Qt's client reads it: the reason may be missing.
QuorHttpHead::Result readStatusLine(const QByteArray &line, QuorHttpHead *head)
{
    head->statusLine = line.trimmed();
    const int firstSpace = head->statusLine.indexOf(' ');
    const int secondSpace = head->statusLine.indexOf(' ', firstSpace + 1);
    bool isNumber = false;
    head->status
        = head->statusLine.mid(firstSpace + 1, secondSpace < 0 ? -1 : secondSpace - firstSpace - 1)
              .toInt(&isNumber);
    if (!head->statusLine.startsWith("HTTP/1.") || firstSpace != 8 || !isNumber) {
        head->errorStatus = 400;
        return QuorHttpHead::Invalid;
    }
    head->minorVersion = head->statusLine.startsWith("HTTP/1.1") ? 1 : 0;
    head->reason = secondSpace < 0 ? QByteArray() : head->statusLine.mid(secondSpace + 1);
    return QuorHttpHead::Complete;
}

} // namespace

QuorHttpHead::Result QuorHttpHead::parse(const QByteArray &buffer, int maximumSize, Kind kind)
{
    int lineStart = 0;
    bool startLine = true;
    for (;;) {
        const int lineEnd = buffer.indexOf('\n', lineStart);
        if (lineEnd < 0 || lineEnd >= maximumSize) {
            if (buffer.size() < maximumSize)
                return Incomplete;
            errorStatus = 431;
            return Invalid;
        }
        QByteArray line = buffer.mid(lineStart, lineEnd - lineStart);
        if (line.endsWith('\r'))
            line.chop(1);
        lineStart = lineEnd + 1;

        if (startLine) {
            if (line.isEmpty() && kind == Request)
                continue; // tolerated before the request line
            const Result result
                = kind == Request ? readRequestLine(line, this) : readStatusLine(line, this);
            if (result == Invalid)
                return Invalid;
            startLine = false;
            continue;
        }
        if (line.isEmpty()) {
            size = lineStart;
            return Complete;
        }
        const int colon = line.indexOf(':');
        if (kind == Response) {
            if (colon > 0)
                headers.append(
                    qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
            continue;
        }
        // No folded lines, no space before the colon, nothing a parser could misread.
        if (colon <= 0 || line.startsWith(' ') || line.startsWith('\t')
            || !isToken(line.left(colon)) || hasControlCharacters(line)) {
            errorStatus = 400;
            return Invalid;
        }
        headers.append(qMakePair(line.left(colon), line.mid(colon + 1).trimmed()));
    }
}

bool QuorHttp::isLoopbackHost(const QString &host)
{
    QString name = host;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

QuorHttpChunkedBody::Result QuorHttpChunkedBody::fail(int status)
{
    m_state = Failed;
    m_errorStatus = status;
    m_body.clear();
    return Invalid;
}

QuorHttpChunkedBody::Result QuorHttpChunkedBody::parse(const QByteArray &buffer, int start)
{
    for (;;) {
        const int position = start + m_consumed;
        switch (m_state) {
        case Done:
            return Complete;
        case Failed:
            return Invalid;
        case Data: {
            const int take = int(qMin<qint64>(m_remaining, buffer.size() - position));
            if (take <= 0)
                return Incomplete;
            m_body.append(buffer.constData() + position, take);
            m_consumed += take;
            m_remaining -= take;
            if (m_remaining == 0)
                m_state = DataEnd;
            continue;
        }
        default:
            break;
        }

        // The other states read a line, ended by CRLF or a bare LF.
        const int lineEnd = buffer.indexOf('\n', position);
        const int limit
            = m_state == Trailer ? m_maximumLineSize - m_trailerSize : m_maximumLineSize;
        if (lineEnd < 0)
            return buffer.size() - position > limit ? fail(400) : Incomplete;
        if (lineEnd - position + 1 > limit)
            return fail(400);
        QByteArray line = buffer.mid(position, lineEnd - position);
        if (line.endsWith('\r'))
            line.chop(1);
        m_consumed += lineEnd - position + 1;

        if (m_state == DataEnd) {
            if (!line.isEmpty())
                return fail(400);
            m_state = SizeLine;
        } else if (m_state == Trailer) {
            m_trailerSize += lineEnd - position + 1;
            if (line.isEmpty()) {
                m_state = Done;
                continue;
            }
            const int colon = line.indexOf(':');
            if (colon <= 0 || !isToken(line.left(colon)) || hasControlCharacters(line))
                return fail(400);
        } else { // SizeLine
            int digits = 0;
            qint64 size = 0;
            for (; digits < line.size(); ++digits) {
                const char c = line.at(digits);
                const int value = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f'             ? c - 'a' + 10
                    : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                                       : -1;
                if (value < 0)
                    break;
                size = size * 16 + value;
                // Checked at every digit, so that no size line overflows.
                if (size > m_maximumBodySize - m_body.size())
                    return fail(413);
            }
            const QByteArray extensions = line.mid(digits).trimmed();
            if (digits == 0 || (!extensions.isEmpty() && !extensions.startsWith(';'))
                || hasControlCharacters(extensions))
                return fail(400);
            m_remaining = size;
            m_state = size == 0 ? Trailer : Data;
        }
    }
}

namespace QuorHttp {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

QByteArray response(
    int status, const QByteArray &contentType, const QByteArray &body, Connection connection)
{
    QByteArray text;
    text.reserve(128 + body.size());
    text += "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (status == 405)
        text += "Allow: POST\r\n";
    text += "Content-Type: " + contentType + "\r\n";
    text += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    // HTTP/1.1 keeps a connection open unless told otherwise; HTTP/1.0 the opposite.
    if (connection == Connection::Close)
        text += "Connection: close\r\n";
    else if (connection == Connection::KeepAliveHttp10)
        text += "Connection: keep-alive\r\n";
    text += "\r\n";
    text += body;
    return text;
}

} // namespace QuorHttp
