// SPDX-License-Identifier: MIT
// The fast codec against the DOM codec it stands in for: the same text from
// the writers, and the same outcome, value and debug messages from the readers
// of responses and of calls, on thousands of random values and documents.

#include "debugmessages.h"
#include "quorcodec_p.h"
#include "randomxmlrpc.h"

#include <QDomImplementation>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <climits>
#include <cstring>
#include <typeinfo>

namespace {

using DebugMessages::messagesOf;

QString describeResponse(const QuorResponse &response)
{
    return response.isFault ? QStringLiteral("fault %1 %2")
                                  .arg(response.faultCode)
                                  .arg(describeValue(QVariant(response.faultString)))
                            : QStringLiteral("value ") + describeValue(response.value);
}

// A call as the server gets it: its method, params and fault. An empty
// method, null or not, says the document is no call.
QString describeRequest(const QuorRequest &request)
{
    QString text = (request.method.isEmpty()
                           ? QStringLiteral("no method")
                           : QStringLiteral("method ") + describeValue(QVariant(request.method)))
        + QStringLiteral(" params");
    for (const QVariant &param : request.params)
        text += QLatin1Char(' ') + describeValue(param);
    return text + QLatin1Char(' ') + describeResponse(request.fault);
}

QString describeOutcome(const QuorResponse &response)
{
    return describeResponse(response);
}

QString describeOutcome(const QuorRequest &request)
{
    return describeRequest(request);
}

// The fast readers and the DOM reader of each kind of document.
template<typename Document>
bool readFast(const Document &document, QuorResponse *response, QStringList *messages)
{
    return QuorFastCodec::readResponse(document, response, messages);
}

template<typename Document>
bool readFast(const Document &document, QuorRequest *request, QStringList *messages)
{
    return QuorFastCodec::readRequest(document, request, messages);
}

void readWithDom(const QString &text, QuorResponse *response)
{
    *response = QuorDomCodec::readResponse(text);
}

void readWithDom(const QString &text, QuorRequest *request)
{
    *request = QuorDomCodec::readRequest(text);
}

QVariant nestedLists(int depth)
{
    QVariant value = QVariant(QStringLiteral("bottom"));
    for (int i = 0; i < depth; ++i)
        value = QVariant(QVariantList {value, 1});
    return value;
}

// Doubles of every magnitude, special ones included, and ints of every length.
QVariant manyNumbers(RandomXmlRpc &random)
{
    // Among them ties in the seventh significant digit, which Qt rounds away
    // from zero and printf to even.
    QVariantList numbers {qInf(), -qInf(), qQNaN(), -0.0, 0.0, 1e-5, 1e-4, 123456.5, 999999.5,
        12345.25, -1234.125, 0.0001234565, 1.234565e10, -1.234575e-300, 1e21, 5e-324,
        1.7976931348623157e308, INT_MIN, INT_MAX, 0, -1};
    for (int i = 0; i < 20000; ++i) {
        const quint64 bits = (quint64(random.below(0x10000)) << 48)
            | (quint64(random.below(0x1000000)) << 24) | random.below(0x1000000);
        double number = 0;
        std::memcpy(&number, &bits, sizeof number);
        numbers.append(number);
        numbers.append(double(int(random.below(2000000)) - 1000000) / 64);
        numbers.append(int(random.below(0x7fffffff)) - int(random.below(0x7fffffff)));
    }
    return numbers;
}

} // namespace

// Compares both fast readers of one kind of document (Outcome: QuorResponse or
// QuorRequest) with the DOM on text; returns whether the one from text read it.
template<typename Outcome>
bool compareReaders(const QString &text);

class TestFastCodec : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void writersMatchDom_data();
    void writersMatchDom();
    void writersLeaveOtherPoliciesToDom();

    void readerMatchesDomOnEdgeCases_data();
    void readerMatchesDomOnEdgeCases();
    void byteReaderMatchesDomOnBrokenUtf8();
    void readerMatchesDomOnRandomDocuments_data();
    void readerMatchesDomOnRandomDocuments();
};

