#include "quorobject.h"

#include "quordebug_p.h"
#include "quordocument_p.h"

#include <QDateTime>
#include <QDomImplementation>
#include <QDomNodeList>
#include <QMetaType>

namespace {

const QString DateTimeFormat = QStringLiteral("yyyyMMddThh:mm:ss");

// Elements returned by toXml() are detached, yet every DOM node still points at
// the document that created it, so that document must outlive all of them. One
// document per thread, since the DOM is not thread-safe; it holds no nodes
// itself, each element lives as long as somebody holds it.
QDomDocument &valueDocument()
{
    thread_local QDomDocument document;
    return document;
}

QString variantTypeName(int typeId)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const char *name = QMetaType(typeId).name();
#else
    const char *name = QMetaType::typeName(typeId);
#endif
    return QLatin1String("QVariant::") + QLatin1String(typeId != 0 && name ? name : "Invalid");
}

QDomElement writeValue(const QVariant &variant, int nesting)
{
    QDomDocument &document = valueDocument();
    QDomElement value = document.createElement(QStringLiteral("value"));
    const auto appendScalar = [&](const QString &type, const QString &text) {
        QDomElement typed = document.createElement(type);
        value.appendChild(typed);
        typed.appendChild(document.createTextNode(text));
    };
    const int typeId = variant.userType();
    const bool container = typeId == QMetaType::QVariantList || typeId == QMetaType::QVariantMap;
    if (container && nesting >= QuorDocument::MaxValueNesting) {
        QuorDebugLine() << "Failed to marshal value nested deeper than"
                        << QuorDocument::MaxValueNesting << "levels";
        return QDomElement();
    }
    switch (typeId) {
    case QMetaType::Bool:
        appendScalar(QStringLiteral("boolean"),
            variant.toBool() ? QStringLiteral("1") : QStringLiteral("0"));
        break;
    case QMetaType::Int:
        appendScalar(QStringLiteral("int"), QString::number(variant.toInt(), 10));
        break;
    case QMetaType::Double:
        appendScalar(QStringLiteral("double"), QString::number(variant.toDouble(), 'g', 6));
        break;
    case QMetaType::QString:
        appendScalar(QStringLiteral("string"), variant.toString());
        break;
    case QMetaType::QByteArray:
        appendScalar(
            QStringLiteral("base64"), QString::fromLatin1(variant.toByteArray().toBase64()));
        break;
    case QMetaType::QDateTime:
        appendScalar(
            QStringLiteral("dateTime.iso8601"), variant.toDateTime().toString(DateTimeFormat));
        break;
    case QMetaType::QVariantList: {
        QDomElement array = document.createElement(QStringLiteral("array"));
        QDomElement data = document.createElement(QStringLiteral("data"));
        array.appendChild(data);
        value.appendChild(array);
        const QVariantList items = variant.toList();
        for (const QVariant &item : items)
            data.appendChild(writeValue(item, nesting + 1));
        break;
    }
    case QMetaType::QVariantMap: {
        QDomElement structure = document.createElement(QStringLiteral("struct"));
        value.appendChild(structure);
        const QVariantMap entries = variant.toMap();
        for (auto entry = entries.cbegin(); entry != entries.cend(); ++entry) {
            QDomElement member = document.createElement(QStringLiteral("member"));
            QDomElement name = document.createElement(QStringLiteral("name"));
            structure.appendChild(member);
            member.appendChild(name);
            name.appendChild(document.createTextNode(entry.key()));
            member.appendChild(writeValue(entry.value(), nesting + 1));
        }
        break;
    }
    default:
        (QuorDebugLine() << "Failed to marshal unknown variant type: ")
            .plain(variantTypeName(typeId))
            .endLine();
        return QDomElement();
    }
    return value;
}

// QVariant::isNull() as Qt 5 has it: invalid, or a null string, byte array or
// date-time. Qt 6 reports only invalid variants and null pointers as null.
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

