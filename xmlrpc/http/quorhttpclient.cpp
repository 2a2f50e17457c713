// SPDX-License-Identifier: MIT
#include "quorhttpclient_p.h"

#include "quorhttp_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QUrl>

#include <limits>
#include <utility>

namespace {

constexpr int MaximumConnectionsPerServer = 6;
// What a socket takes from the kernel before this connection has read it: an
// answer arrives piece by piece, each checked against the caller's bounds,
// instead of as much as the kernel has buffered (megabytes on loopback) at once.
constexpr qint64 SocketReadBufferSize = 256 * 1024;
// What supervisorctl asks for on a Unix socket, and what SCGI servers are told.
const QByteArray LocalTarget = QByteArrayLiteral("/RPC2");

QString hostOf(const QUrl &url)
{
    return url.host(QUrl::FullyEncoded);
}

QString serverOf(const QUrl &url)
{
    const std::optional<QuorHttpEndpoint> endpoint = QuorHttpEndpoint::of(url);
    return endpoint ? endpoint->key() : QString();
}

// Whether no proxy applies to url where the manager would look for one.
bool goesDirect(const QList<QNetworkProxy> &proxies)
{
    return proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
}

// The SCGI request: a netstring of NUL-ended names and values, CONTENT_LENGTH
// first, then the body. The headers of the HTTP head go along as CGI
// variables, but Host, which names no server here.
QByteArray scgiRequest(
    const QByteArray &httpHead, const QByteArray &authorization, const QByteArray &body)
{
    QByteArray headers;
    const auto add = [&headers](const QByteArray &name, const QByteArray &value) {
        headers += name + '\0' + value + '\0';
    };
    add("CONTENT_LENGTH", QByteArray::number(body.size()));
    add("SCGI", "1");
    add("REQUEST_METHOD", "POST");
    add("REQUEST_URI", LocalTarget);
    QList<QByteArray> lines = httpHead.split('\n').mid(1);
    if (!authorization.isEmpty())
        lines.append("Authorization: " + authorization);
    for (const QByteArray &line : std::as_const(lines)) {
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).toUpper().replace('-', '_');
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "CONTENT_TYPE")
            add(name, value);
        else if (name != "CONTENT_LENGTH" && name != "HOST")
            add("HTTP_" + name, value);
    }
    return QByteArray::number(headers.size()) + ':' + headers + ',' + body;
}

QByteArray basicAuthorization(const QString &user, const QString &password)
{
    // Latin-1, as QAuthenticator writes them.
    return "Basic " + (user + QLatin1Char(':') + password).toLatin1().toBase64();
}

// value split at each separator outside quoted strings.
QList<QByteArray> splitOutsideQuotes(const QByteArray &value, char separator)
{
    QList<QByteArray> parts;
    QByteArray part;
    bool quoted = false;
    for (int i = 0; i < value.size(); ++i) {
        const char c = value.at(i);
        if (quoted && c == '\\' && i + 1 < value.size()) {
            part += c;
            part += value.at(++i);
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        if (c == separator && !quoted) {
            parts.append(part);
            part.clear();
            continue;
        }
        part += c;
    }
    parts.append(part);
    return parts;
}

QByteArray unquoted(const QByteArray &text)
{
    if (text.size() < 2 || !text.startsWith('"') || !text.endsWith('"'))
        return text;
    QByteArray result;
    for (int i = 1; i < text.size() - 1; ++i) {
        if (text.at(i) == '\\' && i + 1 < text.size() - 1)
            ++i;
        result += text.at(i);
    }
    return result;
}

// The realm of the Basic challenge among the WWW-Authenticate values of a 401;
// empty without one, null when no challenge is Basic. Challenges and their
// parameters are separated by commas alike: a challenge begins with a scheme
// name that no '=' follows.
QByteArray basicRealm(const QList<QByteArray> &challenges)
{
    for (const QByteArray &value : challenges) {
        QByteArray realm;
        bool inBasic = false;
        for (const QByteArray &item : splitOutsideQuotes(value, ',')) {
            const QByteArray text = item.trimmed();
            if (text.isEmpty())
                continue;
            const int space = text.indexOf(' ');
            const int equals = text.indexOf('=');
            QByteArray parameter = text;
            if (equals < 0 || (space >= 0 && space < equals)) {
                if (inBasic)
                    return realm;
                inBasic = (space < 0 ? text : text.left(space)).toLower() == "basic";
                if (inBasic)
                    realm = QByteArray("");
                parameter = space < 0 ? QByteArray() : text.mid(space + 1).trimmed();
            }
            const int separator = parameter.indexOf('=');
            if (inBasic && separator > 0
                && parameter.left(separator).trimmed().toLower() == "realm")
                realm = unquoted(parameter.mid(separator + 1).trimmed());
        }
        if (inBasic)
            return realm;
    }
    return QByteArray();
}

// What QNetworkAccessManager reports for an HTTP error status.
QNetworkReply::NetworkError errorOfStatus(int status)
{
    switch (status) {
    case 400:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status >= 500 ? QNetworkReply::UnknownServerError
                             : QNetworkReply::UnknownContentError;
    }
}

} // namespace