void TestFastCodec::initTestCase()
{
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
    DebugMessages::install();
}

void TestFastCodec::cleanupTestCase()
{
    DebugMessages::uninstall();
}

void TestFastCodec::writersMatchDom_data()
{
    QTest::addColumn<QString>("document");
    QTest::newRow("call") << "call";
    QTest::newRow("response") << "response";
    QTest::newRow("fault") << "fault";
}

void TestFastCodec::writersMatchDom()
{
    QFETCH(QString, document);
    RandomXmlRpc random = RandomXmlRpc::seeded(qHash(document));
    for (int i = 0; i < 3000; ++i) {
        QVariantList values;
        const quint32 count = random.below(3);
        for (quint32 j = 0; j < count; ++j)
            values.append(random.value());
        if (i == 0)
            values = {nestedLists(255), nestedLists(256), nestedLists(300)};
        if (i == 1)
            values = {manyNumbers(random)};
        const QString text = random.text();

        QString fast;
        QByteArray fastUtf8;
        QString dom;
        QStringList fastMessages;
        QStringList utf8Messages;
        QStringList domMessages;
        if (document == QLatin1String("call")) {
            fastMessages = messagesOf([&] { fast = QuorFastCodec::writeCall(text, values); });
            utf8Messages
                = messagesOf([&] { fastUtf8 = QuorFastCodec::writeCallUtf8(text, values); });
            domMessages = messagesOf([&] { dom = QuorDomCodec::writeCall(text, values); });
        } else if (document == QLatin1String("response")) {
            const QVariant value = values.value(0);
            fastMessages = messagesOf([&] { fast = QuorFastCodec::writeResponse(value); });
            utf8Messages = messagesOf([&] { fastUtf8 = QuorFastCodec::writeResponseUtf8(value); });
            domMessages = messagesOf([&] { dom = QuorDomCodec::writeResponse(value); });
        } else {
            const int code = int(random.below(70000)) - 35000;
            fast = QuorFastCodec::writeFault(code, text);
            fastUtf8 = QuorFastCodec::writeFaultUtf8(code, text);
            dom = QuorDomCodec::writeFault(code, text);
        }
        QVERIFY2(fast == dom,
            qPrintable(QStringLiteral("case %1:\n%2\n--- DOM writes:\n%3").arg(i).arg(fast, dom)));
        QCOMPARE(fastUtf8, dom.toUtf8());
        QCOMPARE(fastMessages, domMessages);
        QCOMPARE(utf8Messages, domMessages);
        // Whatever the writer writes, the fast reader reads itself.
        if (document == QLatin1String("call"))
            QVERIFY2(compareReaders<QuorRequest>(fast), qPrintable(fast));
        else
            QVERIFY2(compareReaders<QuorResponse>(fast), qPrintable(fast));
    }
}

void TestFastCodec::writersLeaveOtherPoliciesToDom()
{
    const QString text = QStringLiteral("a\u0001b\xd800");
    for (const auto policy :
        {QDomImplementation::AcceptInvalidChars, QDomImplementation::ReturnNullNode}) {
        QDomImplementation::setInvalidDataPolicy(policy);
        const QString fast = QuorFastCodec::writeResponse(QVariant(text));
        const QString dom = QuorDomCodec::writeResponse(QVariant(text));
        const QByteArray answer = QuorFastCodec::writeOutcomeUtf8({false, QVariant(text), 0, {}});
        QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
        QCOMPARE(fast, dom);
        // A server's answer stays well formed under any policy.
        QCOMPARE(answer, QuorDomCodec::writeResponse(QVariant(text)).toUtf8());
    }
}

QString replacedDocument(const QString &document)
{
    return withWhatQtXmlLosesReplaced(document);
}

QByteArray replacedDocument(const QByteArray &document)
{
    return withWhatQtXmlLosesReplaced(QString::fromUtf8(document)).toUtf8();
}

