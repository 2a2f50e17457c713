// SPDX-License-Identifier: MIT
#ifndef QUORHTTPCLIENT_P_H
#define QUORHTTPCLIENT_P_H

#include "quorhttp_p.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslError>

#include <optional>

class QAbstractSocket;
class QLocalSocket;
class QNetworkAccessManager;
class QUrl;

class QuorHttpConnection;
class QuorHttpTransport;

// Where the calls to a URL go, and how. http and https: HTTP/1.1 over TCP or
// TLS. unix:///path (supervisor's form): HTTP/1.1 over the Unix socket at
// path, requests going to /RPC2 as supervisorctl sends them. scgi://host:port
// and scgi:///path (rtorrent's and ruTorrent's forms; scgi://~/path is under
// the home directory, as pyroscope has it): one SCGI request per connection,
// over TCP or a Unix socket.
struct QuorHttpEndpoint
{
    enum Socket { Tcp, Tls, Local };

    Socket socket = Tcp;
    bool scgi = false;
    QString host; // the path of a Unix socket
    quint16 port = 0;

    // Null for a URL that names no endpoint of these schemes.
    static std::optional<QuorHttpEndpoint> of(const QUrl &url);
    // Whether the scheme of url is one the manager does not speak.
    static bool isLocalScheme(const QUrl &url);

    QString key() const;
    bool operator==(const QuorHttpEndpoint &other) const
    {
        return socket == other.socket && scgi == other.scgi && host == other.host
            && port == other.port;
    }
};

namespace QuorHttp {
// How a call fails, as QNetworkAccessManager reports it: the error and its text.
struct Failure
{
    QNetworkReply::NetworkError error;
    QString text;
};
// For an HTTP error status (400 and above) of a call to url.
Failure statusFailure(int status, const QByteArray &reason, const QUrl &url);
// For a response head that parse() found Invalid.
Failure headFailure(const QuorHttpHead &head);
// For a chunked body that cannot be read.
Failure chunkedBodyFailure();
// For a connection that ended before the whole answer.
Failure closedFailure();
} // namespace QuorHttp

// A call posted over the client's own HTTP/1.1 connections: a QNetworkReply
// like those of QNetworkAccessManager, with the same attributes, errors and
// signals, its body readable once it has finished.
class QuorHttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    QuorHttpReply(const QNetworkRequest &request, const QByteArray &body, QObject *parent);
    ~QuorHttpReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }
    void ignoreSslErrors() override;

protected:
    void ignoreSslErrorsImplementation(const QList<QSslError> &errors) override;
    void sslConfigurationImplementation(QSslConfiguration &configuration) const override;

private:
    friend class QuorHttpConnection;
    friend class QuorHttpTransport;

    qint64 readData(char *data, qint64 maxSize) override;

    QByteArray requestBytes(const QByteArray &authorization) const;
    void setHead(int status, const QByteArray &reason,
        const QList<QPair<QByteArray, QByteArray>> &headers, qint64 length);
    void appendBody(const QByteArray &bytes);
    void fail(QNetworkReply::NetworkError code, const QString &text);
    void complete();

    QByteArray m_requestHead; // up to the credentials and Content-Length
    QByteArray m_requestBody;
    QByteArray m_authorization; // of the answer to a challenge
    bool m_sentCredentials = false;
    bool m_answeredChallenge = false;
    QByteArray m_body;
    qint64 m_read = 0; // of m_body
    qint64 m_received = 0;
    qint64 m_length = -1;
    QuorHttpConnection *m_connection = nullptr;
    bool m_ignoreAllSslErrors = false;
    QList<QSslError> m_ignoredSslErrors;
    // Of the connection, once encrypted. Left unmade otherwise: in Qt 5 even an
    // empty QSslConfiguration loads OpenSSL, milliseconds a plain call need not pay.
    std::optional<QSslConfiguration> m_sslConfiguration;
};

// One connection of a QuorHttpTransport to a server, carrying one call at a
// time: kept alive for HTTP, one call long for SCGI. Where it is in its life is one state; the
// reading of an answer moves it on in advance(), the end of the socket in
// closed().
//
// The reply's signals run the code of others, which may abort the call,
// delete the reply or destroy the client and this connection with it. So the
// connection settles its own state before each step that reaches the reply,
// and reads on after one only if it is still alive and still reading (see
// toReply()); the steps that end a call come last and nothing follows them.
class QuorHttpConnection : public QObject
{
public:
    QuorHttpConnection(QuorHttpTransport *transport, const QuorHttpEndpoint &endpoint,
        const std::optional<QSslConfiguration> &sslConfiguration);

    // sslConfiguration is the request's for TLS, none otherwise.
    bool serves(const QuorHttpEndpoint &endpoint,
        const std::optional<QSslConfiguration> &sslConfiguration) const
    {
        return m_endpoint == endpoint && m_sslConfiguration == sslConfiguration;
    }
    // Whether it can take a call: new, or kept alive after one.
    bool isIdle() const { return m_state == State::Unconnected || m_state == State::Idle; }

