// SPDX-License-Identifier: MIT
#include "tavrelinstance.h"

#include "tavrelclient_p.h"
#include "tavrelplatform_p.h"
#include "tavrelrendezvous_p.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>

static_assert(int(TavrelInstance::ListenerOfAnotherUser) == int(TavrelClient::ListenerOfAnotherUser)
        && int(TavrelInstance::NoInstance) == int(TavrelClient::NoInstance)
        && int(TavrelInstance::TransportError) == int(TavrelClient::TransportError),
    "the instance side ends calls with one set of fault codes");

namespace {

// A launch that loses the race for the port, and then finds nobody there
// because the winner gave up, tries again this many times.
constexpr int MaximumAttempts = 5;

// An instance that cannot take its application's port takes one the kernel
// picks; ::1 may hold that number already, so it picks again this many times.
constexpr int EphemeralPortAttempts = 5;

using Outcome = TavrelClient::Outcome;

} // namespace

class TavrelInstancePrivate
{
public:
    explicit TavrelInstancePrivate(TavrelInstance *instance, quint16 instancePort)
        : q(instance)
        , port(instancePort)
        , server(new TavrelServer(instance))
        , client(new TavrelClient(QStringLiteral("tavrel/1"), instance))
    {
        QObject::connect(
            server, &TavrelServer::commandReceived, instance, &TavrelInstance::commandReceived);
    }

    void post(const QHostAddress &address, const QString &method, const QVariantList &params,
        qint64 answerLimit, TavrelClient::Done done);

    void attempt();
    void attemptRendezvous();
    bool listenAnywhere();
    void serveClaimed();
    void serve();
    void serveAlone(const QString &why);
    void ask(int addressIndex);
    void classify(const Outcome &outcome, int addressIndex);
    void decide(TavrelInstance::Holder decided, const QString &error = QString());
    void fail(int id, int code, const QString &message);
    bool mayCommand(int id);

    TavrelInstance *q;
    const quint16 port;
    TavrelServer *server;
    TavrelClient *client;
    int timeout = TavrelClient::DefaultTimeoutMs;
    qint64 maximumAnswerSize = TavrelClient::DefaultCommandAnswerLimit;
    bool allUsersAllowed = false;
    TavrelInstance::Scope scope = TavrelInstance::UserScope;
    TavrelRendezvous rendezvous;
    // Where the holder serves: port in machine scope, else what the rendezvous told.
    quint16 holderPort = 0;
    bool viaRendezvous = false;
    // Holding the rendezvous, this launch asks whoever of this user holds the
    // port itself: an instance of an earlier version serves machine-wide there.
    bool askingPortHolder = false;

    TavrelInstance::Holder holder = TavrelInstance::Undecided;
    bool deciding = false;
    int attempts = 0;
    QHostAddress holderAddress;
    qint64 holderPid = 0;
    QString holderName;
    QString reportedOwner;
    qint64 holderUid = TavrelPlatform::UnknownUser;
    QString errorString;
    int errorCode = 0;
    int lastCommandId = 0;
};

void TavrelInstancePrivate::post(const QHostAddress &address, const QString &method,
    const QVariantList &params, qint64 answerLimit, TavrelClient::Done done)
{
    client->call(TavrelClient::urlOf(address.toString(), holderPort), method, params,
        TavrelClient::Bounds {timeout, answerLimit}, std::move(done));
}

void TavrelInstancePrivate::attempt()
{
    ++attempts;
    viaRendezvous = scope != TavrelInstance::MachineScope && TavrelRendezvous::isSupported();
    if (viaRendezvous) {
        attemptRendezvous();
        return;
    }
    holderPort = port;
    if (server->listen(port)) {
        serve();
        return;
    }
    errorString = server->errorString();
    ask(0);
}

