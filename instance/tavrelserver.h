#ifndef TAVRELSERVER_H
#define TAVRELSERVER_H

#include "tavrel_export.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QuorXmlRpcServer;
class TavrelServerPrivate;

// The running instance's side of Tavrel: serves XML-RPC at
// "http://localhost:PORT/RPC2" on the loopback (127.0.0.1, and ::1 where the
// system has it) and answers what Tavrel asks:
//   "getAppInfo"      "PID NAME OWNER": the process id, applicationName() and
//                     the owner's login name. Spaces inside the name or the
//                     owner become '_' and an empty word becomes '-', so the
//                     three words always stay in place.
//   "checkConnection" "ready"
//   any registered command, with no parameter or one string: its handler's
//                     list of strings. commandReceived() is emitted first.
// Unknown commands are fault -32601, other parameters fault -32602.
class TAVREL_EXPORT TavrelServer : public QObject
{
    Q_OBJECT

public:
    using Command = std::function<QStringList(const QString &argument)>;

    explicit TavrelServer(QObject *parent = nullptr);
    ~TavrelServer() override;

    // Fails, with errorString(), when the port is taken: then another instance
    // probably serves there, which Tavrel::checkTcp() tells.
    bool listen(quint16 port);
    void close();
    bool isListening() const;
    quint16 port() const;
    QString errorString() const;

    // QCoreApplication::applicationName() unless set.
    void setApplicationName(const QString &name);
    QString applicationName() const;
    // The answer to "getAppInfo".
    QString appInfo() const;

    void registerCommand(const QString &name, Command command);
    void unregisterCommand(const QString &name);

    // The XML-RPC servers behind it (127.0.0.1, ::1), for limits or further methods.
    QList<QuorXmlRpcServer *> xmlRpcServers() const;

Q_SIGNALS:
    void commandReceived(const QString &name, const QString &argument);

private:
    Q_DECLARE_PRIVATE(TavrelServer)
    std::unique_ptr<TavrelServerPrivate> d_ptr;
};

#endif
