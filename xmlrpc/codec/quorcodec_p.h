// SPDX-License-Identifier: MIT
#ifndef QUORCODEC_P_H
#define QUORCODEC_P_H

#include <QDateTime>
#include <QDomElement>
#include <QString>
#include <QStringList>
#include <QVariant>

// Which code serves which document:
// - Documents received are read in one place, readDocument() in
//   quorfastreader.cpp, behind QuorFastCodec::readResponseText(),
//   readResponseBytes() and readRequestBytes(): the fast reader reads every
//   document it can read itself, giving the DOM's answers; the rest it hands
//   to QuorDomCodec: documents not well formed (the DOM words their errors),
//   a DOCTYPE, names beyond ASCII, references to control characters, repeated
//   attributes, and every document under the ReturnNullNode invalid-data
//   policy. Bytes in an encoding other than UTF-8 are decoded first.
// - QuorObject::toXml() and fromXml() are QuorDomCodec::writeValue() and
//   readValue(), the DOM codec that is the reference the fast codec matches.
// - Documents are written by the fast writer, whose text is the DOM writer's.
//   For calls and QuorObject's documents, domWrites() in quorfastwriter.cpp
//   hands over to the DOM writer when QtXml's invalid-data policy is not the
//   DropInvalidChars every QuorObject sets, so that the text follows the
//   policy the application chose. The server's answers (writeOutcomeUtf8())
//   always come from the fast writer and follow no policy.

namespace QuorCodec {

// How a client or server reads and writes values beyond XML-RPC's own types.
struct Options
{
    // <i8> and <ex:i8> read as qlonglong; qlonglong and qulonglong values
    // that fit in 64 signed bits written as <i8>. Off, both are unknown types.
    bool i8 = false;
    // An invalid QVariant, or a null pointer one, written as <nil/>. Off,
    // neither is written.
    bool nil = false;
};

} // namespace QuorCodec

// One call's outcome, as a methodResponse document says it or as a server
// answers it: a value, or a fault.
struct QuorResponse
{
    bool isFault = false;
    QVariant value;
    int faultCode = 0;
    QString faultString;

    static QuorResponse fromFault(int code, const QString &message)
    {
        return {true, QVariant(), code, message};
    }
};

// What a methodCall document says. A document that is no call has an empty
// method; one that could not be read, a fault.
struct QuorRequest
{
    QString method;
    QVariantList params;
    QuorResponse fault;
};

// The codec built on QtXml's DOM. It is the reference: its results are the
// library's behaviour, and the fast codec below must match them exactly.
namespace QuorDomCodec {

QDomElement writeValue(const QVariant &value);
QVariant readValue(const QDomElement &value, const QuorCodec::Options &options = {});

QString writeCall(const QString &method, const QVariantList &args);
QString writeResponse(const QVariant &value);
QString writeFault(int code, const QString &message);

// Debug messages about unreadable values go straight to qDebug().
QuorResponse readResponse(const QString &text, const QuorCodec::Options &options = {});
QuorRequest readRequest(const QString &text, const QuorCodec::Options &options = {});

} // namespace QuorDomCodec

// The same documents written and read straight between text and QVariant, with
// no tree in between: several times faster, and far smaller in memory.
namespace QuorFastCodec {

// The very text of the QuorDomCodec writers. A value that cannot be written
// (an unsupported type, too deep) is left out with a debug message, as there;
// written, when given, tells whether every value was.
QString writeCall(const QString &method, const QVariantList &args,
    const QuorCodec::Options &options = {}, bool *written = nullptr);
QString writeResponse(const QVariant &value);
QString writeFault(int code, const QString &message);
// Their UTF-8 encoding, written directly.
QByteArray writeCallUtf8(const QString &method, const QVariantList &args,
    const QuorCodec::Options &options = {}, bool *written = nullptr);
QByteArray writeResponseUtf8(
    const QVariant &value, const QuorCodec::Options &options = {}, bool *written = nullptr);
QByteArray writeFaultUtf8(int code, const QString &message);
// The response document of an outcome, a value or a fault, as the fast writer
// writes it whatever QtXml's invalid-data policy.
QByteArray writeOutcomeUtf8(const QuorResponse &outcome, const QuorCodec::Options &options = {});

// Whether value can be written whole: every type known, not nested too deep.
// With reportFailures, each value that cannot be written is reported in the
// debug message the writer gives for it.
bool isWritable(
    const QVariant &value, const QuorCodec::Options &options = {}, bool reportFailures = false);

// Reads text as QuorDomCodec::readResponse() does, keeping every character as
// written (see FastReader), the debug messages in debugMessages, and returns
// true; or returns false, having done nothing, for text it leaves to the DOM
// (a document not well formed, a DOCTYPE, names beyond ASCII, ...).
bool readResponse(const QString &text, QuorResponse *response, QStringList *debugMessages,
    const QuorCodec::Options &options = {});
// The same for a response's UTF-8 bytes.
bool readResponse(const QByteArray &utf8, QuorResponse *response, QStringList *debugMessages,
    const QuorCodec::Options &options = {});
// The same for methodCall documents, read as QuorDomCodec::readRequest() does.
bool readRequest(const QString &text, QuorRequest *request, QStringList *debugMessages,
    const QuorCodec::Options &options = {});
bool readRequest(const QByteArray &utf8, QuorRequest *request, QStringList *debugMessages,
    const QuorCodec::Options &options = {});

// Reads a document the fast way where it can, and through the DOM where it
// cannot; debug messages go out as they would. Bodies are decoded as their
// byte-order mark or declaration says.
QuorResponse readResponseText(const QString &text, const QuorCodec::Options &options = {});
QuorResponse readResponseBytes(const QByteArray &body, const QuorCodec::Options &options = {});
QuorRequest readRequestBytes(const QByteArray &body, const QuorCodec::Options &options = {});

} // namespace QuorFastCodec