QuorHttp::Failure QuorHttp::statusFailure(int status, const QByteArray &reason, const QUrl &url)
{
    const QNetworkReply::NetworkError code = errorOfStatus(status);
    // Qt's texts, but never with the URL's password.
    return {code,
        code == QNetworkReply::AuthenticationRequiredError
            ? QCoreApplication::translate("QHttp", "Host requires authentication")
            : code == QNetworkReply::ProxyAuthenticationRequiredError
            ? QCoreApplication::translate("QHttp", "Proxy requires authentication")
            : QCoreApplication::translate(
                "QNetworkReply", "Error transferring %1 - server replied: %2")
                  .arg(url.toString(QUrl::RemovePassword), QString::fromLatin1(reason))};
}

QuorHttp::Failure QuorHttp::headFailure(const QuorHttpHead &head)
{
    if (head.errorStatus == 431)
        return {QNetworkReply::ProtocolFailure,
            QCoreApplication::translate("QHttp", "Invalid HTTP response header")};
    // What Qt reports for a status line it cannot read.
    return closedFailure();
}

QuorHttp::Failure QuorHttp::chunkedBodyFailure()
{
    return {QNetworkReply::ProtocolFailure,
        QCoreApplication::translate("QHttp", "Invalid HTTP chunked body")};
}

QuorHttp::Failure QuorHttp::closedFailure()
{
    return {QNetworkReply::RemoteHostClosedError,
        QCoreApplication::translate("QHttp", "Connection closed")};
}

QuorHttpConnection::QuorHttpConnection(QuorHttpTransport *transport,
    const QuorHttpEndpoint &endpoint, const std::optional<QSslConfiguration> &sslConfiguration)
    : QObject(transport)
    , m_transport(transport)
    , m_endpoint(endpoint)
    , m_sslConfiguration(sslConfiguration)
{
    newSocket();
}

void QuorHttpConnection::start(QuorHttpReply *reply)
{
    Q_ASSERT(isIdle());
    m_reply = reply;
    reply->m_connection = this;
    m_reused = m_state == State::Idle;
    sendRequest();
}

void QuorHttpConnection::drop()
{
    m_reply = nullptr;
    close();
}

void QuorHttpConnection::newSocket()
{
    m_tcpSocket = nullptr;
    m_localSocket = nullptr;
    switch (m_endpoint.socket) {
    case QuorHttpEndpoint::Local:
        m_localSocket = new QLocalSocket(this);
        m_localSocket->setReadBufferSize(SocketReadBufferSize);
        m_socket = m_localSocket;
        connect(
            m_localSocket, &QLocalSocket::connected, this, &QuorHttpConnection::socketConnected);
        connect(m_localSocket, &QLocalSocket::disconnected, this, &QuorHttpConnection::closed);
        connect(m_localSocket, &QLocalSocket::errorOccurred, this, &QuorHttpConnection::closed);
        break;
    case QuorHttpEndpoint::Tls: {
        auto *socket = new QSslSocket(this);
        QSslConfiguration configuration = *m_sslConfiguration;
        // HTTP/1.1 is all these connections speak.
        configuration.setAllowedNextProtocols({QByteArrayLiteral("http/1.1")});
        socket->setSslConfiguration(configuration);
        connect(socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &QuorHttpConnection::takeSslErrors);
        connect(socket, &QSslSocket::encrypted, this, [this] {
            if (m_reply) {
                m_reply->m_sslConfiguration
                    = static_cast<QSslSocket *>(m_tcpSocket)->sslConfiguration();
                const QPointer<QuorHttpReply> reply(m_reply);
                Q_EMIT reply->encrypted();
            }
        });
        m_tcpSocket = socket;
        break;
    }
    case QuorHttpEndpoint::Tcp:
        m_tcpSocket = new QTcpSocket(this);
        break;
    }
    if (m_tcpSocket) {
        // Only calls that go direct come here (serves()). Like the manager's
        // own connections, the socket does not ask the proxy factories again.
        m_tcpSocket->setProxy(QNetworkProxy::NoProxy);
        m_tcpSocket->setReadBufferSize(SocketReadBufferSize);
        m_socket = m_tcpSocket;
        connect(
            m_tcpSocket, &QAbstractSocket::connected, this, &QuorHttpConnection::socketConnected);
        connect(m_tcpSocket, &QAbstractSocket::disconnected, this, &QuorHttpConnection::closed);
        connect(m_tcpSocket, &QAbstractSocket::errorOccurred, this, &QuorHttpConnection::closed);
    }
    connect(m_socket, &QIODevice::readyRead, this, &QuorHttpConnection::read);
}

