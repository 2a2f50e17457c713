// SPDX-License-Identifier: MIT
#include "quorhttpexchange_p.h"

#include "quorhttp_p.h"
#include "quorhttpclient_p.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QUrl>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Where the exchange has got to with its socket.
class Connection
{
public:
    Connection(const QDeadlineTimer &deadline, QuorHttpExchange *exchange)
        : m_deadline(deadline)
        , m_exchange(exchange)
    { }
    ~Connection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool connectTo(const QHostAddress &address, quint16 port);
    bool send(const QByteArray &bytes);
    // Appends what arrives to *buffer; false at the end of the stream (*closed)
    // or of the exchange.
    bool receive(QByteArray *buffer, bool *closed);

    bool fail(QNetworkReply::NetworkError error, const QString &text)
    {
        m_exchange->ending = QuorHttpExchange::Failed;
        m_exchange->error = error;
        m_exchange->errorString = text;
        return false;
    }
    bool fail(const QuorHttp::Failure &failure) { return fail(failure.error, failure.text); }
    bool end(QuorHttpExchange::Ending ending)
    {
        m_exchange->ending = ending;
        m_exchange->error = QNetworkReply::OperationCanceledError;
        return false;
    }

private:
    bool waitFor(short events);
    bool failOnSystemError(int error);

    const QDeadlineTimer m_deadline;
    QuorHttpExchange *const m_exchange;
    int m_fd = -1;
};

bool Connection::waitFor(short events)
{
    pollfd entry {m_fd, events, 0};
    for (;;) {
        const qint64 left = m_deadline.remainingTime();
        const int ready = ::poll(&entry, 1, left > INT_MAX ? INT_MAX : int(left));
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true; // what follows tells what became of the socket
        if (ready == 0 && m_deadline.hasExpired())
            return end(QuorHttpExchange::TimedOut);
    }
}

bool Connection::failOnSystemError(int error)
{
    // Qt's client's texts.
    switch (error) {
    case ECONNREFUSED:
        return fail(QNetworkReply::ConnectionRefusedError,
            QCoreApplication::translate("QNativeSocketEngine", "Connection refused"));
    case ECONNRESET:
    case EPIPE:
        return fail(QuorHttp::closedFailure());
    default:
        return fail(
            QNetworkReply::UnknownNetworkError, QString::fromLocal8Bit(std::strerror(error)));
    }
}

bool Connection::connectTo(const QHostAddress &address, quint16 port)
{
    sockaddr_storage storage {};
    socklen_t size = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&ipv6->sin6_addr, &bytes, sizeof bytes);
        size = sizeof *ipv6;
    } else {
        auto *ipv4 = reinterpret_cast<sockaddr_in *>(&storage);
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(port);
        ipv4->sin_addr.s_addr = htonl(address.toIPv4Address());
        size = sizeof *ipv4;
    }
    m_fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        return failOnSystemError(errno);
    if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&storage), size) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return failOnSystemError(errno);
    if (!waitFor(POLLOUT))
        return false;
    int error = 0;
    socklen_t errorSize = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &errorSize) != 0)
        error = errno;
    return error == 0 || failOnSystemError(error);
}

bool Connection::send(const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written
            = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (written >= 0) {
            sent += written;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(POLLOUT))
                return false;
        } else if (errno != EINTR) {
            return failOnSystemError(errno);
        }
    }
    return true;
}

bool Connection::receive(QByteArray *buffer, bool *closed)
{
    char piece[16384];
    for (;;) {
        const ssize_t received = ::recv(m_fd, piece, sizeof piece, 0);
        if (received > 0) {
            buffer->append(piece, int(received));
            return true;
        }
        if (received == 0) {
            *closed = true;
            return false;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(POLLIN))
                return false;
        } else if (errno != EINTR) {
            return failOnSystemError(errno);
        }
    }
}

