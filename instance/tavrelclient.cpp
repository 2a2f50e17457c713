// SPDX-License-Identifier: MIT
#include "tavrelclient_p.h"

#include "quorinstancecall_p.h"
#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientlimits.h"
#include "tavrelplatform_p.h"

#include <QNetworkReply>
#include <QTcpSocket>

class TavrelClientPrivate
{
public:
    QString userAgent;
    QuorXmlRpcClient *client = nullptr; // made at the first call with slots
    QuorInstanceCaller *caller = nullptr; // made at the first call with a callback

    QuorInstanceCaller *instanceCaller(TavrelClient *owner);
    static TavrelClient::Outcome outcomeOf(
        const QuorInstanceCaller::Outcome &result, const QHostAddress &address, quint16 port);
};

TavrelClient::TavrelClient(const QString &userAgent, QObject *parent)
    : QObject(parent)
    , d_ptr(new TavrelClientPrivate)
{
    d_ptr->userAgent = userAgent;
}

TavrelClient::~TavrelClient()
{
    Q_D(TavrelClient);
    // The callbacks may point into an owner that is going too: no call ends
    // at them any more.
    delete d->caller;
    delete d->client;
}

const QList<QHostAddress> &TavrelClient::loopbacks()
{
    // Addresses, never "localhost": resolving a name costs a lookup thread
    // and more than a whole hand-off.
    static const QList<QHostAddress> addresses {
        QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    return addresses;
}

QUrl TavrelClient::urlOf(const QString &host, int port)
{
    const QString bracketed
        = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    // QString::number, not arg(), which would set up the locale for a launch.
    return QUrl(QStringLiteral("http://") + bracketed + QLatin1Char(':') + QString::number(port)
        + QStringLiteral("/RPC2"));
}

bool TavrelClient::probe(QTcpSocket *socket, const QString &host, quint16 port, int timeoutMs)
{
    socket->connectToHost(host, port, QIODevice::ReadWrite);
    if (!socket->waitForConnected(timeoutMs))
        return false;
    socket->close();
    return true;
}

qint64 TavrelClient::foreignListener(const QList<QHostAddress> &addresses, quint16 port)
{
    qint64 foreign = TavrelPlatform::NoSocket;
    for (const QHostAddress &address : addresses) {
        const qint64 owner = TavrelPlatform::listenerOwner(address, port);
        if (owner >= 0 && owner != TavrelPlatform::effectiveUserId())
            return owner;
        if (owner == TavrelPlatform::UnknownUser)
            foreign = owner;
    }
    return foreign;
}

QString TavrelClient::refusal(quint16 port, qint64 owner, const QString &what)
{
    return owner == TavrelPlatform::UnknownUser
        ? QStringLiteral("%1 not sent: the user listening on port %2 cannot be told")
              .arg(what)
              .arg(port)
        : QStringLiteral("%1 not sent: port %2 is held by user %3")
              .arg(what)
              .arg(port)
              .arg(TavrelPlatform::userName(owner));
}

QNetworkReply *TavrelClient::call(const QUrl &url, const QString &method,
    const QVariantList &params, const Bounds &bounds, QObject *receiver, const char *answerSlot,
    const char *faultSlot)
{
    Q_D(TavrelClient);
    if (!d->client) {
        d->client = new QuorXmlRpcClient(this);
        if (!d->userAgent.isNull())
            d->client->setUserAgent(d->userAgent);
    }
    // Limits hold for the calls made after they are set, each call its own.
    QuorXmlRpcClientLimits::setTimeout(d->client, bounds.timeoutMs);
    QuorXmlRpcClientLimits::setMaximumResponseSize(d->client, bounds.maximumAnswerSize);
    d->client->setUrl(url);
    return d->client->call(method, params, receiver, answerSlot, receiver, faultSlot);
}

QuorInstanceCaller *TavrelClientPrivate::instanceCaller(TavrelClient *owner)
{
    if (!caller)
        caller = new QuorInstanceCaller(userAgent.toLatin1(), owner);
    return caller;
}

TavrelClient::Outcome TavrelClientPrivate::outcomeOf(
    const QuorInstanceCaller::Outcome &result, const QHostAddress &address, quint16 port)
{
    TavrelClient::Outcome outcome;
    outcome.isFault = result.isFault;
    outcome.code = result.code;
    outcome.message = result.message;
    outcome.value = result.value;
    outcome.timedOut = result.timedOut;
    // Refused, or gone by the time the call failed: nothing listens there.
    outcome.reachedNobody = result.networkError == QNetworkReply::ConnectionRefusedError
        || (result.networkError != QNetworkReply::NoError && TavrelPlatform::tellsSocketOwners()
            && TavrelPlatform::listenerOwner(address, port) == TavrelPlatform::NoSocket);
    return outcome;
}

void TavrelClient::call(const QUrl &url, const QString &method, const QVariantList &params,
    const Bounds &bounds, Done done)
{
    Q_D(TavrelClient);
    d->instanceCaller(this)->call(url, method, params, bounds.timeoutMs, bounds.maximumAnswerSize,
        [url, done = std::move(done)](const QuorInstanceCaller::Outcome &result) {
            done(TavrelClientPrivate::outcomeOf(
                result, QHostAddress(url.host()), quint16(url.port())));
        });
}

TavrelClient::Outcome TavrelClient::callAndWait(const QHostAddress &address, quint16 port,
    const QString &method, const QVariantList &params, const Bounds &bounds)
{
    Q_D(TavrelClient);
    return TavrelClientPrivate::outcomeOf(
        d->instanceCaller(this)->callAndWait(
            address, port, method, params, bounds.timeoutMs, bounds.maximumAnswerSize),
        address, port);
}
