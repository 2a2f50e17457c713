// SPDX-License-Identifier: MIT
// Response bodies, as a server sends them, into QuorObject::parseResponse()
// on a real per-call object: exactly one signal, carrying the reply handed in,
// and the object gone afterwards.
#include "fuzzsupport.h"
#include "quorobject.h"

#include <QNetworkReply>
#include <QPointer>
#include <QString>

namespace {

void parseOnce(const QString &response)
{
    // Never dereferenced: parseResponse() only hands it on.
    auto *const reply = reinterpret_cast<QNetworkReply *>(quintptr(0x5eed));
    int responses = 0;
    int faults = 0;
    bool replyPassedOn = true;
    const QPointer<QuorObject> object = new QuorObject;
    QObject::connect(object, &QuorObject::aresponse, [&](QVariant &, QNetworkReply *passed) {
        ++responses;
        replyPassedOn = replyPassedOn && passed == reply;
    });
    QObject::connect(object, &QuorObject::fault, [&](int, const QString &, QNetworkReply *passed) {
        ++faults;
        replyPassedOn = replyPassedOn && passed == reply;
    });
    object->parseResponse(response, reply);

    if (responses + faults != 1)
        FuzzSupport::fail("parseResponse() must emit exactly one signal",
            QByteArray::number(responses) + " aresponse, " + QByteArray::number(faults) + " fault");
    if (!replyPassedOn)
        FuzzSupport::fail("parseResponse() must pass the reply on unchanged");
    if (object)
        FuzzSupport::fail("parseResponse() must delete its object");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The client counts a body as zero-terminated text in UTF-8.
    QByteArray body = FuzzSupport::bytes(data, size);
    const int zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    const QString utf8 = QString::fromUtf8(body);
    parseOnce(utf8);
    // Bytes that are not plain ASCII read differently as Latin-1: characters
    // UTF-8 cannot produce, such as C1 controls, reach the parser that way.
    const QString latin1 = QString::fromLatin1(body);
    if (latin1 != utf8)
        parseOnce(latin1);
    return 0;
}