bool QuorHttpConnection::isSocketUnconnected() const
{
    return m_tcpSocket ? m_tcpSocket->state() == QAbstractSocket::UnconnectedState
                       : m_localSocket->state() == QLocalSocket::UnconnectedState;
}

void QuorHttpConnection::connectSocket()
{
    switch (m_endpoint.socket) {
    case QuorHttpEndpoint::Local:
        m_localSocket->connectToServer(m_endpoint.host);
        break;
    case QuorHttpEndpoint::Tls:
        static_cast<QSslSocket *>(m_tcpSocket)
            ->connectToHostEncrypted(m_endpoint.host, m_endpoint.port);
        break;
    case QuorHttpEndpoint::Tcp:
        m_tcpSocket->connectToHost(m_endpoint.host, m_endpoint.port);
        break;
    }
}

// The request written before the connection was up goes out now, not a turn
// of the event loop later; a Unix socket takes it only now.
void QuorHttpConnection::socketConnected()
{
    if (m_tcpSocket) {
        m_tcpSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_tcpSocket->flush();
    } else if (!m_unsent.isEmpty()) {
        m_localSocket->write(std::exchange(m_unsent, QByteArray()));
        m_localSocket->flush();
    }
    if (m_state == State::Connecting)
        m_state = State::AwaitingAnswer;
}

// As Qt's manager: the reply and then the transport report the errors, and
// whoever took them may have them ignored, through the reply.
void QuorHttpConnection::takeSslErrors(const QList<QSslError> &errors)
{
    if (!m_reply)
        return;
    const QPointer<QuorHttpConnection> alive(this);
    const QPointer<QuorHttpReply> reply(m_reply);
    Q_EMIT reply->sslErrors(errors);
    if (reply && alive && m_reply == reply)
        Q_EMIT m_transport->sslErrors(reply, errors);
    if (!reply || !alive || m_reply != reply || m_state == State::Closed)
        return;
    auto *socket = static_cast<QSslSocket *>(m_tcpSocket);
    if (reply->m_ignoreAllSslErrors)
        socket->ignoreSslErrors();
    else if (!reply->m_ignoredSslErrors.isEmpty())
        socket->ignoreSslErrors(reply->m_ignoredSslErrors);
}

void QuorHttpConnection::sendRequest()
{
    QByteArray authorization = m_reply->m_authorization;
    if (authorization.isNull())
        authorization = m_transport->authorizationFor(m_reply->url());
    m_reply->m_sentCredentials = !authorization.isEmpty();
    const QByteArray request = m_endpoint.scgi
        ? scgiRequest(m_reply->m_requestHead, authorization, m_reply->m_requestBody)
        : m_reply->requestBytes(authorization);
    m_buffer.clear();
    m_answer = Answer();
    if (isSocketUnconnected()) {
        m_state = State::Connecting;
        if (m_localSocket)
            m_unsent = request;
        // A connection can be refused at once, which ends the call within.
        const QPointer<QuorHttpConnection> alive(this);
        connectSocket();
        if (!alive || m_state == State::Closed || m_localSocket)
            return;
    } else {
        m_state = State::AwaitingAnswer;
    }
    m_socket->write(request);
}

void QuorHttpConnection::read()
{
    m_buffer += m_socket->readAll();
    advance();
}

