#ifndef QUORCODEC_P_H
#define QUORCODEC_P_H

#include <QDomElement>
#include <QString>
#include <QStringList>
#include <QVariant>

class QNetworkReply;
class QuorObject;

// What a methodResponse document says: a value, or a fault.
struct QuorResponse
{
    bool isFault = false;
    QVariant value;
    int faultCode = 0;
    QString faultString;
};

// The codec built on QtXml's DOM. It is the reference: its results are the
// library's behaviour, and the fast codec below must match them exactly.
namespace QuorDomCodec {

QDomElement writeValue(const QVariant &value);
QVariant readValue(const QDomElement &value);

QString writeCall(const QString &method, const QVariantList &args);
QString writeResponse(const QVariant &value);
QString writeFault(int code, const QString &message);

// Debug messages about unreadable values go straight to qDebug().
QuorResponse readResponse(const QString &text);

} // namespace QuorDomCodec

// The same documents written and read straight between text and QVariant, with
// no tree in between: several times faster, and far smaller in memory.
namespace QuorFastCodec {

// The very text of the QuorDomCodec writers.
QString writeCall(const QString &method, const QVariantList &args);
QString writeResponse(const QVariant &value);
QString writeFault(int code, const QString &message);
// Their UTF-8 encoding, written directly.
QByteArray writeCallUtf8(const QString &method, const QVariantList &args);
QByteArray writeResponseUtf8(const QVariant &value);
QByteArray writeFaultUtf8(int code, const QString &message);

// Reads text exactly as QuorDomCodec::readResponse() does, keeping the debug
// messages in debugMessages, and returns true; or returns false, having done
// nothing, for text it is not sure to read the same way (a DOCTYPE, comments,
// attributes, an encoding other than UTF-8, a document not well formed, ...).
bool readResponse(const QString &text, QuorResponse *response, QStringList *debugMessages);
// The same for a response's UTF-8 bytes, as QString::fromUtf8() would give them.
bool readResponse(const QByteArray &utf8, QuorResponse *response, QStringList *debugMessages);

// Reads a response's UTF-8 bytes the fast way where it can, and through
// QString and the DOM where it cannot; debug messages go out as they would.
QuorResponse readResponseBytes(const QByteArray &utf8);

} // namespace QuorFastCodec

// Emits what parseResponse() emits for response, then deletes the call object.
void quorDeliverResponse(QuorObject *call, QuorResponse *response, QNetworkReply *reply);

// What both codecs share, so that they cannot drift apart.
namespace QuorCodec {

QString dateTimeFormat();

// Whether prepareResponse() leaves a value out, as Qt 5's QVariant::isNull()
// tells: invalid, or a null string, byte array or date-time. Qt 6 reports only
// invalid variants and null pointers as null.
bool isNullValue(const QVariant &value);

enum class ValueKind {
    String,
    Int,
    Double,
    Boolean,
    Base64,
    DateTime,
    Nil,
    Array,
    Struct,
    Unknown
};
// The type elements a value may hold, by their names in lower case.
struct ValueTag
{
    QLatin1String lowerCaseTag;
    ValueKind kind;
};
constexpr int ValueTagCount = 11;
extern const ValueTag ValueTags[ValueTagCount];
ValueKind kindOfTag(const QString &lowerCaseTag);
bool isContainer(ValueKind kind);

// The response for a fault value, as read from a document.
QuorResponse faultResponse(const QVariant &faultValue);
// The response for a document that is no XML-RPC response.
QuorResponse notXmlRpcResponse();

void reportUnknownType(const QString &lowerCaseTag, QStringList *capture);
void reportTooDeepToRead(QStringList *capture);
void reportTooDeepToWrite();
void reportUnknownVariant(int typeId);

} // namespace QuorCodec

#endif
