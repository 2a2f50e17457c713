// SPDX-License-Identifier: MIT
#include "tavrel.h"

#include "quordebug_p.h"
#include "quorxmlrpcclient.h"
#include "tavrelinstance.h"
#include "tavrelplatform_p.h"

#include <QTcpSocket>
#include <QUrl>

namespace {

// "localhost" reaches an instance listening on 127.0.0.1 as well as on ::1.
const QString ServerHost = QStringLiteral("localhost");
constexpr int ProbeTimeoutMs = 1000;
const QString WordSeparator = QStringLiteral(" ");

// The user, other than this process's, whose program listens where a command
// to "localhost" may go; -1 when none is (or the platform cannot tell).
qint64 otherUserListening(int port)
{
    const QHostAddress loopbacks[]
        = {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    for (const QHostAddress &address : loopbacks) {
        const qint64 owner = TavrelPlatform::listenerOwner(address, quint16(port));
        if (owner >= 0 && owner != TavrelPlatform::effectiveUserId())
            return owner;
    }
    return -1;
}

QUrl serverUrl(int port)
{
    return QUrl(QStringLiteral("http://") + ServerHost
        + QStringLiteral(":%1/RPC2").arg(port, 0, 10, QLatin1Char(' ')));
}

QStringList wordsOf(const QVariant &answer)
{
    return answer.toString().split(WordSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
}

// Every request of one Tavrel object goes through one client: each client owns
// a network access manager, which keeps a thread and a descriptor for as long
// as it lives.
void sendRequest(Tavrel *owner, int port, const QString &method, const QVariantList &params,
    const char *answerSlot)
{
    const QString clientName = QStringLiteral("tavrel-client");
    auto *client = owner->findChild<QuorXmlRpcClient *>(clientName, Qt::FindDirectChildrenOnly);
    if (!client) {
        client = new QuorXmlRpcClient(owner);
        client->setObjectName(clientName);
    }
    client->setUrl(serverUrl(port));
    client->call(
        method, params, owner, answerSlot, owner, SLOT(faultResponse(int, const QString &)));
}

} // namespace

Tavrel::Tavrel(QObject *parent, int tcpPort)
    : QObject(parent)
    , port(tcpPort)
{ }

Tavrel::~Tavrel() = default;

bool Tavrel::checkTcp()
{
    socket = new QTcpSocket(this);
    socket->connectToHost(ServerHost, quint16(port), QIODevice::ReadWrite);
    if (!socket->waitForConnected(ProbeTimeoutMs))
        return false;
    socket->close();
    sendRequest(
        this, port, QStringLiteral("getAppInfo"), QVariantList(), SLOT(testSingle(QVariant &)));
    return true;
}

void Tavrel::openTcp()
{
    sendRequest(this, port, QStringLiteral("checkConnection"), QVariantList(),
        SLOT(checkConnection(QVariant &)));
}

void Tavrel::sendCommand(QString method, QString argument)
{
    // Loopback TCP is open to every local user: a command and its argument are
    // not handed to a program of another user that took the port.
    const qint64 otherUser = otherUserListening(port);
    if (otherUser >= 0) {
        const QString message = QStringLiteral("command not sent: port %1 is held by user %2")
                                    .arg(port)
                                    .arg(TavrelPlatform::userName(otherUser));
        QMetaObject::invokeMethod(
            this,
            [this, message] { faultResponse(TavrelInstance::ListenerOfAnotherUser, message); },
            Qt::QueuedConnection);
        return;
    }
    QVariantList params;
    if (!argument.isEmpty())
        params.append(QVariant(argument));
    sendRequest(this, port, method, params, SLOT(parseAnswer(QVariant &)));
}

void Tavrel::testSingle(QVariant &arg)
{
    // A short answer still tells that something serves here: missing words
    // print as empty text.
    const QStringList words = wordsOf(arg);
    const auto word = [&words](int index) { return words.value(index); };
    QuorDebugLine() << "ERROR\n"
                    << "     an instance of\n"
                    << "     " << word(1) << "\n"
                    << "      listening on the same port (" << port << ")\n"
                    << "      is running with PID:" << word(0).toInt(nullptr, 10) << "\n"
                    << "     "
                    << "owned by" << word(2);
}

void Tavrel::checkConnection(QVariant &arg)
{
    if (arg.toString().isEmpty())
        return;
    connectionAnswer = wordsOf(arg).first();
}

void Tavrel::parseAnswer(QVariant &arg)
{
    commandAnswer = arg.toStringList();
}

void Tavrel::faultResponse(int error, const QString &message)
{
    QuorDebugLine() << "An Error occured, Code: " << error << " Message: " << message;
    connectionAnswer.clear();
}