// Reads on as far as the buffer allows, moving from state to state.
void QuorHttpConnection::advance()
{
    for (;;) {
        switch (m_state) {
        case State::Unconnected:
        case State::Closed:
            return;
        case State::Idle:
            // Nothing was asked: whatever this is, the connection is not to be trusted.
            if (!m_buffer.isEmpty())
                close();
            return;
        case State::Connecting:
        case State::AwaitingAnswer:
            if (m_buffer.isEmpty())
                return;
            // A CGI head, whose status comes in a header if at all, read as
            // the HTTP/1.0 head it stands for; some servers send that one.
            if (m_endpoint.scgi && !m_buffer.startsWith("HTTP/"))
                m_buffer.prepend("HTTP/1.0 200 OK\r\n");
            m_state = State::ReadingHead;
            continue;
        case State::ReadingHead: {
            QuorHttpHead head;
            switch (
                head.parse(m_buffer, QuorHttp::MaximumResponseHeadSize, QuorHttpHead::Response)) {
            case QuorHttpHead::Incomplete:
                return;
            case QuorHttpHead::Invalid:
                fail(QuorHttp::headFailure(head));
                return;
            case QuorHttpHead::Complete:
                break;
            }
            m_buffer.remove(0, head.size);
            if (head.isInterim())
                continue;
            if (!takeHead(head))
                return;
            continue;
        }
        case State::ReadingBodyByLength: {
            const qint64 take = qMin<qint64>(m_answer.remaining, m_buffer.size());
            if (take > 0) {
                m_answer.remaining -= take;
                QByteArray bytes;
                if (take == m_buffer.size()) {
                    bytes.swap(m_buffer);
                } else {
                    bytes = m_buffer.left(int(take));
                    m_buffer.remove(0, int(take));
                }
                if (!deliver(std::move(bytes)))
                    return;
            }
            if (m_answer.remaining == 0)
                finish();
            return;
        }
        case State::ReadingChunkedBody: {
            QByteArray bytes;
            int taken = 0;
            const QuorHttpChunkedBody::Result result = m_answer.chunkedBody->decode(
                m_buffer.constData(), m_buffer.size(), &taken, &bytes);
            m_buffer.remove(0, taken);
            if (!bytes.isEmpty() && !deliver(std::move(bytes)))
                return;
            if (result == QuorHttpChunkedBody::Complete)
                finish();
            else if (result == QuorHttpChunkedBody::Invalid)
                fail(QuorHttp::chunkedBodyFailure());
            return;
        }
        case State::ReadingBodyUntilClose:
            if (!m_buffer.isEmpty()) {
                QByteArray bytes;
                bytes.swap(m_buffer);
                deliver(std::move(bytes));
            }
            return;
        }
    }
}

// Takes the head of the answer and moves on to its body; returns whether
// the connection still reads it.
bool QuorHttpConnection::takeHead(const QuorHttpHead &head)
{
    int status = head.status;
    QByteArray givenReason = head.reason;
    if (m_endpoint.scgi) {
        const QByteArray cgiStatus = head.header("status").trimmed();
        const int space = cgiStatus.indexOf(' ');
        bool valid = false;
        const int code = cgiStatus.left(space < 0 ? cgiStatus.size() : space).toInt(&valid);
        if (valid && code >= 100 && code <= 999) {
            status = code;
            givenReason = space < 0 ? QByteArray() : cgiStatus.mid(space + 1).trimmed();
        }
    }
    QList<QByteArray> challenges;
    QByteArray connection;
    for (const auto &header : head.headers) {
        const QByteArray lowerName = header.first.toLower();
        if (lowerName == "connection")
            connection = header.second.toLower();
        else if (lowerName == "www-authenticate")
            challenges.append(header.second);
    }
    m_answer.keepAlive = m_endpoint.scgi ? false
        : head.minorVersion == 1         ? !connection.contains("close")
                                         : connection.contains("keep-alive");
    qint64 length = -1;
    switch (head.responseBodyEnd(&length)) {
    case QuorHttpHead::NoBody:
        m_state = State::ReadingBodyByLength;
        m_answer.remaining = 0;
        break;
    case QuorHttpHead::Chunked:
        m_state = State::ReadingChunkedBody;
        // The client's maximum response size bounds what it delivers as it
        // comes; the decoder bounds the lines it has to gather.
        m_answer.chunkedBody.emplace(
            std::numeric_limits<qint64>::max(), QuorHttp::MaximumResponseHeadSize);
        break;
    case QuorHttpHead::Length:
        m_state = State::ReadingBodyByLength;
        m_answer.remaining = length;
        break;
    case QuorHttpHead::Close:
        m_state = State::ReadingBodyUntilClose;
        m_answer.keepAlive = false;
        break;
    }
    m_answer.challengeAnswered = status == 401 && m_transport->answerChallenge(m_reply, challenges);
    if (m_answer.challengeAnswered)
        return true;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QByteArray reason = givenReason;
#else
    // Qt 5 takes the whole status line for a reason phrase that is missing.
    const QByteArray reason = givenReason.isNull() ? head.statusLine : givenReason;
#endif
    // downloadProgress() has -1 for a total not known.
    return toReply([&] { m_reply->setHead(status, reason, head.headers, length); });
}

