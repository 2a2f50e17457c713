// SPDX-License-Identifier: MIT
#ifndef TAVRELINSTANCE_H
#define TAVRELINSTANCE_H

#include "tavrel_export.h"
#include "tavrellaunch.h"
#include "tavrelserver.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class TavrelInstancePrivate;

/*!
    One instance of an application per user: the first launch serves on a
    loopback TCP port, later launches hand it their command and exit.
    setScope() makes it one per machine or one per login session instead.

    \code
    TavrelInstance instance(47111);
    instance.registerCommand("open", [&](const QString &path) {
        return QStringList{window.open(path)};
    });
    if (!instance.decide()) {                         // another process holds the port
        if (instance.holder() == TavrelInstance::SameUser)
            instance.sendCommandAndWait("open", file); // its answer, or a fault
        return 0;
    }
    return app.exec();                                // this process is the instance
    \endcode

    Deciding: decide() blocks until it is decided, start() returns at once and
    decided() follows. In user and session scope (see Scope) the launch that
    takes the rendezvous lock serves, on port() or another loopback port, and
    every other launch of that scope finds it there: holder() is then
    ThisProcess or SameUser. In machine scope this process becomes the
    instance when it can listen on the port (on 127.0.0.1, and ::1 where there
    is one); the kernel lets one process do that, so of launches started
    together exactly one serves.
    Otherwise it asks the holder of the port "getAppInfo", and holder() tells
    what holds it: an instance of this user, of another user, of a user the
    platform cannot tell, or something that is no Tavrel instance (it listens
    but gives no "getAppInfo" answer within timeout()). holderPid(),
    holderName() and holderOwner() tell which instance it is.

    Commands: sendCommand() sends one to an instance of this user; exactly one
    of commandAnswered() and commandFailed() follows for it, from the event
    loop. sendCommandAndWait() waits for that. Right before a command leaves,
    the owner of the listening socket is checked again: a command never goes
    to a program of another user, and fails with ListenerOfAnotherUser instead.

    Serving: registerCommand() and commandReceived() are those of server(),
    the TavrelServer that serves once this process is the instance; it runs
    only commands of clients of this user.

    Bounds: what listens on the port is not trusted before it has answered.
    Every exchange with it ends within timeout(); its "getAppInfo" answer may
    hold 16 KiB and a command's answer maximumAnswerSize(). Beyond either, the
    exchange fails (a holder that does so is NotAnInstance) and what it sent
    is dropped with its connection.

    Owners come from the kernel (on Linux). Where the platform cannot tell the
    owner of a socket, holder() is UnknownUser rather than a guess; such a
    holder gets no command and the server refuses every client's, unless
    setAllUsersAllowed() lets every user in both ways.

    Launches: forward() hands the whole launch to the instance, its command
    line, working directory, the environment variables setForwardedEnvironment()
    names, its activation token and setLaunchData(), and blocks until the
    instance has finished it (TavrelLaunch::finish()), then prints what the
    instance gave it to print and returns its exit status, for main() to
    return. Called before the decision, it decides in the same exchange:

    \code
    TavrelInstance instance(47111);
    QObject::connect(&instance, &TavrelInstance::launchReceived, &window,
        [&](const TavrelLaunch &launch) { window.open(launch.arguments().mid(1)); });
    const int status = instance.forward();
    if (!instance.isServing())
        return status;                                // handed over, or failed and said why
    return app.exec();
    \endcode

    The serving side emits launchReceived() for each launch of a client of
    this user; with no receiver connected, it answers that it takes none.
*/
class TAVREL_EXPORT TavrelInstance : public QObject
{
    Q_OBJECT

public:
    //! What holds the port, as far as the decision went.
    enum Holder {
        //! Not decided yet.
        Undecided,
        //! This process serves: it is the instance.
        ThisProcess,
        //! An instance of this process's user serves; commands go to it.
        SameUser,
        //! An instance of another user holds the port; it gets no command.
        OtherUser,
        //! An instance holds the port; the platform cannot tell its user.
        UnknownUser,
        //! Something that is no Tavrel instance listens, or it did not answer in time.
        NotAnInstance,
        //! This process cannot serve and finds nobody serving; see errorString().
        Unavailable,
        /*! The port's listener is this user's (as the kernel tells it), but it
            gave no answer within timeout(): an instance that hangs, say. */
        SilentInstance,
    };
    Q_ENUM(Holder)

    //! The fault codes of commands that this side ends itself.
    enum FaultCode {
        //! Not sent: the port's listener is another user's, or of a user unknown.
        ListenerOfAnotherUser = -32001,
        //! Not sent: no instance of this user is known to serve (see holder()).
        NoInstance = -32002,
        //! Sending failed, or no whole answer came within timeout() or maximumAnswerSize().
        TransportError = -32300,
    };
    Q_ENUM(FaultCode)

    /*! Which launches share one instance. Set before deciding. In user and
        session scope the instance listens on port() when it is free and on
        another loopback port otherwise, and tells it to later launches through
        a place only its user can write; a program that takes port() keeps
        nobody from serving, and no launch ever reaches another user's
        instance. See the README for sandboxes and other platforms. */
    enum Scope {
        //! One instance per machine, on port(); other users learn that it holds the port.
        MachineScope,
        //! One instance per user (the default).
        UserScope,
        //! One instance per login session of a user (XDG_SESSION_ID, else the display).
        SessionScope,
    };
    Q_ENUM(Scope)

    //! The exit status forward() returns when the launch was not handed over, EX_UNAVAILABLE.
    enum ForwardStatus {
        ForwardFailed = 69,
    };
    Q_ENUM(ForwardStatus)

