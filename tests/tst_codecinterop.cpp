// SPDX-License-Identifier: MIT
#include "parseoutcome.h"
#include "quorfault.h"
#include "quorobject.h"
#include "testpython.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <climits>

// The codec against Python's xmlrpc.client (tests/python/codecpeer.py), an
// independent implementation: documents written here must load in Python to
// the same values, and documents Python writes must parse here to the same
// values. The whole table goes through one Python run.

namespace {

struct Sample
{
    const char *name;
    QVariant value;
};

struct FaultSample
{
    const char *name;
    int code;
    QString text;
};

QVariant nested(bool array, int depth, const QVariant &innermost)
{
    QVariant value = innermost;
    for (int level = 0; level < depth; ++level) {
        if (array)
            value = QVariantList {value};
        else
            value = QVariantMap {{QStringLiteral("level"), value}};
    }
    return value;
}

// Values that the codec writes without loss: doubles of at most six
// significant digits, date-times without milliseconds, no whitespace-only text.
const QList<Sample> &samples()
{
    static const QList<Sample> list = [] {
        QByteArray everyByte;
        for (int byte = 0; byte < 256; ++byte)
            everyByte.append(char(byte));
        const QDateTime july17(QDate(1998, 7, 17), QTime(14, 8, 55));
        return QList<Sample> {
            {"boolean true", true},
            {"boolean false", false},
            {"int zero", 0},
            {"int negative", -7},
            {"int maximum", INT_MAX},
            {"int minimum", INT_MIN},
            {"double", 0.1},
            {"double negative", -1234.5},
            {"double integral", 3.0},
            {"double small with exponent", 1.5e-07},
            {"double large with exponent", 2.5e+20},
            {"empty string", QStringLiteral("")},
            {"plain string", QStringLiteral("getAppInfo")},
            {"markup characters", QStringLiteral("<tag a=\"1\" b='2'>&amp; ]]> </tag> \"quoted\"")},
            {"non-ASCII text",
                QStringLiteral("Gr\u00fc\u00dfe, \u041f\u0440\u0438\u0432\u0435\u0442, "
                               "\u65e5\u672c\u8a9e")},
            {"character outside the Basic Multilingual Plane", QStringLiteral("smile \U0001F600")},
            {"spaces, tabs and line breaks inside text",
                QStringLiteral("  padded\tline 1\nline 2  ")},
            {"empty byte array", QByteArray("")},
            {"every byte value", everyByte},
            {"date-time", july17},
            {"date-time on a leap day at midnight", QDateTime(QDate(2000, 2, 29), QTime(0, 0))},
            {"date-time past 2038", QDateTime(QDate(2038, 1, 19), QTime(3, 14, 8))},
            {"empty array", QVariantList()},
            {"array of every scalar type",
                QVariantList {true, 1, 2.5, QStringLiteral("two"), QByteArray("raw"), july17}},
            {"nested arrays",
                QVariantList {QVariantList {1, 2}, QVariantList {QVariantList()}, QVariantList()}},
            {"empty struct", QVariantMap()},
            {"struct keys in case-sensitive order",
                QVariantMap {
                    {QStringLiteral("b"), 1}, {QStringLiteral("A"), 2}, {QStringLiteral("a"), 3}}},
            {"struct keys with markup, non-ASCII and empty",
                QVariantMap {{QStringLiteral("<&> \"key\""), QStringLiteral("x")},
                    {QStringLiteral("\u041a\u043b\u044e\u0447"),
                        QVariantList {QStringLiteral("a")}},
                    {QString(), 0}}},
            {"struct of arrays of structs",
                QVariantMap {{QStringLiteral("items"),
                                 QVariantList {QVariantMap {{QStringLiteral("id"), 1}},
                                     QVariantMap {{QStringLiteral("id"), 2},
                                         {QStringLiteral("tags"), QVariantList()}}}},
                    {QStringLiteral("empty"), QVariantMap()}}},
            {"64 nested arrays", nested(true, 64, QStringLiteral("deep"))},
            {"64 nested structs", nested(false, 64, 64)},
        };
    }();
    return list;
}

const QList<FaultSample> &faultSamples()
{
    static const QList<FaultSample> list {
        {"server fault", 4, QStringLiteral("Too many parameters.")},
        {"transport error", -32300, QStringLiteral("Connection refused")},
        {"code 0 and an empty string", 0, QStringLiteral("")},
        {"extreme code and markup", INT_MIN, QStringLiteral("<b>&</b> 'method' \"not\" found")},
        {"non-ASCII text", INT_MAX, QStringLiteral("Gr\u00fc\u00dfe \u65e5\u672c")},
    };
    return list;
}

const QString echoMethod = QStringLiteral("interop.echo");
const QString allMethod = QStringLiteral("interop.\u00e9cho<&>");

// A value with its exact type as JSON, written independently of the codec:
// the form the Python peer reads and answers in.
QJsonValue tagged(const QVariant &value)
{
    const auto tag = [](const char *kind, const QJsonValue &content) {
        return QJsonObject {{QLatin1String(kind), content}};
    };
    switch (value.userType()) {
    case QMetaType::Bool:
        return tag("boolean", value.toBool());
    case QMetaType::Int:
        return tag("int", value.toInt());
    case QMetaType::Double:
        return tag("double", value.toDouble());
    case QMetaType::QString:
        return tag("string", value.toString());
    case QMetaType::QByteArray:
        return tag("base64", QString::fromLatin1(value.toByteArray().toBase64()));
    case QMetaType::QDateTime:
        return tag("dateTime", value.toDateTime().toString(Qt::ISODate));
    case QMetaType::QVariantList: {
        QJsonArray items;
        const QVariantList list = value.toList();
        for (const QVariant &item : list)
            items.append(tagged(item));
        return tag("array", items);
    }
    case QMetaType::QVariantMap: {
        QJsonObject members;
        const QVariantMap map = value.toMap();
        for (auto entry = map.cbegin(); entry != map.cend(); ++entry)
            members.insert(entry.key(), tagged(entry.value()));
        return tag("struct", members);
    }
    default:
        return tag("unknown", QString::fromLatin1(value.isValid() ? value.typeName() : "invalid"));
    }
}

QString jsonText(const QJsonValue &value)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact));
}

} // namespace

