// SPDX-License-Identifier: MIT
#ifndef QUORSERVERCONNECTION_P_H
#define QUORSERVERCONNECTION_P_H

#include "quorcodec_p.h"
#include "quorhttp_p.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QTcpSocket;
class QuorServerConnection;
struct QuorServerPolicy;

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

// The server as its connections see it. It owns them and the order in which
// they last waited for their clients; a connection only reports to it, and
// reads its policy and codec options where it uses them.
class QuorServerConnectionOwner
{
public:
    virtual ~QuorServerConnectionOwner() = default;

    virtual const QuorServerPolicy &connectionPolicy() const = 0;
    virtual const QuorCodec::Options &connectionCodecOptions() const = 0;

    // Reads the call in a request's body and runs its method; the outcome
    // goes to delivery, exactly once.
    virtual void handleRequest(
        const QByteArray &body, const QuorXmlRpcPeer &peer, const Delivery &delivery)
        = 0;

    // The connection waits for its client again, and is now the one that has
    // waited least long.
    virtual void connectionAwaitsClient(QuorServerConnection *connection) = 0;

    // The connection is being destroyed; the owner forgets it.
    virtual void connectionDestroyed(QuorServerConnection *connection) = 0;
};

// One client connection of a QuorXmlRpcServer: reads HTTP requests one after
// the other, hands each body to the server and writes its response, in order,
// before reading the next. How long it waits and what it refuses is the
// server's QuorServerPolicy.
class QuorServerConnection : public QObject
{
public:
    // The connection is a child of parent and reports to owner until detach().
    QuorServerConnection(QTcpSocket *socket, QuorServerConnectionOwner *owner, QObject *parent);

    ~QuorServerConnection() override;

    // Leaves the server: the connection closes and goes later, even when the
    // server closes from inside one of this connection's calls.
    void detach();

    void close();

    // Whether the connection waits for its client, to send a request or to
    // take its answers, rather than for a method's answer that is still owed.
    bool waitsForClient() const;

    // Whether the connection has been answered before and waits, with nothing
    // of a request begun, for the next: its client completes its requests.
    bool restsBetweenRequests() const;

    // Whether a whole request has arrived and waits to be read, counting what
    // the kernel holds: such a client is not slow, only not served yet. Takes
    // in what has arrived without handling it; the next turn of the event loop
    // does that, so no method runs from here.
    bool hasWholeRequest();

    void process();

private:
    // Reads what has arrived; returns whether a request was handed on.
    bool readRequest();

    QuorHttpChunkedBody newChunkedBody() const;

    // Where the body of the request being read ends in the buffer: 0 while it
    // has not all arrived, -1 when its chunks are malformed or too large.
    int bodyEnd();

    // Answers an HTTP-level error and closes: the rest of the stream cannot be trusted.
    bool fail(int status);

    void respond(const QByteArray &response);

    void drained();

    void awaitRequest();

    void timedOut();

    QTcpSocket *m_socket;
    QuorServerConnectionOwner *m_server;
    const std::shared_ptr<QHash<QString, QVariant>> m_values
        = std::make_shared<QHash<QString, QVariant>>();
    QuorXmlRpcPeer m_peer;
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

#endif
