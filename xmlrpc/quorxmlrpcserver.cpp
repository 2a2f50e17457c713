// SPDX-License-Identifier: MIT
#include "quorxmlrpcserver.h"

#include "quorcodec_p.h"
#include "quordocument_p.h"
#include "quorfault.h"
#include "quorhttp_p.h"
#include "quorobject.h"

#include <QDomImplementation>
#include <QHash>
#include <QPointer>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// The response document of a call's outcome.
QByteArray responseDocument(const QuorResponse &result, const QuorCodec::Options &options)
{
    return result.isFault ? QuorFastCodec::writeFaultUtf8(result.faultCode, result.faultString)
                          : QuorFastCodec::writeResponseUtf8(result.value, options);
}

using Delivery = std::function<void(const QuorResponse &)>;

// What the answers to one call know of the connection that carried it. The
// values go with the connection; answers only look at them while it is open.
struct Peer
{
    QHostAddress peerAddress;
    quint16 peerPort = 0;
    QHostAddress localAddress;
    quint16 localPort = 0;
    std::weak_ptr<QHash<QString, QVariant>> values;
};

const QString ListMethods = QStringLiteral("system.listMethods");
const QString MultiCall = QStringLiteral("system.multicall");

// A socket read buffer this size lets the kernel hold back a client that sends
// faster than its requests are answered.
constexpr qint64 SocketReadBufferSize = 64 * 1024;

// Answers a client has not taken off its connection yet, beyond what the
// kernel holds. Above this the server reads no further requests from it, so
// that a client sending request after request without reading any answer
// cannot make the server keep all of them.
constexpr qint64 MaximumUnsentBytes = 1024 * 1024;

bool isLoopbackHost(const QByteArray &hostHeader)
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
    if (host.endsWith('.'))
        host.chop(1);
    if (host == "localhost" || host.endsWith(".localhost"))
        return true;
    const QHostAddress address(QString::fromLatin1(host));
    return !address.isNull() && address.isLoopback();
}

bool isXmlContentType(const QByteArray &contentType)
{
    const QByteArray mediaType = contentType.split(';').value(0).trimmed().toLower();
    return mediaType == "text/xml" || mediaType == "application/xml" || mediaType.endsWith("+xml");
}

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

class QuorXmlRpcAnswerPrivate
{
public:
    QuorXmlRpcAnswerPrivate(const QString &methodName, const QuorCodec::Options &codecOptions,
        Peer callPeer, Delivery delivery)
        : method(methodName)
        , options(codecOptions)
        , peer(std::move(callPeer))
        , deliver(std::move(delivery))
    { }

    ~QuorXmlRpcAnswerPrivate()
    {
        answer(QuorResponse::fromFault(QuorXmlRpcServer::InternalError,
            QStringLiteral("internal error: %1 gave no answer").arg(method)));
    }

    void answer(const QuorResponse &result)
    {
        if (answered)
            return;
        answered = true;
        const Delivery delivery = std::move(deliver);
        if (delivery)
            delivery(result);
    }

    const QString method;
    const QuorCodec::Options options;
    const Peer peer;
    bool answered = false;
    Delivery deliver;
};

QuorXmlRpcAnswer::QuorXmlRpcAnswer(std::shared_ptr<QuorXmlRpcAnswerPrivate> answer)
    : d(std::move(answer))
{ }

QuorXmlRpcAnswer::QuorXmlRpcAnswer(const QuorXmlRpcAnswer &other) = default;
QuorXmlRpcAnswer &QuorXmlRpcAnswer::operator=(const QuorXmlRpcAnswer &other) = default;
QuorXmlRpcAnswer::~QuorXmlRpcAnswer() = default;

QString QuorXmlRpcAnswer::method() const
{
    return d->method;
}

bool QuorXmlRpcAnswer::isAnswered() const
{
    return d->answered;
}

QHostAddress QuorXmlRpcAnswer::peerAddress() const
{
    return d->peer.peerAddress;
}

quint16 QuorXmlRpcAnswer::peerPort() const
{
    return d->peer.peerPort;
}

