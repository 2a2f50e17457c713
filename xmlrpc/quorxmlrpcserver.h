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

// The answer to one call that a QuorXmlRpcServer received. A method answers
// once, with setValue() or setFault(), either before it returns or later (keep
// a copy of the answer, e.g. while asking the user). Further answers are
// ignored. When the last copy goes away unanswered, the caller gets the fault
// -32603. Answers for a client that has gone meanwhile are dropped.
class TAVREL_EXPORT QuorXmlRpcAnswer
{
public:
    QuorXmlRpcAnswer(const QuorXmlRpcAnswer &other);
    QuorXmlRpcAnswer &operator=(const QuorXmlRpcAnswer &other);
    ~QuorXmlRpcAnswer();

    QString method() const;
    bool isAnswered() const;

    void setValue(const QVariant &value) const;
    void setFault(int code, const QString &message) const;

private:
    friend class QuorXmlRpcServerPrivate;
    explicit QuorXmlRpcAnswer(std::shared_ptr<QuorXmlRpcAnswerPrivate> answer);
    std::shared_ptr<QuorXmlRpcAnswerPrivate> d;
};

// An XML-RPC server over HTTP/1.1 on one address, in the caller's thread and
// event loop. Methods are registered by name; "system.listMethods" and
// "system.multicall" are built in.
//
// Requests are POSTs to one of paths() ("/" and "/RPC2" unless changed) with
// an XML Content-Type and a Content-Length; connections stay open for further
// requests unless the client asks otherwise. Hostile clients are held off by
// limits on request size, header size, time per request and connections. By
// default the server only answers requests whose Host names a loopback host,
// so that web pages cannot reach it through a browser (DNS rebinding).
//
// Faults: -32700 not well formed (also nested deeper than 1024 elements),
// -32600 not a method call, -32601 method not found, -32602 invalid parameters
// (when a method says so), -32603 internal error.
class TAVREL_EXPORT QuorXmlRpcServer : public QObject
{
    Q_OBJECT

public:
    enum FaultCode {
        ParseError = -32700,
        InvalidRequest = -32600,
        MethodNotFound = -32601,
        InvalidParams = -32602,
        InternalError = -32603,
    };
    Q_ENUM(FaultCode)

    using Method = std::function<void(const QVariantList &params, const QuorXmlRpcAnswer &answer)>;

    explicit QuorXmlRpcServer(QObject *parent = nullptr);
    ~QuorXmlRpcServer() override;

    // Port 0 picks a free port; serverPort() tells which.
    bool listen(
        const QHostAddress &address = QHostAddress(QHostAddress::LocalHost), quint16 port = 0);
    // Stops listening and closes every connection.
    void close();
    bool isListening() const;
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    QAbstractSocket::SocketError serverError() const;
    QString errorString() const;

    // Replaces any method of the same name.
    void registerMethod(const QString &name, Method method);
    void unregisterMethod(const QString &name);
    // Every method answered, the built-in ones included, sorted.
    QStringList methods() const;

    void setPaths(const QStringList &paths);
    QStringList paths() const;
    // Bodies above this (default 4 MiB) get 413 and the connection is closed.
    void setMaximumRequestSize(qint64 bytes);
    qint64 maximumRequestSize() const;
    // Request line and headers above this (default 16 KiB) get 431.
    void setMaximumHeaderSize(int bytes);
    int maximumHeaderSize() const;
    // Time a client has for each request, and an idle connection is kept (default 30 s).
    void setRequestTimeout(int milliseconds);
    int requestTimeout() const;
    // Connections beyond this (default 64) are closed at once.
    void setMaximumConnections(int count);
    int maximumConnections() const;
    void setLoopbackHostRequired(bool required);
    bool isLoopbackHostRequired() const;
    // Refuse bodies not declared as XML (what browsers can post without asking).
    void setXmlContentTypeRequired(bool required);
    bool isXmlContentTypeRequired() const;

    int connectionCount() const;

private:
    Q_DECLARE_PRIVATE(QuorXmlRpcServer)
    std::unique_ptr<QuorXmlRpcServerPrivate> d_ptr;
};

#endif
