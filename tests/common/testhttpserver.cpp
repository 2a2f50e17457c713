// SPDX-License-Identifier: MIT
#include "testhttpserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// Clients that send the headers and the body of a request in two writes wait,
// on a reused connection, for the acknowledgement of the first one before the
// second goes out; a delayed acknowledgement would cost every such request
// some 40 ms. Linux resets the option after a while, so it is set anew on
// every read.
void acknowledgeAtOnce(QTcpSocket *socket)
{
#ifdef Q_OS_LINUX
    const int on = 1;
    ::setsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
#else
    Q_UNUSED(socket)
#endif
}

} // namespace

TestHttpServer::TestHttpServer(QObject *parent)
    : QTcpServer(parent)
{
    answerWith(responseFor(QStringLiteral("<string>ok</string>")));
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            socket->setProperty("connection", ++m_connections);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::start(const QHostAddress &address)
{
    return listen(address, 0);
}

QUrl TestHttpServer::url(const QString &path) const
{
    QUrl result;
    result.setScheme(QStringLiteral("http"));
    result.setHost(serverAddress().toString());
    result.setPort(serverPort());
    result.setPath(path);
    return result;
}

void TestHttpServer::answerWith(const QByteArray &body)
{
    m_handler = [body](const Request &) {
        Reply reply;
        reply.body = body;
        return reply;
    };
}

QByteArray TestHttpServer::responseFor(const QString &xmlrpcValue)
{
    return QByteArrayLiteral("<?xml version=\"1.0\"?>\n<methodResponse><params><param><value>")
        + xmlrpcValue.toUtf8() + QByteArrayLiteral("</value></param></params></methodResponse>\n");
}

QByteArray TestHttpServer::faultFor(int code, const QString &text)
{
    return QByteArrayLiteral("<?xml version=\"1.0\"?>\n<methodResponse><fault><value><struct>"
                             "<member><name>faultCode</name><value><int>")
        + QByteArray::number(code)
        + QByteArrayLiteral("</int></value></member><member><name>faultString</name><value>"
                            "<string>")
        + text.toHtmlEscaped().toUtf8()
        + QByteArrayLiteral("</string></value></member></struct></value></fault>"
                            "</methodResponse>\n");
}

TestHttpServer::Reply TestHttpServer::answer(const QByteArray &body, int status)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    return reply;
}

QByteArray TestHttpServer::head(int status, qint64 contentLength, const QByteArray &extraHeaders,
    const QByteArray &contentType, bool keepAlive)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    text += "Content-Type: " + contentType + "\r\n";
    if (contentLength >= 0)
        text += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    text += extraHeaders;
    text += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return text;
}

void TestHttpServer::readFrom(QTcpSocket *socket)
{
    acknowledgeAtOnce(socket);
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            break;
        Request request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                    lines.at(i).mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length").toInt();
        if (buffer.size() < headerEnd + 4 + length)
            break;
        request.body = buffer.mid(headerEnd + 4, length);
        request.connection = socket->property("connection").toInt();
        buffer.remove(0, headerEnd + 4 + length);
        // Kept now: a reply other than an answer ends the loop below.
        socket->setProperty("buffer", buffer);
        m_requests.append(request);

        const Reply reply = m_handler(request);
        const QPointer<QTcpSocket> guard(socket);
        Q_EMIT requestReceived();
        if (!guard)
            return;
        if (reply.action == Reply::Hang) {
            m_pendingSockets.append(socket);
            continue;
        }
        m_pendingSockets.append(nullptr);
        send(socket, reply);
        if (reply.action != Reply::Answer || !reply.keepAlive)
            return;
    }
    socket->setProperty("buffer", buffer);
}

void TestHttpServer::answerPending(int index, const Reply &reply)
{
    if (QTcpSocket *socket = m_pendingSockets.value(index))
        send(socket, reply);
}

void TestHttpServer::send(QTcpSocket *socket, const Reply &reply)
{
    switch (reply.action) {
    case Reply::Hang:
        return;
    case Reply::Close:
        socket->abort();
        return;
    case Reply::Raw:
        socket->write(reply.raw);
        socket->disconnectFromHost();
        return;
    case Reply::Stream:
        stream(socket, reply);
        return;
    case Reply::Answer:
        break;
    }
    socket->write(
        head(reply.status, reply.body.size(), {}, reply.contentType, reply.keepAlive) + reply.body);
    if (!reply.keepAlive)
        socket->disconnectFromHost();
}

void TestHttpServer::stream(QTcpSocket *socket, const Reply &reply)
{
    const auto piece = reply.piece;
    const bool keepOpen = reply.keepAlive;
    auto next = std::make_shared<qint64>(0);
    // Returns false once the pieces have run out.
    const auto sendNext = [socket, piece, keepOpen, next] {
        if (*next < 0)
            return false;
        const QByteArray bytes = piece(*next);
        if (bytes.isEmpty()) {
            *next = -1;
            if (!keepOpen)
                socket->disconnectFromHost();
            return false;
        }
        ++*next;
        socket->write(bytes);
        return true;
    };
    if (reply.interval > 0) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [timer, sendNext] {
            if (!sendNext())
                timer->stop();
        });
        timer->start(reply.interval);
        return;
    }
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket, sendNext] {
        if (socket->bytesToWrite() == 0)
            sendNext();
    });
    sendNext();
}
