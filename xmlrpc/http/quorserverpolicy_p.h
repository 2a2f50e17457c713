// SPDX-License-Identifier: MIT
#ifndef QUORSERVERPOLICY_P_H
#define QUORSERVERPOLICY_P_H

#include <QByteArray>
#include <QList>
#include <QStringList>

struct QuorHttpHead;
class QuorServerConnection;

// What an XML-RPC server accepts and how long it waits: its limits, which
// requests it refuses before reading their bodies, and which connection makes
// room for a new one. QuorXmlRpcServer's setters change the fields.
struct QuorServerPolicy
{
    // A socket read buffer this size lets the kernel hold back a client that
    // sends faster than its requests are answered.
    static constexpr qint64 SocketReadBufferSize = 64 * 1024;

    // Answers a client has not taken off its connection yet, beyond what the
    // kernel holds. Above this the server reads no further requests from it, so
    // that a client sending request after request without reading any answer
    // cannot make the server keep all of them.
    static constexpr qint64 MaximumUnsentBytes = 1024 * 1024;

    QStringList paths = {QStringLiteral("/"), QStringLiteral("/RPC2")};
    qint64 maximumRequestSize = 4 * 1024 * 1024;
    int maximumHeaderSize = 16 * 1024;
    int requestTimeout = 30 * 1000;
    int maximumConnections = 64;
    // A web page in a browser can post to a loopback server, but neither name
    // it in Host nor declare its body as XML without asking the server first.
    bool loopbackHostRequired = true;
    bool xmlContentTypeRequired = true;

    // The HTTP status that refuses a request whose head was just read, or 0:
    // 405 for any method but POST, 404 for another path, 400 for a Host or
    // framing that is missing, repeated or ambiguous, 403 for a Host that names
    // no loopback host, 415 for a body not declared as XML, 501 for a transfer
    // coding other than chunked, 411 without a length, 413 for too long a one.
    int statusRefusing(const QuorHttpHead &head) const;

    // The connection to close when the server is full and another arrives, or
    // null to turn the newcomer away. Otherwise as many clients doing nothing
    // as the server allows would keep out everybody else. Only connections that
    // wait for their clients (idle, slow to send a request or slow to take an
    // answer) are replaced: those that never completed a request, or are in the
    // middle of one, before those resting between requests, whose clients have
    // shown that they complete theirs; in each group the one waiting longest
    // (first in connections) goes first. Connections whose answer a method
    // still owes, or whose whole request has arrived, are kept.
    static QuorServerConnection *connectionToReplace(
        const QList<QuorServerConnection *> &connections);
};

#endif
