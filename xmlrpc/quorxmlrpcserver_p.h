// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCSERVER_P_H
#define QUORXMLRPCSERVER_P_H

#include "quorcodec_p.h"
#include "quorserverpolicy_p.h"
#include "quorxmlrpcserver.h"

#include <QHash>
#include <QHostAddress>
#include <QTcpServer>

#include <functional>
#include <memory>

class QuorServerConnection;

// Where the outcome of one call goes: the response of its connection, or an
// entry of a system.multicall.
using Delivery = std::function<void(const QuorResponse &)>;

// What the answers to one call know of the connection that carried it. The
// values go with the connection; answers only look at them while it is open.
struct QuorXmlRpcPeer
{
    QHostAddress peerAddress;
    quint16 peerPort = 0;
    QHostAddress localAddress;
    quint16 localPort = 0;
    std::weak_ptr<QHash<QString, QVariant>> values;
};

class QuorXmlRpcAnswerPrivate
{
public:
    QuorXmlRpcAnswerPrivate(const QString &methodName, const QuorCodec::Options &codecOptions,
        QuorXmlRpcPeer callPeer, Delivery delivery)
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
    const QuorXmlRpcPeer peer;
    bool answered = false;
    Delivery deliver;
};

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
    // Reads the call in a request's body and runs its method; the outcome
    // goes to delivery, exactly once.
    void handleRequest(
        const QByteArray &body, const QuorXmlRpcPeer &peer, const Delivery &delivery);
    void invoke(const QString &method, const QVariantList &params, const QuorXmlRpcAnswer &answer);
    void multicall(const QVariantList &params, const QuorXmlRpcAnswer &answer);

    QuorXmlRpcAnswer makeAnswer(
        const QString &method, const QuorXmlRpcPeer &peer, Delivery delivery) const
    {
        return QuorXmlRpcAnswer(std::make_shared<QuorXmlRpcAnswerPrivate>(
            method, codecOptions, peer, std::move(delivery)));
    }

    QuorXmlRpcServer *q;
    QTcpServer *tcpServer;
    QHash<QString, QuorXmlRpcServer::Method> methods;
    QuorXmlRpcServer::CallCheck callCheck;
    // Longest waiting for their clients first (see QuorServerPolicy::connectionToReplace()).
    QList<QuorServerConnection *> connections;
    QuorServerPolicy policy;
    QuorCodec::Options codecOptions;
};

#endif