class TestCodecInterop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void pythonLoadsCallDocument_data() { addSampleRows(); }
    void pythonLoadsCallDocument();
    void pythonLoadsResponseDocument_data() { addSampleRows(); }
    void pythonLoadsResponseDocument();
    void pythonLoadsCallWithEveryParameter();
    void pythonLoadsFaultDocument_data() { addFaultRows(); }
    void pythonLoadsFaultDocument();

    void codecParsesPythonResponse_data() { addSampleRows(); }
    void codecParsesPythonResponse();
    void codecParsesPythonFault_data() { addFaultRows(); }
    void codecParsesPythonFault();

private:
    static void addSampleRows();
    static void addFaultRows();

    // Python's answers, in the order of the request.
    QJsonArray m_loaded;
    QJsonArray m_values;
    QJsonArray m_faults;
};

void TestCodecInterop::addSampleRows()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QVariant>("value");
    for (int index = 0; index < samples().size(); ++index) {
        const Sample &sample = samples().at(index);
        QTest::addRow("%s", sample.name) << index << sample.value;
    }
}

void TestCodecInterop::addFaultRows()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    for (int index = 0; index < faultSamples().size(); ++index) {
        const FaultSample &fault = faultSamples().at(index);
        QTest::addRow("%s", fault.name) << index << fault.code << fault.text;
    }
}

void TestCodecInterop::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    qRegisterMetaType<QVariant>("QVariant&");

    const QString script = QFINDTESTDATA("python/codecpeer.py");
    QVERIFY2(!script.isEmpty(), "tests/python/codecpeer.py not found");

    // Documents go to Python as the bytes a client posts: UTF-8.
    const auto encoded
        = [](const QString &document) { return QString::fromLatin1(document.toUtf8().toBase64()); };
    QJsonArray load;
    QJsonArray dumpValues;
    QJsonArray dumpFaults;
    QVariantList everyValue;
    QuorObject writer;
    for (const Sample &sample : samples())
        load.append(encoded(writer.prepareCall(echoMethod, {sample.value})));
    for (const Sample &sample : samples()) {
        load.append(encoded(QuorObject::prepareResponse(sample.value)));
        dumpValues.append(tagged(sample.value));
        everyValue.append(sample.value);
    }
    load.append(encoded(writer.prepareCall(allMethod, everyValue)));
    for (const FaultSample &fault : faultSamples()) {
        load.append(encoded(QuorFault(fault.code, fault.text, nullptr).toString()));
        dumpFaults.append(QJsonObject {
            {QStringLiteral("code"), fault.code}, {QStringLiteral("string"), fault.text}});
    }
    const QJsonObject request {{QStringLiteral("load"), load},
        {QStringLiteral("dumpValues"), dumpValues}, {QStringLiteral("dumpFaults"), dumpFaults}};

    QProcess python;
    const auto stopPython = qScopeGuard([&python] {
        if (python.state() != QProcess::NotRunning) {
            python.kill();
            python.waitForFinished();
        }
    });
    python.start(pythonProgram(), {script});
    if (!python.waitForStarted() && python.error() == QProcess::FailedToStart)
        QSKIP("python3 is not installed: the Python xmlrpc.client peer cannot run");
    python.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    python.closeWriteChannel();
    QVERIFY2(python.waitForFinished(60000), "the Python peer did not finish");
    const QByteArray errors = python.readAllStandardError();
    QVERIFY2(
        python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0, errors.constData());

    QJsonParseError parseError;
    const QJsonObject answer
        = QJsonDocument::fromJson(python.readAllStandardOutput(), &parseError).object();
    QVERIFY2(parseError.error == QJsonParseError::NoError, qPrintable(parseError.errorString()));
    m_loaded = answer.value(QStringLiteral("loaded")).toArray();
    m_values = answer.value(QStringLiteral("values")).toArray();
    m_faults = answer.value(QStringLiteral("faults")).toArray();
    QCOMPARE(m_loaded.size(), load.size());
    QCOMPARE(m_values.size(), dumpValues.size());
    QCOMPARE(m_faults.size(), dumpFaults.size());
}

