// SPDX-License-Identifier: MIT
#include "tavrelrendezvous_p.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QUrl>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A launch that finds the door shut waits for a launch that is between
// taking the instance lock and publishing its port: a listen() and a short
// write, well under a millisecond. Polling this often costs nothing then.
constexpr int DoorPollMs = 2;

// Session keys come from the environment; a file name holds at most 255 bytes.
constexpr int MaximumSessionKeyLength = 64;

} // namespace

#if defined(Q_OS_UNIX)

namespace {

QString systemError(const QString &what)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// Whether an open directory is one only this user may change.
bool isPrivateDirectory(int fd, mode_t forbidden, const QString &path, QString *why)
{
    struct stat status
    { };
    if (::fstat(fd, &status) != 0) {
        *why = systemError(path);
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()
        || (status.st_mode & forbidden) != 0) {
        *why = QStringLiteral("%1 is not a directory of this user closed to others").arg(path);
        return false;
    }
    return true;
}

// Opens path as a directory without following a symlink in its last part.
int openDirectoryAt(const QString &path)
{
    return ::open(
        QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The directory path/name, made when missing, open; -1 with why when it is
// not this user's alone.
int privateSubdirectory(const QString &parent, const QString &name, QString *why)
{
    const QString path = parent + QLatin1Char('/') + name;
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
        *why = systemError(path);
        return -1;
    }
    const int fd = openDirectoryAt(path);
    if (fd < 0) {
        *why = systemError(path);
        return -1;
    }
    if (!isPrivateDirectory(fd, S_IRWXG | S_IRWXO, path, why)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A regular file of this user in directory, made when missing; -1 with why otherwise.
int openOwnFile(int directory, const QString &name, QString *why)
{
    const int fd = ::openat(directory, QFile::encodeName(name).constData(),
        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = systemError(name);
        return -1;
    }
    struct stat status
    { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        *why = QStringLiteral("%1 is not a regular file of this user").arg(name);
        ::close(fd);
        return -1;
    }
    return fd;
}

QString networkNamespace()
{
#if defined(Q_OS_LINUX)
    // "net:[4026531840]"; read with readlink(), as QFile::symLinkTarget()
    // would resolve it as a path.
    char target[64] = {};
    const ssize_t length = ::readlink("/proc/self/ns/net", target, sizeof target - 1);
    const QString link = QString::fromLatin1(target, int(qMax<ssize_t>(length, 0)));
    const int from = link.indexOf(QLatin1Char('['));
    const int to = link.indexOf(QLatin1Char(']'));
    if (from >= 0 && to > from)
        return link.mid(from + 1, to - from - 1);
#endif
    return QString();
}

} // namespace

bool TavrelRendezvous::isSupported()
{
    return true;
}

TavrelRendezvous::~TavrelRendezvous()
{
    abandon();
}

QString TavrelRendezvous::sessionKey()
{
    QString key = qEnvironmentVariable("XDG_SESSION_ID");
    if (key.isEmpty()) {
        QFile audit(QStringLiteral("/proc/self/sessionid"));
        // The kernel's "no session" is (unsigned) -1.
        if (audit.open(QIODevice::ReadOnly)) {
            const QByteArray id = audit.readAll().trimmed();
            if (!id.isEmpty() && id != "4294967295")
                key = QStringLiteral("audit-") + QString::fromLatin1(id);
        }
    }
    if (key.isEmpty() && !qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty())
        key = QStringLiteral("wayland-") + qEnvironmentVariable("WAYLAND_DISPLAY");
    if (key.isEmpty() && !qEnvironmentVariable("DISPLAY").isEmpty())
        key = QStringLiteral("x11-") + qEnvironmentVariable("DISPLAY");
    return QString::fromLatin1(QUrl::toPercentEncoding(key.left(MaximumSessionKeyLength)));
}

QString TavrelRendezvous::nameFor(quint16 port, bool perSession)
{
    // QString::number, not arg(): arg() sets up the locale, which no launch needs.
    QString name = QLatin1String("port-") + QString::number(port);
    const QString session = perSession ? sessionKey() : QString();
    if (!session.isEmpty())
        name += QStringLiteral("-session-") + session;
    const QString network = networkNamespace();
    if (!network.isEmpty())
        name += QStringLiteral("-net-") + network;
    return name;
}

int TavrelRendezvous::openDirectory()
{
    QStringList reasons;
    QString why;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.startsWith(QLatin1Char('/'))) {
        const int parent = openDirectoryAt(runtime);
        if (parent < 0) {
            reasons.append(systemError(runtime));
        } else {
            // The base directory's own mode is 0700 by its definition; one
            // that others may write is no place of this user's.
            const bool trusted = isPrivateDirectory(parent, S_IWGRP | S_IWOTH, runtime, &why);
            ::close(parent);
            if (trusted) {
                const int fd = privateSubdirectory(runtime, QStringLiteral("tavrel"), &why);
                if (fd >= 0) {
                    m_directory = runtime + QStringLiteral("/tavrel");
                    return fd;
                }
            }
            reasons.append(why);
        }
    }
    // Another user can take this name in the shared temporary directory
    // first; then it is refused below, and the caller serves without a rendezvous.
    const QString name = QLatin1String("tavrel-") + QString::number(::geteuid());
    const QString temporary = QDir::tempPath();
    const int fd = privateSubdirectory(temporary, name, &why);
    if (fd >= 0) {
        m_directory = temporary + QLatin1Char('/') + name;
        return fd;
    }
    reasons.append(why);
    m_errorString = QStringLiteral("no private directory for the instance's rendezvous: ")
        + reasons.join(QStringLiteral("; "));
    return -1;
}

TavrelRendezvous::Result TavrelRendezvous::enter(const QString &name, int timeoutMs)
{
    abandon();
    m_publishedPort = 0;
    m_directory.clear();
    const int directory = openDirectory();
    if (directory < 0)
        return Failed;
    QString why;
    const int door = openOwnFile(directory, name + QStringLiteral(".door"), &why);
    const int lock = door < 0 ? -1 : openOwnFile(directory, name + QStringLiteral(".lock"), &why);
    ::close(directory);
    if (lock < 0) {
        if (door >= 0)
            ::close(door);
        m_errorString = QStringLiteral("%1: %2").arg(m_directory, why);
        return Failed;
    }

    const QDeadlineTimer deadline(timeoutMs);
    while (::flock(door, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            m_errorString = systemError(m_directory + QLatin1Char('/') + name);
            ::close(door);
            ::close(lock);
            return Failed;
        }
        if (deadline.hasExpired()) {
            m_errorString = QStringLiteral("another launch kept %1/%2 shut for %3 ms")
                                .arg(m_directory, name)
                                .arg(timeoutMs);
            ::close(door);
            ::close(lock);
            return Failed;
        }
        QThread::msleep(DoorPollMs);
    }
    m_door = door;

    if (::flock(lock, LOCK_EX | LOCK_NB) == 0) {
        // Whatever a killed instance left is no one's port now.
        if (::ftruncate(lock, 0) != 0) {
            m_errorString = systemError(name);
            ::close(lock);
            closeDoor();
            return Failed;
        }
        m_lock = lock;
        return Claimed;
    }
    // Behind the door the holder has published; an empty or garbled text is
    // an instance that is just giving up, which the caller tries again.
    char text[16] = {};
    const ssize_t size = ::pread(lock, text, sizeof text - 1, 0);
    ::close(lock);
    closeDoor();
    bool isNumber = false;
    const uint port = size > 0 ? QByteArray(text, int(size)).trimmed().toUInt(&isNumber) : 0;
    m_publishedPort = isNumber && port <= 65535 ? quint16(port) : 0;
    return Held;
}

void TavrelRendezvous::publish(quint16 port)
{
    if (m_lock < 0)
        return;
    const QByteArray text = QByteArray::number(port) + '\n';
    if (::pwrite(m_lock, text.constData(), size_t(text.size()), 0) != text.size())
        m_errorString = systemError(QStringLiteral("publishing the port"));
    m_publishedPort = port;
    closeDoor();
}

void TavrelRendezvous::abandon()
{
    if (m_lock >= 0) {
        // A launch that reads between these two sees no port and tries again.
        if (::ftruncate(m_lock, 0) != 0)
            m_errorString = systemError(QStringLiteral("withdrawing the port"));
        ::close(m_lock);
        m_lock = -1;
    }
    closeDoor();
}

void TavrelRendezvous::closeDoor()
{
    if (m_door >= 0) {
        ::close(m_door);
        m_door = -1;
    }
}

#else

bool TavrelRendezvous::isSupported()
{
    return false;
}

TavrelRendezvous::~TavrelRendezvous() = default;

QString TavrelRendezvous::sessionKey()
{
    return QString();
}

QString TavrelRendezvous::nameFor(quint16 port, bool)
{
    return QStringLiteral("port-%1").arg(port);
}

TavrelRendezvous::Result TavrelRendezvous::enter(const QString &, int)
{
    m_errorString = QStringLiteral("no rendezvous on this platform");
    return Failed;
}

void TavrelRendezvous::publish(quint16) { }

void TavrelRendezvous::abandon() { }

void TavrelRendezvous::closeDoor() { }

int TavrelRendezvous::openDirectory()
{
    return -1;
}

#endif
