// SPDX-License-Identifier: MIT
#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;

// A small scriptable HTTP/1.1 server on the loopback for tests: it records
// every request and answers each with whatever the test's handler returns.
class TestHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        int connection = 0; // the how-manieth connection carried it, from 1
    };

    struct Reply
    {
        enum Action { Answer, Close, Hang, Raw, Stream };
        Action action = Answer;
        int status = 200;
        QByteArray contentType = "text/xml";
        QByteArray body;
        QByteArray raw; // sent as it is for Raw, then the connection closes
        bool keepAlive = true;
        // For Stream: the raw bytes to send, piece by piece, numbered from 0;
        // an empty piece ends them, and then the connection closes unless
        // keepAlive holds it open, silent. The next piece is asked for every
        // interval ms, or, without one, once the socket has handed the
        // previous one to the kernel, so that a huge or endless reply never
        // sits in memory whole.
        std::function<QByteArray(qint64 index)> piece;
        int interval = 0;
    };

    using Handler = std::function<Reply(const Request &)>;

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    bool start(const QHostAddress &address = QHostAddress::LocalHost);
    QUrl url(const QString &path = QStringLiteral("/RPC2")) const;

    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // Answers every request with the same XML-RPC response body.
    void answerWith(const QByteArray &body);

    // Answers a request later, on demand (for requests whose handler said Hang).
    void answerPending(int index, const Reply &reply);

    const QList<Request> &requests() const { return m_requests; }
    int connectionCount() const { return m_connections; }

    static QByteArray responseFor(const QString &xmlrpcValue);
    static QByteArray faultFor(int code, const QString &text);
    static Reply answer(const QByteArray &body, int status = 200);
    // A response's status line and headers; no Content-Length when contentLength < 0.
    static QByteArray head(int status, qint64 contentLength, const QByteArray &extraHeaders = {},
        const QByteArray &contentType = "text/xml", bool keepAlive = true);

Q_SIGNALS:
    void requestReceived();

private:
    void readFrom(QTcpSocket *socket);
    void send(QTcpSocket *socket, const Reply &reply);
    void stream(QTcpSocket *socket, const Reply &reply);

    Handler m_handler;
    QList<Request> m_requests;
    QList<QTcpSocket *> m_pendingSockets;
    int m_connections = 0;
};

#endif