// Runs step, which reaches the reply and through its signals anyone; returns
// whether this connection is still there and reading the same answer.
template<typename Step>
bool QuorHttpConnection::toReply(Step step)
{
    const QPointer<QuorHttpConnection> alive(this);
    step();
    return alive && m_state != State::Closed;
}

bool QuorHttpConnection::deliver(QByteArray bytes)
{
    if (m_answer.challengeAnswered)
        return true;
    return toReply([this, &bytes] { m_reply->appendBody(bytes); });
}

void QuorHttpConnection::finish()
{
    QuorHttpReply *const reply = std::exchange(m_reply, nullptr);
    const bool resend = m_answer.challengeAnswered;
    // Bytes beyond the answer were never asked for.
    if (!m_answer.keepAlive || !m_buffer.isEmpty()) {
        close();
    } else {
        m_state = State::Idle;
        m_answer = Answer();
    }
    // Last: either may start the next call, on this connection too.
    if (resend)
        m_transport->resend(reply);
    else
        reply->complete();
}

void QuorHttpConnection::fail(QNetworkReply::NetworkError code, const QString &text)
{
    QuorHttpReply *const reply = std::exchange(m_reply, nullptr);
    close();
    reply->fail(code, text);
}

// The server closed the connection, or connecting failed.
void QuorHttpConnection::closed()
{
    switch (m_state) {
    case State::Unconnected:
    case State::Closed:
        return;
    case State::Idle:
        close();
        return;
    case State::ReadingBodyUntilClose: {
        const QPointer<QuorHttpConnection> alive(this);
        m_buffer += m_socket->readAll();
        advance();
        if (alive && m_state == State::ReadingBodyUntilClose)
            finish();
        return;
    }

    case State::AwaitingAnswer:
        // A kept-alive connection the server closed meanwhile: once more, anew.
        // (On a new socket: the old one is still busy reporting its end.)
        if (m_reused) {
            m_reused = false;
            m_socket->disconnect(this);
            m_socket->deleteLater();
            newSocket();
            sendRequest();
            return;
        }
        failOnSocketError();
        return;
    case State::Connecting:
    case State::ReadingHead:
    case State::ReadingBodyByLength:
    case State::ReadingChunkedBody:
        failOnSocketError();
        return;
    }
}

// Ends the call with what Qt reports for the socket's error.
void QuorHttpConnection::failOnSocketError()
{
    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    QString text = m_socket->errorString();
    if (m_localSocket) {
        // Qt's texts here begin with the name of its function.
        const QString path = m_endpoint.host;
        switch (m_localSocket->error()) {
        case QLocalSocket::ServerNotFoundError:
            code = QNetworkReply::HostNotFoundError;
            text = QStringLiteral("Unix socket %1 not found").arg(path);
            break;
        case QLocalSocket::ConnectionRefusedError:
            code = QNetworkReply::ConnectionRefusedError;
            text = QStringLiteral("Connection refused by Unix socket %1").arg(path);
            break;
        case QLocalSocket::SocketAccessError:
            code = QNetworkReply::ContentAccessDenied;
            text = QStringLiteral("Access to Unix socket %1 denied").arg(path);
            break;
        case QLocalSocket::PeerClosedError:
            fail(QuorHttp::closedFailure());
            return;
        default:
            break;
        }
        fail(code, text);
        return;
    }
    switch (m_tcpSocket->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        code = QNetworkReply::ConnectionRefusedError;
        break;
    case QAbstractSocket::HostNotFoundError:
        code = QNetworkReply::HostNotFoundError;
        text = QCoreApplication::translate("QHttp", "Host %1 not found").arg(m_endpoint.host);
        break;
    case QAbstractSocket::RemoteHostClosedError:
        fail(QuorHttp::closedFailure());
        return;
    case QAbstractSocket::SocketTimeoutError:
        code = QNetworkReply::TimeoutError;
        break;
    case QAbstractSocket::SslHandshakeFailedError:
        code = QNetworkReply::SslHandshakeFailedError;
        text = QCoreApplication::translate("QHttp", "SSL handshake failed: %1").arg(text);
        break;
    default:
        break;
    }
    fail(code, text);
}

void QuorHttpConnection::close()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    // Its end is not reported back here: the connection knows it already.
    m_socket->disconnect(this);
    if (m_tcpSocket)
        m_tcpSocket->abort();
    else
        m_localSocket->abort();
    m_transport->remove(this);
    deleteLater();
}

