#include "tavrelserver.h"

#include "quorxmlrpcserver.h"

#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>

#include <pwd.h>
#include <unistd.h>

namespace {

// One word of the "getAppInfo" answer, which is split on single spaces.
QString asWord(QString text)
{
    text.replace(QLatin1Char(' '), QLatin1Char('_'));
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString ownerName()
{
    QByteArray buffer(16384, '\0');
    passwd entry {};
    passwd *found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), size_t(buffer.size()), &found) == 0
        && found)
        return QString::fromLocal8Bit(found->pw_name);
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? QString::number(::geteuid()) : user;
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
    void runCommand(
        const QString &name, const QVariantList &params, const QuorXmlRpcAnswer &answer);

    TavrelServer *q;
    QuorXmlRpcServer *ipv4;
    QuorXmlRpcServer *ipv6;
    QString applicationName;
    QString errorString;
    QHash<QString, TavrelServer::Command> commands;
};

void TavrelServerPrivate::registerMethods(QuorXmlRpcServer *server)
{
    server->registerMethod(
        QStringLiteral("getAppInfo"), [this](const QVariantList &, const QuorXmlRpcAnswer &answer) {
            answer.setValue(q->appInfo());
        });
    server->registerMethod(QStringLiteral("checkConnection"),
        [](const QVariantList &, const QuorXmlRpcAnswer &answer) {
            answer.setValue(QStringLiteral("ready"));
        });
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
        + asWord(applicationName()) + QLatin1Char(' ') + asWord(ownerName());
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

QList<QuorXmlRpcServer *> TavrelServer::xmlRpcServers() const
{
    return {d_func()->ipv4, d_func()->ipv6};
}
