// SPDX-License-Identifier: MIT
#ifndef QUORHTTP_P_H
#define QUORHTTP_P_H

#include <QByteArray>
#include <QList>
#include <QPair>

// The head of one HTTP/1.x request, as the server reads it off a connection.
struct QuorHttpHead
{
    enum Result { Incomplete, Complete, Invalid };

    QByteArray method;
    QByteArray target;
    int minorVersion = 1; // HTTP/1.0 or HTTP/1.1
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, values trimmed
    int size = 0; // bytes of the request line and headers, blank line included
    int errorStatus = 0; // the HTTP status that answers an Invalid head

    // The value of a header (lowerCaseName in lower case); null when absent.
    QByteArray header(const QByteArray &lowerCaseName) const;
    int headerCount(const QByteArray &lowerCaseName) const;
    // The body's length as Content-Length gives it; 0 when absent.
    qint64 contentLength() const { return header("content-length").toLongLong(); }

    // Reads a head from the start of buffer. A buffer that holds no complete head
    // within maximumSize bytes is Invalid (431), so is anything malformed (400)
    // or of another HTTP version (505).
    Result parse(const QByteArray &buffer, int maximumSize);
};

// A chunked request body, decoded as its bytes arrive: chunk extensions and
// trailer fields are read and ignored. The decoded body may hold at most
// maximumBodySize bytes (413 beyond), and a chunk-size line or the whole trailer
// at most maximumLineSize bytes; anything malformed is Invalid (400).
class QuorHttpChunkedBody
{
public:
    enum Result { Incomplete, Complete, Invalid };

    QuorHttpChunkedBody(qint64 maximumBodySize, int maximumLineSize)
        : m_maximumBodySize(maximumBodySize)
        , m_maximumLineSize(maximumLineSize)
    { }

    // Reads on in buffer from offset start + consumed(); the bytes before that
    // offset must not have changed since the last call.
    Result parse(const QByteArray &buffer, int start);

    QByteArray body() const { return m_body; }
    int consumed() const { return m_consumed; } // bytes of the encoded body read so far
    int errorStatus() const { return m_errorStatus; }

private:
    enum State { SizeLine, Data, DataEnd, Trailer, Done, Failed };
    Result fail(int status);

    const qint64 m_maximumBodySize;
    const int m_maximumLineSize;
    State m_state = SizeLine;
    QByteArray m_body;
    qint64 m_remaining = 0; // of the chunk being read
    int m_consumed = 0;
    int m_trailerSize = 0;
    int m_errorStatus = 0;
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
