// SPDX-License-Identifier: MIT
#include "quorfault.h"
#include "quorobject.h"

#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

namespace {

// The fault document, line by line, around the text of the faultCode and
// faultString values.
QString faultDocument(const QString &codeLine, const QString &stringLine)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodResponse>\n"
                          " <fault>\n"
                          "  <value>\n"
                          "   <struct>\n"
                          "    <member>\n"
                          "     <name>faultCode</name>\n"
                          "     <value>\n")
        + codeLine
        + QStringLiteral("     </value>\n"
                         "    </member>\n"
                         "    <member>\n"
                         "     <name>faultString</name>\n"
                         "     <value>\n")
        + stringLine
        + QStringLiteral("     </value>\n"
                         "    </member>\n"
                         "   </struct>\n"
                         "  </value>\n"
                         " </fault>\n"
                         "</methodResponse>\n");
}

} // namespace

class TestQuorFault : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void document_data();
    void document();
    void copy_data();
    void copy();
    void toStringIsRepeatable();
    void parsedAsFault_data();
    void parsedAsFault();
};

void TestQuorFault::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    qRegisterMetaType<QVariant>("QVariant&");
}

void TestQuorFault::document_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("document");

    QTest::addRow("transport error -32300")
        << -32300 << QStringLiteral("Connection refused")
        << faultDocument(QStringLiteral("      <int>-32300</int>\n"),
               QStringLiteral("      <string>Connection refused</string>\n"));
    QTest::addRow("code 0 and an empty string keep both members")
        << 0 << QString()
        << faultDocument(
               QStringLiteral("      <int>0</int>\n"), QStringLiteral("      <string></string>\n"));
    QTest::addRow("positive code and escaped markup")
        << 4 << QStringLiteral("a < b && \"c\" > d")
        << faultDocument(QStringLiteral("      <int>4</int>\n"),
               QStringLiteral("      <string>a &lt; b &amp;&amp; \"c\" > d</string>\n"));
}

void TestQuorFault::document()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, document);

    QuorFault fault(code, message, nullptr);
    const QString text = fault.toString();
    QCOMPARE(text, document);
    QCOMPARE(text.count(QLatin1Char('\n')), 21);
}

void TestQuorFault::copy_data()
{
    QTest::addColumn<bool>("withParent");

    QTest::addRow("with a parent") << true;
    QTest::addRow("without a parent") << false;
}

void TestQuorFault::copy()
{
    QFETCH(bool, withParent);

    QObject parent;
    QuorFault source(-32300, QStringLiteral("Host not found"), withParent ? &parent : nullptr);
    source.setObjectName(QStringLiteral("source"));
    QObject child(nullptr);
    child.setParent(&source);

    const QuorFault copy(source);
    QCOMPARE(copy.parent(), source.parent());
    QVERIFY(copy.objectName().isEmpty());
    QVERIFY(copy.children().isEmpty());
    QCOMPARE(const_cast<QuorFault &>(copy).toString(), source.toString());
}

void TestQuorFault::toStringIsRepeatable()
{
    QuorFault fault(7, QStringLiteral("Twice"), nullptr);
    const QString first = fault.toString();
    QCOMPARE(fault.toString(), first);
}

void TestQuorFault::parsedAsFault_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("received");

    QTest::addRow("transport error -32300")
        << -32300 << QStringLiteral("Connection refused") << QStringLiteral("Connection refused");
    QTest::addRow("code 0 and an empty string") << 0 << QString() << QString();
    QTest::addRow("markup and non-ASCII text")
        << 12 << QStringLiteral("<b>Gr\u00fc\u00dfe</b> & \u65e5\u672c")
        << QStringLiteral("<b>Gr\u00fc\u00dfe</b> & \u65e5\u672c");
    QTest::addRow("whitespace-only text comes back empty")
        << -1 << QStringLiteral("   ") << QString();
}

void TestQuorFault::parsedAsFault()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, received);

    const QString document = QuorFault(code, message, nullptr).toString();
    QPointer<QuorObject> object = new QuorObject;
    QSignalSpy responseSpy(object.data(), &QuorObject::aresponse);
    QSignalSpy faultSpy(object.data(), &QuorObject::fault);
    object->parseResponse(document, nullptr);

    QVERIFY(object.isNull());
    QCOMPARE(responseSpy.count(), 0);
    QCOMPARE(faultSpy.count(), 1);
    QCOMPARE(faultSpy.first().at(0).toInt(), code);
    QCOMPARE(faultSpy.first().at(1).toString(), received);
}

QTEST_GUILESS_MAIN(TestQuorFault)

#include "tst_quorfault.moc"
