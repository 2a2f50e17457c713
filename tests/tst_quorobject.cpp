// SPDX-License-Identifier: MIT
#include "describevalue.h"
#include "parseoutcome.h"
#include "quorfault.h"
#include "quorobject.h"

#include <QDateTime>
#include <QDomDocument>
#include <QDomImplementation>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTextStream>
#include <QUrl>

namespace {

// Collects every message that reaches Qt's message handler while it lives, so
// that the codec's debug messages can be compared byte for byte.
class MessageCatcher
{
public:
    struct Message
    {
        QtMsgType type;
        QString text;
    };

    MessageCatcher()
    {
        s_messages.clear();
        m_previous = qInstallMessageHandler(&MessageCatcher::handle);
    }
    ~MessageCatcher() { qInstallMessageHandler(m_previous); }

    QList<Message> messages() const { return s_messages; }
    QStringList texts() const
    {
        QStringList result;
        for (const Message &message : qAsConst(s_messages))
            result.append(message.text);
        return result;
    }

private:
    Q_DISABLE_COPY(MessageCatcher)

    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        s_messages.append({type, text});
    }

    static inline QList<Message> s_messages;
    QtMessageHandler m_previous = nullptr;
};

// The element as one line of XML, or an empty text for a null element.
QString compactText(const QDomNode &node)
{
    QString text;
    QTextStream stream(&text);
    node.save(stream, -1);
    stream.flush();
    return text;
}

// Wraps depth arrays or structs around innermost; a struct level has the one
// member "level".
QVariant nested(const QString &kind, int depth, const QVariant &innermost)
{
    QVariant value = innermost;
    for (int level = 0; level < depth; ++level) {
        if (kind == QLatin1String("array"))
            value = QVariantList {value};
        else
            value = QVariantMap {{QStringLiteral("level"), value}};
    }
    return value;
}

// The same nesting as XML text, around the value element innermost.
QString nestedText(const QString &kind, int depth, const QString &innermost)
{
    const bool array = kind == QLatin1String("array");
    const QString open = array ? QStringLiteral("<value><array><data>")
                               : QStringLiteral("<value><struct><member><name>level</name>");
    const QString close = array ? QStringLiteral("</data></array></value>")
                                : QStringLiteral("</member></struct></value>");
    return open.repeated(depth) + innermost + close.repeated(depth);
}

QString responseText(const QString &valueText)
{
    return QStringLiteral("<?xml version=\"1.0\"?><methodResponse><params><param>") + valueText
        + QStringLiteral("</param></params></methodResponse>");
}

// Never dereferenced: parseResponse() only hands the pointer on.
QNetworkReply *const dummyReply = reinterpret_cast<QNetworkReply *>(quintptr(0x5a5a5a50));

const QDateTime july17 = QDateTime(QDate(1998, 7, 17), QTime(14, 8, 55));

const QString notWellFormed = QStringLiteral("parse error: response not well formed at line ");
const QString notConforming
    = QStringLiteral("parse error: invalid xml-rpc. not conforming to spec.");

} // namespace

class TestQuorObject : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void callDocument_data();
    void callDocument();
    void responseDocument_data();
    void responseDocument();
    void invalidCharactersAreDropped();

    void writeValue_data();
    void writeValue();
    void readValue_data();
    void readValue();
    void debugMessages_data();
    void debugMessages();

    void parseResponse_data();
    void parseResponse();

    void deepResponseIsRefused_data();
    void deepResponseIsRefused();
    void unparsableReferenceIsRefused_data();
    void unparsableReferenceIsRefused();
    void elementNestingBound_data();
    void elementNestingBound();
    void valueNesting_data();
    void valueNesting();
    void readBeyondValueNesting_data();
    void readBeyondValueNesting();

    void writtenElementStandsAlone_data();
    void writtenElementStandsAlone();
};

void TestQuorObject::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    // Lets QSignalSpy record aresponse(), whose value is passed as QVariant&.
    qRegisterMetaType<QVariant>("QVariant&");
}

