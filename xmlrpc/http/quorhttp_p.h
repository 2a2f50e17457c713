// SPDX-License-Identifier: MIT
#ifndef QUORHTTP_P_H
#define QUORHTTP_P_H

#include <QByteArray>
#include <QList>
#include <QPair>

// The head of one HTTP/1.x message: a request as the server reads it off a
// connection, or a response as the client's own connections read it. Lines
// end with CRLF or a bare LF, as most peers take them.
struct QuorHttpHead
{
    enum Result { Incomplete, Complete, Invalid };
    enum Kind { Request, Response };

    QByteArray method; // of a request
    QByteArray target; // of a request
    int status = 0; // of a response
    QByteArray statusLine; // of a response, trimmed
    QByteArray reason; // of a response; null when its status line has none
    int minorVersion = 1; // HTTP/1.0 or HTTP/1.1
    QList<QPair<QByteArray, QByteArray>> headers; // names as sent, values trimmed
    int size = 0; // bytes of the start line and headers, blank line included
    int errorStatus = 0; // why a head is Invalid: 431 too large, 400 malformed, 505

    // The value of the first header named name, in any case; null when absent.
    QByteArray header(const QByteArray &name) const;
    int headerCount(const QByteArray &name) const;
    // Whether a response with this head comes before the answer: "100
    // Continue" and the like (not 101, which ends HTTP on the connection).
    bool isInterim() const { return status >= 100 && status < 200 && status != 101; }

    // The body's length as Content-Length gives it; 0 when absent.
    qint64 contentLength() const { return header("content-length").toLongLong(); }

    // How the body of a response with this head ends, as a client reads it:
    // 101, 204 and 304 have none whatever their headers say; otherwise a
    // chunked Transfer-Encoding ends it, then a Content-Length that is no
    // negative number, then the end of the connection. *length is the last
    // Content-Length sent, -1 without one.
    enum BodyEnd { NoBody, Chunked, Length, Close };
    BodyEnd responseBodyEnd(qint64 *length) const;

    // Reads a head from the start of buffer. A buffer that holds no complete
    // head within maximumSize bytes is Invalid (431). A request is read
    // strictly, as a server must: anything malformed is Invalid (400), another
    // HTTP version too (505). A response is read as Qt's own client reads it:
    // only a status line that is no HTTP/1.x one is Invalid (400), and header
    // lines without a colon are passed over.
    Result parse(const QByteArray &buffer, int maximumSize, Kind kind = Request);
};

namespace QuorHttp {
// The most a client reads of a response's head, and of a chunk's size line.
constexpr int MaximumResponseHeadSize = 64 * 1024;

// Whether host (a name or an address, without port) is this machine's
// loopback: "localhost" in any case, with or without its final dot, or an
// address in 127.0.0.0/8 or ::1.
bool isLoopbackHost(const QString &host);
} // namespace QuorHttp

// A chunked body, decoded as its bytes arrive: the server's requests and the
// client's answers go through this one decoder. It takes what HTTP/1.1 allows:
// hex sizes in either case, chunk extensions and trailer fields (read and
// dropped), lines ended by CRLF or by a bare LF (RFC 9112, section 2.2). It
// refuses, as Invalid, what could be misread or could grow without end: a size
// that is no hex number or is followed by anything but extensions, a chunk's
// data not followed at once by its line end, a trailer line that is no field,
// and a size line or a trailer longer than maximumLineSize (all 400); and a
// size that would take the decoded body beyond maximumBodySize (413), checked
// at each digit, so that no size overflows, and before any of its data is read.
class QuorHttpChunkedBody
{
public:
    enum Result { Incomplete, Complete, Invalid };

    QuorHttpChunkedBody(qint64 maximumBodySize, int maximumLineSize)
        : m_maximumBodySize(maximumBodySize)
        , m_maximumLineSize(maximumLineSize)
    { }

    // Reads on from data, the bytes that follow those the calls before took,
    // and appends the chunks' data to *body as it comes, a chunk's first
    // bytes before its last have arrived. *taken is how many of the size bytes
    // were read; the rest (a line not yet whole) must come first next time.
    Result decode(const char *data, int size, int *taken, QByteArray *body);

    // For a reader that keeps the whole message in one buffer: decodes into
    // body() from offset start + consumed() of buffer on; the bytes before that
    // offset must not have changed since the last call.
    Result parse(const QByteArray &buffer, int start);

    QByteArray body() const { return m_body; }
    int consumed() const { return m_consumed; } // bytes of the encoded body parse() read
    int errorStatus() const { return m_errorStatus; }

private:
    enum State { SizeLine, Data, DataEnd, Trailer, Done, Failed };
    Result fail(int status);

    qint64 m_maximumBodySize;
    int m_maximumLineSize;
    State m_state = SizeLine;
    qint64 m_decoded = 0; // bytes of data so far
    qint64 m_remaining = 0; // of the chunk being read
    int m_trailerSize = 0;
    int m_errorStatus = 0;
    QByteArray m_body; // of parse()
    int m_consumed = 0; // by parse()
};

namespace QuorHttp {
QByteArray reasonPhrase(int status);
// A complete response with the given body, written at once. Its head is kept
// short: Qt's HTTP client reads a response head one byte per system call.
enum class Connection { Close, KeepAlive, KeepAliveHttp10 };
QByteArray response(
    int status, const QByteArray &contentType, const QByteArray &body, Connection connection);
} // namespace QuorHttp

#endif
