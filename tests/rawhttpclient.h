// SPDX-License-Identifier: MIT
#ifndef RAWHTTPCLIENT_H
#define RAWHTTPCLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>
#include <QTcpSocket>
#include <QVariant>

#include <functional>

// One HTTP response as a raw client reads it off the wire.
struct RawHttpResponse
{
    int status = 0;
    QByteArray statusLine;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

// The outcome of one XML-RPC call, read from a methodResponse document.
struct XmlRpcOutcome
{
    bool isResponse = false; // false: the body was no methodResponse at all
    bool isFault = false;
    QVariant value;
    int faultCode = 0;
    QString faultString;
};

// A client that speaks HTTP by hand over one QTcpSocket, for requests no real
// client would send: it writes exactly the bytes it is given and collects every
// response that comes back, until the server closes the connection. Waiting
// runs the event loop, so a server in the same thread keeps working.
class RawHttpClient
{
public:
    explicit RawHttpClient(quint16 port, const QHostAddress &address = QHostAddress::LocalHost);
    ~RawHttpClient();

    bool waitForConnected(int timeoutMs = 5000);
    void write(const QByteArray &bytes);
    // True once count responses have arrived; false when the connection closed
    // or the time ran out before.
    bool waitForResponses(int count, int timeoutMs = 5000);
    // True once the server has closed the connection.
    bool waitForClosed(int timeoutMs = 5000);

    bool isClosed() const { return m_closed; }
    const QList<RawHttpResponse> &responses() const { return m_responses; }
    QTcpSocket &socket() { return m_socket; }

private:
    Q_DISABLE_COPY(RawHttpClient)
    void readResponses();
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

    QTcpSocket m_socket;
    QByteArray m_buffer;
    QList<RawHttpResponse> m_responses;
    bool m_closed = false;
};

namespace RawHttp {

// A POST of body to path with Host, Content-Type and Content-Length, then the
// extra header lines (each ending in "\r\n").
QByteArray post(const QByteArray &body, const QByteArray &extraHeaders = QByteArray(),
    const QByteArray &path = "/RPC2", const QByteArray &version = "HTTP/1.1");
// A methodCall document, written by the library's codec.
QByteArray methodCall(const QString &method, const QVariantList &params = QVariantList());
XmlRpcOutcome parseMethodResponse(const QByteArray &body);
// One call on a connection of its own (closed after the answer). An outcome
// that is no response means no answer came.
XmlRpcOutcome call(quint16 port, const QString &method, const QVariantList &params = {},
    const QHostAddress &address = QHostAddress::LocalHost);

} // namespace RawHttp

#endif
