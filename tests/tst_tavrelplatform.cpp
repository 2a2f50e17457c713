// SPDX-License-Identifier: MIT
#include "otheruser.h"
#include "tavrelplatform_p.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <unistd.h>

namespace {

const QString ListenScript = QStringLiteral(R"(
import socket, sys
family = socket.AF_INET6 if ':' in sys.argv[1] else socket.AF_INET
listener = socket.socket(family)
listener.bind((sys.argv[1], 0))
listener.listen(1)
print(listener.getsockname()[1], flush=True)
sys.stdin.read()
)");

bool hasIpv6Loopback()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHostIPv6, 0);
}

} // namespace

class tst_TavrelPlatform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void currentUser();
    void ownersOfThisProcess_data();
    void ownersOfThisProcess();
    void listenerOfAnotherUser_data();
    void listenerOfAnotherUser();
};

void tst_TavrelPlatform::currentUser()
{
    QCOMPARE(TavrelPlatform::effectiveUserId(), qint64(::geteuid()));
    QVERIFY(!TavrelPlatform::currentUserName().isEmpty());
    QCOMPARE(TavrelPlatform::userName(0), QStringLiteral("root"));
    QVERIFY(TavrelPlatform::tellsSocketOwners());
}

void tst_TavrelPlatform::ownersOfThisProcess_data()
{
    QTest::addColumn<QString>("boundAddress");
    QTest::addColumn<QString>("connectedAddress");
    QTest::addRow("IPv4 loopback") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
    QTest::addRow("IPv4, any address") << QStringLiteral("0.0.0.0") << QStringLiteral("127.0.0.1");
    QTest::addRow("IPv6 loopback") << QStringLiteral("::1") << QStringLiteral("::1");
}

// Both ends of a connection and its listener belong to this process's user,
// as netlink and /proc/net tell alike; a port nobody listens on has no owner.
void tst_TavrelPlatform::ownersOfThisProcess()
{
    QFETCH(QString, boundAddress);
    QFETCH(QString, connectedAddress);
    const QHostAddress bound(boundAddress);
    const QHostAddress connectedTo(connectedAddress);
    if (connectedTo.protocol() == QAbstractSocket::IPv6Protocol && !hasIpv6Loopback())
        QSKIP("no IPv6 loopback here");

    QTcpServer server;
    QVERIFY(server.listen(bound, 0));
    const quint16 port = server.serverPort();
    QTcpSocket client;
    client.connectToHost(connectedTo, port);
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(server.waitForNewConnection(5000));
    const qint64 me = TavrelPlatform::effectiveUserId();

    QCOMPARE(TavrelPlatform::listenerOwner(connectedTo, port), me);
    QCOMPARE(TavrelPlatform::procNetListenerOwner(connectedTo, port), me);
    const QHostAddress local = client.localAddress();
    QCOMPARE(TavrelPlatform::socketOwner(local, client.localPort(), connectedTo, port), me);
    QCOMPARE(TavrelPlatform::procNetSocketOwner(local, client.localPort(), connectedTo, port), me);
    // Swapped ends name the server's side, the wrong port no socket.
    QCOMPARE(TavrelPlatform::socketOwner(connectedTo, port, local, client.localPort()), me);
    QCOMPARE(TavrelPlatform::socketOwner(local, quint16(client.localPort() + 1), connectedTo, port),
        TavrelPlatform::NoSocket);

    server.close();
    QCOMPARE(TavrelPlatform::listenerOwner(connectedTo, port), TavrelPlatform::NoSocket);
    QCOMPARE(TavrelPlatform::procNetListenerOwner(connectedTo, port), TavrelPlatform::NoSocket);
}

void tst_TavrelPlatform::listenerOfAnotherUser_data()
{
    QTest::addColumn<QString>("address");
    QTest::addRow("IPv4") << QStringLiteral("127.0.0.1");
    QTest::addRow("IPv6") << QStringLiteral("::1");
}

// A socket of another user is that user's, not this process's.
void tst_TavrelPlatform::listenerOfAnotherUser()
{
    QFETCH(QString, address);
    QString why;
    const qint64 other = OtherUser::uid(&why);
    if (other < 0)
        QSKIP(qPrintable(why));
    if (address.contains(QLatin1Char(':')) && !hasIpv6Loopback())
        QSKIP("no IPv6 loopback here");

    QProcess listener;
    const auto stop = qScopeGuard([&listener] {
        listener.kill();
        listener.waitForFinished();
    });
    OtherUser::startPython(listener, ListenScript, {address});
    QVERIFY(listener.waitForReadyRead(10000));
    const quint16 port = quint16(listener.readLine().trimmed().toUInt());
    QVERIFY(port != 0);

    QTcpSocket client;
    client.connectToHost(QHostAddress(address), port);
    QVERIFY(client.waitForConnected(5000));
    QCOMPARE(TavrelPlatform::listenerOwner(QHostAddress(address), port), other);
    QCOMPARE(TavrelPlatform::procNetListenerOwner(QHostAddress(address), port), other);
    QCOMPARE(TavrelPlatform::userName(other), OtherUser::name());
    QCOMPARE(TavrelPlatform::socketOwner(
                 client.localAddress(), client.localPort(), QHostAddress(address), port),
        TavrelPlatform::effectiveUserId());
}

QTEST_GUILESS_MAIN(tst_TavrelPlatform)

#include "tst_tavrelplatform.moc"