void TestQuorObject::callDocument_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("parameters");
    QTest::addColumn<QString>("document");

    QTest::addRow("getAppInfo without parameters is five lines")
        << QStringLiteral("getAppInfo") << QVariantList()
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodCall>\n"
                          " <methodName>getAppInfo</methodName>\n"
                          " <params/>\n"
                          "</methodCall>\n");
    QTest::addRow("one int parameter")
        << QStringLiteral("add") << QVariantList {7}
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodCall>\n"
                          " <methodName>add</methodName>\n"
                          " <params>\n"
                          "  <param>\n"
                          "   <value>\n"
                          "    <int>7</int>\n"
                          "   </value>\n"
                          "  </param>\n"
                          " </params>\n"
                          "</methodCall>\n");
    QTest::addRow("string and array parameters in order")
        << QStringLiteral("echo") << QVariantList {QStringLiteral("hi"), QVariantList {1, true}}
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodCall>\n"
                          " <methodName>echo</methodName>\n"
                          " <params>\n"
                          "  <param>\n"
                          "   <value>\n"
                          "    <string>hi</string>\n"
                          "   </value>\n"
                          "  </param>\n"
                          "  <param>\n"
                          "   <value>\n"
                          "    <array>\n"
                          "     <data>\n"
                          "      <value>\n"
                          "       <int>1</int>\n"
                          "      </value>\n"
                          "      <value>\n"
                          "       <boolean>1</boolean>\n"
                          "      </value>\n"
                          "     </data>\n"
                          "    </array>\n"
                          "   </value>\n"
                          "  </param>\n"
                          " </params>\n"
                          "</methodCall>\n");
    QTest::addRow("unwritable parameter leaves its param empty")
        << QStringLiteral("set") << QVariantList {QDate(2020, 1, 2), QString()}
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodCall>\n"
                          " <methodName>set</methodName>\n"
                          " <params>\n"
                          "  <param/>\n"
                          "  <param>\n"
                          "   <value>\n"
                          "    <string></string>\n"
                          "   </value>\n"
                          "  </param>\n"
                          " </params>\n"
                          "</methodCall>\n");
    QTest::addRow("markup in the method name is escaped")
        << QStringLiteral("a<b&c>d") << QVariantList()
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodCall>\n"
                          " <methodName>a&lt;b&amp;c>d</methodName>\n"
                          " <params/>\n"
                          "</methodCall>\n");
    QTest::addRow("empty method name")
        << QString() << QVariantList()
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodCall>\n"
                          " <methodName></methodName>\n"
                          " <params/>\n"
                          "</methodCall>\n");
}

void TestQuorObject::callDocument()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, parameters);
    QFETCH(QString, document);

    MessageCatcher catcher;
    QuorObject object;
    QCOMPARE(object.prepareCall(method, parameters), document);
}

void TestQuorObject::responseDocument_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("document");

    const QString emptyParams = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                               "<methodResponse>\n"
                                               " <params/>\n"
                                               "</methodResponse>\n");
    QTest::addRow("invalid value gives empty params") << QVariant() << emptyParams;
    QTest::addRow("null string gives empty params") << QVariant(QString()) << emptyParams;
    QTest::addRow("empty string is written")
        << QVariant(QStringLiteral(""))
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodResponse>\n"
                          " <params>\n"
                          "  <param>\n"
                          "   <value>\n"
                          "    <string></string>\n"
                          "   </value>\n"
                          "  </param>\n"
                          " </params>\n"
                          "</methodResponse>\n");
    QTest::addRow("struct value") << QVariant(QVariantMap {{QStringLiteral("pid"), 42}})
                                  << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                    "<methodResponse>\n"
                                                    " <params>\n"
                                                    "  <param>\n"
                                                    "   <value>\n"
                                                    "    <struct>\n"
                                                    "     <member>\n"
                                                    "      <name>pid</name>\n"
                                                    "      <value>\n"
                                                    "       <int>42</int>\n"
                                                    "      </value>\n"
                                                    "     </member>\n"
                                                    "    </struct>\n"
                                                    "   </value>\n"
                                                    "  </param>\n"
                                                    " </params>\n"
                                                    "</methodResponse>\n");
    QTest::addRow("unwritable value leaves its param empty")
        << QVariant(QDate(2020, 1, 2))
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<methodResponse>\n"
                          " <params>\n"
                          "  <param/>\n"
                          " </params>\n"
                          "</methodResponse>\n");
}

void TestQuorObject::responseDocument()
{
    QFETCH(QVariant, value);
    QFETCH(QString, document);

    MessageCatcher catcher;
    QCOMPARE(QuorObject::prepareResponse(value), document);
}

void TestQuorObject::invalidCharactersAreDropped()
{
    // Every construction applies the policy again, whatever was set before.
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::AcceptInvalidChars);
    QuorObject object;
    QCOMPARE(QDomImplementation::invalidDataPolicy(), QDomImplementation::DropInvalidChars);

    const QChar control(0x01);
    const QString call
        = object.prepareCall(QStringLiteral("get") + control + QStringLiteral("Info"),
            {QStringLiteral("a") + control + QStringLiteral("b"),
                QVariantMap {{QStringLiteral("k") + control + QStringLiteral("ey"), 1}}});
    QVERIFY2(!call.contains(control), qPrintable(call));
    QVERIFY2(call.contains(QStringLiteral("<methodName>getInfo</methodName>")), qPrintable(call));
    QVERIFY2(call.contains(QStringLiteral("<string>ab</string>")), qPrintable(call));
    QVERIFY2(call.contains(QStringLiteral("<name>key</name>")), qPrintable(call));
}