void TavrelInstancePrivate::attemptRendezvous()
{
    const QString name = TavrelRendezvous::nameFor(port, scope == TavrelInstance::SessionScope);
    switch (rendezvous.enter(name, timeout)) {
    case TavrelRendezvous::Claimed:
        if (!server->listen(port) && scope == TavrelInstance::UserScope
            && TavrelClient::foreignListener(TavrelClient::loopbacks(), port)
                == TavrelPlatform::NoSocket) {
            // Only programs of this user hold the port: one may be an instance
            // that serves on the port alone, as earlier versions did. (In
            // session scope it may as well be another session's instance.)
            askingPortHolder = true;
            holderPort = port;
            ask(0);
            return;
        }
        serveClaimed();
        return;
    case TavrelRendezvous::Held:
        holderPort = rendezvous.publishedPort();
        if (holderPort == 0) {
            errorString
                = QStringLiteral("the instance in %1 told no port").arg(rendezvous.directory());
            ask(TavrelClient::loopbacks().size());
            return;
        }
        ask(0);
        return;
    case TavrelRendezvous::Failed:
        serveAlone(rendezvous.errorString());
        return;
    }
}

bool TavrelInstancePrivate::listenAnywhere()
{
    if (server->listen(port))
        return true;
    for (int i = 0; i < EphemeralPortAttempts; ++i) {
        if (server->listen(0))
            return true;
    }
    return false;
}

// Serves as the instance of the rendezvous this launch claimed.
void TavrelInstancePrivate::serveClaimed()
{
    askingPortHolder = false;
    if (!server->isListening() && !listenAnywhere()) {
        rendezvous.abandon();
        decide(TavrelInstance::Unavailable,
            QStringLiteral("cannot serve on the loopback: %1").arg(server->errorString()));
        return;
    }
    rendezvous.publish(server->port());
    serve();
}

void TavrelInstancePrivate::serve()
{
    holderAddress = QHostAddress();
    holderPort = server->port();
    holderPid = QCoreApplication::applicationPid();
    holderName = server->appInfo().section(QLatin1Char(' '), 1, 1);
    reportedOwner = TavrelPlatform::currentUserName();
    holderUid = TavrelPlatform::effectiveUserId();
    decide(TavrelInstance::ThisProcess);
}

// Where the launches of this user cannot meet, this one still runs: it serves
// for itself, and errorString() tells why it is alone.
void TavrelInstancePrivate::serveAlone(const QString &why)
{
    if (!listenAnywhere()) {
        decide(TavrelInstance::Unavailable,
            QStringLiteral("cannot serve on the loopback: %1").arg(server->errorString()));
        return;
    }
    serve();
    errorString = QStringLiteral("serving alone: %1").arg(why);
}

void TavrelInstancePrivate::ask(int addressIndex)
{
    const QList<QHostAddress> &loopbacks = TavrelClient::loopbacks();
    if (addressIndex >= loopbacks.size()) {
        // Whoever held the port has gone: listen again.
        if (askingPortHolder)
            serveClaimed();
        else if (attempts < MaximumAttempts)
            attempt();
        else if (viaRendezvous)
            serveAlone(
                QStringLiteral("the instance told port %1, where nothing serves").arg(holderPort));
        else
            decide(TavrelInstance::Unavailable,
                QStringLiteral("cannot serve on port %1, and nothing serves there: %2")
                    .arg(port)
                    .arg(errorString));
        return;
    }
    post(loopbacks.at(addressIndex), QStringLiteral("getAppInfo"), {},
        TavrelClient::IdentityAnswerLimit,
        [this, addressIndex](const Outcome &outcome) { classify(outcome, addressIndex); });
}