QuorHttpReply::QuorHttpReply(
    const QNetworkRequest &request, const QByteArray &body, QObject *parent)
    : QNetworkReply(parent)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::PostOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    const QUrl url = request.url();
    QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    if (path.isEmpty())
        path = "/";
    if (url.hasQuery())
        path += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = hostOf(url).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int defaultPort
        = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
    if (url.port(defaultPort) != defaultPort)
        host += ':' + QByteArray::number(url.port());
    // The path of a Unix socket is no resource of its server.
    if (QuorHttpEndpoint::isLocalScheme(url)) {
        path = LocalTarget;
        host = "localhost";
    }
    m_requestHead.reserve(256);
    m_requestHead += "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\n";
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names)
        m_requestHead += name + ": " + request.rawHeader(name) + "\r\n";
    m_requestBody = body;
}

QByteArray QuorHttpReply::requestBytes(const QByteArray &authorization) const
{
    QByteArray bytes;
    bytes.reserve(m_requestHead.size() + authorization.size() + 64 + m_requestBody.size());
    bytes += m_requestHead;
    if (!authorization.isEmpty())
        bytes += "Authorization: " + authorization + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(m_requestBody.size()) + "\r\n\r\n";
    bytes += m_requestBody;
    return bytes;
}

QuorHttpReply::~QuorHttpReply()
{
    // Gone unfinished (with its client, say): no more signals, just let go.
    if (m_connection)
        m_connection->drop();
    else if (auto *transport = qobject_cast<QuorHttpTransport *>(parent());
             transport && !isFinished())
        transport->forget(this);
}

void QuorHttpReply::abort()
{
    if (isFinished())
        return;
    auto *transport = qobject_cast<QuorHttpTransport *>(parent());
    if (m_connection) {
        m_connection->drop();
        m_connection = nullptr;
    } else if (transport) {
        transport->forget(this);
    }
    fail(
        OperationCanceledError, QCoreApplication::translate("QNetworkReply", "Operation canceled"));
}

void QuorHttpReply::ignoreSslErrors()
{
    m_ignoreAllSslErrors = true;
}

void QuorHttpReply::ignoreSslErrorsImplementation(const QList<QSslError> &errors)
{
    m_ignoredSslErrors = errors;
}

void QuorHttpReply::sslConfigurationImplementation(QSslConfiguration &configuration) const
{
    if (m_sslConfiguration)
        configuration = *m_sslConfiguration;
}

qint64 QuorHttpReply::bytesAvailable() const
{
    return m_body.size() - m_read + QNetworkReply::bytesAvailable();
}

qint64 QuorHttpReply::readData(char *data, qint64 maxSize)
{
    // QIODevice reads a large body in many small pieces: none is removed
    // from the front, which would move all the rest each time.
    const qint64 count = qMin<qint64>(maxSize, m_body.size() - m_read);
    memcpy(data, m_body.constData() + m_read, size_t(count));
    m_read += count;
    if (m_read == m_body.size()) {
        m_body.clear();
        m_read = 0;
    }
    return count == 0 && isFinished() ? -1 : count;
}

void QuorHttpReply::setHead(int status, const QByteArray &reason,
    const QList<QPair<QByteArray, QByteArray>> &headers, qint64 length)
{
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, reason);
    // A header that comes more than once is one list, as Qt makes it.
    for (const auto &header : headers) {
        QByteArray value = rawHeader(header.first);
        if (!value.isEmpty())
            value += header.first.compare("set-cookie", Qt::CaseInsensitive) == 0 ? "\n" : ", ";
        setRawHeader(header.first, value + header.second);
    }
    m_length = length;
    if (status >= 400) {
        const QuorHttp::Failure failure = QuorHttp::statusFailure(status, reason, url());
        setError(failure.error, failure.text);
    }
    if (auto *transport = qobject_cast<QuorHttpTransport *>(parent()))
        transport->takeCookies(this);
    Q_EMIT metaDataChanged();
}

void QuorHttpReply::appendBody(const QByteArray &bytes)
{
    m_body += bytes;
    m_received += bytes.size();
    Q_EMIT readyRead();
    if (!isFinished())
        Q_EMIT downloadProgress(m_received, m_length);
}

void QuorHttpReply::fail(NetworkError code, const QString &text)
{
    m_connection = nullptr;
    setError(code, text);
    setFinished(true);
    const QPointer<QuorHttpReply> alive(this);
    Q_EMIT errorOccurred(code);
    if (alive)
        complete();
}

