// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCSERVER_H
#define QUORXMLRPCSERVER_H

#include "tavrel_export.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>

class QuorXmlRpcAnswerPrivate;
class QuorXmlRpcServerPrivate;

/*!
    The answer to one call that a QuorXmlRpcServer received. A method answers
    once, with setValue() or setFault(), either before it returns or later (keep
    a copy of the answer, e.g. while asking the user). Further answers are
    ignored. When the last copy goes away unanswered, the caller gets the fault
    -32603. Answers for a client that has gone meanwhile are dropped.

    Copies share one answer: answering through any of them answers for all.
*/
class TAVREL_EXPORT QuorXmlRpcAnswer
{
public:
    //! Another handle on the same answer as \a other.
    QuorXmlRpcAnswer(const QuorXmlRpcAnswer &other);
    //! Makes this a handle on the same answer as \a other.
    QuorXmlRpcAnswer &operator=(const QuorXmlRpcAnswer &other);
    //! Drops this handle; the last one of an unanswered call answers fault -32603.
    ~QuorXmlRpcAnswer();

    //! The name of the method called.
    QString method() const;
    //! Whether the call has been answered, by any copy.
    bool isAnswered() const;

    //! The address the client's connection comes from.
    QHostAddress peerAddress() const;
    //! The port the client's connection comes from.
    quint16 peerPort() const;
    //! The server's address that the client connected to.
    QHostAddress localAddress() const;
    //! The server's port that the client connected to.
    quint16 localPort() const;
    /*! The value kept under \a key with the client's connection by an earlier
        call on it (what a method learned about the client, say): invalid when
        none was kept, and once the connection has closed. */
    QVariant connectionValue(const QString &key) const;
    //! Keeps \a value under \a key with the client's connection, for as long as it stays open.
    void setConnectionValue(const QString &key, const QVariant &value) const;

    //! Answers the call with \a value, unless it is answered already.
    void setValue(const QVariant &value) const;
    //! Answers the call with the fault \a code and \a message, unless it is answered already.
    void setFault(int code, const QString &message) const;

private:
    friend class QuorXmlRpcServerPrivate;
    explicit QuorXmlRpcAnswer(std::shared_ptr<QuorXmlRpcAnswerPrivate> answer);
    std::shared_ptr<QuorXmlRpcAnswerPrivate> d;
};

/*!
    An XML-RPC server over HTTP/1.1 on one address, in the caller's thread and
    event loop. Methods are registered by name; "system.listMethods" and
    "system.multicall" are built in and come before registered methods of the
    same name.

    Requests are POSTs to one of paths() ("/" and "/RPC2" unless changed) with
    an XML Content-Type and a Content-Length or a chunked body (other transfer
    codings get 501); connections stay open for further
    requests unless the client asks otherwise. Hostile clients are held off by
    limits on request size, header size, time per request and connections, and
    a client that does not read its answers is read no further once about
    1 MiB of them wait for it: however many requests it sends, the server
    holds no more. By default the server only answers requests whose Host names a loopback host,
    so that web pages cannot reach it through a browser (DNS rebinding).
    Requests refused at the HTTP level get an HTTP error status, and their
    connection is closed.

    Faults: -32700 not well formed (also nested deeper than 1024 elements, or
    with a document type declaration),
    -32600 not a method call, -32601 method not found, -32602 invalid parameters
    (when a method says so), -32603 internal error.

    \code
    QuorXmlRpcServer server;
    server.registerMethod("sum", [](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
        answer.setValue(params.value(0).toInt() + params.value(1).toInt());
    });
    server.listen(QHostAddress::LocalHost, 8080);
    \endcode
*/
class TAVREL_EXPORT QuorXmlRpcServer : public QObject
{
    Q_OBJECT

public:
    //! The fault codes the server answers with itself; methods may use them too.
    enum FaultCode {
        ParseError = -32700, //!< The request is not well formed XML, or nested too deep.
        InvalidRequest = -32600, //!< The request is not an XML-RPC method call.
        MethodNotFound = -32601, //!< No method of that name is registered.
        InvalidParams = -32602, //!< The method refuses its parameters.
        InternalError = -32603, //!< The method gave no answer: its last copy went away unanswered.
    };
    Q_ENUM(FaultCode)

    /*! A method: called with the call's parameters and its answer, on which it
        calls setValue() or setFault() once, now or later. */
    using Method = std::function<void(const QVariantList &params, const QuorXmlRpcAnswer &answer)>;
    /*! A check of each call before its method runs: it may answer the call
        (with a fault, say), and then the method does not run. */
    using CallCheck = std::function<void(const QuorXmlRpcAnswer &answer)>;