// Reads the answer off connection: its head, then its body.
void readAnswer(Connection &connection, qint64 maximumBodySize, QuorHttpExchange *exchange)
{
    QByteArray buffer;
    bool closed = false;
    QuorHttpHead head;
    for (;;) {
        head = QuorHttpHead();
        const QuorHttpHead::Result result
            = head.parse(buffer, QuorHttp::MaximumResponseHeadSize, QuorHttpHead::Response);
        if (result == QuorHttpHead::Invalid) {
            connection.fail(QuorHttp::headFailure(head));
            return;
        }
        if (result == QuorHttpHead::Complete) {
            buffer.remove(0, head.size);
            if (head.isInterim())
                continue;
            break;
        }
        if (!connection.receive(&buffer, &closed)) {
            if (closed)
                connection.fail(QuorHttp::closedFailure());
            return;
        }
    }

    qint64 length = -1;
    const QuorHttpHead::BodyEnd bodyEnd = head.responseBodyEnd(&length);
    if (bodyEnd == QuorHttpHead::NoBody)
        length = 0;
    std::optional<QuorHttpChunkedBody> chunkedBody;
    if (bodyEnd == QuorHttpHead::Chunked)
        chunkedBody.emplace(
            maximumBodySize > 0 ? maximumBodySize : LLONG_MAX, QuorHttp::MaximumResponseHeadSize);
    QByteArray decoded; // of a chunked body, whose framing goes as it is read
    for (;;) {
        if (chunkedBody) {
            int taken = 0;
            const QuorHttpChunkedBody::Result result
                = chunkedBody->decode(buffer.constData(), buffer.size(), &taken, &decoded);
            buffer.remove(0, taken);
            if (result == QuorHttpChunkedBody::Complete)
                break;
            if (result == QuorHttpChunkedBody::Invalid) {
                if (chunkedBody->errorStatus() == 413)
                    connection.end(QuorHttpExchange::TooLarge);
                else
                    connection.fail(QuorHttp::chunkedBodyFailure());
                return;
            }
        } else if (bodyEnd != QuorHttpHead::Close && buffer.size() >= length) {
            buffer.truncate(int(length));
            break;
        }
        const qint64 bodySize = chunkedBody ? decoded.size() : buffer.size();
        if (maximumBodySize > 0 && bodySize > maximumBodySize
            && (bodyEnd != QuorHttpHead::Length || length > maximumBodySize)) {
            connection.end(QuorHttpExchange::TooLarge);
            return;
        }
        if (!connection.receive(&buffer, &closed)) {
            if (closed && bodyEnd == QuorHttpHead::Close)
                break; // a body that lasts up to the close
            if (closed)
                connection.fail(QuorHttp::closedFailure());
            return;
        }
    }
    exchange->ending = QuorHttpExchange::Answered;
    exchange->status = head.status;
    exchange->reason = head.reason;
    exchange->body = chunkedBody ? decoded : buffer;
}

} // namespace

QuorHttpExchange QuorHttpExchange::post(const QHostAddress &address, quint16 port,
    const QByteArray &headers, const QByteArray &body, int timeoutMs, qint64 maximumBodySize)
{
    QuorHttpExchange exchange;
    Connection connection(
        timeoutMs > 0 ? QDeadlineTimer(timeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever),
        &exchange);
    QByteArray host = address.toString().toLatin1();
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        host = '[' + host + ']';
    host += ':' + QByteArray::number(port);
    QByteArray request;
    request.reserve(128 + headers.size() + body.size());
    // The server closes its end first: its process is not woken again for
    // the client's close, and the closed connection waits out TIME_WAIT there.
    request += "POST /RPC2 HTTP/1.1\r\nHost: " + host + "\r\n" + headers
        + "Connection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
        + body;
    if (!connection.connectTo(address, port) || !connection.send(request))
        return exchange;
    readAnswer(connection, maximumBodySize, &exchange);
    if (exchange.ending == Answered && exchange.status >= 400)
        connection.fail(QuorHttp::statusFailure(exchange.status, exchange.reason,
            QUrl(QLatin1String("http://") + QLatin1String(host) + QLatin1String("/RPC2"))));
    return exchange;
}

#endif
