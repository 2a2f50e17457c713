#include "quorcodec_p.h"

#include "quordocument_p.h"

#include <QDateTime>
#include <QDomNodeList>
#include <QMetaType>

using namespace QuorCodec;

namespace {

// Elements returned by writeValue() are detached, yet every DOM node still
// points at the document that created it, so that document must outlive all of
// them. One document per thread, since the DOM is not thread-safe; it holds no
// nodes itself, each element lives as long as somebody holds it.
QDomDocument &valueDocument()
{
    thread_local QDomDocument document;
    return document;
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
        reportTooDeepToWrite();
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
            QStringLiteral("dateTime.iso8601"), variant.toDateTime().toString(dateTimeFormat()));
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
        reportUnknownVariant(typeId);
        return QDomElement();
    }
    return value;
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
    if (isContainer(kind) && nesting >= QuorDocument::MaxValueNesting) {
        reportTooDeepToRead(nullptr);
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
        return QVariant(QDateTime::fromString(typed.text(), dateTimeFormat()));
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
    reportUnknownType(tag, nullptr);
    return QVariant();
}

// A methodResponse document holding one element, or nothing for a null one.
QString responseText(const QString &childName, const QDomElement &childContent, bool hasContent)
{
    QDomDocument document = QuorDocument::create();
    QDomElement methodResponse = document.createElement(QStringLiteral("methodResponse"));
    QDomElement child = document.createElement(childName);
    document.appendChild(methodResponse);
    methodResponse.appendChild(child);
    if (hasContent)
        child.appendChild(childContent);
    return QuorDocument::toText(document);
}

} // namespace

namespace QuorDomCodec {

QDomElement writeValue(const QVariant &value)
{
    return ::writeValue(value, 0);
}

QVariant readValue(const QDomElement &value)
{
    return ::readValue(value, 0);
}

QString writeCall(const QString &method, const QVariantList &args)
{
    QDomDocument document = QuorDocument::create();
    QDomElement methodCall = document.createElement(QStringLiteral("methodCall"));
    QDomElement methodName = document.createElement(QStringLiteral("methodName"));
    QDomElement params = document.createElement(QStringLiteral("params"));
    document.appendChild(methodCall);
    methodCall.appendChild(methodName);
    methodName.appendChild(document.createTextNode(method));
    methodCall.appendChild(params);
    for (const QVariant &arg : args) {
        QDomElement param = document.createElement(QStringLiteral("param"));
        param.appendChild(writeValue(arg));
        params.appendChild(param);
    }
    return QuorDocument::toText(document);
}

QString writeResponse(const QVariant &value)
{
    QDomDocument &document = valueDocument();
    QDomElement param = document.createElement(QStringLiteral("param"));
    const bool hasValue = !isNullValue(value);
    if (hasValue)
        param.appendChild(writeValue(value));
    return responseText(QStringLiteral("params"), param, hasValue);
}

QString writeFault(int code, const QString &message)
{
    QVariantMap fault;
    fault[QStringLiteral("faultCode")] = QVariant(code);
    fault[QStringLiteral("faultString")] = QVariant(message);
    return responseText(QStringLiteral("fault"), writeValue(QVariant(fault)), true);
}

QuorResponse readResponse(const QString &text)
{
    const QString notWellFormed
        = QStringLiteral("parse error: response not well formed at line %1: %2");
    QuorResponse response;
    QDomDocument document;
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;
    const QuorDocument::Refusal refusal = QuorDocument::refusal(text);
    if (!refusal.isEmpty()) {
        response.isFault = true;
        response.faultCode = -32700;
        response.faultString = notWellFormed.arg(QString::number(refusal.line), refusal.reason);
    } else if (!document.setContent(text, &errorMessage, &errorLine, &errorColumn)) {
        response.isFault = true;
        response.faultCode = -32700;
        response.faultString = notWellFormed.arg(QString::number(errorLine), errorMessage);
    } else {
        const QDomElement first = document.documentElement().firstChild().toElement();
        const QString name = first.tagName().toLower();
        if (name == QLatin1String("params")) {
            const QDomNode param = first.firstChild();
            if (!param.isNull())
                response.value = readValue(param.firstChild().toElement());
        } else if (name == QLatin1String("fault")) {
            response = faultResponse(readValue(first.firstChild().toElement()));
        } else {
            response = notXmlRpcResponse();
        }
    }
    return response;
}

} // namespace QuorDomCodec