void TestCodecInterop::pythonLoadsCallDocument()
{
    QFETCH(int, index);
    QFETCH(QVariant, value);

    const QJsonObject loaded = m_loaded.at(index).toObject();
    QCOMPARE(loaded.value(QStringLiteral("error")).toString(), QString());
    QCOMPARE(loaded.value(QStringLiteral("method")).toString(), echoMethod);
    QCOMPARE(
        jsonText(loaded.value(QStringLiteral("params"))), jsonText(QJsonArray {tagged(value)}));
}

void TestCodecInterop::pythonLoadsResponseDocument()
{
    QFETCH(int, index);
    QFETCH(QVariant, value);

    const QJsonObject loaded = m_loaded.at(samples().size() + index).toObject();
    QCOMPARE(loaded.value(QStringLiteral("error")).toString(), QString());
    QVERIFY(loaded.value(QStringLiteral("method")).isNull());
    QCOMPARE(
        jsonText(loaded.value(QStringLiteral("params"))), jsonText(QJsonArray {tagged(value)}));
}

void TestCodecInterop::pythonLoadsCallWithEveryParameter()
{
    QJsonArray expected;
    for (const Sample &sample : samples())
        expected.append(tagged(sample.value));

    const QJsonObject loaded = m_loaded.at(2 * samples().size()).toObject();
    QCOMPARE(loaded.value(QStringLiteral("error")).toString(), QString());
    QCOMPARE(loaded.value(QStringLiteral("method")).toString(), allMethod);
    QCOMPARE(jsonText(loaded.value(QStringLiteral("params"))), jsonText(expected));
}

void TestCodecInterop::pythonLoadsFaultDocument()
{
    QFETCH(int, index);
    QFETCH(int, code);
    QFETCH(QString, text);

    const QJsonObject loaded = m_loaded.at(2 * samples().size() + 1 + index).toObject();
    QCOMPARE(loaded.value(QStringLiteral("error")).toString(), QString());
    const QJsonObject fault = loaded.value(QStringLiteral("fault")).toObject();
    QCOMPARE(fault.value(QStringLiteral("code")).toDouble(), double(code));
    QCOMPARE(fault.value(QStringLiteral("string")).toString(), text);
}

void TestCodecInterop::codecParsesPythonResponse()
{
    QFETCH(int, index);
    QFETCH(QVariant, value);

    const QString document = m_values.at(index).toString();
    const ParseOutcome outcome = parseResponseOnce(document);
    QVERIFY(outcome.destroyed);
    QCOMPARE(outcome.faults, 0);
    QCOMPARE(outcome.responses, 1);
    QCOMPARE(jsonText(tagged(outcome.value)), jsonText(tagged(value)));
}

void TestCodecInterop::codecParsesPythonFault()
{
    QFETCH(int, index);
    QFETCH(int, code);
    QFETCH(QString, text);

    const ParseOutcome outcome = parseResponseOnce(m_faults.at(index).toString());
    QVERIFY(outcome.destroyed);
    QCOMPARE(outcome.responses, 0);
    QCOMPARE(outcome.faults, 1);
    QCOMPARE(outcome.code, code);
    QCOMPARE(outcome.message, text);
}

QTEST_GUILESS_MAIN(TestCodecInterop)

#include "tst_codecinterop.moc"