void TavrelInstancePrivate::classify(const Outcome &outcome, int addressIndex)
{
    if (outcome.reachedNobody) {
        ask(addressIndex + 1);
        return;
    }
    holderAddress = TavrelClient::loopbacks().at(addressIndex);
    holderUid = TavrelPlatform::listenerOwner(holderAddress, holderPort);
    if (holderUid == TavrelPlatform::NoSocket) {
        // It answered, and has gone since.
        holderUid = TavrelPlatform::UnknownUser;
        ask(TavrelClient::loopbacks().size());
        return;
    }

    // An instance answers "PID NAME OWNER".
    const QStringList words = outcome.value.userType() == QMetaType::QString
        ? outcome.value.toString().split(QLatin1Char(' '))
        : QStringList();
    bool pidIsNumber = false;
    const qint64 pid = words.value(0).toLongLong(&pidIsNumber);
    const bool isInstance = !outcome.isFault && words.size() >= 3 && pidIsNumber && pid > 0;
    if (askingPortHolder) {
        if (!isInstance || holderUid != TavrelPlatform::effectiveUserId()) {
            serveClaimed();
            return;
        }
        askingPortHolder = false;
        rendezvous.abandon();
    }
    if (!isInstance) {
        if (viaRendezvous) {
            serveAlone(
                QStringLiteral("port %1, told by the instance, holds no instance").arg(holderPort));
            return;
        }
        holderPid = 0;
        holderName.clear();
        reportedOwner.clear();
        decide(TavrelInstance::NotAnInstance,
            outcome.isFault ? QStringLiteral("port %1 is held by something that is no instance: %2")
                                  .arg(holderPort)
                                  .arg(outcome.message)
                            : QStringLiteral("port %1 is held by something that is no instance")
                                  .arg(holderPort));
        return;
    }
    holderPid = pid;
    holderName = words.at(1);
    reportedOwner = words.at(2);
    if (viaRendezvous && holderUid != TavrelPlatform::effectiveUserId()
        && holderUid != TavrelPlatform::UnknownUser) {
        // The instance told a port that someone else holds now: it is no
        // instance of this user to hand anything to.
        serveAlone(QStringLiteral("port %1, told by the instance, is held by user %2")
                       .arg(holderPort)
                       .arg(TavrelPlatform::userName(holderUid)));
        return;
    }
    if (holderUid == TavrelPlatform::UnknownUser)
        decide(TavrelInstance::UnknownUser);
    else if (holderUid == TavrelPlatform::effectiveUserId())
        decide(TavrelInstance::SameUser);
    else
        decide(TavrelInstance::OtherUser);
}

void TavrelInstancePrivate::decide(TavrelInstance::Holder decided, const QString &error)
{
    holder = decided;
    deciding = false;
    if (!error.isNull())
        errorString = error;
    QMetaObject::invokeMethod(
        q, [this, decided] { Q_EMIT q->decided(decided); }, Qt::QueuedConnection);
}

void TavrelInstancePrivate::fail(int id, int code, const QString &message)
{
    errorCode = code;
    errorString = message;
    QMetaObject::invokeMethod(
        q, [this, id, code, message] { Q_EMIT q->commandFailed(id, code, message); },
        Qt::QueuedConnection);
}

// Whether the command id may go to the holder; fails it otherwise.
bool TavrelInstancePrivate::mayCommand(int id)
{
    using Holder = TavrelInstance::Holder;
    const bool anyUser
        = allUsersAllowed && (holder == Holder::OtherUser || holder == Holder::UnknownUser);
    if (holder != Holder::SameUser && !anyUser) {
        if (holder == Holder::OtherUser || holder == Holder::UnknownUser) {
            fail(id, TavrelInstance::ListenerOfAnotherUser,
                QStringLiteral("command not sent: port %1 is held by an instance of %2")
                    .arg(holderPort)
                    .arg(holder == Holder::OtherUser
                            ? QStringLiteral("user %1").arg(q->holderOwner())
                            : QStringLiteral("a user unknown")));
        } else {
            fail(id, TavrelInstance::NoInstance,
                QStringLiteral("command not sent: no other instance of this user serves on port %1")
                    .arg(holderPort ? holderPort : port));
        }
        return false;
    }
    if (allUsersAllowed)
        return true;
    // Whoever listens now, which may no longer be whoever answered before.
    const qint64 listener = TavrelClient::foreignListener({holderAddress}, holderPort);
    if (listener != TavrelPlatform::NoSocket) {
        fail(
            id, TavrelInstance::ListenerOfAnotherUser, TavrelClient::refusal(holderPort, listener));
        return false;
    }
    return true;
}

TavrelInstance::TavrelInstance(quint16 port, QObject *parent)
    : QObject(parent)
    , d_ptr(new TavrelInstancePrivate(this, port))
{
    // For queued connections and signal spies of decided().
    qRegisterMetaType<TavrelInstance::Holder>();
}

TavrelInstance::~TavrelInstance()
{
    Q_D(TavrelInstance);
    // Calls still in flight go with the client, silently, before what their
    // callbacks use goes.
    delete d->client;
    // The port goes before the rendezvous tells nobody of it any more.
    d->server->close();
}