void TestQuorObject::writeValue_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QStringList>("messages");

    const auto refused = [](const char *typeName) {
        return QStringList {QStringLiteral("Failed to marshal unknown variant type:  QVariant::")
            + QLatin1String(typeName) + QStringLiteral(" \n")};
    };

    QTest::addRow("true is 1") << QVariant(true)
                               << QStringLiteral("<value><boolean>1</boolean></value>")
                               << QStringList();
    QTest::addRow("false is 0") << QVariant(false)
                                << QStringLiteral("<value><boolean>0</boolean></value>")
                                << QStringList();
    QTest::addRow("negative int") << QVariant(-7) << QStringLiteral("<value><int>-7</int></value>")
                                  << QStringList();
    QTest::addRow("double needing more than six digits is written exactly")
        << QVariant(3.14159265) << QStringLiteral("<value><double>3.14159265</double></value>")
        << QStringList();
    QTest::addRow("double exact in six digits keeps its short text")
        << QVariant(0.1) << QStringLiteral("<value><double>0.1</double></value>") << QStringList();
    QTest::addRow("large double in exponent notation")
        << QVariant(1.5e20) << QStringLiteral("<value><double>1.5e+20</double></value>")
        << QStringList();
    QTest::addRow("small double in exponent notation")
        << QVariant(0.0000123) << QStringLiteral("<value><double>1.23e-05</double></value>")
        << QStringList();
    QTest::addRow("empty string keeps its text node")
        << QVariant(QStringLiteral("")) << QStringLiteral("<value><string></string></value>")
        << QStringList();
    QTest::addRow("markup in a string is escaped")
        << QVariant(QStringLiteral("<a href=\"x\">&</a>"))
        << QStringLiteral("<value><string>&lt;a href=\"x\">&amp;&lt;/a></string></value>")
        << QStringList();
    QTest::addRow("byte array as base64")
        << QVariant(QByteArrayLiteral("hello"))
        << QStringLiteral("<value><base64>aGVsbG8=</base64></value>") << QStringList();
    QTest::addRow("date-time without milliseconds")
        << QVariant(july17.addMSecs(123))
        << QStringLiteral("<value><dateTime.iso8601>19980717T14:08:55</dateTime.iso8601></value>")
        << QStringList();
    QTest::addRow("invalid date-time has an empty text")
        << QVariant(QDateTime())
        << QStringLiteral("<value><dateTime.iso8601></dateTime.iso8601></value>") << QStringList();
    QTest::addRow("empty list") << QVariant(QVariantList())
                                << QStringLiteral("<value><array><data/></array></value>")
                                << QStringList();
    QTest::addRow("empty map") << QVariant(QVariantMap())
                               << QStringLiteral("<value><struct/></value>") << QStringList();
    QTest::addRow("list items in order")
        << QVariant(QVariantList {1, QStringLiteral("a")})
        << QStringLiteral("<value><array><data><value><int>1</int></value>"
                          "<value><string>a</string></value></data></array></value>")
        << QStringList();
    QTest::addRow("map members in key order A a b")
        << QVariant(QVariantMap {
               {QStringLiteral("b"), 1}, {QStringLiteral("A"), 2}, {QStringLiteral("a"), 3}})
        << QStringLiteral("<value><struct>"
                          "<member><name>A</name><value><int>2</int></value></member>"
                          "<member><name>a</name><value><int>3</int></value></member>"
                          "<member><name>b</name><value><int>1</int></value></member>"
                          "</struct></value>")
        << QStringList();
    QTest::addRow("list nested in a map")
        << QVariant(QVariantMap {{QStringLiteral("l"), QVariantList {false}}})
        << QStringLiteral("<value><struct><member><name>l</name><value><array><data>"
                          "<value><boolean>0</boolean></value>"
                          "</data></array></value></member></struct></value>")
        << QStringList();
    QTest::addRow("list drops an unwritable string list item")
        << QVariant(QVariantList {5, QStringList {QStringLiteral("x")}})
        << QStringLiteral("<value><array><data><value><int>5</int></value></data></array></value>")
        << refused("QStringList");
    QTest::addRow("map entry with uint keeps its name and no value")
        << QVariant(QVariantMap {{QStringLiteral("n"), 5u}})
        << QStringLiteral("<value><struct><member><name>n</name></member></struct></value>")
        << refused("uint");
    QTest::addRow("invalid variant is refused") << QVariant() << QString() << refused("Invalid");
    QTest::addRow("date is refused")
        << QVariant(QDate(1998, 7, 17)) << QString() << refused("QDate");
    QTest::addRow("long long is refused")
        << QVariant(qlonglong(1)) << QString() << refused("qlonglong");
    QTest::addRow("url is refused")
        << QVariant(QUrl(QStringLiteral("http://localhost/"))) << QString() << refused("QUrl");
}

void TestQuorObject::writeValue()
{
    QFETCH(QVariant, value);
    QFETCH(QString, xml);
    QFETCH(QStringList, messages);

    MessageCatcher catcher;
    const QDomElement element = QuorObject::toXml(value);
    QCOMPARE(element.isNull(), xml.isEmpty());
    QVERIFY(element.parentNode().isNull());
    QCOMPARE(compactText(element), xml);
    QCOMPARE(catcher.texts(), messages);
}

