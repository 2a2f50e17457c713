// SPDX-License-Identifier: MIT
// The codec's speed and memory: Tavrel's codec against its own DOM-based path
// and, when built with it, Debian's xmlrpc-c, on one large document (an array
// of 60,000 structs of four members, about 35 MB) and one small (a struct of
// five members). The server's side is a call of such structs as large as the
// server accepts (4 MiB), and a small call. Google Benchmark runs every case;
// then a table gives the ratios of this same run, and child processes measure
// the peak memory of one parse each.
//
//   codec_bench [--benchmark_... flags]

#include "quorcodec_p.h"
#include "quordocument_p.h"
#include "quorobject.h"
#include "quorxmlrpcserver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDomDocument>
#include <QFile>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#ifdef TAVREL_WITH_XMLRPC_C
#include <xmlrpc-c/base.h>
#endif

#include <cstdio>
#include <map>
#include <string>

namespace {

QVariant smallStruct(int index)
{
    QVariantMap entries;
    entries[QStringLiteral("id")] = index;
    entries[QStringLiteral("name")] = QStringLiteral("item %1").arg(index);
    entries[QStringLiteral("price")] = 10.25 + index % 100;
    entries[QStringLiteral("active")] = index % 3 == 0;
    entries[QStringLiteral("note")] = QStringLiteral("R&D <%1>").arg(index % 7);
    return entries;
}

// Rows of a list as it might come from a ticket system: four members.
QVariant rows(int count)
{
    QVariantList items;
    items.reserve(count);
    for (int i = 0; i < count; ++i) {
        QVariantMap row;
        row[QStringLiteral("id")] = i;
        row[QStringLiteral("title")] = QStringLiteral("Ticket %1 & more").arg(i);
        row[QStringLiteral("open")] = i % 3 == 0;
        row[QStringLiteral("hours")] = 0.5 * (i % 40);
        items.append(row);
    }
    return items;
}

const QVariant &value(bool large)
{
    static const QVariant largeOne = rows(60000);
    static const QVariant smallOne = smallStruct(7);
    return large ? largeOne : smallOne;
}

const QByteArray &responseBytes(bool large)
{
    static const QByteArray largeOne = QuorObject::prepareResponse(value(true)).toUtf8();
    static const QByteArray smallOne = QuorObject::prepareResponse(value(false)).toUtf8();
    return large ? largeOne : smallOne;
}

QByteArray callBytes(const QVariant &argument)
{
    return QuorFastCodec::writeCallUtf8(QStringLiteral("items.put"), {argument});
}

// The most rows whose call the server still accepts.
QByteArray largestAcceptedCall()
{
    const qint64 limit = QuorXmlRpcServer().maximumRequestSize();
    const qint64 thousand = callBytes(rows(1000)).size();
    const qint64 perRow = (callBytes(rows(2000)).size() - thousand) / 1000;
    int count = int((limit - (thousand - 1000 * perRow)) / perRow);
    QByteArray bytes = callBytes(rows(count));
    while (bytes.size() > limit)
        bytes = callBytes(rows(count -= 10));
    return bytes;
}

const QByteArray &requestBytes(bool large)
{
    static const QByteArray largeOne = largestAcceptedCall();
    static const QByteArray smallOne = callBytes(value(false));
    return large ? largeOne : smallOne;
}

void setBytes(benchmark::State &state, qint64 bytes)
{
    state.SetBytesProcessed(state.iterations() * bytes);
}

// The body as the client reads it: UTF-8 bytes to a QVariant.
QVariant parseWithTavrel(const QByteArray &bytes)
{
    return QuorFastCodec::readResponseBytes(bytes).value;
}

QVariant parseWithDom(const QByteArray &bytes)
{
    return QuorDomCodec::readResponse(QString::fromUtf8(bytes)).value;
}

// A request body as the server reads it, and as it read it before through the
// DOM: decoded to text first.
QuorRequest parseRequestWithTavrel(const QByteArray &bytes)
{
    return QuorFastCodec::readRequestBytes(bytes);
}

QuorRequest parseRequestWithDom(const QByteArray &bytes)
{
    QString text;
    QuorDocument::decode(bytes, &text);
    return QuorDomCodec::readRequest(text);
}

void parseRequest(benchmark::State &state, bool large, QuorRequest (*parser)(const QByteArray &))
{
    const QByteArray &bytes = requestBytes(large);
    for (auto _ : state)
        benchmark::DoNotOptimize(parser(bytes));
    setBytes(state, bytes.size());
}

void parse(benchmark::State &state, bool large, QVariant (*parser)(const QByteArray &))
{
    const QByteArray &bytes = responseBytes(large);
    for (auto _ : state)
        benchmark::DoNotOptimize(parser(bytes));
    setBytes(state, bytes.size());
}

// QuorObject::parseResponse() alone, on text decoded beforehand.
void parseResponse(benchmark::State &state, bool large)
{
    const QString text = QString::fromUtf8(responseBytes(large));
    for (auto _ : state) {
        QVariant result;
        auto *object = new QuorObject;
        QObject::connect(object, &QuorObject::aresponse,
            [&result](QVariant &value, QNetworkReply *) { result = value; });
        object->parseResponse(text, nullptr);
        benchmark::DoNotOptimize(result);
    }
    setBytes(state, responseBytes(large).size());
}

// A call or response as the client and server send it: UTF-8 bytes.
void writeCall(benchmark::State &state, bool large, bool dom)
{
    const QVariantList args {value(large)};
    const QString method = QStringLiteral("items.put");
    for (auto _ : state) {
        benchmark::DoNotOptimize(dom ? QuorDomCodec::writeCall(method, args).toUtf8()
                                     : QuorFastCodec::writeCallUtf8(method, args));
    }
    setBytes(state, responseBytes(large).size());
}

// QuorObject::prepareCall() alone: the document as a QString.
void prepareCall(benchmark::State &state, bool large)
{
    const QVariantList args {value(large)};
    QuorObject object;
    for (auto _ : state)
        benchmark::DoNotOptimize(object.prepareCall(QStringLiteral("items.put"), args));
    setBytes(state, responseBytes(large).size());
}

void writeResponse(benchmark::State &state, bool large, bool dom)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(dom ? QuorDomCodec::writeResponse(value(large)).toUtf8()
                                     : QuorFastCodec::writeResponseUtf8(value(large)));
    }
    setBytes(state, responseBytes(large).size());
}

