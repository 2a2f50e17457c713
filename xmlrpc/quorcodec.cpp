#include "quorcodec_p.h"

#include "quordebug_p.h"
#include "quordocument_p.h"
#include "quorobject.h"

#include <QDateTime>
#include <QMetaType>

namespace QuorCodec {

QString dateTimeFormat()
{
    return QStringLiteral("yyyyMMddThh:mm:ss");
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
    {QLatin1String("double"), ValueKind::Double},
    {QLatin1String("boolean"), ValueKind::Boolean},
    {QLatin1String("base64"), ValueKind::Base64},
    {QLatin1String("datetime"), ValueKind::DateTime},
    {QLatin1String("datetime.iso8601"), ValueKind::DateTime},
    {QLatin1String("nil"), ValueKind::Nil},
    {QLatin1String("array"), ValueKind::Array},
    {QLatin1String("struct"), ValueKind::Struct},
};

ValueKind kindOfTag(const QString &lowerCaseTag)
{
    for (const ValueTag &entry : ValueTags) {
        if (lowerCaseTag == entry.lowerCaseTag)
            return entry.kind;
    }
    return ValueKind::Unknown;
}

bool isContainer(ValueKind kind)
{
    return kind == ValueKind::Array || kind == ValueKind::Struct;
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
    response.faultString = QuorObject::tr("parse error: invalid xml-rpc. not conforming to spec.");
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

void reportUnknownVariant(int typeId)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const char *name = QMetaType(typeId).name();
#else
    const char *name = QMetaType::typeName(typeId);
#endif
    // Qt 4 printed "QVariant::" alone for an invalid variant; the type is named now.
    const QString typeName
        = QLatin1String("QVariant::") + QLatin1String(typeId != 0 && name ? name : "Invalid");
    (QuorDebugLine() << "Failed to marshal unknown variant type: ").plain(typeName).endLine();
}

} // namespace QuorCodec
