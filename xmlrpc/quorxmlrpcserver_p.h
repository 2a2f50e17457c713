// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCSERVER_P_H
#define QUORXMLRPCSERVER_P_H

#include "quorcodec_p.h"
#include "quorserverconnection_p.h"
#include "quorserverpolicy_p.h"
#include "quorxmlrpcserver.h"

#include <QHash>
#include <QTcpServer>

#include <memory>

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

class QuorXmlRpcServerPrivate : public QuorServerConnectionOwner
{
public:
    explicit QuorXmlRpcServerPrivate(QuorXmlRpcServer *server)
        : q(server)
    { }

    void acceptConnections();
    bool makeRoom();
    void closeConnections();

    const QuorServerPolicy &connectionPolicy() const override { return policy; }
    const QuorCodec::Options &connectionCodecOptions() const override { return codecOptions; }
    void handleRequest(
        const QByteArray &body, const QuorXmlRpcPeer &peer, const Delivery &delivery) override;
    void connectionAwaitsClient(QuorServerConnection *connection) override;
    void connectionDestroyed(QuorServerConnection *connection) override;
    void invoke(const QString &method, const QVariantList &params, const QuorXmlRpcAnswer &answer);
    void multicall(const QVariantList &params, const QuorXmlRpcAnswer &answer);

    QuorXmlRpcAnswer makeAnswer(
        const QString &method, const QuorXmlRpcPeer &peer, Delivery delivery) const
    {
        return QuorXmlRpcAnswer(std::make_shared<QuorXmlRpcAnswerPrivate>(
            method, codecOptions, peer, std::move(delivery)));
    }

    QuorXmlRpcServer *q;
    // Made at the first listen(): a second launch that only hands itself over
    // never pays for Qt's first socket.
    QTcpServer *tcpServer = nullptr;
    QHash<QString, QuorXmlRpcServer::Method> methods;
    QuorXmlRpcServer::CallCheck callCheck;
    // Longest waiting for their clients first (see QuorServerPolicy::connectionToReplace()).
    QList<QuorServerConnection *> connections;
    QuorServerPolicy policy;
    QuorCodec::Options codecOptions;
};

#endif
