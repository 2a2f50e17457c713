// SPDX-License-Identifier: MIT
#include "quorcodec_p.h"

#include "quordebug_p.h"
#include "quordocument_p.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMetaType>

#include <limits>
#include <optional>

namespace QuorCodec {

QString dateTimeFormat()
{
    return QStringLiteral("yyyyMMddThh:mm:ss");
}

QVariant readInteger(const QString &text)
{
    bool fits = false;
    const int number = text.toInt(&fits, 10);
    if (fits)
        return QVariant(number);
    const qlonglong wide = text.toLongLong(&fits, 10);
    return fits ? QVariant(wide) : QVariant(0);
}

namespace {

// Reads a number of count digits at *at; false, moving nothing, where there are fewer.
bool readDigits(const QString &text, int *at, int count, int *number)
{
    if (*at + count > text.size())
        return false;
    int read = 0;
    for (int i = *at; i < *at + count; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return false;
        read = read * 10 + (c - u'0');
    }
    *at += count;
    *number = read;
    return true;
}

bool skipCharacter(const QString &text, int *at, char16_t c)
{
    if (*at >= text.size() || text.at(*at).unicode() != c)
        return false;
    ++*at;
    return true;
}

} // namespace

QDateTime readDateTime(const QString &text)
{
    int at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readDigits(text, &at, 4, &year))
        return QDateTime();
    const bool extendedDate = skipCharacter(text, &at, u'-');
    if (!readDigits(text, &at, 2, &month) || (extendedDate && !skipCharacter(text, &at, u'-'))
        || !readDigits(text, &at, 2, &day) || !skipCharacter(text, &at, u'T')
        || !readDigits(text, &at, 2, &hour))
        return QDateTime();
    const bool extendedTime = skipCharacter(text, &at, u':');
    if (!readDigits(text, &at, 2, &minute) || (extendedTime && !skipCharacter(text, &at, u':'))
        || !readDigits(text, &at, 2, &second))
        return QDateTime();

    // A fraction of any length, kept to the millisecond.
    int milliseconds = 0;
    if (skipCharacter(text, &at, u'.') || skipCharacter(text, &at, u',')) {
        int digits = 0;
        for (int digit = 0; readDigits(text, &at, 1, &digit); ++digits) {
            if (digits < 3)
                milliseconds = milliseconds * 10 + digit;
        }
        if (digits == 0)
            return QDateTime();
        for (; digits < 3; ++digits)
            milliseconds *= 10;
    }

    std::optional<int> offset;
    if (skipCharacter(text, &at, u'Z')) {
        offset = 0;
    } else if (skipCharacter(text, &at, u'+') || skipCharacter(text, &at, u'-')) {
        const int sign = text.at(at - 1) == QLatin1Char('-') ? -1 : 1;
        int hours = 0, minutes = 0;
        if (!readDigits(text, &at, 2, &hours))
            return QDateTime();
        if (at < text.size()) {
            skipCharacter(text, &at, u':');
            if (!readDigits(text, &at, 2, &minutes))
                return QDateTime();
        }
        if (hours > 23 || minutes > 59)
            return QDateTime();
        offset = sign * (hours * 3600 + minutes * 60);
    }

    const QDate date(year, month, day);
    const QTime time(hour, minute, second, milliseconds);
    if (at != text.size() || !date.isValid() || !time.isValid())
        return QDateTime();
    if (!offset)
        return QDateTime(date, time);
    return *offset ? QDateTime(date, time, Qt::OffsetFromUTC, *offset)
                   : QDateTime(date, time, Qt::UTC);
}

bool isNullValue(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return true;
    case QMetaType::QString:
        return value.toString().isNull();
    case QMetaType::QByteArray:
        return value.toByteArray().isNull();
    case QMetaType::QDateTime:
        return value.toDateTime().isNull();
    default:
        return value.isNull();
    }
}

const ValueTag ValueTags[ValueTagCount] = {
    {QLatin1String("string"), ValueKind::String},
    {QLatin1String("i4"), ValueKind::Int},
    {QLatin1String("int"), ValueKind::Int},
    {QLatin1String("i8"), ValueKind::Int64},
    {QLatin1String("ex:i8"), ValueKind::Int64},
    {QLatin1String("double"), ValueKind::Double},
    {QLatin1String("boolean"), ValueKind::Boolean},
    {QLatin1String("base64"), ValueKind::Base64},
    {QLatin1String("datetime"), ValueKind::DateTime},
    {QLatin1String("datetime.iso8601"), ValueKind::DateTime},
    {QLatin1String("nil"), ValueKind::Nil},
    {QLatin1String("ex:nil"), ValueKind::Nil},
    {QLatin1String("array"), ValueKind::Array},
    {QLatin1String("struct"), ValueKind::Struct},
};

