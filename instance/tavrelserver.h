// SPDX-License-Identifier: MIT
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

/*!
    The running instance's side of Tavrel: serves XML-RPC at
    "http://localhost:PORT/RPC2" on the loopback (127.0.0.1, and ::1 where the
    system has it) and answers what Tavrel asks:
    - "getAppInfo": "PID NAME OWNER", the process id, applicationName() and
      the owner's login name. Spaces inside the name or the owner become '_'
      and an empty word becomes '-', so the three words always stay in place.
    - "checkConnection": "ready".
    - any registered command, with no parameter or one string: its handler's
      list of strings. commandReceived() is emitted first.

    Unknown commands are fault -32601, other parameters fault -32602.

    Only clients of the user this process runs as get their commands run, or
    any method answered but "getAppInfo" and "checkConnection", which tell
    anyone who holds the port. A client of another user gets fault -32000
    (PermissionDenied) and no handler runs. The user of a client is the owner
    of its socket as the kernel tells it; where the platform cannot tell
    (everywhere but Linux), every client counts as another user's, unless
    setAllUsersAllowed() lets every user in.

    \code
    TavrelServer server;
    server.registerCommand("open", [](const QString &file) { return QStringList{openFile(file)}; });
    if (!server.listen(4242))
        qWarning() << server.errorString();
    \endcode
*/
class TAVREL_EXPORT TavrelServer : public QObject
{
    Q_OBJECT

public:
    //! A command handler: gets the argument, empty when none was sent, and returns the answer.
    using Command = std::function<QStringList(const QString &argument)>;

    //! The fault code the server answers a client of another user with.
    enum FaultCode {
        PermissionDenied = -32000, //!< The client runs as another user (or its user is unknown).
    };
    Q_ENUM(FaultCode)

    //! A server not yet listening, owned by \a parent.
    explicit TavrelServer(QObject *parent = nullptr);
    //! Stops serving.
    ~TavrelServer() override;

    /*! Serves on \a port, closing first what it served before. Fails, with
        errorString(), when the port is taken: then another instance probably
        serves there, which Tavrel::checkTcp() tells. */
    bool listen(quint16 port);
    //! Stops serving.
    void close();
    //! Whether it serves.
    bool isListening() const;
    //! The port served on; 0 when not listening.
    quint16 port() const;
    //! The text of the last failed listen().
    QString errorString() const;

    //! Sets the name reported by "getAppInfo".
    void setApplicationName(const QString &name);
    //! The name reported by "getAppInfo"; QCoreApplication::applicationName() unless set.
    QString applicationName() const;
    //! The answer to "getAppInfo".
    QString appInfo() const;

    //! Answers the command \a name with \a command; replaces any command of that name.
    void registerCommand(const QString &name, Command command);
    //! Removes the command \a name; later calls of it get fault -32601.
    void unregisterCommand(const QString &name);

    /*! Whether clients of every user may call every method (default false:
        only those of this process's user). Allowing them lets any local user
        run the commands. */
    void setAllUsersAllowed(bool allowed);
    //! Whether clients of every user may call every method.
    bool allUsersAllowed() const;

    /*! The XML-RPC servers behind it (127.0.0.1, ::1), for limits or further
        methods; their call check is the server's user check, keep it. */
    QList<QuorXmlRpcServer *> xmlRpcServers() const;

Q_SIGNALS:
    //! The command \a name was called with \a argument; emitted before its handler runs.
    void commandReceived(const QString &name, const QString &argument);

private:
    Q_DECLARE_PRIVATE(TavrelServer)
    std::unique_ptr<TavrelServerPrivate> d_ptr;
};

#endif
