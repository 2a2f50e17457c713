// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCBATCH_H
#define QUORXMLRPCBATCH_H

#include "tavrel_export.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class QuorXmlRpcClient;
class QuorXmlRpcBatchPrivate;

/*!
    Several calls sent through one QuorXmlRpcClient as one `system.multicall`
    request, each with an outcome of its own: a value or a fault.

    add() queues calls; send() posts them and returns at once. finished() is
    emitted exactly once, later from the event loop, when every call has its
    outcome: isFault() tells which, value() holds a call's answer, faultCode()
    and faultString() its fault. The server runs the calls in the order added.

    - A server without `system.multicall` (its fault for the batch has code
      -32601 or -506, or says that "system.multicall" is not supported, not
      found, not defined or unknown) gets the calls one after another instead,
      each as an ordinary call, unless setFallbackEnabled(false): then every
      call has that fault.
    - Any other fault of the batch as a whole, a transport error or one of the
      client's limits becomes every call's fault. An answer that does not hold
      one outcome per call, as a value in a one-element array or as a fault
      struct, gives the calls it leaves without one fault -32600; one that
      holds a value bare for each call, as supervisor answers, is read so.
    - Destroying the client or the batch ends it silently.

    \code
    auto *batch = new QuorXmlRpcBatch(client);
    batch->add("supervisor.getState");
    batch->add("supervisor.getProcessInfo", {"web"});
    connect(batch, &QuorXmlRpcBatch::finished, this, [batch] {
        for (int i = 0; i < batch->count(); ++i)
            qDebug() << (batch->isFault(i) ? batch->faultString(i) : batch->value(i));
        batch->deleteLater();
    });
    batch->send();
    \endcode
*/
class TAVREL_EXPORT QuorXmlRpcBatch : public QObject
{
    Q_OBJECT

public:
    //! An empty batch for calls through \a client, owned by \a parent (by the client when null).
    explicit QuorXmlRpcBatch(QuorXmlRpcClient *client, QObject *parent = nullptr);
    //! Destroys the batch; calls still pending end silently.
    ~QuorXmlRpcBatch() override;

    //! Queues a call of \a method with \a args and returns its index; -1 once sent.
    int add(const QString &method, const QList<QVariant> &args = {});
    //! The number of calls queued.
    int count() const;

    //! Whether a server without `system.multicall` gets the calls one by one; true by default.
    void setFallbackEnabled(bool enabled);
    //! Whether the calls fall back to one by one; true by default.
    bool isFallbackEnabled() const;

    //! Sends the queued calls; finished() follows once. Later calls of send() do nothing.
    void send();

    //! Whether every call has its outcome.
    bool isFinished() const;
    //! Whether call \a index ended with a fault; false while it has no outcome.
    bool isFault(int index) const;
    //! The answer of call \a index; an invalid variant for a fault or no outcome.
    QVariant value(int index) const;
    //! The fault code of call \a index; 0 unless it ended with a fault.
    int faultCode(int index) const;
    //! The fault text of call \a index; empty unless it ended with a fault.
    QString faultString(int index) const;

Q_SIGNALS:
    //! Every call has its outcome. Emitted exactly once after send(), from the event loop.
    void finished();

private:
    Q_DECLARE_PRIVATE(QuorXmlRpcBatch)
    std::unique_ptr<QuorXmlRpcBatchPrivate> d_ptr;
};

#endif
