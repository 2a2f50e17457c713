// SPDX-License-Identifier: MIT
#include "quorserverconnection_p.h"

#include "quorserverpolicy_p.h"

#include <QPointer>
#include <QScopedValueRollback>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

bool hasToken(const QByteArray &headerValue, const QByteArray &token)
{
    for (const QByteArray &part : headerValue.split(','))
        if (part.trimmed().toLower() == token)
            return true;
    return false;
}

void acknowledgePromptly(QTcpSocket *socket)
{
#if defined(Q_OS_LINUX) && defined(TCP_QUICKACK)
    // Clients that send headers and body in two writes without TCP_NODELAY
    // (Qt 5 among them) otherwise wait for the delayed ACK, about 40 ms, on
    // every call over a kept-alive connection. The kernel clears the flag by
    // itself, so it is set again after every read.
    const int one = 1;
    ::setsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#else
    Q_UNUSED(socket);
#endif
}

// Whether the kernel holds bytes from the client that the event loop has not
// handed over yet.
bool hasBytesWaiting(const QTcpSocket *socket)
{
#ifdef Q_OS_UNIX
    char byte;
    return ::recv(int(socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
#else
    Q_UNUSED(socket);
    return false;
#endif
}

} // namespace

QuorServerConnection::QuorServerConnection(
    QTcpSocket *socket, QuorServerConnectionOwner *owner, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_server(owner)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(QuorServerPolicy::SocketReadBufferSize);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_timer.setSingleShot(true);
    m_timer.setInterval(owner->connectionPolicy().requestTimeout);
    connect(&m_timer, &QTimer::timeout, this, [this] { timedOut(); });
    connect(m_socket, &QTcpSocket::readyRead, this, [this] { process(); });
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] { drained(); });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] { close(); });
    m_timer.start();
    m_peer.peerAddress = socket->peerAddress();
    m_peer.peerPort = socket->peerPort();
    m_peer.localAddress = socket->localAddress();
    m_peer.localPort = socket->localPort();
    m_peer.values = m_values;
}

QuorServerConnection::~QuorServerConnection()
{
    if (m_server)
        m_server->connectionDestroyed(this);
}

void QuorServerConnection::detach()
{
    m_server = nullptr;
    close();
}

void QuorServerConnection::close()
{
    m_busy = true; // reads nothing more
    m_timer.stop();
    m_socket->abort();
    deleteLater();
}

bool QuorServerConnection::waitsForClient() const
{
    return !m_answerOwed;
}

bool QuorServerConnection::restsBetweenRequests() const
{
    return m_answeredBefore && !m_busy && !m_haveHead && m_buffer.isEmpty()
        && m_socket->bytesAvailable() == 0;
}