void toXml(benchmark::State &state, bool large)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QuorObject::toXml(value(large)));
}

void fromXml(benchmark::State &state, bool large)
{
    QDomDocument document;
    document.setContent(QString::fromUtf8(responseBytes(large)));
    const QDomElement element
        = document.documentElement().firstChildElement().firstChildElement().firstChildElement();
    for (auto _ : state)
        benchmark::DoNotOptimize(QuorObject::fromXml(element));
    setBytes(state, responseBytes(large).size());
}

#ifdef TAVREL_WITH_XMLRPC_C
xmlrpc_value *xmlrpcValue(xmlrpc_env *env, const QVariant &variant)
{
    switch (variant.userType()) {
    case QMetaType::Int:
        return xmlrpc_int_new(env, variant.toInt());
    case QMetaType::Bool:
        return xmlrpc_bool_new(env, variant.toBool());
    case QMetaType::Double:
        return xmlrpc_double_new(env, variant.toDouble());
    case QMetaType::QString:
        return xmlrpc_string_new(env, variant.toString().toUtf8().constData());
    case QMetaType::QVariantList: {
        xmlrpc_value *array = xmlrpc_array_new(env);
        for (const QVariant &item : variant.toList()) {
            xmlrpc_value *itemValue = xmlrpcValue(env, item);
            xmlrpc_array_append_item(env, array, itemValue);
            xmlrpc_DECREF(itemValue);
        }
        return array;
    }
    default: {
        xmlrpc_value *structure = xmlrpc_struct_new(env);
        const QVariantMap entries = variant.toMap();
        for (auto entry = entries.cbegin(); entry != entries.cend(); ++entry) {
            xmlrpc_value *memberValue = xmlrpcValue(env, entry.value());
            xmlrpc_struct_set_value(env, structure, entry.key().toUtf8().constData(), memberValue);
            xmlrpc_DECREF(memberValue);
        }
        return structure;
    }
    }
}