// Compares a fast reader's outcome on a document with the DOM's outcome on
// text, for a response or a call (Outcome).
template<typename Outcome, typename Document>
bool compareWithDom(const Document &document, const QString &text)
{
    if (qtXmlLosesCharactersOf(text)) {
        Outcome fast;
        QStringList fastMessages;
        if (!readFast(document, &fast, &fastMessages))
            return false;
        compareWithDom<Outcome>(replacedDocument(document), withWhatQtXmlLosesReplaced(text));
        return true;
    }
    Outcome dom;
    const QStringList domMessages = messagesOf([&] { readWithDom(text, &dom); });
    Outcome fast;
    QStringList fastMessages;
    if (!readFast(document, &fast, &fastMessages))
        return false;
    if (qtXmlMisreadsReferenceIn(text))
        return true;
    if (describeOutcome(fast) != describeOutcome(dom) || fastMessages != domMessages) {
        QTest::qFail(qPrintable(QStringLiteral("fast: %1 %2\nDOM:  %3 %4\nfrom %5:\n%6")
                                    .arg(describeOutcome(fast), fastMessages.join(QLatin1Char('|')),
                                        describeOutcome(dom), domMessages.join(QLatin1Char('|')),
                                        QLatin1String(typeid(Document).name()), text)),
            __FILE__, __LINE__);
    }
    return true;
}

template<typename Outcome>
bool compareReaders(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    // The client and the server hand the DOM the body as QString::fromUtf8() decodes it.
    const QString decoded = QString::fromUtf8(utf8);
    const bool fromBytes = compareWithDom<Outcome>(utf8, decoded);
    const bool fromText = compareWithDom<Outcome>(text, text);
    // The bytes reader leaves more to others (encodings other than UTF-8), never less.
    if (fromBytes && !fromText && decoded == text)
        QTest::qFail(
            qPrintable(QStringLiteral("only one reader took:\n") + text), __FILE__, __LINE__);
    return fromText;
}

void TestFastCodec::byteReaderMatchesDomOnBrokenUtf8()
{
    RandomXmlRpc random = RandomXmlRpc::seeded(3);
    const QByteArray badBytes[] = {"\xc0\x80", "\xed\xa0\x80", "\xe2\x82", "\xff", "\x80",
        "\xf4\x90\x80\x80", "\xef\xbf\xbe", "\xf0\x9f\x98\x80", "\xc2\xa0", "\xe2\x80\xa8",
        "\xef\xbb\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf", QByteArray("\0", 1)};
    int readFast = 0;
    const int count = 5000;
    for (int i = 0; i < count; ++i) {
        QByteArray document = random.responseDocument().toUtf8();
        const QByteArray &bad = badBytes[random.below(sizeof badBytes / sizeof badBytes[0])];
        document.insert(int(random.below(quint32(document.size()))), bad);
        if (compareWithDom<QuorResponse>(document, QString::fromUtf8(document)))
            ++readFast;
        if (QTest::currentTestFailed())
            return;
    }
    qInfo("%d of %d documents read by the fast reader", readFast, count);
    QVERIFY(readFast > 0);
}