QHostAddress QuorXmlRpcAnswer::localAddress() const
{
    return d->peer.localAddress;
}

quint16 QuorXmlRpcAnswer::localPort() const
{
    return d->peer.localPort;
}

QVariant QuorXmlRpcAnswer::connectionValue(const QString &key) const
{
    const auto values = d->peer.values.lock();
    return values ? values->value(key) : QVariant();
}

void QuorXmlRpcAnswer::setConnectionValue(const QString &key, const QVariant &value) const
{
    if (const auto values = d->peer.values.lock())
        values->insert(key, value);
}

void QuorXmlRpcAnswer::setValue(const QVariant &value) const
{
    // A value XML-RPC cannot carry is a fault of the method, never a document
    // that lacks it; an empty string, byte array or date-time goes out empty.
    if (!QuorFastCodec::isWritable(value, d->options)) {
        QuorCodec::reportUnknownVariant(value.userType());
        d->answer(QuorResponse::fromFault(QuorXmlRpcServer::InternalError,
            QStringLiteral("internal error: the answer of %1 has no XML-RPC value")
                .arg(d->method)));
        return;
    }
    QuorResponse result;
    result.value = value;
    if (value.userType() == QMetaType::QString && value.toString().isNull())
        result.value = QString(QLatin1String(""));
    else if (value.userType() == QMetaType::QByteArray && value.toByteArray().isNull())
        result.value = QByteArray("");
    d->answer(result);
}

void QuorXmlRpcAnswer::setFault(int code, const QString &message) const
{
    d->answer(QuorResponse::fromFault(code, message));
}

class QuorXmlRpcConnection;

class QuorXmlRpcServerPrivate
{
public:
    explicit QuorXmlRpcServerPrivate(QuorXmlRpcServer *server)
        : q(server)
        , tcpServer(new QTcpServer(server))
    { }

    void acceptConnections();
    bool makeRoom();
    void closeConnections();
    void dispatch(const QByteArray &body, const Peer &peer, const Delivery &delivery);
    void invoke(const QString &method, const QVariantList &params, const QuorXmlRpcAnswer &answer);
    void multicall(const QVariantList &params, const QuorXmlRpcAnswer &answer);

    QuorXmlRpcAnswer makeAnswer(const QString &method, const Peer &peer, Delivery delivery) const
    {
        return QuorXmlRpcAnswer(std::make_shared<QuorXmlRpcAnswerPrivate>(
            method, codecOptions, peer, std::move(delivery)));
    }

    QuorXmlRpcServer *q;
    QTcpServer *tcpServer;
    QHash<QString, QuorXmlRpcServer::Method> methods;
    QuorXmlRpcServer::CallCheck callCheck;
    // Longest waiting for their clients first (see makeRoom()).
    QList<QuorXmlRpcConnection *> connections;
    QStringList paths = {QStringLiteral("/"), QStringLiteral("/RPC2")};
    qint64 maximumRequestSize = 4 * 1024 * 1024;
    int maximumHeaderSize = 16 * 1024;
    int requestTimeout = 30 * 1000;
    int maximumConnections = 64;
    bool loopbackHostRequired = true;
    bool xmlContentTypeRequired = true;
    QuorCodec::Options codecOptions;
};

