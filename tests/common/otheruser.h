// SPDX-License-Identifier: MIT
#ifndef OTHERUSER_H
#define OTHERUSER_H

#include <QProcess>
#include <QString>
#include <QStringList>

// A second local user for tests of what another user may do, and programs
// run as that user. Made on first use when this process runs as root.
namespace OtherUser {

// The login name, "tavrel-other".
QString name();
// Its user id, creating the user when needed; -1, with why, when there can be none.
qint64 uid(QString *why);
// Starts python3 running script with arguments as the other user; the
// interpreter and the script must be readable by that user, so the script is
// given as text.
void startPython(QProcess &process, const QString &script, const QStringList &arguments);
// Starts program with arguments as the other user, in process's environment.
void start(QProcess &process, const QString &program, const QStringList &arguments);
// A python3 that every user may run; empty when there is none.
QString python();

} // namespace OtherUser

#endif