bool QuorServerConnection::hasWholeRequest()
{
    if (m_busy || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    if (hasBytesWaiting(m_socket)) {
        const QScopedValueRollback<bool> held(m_processing, true);
        m_socket->waitForReadyRead(0);
        QMetaObject::invokeMethod(
            this, [this] { process(); }, Qt::QueuedConnection);
    }
    m_buffer += m_socket->readAll();
    if (m_haveHead)
        return m_chunkedBody
            ? m_chunkedBody->parse(m_buffer, m_head.size) == QuorHttpChunkedBody::Complete
            : m_buffer.size() >= m_head.size + m_bodyLength;
    QuorHttpHead head;
    if (head.parse(m_buffer, m_server->connectionPolicy().maximumHeaderSize)
        != QuorHttpHead::Complete)
        return false;
    if (head.headerCount("transfer-encoding") > 0)
        return newChunkedBody().parse(m_buffer, head.size) == QuorHttpChunkedBody::Complete;
    return m_buffer.size() >= head.size + head.contentLength();
}

void QuorServerConnection::process()
{
    if (m_processing)
        return;
    m_processing = true;
    while (m_server && !m_busy && m_socket->state() == QAbstractSocket::ConnectedState
        && readRequest()) { }
    m_processing = false;
}

bool QuorServerConnection::readRequest()
{
    if (m_socket->bytesAvailable() > 0) {
        m_buffer += m_socket->readAll();
        acknowledgePromptly(m_socket);
    }
    if (!m_haveHead) {
        QuorHttpHead head;
        const QuorHttpHead::Result result
            = head.parse(m_buffer, m_server->connectionPolicy().maximumHeaderSize);
        if (result == QuorHttpHead::Incomplete)
            return false;
        if (result == QuorHttpHead::Invalid)
            return fail(head.errorStatus);
        m_head = head;
        m_haveHead = true;
        if (const int status = m_server->connectionPolicy().statusRefusing(m_head))
            return fail(status);
        m_bodyLength = m_head.contentLength();
        if (m_head.headerCount("transfer-encoding") > 0)
            m_chunkedBody.reset(new QuorHttpChunkedBody(newChunkedBody()));
        if (bodyEnd() == 0 && m_head.header("expect").toLower() == "100-continue")
            m_socket->write(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
    }
    const int end = bodyEnd();
    if (end < 0)
        return fail(m_chunkedBody->errorStatus());
    if (end == 0)
        return false;

    const QByteArray body
        = m_chunkedBody ? m_chunkedBody->body() : m_buffer.mid(m_head.size, int(m_bodyLength));
    m_buffer.remove(0, end);
    m_chunkedBody.reset();
    m_haveHead = false;
    const QByteArray connection = m_head.header("connection");
    m_closeAfterResponse = m_head.minorVersion == 0 ? !hasToken(connection, "keep-alive")
                                                    : hasToken(connection, "close");
    m_busy = true;
    m_answerOwed = true;
    m_timer.stop();
    const QPointer<QuorServerConnection> self(this);
    const QuorHttp::Connection answerConnection = m_closeAfterResponse ? QuorHttp::Connection::Close
        : m_head.minorVersion == 0 ? QuorHttp::Connection::KeepAliveHttp10
                                   : QuorHttp::Connection::KeepAlive;
    const QuorCodec::Options options = m_server->connectionCodecOptions();
    m_server->handleRequest(
        body, m_peer, [self, answerConnection, options](const QuorResponse &result) {
            if (self)
                self->respond(QuorHttp::response(200, "text/xml",
                    QuorFastCodec::writeOutcomeUtf8(result, options), answerConnection));
        });
    return true;
}

QuorHttpChunkedBody QuorServerConnection::newChunkedBody() const
{
    return QuorHttpChunkedBody(m_server->connectionPolicy().maximumRequestSize,
        m_server->connectionPolicy().maximumHeaderSize);
}

int QuorServerConnection::bodyEnd()
{
    if (!m_chunkedBody)
        return m_buffer.size() < m_head.size + m_bodyLength ? 0 : m_head.size + int(m_bodyLength);
    switch (m_chunkedBody->parse(m_buffer, m_head.size)) {
    case QuorHttpChunkedBody::Complete:
        return m_head.size + m_chunkedBody->consumed();
    case QuorHttpChunkedBody::Invalid:
        return -1;
    case QuorHttpChunkedBody::Incomplete:
        break;
    }
    return 0;
}

bool QuorServerConnection::fail(int status)
{
    m_closeAfterResponse = true;
    respond(QuorHttp::response(status, "text/plain",
        QByteArray::number(status) + ' ' + QuorHttp::reasonPhrase(status) + '\n',
        QuorHttp::Connection::Close));
    return false;
}

void QuorServerConnection::respond(const QByteArray &response)
{
    if (!m_server || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_answerOwed = false;
    m_socket->write(response);
    // Hands the whole response to the kernel now, in one write; nothing waits
    // for the next turn of the event loop.
    m_socket->flush();
    // From here on the client has the request timeout to take its
    // answers, or to send its next request.
    m_timer.start();
    if (m_closeAfterResponse) {
        m_busy = true;
        m_socket->disconnectFromHost();
        return;
    }
    if (m_socket->bytesToWrite() > QuorServerPolicy::MaximumUnsentBytes)
        return; // drained() goes on
    awaitRequest();
}

void QuorServerConnection::drained()
{
    if (m_server && m_busy && !m_answerOwed && !m_closeAfterResponse
        && m_socket->bytesToWrite() <= QuorServerPolicy::MaximumUnsentBytes) {
        m_timer.start();
        awaitRequest();
    }
}

void QuorServerConnection::awaitRequest()
{
    m_busy = false;
    m_answeredBefore = true;
    m_server->connectionAwaitsClient(this);
    process();
}

void QuorServerConnection::timedOut()
{
    if (m_busy)
        close(); // a client that does not take its answers
    else if (m_haveHead || !m_buffer.isEmpty() || m_socket->bytesAvailable() > 0)
        fail(408);
    else
        close();
}