// One client connection: reads requests one after the other, hands each to the
// server and writes its response, in order, before reading the next.
class QuorXmlRpcConnection : public QObject
{
public:
    QuorXmlRpcConnection(QTcpSocket *socket, QuorXmlRpcServerPrivate *server)
        : QObject(server->q)
        , m_socket(socket)
        , m_server(server)
    {
        m_socket->setParent(this);
        m_socket->setReadBufferSize(SocketReadBufferSize);
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_timer.setSingleShot(true);
        m_timer.setInterval(server->requestTimeout);
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

    ~QuorXmlRpcConnection() override
    {
        if (m_server)
            m_server->connections.removeOne(this);
    }

    // Leaves the server: the connection closes and goes later, even when the
    // server closes from inside one of this connection's calls.
    void detach()
    {
        m_server = nullptr;
        close();
    }

    void close()
    {
        m_busy = true; // reads nothing more
        m_timer.stop();
        m_socket->abort();
        deleteLater();
    }

    // Whether the connection waits for its client, to send a request or to
    // take its answers, rather than for a method's answer that is still owed.
    bool waitsForClient() const { return !m_answerOwed; }

    // Whether the connection has been answered before and waits, with nothing
    // of a request begun, for the next: its client completes its requests.
    bool restsBetweenRequests() const
    {
        return m_answeredBefore && !m_busy && !m_haveHead && m_buffer.isEmpty()
            && m_socket->bytesAvailable() == 0;
    }

    // Whether a whole request has arrived and waits to be read, counting what
    // the kernel holds: such a client is not slow, only not served yet. Takes
    // in what has arrived without handling it; the next turn of the event loop
    // does that, so no method runs from here.
    bool hasWholeRequest()
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
        if (head.parse(m_buffer, m_server->maximumHeaderSize) != QuorHttpHead::Complete)
            return false;
        if (head.headerCount("transfer-encoding") > 0)
            return newChunkedBody().parse(m_buffer, head.size) == QuorHttpChunkedBody::Complete;
        return m_buffer.size() >= head.size + head.contentLength();
    }

