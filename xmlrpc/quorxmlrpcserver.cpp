// SPDX-License-Identifier: MIT
#include "quorxmlrpcserver.h"

#include "quorcodec_p.h"
#include "quorserverconnection_p.h"
#include "quorserverpolicy_p.h"
#include "quorxmlrpcserver_p.h"

#include <QDomImplementation>
#include <QHash>
#include <QPointer>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QString ListMethods = QStringLiteral("system.listMethods");
const QString MultiCall = QStringLiteral("system.multicall");

} // namespace

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
    // that lacks it; a null string or byte array goes out empty.
    if (!QuorFastCodec::isWritable(value, d->options, true)) {
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

void QuorXmlRpcServerPrivate::acceptConnections()
{
    while (QTcpSocket *socket = tcpServer->nextPendingConnection()) {
        if (connections.size() >= policy.maximumConnections && !makeRoom()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new QuorServerConnection(socket, this, q);
        connections.append(connection);
        connection->process();
    }
}

bool QuorXmlRpcServerPrivate::makeRoom()
{
    QuorServerConnection *replaced = QuorServerPolicy::connectionToReplace(connections);
    if (!replaced)
        return false;
    connections.removeOne(replaced);
    replaced->detach();
    return true;
}

void QuorXmlRpcServerPrivate::closeConnections()
{
    const QList<QuorServerConnection *> open = connections;
    connections.clear();
    for (QuorServerConnection *connection : open)
        connection->detach();
}

void QuorXmlRpcServerPrivate::connectionAwaitsClient(QuorServerConnection *connection)
{
    connections.removeOne(connection);
    connections.append(connection);
}

void QuorXmlRpcServerPrivate::connectionDestroyed(QuorServerConnection *connection)
{
    connections.removeOne(connection);
}

void QuorXmlRpcServerPrivate::handleRequest(
    const QByteArray &body, const QuorXmlRpcPeer &peer, const Delivery &delivery)
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
                (*results)[i] = result.isFault
                    ? QVariant(QuorCodec::faultValue(result.faultCode, result.faultString))
                    : QVariant(QVariantList {result.value});
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
    // The answers leave out characters XML does not allow under any policy;
    // the requests the DOM reads need this one: Qt 5's parser takes references
    // to control characters and keeps them under any other.
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
}

QuorXmlRpcServer::~QuorXmlRpcServer()
{
    close();
}

bool QuorXmlRpcServer::listen(const QHostAddress &address, quint16 port)
{
    Q_D(QuorXmlRpcServer);
    if (!d->tcpServer) {
        d->tcpServer = new QTcpServer(this);
        connect(d->tcpServer, &QTcpServer::newConnection, this, [d] { d->acceptConnections(); });
    }
    return d->tcpServer->listen(address, port);
}

void QuorXmlRpcServer::close()
{
    Q_D(QuorXmlRpcServer);
    if (d->tcpServer)
        d->tcpServer->close();
    d->closeConnections();
}

bool QuorXmlRpcServer::isListening() const
{
    const QTcpServer *server = d_func()->tcpServer;
    return server && server->isListening();
}

QHostAddress QuorXmlRpcServer::serverAddress() const
{
    const QTcpServer *server = d_func()->tcpServer;
    return server ? server->serverAddress() : QHostAddress();
}

quint16 QuorXmlRpcServer::serverPort() const
{
    const QTcpServer *server = d_func()->tcpServer;
    return server ? server->serverPort() : 0;
}

QAbstractSocket::SocketError QuorXmlRpcServer::serverError() const
{
    const QTcpServer *server = d_func()->tcpServer;
    return server ? server->serverError() : QAbstractSocket::UnknownSocketError;
}

QString QuorXmlRpcServer::errorString() const
{
    const QTcpServer *server = d_func()->tcpServer;
    return server ? server->errorString() : QString();
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
    d_func()->policy.paths = paths;
}

QStringList QuorXmlRpcServer::paths() const
{
    return d_func()->policy.paths;
}

void QuorXmlRpcServer::setMaximumRequestSize(qint64 bytes)
{
    d_func()->policy.maximumRequestSize = bytes;
}

qint64 QuorXmlRpcServer::maximumRequestSize() const
{
    return d_func()->policy.maximumRequestSize;
}

void QuorXmlRpcServer::setMaximumHeaderSize(int bytes)
{
    d_func()->policy.maximumHeaderSize = bytes;
}

int QuorXmlRpcServer::maximumHeaderSize() const
{
    return d_func()->policy.maximumHeaderSize;
}

void QuorXmlRpcServer::setRequestTimeout(int milliseconds)
{
    d_func()->policy.requestTimeout = milliseconds;
}

int QuorXmlRpcServer::requestTimeout() const
{
    return d_func()->policy.requestTimeout;
}

void QuorXmlRpcServer::setMaximumConnections(int count)
{
    d_func()->policy.maximumConnections = count;
}

int QuorXmlRpcServer::maximumConnections() const
{
    return d_func()->policy.maximumConnections;
}

void QuorXmlRpcServer::setLoopbackHostRequired(bool required)
{
    d_func()->policy.loopbackHostRequired = required;
}

bool QuorXmlRpcServer::isLoopbackHostRequired() const
{
    return d_func()->policy.loopbackHostRequired;
}

void QuorXmlRpcServer::setXmlContentTypeRequired(bool required)
{
    d_func()->policy.xmlContentTypeRequired = required;
}

bool QuorXmlRpcServer::isXmlContentTypeRequired() const
{
    return d_func()->policy.xmlContentTypeRequired;
}

void QuorXmlRpcServer::setI8Enabled(bool enabled)
{
    d_func()->codecOptions.i8 = enabled;
}

bool QuorXmlRpcServer::isI8Enabled() const
{
    return d_func()->codecOptions.i8;
}

void QuorXmlRpcServer::setNilEnabled(bool enabled)
{
    d_func()->codecOptions.nil = enabled;
}

bool QuorXmlRpcServer::isNilEnabled() const
{
    return d_func()->codecOptions.nil;
}

int QuorXmlRpcServer::connectionCount() const
{
    return d_func()->connections.size();
}
