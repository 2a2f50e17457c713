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

namespace QuorHttp {
QByteArray reasonPhrase(int status);
// A complete response with the given body, written at once. Its head is kept
// short: Qt's HTTP client reads a response head one byte per system call.
enum class Connection { Close, KeepAlive, KeepAliveHttp10 };
QByteArray response(
    int status, const QByteArray &contentType, const QByteArray &body, Connection connection);
} // namespace QuorHttp

#endif
