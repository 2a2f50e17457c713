// SPDX-License-Identifier: MIT
#include "tavrel.h"

#include "quordebug_p.h"
#include "tavrelclient_p.h"

#include <QTcpSocket>

namespace {

// "localhost" reaches an instance listening on 127.0.0.1 as well as on ::1.
const QString ServerHost = QStringLiteral("localhost");
constexpr int ProbeTimeoutMs = 1000;
const QString WordSeparator = QStringLiteral(" ");

// The program on the port is not trusted before it has answered: each request
// ends within the instance timeout, and its answer within what such an answer
// holds.
constexpr TavrelClient::Bounds IdentityBounds {
    TavrelClient::DefaultTimeoutMs, TavrelClient::IdentityAnswerLimit};
constexpr TavrelClient::Bounds CommandBounds {
    TavrelClient::DefaultTimeoutMs, TavrelClient::DefaultCommandAnswerLimit};

QStringList wordsOf(const QVariant &answer)
{
    return answer.toString().split(WordSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
}

// Every request of one Tavrel object goes through one instance client, and so
// one XML-RPC client: each owns a network access manager, which keeps a thread
// and a descriptor for as long as it lives. The class's members are fixed, so
// the client is found as its child.
void sendRequest(Tavrel *owner, int port, const QString &method, const QVariantList &params,
    const TavrelClient::Bounds &bounds, const char *answerSlot)
{
    auto *client = owner->findChild<TavrelClient *>(QString(), Qt::FindDirectChildrenOnly);
    if (!client)
        client = new TavrelClient(QString(), owner);
    client->call(TavrelClient::urlOf(ServerHost, port), method, params, bounds, owner, answerSlot,
        SLOT(faultResponse(int, const QString &)));
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
    if (!TavrelClient::probe(socket, ServerHost, quint16(port), ProbeTimeoutMs))
        return false;
    sendRequest(this, port, QStringLiteral("getAppInfo"), QVariantList(), IdentityBounds,
        SLOT(testSingle(QVariant &)));
    return true;
}

void Tavrel::openTcp()
{
    sendRequest(this, port, QStringLiteral("checkConnection"), QVariantList(), IdentityBounds,
        SLOT(checkConnection(QVariant &)));
}

void Tavrel::sendCommand(QString method, QString argument)
{
    // Loopback TCP is open to every local user: a command and its argument are
    // not handed to a program of another user that took the port. Where the
    // platform cannot tell the user, the command goes.
    const qint64 otherUser
        = TavrelClient::foreignListener(TavrelClient::loopbacks(), quint16(port));
    if (otherUser >= 0) {
        const QString message = TavrelClient::refusal(quint16(port), otherUser);
        QMetaObject::invokeMethod(
            this, [this, message] { faultResponse(TavrelClient::ListenerOfAnotherUser, message); },
            Qt::QueuedConnection);
        return;
    }
    QVariantList params;
    if (!argument.isEmpty())
        params.append(QVariant(argument));
    sendRequest(this, port, method, params, CommandBounds, SLOT(parseAnswer(QVariant &)));
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