void TestQuorObject::readValue_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QStringList>("messages");

    const auto row = [](const char *name, const char *xml, const QVariant &expected,
                         const QStringList &messages = QStringList()) {
        QTest::addRow("%s", name) << QString::fromUtf8(xml) << expected << messages;
    };

    row("VALUE and I4 in capitals", "<VALUE><I4>12</I4></VALUE>", 12);
    row("i4", "<value><i4>-7</i4></value>", -7);
    row("int", "<value><int>-7</int></value>", -7);
    row("int that is not a number is 0", "<value><int>abc</int></value>", 0);
    row("int beyond 32 bits is a qlonglong", "<value><int>1099511627776</int></value>",
        QVariant(qlonglong(1099511627776)));
    row("i4 below 32 bits is a qlonglong", "<value><i4>-2147483649</i4></value>",
        QVariant(qlonglong(-2147483649LL)));
    row("int beyond 64 bits is 0", "<value><int>9223372036854775808</int></value>", 0);
    row("double", "<value><double>3.14159</double></value>", 3.14159);
    row("double in exponent notation", "<value><double>1.5e+20</double></value>", 1.5e20);
    row("double that is not a number is 0", "<value><double>pi</double></value>", 0.0);
    row("untyped text is a string", "<value>abc</value>", QStringLiteral("abc"));
    row("empty value is an empty string", "<value/>", QStringLiteral(""));
    row("comment before a type element reads as text", "<value><!--x--><int>5</int></value>",
        QStringLiteral("5"));
    row("text before a type element reads as all text", "<value>ab<int>5</int></value>",
        QStringLiteral("ab5"));
    row("indentation before the type element", "<value>\n  <int>5</int>\n</value>", 5);
    row("string", "<value><string>a &lt; b</string></value>", QStringLiteral("a < b"));
    row("whitespace-only string arrives empty", "<value><string> </string></value>",
        QStringLiteral(""));
    row("boolean TRUE", "<value><boolean>TRUE</boolean></value>", true);
    row("boolean True", "<value><boolean>True</boolean></value>", true);
    row("boolean 1", "<value><boolean>1</boolean></value>", true);
    row("boolean yes is false", "<value><boolean>yes</boolean></value>", false);
    row("boolean 0", "<value><boolean>0</boolean></value>", false);
    row("empty boolean is false", "<value><boolean/></value>", false);
    row("boolean 1 after a space is false", "<value><boolean> 1</boolean></value>", false);
    row("base64", "<value><base64>aGVsbG8=</base64></value>", QByteArrayLiteral("hello"));
    row("base64 with line breaks", "<value><base64>aGVs\nbG8=\n</base64></value>",
        QByteArrayLiteral("hello"));
    row("dateTime.iso8601", "<value><dateTime.iso8601>19980717T14:08:55</dateTime.iso8601></value>",
        july17);
    row("DATETIME.ISO8601", "<value><DATETIME.ISO8601>19980717T14:08:55</DATETIME.ISO8601></value>",
        july17);
    row("datetime.iso8601", "<value><datetime.iso8601>19980717T14:08:55</datetime.iso8601></value>",
        july17);
    row("datetime", "<value><datetime>19980717T14:08:55</datetime></value>", july17);
    row("DateTime", "<value><DateTime>19980717T14:08:55</DateTime></value>", july17);
    const auto dateRow = [&row](const char *name, const char *text, const QVariant &expected) {
        const QByteArray xml
            = QByteArray("<value><dateTime.iso8601>") + text + "</dateTime.iso8601></value>";
        row(name, xml.constData(), expected);
    };
    dateRow("date-time extended", "1998-07-17T14:08:55", july17);
    dateRow("date-time all basic", "19980717T140855", july17);
    dateRow("date-time with a fraction", "19980717T14:08:55.25",
        QDateTime(QDate(1998, 7, 17), QTime(14, 8, 55, 250)));
    dateRow("date-time in UTC", "20141110T23:38:51Z",
        QDateTime(QDate(2014, 11, 10), QTime(23, 38, 51), Qt::UTC));
    dateRow("date-time +0000", "2014-11-10T23:38:51+0000",
        QDateTime(QDate(2014, 11, 10), QTime(23, 38, 51), Qt::UTC));
    dateRow("date-time +01:00 with milliseconds", "2014-11-10T23:38:51.123456+01:00",
        QDateTime(QDate(2014, 11, 10), QTime(23, 38, 51, 123), Qt::OffsetFromUTC, 3600));
    dateRow("date-time -0530", "20141110T23:38:51-0530",
        QDateTime(QDate(2014, 11, 10), QTime(23, 38, 51), Qt::OffsetFromUTC, -19800));
    dateRow("zero date-time is invalid", "00000000T00:00:00Z", QVariant(QDateTime()));
    dateRow("impossible date is invalid", "20140230T10:00:00", QVariant(QDateTime()));
    dateRow("half extended date is invalid", "2014-1110T10:00:00", QVariant(QDateTime()));
    dateRow("empty fraction is invalid", "20141110T10:00:00.Z", QVariant(QDateTime()));
    dateRow("zone beyond a day is invalid", "20141110T10:00:00+24:00", QVariant(QDateTime()));
    dateRow("text after the zone is invalid", "20141110T10:00:00Zx", QVariant(QDateTime()));
    row("nil is invalid without a message", "<value><nil/></value>", QVariant());
    row("Apache's ex:nil is nil", "<value><ex:nil/></value>", QVariant());
    row("unknown tag I8 is invalid with a message", "<value><I8>1</I8></value>", QVariant(),
        {QStringLiteral("Cannot demarshal unknown type  \"i8\" ")});
    row("param instead of value is invalid without a message",
        "<param><value><int>1</int></value></param>", QVariant());
    row("array",
        "<value><array><data><value><int>1</int></value><value>a</value></data></array></value>",
        QVariantList {1, QStringLiteral("a")});
    row("empty array", "<value><array><data/></array></value>", QVariantList());
    row("array without data", "<value><array/></value>", QVariantList());
    row("array with a comment between items",
        "<value><array><data><value><int>1</int></value><!--x--><value><int>2</int></value>"
        "</data></array></value>",
        QVariantList {1, QVariant(), 2});
    row("array whose first child is a comment is empty",
        "<value><array><!--x--><data><value><int>1</int></value></data></array></value>",
        QVariantList());
    row("array with nil item", "<value><array><data><value><nil/></value></data></array></value>",
        QVariantList {QVariant()});
    row("struct",
        "<value><struct><member><name>b</name><value><int>2</int></value></member>"
        "<member><name>a</name><value><string>x</string></value></member></struct></value>",
        QVariantMap {{QStringLiteral("a"), QStringLiteral("x")}, {QStringLiteral("b"), 2}});
    row("empty struct", "<value><struct/></value>", QVariantMap());
    row("duplicate members keep the later value",
        "<value><struct><member><name>a</name><value><int>1</int></value></member>"
        "<member><name>a</name><value><int>2</int></value></member></struct></value>",
        QVariantMap {{QStringLiteral("a"), 2}});
    row("comment between members is an empty key without value",
        "<value><struct><member><name>a</name><value><int>1</int></value></member><!--x-->"
        "<member><name>b</name><value><int>2</int></value></member></struct></value>",
        QVariantMap {{QString(), QVariant()}, {QStringLiteral("a"), 1}, {QStringLiteral("b"), 2}});
    row("capitalised Name and Value are not found",
        "<value><struct><member><Name>a</Name><Value><int>1</int></Value></member></struct></"
        "value>",
        QVariantMap {{QString(), QVariant()}});
    row("member without a name of its own takes the first name inside its value",
        "<value><struct><member><value><struct><member><name>inner</name><value><int>1</int>"
        "</value></member></struct></value><name>outer</name></member></struct></value>",
        QVariantMap {{QStringLiteral("inner"), QVariantMap {{QStringLiteral("inner"), 1}}}});
}