// What both codecs share, so that they cannot drift apart.
namespace QuorCodec {

QString dateTimeFormat();
// The number of an <int> or <i4> element: an int where it fits, a qlonglong
// where it needs 64 bits (peers write large integers so), 0 for text that is
// no number or does not fit either.
QVariant readInteger(const QString &text);
// The date-time of a dateTime.iso8601 element, in the forms services write:
// the date basic (20141110) or extended (2014-11-10), 'T', the time basic or
// extended (23:38:51), an optional fraction of a second, and an optional zone
// (Z, +0000, +01:00, +01) kept as UTC or its offset. Without a zone it is local
// time. Anything else, an impossible date among it, is an invalid QDateTime.
QDateTime readDateTime(const QString &text);

// Whether prepareResponse() leaves a value out, as Qt 5's QVariant::isNull()
// tells: invalid, or a null string, byte array or date-time. Qt 6 reports only
// invalid variants and null pointers as null.
bool isNullValue(const QVariant &value);

enum class ValueKind {
    String,
    Int,
    Int64,
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
constexpr int ValueTagCount = 14;
extern const ValueTag ValueTags[ValueTagCount];

// A UTF-16 unit of text, or a byte of UTF-8, as a number.
constexpr char16_t codeUnit(QChar c)
{
    return c.unicode();
}
constexpr char16_t codeUnit(char c)
{
    return uchar(c);
}
// Whether c is one of the ASCII letters, the only ones names compare by case.
constexpr bool isAsciiLetter(char16_t c)
{
    return (c | 0x20) >= u'a' && (c | 0x20) <= u'z';
}

// The kind of the type element named by the size characters at name, in ASCII
// letters of any case: the one lookup of type names, for both readers.
template<typename Char>
ValueKind kindOfTag(const Char *name, int size, const Options &options)
{
    for (const ValueTag &entry : ValueTags) {
        // Most names differ in length or in their first letter.
        if (entry.lowerCaseTag.size() != size
            || (codeUnit(name[0]) | 0x20) != entry.lowerCaseTag.at(0).unicode())
            continue;
        bool same = true;
        for (int i = 1; i < size && same; ++i) {
            const char16_t c = codeUnit(name[i]);
            same
                = (isAsciiLetter(c) ? char16_t(c | 0x20) : c) == entry.lowerCaseTag.at(i).unicode();
        }
        if (same)
            return entry.kind == ValueKind::Int64 && !options.i8 ? ValueKind::Unknown : entry.kind;
    }
    return ValueKind::Unknown;
}
inline ValueKind kindOfTag(const QString &tag, const Options &options)
{
    return kindOfTag(tag.constData(), tag.size(), options);
}
bool isContainer(ValueKind kind);
// The kind a variant is written as; Unknown for a type no value is written for.
ValueKind kindOfVariant(const QVariant &value, const Options &options);

// The text of a double: QString::number(number, 'g', 6) where that reads back
// as the very same double, else the shortest text that does. Writes at most
// 32 characters to buffer and returns how many.
int writeDouble(char *buffer, double number);
// Whether XML allows the character c in a document.
inline bool isXmlCharacter(char32_t c)
{
    return c >= 0x20
        ? (c < 0xD800 || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF))
        : (c == 0x9 || c == 0xA || c == 0xD);
}
// Text for a text node, without the characters XML does not allow: control
// characters, lone surrogates, U+FFFE and U+FFFF. Pairs of surrogates stay.
QString withoutInvalidCharacters(const QString &text);

enum class DocumentKind { Request, Response };
// The fault for a document that could not be parsed: -32700.
QuorResponse parseError(DocumentKind kind, int line, const QString &reason);

// The struct of a fault, {faultCode, faultString}, as documents carry it.
QVariantMap faultValue(int code, const QString &message);
// The response for a fault value, as read from a document.
QuorResponse faultResponse(const QVariant &faultValue);
// The response for a document that is no XML-RPC response.
QuorResponse notXmlRpcResponse();

void reportUnknownType(const QString &lowerCaseTag, QStringList *capture);
void reportTooDeepToRead(QStringList *capture);
void reportTooDeepToWrite();
void reportUnknownVariant(int typeId);
// The name of a variant's type, as the debug message above gives it.
QString variantTypeName(int typeId);

} // namespace QuorCodec

#endif
