// SPDX-License-Identifier: MIT
// The fast codec against the DOM codec it stands in for, on any input: the
// input read as a response document and as a call document by both fast
// readers (from text and from UTF-8) and by the DOM reader; and a value built
// from the same bytes, written
// by the fast writers and by the DOM writer. Outcomes, values (types, null
// strings and every bit of a double included), texts and debug messages must
// be the same.
#include "debugmessages.h"
#include "fuzzsupport.h"
#include "quorcodec_p.h"
#include "quorobject.h"
#include "randomxmlrpc.h"

#include <QStringList>

namespace {

using DebugMessages::messagesOf;

QByteArray describeResponse(const QuorResponse &response, const QStringList &messages)
{
    const QString outcome = response.isFault
        ? QStringLiteral("fault %1 %2")
              .arg(response.faultCode)
              .arg(describeValue(QVariant(response.faultString)))
        : QStringLiteral("value ") + describeValue(response.value);
    return (outcome + QLatin1Char('\n') + messages.join(QLatin1Char('\n'))).toUtf8();
}

// A call as the server gets it: its method, params and fault. An empty
// method, null or not, says the document is no call.
QByteArray describeRequest(const QuorRequest &request, const QStringList &messages)
{
    QString outcome = (request.method.isEmpty()
                              ? QStringLiteral("no method")
                              : QStringLiteral("method ") + describeValue(QVariant(request.method)))
        + QStringLiteral(" params");
    for (const QVariant &param : request.params)
        outcome += QLatin1Char(' ') + describeValue(param);
    const QByteArray fault = describeResponse(request.fault, messages);
    return outcome.toUtf8() + ' ' + fault;
}

template<typename Document>
void compareReader(const Document &document, const QString &text, const QByteArray &expected)
{
    QuorResponse fast;
    QStringList messages;
    if (!QuorFastCodec::readResponse(document, &fast, &messages))
        return;
    const QByteArray actual = describeResponse(fast, messages);
    if (actual != expected)
        FuzzSupport::fail("the fast reader must read as the DOM reads",
            "fast: " + actual + "\nDOM:  " + expected + "\nfor:\n" + text.toUtf8());
}

template<typename Document>
void compareRequestReader(const Document &document, const QString &text, const QByteArray &expected)
{
    QuorRequest fast;
    QStringList messages;
    if (!QuorFastCodec::readRequest(document, &fast, &messages))
        return;
    const QByteArray actual = describeRequest(fast, messages);
    if (actual != expected)
        FuzzSupport::fail("the fast reader must read a call as the DOM reads it",
            "fast: " + actual + "\nDOM:  " + expected + "\nfor:\n" + text.toUtf8());
}

void compareReaders(QByteArray body)
{
    const int zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    QString text = QString::fromUtf8(body);
    if (qtXmlMisreadsReferenceIn(text))
        return;
    if (qtXmlLosesCharactersOf(text)) {
        text = withWhatQtXmlLosesReplaced(text);
        body = text.toUtf8();
    }
    QuorResponse dom;
    const QStringList domMessages = messagesOf([&] { dom = QuorDomCodec::readResponse(text); });
    const QByteArray expected = describeResponse(dom, domMessages);
    compareReader(text, text, expected);
    compareReader(body, text, expected);

    QuorRequest domRequest;
    const QStringList domRequestMessages
        = messagesOf([&] { domRequest = QuorDomCodec::readRequest(text); });
    const QByteArray expectedRequest = describeRequest(domRequest, domRequestMessages);
    compareRequestReader(text, text, expectedRequest);
    compareRequestReader(body, text, expectedRequest);
}

template<typename Write>
void compareWriter(const char *what, Write write)
{
    QString dom;
    QString fast;
    QByteArray fastUtf8;
    const QStringList domMessages = messagesOf([&] { dom = write(0).toString(); });
    const QStringList fastMessages = messagesOf([&] { fast = write(1).toString(); });
    const QStringList utf8Messages = messagesOf([&] { fastUtf8 = write(2).toByteArray(); });
    if (fast != dom || fastUtf8 != dom.toUtf8())
        FuzzSupport::fail(what, "fast:\n" + fast.toUtf8() + "\nDOM:\n" + dom.toUtf8());
    if (fastMessages != domMessages || utf8Messages != domMessages)
        FuzzSupport::fail(what, "debug messages differ");
}

void compareWriters(const uint8_t *data, size_t size)
{
    size_t position = 0;
    RandomXmlRpc random([&](quint32 bound) {
        quint32 number = 0;
        for (int i = 0; i < 4 && position < size; ++i)
            number = number << 8 | data[position++];
        return number % bound;
    });
    const QString method = random.text();
    const QVariantList args {random.value(), random.value()};
    compareWriter("the fast writers must write a call as the DOM does", [&](int writer) {
        return writer == 0 ? QVariant(QuorDomCodec::writeCall(method, args))
            : writer == 1  ? QVariant(QuorFastCodec::writeCall(method, args))
                           : QVariant(QuorFastCodec::writeCallUtf8(method, args));
    });
    compareWriter("the fast writers must write a response as the DOM does", [&](int writer) {
        return writer == 0 ? QVariant(QuorDomCodec::writeResponse(args.first()))
            : writer == 1  ? QVariant(QuorFastCodec::writeResponse(args.first()))
                           : QVariant(QuorFastCodec::writeResponseUtf8(args.first()));
    });
    const int code = int(random.below(0xFFFFFFFF));
    compareWriter("the fast writers must write a fault as the DOM does", [&](int writer) {
        return writer == 0 ? QVariant(QuorDomCodec::writeFault(code, method))
            : writer == 1  ? QVariant(QuorFastCodec::writeFault(code, method))
                           : QVariant(QuorFastCodec::writeFaultUtf8(code, method));
    });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initialize(argc, argv);
    DebugMessages::install();
    // Every QuorObject sets the policy for invalid characters that both follow.
    delete new QuorObject;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    compareReaders(FuzzSupport::bytes(data, size));
    compareWriters(data, size);
    return 0;
}