void TestQuorObject::readValue()
{
    QFETCH(QString, xml);
    QFETCH(QVariant, expected);
    QFETCH(QStringList, messages);

    QDomDocument document;
    QVERIFY(document.setContent(xml));
    MessageCatcher catcher;
    QCOMPARE(describe(QuorObject::fromXml(document.documentElement())), describe(expected));
    QCOMPARE(catcher.texts(), messages);
}

void TestQuorObject::debugMessages_data()
{
    QTest::addColumn<bool>("writing");
    QTest::addColumn<QString>("message");

    QTest::addRow("writer refuses a string list")
        << true
        << QStringLiteral("Failed to marshal unknown variant type:  QVariant::QStringList \n");
    QTest::addRow("reader refuses the tag i8")
        << false << QStringLiteral("Cannot demarshal unknown type  \"i8\" ");
}

void TestQuorObject::debugMessages()
{
    QFETCH(bool, writing);
    QFETCH(QString, message);

    QDomDocument document;
    QVERIFY(document.setContent(QStringLiteral("<value><I8>1</I8></value>")));
    MessageCatcher catcher;
    if (writing)
        QVERIFY(QuorObject::toXml(QStringList {QStringLiteral("a")}).isNull());
    else
        QVERIFY(!QuorObject::fromXml(document.documentElement()).isValid());
    const QList<MessageCatcher::Message> messages = catcher.messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.first().type, QtDebugMsg);
    QCOMPARE(messages.first().text.toUtf8(), message.toUtf8());
}

