// SPDX-License-Identifier: MIT
#include "quorcodec_p.h"

#include "quordocument_p.h"

#include <QDateTime>
#include <QDomImplementation>
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

// A text node holding text. Under the policy that drops characters XML does
// not allow, they are dropped here, keeping pairs of surrogates: Qt 5 would
// judge each half alone and drop both.
QDomText textNode(QDomDocument &document, const QString &text)
{
    if (QDomImplementation::invalidDataPolicy() != QDomImplementation::DropInvalidChars)
        return document.createTextNode(text);
    QDomText node = document.createTextNode(QString());
    node.setData(withoutInvalidCharacters(text));
    return node;
}

QDomElement writeValue(const QVariant &variant, int nesting)
{
    QDomDocument &document = valueDocument();
    QDomElement value = document.createElement(QStringLiteral("value"));
    const auto appendScalar = [&](const QString &type, const QString &text) {
        QDomElement typed = document.createElement(type);
        value.appendChild(typed);
        typed.appendChild(textNode(document, text));
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
    case QMetaType::Double: {
        char number[32];
        appendScalar(QStringLiteral("double"),
            QString::fromLatin1(number, writeDouble(number, variant.toDouble())));
        break;
    }
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
            name.appendChild(textNode(document, entry.key()));
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

QVariant readValue(const QDomElement &value, int nesting, const Options &options)
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
    const ValueKind kind = kindOfTag(tag, options);
    if (isContainer(kind) && nesting >= QuorDocument::MaxValueNesting) {
        reportTooDeepToRead(nullptr);
        return QVariant();
    }
    switch (kind) {
    case ValueKind::String:
        return QVariant(typed.text());
    case ValueKind::Int:
        return readInteger(typed.text());
    case ValueKind::Int64:
        return QVariant(typed.text().toLongLong(nullptr, 10));
    case ValueKind::Double:
        return QVariant(typed.text().toDouble());
    case ValueKind::Boolean: {
        const QString text = typed.text();
        return QVariant(text.toLower() == QLatin1String("true") || text == QLatin1String("1"));
    }
    case ValueKind::Base64:
        return QVariant(QByteArray::fromBase64(typed.text().toLatin1()));
    case ValueKind::DateTime:
        return QVariant(readDateTime(typed.text()));
    case ValueKind::Nil:
        return QVariant();
    case ValueKind::Array: {
        QVariantList items;
        const QDomNode data = typed.firstChild();
        for (QDomNode item = data.firstChild(); !item.isNull(); item = item.nextSibling())
            items.append(readValue(item.toElement(), nesting + 1, options));
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
            entries[key]
                = readValue(member.elementsByTagName(QStringLiteral("value")).item(0).toElement(),
                    nesting + 1, options);
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

// Parses text into document, or gives the fault that says why it cannot.
bool parse(const QString &text, DocumentKind kind, QDomDocument *document, QuorResponse *fault)
{
    const QuorDocument::Refusal refusal = QuorDocument::refusal(text);
    if (!refusal.isEmpty()) {
        *fault = parseError(kind, refusal.line, refusal.reason);
        return false;
    }
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;
    if (!document->setContent(text, &errorMessage, &errorLine, &errorColumn)) {
        *fault = parseError(kind, errorLine, errorMessage);
        return false;
    }
    return true;
}

} // namespace

namespace QuorDomCodec {

QDomElement writeValue(const QVariant &value)
{
    return ::writeValue(value, 0);
}

QVariant readValue(const QDomElement &value, const Options &options)
{
    return ::readValue(value, 0, options);
}

QString writeCall(const QString &method, const QVariantList &args)
{
    QDomDocument document = QuorDocument::create();
    QDomElement methodCall = document.createElement(QStringLiteral("methodCall"));
    QDomElement methodName = document.createElement(QStringLiteral("methodName"));
    QDomElement params = document.createElement(QStringLiteral("params"));
    document.appendChild(methodCall);
    methodCall.appendChild(methodName);
    methodName.appendChild(textNode(document, method));
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
    return responseText(QStringLiteral("fault"), writeValue(faultValue(code, message)), true);
}

QuorResponse readResponse(const QString &text, const Options &options)
{
    QuorResponse response;
    QDomDocument document;
    if (!parse(text, DocumentKind::Response, &document, &response))
        return response;
    const QDomElement first = document.documentElement().firstChild().toElement();
    const QString name = first.tagName().toLower();
    if (name == QLatin1String("params")) {
        const QDomNode param = first.firstChild();
        if (!param.isNull())
            response.value = ::readValue(param.firstChild().toElement(), 0, options);
    } else if (name == QLatin1String("fault")) {
        response = faultResponse(::readValue(first.firstChild().toElement(), 0, options));
    } else {
        response = notXmlRpcResponse();
    }
    return response;
}

QuorRequest readRequest(const QString &text, const Options &options)
{
    QuorRequest request;
    QDomDocument document;
    if (!parse(text, DocumentKind::Request, &document, &request.fault))
        return request;
    const QDomElement methodCall = document.documentElement();
    if (methodCall.tagName() != QLatin1String("methodCall"))
        return request;
    request.method = methodCall.firstChildElement(QStringLiteral("methodName")).text().trimmed();
    if (request.method.isEmpty())
        return request;
    const QDomElement params = methodCall.firstChildElement(QStringLiteral("params"));
    for (QDomElement param = params.firstChildElement(); !param.isNull();
         param = param.nextSiblingElement()) {
        request.params.append(::readValue(param.firstChildElement(), 0, options));
    }
    return request;
}

} // namespace QuorDomCodec