void TestFastCodec::readerMatchesDomOnEdgeCases_data()
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<bool>("call");
    QTest::addColumn<bool>("readFast");
    const auto row = [](const char *name, const char16_t *body, bool readFast) {
        QTest::newRow(name) << QStringLiteral(
            "<methodResponse><params><param>%1</param></params></methodResponse>")
                                   .arg(QString::fromUtf16(body))
                            << false << readFast;
    };
    const auto callRow = [](const char *name, const char16_t *document, bool readFast) {
        QTest::newRow(name) << QString::fromUtf16(document) << true << readFast;
    };
    row("string", u"<value><string>a &amp; b</string></value>", true);
    row("blank string", u"<value><string> \u00a0\u3000</string></value>", true);
    row("blank by reference", u"<value><string>&#32;&#xA0;</string></value>", true);
    row("spaces around a reference", u"<value><string> &amp; </string></value>", true);
    row("empty string", u"<value><string></string></value>", true);
    row("short empty string", u"<value><string/></value>", true);
    row("empty value", u"<value/>", true);
    row("untyped", u"<value>just text</value>", true);
    row("untyped before a type", u"<value>x<int>5</int></value>", true);
    row("blank before a type", u"<value>\n <int> 5 </int></value>", true);
    row("upper-case tags", u"<VALUE><I4>-3</I4></VALUE>", true);
    row("boolean words", u"<value><boolean>TRUE</boolean></value>", true);
    row("nil", u"<value><nil/></value>", true);
    row("Apache's nil", u"<value><ex:nil/></value>", true);
    row("int beyond 32 bits", u"<value><int>-1099511627776</int></value>", true);
    row("int beyond 64 bits", u"<value><i4>99999999999999999999</i4></value>", true);
    row("int beyond 32 bits by reference", u"<value><int>1099511627776&#48;</int></value>", true);
    row("date-time extended with a zone",
        u"<value><dateTime.iso8601>2014-11-10T23:38:51+0000</dateTime.iso8601></value>", true);
    row("date-time with a fraction and an offset",
        u"<value><dateTime.iso8601>20141110T233851,5-01:00</dateTime.iso8601></value>", true);
    row("zero date-time", u"<value><dateTime.iso8601>00000000T00:00:00Z</dateTime.iso8601></value>",
        true);
    row("unknown type", u"<value><Float>1.5</Float></value>", true);
    row("text in an array", u"<value><array><data><value>1</value>x</data></array></value>", true);
    row("array without data", u"<value><array>x</array></value>", true);
    row("text in a struct",
        u"<value><struct>t<member><name>k</name><value>v</value></member></struct></value>", true);
    row("member without value", u"<value><struct><member><name>k</name></member></struct></value>",
        true);
    row("value before name",
        u"<value><struct><member><value>v</value><name>k</name></member></struct></value>", true);
    row("name and value deep in a member",
        u"<value><struct><member><x><value><int>1</int></value></x><y><name>k<b>2</b></name></y>"
        u"</member><member><name>n</name><!-- c --><value><i4>3</i4></value><value>4</value>"
        u"</member></struct></value>",
        true);
    row("name inside the value",
        u"<value><struct><member><value><struct><member><name>inner</name><value>1</value>"
        u"</member></struct></value></member></struct></value>",
        true);
    row("surrogate pair", u"<value><string>\U0001F600</string></value>", true);
    row("reference beyond the BMP", u"<value><string>&#x1F600;&#128512;</string></value>", true);
    row("carriage return in text", u"<value><string>a\r\nb</string></value>", true);
    row("carriage return in blank", u"<value>\r\n<int>1</int>\r\n</value>", true);
    row("carriage return by reference", u"<value><string>a&#13;</string></value>", true);
    row("control character", u"<value><string>\u0001</string></value>", false);
    row("reference to a control character", u"<value><string>&#1;</string></value>", false);
    row("CDATA", u"<value><string><![CDATA[x]]></string></value>", true);
    row("CDATA with markup", u"<value><string>a<![CDATA[<b>&amp;]]]>c</string></value>", true);
    row("ampersand and letters in CDATA", u"<value><![CDATA[M\u00fcller&S\u00f6hne]]></value>",
        true);
    row("blank CDATA stays", u"<value><![CDATA[ ]]><int>1</int></value>", true);
    row("comment", u"<value><!-- c --><int>1</int></value>", true);
    row("comment between members",
        u"<value><struct><member><name>a</name><value>1</value></member><!--x-->"
        u"</struct></value>",
        true);
    row("comment in an array",
        u"<value><array><data><value>1</value><!--x--></data></array></value>", true);
    row("processing instruction", u"<value><?pi data?><int>1</int></value>", true);
    row("declaration inside", u"<value><?xml version=\"1.0\"?></value>", false);
    row("double hyphen in a comment", u"<value><!-- a -- b --><int>1</int></value>", false);
    row("attribute", u"<value type=\"int\">1</value>", true);
    row("attributes with references", u"<value a='&lt;' b=\"&#x1F600;\"><int>1</int></value>",
        true);
    row("attribute repeated", u"<value a=\"1\" a=\"2\"><int>1</int></value>", false);
    row("attribute holding '<'", u"<value a=\"<\"><int>1</int></value>", false);
    row("attributes without space", u"<value a=\"1\"b=\"2\"><int>1</int></value>", false);
    row("prefixed type", u"<value><ex:i8>5</ex:i8></value>", true);
    row("name beyond ASCII", u"<value><\u00e9>5</\u00e9></value>", false);
    row("mismatched end tag", u"<value><int>1</INT></value>", false);
    row("unknown entity", u"<value>&nbsp;</value>", false);
    row("U+FEFF inside a value is text",
        u"<value>\uFEFF<array><data><value>t1</value></data></array></value>", true);
    row("U+FEFF starting a string is a character", u"<value><string>\uFEFF\uFEFFa</string></value>",
        true);
    row("U+FEFF after a reference is a character", u"<value><string>&amp;\uFEFF</string></value>",
        true);
    row("U+FEFF starting CDATA is a character",
        u"<value><string><![CDATA[\uFEFFx]]></string></value>", true);
    row("U+FEFF starting a member name is a character",
        u"<value><struct><member><name>\uFEFFk</name><value>1</value></member></struct></value>",
        true);
    row("U+FEFF in an attribute value is a character",
        u"<value a=\"\uFEFF\"><string>\uFEFF</string></value>", true);
    QString deep = QStringLiteral("<value>1</value>");
    for (int i = 0; i < 300; ++i)
        deep = QStringLiteral("<value><array><data>%1</data></array></value>").arg(deep);
    row("arrays nested too deep", reinterpret_cast<const char16_t *>(deep.utf16()), true);
    QTest::newRow("no declaration")
        << QStringLiteral("<methodResponse><params/></methodResponse>") << false << true;
    QTest::newRow("declaration for Latin-1")
        << QStringLiteral("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><methodResponse/>")
        << false << true;
    QTest::newRow("comments and instructions around the root") << QStringLiteral(
        "<?xml version=\"1.0\" standalone=\"yes\"?>\n<!-- a --><?p q?>"
        "<methodResponse xmlns:ex=\"u\"><params><param><value>1</value></param></params>"
        "</methodResponse><!-- b -->\n") << false << true;
    QTest::newRow("text first") << QStringLiteral("<methodResponse>x<params/></methodResponse>")
                                << false << true;
    QTest::newRow("something else")
        << QStringLiteral("<methodResponse><call/></methodResponse>") << false << true;
    QTest::newRow("empty root") << QStringLiteral("<r/>") << false << true;
    QTest::newRow("fault") << QStringLiteral(
        "<methodResponse><fault><value><struct><member><name>faultCode</name><value><int>4</int>"
        "</value></member><member><name>faultString</name><value>Too many</value></member>"
        "</struct></value></fault></methodResponse>")
                           << false << true;
    QTest::newRow("text after the root") << QStringLiteral("<r/>x") << false << false;
    QTest::newRow("cut") << QStringLiteral("<methodResponse><params>") << false << false;
    QTest::newRow("empty") << QString() << false << false;
    callRow("call",
        u"<?xml version=\"1.0\"?><methodCall><methodName>echo</methodName><params><param>"
        u"<value><int>1</int></value></param><param><value>two</value></param></params>"
        u"</methodCall>",
        true);
    callRow("call without params",
        u"<methodCall><methodName>system.listMethods</methodName></methodCall>", true);
    callRow("call with empty params",
        u"<methodCall><methodName>m</methodName><params/></methodCall>", true);
    callRow("method name trimmed",
        u"<methodCall><methodName>\n echo\u00a0\t</methodName></methodCall>", true);
    callRow("method name with markup inside",
        u"<methodCall><methodName> a<!--c--><b>c</b><![CDATA[ d]]>&amp;&#x41; </methodName>"
        u"</methodCall>",
        true);
    callRow("empty method name",
        u"<methodCall><methodName/><params><param><value>1</value></param></params></methodCall>",
        true);
    callRow("blank method name",
        u"<methodCall><methodName> </methodName><params><param><value>1</value></param></params>"
        u"</methodCall>",
        true);
    callRow("no method name",
        u"<methodCall><params><param><value>1</value></param></params></methodCall>", true);
    callRow("method name after the params",
        u"<methodCall><params><param><value>1</value></param></params><methodName>m</methodName>"
        u"</methodCall>",
        true);
    callRow("second method name",
        u"<methodCall><other/><methodName>a</methodName><methodName>b</methodName></methodCall>",
        true);
    callRow(
        "method name in other case", u"<methodCall><MethodName>m</MethodName></methodCall>", true);
    callRow("root in other case", u"<MethodCall><methodName>m</methodName></MethodCall>", true);
    callRow("a response read as a call",
        u"<methodResponse><params><param><value>1</value></param></params></methodResponse>", true);
    callRow("params of other names",
        u"<methodCall><methodName>m</methodName><params><p><value>1</value></p><value>2</value>"
        u"</params></methodCall>",
        true);
    callRow("params without a value",
        u"<methodCall><methodName>m</methodName><params><param/><param>x</param></params>"
        u"</methodCall>",
        true);
    callRow("text and comments between params",
        u"<methodCall><methodName>m</methodName><params>t<!--c--><param><value>1</value></param>"
        u"<?pi?>u</params></methodCall>",
        true);
    callRow("second params",
        u"<methodCall><methodName>m</methodName><params/><params><param><value>1</value></param>"
        u"</params></methodCall>",
        true);
    callRow("param holding two values",
        u"<methodCall><methodName>m</methodName><params><param><value>1</value><value>2</value>"
        u"</param></params></methodCall>",
        true);
    callRow("params in other case",
        u"<methodCall><methodName>m</methodName><Params><param><value>1</value></param></Params>"
        u"</methodCall>",
        true);
    callRow("unknown type in a call",
        u"<methodCall><methodName>m</methodName><params><param><value><Float>1</Float></value>"
        u"</param></params></methodCall>",
        true);
    callRow("DOCTYPE in a call",
        u"<!DOCTYPE methodCall><methodCall><methodName>m</methodName></methodCall>", false);
    callRow("cut call", u"<methodCall><methodName>m", false);
    callRow("empty call", u"", false);
}