void TestQuorObject::parseResponse_data()
{
    QTest::addColumn<QString>("response");
    QTest::addColumn<bool>("isFault");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    const auto answer = [](const char *name, const QString &response, const QVariant &value) {
        QTest::addRow("%s", name) << response << false << value << 0 << QString();
    };
    const auto fault
        = [](const char *name, const QString &response, int code, const QString &message) {
              QTest::addRow("%s", name) << response << true << QVariant() << code << message;
          };

    answer("well-formed response",
        QStringLiteral("<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>"
                       "<member><name>pid</name><value><i4>4711</i4></value></member>"
                       "</struct></value></param></params></methodResponse>"),
        QVariantMap {{QStringLiteral("pid"), 4711}});
    answer("empty params is an invalid value",
        QStringLiteral("<methodResponse><params/></methodResponse>"), QVariant());
    answer("param without value is an invalid value",
        QStringLiteral("<methodResponse><params><param/></params></methodResponse>"), QVariant());
    answer("any root name is accepted",
        QStringLiteral(
            "<answer><params><param><value><int>1</int></value></param></params></answer>"),
        1);
    answer("PARAMS in capitals",
        QStringLiteral("<methodResponse><PARAMS><param><value>x</value></param></PARAMS>"
                       "</methodResponse>"),
        QStringLiteral("x"));
    answer("only the first param is read",
        QStringLiteral("<methodResponse><params><param><value><int>1</int></value></param>"
                       "<param><value><int>2</int></value></param></params></methodResponse>"),
        1);
    answer("indentation and line breaks do not count",
        QStringLiteral("<?xml version=\"1.0\"?>\n<methodResponse>\n  <params>\n    <param>\n"
                       "      <value>\n        <int>3</int>\n      </value>\n    </param>\n"
                       "  </params>\n</methodResponse>\n"),
        3);
    answer("whitespace-only string arrives empty",
        responseText(QStringLiteral("<value><string> </string></value>")), QStringLiteral(""));
    answer("non-ASCII text",
        responseText(
            QStringLiteral("<value><string>Gr\u00fc\u00dfe \u65e5\u672c</string></value>")),
        QStringLiteral("Gr\u00fc\u00dfe \u65e5\u672c"));
    answer("document written by prepareResponse",
        QuorObject::prepareResponse(QVariantList {true, 2.5, QStringLiteral("<&>")}),
        QVariantList {true, 2.5, QStringLiteral("<&>")});

    fault("fault struct with code and text",
        QStringLiteral("<methodResponse><fault><value><struct>"
                       "<member><name>faultCode</name><value><int>4</int></value></member>"
                       "<member><name>faultString</name><value><string>Too many parameters."
                       "</string></value></member></struct></value></fault></methodResponse>"),
        4, QStringLiteral("Too many parameters."));
    fault("Fault in capitals",
        QStringLiteral("<methodResponse><Fault><value><struct>"
                       "<member><name>faultCode</name><value><i4>-1</i4></value></member>"
                       "</struct></value></Fault></methodResponse>"),
        -1, QString());
    fault("fault without faultCode is code 0",
        QStringLiteral("<methodResponse><fault><value><struct>"
                       "<member><name>faultString</name><value>broken</value></member>"
                       "</struct></value></fault></methodResponse>"),
        0, QStringLiteral("broken"));
    fault("fault as a plain string is code 0 without text",
        QStringLiteral("<methodResponse><fault><value><string>broken</string></value></fault>"
                       "</methodResponse>"),
        0, QString());
    fault("fault document written by QuorFault",
        QuorFault(-32300, QStringLiteral("Connection refused")).toString(), -32300,
        QStringLiteral("Connection refused"));
    fault("comment before params",
        QStringLiteral("<methodResponse><!--x--><params><param><value><int>1</int></value></param>"
                       "</params></methodResponse>"),
        -32600, notConforming);
    fault("text before params",
        QStringLiteral("<methodResponse>x<params><param><value><int>1</int></value></param>"
                       "</params></methodResponse>"),
        -32600, notConforming);
    fault("root without children", QStringLiteral("<methodResponse/>"), -32600, notConforming);
    fault("first child with another name",
        QStringLiteral("<methodResponse><result><value>1</value></result></methodResponse>"),
        -32600, notConforming);
    fault("empty text is not well formed", QString(), -32700, notWellFormed);
    fault(
        "whitespace-only text is not well formed", QStringLiteral("  \n "), -32700, notWellFormed);
    fault("mismatched tag reports its line",
        QStringLiteral("<methodResponse>\n<params>\n</methodResponse>\n"), -32700,
        notWellFormed + QStringLiteral("3: "));
    fault("plain text is not well formed", QStringLiteral("Service Unavailable"), -32700,
        notWellFormed + QStringLiteral("1: "));
}

void TestQuorObject::parseResponse()
{
    QFETCH(QString, response);
    QFETCH(bool, isFault);
    QFETCH(QVariant, value);
    QFETCH(int, code);
    QFETCH(QString, message);

    MessageCatcher catcher;
    const ParseOutcome outcome = parseResponseOnce(response, dummyReply);
    QVERIFY(outcome.destroyed);
    QCOMPARE(outcome.responses, isFault ? 0 : 1);
    QCOMPARE(outcome.faults, isFault ? 1 : 0);
    QCOMPARE(outcome.reply, dummyReply);
    QCOMPARE(describe(outcome.value), describe(value));
    QCOMPARE(outcome.code, code);
    // The parser's own wording follows the line number; only the frame is ours.
    if (code == -32700)
        QVERIFY2(outcome.message.startsWith(message), qPrintable(outcome.message));
    else
        QCOMPARE(outcome.message, message);
    QCOMPARE(catcher.texts(), QStringList());
}