    //! A server not yet listening, owned by \a parent.
    explicit QuorXmlRpcServer(QObject *parent = nullptr);
    //! Stops listening and closes every connection; pending answers are dropped.
    ~QuorXmlRpcServer() override;

    /*! Listens on \a address and \a port; false, with errorString(), when that fails.
        Port 0 picks a free port; serverPort() tells which. */
    bool listen(
        const QHostAddress &address = QHostAddress(QHostAddress::LocalHost), quint16 port = 0);
    //! Stops listening and closes every connection.
    void close();
    //! Whether the server is listening.
    bool isListening() const;
    //! The address listened on.
    QHostAddress serverAddress() const;
    //! The port listened on, the one picked included; 0 when not listening.
    quint16 serverPort() const;
    //! The error of the last failed listen().
    QAbstractSocket::SocketError serverError() const;
    //! The text of the last failed listen().
    QString errorString() const;

    //! Registers \a method under \a name. Replaces any method of the same name.
    void registerMethod(const QString &name, Method method);
    //! Removes the method \a name; later calls of it get fault -32601.
    void unregisterMethod(const QString &name);
    //! Every method answered, the built-in ones included, sorted.
    QStringList methods() const;
    /*! Runs \a check before every call's method, the built-in ones and each
        call inside "system.multicall" included; an empty one runs none. */
    void setCallCheck(CallCheck check);

    //! Sets the request paths answered; other paths get 404.
    void setPaths(const QStringList &paths);
    //! The request paths answered ("/" and "/RPC2" unless changed).
    QStringList paths() const;
    /*! Bodies above this (default 4 MiB; a chunked body once decoded) get 413
        and the connection is closed. */
    void setMaximumRequestSize(qint64 bytes);
    //! The largest body accepted, in bytes.
    qint64 maximumRequestSize() const;
    /*! Request line and headers above this (default 16 KiB) get 431; a chunk-size
        line or trailer of a chunked body above it gets 400. */
    void setMaximumHeaderSize(int bytes);
    //! The largest request line and headers accepted, in bytes.
    int maximumHeaderSize() const;
    /*! Time a client has for each request, to take its answers, and for which
        an idle connection is kept (default 30 s). A client that runs out of it
        gets 408 in the middle of a request; otherwise its connection is closed. */
    void setRequestTimeout(int milliseconds);
    //! The time a client has for each request, in milliseconds.
    int requestTimeout() const;
    /*! The most connections open at once (default 64). When that many are open,
        a new connection takes the place of one that waits for its client, idle,
        slow to send its request or slow to read its answers, which is closed
        without a response: the one waiting longest, among those that never
        completed a request or are in the middle of one if there are any, else
        among those resting between requests. A connection whose whole request
        has arrived, read or not, is kept. Only when every open connection is
        kept is the new connection closed at once. */
    void setMaximumConnections(int count);
    //! The most connections kept open at once.
    int maximumConnections() const;
    //! Refuse, with 403, requests whose Host names no loopback host (default true).
    void setLoopbackHostRequired(bool required);
    //! Whether requests must name a loopback host.
    bool isLoopbackHostRequired() const;
    //! Refuse, with 415, bodies not declared as XML (what browsers can post without asking).
    void setXmlContentTypeRequired(bool required);
    //! Whether bodies must be declared as XML (default true).
    bool isXmlContentTypeRequired() const;
    /*! Reads `<i8>` and `<ex:i8>` as qlonglong, and writes qlonglong and
        qulonglong answers that fit in 64 signed bits as `<i8>` (default false:
        `<i8>` is an unknown type and such answers are fault -32603). */
    void setI8Enabled(bool enabled);
    //! Whether 64-bit integers are read and written as `<i8>`.
    bool isI8Enabled() const;
    /*! Writes an invalid QVariant answer, or a null pointer, and such items
        of answers as `<nil/>` (default false: such an answer is fault -32603).
        `<nil/>` and `<ex:nil/>` are read as an invalid QVariant either way. */
    void setNilEnabled(bool enabled);
    //! Whether no value is written as `<nil/>`.
    bool isNilEnabled() const;

    //! The number of connections open now.
    int connectionCount() const;

private:
    Q_DECLARE_PRIVATE(QuorXmlRpcServer)
    std::unique_ptr<QuorXmlRpcServerPrivate> d_ptr;
};

#endif
