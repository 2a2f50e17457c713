// SPDX-License-Identifier: MIT
#ifndef TAVRELRENDEZVOUS_P_H
#define TAVRELRENDEZVOUS_P_H

#include <QString>

/*
    Where the launches of one user (or of one login session of a user) meet
    when the instance's port is not fixed for the machine: a directory only
    that user can write, and in it, per application port, two files.

    NAME.lock is held locked (flock) by the instance for as long as it serves
    and holds its port as text; the kernel drops the lock when the process
    ends, however it ends, so a lock that can be taken is never stale, and a
    killed instance's port is never read. NAME.door is locked by every launch
    for the moment it takes to look: a launch that takes the instance lock
    keeps the door shut until it has published its port, so whoever reads the
    port behind the door reads the current instance's.

    The directory is $XDG_RUNTIME_DIR/tavrel, else QDir::tempPath()/tavrel-UID;
    each is trusted only when it is a directory (no symlink) owned by this
    user that no other user may write, and each file only when it is a
    regular file of this user. On Linux the name holds the network namespace,
    as a port means something only on the loopback it was taken on.

    Not thread-safe; one object per TavrelInstance. Unix only: elsewhere
    isSupported() is false and nothing is ever entered.
*/
class TavrelRendezvous
{
public:
    enum Result {
        Claimed, // this process holds the instance lock; publish() or abandon() next
        Held, // another live process holds it; publishedPort() is its port
        Failed, // no trustworthy place, or the door stayed shut; see errorString()
    };

    TavrelRendezvous() = default;
    ~TavrelRendezvous();
    Q_DISABLE_COPY(TavrelRendezvous)

    static bool isSupported();
    // The name of the rendezvous of port: per user, or per login session too.
    static QString nameFor(quint16 port, bool perSession);
    // The session this process belongs to: XDG_SESSION_ID, the kernel's audit
    // session, or the display; empty when none is known.
    static QString sessionKey();

    // Looks whether an instance holds name, and claims it when none does;
    // waits for the door at most timeoutMs.
    Result enter(const QString &name, int timeoutMs);
    // Tells later launches the port this instance serves on, and opens the door.
    void publish(quint16 port);
    // Gives up the claim or the held rendezvous: the port is no longer told.
    void abandon();

    quint16 publishedPort() const { return m_publishedPort; }
    // The directory used by the latest enter().
    QString directory() const { return m_directory; }
    QString errorString() const { return m_errorString; }

private:
    int openDirectory();
    void closeDoor();

    int m_lock = -1;
    int m_door = -1;
    quint16 m_publishedPort = 0;
    QString m_directory;
    QString m_errorString;
};

#endif