quint16 TavrelInstance::port() const
{
    return d_func()->port;
}

void TavrelInstance::setTimeout(int milliseconds)
{
    d_func()->timeout = milliseconds;
}

int TavrelInstance::timeout() const
{
    return d_func()->timeout;
}

void TavrelInstance::setMaximumAnswerSize(qint64 bytes)
{
    d_func()->maximumAnswerSize = bytes;
}

qint64 TavrelInstance::maximumAnswerSize() const
{
    return d_func()->maximumAnswerSize;
}

void TavrelInstance::setAllUsersAllowed(bool allowed)
{
    Q_D(TavrelInstance);
    d->allUsersAllowed = allowed;
    d->server->setAllUsersAllowed(allowed);
}

bool TavrelInstance::allUsersAllowed() const
{
    return d_func()->allUsersAllowed;
}

void TavrelInstance::setScope(Scope scope)
{
    d_func()->scope = scope;
}

TavrelInstance::Scope TavrelInstance::scope() const
{
    return d_func()->scope;
}

TavrelServer *TavrelInstance::server() const
{
    return d_func()->server;
}

void TavrelInstance::registerCommand(const QString &name, TavrelServer::Command command)
{
    d_func()->server->registerCommand(name, std::move(command));
}

void TavrelInstance::start()
{
    Q_D(TavrelInstance);
    if (d->deciding || d->holder == ThisProcess)
        return;
    d->deciding = true;
    d->holder = Undecided;
    d->attempts = 0;
    d->attempt();
}

bool TavrelInstance::decide()
{
    Q_D(TavrelInstance);
    start();
    // Every step of the decision ends within timeout(), so this ends.
    while (d->holder == Undecided) {
        QCoreApplication::processEvents(
            QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    }
    return d->holder == ThisProcess;
}

TavrelInstance::Holder TavrelInstance::holder() const
{
    return d_func()->holder;
}

bool TavrelInstance::isServing() const
{
    return d_func()->holder == ThisProcess;
}

qint64 TavrelInstance::holderPid() const
{
    return d_func()->holderPid;
}

QString TavrelInstance::holderName() const
{
    return d_func()->holderName;
}

QString TavrelInstance::holderOwner() const
{
    Q_D(const TavrelInstance);
    return d->holderUid >= 0 ? TavrelPlatform::userName(d->holderUid) : d->reportedOwner;
}

qint64 TavrelInstance::holderUid() const
{
    const qint64 uid = d_func()->holderUid;
    return uid >= 0 ? uid : -1;
}

quint16 TavrelInstance::holderPort() const
{
    return d_func()->holderPort;
}

QString TavrelInstance::errorString() const
{
    return d_func()->errorString;
}

int TavrelInstance::errorCode() const
{
    return d_func()->errorCode;
}

int TavrelInstance::sendCommand(const QString &name, const QString &argument)
{
    Q_D(TavrelInstance);
    const int id = ++d->lastCommandId;
    if (!d->mayCommand(id))
        return id;
    QVariantList params;
    if (!argument.isEmpty())
        params.append(argument);
    d->post(d->holderAddress, name, params, d->maximumAnswerSize, [d, id](const Outcome &outcome) {
        if (outcome.isFault) {
            d->errorCode = outcome.code;
            d->errorString = outcome.message;
            Q_EMIT d->q->commandFailed(id, outcome.code, outcome.message);
        } else {
            Q_EMIT d->q->commandAnswered(id, outcome.value.toStringList());
        }
    });
    return id;
}

bool TavrelInstance::sendCommandAndWait(
    const QString &name, const QString &argument, QStringList *answer)
{
    bool done = false;
    bool answered = false;
    int id = 0;
    QObject context;
    connect(this, &TavrelInstance::commandAnswered, &context,
        [&](int answeredId, const QStringList &words) {
            if (answeredId != id)
                return;
            done = answered = true;
            if (answer)
                *answer = words;
        });
    connect(this, &TavrelInstance::commandFailed, &context,
        [&](int failedId, int, const QString &) { done = done || failedId == id; });
    id = sendCommand(name, argument);
    // The command ends within timeout(), so this ends.
    while (!done) {
        QCoreApplication::processEvents(
            QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    }
    return answered;
}