void TestQuorObject::deepResponseIsRefused_data()
{
    QTest::addColumn<QString>("response");
    QTest::addColumn<QString>("reason");

    const int depth = 100000;
    const QString tooDeep = QStringLiteral("elements nested deeper than 1024");
    const QString typeDeclared = QStringLiteral("document type declarations are not accepted");
    QTest::addRow("100,000 nested arrays")
        << responseText(nestedText(QStringLiteral("array"), depth, QStringLiteral("<value/>")))
        << tooDeep;
    QTest::addRow("100,000 nested structs")
        << responseText(nestedText(QStringLiteral("struct"), depth, QStringLiteral("<value/>")))
        << tooDeep;
    QTest::addRow("100,000 nested elements never closed")
        << QStringLiteral("<methodResponse>") + QStringLiteral("<a>").repeated(depth) << tooDeep;
    // Found while fuzzing (fuzz/regressions/fuzz_parseresponse): markup the
    // count of the text never saw. Qt 5's parser lets an entity open elements
    // that stay open after it, so a short document nests without bound.
    QTest::addRow("an entity opening 1300 elements, used 80 times")
        << QStringLiteral("<!DOCTYPE r [<!ENTITY o \"") + QStringLiteral("<a>").repeated(1300)
            + QStringLiteral("\">]><methodResponse>") + QStringLiteral("&o;").repeated(80)
        << typeDeclared;
    QTest::addRow("a comment opener inside a DOCTYPE's literal")
        << QStringLiteral("<!DOCTYPE r SYSTEM \"> <!--\"><methodResponse>")
            + QStringLiteral("<a>").repeated(depth)
        << typeDeclared;
    QTest::addRow("a DOCTYPE, however harmless")
        << QStringLiteral("<!DOCTYPE methodResponse><methodResponse><params/></methodResponse>")
        << typeDeclared;
}

// Found while fuzzing: Qt 5's parser crashes on a reference to an undeclared
// entity named with some letters beyond ASCII. Refused as Qt 6 refuses it.
void TestQuorObject::unparsableReferenceIsRefused_data()
{
    QTest::addColumn<QString>("response");
    QTest::addRow("in a string") << QStringLiteral(
        "<methodResponse><params><param><value><string>&\u00aa;</string></value></param></params>"
        "</methodResponse>");
    QTest::addRow("with more after it") << QStringLiteral(
        "<methodResponse><params><param><value>&\u00ba65;</value></param></params>"
        "</methodResponse>");
}

void TestQuorObject::unparsableReferenceIsRefused()
{
    QFETCH(QString, response);
    const ParseOutcome outcome = parseResponseOnce(response, dummyReply);
    QCOMPARE(outcome.faults, 1);
    QCOMPARE(outcome.code, -32700);
    QVERIFY2(outcome.message.startsWith(notWellFormed), qPrintable(outcome.message));
}

void TestQuorObject::deepResponseIsRefused()
{
    QFETCH(QString, response);
    QFETCH(QString, reason);

    QElapsedTimer timer;
    timer.start();
    const ParseOutcome outcome = parseResponseOnce(response, dummyReply);
    const qint64 elapsed = timer.elapsed();
    QVERIFY(outcome.destroyed);
    QCOMPARE(outcome.responses, 0);
    QCOMPARE(outcome.faults, 1);
    QCOMPARE(outcome.code, -32700);
    QVERIFY2(outcome.message.startsWith(notWellFormed), qPrintable(outcome.message));
    QVERIFY2(outcome.message.endsWith(reason), qPrintable(outcome.message));
    // Generous enough for valgrind; the DOM parser itself crashes at this depth.
    QVERIFY2(elapsed < 5000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
}

void TestQuorObject::elementNestingBound_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("accepted");

    QTest::addRow("1024 elements deep is read") << 1024 << true;
    QTest::addRow("1025 elements deep is refused") << 1025 << false;
}

void TestQuorObject::elementNestingBound()
{
    QFETCH(int, depth);
    QFETCH(bool, accepted);

    // Five elements of frame, then plain elements inside the string's text.
    const int inner = depth - 5;
    const QString response = QStringLiteral("<methodResponse><params><param><value><string>")
        + QStringLiteral("<x>").repeated(inner) + QStringLiteral("deep")
        + QStringLiteral("</x>").repeated(inner)
        + QStringLiteral("</string></value></param></params></methodResponse>");
    const ParseOutcome outcome = parseResponseOnce(response, dummyReply);
    QVERIFY(outcome.destroyed);
    QCOMPARE(outcome.responses + outcome.faults, 1);
    if (accepted) {
        QCOMPARE(outcome.responses, 1);
        QCOMPARE(describe(outcome.value), describe(QStringLiteral("deep")));
    } else {
        QCOMPARE(outcome.code, -32700);
        QVERIFY2(outcome.message.contains(QStringLiteral("1024")), qPrintable(outcome.message));
    }
}

