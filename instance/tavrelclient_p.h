// SPDX-License-Identifier: MIT
#ifndef TAVRELCLIENT_P_H
#define TAVRELCLIENT_P_H

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <memory>

class QNetworkReply;
class QTcpSocket;
class QuorXmlRpcClient;
class TavrelClientPrivate;

/*
    How the instance side talks to whatever listens on an instance port, for
    Tavrel and TavrelInstance alike: the probe, the loopback addresses, the
    owner of the listening socket as the kernel tells it, and the XML-RPC
    calls. Calls answered at slots (Tavrel's) go over one QuorXmlRpcClient,
    calls answered at a callback (TavrelInstance's) over one
    QuorInstanceCaller, which makes no network access manager; each is made at
    its first call and is a child of this object.

    What listens there is not trusted before it has answered, and any local
    user can listen there: every call is bounded in time and in the size of
    its answer, and a call that reaches a bound ends as fault -32300 with the
    bound's text, its connection dropped and what it read freed.

    Each call ends exactly once, at the slots or the callback it names, from
    the event loop. Destroying this object ends the calls in flight silently.
*/
class TavrelClient : public QObject
{
    Q_OBJECT

public:
    // How long one exchange may take, unless its owner says otherwise.
    static constexpr int DefaultTimeoutMs = 3000;
    // An identity answer ("PID NAME OWNER", "ready") is a methodResponse of a
    // few hundred bytes; this leaves room for long names.
    static constexpr qint64 IdentityAnswerLimit = 16 * 1024;
    // A command's answer is the application's; this is room for a list of
    // some 100,000 file names, while the few copies of it that a launch holds
    // on the way stay far below what hurts the machine.
    static constexpr qint64 DefaultCommandAnswerLimit = 8 * 1024 * 1024;

    // The fault codes of calls that the instance side ends itself; those of
    // TavrelInstance::FaultCode.
    enum FaultCode {
        ListenerOfAnotherUser = -32001,
        NoInstance = -32002,
        TransportError = -32300,
    };

    // What bounds one call.
    struct Bounds
    {
        int timeoutMs = DefaultTimeoutMs;
        qint64 maximumAnswerSize = IdentityAnswerLimit;
    };

    // What became of one call.
    struct Outcome
    {
        bool reachedNobody = false; // nothing listens there
        bool timedOut = false; // no whole answer came within the call's time
        bool isFault = false;
        int code = 0;
        QString message;
        QVariant value;
    };
    using Done = std::function<void(const Outcome &)>;

    // Calls carry userAgent; those with slots carry the XML-RPC client's own
    // when it is null.
    explicit TavrelClient(const QString &userAgent, QObject *parent);
    ~TavrelClient() override;

    // The addresses an instance listens on: 127.0.0.1, and ::1 where there is one.
    static const QList<QHostAddress> &loopbacks();
    // "http://HOST:PORT/RPC2", host a name or an address.
    static QUrl urlOf(const QString &host, int port);

    // Whether something takes connections at host on port, waiting at most
    // timeoutMs for socket to connect; the socket is closed again at once.
    static bool probe(QTcpSocket *socket, const QString &host, quint16 port, int timeoutMs);

    // The owner of a program listening on port at one of addresses that is
    // not this process's user: its user id (the first such one), else
    // UnknownUser where the platform cannot tell, else NoSocket
    // (TavrelPlatform) when every listener there is this user's or there is none.
    static qint64 foreignListener(const QList<QHostAddress> &addresses, quint16 port);
    // Why what (a command, a launch) is not sent to the program of owner
    // listening on port, owner a user id or UnknownUser.
    static QString refusal(
        quint16 port, qint64 owner, const QString &what = QStringLiteral("command"));

    // Calls method with params at url, bounded by bounds. The answer goes to
    // answerSlot of receiver, a fault to faultSlot, in SLOT() notation with
    // the arguments QuorXmlRpcClient passes. Returns the call's reply.
    QNetworkReply *call(const QUrl &url, const QString &method, const QVariantList &params,
        const Bounds &bounds, QObject *receiver, const char *answerSlot, const char *faultSlot);
    // Calls like the above; done gets the outcome.
    void call(const QUrl &url, const QString &method, const QVariantList &params,
        const Bounds &bounds, Done done);
    // The same call to address and port, answered before it returns, with no
    // turn of the event loop: for a launch, which waits for nothing else.
    Outcome callAndWait(const QHostAddress &address, quint16 port, const QString &method,
        const QVariantList &params, const Bounds &bounds);

private:
    Q_DECLARE_PRIVATE(TavrelClient)
    std::unique_ptr<TavrelClientPrivate> d_ptr;
};

#endif