void parseXmlrpcC(const QByteArray &bytes)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *result = nullptr;
    int faultCode = 0;
    const char *faultString = nullptr;
    xmlrpc_parse_response2(
        &env, bytes.constData(), size_t(bytes.size()), &result, &faultCode, &faultString);
    if (env.fault_occurred) {
        std::fprintf(stderr, "xmlrpc-c: %s\n", env.fault_string);
        std::exit(1);
    }
    xmlrpc_DECREF(result);
    xmlrpc_env_clean(&env);
}

void xmlrpcCParse(benchmark::State &state, bool large)
{
    const QByteArray &bytes = responseBytes(large);
    for (auto _ : state)
        parseXmlrpcC(bytes);
    setBytes(state, bytes.size());
}

void xmlrpcCWriteCall(benchmark::State &state, bool large)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *params = xmlrpc_array_new(&env);
    xmlrpc_value *argument = xmlrpcValue(&env, value(large));
    xmlrpc_array_append_item(&env, params, argument);
    xmlrpc_DECREF(argument);
    for (auto _ : state) {
        xmlrpc_mem_block *output = xmlrpc_mem_block_new(&env, 0);
        xmlrpc_serialize_call(&env, output, "items.put", params);
        benchmark::DoNotOptimize(xmlrpc_mem_block_size(output));
        xmlrpc_mem_block_free(output);
    }
    xmlrpc_DECREF(params);
    xmlrpc_env_clean(&env);
    setBytes(state, responseBytes(large).size());
}
#endif

void registerAll()
{
    for (const bool large : {true, false}) {
        const std::string size = large ? "Large" : "Small";
        const auto add = [&](const std::string &name, auto function) {
            auto *benchmark = benchmark::RegisterBenchmark((name + "/" + size).c_str(), function);
            benchmark->Unit(large ? benchmark::kMillisecond : benchmark::kMicrosecond);
            if (large)
                benchmark->Iterations(3)->Repetitions(5);
            else
                benchmark->Repetitions(5);
            benchmark->ReportAggregatesOnly(true);
        };
        add("Parse/Tavrel",
            [large](benchmark::State &state) { parse(state, large, parseWithTavrel); });
        add("Parse/Dom", [large](benchmark::State &state) { parse(state, large, parseWithDom); });
        add("ParseRequest/Tavrel", [large](benchmark::State &state) {
            parseRequest(state, large, parseRequestWithTavrel);
        });
        add("ParseRequest/Dom",
            [large](benchmark::State &state) { parseRequest(state, large, parseRequestWithDom); });
        add("ParseResponse/Tavrel",
            [large](benchmark::State &state) { parseResponse(state, large); });
        add("WriteCall/Tavrel",
            [large](benchmark::State &state) { writeCall(state, large, false); });
        add("WriteCall/Dom", [large](benchmark::State &state) { writeCall(state, large, true); });
        add("PrepareCall/Tavrel", [large](benchmark::State &state) { prepareCall(state, large); });
        add("WriteResponse/Tavrel",
            [large](benchmark::State &state) { writeResponse(state, large, false); });
        add("WriteResponse/Dom",
            [large](benchmark::State &state) { writeResponse(state, large, true); });
        add("ToXml", [large](benchmark::State &state) { toXml(state, large); });
        add("FromXml", [large](benchmark::State &state) { fromXml(state, large); });
#ifdef TAVREL_WITH_XMLRPC_C
        add("Parse/XmlrpcC", [large](benchmark::State &state) { xmlrpcCParse(state, large); });
        add("WriteCall/XmlrpcC",
            [large](benchmark::State &state) { xmlrpcCWriteCall(state, large); });
#endif
    }
}

// Keeps the median real time of every benchmark while the console shows them.
class RecordingReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

void printRatio(
    const RecordingReporter &reporter, const std::string &name, const std::string &slower)
{
    const auto fast = reporter.medians.find(name);
    const auto other = reporter.medians.find(slower);
    if (fast == reporter.medians.end() || other == reporter.medians.end())
        return;
    std::printf("  %-26s %-30s %8.1fx\n", name.c_str(), ("vs " + slower).c_str(),
        other->second / fast->second);
}

// Resident memory now, or at its highest so far, in bytes, from /proc.
double residentBytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() * 1024;
    }
    return 0;
}

