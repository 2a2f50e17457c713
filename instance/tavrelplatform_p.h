// SPDX-License-Identifier: MIT
#ifndef TAVRELPLATFORM_P_H
#define TAVRELPLATFORM_P_H

#include <QHostAddress>
#include <QString>

// What the operating system tells about users and about the owners of TCP
// sockets on this machine. Each question is one function, and everything that
// depends on the platform stays in this file's source. Where the platform
// cannot answer, the answer says so (UnknownUser) rather than guess.
namespace TavrelPlatform {

// User ids are numbers from 0 up; these two are no user.
constexpr qint64 UnknownUser = -1; // the platform cannot tell
constexpr qint64 NoSocket = -2; // the platform tells that no such socket exists

// Whether socketOwner() and listenerOwner() can answer here (on Linux).
bool tellsSocketOwners();

// The effective user id of this process; UnknownUser where the platform has none.
qint64 effectiveUserId();

// The login name of the user running this process, never empty.
QString currentUserName();

// The login name of the user uid; the number as text when it has none.
QString userName(qint64 uid);

// The working directory of this process, as QDir::currentPath() tells it.
QString workingDirectory();

// The owner of the TCP socket bound to local:localPort and connected to
// remote:remotePort, found by the kernel from these four: the user id,
// NoSocket or UnknownUser.
qint64 socketOwner(
    const QHostAddress &local, quint16 localPort, const QHostAddress &remote, quint16 remotePort);

// The owner of the socket listening on port that takes connections made to
// address, a loopback address: the user id, NoSocket or UnknownUser (also when
// two listeners of different users could take them).
qint64 listenerOwner(const QHostAddress &address, quint16 port);

#ifdef Q_OS_LINUX
// The same two answers read from /proc/net/tcp and /proc/net/tcp6, which
// socketOwner() and listenerOwner() fall back on when sock_diag netlink is
// missing; here for tests to compare with.
qint64 procNetSocketOwner(
    const QHostAddress &local, quint16 localPort, const QHostAddress &remote, quint16 remotePort);
qint64 procNetListenerOwner(const QHostAddress &address, quint16 port);
#endif

} // namespace TavrelPlatform

#endif