void TestQuorObject::valueNesting_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<int>("messageCount");

    const QString array = QStringLiteral("array");
    const QString structure = QStringLiteral("struct");
    for (const QString &kind : {array, structure}) {
        for (int depth : {64, 256}) {
            const QVariant value = nested(kind, depth, 7);
            QTest::addRow("%d nested %ss", depth, qPrintable(kind)) << value << value << 0;
        }
    }
    // The container beyond the bound is not written: the array above it ends
    // up empty, the struct member above it keeps its name without a value.
    QTest::addRow("257 nested arrays lose the innermost")
        << nested(array, 257, 7) << nested(array, 255, QVariantList()) << 1;
    QTest::addRow("257 nested structs lose the innermost")
        << nested(structure, 257, 7)
        << nested(structure, 255, QVariantMap {{QStringLiteral("level"), QVariant()}}) << 1;
}

void TestQuorObject::valueNesting()
{
    QFETCH(QVariant, value);
    QFETCH(QVariant, expected);
    QFETCH(int, messageCount);

    MessageCatcher catcher;
    const QString document = QuorObject::prepareResponse(value);
    const ParseOutcome outcome = parseResponseOnce(document, dummyReply);
    QCOMPARE(outcome.responses, 1);
    QCOMPARE(describe(outcome.value), describe(expected));
    QCOMPARE(catcher.messages().size(), messageCount);
}

void TestQuorObject::readBeyondValueNesting_data()
{
    QTest::addColumn<QString>("kind");

    QTest::addRow("300 nested arrays") << QStringLiteral("array");
    QTest::addRow("300 nested structs") << QStringLiteral("struct");
}

void TestQuorObject::readBeyondValueNesting()
{
    QFETCH(QString, kind);

    const QString text = nestedText(kind, 300, QStringLiteral("<value><int>7</int></value>"));
    // The 257th level reads as an invalid value, with one message.
    const QVariant expected = nested(kind, 256, QVariant());

    QDomDocument document;
    QVERIFY(document.setContent(text));
    {
        MessageCatcher catcher;
        QCOMPARE(describe(QuorObject::fromXml(document.documentElement())), describe(expected));
        QCOMPARE(catcher.messages().size(), 1);
    }
    {
        MessageCatcher catcher;
        const ParseOutcome outcome = parseResponseOnce(responseText(text), dummyReply);
        QCOMPARE(outcome.responses, 1);
        QCOMPARE(describe(outcome.value), describe(expected));
        QCOMPARE(catcher.messages().size(), 1);
    }
}

void TestQuorObject::writtenElementStandsAlone_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("xml");

    QTest::addRow("nested struct")
        << QVariant(QVariantMap {{QStringLiteral("b"), QVariantMap {{QStringLiteral("c"), 1}}},
               {QStringLiteral("a"), QStringLiteral("x")}})
        << QStringLiteral("<value><struct>"
                          "<member><name>a</name><value><string>x</string></value></member>"
                          "<member><name>b</name><value><struct><member><name>c</name>"
                          "<value><int>1</int></value></member></struct></value></member>"
                          "</struct></value>");
    QTest::addRow("nested array") << QVariant(QVariantList {QVariantList {1, 2}, QVariantList()})
                                  << QStringLiteral(
                                         "<value><array><data>"
                                         "<value><array><data><value><int>1</int></value>"
                                         "<value><int>2</int></value></data></array></value>"
                                         "<value><array><data/></array></value>"
                                         "</data></array></value>");
    QTest::addRow("struct in array in struct")
        << QVariant(QVariantMap {{QStringLiteral("list"),
               QVariantList {
                   QVariantMap {{QStringLiteral("when"), july17}}, QByteArrayLiteral("hi")}}})
        << QStringLiteral("<value><struct><member><name>list</name><value><array><data>"
                          "<value><struct><member><name>when</name><value><dateTime.iso8601>"
                          "19980717T14:08:55</dateTime.iso8601></value></member></struct></value>"
                          "<value><base64>aGk=</base64></value>"
                          "</data></array></value></member></struct></value>");
}

void TestQuorObject::writtenElementStandsAlone()
{
    QFETCH(QVariant, value);
    QFETCH(QString, xml);

    const QDomElement element = QuorObject::toXml(value);
    QVERIFY(element.parentNode().isNull());
    // Read it directly, before and after other elements have been written.
    QCOMPARE(describe(QuorObject::fromXml(element)), describe(value));
    const QDomElement other = QuorObject::toXml(QVariantList {QStringLiteral("other"), 1});
    QCOMPARE(describe(QuorObject::fromXml(element)), describe(value));
    QCOMPARE(
        describe(QuorObject::fromXml(other)), describe(QVariantList {QStringLiteral("other"), 1}));

    // A copy appended into a document of the caller's own.
    QDomElement copy = element;
    QDomDocument document;
    QDomElement param = document.createElement(QStringLiteral("param"));
    document.appendChild(param);
    param.appendChild(copy);
    QCOMPARE(document.toString(-1), QStringLiteral("<param>") + xml + QStringLiteral("</param>"));
    QCOMPARE(describe(QuorObject::fromXml(param.firstChildElement())), describe(value));
}

QTEST_GUILESS_MAIN(TestQuorObject)

#include "tst_quorobject.moc"