    void start(QuorHttpReply *reply);

    // The reply is aborted: the connection goes with it, since the rest of its
    // answer would still arrive.
    void drop();

private:
    enum class State {
        Unconnected, // made for a call, not started yet
        Connecting, // the request waits in the socket for the connection
        AwaitingAnswer, // the request is written; nothing of the answer has come
        ReadingHead, // the status line and headers; interim 1xx heads are passed over
        ReadingBodyByLength, // as many bytes as Content-Length says
        ReadingChunkedBody,
        ReadingBodyUntilClose, // the answer ends with the connection
        Idle, // kept alive, connected, no call
        Closed, // given up: the socket aborted, the connection deleted later
    };

    // What the head of the answer being read decided.
    struct Answer
    {
        bool keepAlive = true; // whether the connection may carry another call
        bool challengeAnswered = false; // its body goes nowhere, the call goes once more
        qint64 remaining = 0; // of a body by length
        std::optional<QuorHttpChunkedBody> chunkedBody;
    };

    void newSocket();
    bool isSocketUnconnected() const;
    void connectSocket();
    void socketConnected();
    void takeSslErrors(const QList<QSslError> &errors);
    void sendRequest();
    void read();
    void advance();
    bool takeHead(const QuorHttpHead &head);
    template<typename Step>
    bool toReply(Step step);
    bool deliver(QByteArray bytes);
    void finish();
    void fail(QNetworkReply::NetworkError code, const QString &text);
    void fail(const QuorHttp::Failure &failure) { fail(failure.error, failure.text); }
    void failOnSocketError();
    void closed();
    void close();

    QuorHttpTransport *const m_transport;
    const QuorHttpEndpoint m_endpoint;
    const std::optional<QSslConfiguration> m_sslConfiguration;
    State m_state = State::Unconnected;
    QIODevice *m_socket = nullptr;
    QAbstractSocket *m_tcpSocket = nullptr; // m_socket over TCP or TLS
    QLocalSocket *m_localSocket = nullptr; // m_socket over a Unix socket
    QByteArray m_unsent; // the request, until a Unix socket is connected
    QuorHttpReply *m_reply = nullptr;
    // Whether the call went on a connection that had carried one before: a
    // server may close such a connection just as the request arrives, and then
    // the call goes once more, on a new connection.
    bool m_reused = false;
    QByteArray m_buffer; // received, not yet read
    Answer m_answer;
};

// The connections of one XML-RPC client: HTTP/1.1 over TCP, TLS or a Unix
// socket, kept alive, with head and body in one write and without Nagle's
// delay, up to six per server, further calls waiting for a free one; and
// SCGI. Qt's HTTP stack runs in a thread of its own, reads a response head one
// byte per system call and on Qt 5 sends a body apart from its head, which
// costs a call several times over on the loopback, or the 40 ms of a delayed
// acknowledgement from a remote server.
class QuorHttpTransport : public QObject
{
    Q_OBJECT

public:
    // Cookies are kept in the cookie jar of manager, as its own calls keep them.
    QuorHttpTransport(QNetworkAccessManager *manager, QObject *parent);
    ~QuorHttpTransport() override;

    // Whether calls to url go this way: always for the schemes of a Unix socket
    // and of SCGI; for HTTP and HTTPS when no proxy applies, neither one of
    // the application nor, with manager, one that manager would use.
    // Everything else goes through Qt.
    static bool serves(const QUrl &url, const QNetworkAccessManager *manager = nullptr);

    QNetworkReply *post(const QNetworkRequest &request, const QByteArray &body);

Q_SIGNALS:
    void finished(QNetworkReply *reply);
    // As QNetworkAccessManager::sslErrors(): ignoreSslErrors() on reply from a
    // directly connected slot goes on with the call.
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

private:
    friend class QuorHttpConnection;
    friend class QuorHttpReply;

    // Basic credentials of a server that asked for them: the URL's, or the last
    // ones it took. Sent with every call once the server has asked, as Qt does.
    struct Authentication
    {
        QByteArray realm;
        QString user;
        QString password;
    };

    void sendWaitingCalls();
    void forget(QuorHttpReply *reply);
    void remove(QuorHttpConnection *connection);
    void resend(QuorHttpReply *reply);
    QByteArray authorizationFor(const QUrl &url);
    bool answerChallenge(QuorHttpReply *reply, const QList<QByteArray> &challenges);
    void takeCookies(QuorHttpReply *reply);

    QPointer<QNetworkAccessManager> m_manager;
    QHash<QString, Authentication> m_authentications; // by host and port
    QList<QuorHttpConnection *> m_connections;
    QList<QPointer<QuorHttpReply>> m_waiting;
};

#endif
