// SPDX-License-Identifier: MIT
#include "quorhttp_p.h"

#include <QHostAddress>

#include <cstring>

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

QuorHttpHead::BodyEnd QuorHttpHead::responseBodyEnd(qint64 *length) const
{
    *length = -1;
    QByteArray transferEncoding;
    for (const auto &field : headers) {
        if (qstricmp(field.first.constData(), "content-length") == 0)
            *length = field.second.toLongLong();
        else if (qstricmp(field.first.constData(), "transfer-encoding") == 0)
            transferEncoding = field.second.toLower();
    }
    if (status == 101 || status == 204 || status == 304)
        return NoBody;
    if (transferEncoding.contains("chunked"))
        return Chunked;
    return *length >= 0 ? Length : Close;
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
    return Invalid;
}

QuorHttpChunkedBody::Result QuorHttpChunkedBody::decode(
    const char *data, int size, int *taken, QByteArray *body)
{
    int position = 0;
    const auto stop = [&position, taken](Result result) {
        *taken = position;
        return result;
    };
    for (;;) {
        const char *const next = data + position;
        const int available = size - position;
        switch (m_state) {
        case Done:
            return stop(Complete);
        case Failed:
            return stop(Invalid);
        case Data: {
            const int take = int(qMin<qint64>(m_remaining, available));
            if (take <= 0)
                return stop(Incomplete);
            body->append(next, take);
            position += take;
            m_decoded += take;
            m_remaining -= take;
            if (m_remaining == 0)
                m_state = DataEnd;
            continue;
        }
        case DataEnd:
            // Judged byte by byte: whatever else follows a chunk's data is refused
            // at once, not once a line has gathered.
            if (available == 0 || (next[0] == '\r' && available == 1))
                return stop(Incomplete);
            if (next[0] == '\n' || (next[0] == '\r' && next[1] == '\n')) {
                position += next[0] == '\n' ? 1 : 2;
                m_state = SizeLine;
                continue;
            }
            return stop(fail(400));
        case SizeLine:
        case Trailer:
            break;
        }

        // A size line or a trailer line, ended by CRLF or a bare LF.
        const auto *const lineEnd
            = static_cast<const char *>(memchr(next, '\n', size_t(available)));
        const int limit
            = m_state == Trailer ? m_maximumLineSize - m_trailerSize : m_maximumLineSize;
        if (!lineEnd)
            return stop(available > limit ? fail(400) : Incomplete);
        const int lineSize = int(lineEnd - next) + 1;
        if (lineSize > limit)
            return stop(fail(400));
        position += lineSize;
        QByteArray line = QByteArray::fromRawData(next, lineSize - 1);
        if (line.endsWith('\r'))
            line.chop(1);

        if (m_state == Trailer) {
            m_trailerSize += lineSize;
            if (line.isEmpty()) {
                m_state = Done;
                continue;
            }
            const int colon = line.indexOf(':');
            if (colon <= 0 || !isToken(line.left(colon)) || hasControlCharacters(line))
                return stop(fail(400));
            continue;
        }

        int digits = 0;
        qint64 chunkSize = 0;
        const qint64 allowed = m_maximumBodySize - m_decoded;
        for (; digits < line.size(); ++digits) {
            const char c = line.at(digits);
            const int value = c >= '0' && c <= '9' ? c - '0'
                : c >= 'a' && c <= 'f'             ? c - 'a' + 10
                : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                                   : -1;
            if (value < 0)
                break;
            // chunkSize * 16 + value > allowed, asked without computing it.
            if (value > allowed || chunkSize > (allowed - value) / 16)
                return stop(fail(413));
            chunkSize = chunkSize * 16 + value;
        }
        const QByteArray extensions = line.mid(digits).trimmed();
        if (digits == 0 || (!extensions.isEmpty() && !extensions.startsWith(';'))
            || hasControlCharacters(extensions))
            return stop(fail(400));
        m_remaining = chunkSize;
        m_state = chunkSize == 0 ? Trailer : Data;
    }
}

QuorHttpChunkedBody::Result QuorHttpChunkedBody::parse(const QByteArray &buffer, int start)
{
    const int from = start + m_consumed;
    int taken = 0;
    const Result result = decode(buffer.constData() + from, buffer.size() - from, &taken, &m_body);
    m_consumed += taken;
    if (result == Invalid)
        m_body.clear();
    return result;
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