ValueKind kindOfVariant(const QVariant &value, const Options &options)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return options.nil ? ValueKind::Nil : ValueKind::Unknown;
    case QMetaType::Bool:
        return ValueKind::Boolean;
    case QMetaType::Int:
        return ValueKind::Int;
    case QMetaType::Double:
        return ValueKind::Double;
    case QMetaType::QString:
        return ValueKind::String;
    case QMetaType::QByteArray:
        return ValueKind::Base64;
    case QMetaType::QDateTime:
        return ValueKind::DateTime;
    case QMetaType::QVariantList:
        return ValueKind::Array;
    case QMetaType::QVariantMap:
        return ValueKind::Struct;
    case QMetaType::LongLong:
        return options.i8 ? ValueKind::Int64 : ValueKind::Unknown;
    case QMetaType::ULongLong:
        return options.i8 && value.toULongLong() <= quint64(std::numeric_limits<qint64>::max())
            ? ValueKind::Int64
            : ValueKind::Unknown;
    default:
        return ValueKind::Unknown;
    }
}

namespace {

// The length of the character at i, 1 or 2, or 0 when XML does not allow it.
int xmlCharacterLength(const QChar *text, int size, int i)
{
    const char16_t c = text[i].unicode();
    if (QChar::isHighSurrogate(c))
        return i + 1 < size && QChar::isLowSurrogate(text[i + 1].unicode()) ? 2 : 0;
    return isXmlCharacter(c) ? 1 : 0;
}

bool hasInvalidCharacters(const QString &text)
{
    const QChar *const data = text.constData();
    const int size = text.size();
    for (int i = 0; i < size;) {
        const int length = xmlCharacterLength(data, size, i);
        if (length == 0)
            return true;
        i += length;
    }
    return false;
}

} // namespace

QString withoutInvalidCharacters(const QString &text)
{
    if (!hasInvalidCharacters(text))
        return text;
    QString kept;
    kept.reserve(text.size());
    const QChar *const data = text.constData();
    const int size = text.size();
    for (int i = 0; i < size;) {
        const int length = xmlCharacterLength(data, size, i);
        kept.append(data + i, length);
        i += qMax(length, 1);
    }
    return kept;
}

QuorResponse parseError(DocumentKind kind, int line, const QString &reason)
{
    return QuorResponse::fromFault(-32700,
        QStringLiteral("parse error: %1 not well formed at line %2: %3")
            .arg(kind == DocumentKind::Request ? QLatin1String("request")
                                               : QLatin1String("response"),
                QString::number(line), reason));
}

bool isContainer(ValueKind kind)
{
    return kind == ValueKind::Array || kind == ValueKind::Struct;
}

QVariantMap faultValue(int code, const QString &message)
{
    return {{QStringLiteral("faultCode"), QVariant(code)},
        {QStringLiteral("faultString"), QVariant(message)}};
}

QuorResponse faultResponse(const QVariant &faultValue)
{
    const QVariantMap fault = faultValue.toMap();
    QuorResponse response;
    response.isFault = true;
    response.faultString = fault.value(QStringLiteral("faultString")).toString();
    response.faultCode = fault.value(QStringLiteral("faultCode")).toInt();
    return response;
}

QuorResponse notXmlRpcResponse()
{
    QuorResponse response;
    response.isFault = true;
    response.faultCode = -32600;
    // QuorObject's translation context, in which parseResponse() reports this fault.
    response.faultString = QCoreApplication::translate(
        "QuorObject", "parse error: invalid xml-rpc. not conforming to spec.");
    return response;
}

void reportUnknownType(const QString &lowerCaseTag, QStringList *capture)
{
    QuorDebugLine(capture) << "Cannot demarshal unknown type " << lowerCaseTag;
}

void reportTooDeepToRead(QStringList *capture)
{
    QuorDebugLine(capture) << "Cannot demarshal value nested deeper than"
                           << QuorDocument::MaxValueNesting << "levels";
}

void reportTooDeepToWrite()
{
    QuorDebugLine() << "Failed to marshal value nested deeper than" << QuorDocument::MaxValueNesting
                    << "levels";
}

QString variantTypeName(int typeId)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const char *name = QMetaType(typeId).name();
#else
    const char *name = QMetaType::typeName(typeId);
#endif
    // An invalid variant is named as Qt 5's QDebug names its type.
    return QLatin1String("QVariant::") + QLatin1String(typeId != 0 && name ? name : "Invalid");
}

void reportUnknownVariant(int typeId)
{
    (QuorDebugLine() << "Failed to marshal unknown variant type: ")
        .plain(variantTypeName(typeId))
        .endLine();
}

} // namespace QuorCodec