void TestFastCodec::readerMatchesDomOnEdgeCases()
{
    QFETCH(QString, document);
    QFETCH(bool, call);
    QFETCH(bool, readFast);
    QCOMPARE(call ? compareReaders<QuorRequest>(document) : compareReaders<QuorResponse>(document),
        readFast);
}

void TestFastCodec::readerMatchesDomOnRandomDocuments_data()
{
    QTest::addColumn<bool>("call");
    QTest::addColumn<bool>("broken");
    QTest::newRow("varied markup") << false << false;
    QTest::newRow("broken") << false << true;
    QTest::newRow("call, varied markup") << true << false;
    QTest::newRow("call, broken") << true << true;
}

void TestFastCodec::readerMatchesDomOnRandomDocuments()
{
    QFETCH(bool, call);
    QFETCH(bool, broken);
    RandomXmlRpc random = RandomXmlRpc::seeded((broken ? 2 : 1) + (call ? 2 : 0));
    int readFast = 0;
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        QString document = call ? random.requestDocument() : random.responseDocument();
        if (broken)
            document = random.broken(document);
        if (call ? compareReaders<QuorRequest>(document) : compareReaders<QuorResponse>(document))
            ++readFast;
        if (QTest::currentTestFailed())
            return;
    }
    // The fast reader must not quietly hand everything to the DOM.
    qInfo("%d of %d documents read by the fast reader", readFast, count);
    QVERIFY(readFast > count / (broken ? 50 : 2));
}

QTEST_GUILESS_MAIN(TestFastCodec)
#include "tst_fastcodec.moc"