// One parse of the large document in a process of its own, which reports how
// far its resident memory rose above what it held with the document loaded.
// (getrusage() would count the memory of the parent it was forked from.)
int peakMemoryChild(const QString &parser, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = file.readAll();
    const double before = residentBytes("VmRSS:");
    if (parser == QLatin1String("tavrel"))
        parseWithTavrel(bytes);
    else if (parser == QLatin1String("dom"))
        parseWithDom(bytes);
    else if (parser == QLatin1String("tavrel-request"))
        parseRequestWithTavrel(bytes);
    else if (parser == QLatin1String("dom-request"))
        parseRequestWithDom(bytes);
#ifdef TAVREL_WITH_XMLRPC_C
    else if (parser == QLatin1String("xmlrpc-c"))
        parseXmlrpcC(bytes);
#endif
    else
        return 1;
    std::printf("%.0f\n", residentBytes("VmHWM:") - before);
    return 0;
}

void printPeakMemory(const QString &program, const char *document, const QByteArray &bytes,
    const QStringList &parsers)
{
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("document.xml"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0)
        return;
    file.close();
    const double body = double(bytes.size());
    std::printf("\nPeak memory of one parse of the %s (%.1f MB), above the loaded bytes:\n",
        document, body / 1e6);
    for (const QString &parser : parsers) {
        QProcess child;
        child.start(program, {QStringLiteral("--peak-memory"), parser, path});
        child.waitForFinished(-1);
        const double peak = child.readAllStandardOutput().trimmed().toDouble();
        std::printf(
            "  %-16s %8.1f MB  %5.1fx the body\n", qPrintable(parser), peak / 1e6, peak / body);
    }
}

// The server must read what it is sent: both readers give the same call.
bool requestsAgree(bool large)
{
    const QuorRequest fast = parseRequestWithTavrel(requestBytes(large));
    const QuorRequest dom = parseRequestWithDom(requestBytes(large));
    return !fast.fault.isFault && fast.method == QLatin1String("items.put")
        && fast.method == dom.method && fast.params == dom.params;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
#ifdef TAVREL_WITH_XMLRPC_C
    xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, size_t(1) << 30);
#endif
    if (argc == 4 && QByteArray(argv[1]) == "--peak-memory")
        return peakMemoryChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));

    // Every QuorObject sets QtXml's policy for invalid characters, which the
    // writers follow; as in any application, one is made before anything runs.
    delete new QuorObject;
    // The codec's debug messages would be timed with it otherwise.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    std::printf("Large response: %d bytes; small response: %d bytes\n",
        int(responseBytes(true).size()), int(responseBytes(false).size()));
    std::printf("Large request: %d bytes; small request: %d bytes\n",
        int(requestBytes(true).size()), int(requestBytes(false).size()));
    if (!requestsAgree(true) || !requestsAgree(false)) {
        std::fprintf(stderr, "The fast and the DOM reader disagree on a request\n");
        return 1;
    }
    registerAll();
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nRatios of medians (how many times faster):\n");
    for (const char *size : {"Large", "Small"}) {
        const std::string suffix = std::string("/") + size;
        printRatio(reporter, "Parse/Tavrel" + suffix, "Parse/Dom" + suffix);
        printRatio(reporter, "Parse/Tavrel" + suffix, "Parse/XmlrpcC" + suffix);
        printRatio(reporter, "ParseResponse/Tavrel" + suffix, "Parse/Dom" + suffix);
        printRatio(reporter, "ParseRequest/Tavrel" + suffix, "ParseRequest/Dom" + suffix);
        printRatio(reporter, "WriteCall/Tavrel" + suffix, "WriteCall/Dom" + suffix);
        printRatio(reporter, "WriteCall/Tavrel" + suffix, "WriteCall/XmlrpcC" + suffix);
        printRatio(reporter, "PrepareCall/Tavrel" + suffix, "WriteCall/Dom" + suffix);
        printRatio(reporter, "WriteResponse/Tavrel" + suffix, "WriteResponse/Dom" + suffix);
    }
    QStringList responseParsers {QStringLiteral("tavrel"), QStringLiteral("dom")};
#ifdef TAVREL_WITH_XMLRPC_C
    responseParsers.append(QStringLiteral("xmlrpc-c"));
#endif
    const QString program = QCoreApplication::applicationFilePath();
    printPeakMemory(program, "large response", responseBytes(true), responseParsers);
    printPeakMemory(program, "large request", requestBytes(true),
        {QStringLiteral("tavrel-request"), QStringLiteral("dom-request")});
    return 0;
}