void QuorHttpReply::complete()
{
    m_connection = nullptr;
    setFinished(true);
    // Announced from the event loop, as Qt does, so that whoever deletes the
    // client in a slot does not delete the connection that is reading.
    QMetaObject::invokeMethod(
        this,
        [this] {
            const QPointer<QuorHttpReply> alive(this);
            Q_EMIT finished();
            if (auto *transport = qobject_cast<QuorHttpTransport *>(parent()); alive && transport)
                Q_EMIT transport->finished(this);
        },
        Qt::QueuedConnection);
    if (auto *transport = qobject_cast<QuorHttpTransport *>(parent()))
        transport->sendWaitingCalls();
}

QuorHttpTransport::QuorHttpTransport(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
{ }

QuorHttpTransport::~QuorHttpTransport()
{
    // Replies and connections are children; none may call back while they go.
    m_waiting.clear();
    const QList<QuorHttpConnection *> connections = m_connections;
    m_connections.clear();
    qDeleteAll(connections);
    const QList<QuorHttpReply *> replies = findChildren<QuorHttpReply *>();
    for (QuorHttpReply *reply : replies) {
        reply->m_connection = nullptr;
        reply->setFinished(true);
    }
}

std::optional<QuorHttpEndpoint> QuorHttpEndpoint::of(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    QuorHttpEndpoint endpoint;
    endpoint.host = url.host();
    if (scheme == QLatin1String("http")) {
        endpoint.port = quint16(url.port(80));
    } else if (scheme == QLatin1String("https")) {
        endpoint.socket = Tls;
        endpoint.port = quint16(url.port(443));
    } else if (scheme == QLatin1String("unix") || scheme == QLatin1String("scgi")) {
        endpoint.scgi = scheme == QLatin1String("scgi");
        if (endpoint.host.isEmpty() || endpoint.host == QLatin1String("~")) {
            endpoint.socket = Local;
            endpoint.host = url.path(QUrl::FullyDecoded);
            if (url.host() == QLatin1String("~"))
                endpoint.host.prepend(QDir::homePath());
        } else if (endpoint.scgi) {
            // SCGI has no port of its own.
            endpoint.port = quint16(url.port(0));
            if (endpoint.port == 0)
                return std::nullopt;
        } else {
            return std::nullopt;
        }
        if (endpoint.socket == Local && !endpoint.host.startsWith(QLatin1Char('/')))
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (endpoint.host.isEmpty())
        return std::nullopt;
    return endpoint;
}

bool QuorHttpEndpoint::isLocalScheme(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("unix"), Qt::CaseInsensitive) == 0
        || url.scheme().compare(QLatin1String("scgi"), Qt::CaseInsensitive) == 0;
}

QString QuorHttpEndpoint::key() const
{
    return QString::number(int(socket)) + (scgi ? QLatin1String("scgi:") : QLatin1String(":"))
        + host + QLatin1Char(':') + QString::number(port);
}

bool QuorHttpTransport::serves(const QUrl &url, const QNetworkAccessManager *manager)
{
    if (QuorHttpEndpoint::isLocalScheme(url))
        return true;
    if (!QuorHttpEndpoint::of(url))
        return false;
    // An application proxy takes every call of HTTP to the manager, which
    // then honours its own proxy settings, loopback hosts included.
    const QNetworkProxy::ProxyType proxy = QNetworkProxy::applicationProxy().type();
    if (proxy != QNetworkProxy::NoProxy && proxy != QNetworkProxy::DefaultProxy)
        return false;
    // Where the manager looks for a proxy, in its order: its own, its
    // factory, the application's factory (which passes loopback hosts by).
    const QNetworkProxyQuery query(url);
    if (manager) {
        const QNetworkProxy::ProxyType own = manager->proxy().type();
        if (own != QNetworkProxy::DefaultProxy)
            return own == QNetworkProxy::NoProxy;
        if (QNetworkProxyFactory *factory = manager->proxyFactory())
            return goesDirect(factory->queryProxy(query));
    }
    return goesDirect(QNetworkProxyFactory::proxyForQuery(query));
}

QNetworkReply *QuorHttpTransport::post(const QNetworkRequest &request, const QByteArray &body)
{
    auto *reply = new QuorHttpReply(request, body, this);
    const bool loadCookies
        = request.attribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Automatic)
              .toInt()
        == QNetworkRequest::Automatic;
    if (m_manager && loadCookies && !request.hasRawHeader("Cookie")) {
        const QList<QNetworkCookie> cookies = m_manager->cookieJar()->cookiesForUrl(request.url());
        QByteArray header;
        for (const QNetworkCookie &cookie : cookies)
            header += (header.isEmpty() ? "" : "; ")
                + cookie.toRawForm(QNetworkCookie::NameAndValueOnly);
        if (!header.isEmpty())
            reply->m_requestHead += "Cookie: " + header + "\r\n";
    }
    m_waiting.append(reply);
    sendWaitingCalls();
    return reply;
}