    //! An instance for \a port (1 to 65535), not decided yet, owned by \a parent.
    explicit TavrelInstance(quint16 port, QObject *parent = nullptr);
    //! Stops serving; commands still waiting end without a signal.
    ~TavrelInstance() override;

    //! The port.
    quint16 port() const;
    /*! Sets how long one step may take: reaching the holder, its "getAppInfo"
        answer, a command's answer. */
    void setTimeout(int milliseconds);
    //! How long one step may take, in milliseconds (default 3000).
    int timeout() const;
    /*! Bounds the answer to a command at \a bytes (0 or less: no bound). A
        longer answer ends the command as fault TransportError and is not kept.
        The holder's "getAppInfo" answer is bounded at 16 KiB whatever this says. */
    void setMaximumAnswerSize(qint64 bytes);
    //! The largest answer to a command that is read, in bytes (default 8 MiB).
    qint64 maximumAnswerSize() const;
    /*! Lets commands go to, and come from, programs of every user (default
        false: this process's user only). Any local user may then run the commands. */
    void setAllUsersAllowed(bool allowed);
    //! Whether commands go to, and come from, programs of every user.
    bool allUsersAllowed() const;
    //! Sets which launches share one instance; takes effect at the next start().
    void setScope(Scope scope);
    //! Which launches share one instance (default UserScope).
    Scope scope() const;

    //! The server this process serves with once it is the instance.
    TavrelServer *server() const;
    //! Answers the command \a name with \a command when this process is the instance.
    void registerCommand(const QString &name, TavrelServer::Command command);

    /*! Decides whether this process is the instance, from the event loop;
        decided() follows. Does nothing while this process serves. */
    void start();
    /*! Decides like start() and returns once decided, running a local event
        loop meanwhile (for main(), before the application's). Whether this
        process is the instance. */
    bool decide();

    //! What holds the port.
    Holder holder() const;
    //! Whether this process is the instance.
    bool isServing() const;
    //! The process id of the instance; 0 when not known.
    qint64 holderPid() const;
    //! The name the instance reports (its application name, spaces as '_').
    QString holderName() const;
    /*! The login name of the holder's user: the owner of its listening socket
        where the platform tells it (holderUid() is not -1), else the owner the
        instance reports. */
    QString holderOwner() const;
    //! The user id of the holder, from the kernel; -1 where the platform cannot tell.
    qint64 holderUid() const;
    /*! The port the holder serves on: port() in machine scope, the port the
        instance told in user and session scope; 0 when not known. */
    quint16 holderPort() const;
    //! What the latest failure was: of the decision, of a command or of forward().
    QString errorString() const;

    /*! Sends the command \a name with \a argument (none when empty) to the
        instance. Returns the command's id; commandAnswered() or commandFailed()
        follows with it, exactly once, from the event loop. */
    int sendCommand(const QString &name, const QString &argument = QString());
    /*! Sends like sendCommand() and waits for the outcome, running a local
        event loop. True with the answer in \a answer (when not null); false on
        a fault, with errorString() and errorCode(). */
    bool sendCommandAndWait(
        const QString &name, const QString &argument = QString(), QStringList *answer = nullptr);
    //! The fault code of the latest command, or forward(), that failed; 0 before any.
    int errorCode() const;

    /*! Hands this launch, with QCoreApplication::arguments(), to the instance
        and returns the exit status it finished the launch with; see
        forward(const QStringList &). */
    int forward();
    /*! Hands this launch, with \a arguments as its command line, to the
        instance of this user and waits, running a local event loop, until the
        instance has finished it or forwardDeadline() has passed. Prints the
        instance's texts for it on this process's standard output and standard
        error and returns its exit status.

        Undecided, it decides first, in the same exchange where the port's
        listener is this user's: then this process may become the instance
        instead, isServing() is true and it returns 0 without handing anything
        over. Decided, it hands the launch to holder() as a command would go.

        When the launch is not handed over or not finished in time (no
        instance of this user, one that takes no launches, the deadline), it
        prints why on standard error, sets errorString() and errorCode(), and
        returns ForwardFailed. */
    int forward(const QStringList &arguments);
    /*! Sets how long forward() waits for the instance to finish a launch,
        the decision included (0 or less: as long as it takes). */
    void setForwardDeadline(int milliseconds);
    //! How long forward() waits, in milliseconds (default 5000).
    int forwardDeadline() const;
    /*! Names the environment variables that forward() hands over with a
        launch, where this process has them (default: none). */
    void setForwardedEnvironment(const QStringList &names);
    //! The environment variables that forward() hands over.
    QStringList forwardedEnvironment() const;
    //! Sets what forward() hands over besides, a struct of XML-RPC values (empty: nothing).
    void setLaunchData(const QVariantMap &data);
    //! What forward() hands over besides.
    QVariantMap launchData() const;

Q_SIGNALS:
    //! The decision is made: \a holder holds the port. Emitted once per start().
    void decided(TavrelInstance::Holder holder);
    //! Serving: the command \a name came with \a argument; emitted before its handler runs.
    void commandReceived(const QString &name, const QString &argument);
    //! The command \a id was answered with \a answer.
    void commandAnswered(int id, const QStringList &answer);
    //! The command \a id failed with the fault \a code and \a message.
    void commandFailed(int id, int code, const QString &message);
    /*! Serving: a later launch of this user came with \a launch; it ends once
        finished, or once its last copy is gone (status 0). */
    void launchReceived(const TavrelLaunch &launch);

private:
    Q_DECLARE_PRIVATE(TavrelInstance)
    std::unique_ptr<TavrelInstancePrivate> d_ptr;
};

#endif
