// SPDX-License-Identifier: MIT
#include "tavrelserver.h"

#include "quorxmlrpcserver.h"
#include "tavrelplatform_p.h"

#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>

namespace {

// One word of the "getAppInfo" answer, which is split on single spaces.
QString asWord(QString text)
{
    text.replace(QLatin1Char(' '), QLatin1Char('_'));
    return text.isEmpty() ? QStringLiteral("-") : text;
}

const QString GetAppInfo = QStringLiteral("getAppInfo");
const QString CheckConnection = QStringLiteral("checkConnection");
const QString ClientUserKey = QStringLiteral("tavrel.clientUser");

// The user of the client on the other end of the call's connection, asked of
// the kernel once per connection.
qint64 clientUser(const QuorXmlRpcAnswer &answer)
{
    const QVariant known = answer.connectionValue(ClientUserKey);
    if (known.isValid())
        return known.toLongLong();
    const qint64 user = TavrelPlatform::socketOwner(
        answer.peerAddress(), answer.peerPort(), answer.localAddress(), answer.localPort());
    answer.setConnectionValue(ClientUserKey, user);
    return user;
}

} // namespace

class TavrelServerPrivate
{
public:
    explicit TavrelServerPrivate(TavrelServer *server)
        : q(server)
        , ipv4(new QuorXmlRpcServer(server))
        , ipv6(new QuorXmlRpcServer(server))
    { }

    void registerMethods(QuorXmlRpcServer *server);
    void checkUser(const QuorXmlRpcAnswer &answer) const;
    void runCommand(
        const QString &name, const QVariantList &params, const QuorXmlRpcAnswer &answer);

    TavrelServer *q;
    QuorXmlRpcServer *ipv4;
    QuorXmlRpcServer *ipv6;
    QString applicationName;
    QString errorString;
    QHash<QString, TavrelServer::Command> commands;
    bool allUsersAllowed = false;
};

void TavrelServerPrivate::registerMethods(QuorXmlRpcServer *server)
{
    server->registerMethod(
        GetAppInfo, [this](const QVariantList &, const QuorXmlRpcAnswer &answer) {
            answer.setValue(q->appInfo());
        });
    server->registerMethod(
        CheckConnection, [](const QVariantList &, const QuorXmlRpcAnswer &answer) {
            answer.setValue(QStringLiteral("ready"));
        });
    server->setCallCheck([this](const QuorXmlRpcAnswer &answer) { checkUser(answer); });
}

// Loopback TCP is open to every local user: without this check any of them
// could make the instance run its commands.
void TavrelServerPrivate::checkUser(const QuorXmlRpcAnswer &answer) const
{
    if (allUsersAllowed || answer.method() == GetAppInfo || answer.method() == CheckConnection)
        return;
    const qint64 user = clientUser(answer);
    if (user >= 0 && user == TavrelPlatform::effectiveUserId())
        return;
    answer.setFault(TavrelServer::PermissionDenied,
        user == TavrelPlatform::UnknownUser
            ? QStringLiteral("permission denied: the client's user cannot be told here")
            : QStringLiteral("permission denied: only the instance's own user may call %1")
                  .arg(answer.method()));
}

void TavrelServerPrivate::runCommand(
    const QString &name, const QVariantList &params, const QuorXmlRpcAnswer &answer)
{
    const bool oneString = params.size() == 1 && params.first().userType() == QMetaType::QString;
    if (!params.isEmpty() && !oneString) {
        answer.setFault(QuorXmlRpcServer::InvalidParams,
            QStringLiteral("invalid parameters: %1 takes no parameter or one string").arg(name));
        return;
    }
    const QString argument = params.value(0).toString();
    const TavrelServer::Command command = commands.value(name);
    Q_EMIT q->commandReceived(name, argument);
    // A QStringList is no XML-RPC value; a list of strings is.
    QVariantList strings;
    const QStringList answerWords = command(argument);
    for (const QString &word : answerWords)
        strings.append(word);
    answer.setValue(strings);
}

TavrelServer::TavrelServer(QObject *parent)
    : QObject(parent)
    , d_ptr(new TavrelServerPrivate(this))
{
    Q_D(TavrelServer);
    d->registerMethods(d->ipv4);
    d->registerMethods(d->ipv6);
}

TavrelServer::~TavrelServer() = default;

bool TavrelServer::listen(quint16 port)
{
    Q_D(TavrelServer);
    close();
    if (!d->ipv4->listen(QHostAddress(QHostAddress::LocalHost), port)) {
        d->errorString = d->ipv4->errorString();
        return false;
    }
    // "localhost" may resolve to ::1 first. Where IPv6 is missing that fails at
    // once and clients go on to 127.0.0.1; a port taken on ::1 means another
    // server answers there, so this one does not pretend to serve.
    if (!d->ipv6->listen(QHostAddress(QHostAddress::LocalHostIPv6), d->ipv4->serverPort())
        && d->ipv6->serverError() == QAbstractSocket::AddressInUseError) {
        d->errorString = d->ipv6->errorString();
        d->ipv4->close();
        return false;
    }
    d->errorString.clear();
    return true;
}

void TavrelServer::close()
{
    Q_D(TavrelServer);
    d->ipv4->close();
    d->ipv6->close();
}

bool TavrelServer::isListening() const
{
    return d_func()->ipv4->isListening();
}

quint16 TavrelServer::port() const
{
    return d_func()->ipv4->serverPort();
}

QString TavrelServer::errorString() const
{
    return d_func()->errorString;
}

void TavrelServer::setApplicationName(const QString &name)
{
    d_func()->applicationName = name;
}

QString TavrelServer::applicationName() const
{
    const QString name = d_func()->applicationName;
    return name.isEmpty() ? QCoreApplication::applicationName() : name;
}

QString TavrelServer::appInfo() const
{
    return QString::number(QCoreApplication::applicationPid()) + QLatin1Char(' ')
        + asWord(applicationName()) + QLatin1Char(' ') + asWord(TavrelPlatform::currentUserName());
}

void TavrelServer::registerCommand(const QString &name, Command command)
{
    Q_D(TavrelServer);
    d->commands.insert(name, std::move(command));
    const auto method = [d, name](const QVariantList &params, const QuorXmlRpcAnswer &answer) {
        d->runCommand(name, params, answer);
    };
    d->ipv4->registerMethod(name, method);
    d->ipv6->registerMethod(name, method);
}

void TavrelServer::unregisterCommand(const QString &name)
{
    Q_D(TavrelServer);
    d->commands.remove(name);
    d->ipv4->unregisterMethod(name);
    d->ipv6->unregisterMethod(name);
}

void TavrelServer::setAllUsersAllowed(bool allowed)
{
    d_func()->allUsersAllowed = allowed;
}

bool TavrelServer::allUsersAllowed() const
{
    return d_func()->allUsersAllowed;
}

QList<QuorXmlRpcServer *> TavrelServer::xmlRpcServers() const
{
    return {d_func()->ipv4, d_func()->ipv6};
}
