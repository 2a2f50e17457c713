// SPDX-License-Identifier: MIT
#include "tavrelinstance.h"

#include "quorxmlrpcserver.h"
#include "tavrelclient_p.h"
#include "tavrellaunch_p.h"
#include "tavrelplatform_p.h"
#include "tavrelrendezvous_p.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QMetaMethod>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <optional>

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
// A launch waits for its instance to finish it, a dialog perhaps; a few
// seconds tell a user that something is wrong without cutting a quick answer short.
constexpr int DefaultForwardDeadlineMs = 5000;

// The instances this process serves. A launch waits for its answer without the
// event loop only while there are none, since one of them may be its addressee.
std::atomic<int> servingInstances {0};

using Outcome = TavrelClient::Outcome;

// What an instance tells of itself: "PID NAME OWNER".
struct Identity
{
    qint64 pid = 0;
    QString name;
    QString owner;
};

std::optional<Identity> identityOf(const QVariant &value)
{
    const QStringList words = value.userType() == QMetaType::QString
        ? value.toString().split(QLatin1Char(' '))
        : QStringList();
    bool pidIsNumber = false;
    const qint64 pid = words.value(0).toLongLong(&pidIsNumber);
    if (words.size() < 3 || !pidIsNumber || pid <= 0)
        return std::nullopt;
    return Identity {pid, words.at(1), words.at(2)};
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// The launch forward() is handing over, while it does. Apart from the
// private class, as clang cannot yet default-construct a nested class with
// member initializers inside the class that encloses it.
struct Forwarding
{
    TavrelLaunchWire::Call call;
    QElapsedTimer clock;
    bool sent = false; // it went out (or nothing needs to go) and is answered or on its way
    bool done = false;
    int status = 0;
    // A launch turned down by what listens, kept until the decision
    // tells whether an instance did that.
    std::optional<TavrelClient::Outcome> turnedDown;
};

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
    QString refusal(const QString &what, int *code) const;
    bool mayCommand(int id);

    bool launchTo(int addressIndex);
    void sendLaunch(const QHostAddress &address, TavrelClient::Done done);
    void launched(const Outcome &outcome, int addressIndex);
    void launchDecided();
    void finishForward(const Outcome &outcome);
    void failForward(int code, const QString &message);
    QString pastDeadline() const;
    void serveLaunch(const QVariantList &params, const QuorXmlRpcAnswer &answer);

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

    int forwardDeadline = DefaultForwardDeadlineMs;
    QStringList forwardedEnvironment;
    QVariantMap launchData;
    // The launch forward() is handing over, while it does.
    std::optional<Forwarding> forwarding;
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
    ++servingInstances;
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
    // forward() decides in the one exchange of its launch, where it may send
    // it; a holder of the application's port in user scope is asked first.
    if (forwarding && !forwarding->sent && !askingPortHolder && launchTo(addressIndex))
        return;
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
    const std::optional<Identity> identity
        = outcome.isFault ? std::nullopt : identityOf(outcome.value);
    if (askingPortHolder) {
        if (!identity || holderUid != TavrelPlatform::effectiveUserId()) {
            serveClaimed();
            return;
        }
        askingPortHolder = false;
        rendezvous.abandon();
    }
    if (!identity) {
        if (viaRendezvous
            && !(outcome.timedOut && holderUid == TavrelPlatform::effectiveUserId())) {
            serveAlone(
                QStringLiteral("port %1, told by the instance, holds no instance").arg(holderPort));
            return;
        }
        holderPid = 0;
        holderName.clear();
        reportedOwner.clear();
        if (outcome.timedOut && holderUid == TavrelPlatform::effectiveUserId()) {
            decide(TavrelInstance::SilentInstance,
                QStringLiteral("port %1 is held by a program of this user that gives no answer: %2")
                    .arg(holderPort)
                    .arg(outcome.message));
            return;
        }
        decide(TavrelInstance::NotAnInstance,
            outcome.isFault ? QStringLiteral("port %1 is held by something that is no instance: %2")
                                  .arg(holderPort)
                                  .arg(outcome.message)
                            : QStringLiteral("port %1 is held by something that is no instance")
                                  .arg(holderPort));
        return;
    }
    holderPid = identity->pid;
    holderName = identity->name;
    reportedOwner = identity->owner;
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

// Why what (a command, a launch) may not go to the holder, with the fault
// code in code; null when it may.
QString TavrelInstancePrivate::refusal(const QString &what, int *code) const
{
    using Holder = TavrelInstance::Holder;
    const bool anyUser
        = allUsersAllowed && (holder == Holder::OtherUser || holder == Holder::UnknownUser);
    if (holder != Holder::SameUser && !anyUser) {
        if (holder == Holder::OtherUser || holder == Holder::UnknownUser) {
            *code = TavrelInstance::ListenerOfAnotherUser;
            return QStringLiteral("%1 not sent: port %2 is held by an instance of %3")
                .arg(what)
                .arg(holderPort)
                .arg(holder == Holder::OtherUser ? QStringLiteral("user %1").arg(q->holderOwner())
                                                 : QStringLiteral("a user unknown"));
        }
        *code = TavrelInstance::NoInstance;
        if (holder == Holder::SilentInstance)
            return QStringLiteral(
                "%1 not sent: the program of this user on port %2 gives no answer")
                .arg(what)
                .arg(holderPort ? holderPort : port);
        return QStringLiteral("%1 not sent: no other instance of this user serves on port %2")
            .arg(what)
            .arg(holderPort ? holderPort : port);
    }
    if (allUsersAllowed)
        return QString();
    // Whoever listens now, which may no longer be whoever answered before.
    const qint64 listener = TavrelClient::foreignListener({holderAddress}, holderPort);
    if (listener != TavrelPlatform::NoSocket) {
        *code = TavrelInstance::ListenerOfAnotherUser;
        return TavrelClient::refusal(holderPort, listener, what);
    }
    return QString();
}

// Whether the command id may go to the holder; fails it otherwise.
bool TavrelInstancePrivate::mayCommand(int id)
{
    int code = 0;
    const QString why = refusal(QStringLiteral("command"), &code);
    if (why.isNull())
        return true;
    fail(id, code, why);
    return false;
}

TavrelInstance::TavrelInstance(quint16 port, QObject *parent)
    : QObject(parent)
    , d_ptr(new TavrelInstancePrivate(this, port))
{
    // For queued connections and signal spies of decided() and launchReceived().
    qRegisterMetaType<TavrelInstance::Holder>();
    qRegisterMetaType<TavrelLaunch>();
    const QList<QuorXmlRpcServer *> servers = d_ptr->server->xmlRpcServers();
    for (QuorXmlRpcServer *server : servers) {
        server->registerMethod(TavrelLaunchWire::Method,
            [this](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
                // A launch nobody receives would end as if it had been handled.
                if (!isSignalConnected(QMetaMethod::fromSignal(&TavrelInstance::launchReceived))) {
                    answer.setFault(QuorXmlRpcServer::MethodNotFound,
                        QStringLiteral("%1: this instance takes no launches")
                            .arg(TavrelLaunchWire::Method));
                    return;
                }
                d_func()->serveLaunch(params, answer);
            });
    }
}

TavrelInstance::~TavrelInstance()
{
    Q_D(TavrelInstance);
    // Calls still in flight go with the client, silently, before what their
    // callbacks use goes.
    delete d->client;
    // The port goes before the rendezvous tells nobody of it any more.
    d->server->close();
    if (d->holder == ThisProcess)
        --servingInstances;
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

void TavrelInstancePrivate::serveLaunch(const QVariantList &params, const QuorXmlRpcAnswer &answer)
{
    QString why;
    std::optional<TavrelLaunchWire::Call> call = TavrelLaunchWire::readCall(params, &why);
    if (!call) {
        answer.setFault(QuorXmlRpcServer::InvalidParams, why);
        return;
    }
    const TavrelLaunch launch = TavrelLaunchPrivate::handle(
        std::make_shared<TavrelLaunchPrivate>(std::move(*call), answer, server->appInfo()));
    Q_EMIT q->launchReceived(launch);
}

// In forward()'s decision: sends the launch to the listener at addressIndex
// when the kernel tells that it is this user's. Whether it went.
bool TavrelInstancePrivate::launchTo(int addressIndex)
{
    const QHostAddress address = TavrelClient::loopbacks().at(addressIndex);
    if (TavrelPlatform::listenerOwner(address, holderPort) != TavrelPlatform::effectiveUserId())
        return false;
    sendLaunch(
        address, [this, addressIndex](const Outcome &outcome) { launched(outcome, addressIndex); });
    return true;
}

void TavrelInstancePrivate::sendLaunch(const QHostAddress &address, TavrelClient::Done done)
{
    forwarding->sent = true;
    // The launch's exchange gets what is left of the deadline.
    const int left
        = forwardDeadline > 0 ? qMax(1, forwardDeadline - int(forwarding->clock.elapsed())) : 0;
    const TavrelClient::Bounds bounds {left, maximumAnswerSize};
    const QVariantList params = TavrelLaunchWire::writeCall(forwarding->call);
    if (servingInstances > 0) {
        client->call(TavrelClient::urlOf(address.toString(), holderPort), TavrelLaunchWire::Method,
            params, bounds, std::move(done));
        return;
    }
    // forward() waits for nothing else: the launch is answered before the
    // event loop turns again, and ends here.
    done(client->callAndWait(address, holderPort, TavrelLaunchWire::Method, params, bounds));
}

// The launch was the decision's exchange. The decision is settled even when
// forward() has given up meanwhile.
void TavrelInstancePrivate::launched(const Outcome &outcome, int addressIndex)
{
    if (outcome.reachedNobody) {
        // It went before the launch reached it: decide on, and launch to whoever is found.
        if (forwarding)
            forwarding->sent = false;
        ask(addressIndex + 1);
        return;
    }
    holderAddress = TavrelClient::loopbacks().at(addressIndex);
    holderUid = TavrelPlatform::effectiveUserId();
    const std::optional<TavrelLaunchWire::Answer> answer
        = outcome.isFault ? std::nullopt : TavrelLaunchWire::readAnswer(outcome.value);
    const std::optional<Identity> identity
        = answer ? identityOf(answer->instance) : std::optional<Identity>();
    if (outcome.timedOut || !identity) {
        holderPid = 0;
        holderName.clear();
        reportedOwner.clear();
    }
    if (outcome.timedOut) {
        decide(TavrelInstance::SilentInstance,
            QStringLiteral("port %1 is held by a program of this user that gives no answer: %2")
                .arg(holderPort)
                .arg(outcome.message));
    } else if (!identity) {
        // An instance of a version before launches, one without a handler, or
        // no instance at all: "getAppInfo" tells which, then forward() says so.
        if (forwarding) {
            forwarding->turnedDown = outcome;
            forwarding->sent = false;
        }
        post(holderAddress, QStringLiteral("getAppInfo"), {}, TavrelClient::IdentityAnswerLimit,
            [this, addressIndex](const Outcome &appInfo) { classify(appInfo, addressIndex); });
        return;
    } else {
        holderPid = identity->pid;
        holderName = identity->name;
        reportedOwner = identity->owner;
        decide(TavrelInstance::SameUser);
    }
    if (forwarding)
        finishForward(outcome);
}

// The decision is made, and the launch has not been answered by it.
void TavrelInstancePrivate::launchDecided()
{
    if (holder == TavrelInstance::ThisProcess) {
        forwarding->done = true;
        forwarding->status = 0;
        return;
    }
    if (holder == TavrelInstance::SameUser && forwarding->turnedDown) {
        finishForward(*forwarding->turnedDown);
        return;
    }
    if (holder == TavrelInstance::Unavailable) {
        failForward(TavrelInstance::NoInstance, errorString);
        return;
    }
    int code = 0;
    const QString why = refusal(QStringLiteral("launch"), &code);
    if (!why.isNull()) {
        failForward(code, why);
        return;
    }
    sendLaunch(holderAddress, [this](const Outcome &outcome) {
        if (forwarding)
            finishForward(outcome);
    });
}

void TavrelInstancePrivate::finishForward(const Outcome &outcome)
{
    if (forwarding->done)
        return;
    if (outcome.timedOut) {
        failForward(TavrelInstance::TransportError, pastDeadline());
        return;
    }
    if (outcome.isFault && outcome.code == QuorXmlRpcServer::MethodNotFound) {
        failForward(outcome.code,
            QStringLiteral("the instance on port %1 (process %2) takes no launches: it runs a "
                           "version from before them, or handles none; quit it and launch again")
                .arg(holderPort)
                .arg(holderPid));
        return;
    }
    const std::optional<TavrelLaunchWire::Answer> answer
        = outcome.isFault ? std::nullopt : TavrelLaunchWire::readAnswer(outcome.value);
    if (!answer) {
        failForward(outcome.isFault ? outcome.code : int(TavrelInstance::TransportError),
            QStringLiteral("the instance on port %1 turned the launch down: %2")
                .arg(holderPort)
                .arg(outcome.isFault ? outcome.message
                                     : QStringLiteral("its answer is no launch's")));
        return;
    }
    print(stdout, answer->standardOutput);
    print(stderr, answer->standardError);
    forwarding->done = true;
    forwarding->status = answer->exitStatus;
}

QString TavrelInstancePrivate::pastDeadline() const
{
    return QStringLiteral("the launch was not finished on port %1 within %2 ms: the program "
                          "there may hang; end it and launch again")
        .arg(holderPort)
        .arg(forwardDeadline);
}

void TavrelInstancePrivate::failForward(int code, const QString &message)
{
    if (forwarding->done)
        return;
    errorCode = code;
    errorString = message;
    print(stderr,
        QCoreApplication::applicationName() + QStringLiteral(": ") + message + QLatin1Char('\n'));
    forwarding->done = true;
    forwarding->status = TavrelInstance::ForwardFailed;
}

int TavrelInstance::forward()
{
    return forward(QCoreApplication::arguments());
}

int TavrelInstance::forward(const QStringList &arguments)
{
    Q_D(TavrelInstance);
    if (d->holder == ThisProcess)
        return 0;
    d->forwarding.emplace();
    TavrelLaunchWire::Call &call = d->forwarding->call;
    call.arguments = arguments;
    call.workingDirectory = TavrelPlatform::workingDirectory();
    // Only the named variables are read: parsing the whole environment costs
    // more than the rest of the launch's making.
    for (const QString &name : std::as_const(d->forwardedEnvironment)) {
        const QByteArray key = name.toLocal8Bit();
        if (qEnvironmentVariableIsSet(key.constData()))
            call.environment.insert(name, qEnvironmentVariable(key.constData()));
    }
    // Wayland's token, else the X11 startup notification's.
    call.activationToken
        = qEnvironmentVariable("XDG_ACTIVATION_TOKEN", qEnvironmentVariable("DESKTOP_STARTUP_ID"));
    call.pid = QCoreApplication::applicationPid();
    call.data = d->launchData;
    d->forwarding->clock.start();

    if (d->holder == Undecided)
        start();
    // A launch that is answered at once never turns the event loop, and sets
    // no timer for it. Every exchange ends by the deadline at the latest, so
    // this ends.
    std::optional<QTimer> deadline;
    while (!d->forwarding->done) {
        if (!d->forwarding->sent && d->holder != Undecided)
            d->launchDecided();
        if (d->forwarding->done)
            break;
        if (!deadline && d->forwardDeadline > 0) {
            deadline.emplace();
            deadline->setSingleShot(true);
            connect(&*deadline, &QTimer::timeout, this,
                [d] { d->failForward(TransportError, d->pastDeadline()); });
            deadline->start(qMax(1, d->forwardDeadline - int(d->forwarding->clock.elapsed())));
        }
        QCoreApplication::processEvents(
            QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    }
    const int status = d->forwarding->status;
    d->forwarding.reset();
    return status;
}

void TavrelInstance::setForwardDeadline(int milliseconds)
{
    d_func()->forwardDeadline = milliseconds;
}

int TavrelInstance::forwardDeadline() const
{
    return d_func()->forwardDeadline;
}

void TavrelInstance::setForwardedEnvironment(const QStringList &names)
{
    d_func()->forwardedEnvironment = names;
}

QStringList TavrelInstance::forwardedEnvironment() const
{
    return d_func()->forwardedEnvironment;
}

void TavrelInstance::setLaunchData(const QVariantMap &data)
{
    d_func()->launchData = data;
}

QVariantMap TavrelInstance::launchData() const
{
    return d_func()->launchData;
}