ValueKind kindOfTag(const QString &lowerCaseTag)
{
    static const struct
    {
        QLatin1String tag;
        ValueKind kind;
    } kinds[] = {
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
    for (const auto &entry : kinds) {
        if (lowerCaseTag == entry.tag)
            return entry.kind;
    }
    return ValueKind::Unknown;
}

QVariant readValue(const QDomElement &value, int nesting)
{
    if (value.tagName().toLower() != QLatin1String("value"))
        return QVariant();
    // Untyped content: the parser keeps no whitespace-only text, so indentation
    // before a type element never lands here.
    const QDomNode first = value.firstChild();
    if (!first.isElement())
        return QVariant(value.text());

    const QDomElement typed = first.toElement();
    const QString tag = typed.tagName().toLower();
    const ValueKind kind = kindOfTag(tag);
    if ((kind == ValueKind::Array || kind == ValueKind::Struct)
        && nesting >= QuorDocument::MaxValueNesting) {
        QuorDebugLine() << "Cannot demarshal value nested deeper than"
                        << QuorDocument::MaxValueNesting << "levels";
        return QVariant();
    }
    switch (kind) {
    case ValueKind::String:
        return QVariant(typed.text());
    case ValueKind::Int:
        return QVariant(typed.text().toInt(nullptr, 10));
    case ValueKind::Double:
        return QVariant(typed.text().toDouble());
    case ValueKind::Boolean: {
        const QString text = typed.text();
        return QVariant(text.toLower() == QLatin1String("true") || text == QLatin1String("1"));
    }
    case ValueKind::Base64:
        return QVariant(QByteArray::fromBase64(typed.text().toLatin1()));
    case ValueKind::DateTime:
        return QVariant(QDateTime::fromString(typed.text(), DateTimeFormat));
    case ValueKind::Nil:
        return QVariant();
    case ValueKind::Array: {
        QVariantList items;
        const QDomNode data = typed.firstChild();
        for (QDomNode item = data.firstChild(); !item.isNull(); item = item.nextSibling())
            items.append(readValue(item.toElement(), nesting + 1));
        return QVariant(items);
    }
    case ValueKind::Struct: {
        // "name" and "value" are looked up among all descendants of a member,
        // and whatever node stands in the struct counts as a member.
        QVariantMap entries;
        for (QDomNode node = typed.firstChild(); !node.isNull(); node = node.nextSibling()) {
            const QDomElement member = node.toElement();
            const QString key
                = member.elementsByTagName(QStringLiteral("name")).item(0).toElement().text();
            entries[key] = readValue(
                member.elementsByTagName(QStringLiteral("value")).item(0).toElement(), nesting + 1);
        }
        return QVariant(entries);
    }
    case ValueKind::Unknown:
        break;
    }
    QuorDebugLine() << "Cannot demarshal unknown type " << tag;
    return QVariant();
}

} // namespace

QuorObject::QuorObject(QObject *parent)
    : QObject(parent)
{
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
}

QuorObject::~QuorObject() = default;

QDomElement QuorObject::toXml(QVariant v)
{
    return writeValue(v, 0);
}

QVariant QuorObject::fromXml(const QDomElement &v)
{
    return readValue(v, 0);
}

QString QuorObject::prepareCall(QString method, QList<QVariant> args)
{
    QDomDocument document = QuorDocument::create();
    QDomElement methodCall = document.createElement(QStringLiteral("methodCall"));
    QDomElement methodName = document.createElement(QStringLiteral("methodName"));
    QDomElement params = document.createElement(QStringLiteral("params"));
    document.appendChild(methodCall);
    methodCall.appendChild(methodName);
    methodName.appendChild(document.createTextNode(method));
    methodCall.appendChild(params);
    for (const QVariant &arg : qAsConst(args)) {
        QDomElement param = document.createElement(QStringLiteral("param"));
        param.appendChild(toXml(arg));
        params.appendChild(param);
    }
    return QuorDocument::toText(document);
}

QString QuorObject::prepareResponse(QVariant value)
{
    QDomDocument document = QuorDocument::create();
    QDomElement methodResponse = document.createElement(QStringLiteral("methodResponse"));
    QDomElement params = document.createElement(QStringLiteral("params"));
    document.appendChild(methodResponse);
    methodResponse.appendChild(params);
    if (!isNullValue(value)) {
        QDomElement param = document.createElement(QStringLiteral("param"));
        param.appendChild(toXml(value));
        params.appendChild(param);
    }
    return QuorDocument::toText(document);
}

void QuorObject::parseResponse(QString response, QNetworkReply *reply)
{
    const QString notWellFormed
        = QStringLiteral("parse error: response not well formed at line %1: %2");
    QDomDocument document;
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;
    if (const int line
        = QuorDocument::lineBeyondNesting(response, QuorDocument::MaxElementNesting)) {
        Q_EMIT fault(-32700,
            notWellFormed.arg(QString::number(line),
                QStringLiteral("elements nested deeper than %1")
                    .arg(QuorDocument::MaxElementNesting)),
            reply);
    } else if (!document.setContent(response, &errorMessage, &errorLine, &errorColumn)) {
        Q_EMIT fault(-32700, notWellFormed.arg(QString::number(errorLine), errorMessage), reply);
    } else {
        const QDomElement first = document.documentElement().firstChild().toElement();
        const QString name = first.tagName().toLower();
        if (name == QLatin1String("params")) {
            QVariant value;
            const QDomNode param = first.firstChild();
            if (!param.isNull())
                value = fromXml(param.firstChild().toElement());
            Q_EMIT aresponse(value, reply);
        } else if (name == QLatin1String("fault")) {
            const QVariantMap faultValue = fromXml(first.firstChild().toElement()).toMap();
            const QString message = faultValue.value(QStringLiteral("faultString")).toString();
            const int code = faultValue.value(QStringLiteral("faultCode")).toInt();
            Q_EMIT fault(code, message, reply);
        } else {
            Q_EMIT fault(
                -32600, tr("parse error: invalid xml-rpc. not conforming to spec."), reply);
        }
    }
    delete this;
}
