// SPDX-License-Identifier: MIT
#include "tavrelplatform_p.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QtEndian>

#if defined(Q_OS_UNIX)
#include <climits>
#include <pwd.h>
#include <unistd.h>
#endif

#if defined(Q_OS_LINUX)
#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace TavrelPlatform {

#if defined(Q_OS_UNIX)

qint64 effectiveUserId()
{
    return qint64(::geteuid());
}

QString userName(qint64 uid)
{
    if (uid < 0)
        return QString();
    // Large enough for any passwd entry glibc returns.
    QByteArray buffer(16384, '\0');
    passwd entry {};
    passwd *found = nullptr;
    if (::getpwuid_r(uid_t(uid), &entry, buffer.data(), size_t(buffer.size()), &found) == 0
        && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString currentUserName()
{
    // Every answer to "getAppInfo" and every launch tells it, and a passwd
    // lookup can read files or ask a directory service each time.
    thread_local qint64 cachedUid = -1;
    thread_local QString cachedName;
    const qint64 uid = effectiveUserId();
    if (uid != cachedUid) {
        cachedName = userName(uid);
        cachedUid = uid;
    }
    return cachedName;
}

QString workingDirectory()
{
    // Not through QDir: the first use of Qt's file engine costs a launch more
    // than the rest of its making.
    char path[PATH_MAX];
    if (::getcwd(path, sizeof path))
        return QFile::decodeName(path);
    return QDir::currentPath();
}

#else

qint64 effectiveUserId()
{
    return UnknownUser;
}

QString workingDirectory()
{
    return QDir::currentPath();
}

QString userName(qint64 uid)
{
    return uid < 0 ? QString() : QString::number(uid);
}

QString currentUserName()
{
    const QString user = qEnvironmentVariable("USERNAME");
    return user.isEmpty() ? QStringLiteral("unknown") : user;
}

#endif

#if defined(Q_OS_LINUX)

namespace {

// One TCP socket as the kernel lists it.
struct TcpSocket
{
    QHostAddress local;
    quint16 localPort = 0;
    QHostAddress remote;
    quint16 remotePort = 0;
    bool listening = false;
    qint64 uid = UnknownUser;
};

constexpr int TcpListenState = 10; // TCP_LISTEN of the kernel's TCP states

// An address in the kernel's layout: network byte order, IPv4 in the first word.
QHostAddress addressOf(int family, const void *bytes)
{
    if (family == AF_INET)
        return QHostAddress(qFromBigEndian<quint32>(bytes));
    return QHostAddress(static_cast<const quint8 *>(bytes));
}

void putAddress(const QHostAddress &address, __be32 *words)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        qToBigEndian<quint32>(address.toIPv4Address(), words);
    } else {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(words, bytes.c, sizeof bytes.c);
    }
}

int familyOf(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6;
}

TcpSocket fromDiag(const inet_diag_msg &message)
{
    TcpSocket socket;
    socket.local = addressOf(message.idiag_family, message.id.idiag_src);
    socket.localPort = qFromBigEndian(message.id.idiag_sport);
    socket.remote = addressOf(message.idiag_family, message.id.idiag_dst);
    socket.remotePort = qFromBigEndian(message.id.idiag_dport);
    socket.listening = message.idiag_state == TcpListenState;
    socket.uid = message.idiag_uid;
    return socket;
}

// Asks sock_diag netlink for the TCP sockets of one family: the one with the
// identity exact, or all listeners when exact is null. False when netlink
// cannot be used here.
bool diagQuery(int family, const inet_diag_sockid *exact, QList<TcpSocket> *found)
{
    const int descriptor = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (descriptor < 0)
        return false;
    const auto closeDescriptor = qScopeGuard([descriptor] { ::close(descriptor); });

    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message {};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | (exact ? 0 : NLM_F_DUMP);
    message.request.sdiag_family = quint8(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = exact ? ~0U : 1U << TcpListenState;
    if (exact)
        message.request.id = *exact;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(descriptor, &message, sizeof message, 0, reinterpret_cast<sockaddr *>(&kernel),
            sizeof kernel)
        < 0)
        return false;

    // A dump comes in parts of at most a page or so each.
    alignas(nlmsghdr) char buffer[32 * 1024];
    for (;;) {
        const ssize_t received = ::recv(descriptor, buffer, sizeof buffer, 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        int length = int(received);
        // The kernel's NLMSG_OK compares its unsigned length with the signed
        // one NLMSG_NEXT counts down.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
        for (auto *header = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
#pragma GCC diagnostic pop
            if (header->nlmsg_type == NLMSG_DONE)
                return true;
            if (header->nlmsg_type == NLMSG_ERROR) {
                // No socket of that identity is an answer too.
                const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
                return error->error == -ENOENT;
            }
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY
                && header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg)))
                found->append(fromDiag(*static_cast<const inet_diag_msg *>(NLMSG_DATA(header))));
        }
        if (exact) // one answer, without NLMSG_DONE
            return true;
    }
}

// An address of /proc/net/tcp{,6}: the kernel's bytes printed as 32-bit words
// in this machine's byte order.
QHostAddress procAddress(const QByteArray &hex)
{
    quint8 bytes[16] = {};
    const int words = hex.size() / 8;
    for (int i = 0; i < words && i < 4; ++i) {
        const quint32 word = hex.mid(i * 8, 8).toUInt(nullptr, 16);
        std::memcpy(bytes + i * 4, &word, 4);
    }
    return addressOf(words == 1 ? AF_INET : AF_INET6, bytes);
}