    void process()
    {
        if (m_processing)
            return;
        m_processing = true;
        while (m_server && !m_busy && m_socket->state() == QAbstractSocket::ConnectedState
            && readRequest()) { }
        m_processing = false;
    }

private:
    // Reads what has arrived; returns whether a request was handed on.
    bool readRequest()
    {
        if (m_socket->bytesAvailable() > 0) {
            m_buffer += m_socket->readAll();
            acknowledgePromptly(m_socket);
        }
        if (!m_haveHead) {
            QuorHttpHead head;
            const QuorHttpHead::Result result = head.parse(m_buffer, m_server->maximumHeaderSize);
            if (result == QuorHttpHead::Incomplete)
                return false;
            if (result == QuorHttpHead::Invalid)
                return fail(head.errorStatus);
            m_head = head;
            m_haveHead = true;
            if (const int status = refusal())
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
        const QPointer<QuorXmlRpcConnection> self(this);
        const QuorHttp::Connection answerConnection = m_closeAfterResponse
            ? QuorHttp::Connection::Close
            : m_head.minorVersion == 0 ? QuorHttp::Connection::KeepAliveHttp10
                                       : QuorHttp::Connection::KeepAlive;
        const QuorCodec::Options options = m_server->codecOptions;
        m_server->dispatch(
            body, m_peer, [self, answerConnection, options](const QuorResponse &result) {
                if (self)
                    self->respond(QuorHttp::response(
                        200, "text/xml", responseDocument(result, options), answerConnection));
            });
        return true;
    }

    QuorHttpChunkedBody newChunkedBody() const
    {
        return QuorHttpChunkedBody(m_server->maximumRequestSize, m_server->maximumHeaderSize);
    }

    // Where the body of the request being read ends in the buffer: 0 while it
    // has not all arrived, -1 when its chunks are malformed or too large.
    int bodyEnd()
    {
        if (!m_chunkedBody)
            return m_buffer.size() < m_head.size + m_bodyLength ? 0
                                                                : m_head.size + int(m_bodyLength);
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

    // The HTTP status that refuses the request whose head was just read, or 0.
    int refusal() const
    {
        if (m_head.method != "POST")
            return 405;
        QByteArray path = m_head.target;
        if (path.startsWith("http://") || path.startsWith("https://")) {
            const int slash = path.indexOf('/', path.indexOf("//") + 2);
            path = slash < 0 ? QByteArray("/") : path.mid(slash);
        }
        path.truncate(path.indexOf('?') < 0 ? path.size() : path.indexOf('?'));
        if (!m_server->paths.contains(QString::fromUtf8(path)))
            return 404;
        const int hosts = m_head.headerCount("host");
        if (hosts > 1 || (hosts == 0 && m_head.minorVersion == 1))
            return 400;
        if (m_server->loopbackHostRequired && hosts == 1 && !isLoopbackHost(m_head.header("host")))
            return 403;
        if (m_server->xmlContentTypeRequired && !isXmlContentType(m_head.header("content-type")))
            return 415;
        if (m_head.headerCount("transfer-encoding") > 0) {
            // Chunked is the one coding understood. Framed by it alone: no
            // Content-Length beside it, which a proxy on the way might have
            // believed instead, and no HTTP/1.0, which has no such framing.
            int codings = 0;
            for (const auto &header : m_head.headers) {
                if (header.first != "transfer-encoding")
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
            if (codings != 1 || m_head.headerCount("content-length") > 0
                || m_head.minorVersion == 0)
                return 400;
            return 0;
        }
        if (m_head.headerCount("content-length") == 0)
            return 411;
        const QByteArray length = m_head.header("content-length");
        bool isNumber = !length.isEmpty() && length.size() <= 18;
        for (const char c : length)
            isNumber = isNumber && c >= '0' && c <= '9';
        if (!isNumber || m_head.headerCount("content-length") > 1)
            return 400;
        if (length.toLongLong() > m_server->maximumRequestSize)
            return 413;
        return 0;
    }

    // Answers an HTTP-level error and closes: the rest of the stream cannot be trusted.
    bool fail(int status)
    {
        m_closeAfterResponse = true;
        respond(QuorHttp::response(status, "text/plain",
            QByteArray::number(status) + ' ' + QuorHttp::reasonPhrase(status) + '\n',
            QuorHttp::Connection::Close));
        return false;
    }

    void respond(const QByteArray &response)
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
        if (m_socket->bytesToWrite() > MaximumUnsentBytes)
            return; // drained() goes on
        awaitRequest();
    }

    void drained()
    {
        if (m_server && m_busy && !m_answerOwed && !m_closeAfterResponse
            && m_socket->bytesToWrite() <= MaximumUnsentBytes) {
            m_timer.start();
            awaitRequest();
        }
    }

    void awaitRequest()
    {
        m_busy = false;
        m_answeredBefore = true;
        m_server->connections.removeOne(this);
        m_server->connections.append(this);
        process();
    }

    void timedOut()
    {
        if (m_busy)
            close(); // a client that does not take its answers
        else if (m_haveHead || !m_buffer.isEmpty() || m_socket->bytesAvailable() > 0)
            fail(408);
        else
            close();
    }

    QTcpSocket *m_socket;
    QuorXmlRpcServerPrivate *m_server;
    const std::shared_ptr<QHash<QString, QVariant>> m_values
        = std::make_shared<QHash<QString, QVariant>>();
    Peer m_peer;
    QTimer m_timer;
    QByteArray m_buffer;
    QuorHttpHead m_head;
    qint64 m_bodyLength = 0;
    std::unique_ptr<QuorHttpChunkedBody> m_chunkedBody; // of a chunked request being read
    bool m_haveHead = false;
    bool m_busy = false; // reads no requests now
    bool m_answerOwed = false; // a method has yet to answer
    bool m_answeredBefore = false;
    bool m_processing = false;
    bool m_closeAfterResponse = false;
};

void QuorXmlRpcServerPrivate::acceptConnections()
{
    while (QTcpSocket *socket = tcpServer->nextPendingConnection()) {
        if (connections.size() >= maximumConnections && !makeRoom()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new QuorXmlRpcConnection(socket, this);
        connections.append(connection);
        connection->process();
    }
}

// Closes a connection that waits for its client, idle, slow to send its
// request or slow to take its answers: otherwise as many clients doing nothing
// as the server allows would keep out everybody else. Those that never
// completed a request, or are in the middle of one, go before those resting
// between requests, whose clients have shown that they complete theirs; in
// each group the one waiting longest goes first. Connections whose answer a
// method still owes, or whose whole request has arrived, are kept.
bool QuorXmlRpcServerPrivate::makeRoom()
{
    for (const bool resting : {false, true}) {
        for (int i = 0; i < connections.size(); ++i) {
            QuorXmlRpcConnection *connection = connections.at(i);
            if (connection->waitsForClient() && connection->restsBetweenRequests() == resting
                && !connection->hasWholeRequest()) {
                connections.removeAt(i);
                connection->detach();
                return true;
            }
        }
    }
    return false;
}

void QuorXmlRpcServerPrivate::closeConnections()
{
    const QList<QuorXmlRpcConnection *> open = connections;
    connections.clear();
    for (QuorXmlRpcConnection *connection : open)
        connection->detach();
}

void QuorXmlRpcServerPrivate::dispatch(
    const QByteArray &body, const Peer &peer, const Delivery &delivery)
{
    const QuorRequest request = QuorFastCodec::readRequestBytes(body, codecOptions);
    if (request.fault.isFault)
        return delivery(request.fault);
    if (request.method.isEmpty())
        return delivery(QuorResponse::fromFault(QuorXmlRpcServer::InvalidRequest,
            QStringLiteral("invalid request: not a method call")));
    invoke(request.method, request.params, makeAnswer(request.method, peer, delivery));
}

void QuorXmlRpcServerPrivate::invoke(
    const QString &method, const QVariantList &params, const QuorXmlRpcAnswer &answer)
{
    if (callCheck) {
        // A copy: the check may replace itself while it runs.
        const QuorXmlRpcServer::CallCheck check = callCheck;
        check(answer);
        if (answer.isAnswered())
            return;
    }
    if (method == ListMethods) {
        // A QStringList is no XML-RPC value; a list of strings is.
        answer.setValue(QVariant(q->methods()).toList());
    } else if (method == MultiCall) {
        multicall(params, answer);
    } else if (methods.contains(method)) {
        // A copy: the method may unregister itself while it runs.
        const QuorXmlRpcServer::Method handler = methods.value(method);
        handler(params, answer);
    } else {
        answer.setFault(
            QuorXmlRpcServer::MethodNotFound, QStringLiteral("method not found: %1").arg(method));
    }
}

// Each entry is answered or faulted on its own, [value] or a fault struct, and
// the whole answers once the last entry has.
void QuorXmlRpcServerPrivate::multicall(const QVariantList &params, const QuorXmlRpcAnswer &answer)
{
    if (params.size() != 1 || params.first().userType() != QMetaType::QVariantList) {
        answer.setFault(QuorXmlRpcServer::InvalidParams,
            QStringLiteral("invalid parameters: system.multicall takes one array of calls"));
        return;
    }
    const QVariantList calls = params.first().toList();
    if (calls.isEmpty()) {
        answer.setValue(QVariantList());
        return;
    }
    auto results = std::make_shared<QVariantList>();
    for (int i = 0; i < calls.size(); ++i)
        results->append(QVariant());
    auto remaining = std::make_shared<int>(calls.size());
    for (int i = 0; i < calls.size(); ++i) {
        const QVariantMap call = calls.at(i).toMap();
        const QString method = call.value(QStringLiteral("methodName")).toString();
        const QuorXmlRpcAnswer entry = makeAnswer(
            method, answer.d->peer, [results, remaining, i, answer](const QuorResponse &result) {
                if (result.isFault) {
                    QVariantMap fault;
                    fault.insert(QStringLiteral("faultCode"), result.faultCode);
                    fault.insert(QStringLiteral("faultString"), result.faultString);
                    (*results)[i] = fault;
                } else {
                    (*results)[i] = QVariantList {result.value};
                }
                if (--*remaining == 0)
                    answer.setValue(*results);
            });
        if (calls.at(i).userType() != QMetaType::QVariantMap || method.isEmpty())
            entry.setFault(QuorXmlRpcServer::InvalidRequest,
                QStringLiteral("invalid request: not a method call"));
        else if (method == MultiCall)
            entry.setFault(QuorXmlRpcServer::InvalidRequest,
                QStringLiteral("invalid request: system.multicall cannot be nested"));
        else
            invoke(method, call.value(QStringLiteral("params")).toList(), entry);
    }
}

QuorXmlRpcServer::QuorXmlRpcServer(QObject *parent)
    : QObject(parent)
    , d_ptr(new QuorXmlRpcServerPrivate(this))
{
    Q_D(QuorXmlRpcServer);
    // Responses leave out characters XML does not allow, as calls do.
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
    connect(d->tcpServer, &QTcpServer::newConnection, this, [d] { d->acceptConnections(); });
}

QuorXmlRpcServer::~QuorXmlRpcServer()
{
    close();
}

bool QuorXmlRpcServer::listen(const QHostAddress &address, quint16 port)
{
    return d_func()->tcpServer->listen(address, port);
}

void QuorXmlRpcServer::close()
{
    Q_D(QuorXmlRpcServer);
    d->tcpServer->close();
    d->closeConnections();
}

bool QuorXmlRpcServer::isListening() const
{
    return d_func()->tcpServer->isListening();
}

QHostAddress QuorXmlRpcServer::serverAddress() const
{
    return d_func()->tcpServer->serverAddress();
}

quint16 QuorXmlRpcServer::serverPort() const
{
    return d_func()->tcpServer->serverPort();
}

QAbstractSocket::SocketError QuorXmlRpcServer::serverError() const
{
    return d_func()->tcpServer->serverError();
}

QString QuorXmlRpcServer::errorString() const
{
    return d_func()->tcpServer->errorString();
}

void QuorXmlRpcServer::registerMethod(const QString &name, Method method)
{
    d_func()->methods.insert(name, std::move(method));
}

void QuorXmlRpcServer::unregisterMethod(const QString &name)
{
    d_func()->methods.remove(name);
}

QStringList QuorXmlRpcServer::methods() const
{
    QStringList names = d_func()->methods.keys();
    names << ListMethods << MultiCall;
    names.removeDuplicates();
    names.sort();
    return names;
}

void QuorXmlRpcServer::setCallCheck(CallCheck check)
{
    d_func()->callCheck = std::move(check);
}

void QuorXmlRpcServer::setPaths(const QStringList &paths)
{
    d_func()->paths = paths;
}

QStringList QuorXmlRpcServer::paths() const
{
    return d_func()->paths;
}

void QuorXmlRpcServer::setMaximumRequestSize(qint64 bytes)
{
    d_func()->maximumRequestSize = bytes;
}

qint64 QuorXmlRpcServer::maximumRequestSize() const
{
    return d_func()->maximumRequestSize;
}

void QuorXmlRpcServer::setMaximumHeaderSize(int bytes)
{
    d_func()->maximumHeaderSize = bytes;
}

int QuorXmlRpcServer::maximumHeaderSize() const
{
    return d_func()->maximumHeaderSize;
}

void QuorXmlRpcServer::setRequestTimeout(int milliseconds)
{
    d_func()->requestTimeout = milliseconds;
}

int QuorXmlRpcServer::requestTimeout() const
{
    return d_func()->requestTimeout;
}

void QuorXmlRpcServer::setMaximumConnections(int count)
{
    d_func()->maximumConnections = count;
}

int QuorXmlRpcServer::maximumConnections() const
{
    return d_func()->maximumConnections;
}

void QuorXmlRpcServer::setLoopbackHostRequired(bool required)
{
    d_func()->loopbackHostRequired = required;
}

bool QuorXmlRpcServer::isLoopbackHostRequired() const
{
    return d_func()->loopbackHostRequired;
}

void QuorXmlRpcServer::setXmlContentTypeRequired(bool required)
{
    d_func()->xmlContentTypeRequired = required;
}

bool QuorXmlRpcServer::isXmlContentTypeRequired() const
{
    return d_func()->xmlContentTypeRequired;
}

void QuorXmlRpcServer::setI8Enabled(bool enabled)
{
    d_func()->codecOptions.i8 = enabled;
}

bool QuorXmlRpcServer::isI8Enabled() const
{
    return d_func()->codecOptions.i8;
}

int QuorXmlRpcServer::connectionCount() const
{
    return d_func()->connections.size();
}
