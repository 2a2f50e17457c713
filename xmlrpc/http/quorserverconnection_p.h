// SPDX-License-Identifier: MIT
#ifndef QUORSERVERCONNECTION_P_H
#define QUORSERVERCONNECTION_P_H

#include "quorhttp_p.h"
#include "quorxmlrpcserver_p.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <memory>

class QTcpSocket;

// One client connection of a QuorXmlRpcServer: reads HTTP requests one after
// the other, hands each body to the server and writes its response, in order,
// before reading the next. How long it waits and what it refuses is the
// server's QuorServerPolicy.
class QuorServerConnection : public QObject
{
public:
    QuorServerConnection(QTcpSocket *socket, QuorXmlRpcServerPrivate *server);

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
    QuorXmlRpcServerPrivate *m_server;
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