QList<TcpSocket> procNetSockets(int family)
{
    QFile file(
        family == AF_INET ? QStringLiteral("/proc/net/tcp") : QStringLiteral("/proc/net/tcp6"));
    QList<TcpSocket> sockets;
    if (!file.open(QIODevice::ReadOnly))
        return sockets;
    // Its size reads as 0, so it is read line by line.
    file.readLine(); // the column titles
    for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 8)
            continue;
        const QList<QByteArray> local = fields.at(1).split(':');
        const QList<QByteArray> remote = fields.at(2).split(':');
        if (local.size() != 2 || remote.size() != 2)
            continue;
        TcpSocket socket;
        socket.local = procAddress(local.at(0));
        socket.localPort = quint16(local.at(1).toUInt(nullptr, 16));
        socket.remote = procAddress(remote.at(0));
        socket.remotePort = quint16(remote.at(1).toUInt(nullptr, 16));
        socket.listening = fields.at(3).toInt(nullptr, 16) == TcpListenState;
        socket.uid = fields.at(7).toLongLong();
        sockets.append(socket);
    }
    return sockets;
}

bool isOpen()
{
    return QFile::exists(QStringLiteral("/proc/net/tcp"));
}

qint64 ownerAmong(const QList<TcpSocket> &sockets, const QHostAddress &local, quint16 localPort,
    const QHostAddress &remote, quint16 remotePort)
{
    for (const TcpSocket &socket : sockets) {
        if (!socket.listening && socket.localPort == localPort && socket.remotePort == remotePort
            && socket.local.isEqual(local, QHostAddress::StrictConversion)
            && socket.remote.isEqual(remote, QHostAddress::StrictConversion))
            return socket.uid;
    }
    return NoSocket;
}

// The listener that the kernel hands a connection to address:port: one bound
// to that very address before one bound to any address of its family, and an
// IPv6 one bound to any address (which may take IPv4 too) last. exact tells
// whether the one found is bound to that very address.
qint64 listenerAmong(const QList<TcpSocket> &sockets, const QHostAddress &address, quint16 port,
    bool *exact = nullptr)
{
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    const QHostAddress mapped
        = ipv4 ? QHostAddress(QStringLiteral("::ffff:") + address.toString()) : QHostAddress();
    int bestScore = 0;
    qint64 owner = NoSocket;
    for (const TcpSocket &socket : sockets) {
        if (!socket.listening || socket.localPort != port)
            continue;
        const bool sameFamily = socket.local.protocol() == address.protocol();
        int score = 0;
        if (socket.local.isEqual(address, QHostAddress::StrictConversion)
            || (!mapped.isNull() && socket.local.isEqual(mapped, QHostAddress::StrictConversion)))
            score = 3;
        else if (sameFamily
            && socket.local.isEqual(
                ipv4 ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QHostAddress::AnyIPv6),
                QHostAddress::StrictConversion))
            score = 2;
        else if (ipv4
            && socket.local.isEqual(
                QHostAddress(QHostAddress::AnyIPv6), QHostAddress::StrictConversion))
            score = 1;
        if (score > bestScore) {
            bestScore = score;
            owner = socket.uid;
        } else if (score > 0 && score == bestScore && socket.uid != owner) {
            owner = UnknownUser;
        }
    }
    if (exact)
        *exact = bestScore == 3;
    return owner;
}

QList<TcpSocket> procNetListeners()
{
    return procNetSockets(AF_INET) + procNetSockets(AF_INET6);
}

} // namespace

bool tellsSocketOwners()
{
    return true;
}

qint64 procNetSocketOwner(
    const QHostAddress &local, quint16 localPort, const QHostAddress &remote, quint16 remotePort)
{
    if (!isOpen())
        return UnknownUser;
    return ownerAmong(procNetSockets(familyOf(local)), local, localPort, remote, remotePort);
}

qint64 procNetListenerOwner(const QHostAddress &address, quint16 port)
{
    if (!isOpen())
        return UnknownUser;
    return listenerAmong(procNetListeners(), address, port);
}

qint64 socketOwner(
    const QHostAddress &local, quint16 localPort, const QHostAddress &remote, quint16 remotePort)
{
    inet_diag_sockid identity {};
    putAddress(local, identity.idiag_src);
    putAddress(remote, identity.idiag_dst);
    identity.idiag_sport = qToBigEndian(localPort);
    identity.idiag_dport = qToBigEndian(remotePort);
    QList<TcpSocket> found;
    if (!diagQuery(familyOf(local), &identity, &found))
        return procNetSocketOwner(local, localPort, remote, remotePort);
    // The kernel may answer with a listener when no connection matches.
    return ownerAmong(found, local, localPort, remote, remotePort);
}

qint64 listenerOwner(const QHostAddress &address, quint16 port)
{
    QList<TcpSocket> listeners;
    if (!diagQuery(AF_INET, nullptr, &listeners))
        return procNetListenerOwner(address, port);
    // The kernel lets no second listener bind an IPv4 address that one holds,
    // not even through its IPv6 form, unless both share a port of one user:
    // the IPv6 listeners cannot change the answer then, and the launch
    // spares itself their query.
    bool exact = false;
    const qint64 owner = listenerAmong(listeners, address, port, &exact);
    if (exact && address.protocol() == QAbstractSocket::IPv4Protocol)
        return owner;
    if (!diagQuery(AF_INET6, nullptr, &listeners))
        return procNetListenerOwner(address, port);
    return listenerAmong(listeners, address, port);
}

#else

bool tellsSocketOwners()
{
    return false;
}

qint64 socketOwner(const QHostAddress &, quint16, const QHostAddress &, quint16)
{
    return UnknownUser;
}

qint64 listenerOwner(const QHostAddress &, quint16)
{
    return UnknownUser;
}

#endif

} // namespace TavrelPlatform
