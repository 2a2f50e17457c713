// SPDX-License-Identifier: MIT
#include "otheruser.h"

#include <QFileInfo>

#include <unistd.h>

namespace OtherUser {

QString name()
{
    return QStringLiteral("tavrel-other");
}

namespace {

qint64 idOf(const char *option)
{
    QProcess id;
    id.start(QStringLiteral("id"), {QString::fromLatin1(option), name()});
    if (!id.waitForFinished(10000) || id.exitCode() != 0)
        return -1;
    bool isNumber = false;
    const qint64 value = id.readAllStandardOutput().trimmed().toLongLong(&isNumber);
    return isNumber ? value : -1;
}

} // namespace

qint64 uid(QString *why)
{
    if (::geteuid() != 0) {
        *why = QStringLiteral("needs root, to create a second user and run programs as it");
        return -1;
    }
    if (python().isEmpty()) {
        *why = QStringLiteral("needs a python3 that every user may run (/usr/bin/python3)");
        return -1;
    }
    qint64 id = idOf("-u");
    if (id < 0) {
        // A system user without home or login: enough to own sockets.
        QProcess::execute(QStringLiteral("useradd"),
            {QStringLiteral("-M"), QStringLiteral("-r"), QStringLiteral("-s"),
                QStringLiteral("/usr/sbin/nologin"), name()});
        id = idOf("-u");
    }
    if (id < 0)
        *why = QStringLiteral("could not create the user %1 with useradd").arg(name());
    return id;
}

QString python()
{
    const QFileInfo python(QStringLiteral("/usr/bin/python3"));
    return python.exists() && (python.permissions() & QFileDevice::ExeOther)
        ? python.absoluteFilePath()
        : QString();
}

void start(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.start(QStringLiteral("setpriv"),
        QStringList {QStringLiteral("--reuid=%1").arg(idOf("-u")),
            QStringLiteral("--regid=%1").arg(idOf("-g")), QStringLiteral("--clear-groups"), program}
            + arguments);
}

void startPython(QProcess &process, const QString &script, const QStringList &arguments)
{
    start(process, python(), QStringList {QStringLiteral("-c"), script} + arguments);
}

} // namespace OtherUser