void QuorHttpTransport::resend(QuorHttpReply *reply)
{
    reply->m_connection = nullptr;
    m_waiting.prepend(reply);
    sendWaitingCalls();
}

QByteArray QuorHttpTransport::authorizationFor(const QUrl &url)
{
    const auto known = m_authentications.find(serverOf(url));
    if (known == m_authentications.end())
        return QByteArray();
    if (!url.userName().isEmpty()) {
        known->user = url.userName(QUrl::FullyDecoded);
        known->password = url.password(QUrl::FullyDecoded);
    }
    return basicAuthorization(known->user, known->password);
}

bool QuorHttpTransport::answerChallenge(QuorHttpReply *reply, const QList<QByteArray> &challenges)
{
    const QUrl url = reply->url();
    const QString server = serverOf(url);
    const QByteArray realm = basicRealm(challenges);
    const auto known = m_authentications.constFind(server);
    // A call answers one challenge. Credentials sent to the realm that took them
    // before and refused now are wrong: the call ends, and the next one asks anew.
    if (realm.isNull() || reply->m_answeredChallenge
        || (reply->m_sentCredentials && known != m_authentications.constEnd()
            && known->realm == realm)) {
        m_authentications.remove(server);
        return false;
    }
    Authentication authentication;
    authentication.realm = realm;
    if (!url.userName().isEmpty()) {
        authentication.user = url.userName(QUrl::FullyDecoded);
        authentication.password = url.password(QUrl::FullyDecoded);
    } else if (known != m_authentications.constEnd()) {
        authentication.user = known->user;
        authentication.password = known->password;
    } else {
        return false;
    }
    reply->m_answeredChallenge = true;
    reply->m_authorization = basicAuthorization(authentication.user, authentication.password);
    m_authentications.insert(server, authentication);
    return true;
}

void QuorHttpTransport::takeCookies(QuorHttpReply *reply)
{
    const bool saveCookies
        = reply->request()
              .attribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Automatic)
              .toInt()
        == QNetworkRequest::Automatic;
    const QList<QNetworkCookie> cookies
        = reply->header(QNetworkRequest::SetCookieHeader).value<QList<QNetworkCookie>>();
    if (m_manager && saveCookies && !cookies.isEmpty())
        m_manager->cookieJar()->setCookiesFromUrl(cookies, reply->url());
}

void QuorHttpTransport::sendWaitingCalls()
{
    while (!m_waiting.isEmpty()) {
        QuorHttpReply *reply = m_waiting.first();
        if (!reply) {
            m_waiting.removeFirst();
            continue;
        }
        const std::optional<QuorHttpEndpoint> endpoint = QuorHttpEndpoint::of(reply->url());
        if (!endpoint) {
            m_waiting.removeFirst();
            reply->fail(QNetworkReply::ProtocolUnknownError,
                QStringLiteral("%1 names no server: unix:///PATH, scgi://HOST:PORT or "
                               "scgi:///PATH are the forms")
                    .arg(reply->url().toString(QUrl::RemovePassword)));
            continue;
        }
        // Asked for TLS only: making any QSslConfiguration loads OpenSSL.
        std::optional<QSslConfiguration> sslConfiguration;
        if (endpoint->socket == QuorHttpEndpoint::Tls)
            sslConfiguration = reply->request().sslConfiguration();
        QuorHttpConnection *free = nullptr;
        int count = 0;
        for (QuorHttpConnection *connection : qAsConst(m_connections)) {
            if (!connection->serves(*endpoint, sslConfiguration))
                continue;
            ++count;
            if (!free && connection->isIdle())
                free = connection;
        }
        if (!free && count >= MaximumConnectionsPerServer)
            return;
        if (!free) {
            free = new QuorHttpConnection(this, *endpoint, sslConfiguration);
            m_connections.append(free);
        }
        m_waiting.removeFirst();
        free->start(reply);
    }
}

void QuorHttpTransport::forget(QuorHttpReply *reply)
{
    m_waiting.removeAll(reply);
}

void QuorHttpTransport::remove(QuorHttpConnection *connection)
{
    m_connections.removeAll(connection);
}
