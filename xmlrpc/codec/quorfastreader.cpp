// SPDX-License-Identifier: MIT
#include "quorcodec_p.h"

#include "quordebug_p.h"
#include "quordocument_p.h"
#include "quorxmlscanner_p.h"

#include <QDateTime>
#include <QDomImplementation>

#include <type_traits>

using namespace QuorCodec;
using QuorXml::unit;

namespace {

// Reads a call or response document from what the XML scanner yields,
// building the values as it goes, with the results of the DOM reader
// (QuorDomCodec) on the same document.
template<typename Char>
class XmlRpcReader
{
public:
    XmlRpcReader(const Char *begin, const Char *end, const QuorCodec::Options &options,
        QStringList *debugMessages)
        : m_xml(begin, end)
        , m_options(options)
        , m_debugMessages(debugMessages)
    { }

    bool read(QuorResponse *response);
    bool read(QuorRequest *request);

private:
    using Scanner = QuorXml::XmlScanner<Char>;
    using Name = typename Scanner::Name;
    using Text = typename Scanner::Text;
    using Node = typename Scanner::Node;
    using Mark = typename Scanner::Mark;

    bool call(const Node &root, QuorRequest *request);
    bool params(const Node &params, QVariant *value);
    bool firstValueOf(const Node &parent, QVariant *value);
    bool value(const Node &element, int nesting, QVariant *result);
    bool typedValue(const Node &typed, int nesting, QVariant *result);
    bool scalar(const Node &typed, ValueKind kind, QVariant *result);
    bool array(const Node &typed, int nesting, QVariant *result);
    bool structure(const Node &typed, int nesting, QVariant *result);
    bool member(const Node &member, int nesting, QVariantMap *entries);
    QString key(const Text &text);
    QVariant toInteger(const Text &text);
    double toDouble(const Text &text);
    const QString &numberText(const Text &text);

    // The DOM reader's answers for odd shapes, at the end of this file.
    template<typename Read>
    bool firstChild(const Node &parent, Read read);
    bool untypedValue(const Node &element, const Node &first, QVariant *result);
    static void strayNode(QVariantList *items);
    static void strayNode(QVariantMap *entries);
    bool scatteredMember(const Name &member, int nesting, QVariantMap *entries);
    bool findFirst(const Name &parent, const char *const (&names)[2], Mark (&found)[2]);

    Scanner m_xml;
    const QuorCodec::Options m_options;
    QStringList *m_debugMessages;

    // Struct member names repeat all through a list of structs: share them.
    QString m_keys[64];
    QString m_number;
};

// A number in plain text, read as QuorCodec::readInteger() reads it, or
// straight for the commonest form (a sign and up to nine digits).
template<typename Char>
QVariant XmlRpcReader<Char>::toInteger(const Text &text)
{
    const Char *p = text.begin;
    const bool negative = p < text.end && unit(p) == u'-';
    p += negative ? 1 : 0;
    if (p < text.end && text.end - p <= 9) {
        int number = 0;
        for (; p < text.end && unit(p) >= u'0' && unit(p) <= u'9'; ++p)
            number = number * 10 + (unit(p) - u'0');
        if (p == text.end)
            return QVariant(negative ? -number : number);
    }
    return readInteger(numberText(text));
}

template<typename Char>
double XmlRpcReader<Char>::toDouble(const Text &text)
{
    return numberText(text).toDouble();
}

// The text in a string kept for numbers, so that converting allocates nothing.
template<typename Char>
const QString &XmlRpcReader<Char>::numberText(const Text &text)
{
    m_number.clear();
    Scanner::appendPlain(text, &m_number);
    return m_number;
}

template<typename Char>
bool XmlRpcReader<Char>::read(QuorResponse *response)
{
    Node root;
    if (!m_xml.prolog() || !m_xml.startTag(&root))
        return false;
    QuorResponse result = notXmlRpcResponse();
    if (!root.isEmpty) {
        Node first;
        if (!m_xml.nextNode(root.name, &first))
            return false;
        if (first.kind == Node::Element) {
            if (Scanner::equalsIgnoringCase(first.name, QLatin1String("params"))) {
                result = QuorResponse();
                if (!params(first, &result.value))
                    return false;
            } else if (Scanner::equalsIgnoringCase(first.name, QLatin1String("fault"))) {
                QVariant fault;
                if (!firstValueOf(first, &fault))
                    return false;
                result = faultResponse(fault);
            } else if (!m_xml.skip(first)) {
                return false;
            }
        }
        if (first.kind != Node::End && !m_xml.skipContent(root.name))
            return false;
    }
    if (!m_xml.epilog())
        return false;
    *response = result;
    return true;
}

template<typename Char>
bool XmlRpcReader<Char>::read(QuorRequest *request)
{
    Node root;
    if (!m_xml.prolog() || !m_xml.startTag(&root))
        return false;
    QuorRequest result;
    if (!root.isEmpty && !call(root, &result))
        return false;
    if (!m_xml.epilog())
        return false;
    // A document that is no call has its values never read, as the DOM
    // reader stops before them: none of their messages stand.
    if (!Scanner::equals(root.name, QLatin1String("methodCall")) || result.method.isEmpty()) {
        result = QuorRequest();
        m_debugMessages->clear();
    }
    *request = result;
    return true;
}

// The text of the first <methodName> and the values of the first <params>
// among the children of the root, in whatever order they stand. Each child
// element of <params> is a parameter, whose first child element is its value.
template<typename Char>
bool XmlRpcReader<Char>::call(const Node &root, QuorRequest *request)
{
    bool haveName = false;
    bool haveParams = false;
    Node node;
    for (;;) {
        if (!m_xml.nextNode(root.name, &node))
            return false;
        if (node.kind == Node::End)
            return true;
        if (node.kind != Node::Element)
            continue;
        if (!haveName && Scanner::equals(node.name, QLatin1String("methodName"))) {
            haveName = true;
            QString text;
            Text plain;
            if (!m_xml.elementText(node, &text, &plain))
                return false;
            request->method = (plain.begin ? Scanner::toString(plain) : text).trimmed();
        } else if (!haveParams && Scanner::equals(node.name, QLatin1String("params"))) {
            haveParams = true;
            if (node.isEmpty)
                continue;
            Node param;
            for (;;) {
                if (!m_xml.nextNode(node.name, &param))
                    return false;
                if (param.kind == Node::End)
                    break;
                if (param.kind != Node::Element)
                    continue;
                QVariant parameter;
                if (!param.isEmpty) {
                    Node first;
                    if (!m_xml.nextElementOrEnd(param.name, &first))
                        return false;
                    if (first.kind == Node::Element
                        && (!value(first, 0, &parameter) || !m_xml.skipContent(param.name)))
                        return false;
                }
                request->params.append(parameter);
            }
        } else if (!m_xml.skip(node)) {
            return false;
        }
    }
}

// The value of the first child of the first child of params.
template<typename Char>
bool XmlRpcReader<Char>::params(const Node &params, QVariant *value)
{
    *value = QVariant();
    return firstChild(params, [&](const Node &param) { return firstValueOf(param, value); });
}

// The value of an element's first child, read to the element's end.
template<typename Char>
bool XmlRpcReader<Char>::firstValueOf(const Node &parent, QVariant *result)
{
    *result = QVariant();
    return firstChild(parent, [&](const Node &first) { return value(first, 0, result); });
}

// A <value> element whose start tag was just read, read to its end.
template<typename Char>
bool XmlRpcReader<Char>::value(const Node &element, int nesting, QVariant *result)
{
    if (!Scanner::equalsIgnoringCase(element.name, QLatin1String("value"))) {
        *result = QVariant();
        return m_xml.skip(element);
    }
    if (element.isEmpty) {
        *result = QVariant(QString(QLatin1String("")));
        return true;
    }
    Node first;
    if (!m_xml.nextNode(element.name, &first))
        return false;
    switch (first.kind) {
    case Node::End:
        *result = QVariant(QString(QLatin1String("")));
        return true;
    case Node::Text:
    case Node::Other:
        return untypedValue(element, first, result);
    case Node::Element:
        break;
    }
    return typedValue(first, nesting, result) && m_xml.skipContent(element.name);
}

template<typename Char>
bool XmlRpcReader<Char>::typedValue(const Node &typed, int nesting, QVariant *result)
{
    const ValueKind kind = kindOfTag(typed.name.begin, typed.name.size, m_options);
    if (isContainer(kind) && nesting >= QuorDocument::MaxValueNesting) {
        reportTooDeepToRead(m_debugMessages);
        *result = QVariant();
        return m_xml.skip(typed);
    }
    switch (kind) {
    case ValueKind::Array:
        return array(typed, nesting, result);
    case ValueKind::Struct:
        return structure(typed, nesting, result);
    case ValueKind::Nil:
        *result = QVariant();
        return m_xml.skip(typed);
    case ValueKind::Unknown:
        reportUnknownType(Scanner::lowerCase(typed.name), m_debugMessages);
        *result = QVariant();
        return m_xml.skip(typed);
    default:
        return scalar(typed, kind, result);
    }
}

template<typename Char>
bool XmlRpcReader<Char>::scalar(const Node &typed, ValueKind kind, QVariant *result)
{
    QString text;
    Text plain;
    if (!m_xml.elementText(typed, &text, &plain))
        return false;
    const auto wholeText = [&]() { return plain.begin ? Scanner::toString(plain) : text; };
    switch (kind) {
    case ValueKind::String:
        *result = QVariant(wholeText());
        break;
    case ValueKind::Int:
        *result = plain.begin ? toInteger(plain) : readInteger(text);
        break;
    case ValueKind::Int64:
        *result = QVariant(wholeText().toLongLong(nullptr, 10));
        break;
    case ValueKind::Double:
        *result = QVariant(plain.begin ? toDouble(plain) : text.toDouble());
        break;
    case ValueKind::Boolean: {
        const QString value = wholeText();
        *result = QVariant(value == QLatin1String("1") || value.toLower() == QLatin1String("true"));
        break;
    }
    case ValueKind::Base64:
        *result = QVariant(
            QByteArray::fromBase64(plain.begin ? Scanner::latin1(plain) : text.toLatin1()));
        break;
    case ValueKind::DateTime:
        *result = QVariant(readDateTime(wholeText()));
        break;
    default:
        Q_UNREACHABLE();
    }
    return true;
}

// The items of the first child of <array>, whatever its name, each a <value>.
template<typename Char>
bool XmlRpcReader<Char>::array(const Node &typed, int nesting, QVariant *result)
{
    QVariantList items;
    if (!typed.isEmpty) {
        Node data;
        if (!m_xml.nextNode(typed.name, &data))
            return false;
        if (data.kind == Node::Element && !data.isEmpty) {
            Node item;
            for (;;) {
                if (!m_xml.nextNode(data.name, &item))
                    return false;
                if (item.kind == Node::End)
                    break;
                QVariant itemValue;
                if (item.kind != Node::Element)
                    strayNode(&items);
                else if (!value(item, nesting + 1, &itemValue))
                    return false;
                else
                    items.append(itemValue);
            }
        }
        if (data.kind != Node::End && !m_xml.skipContent(typed.name))
            return false;
    }
    *result = QVariant(items);
    return true;
}

// The members of a struct, each a <member>.
template<typename Char>
bool XmlRpcReader<Char>::structure(const Node &typed, int nesting, QVariant *result)
{
    QVariantMap entries;
    if (!typed.isEmpty) {
        Node node;
        for (;;) {
            if (!m_xml.nextNode(typed.name, &node))
                return false;
            if (node.kind == Node::End)
                break;
            if (node.kind != Node::Element)
                strayNode(&entries);
            else if (!member(node, nesting, &entries))
                return false;
        }
    }
    *result = QVariant(entries);
    return true;
}

// The DOM reader takes a member's first descendants named "name" and "value",
// however deep. Read here straight: <name> holding text only, then <value>,
// with other nodes around them. Any other shape is read again from the start
// of the member by scatteredMember().
template<typename Char>
bool XmlRpcReader<Char>::member(const Node &member, int nesting, QVariantMap *entries)
{
    if (member.isEmpty) {
        strayNode(entries);
        return true;
    }
    const typename Scanner::Mark contentStart = m_xml.mark();
    const auto scattered = [&] {
        m_xml.rewind(contentStart);
        return scatteredMember(member.name, nesting, entries);
    };
    Node node;
    if (!m_xml.nextElementOrEnd(member.name, &node))
        return false;
    if (node.kind == Node::End) {
        strayNode(entries);
        return true;
    }
    if (!Scanner::equals(node.name, QLatin1String("name")))
        return scattered();

    // The text of <name>, empty but not null when it has none.
    QString name = QLatin1String("");
    if (!node.isEmpty) {
        Node content;
        if (!m_xml.nextNode(node.name, &content))
            return false;
        if (content.kind == Node::Element || content.kind == Node::Other)
            return scattered();
        if (content.kind == Node::Text) {
            const Text nameText = content.text;
            if (!m_xml.nextNode(node.name, &content))
                return false;
            if (content.kind != Node::End)
                return scattered();
            if (nameText.hasReference)
                m_xml.appendText(nameText, &name);
            else
                name = key(nameText);
        }
    }

    if (!m_xml.nextElementOrEnd(member.name, &node))
        return false;
    if (node.kind == Node::End) {
        entries->insert(name, QVariant());
        return true;
    }
    if (!Scanner::equals(node.name, QLatin1String("value")))
        return scattered();
    QVariant memberValue;
    if (!value(node, nesting + 1, &memberValue))
        return false;
    entries->insert(name, memberValue);
    return m_xml.skipContent(member.name);
}

template<typename Char>
QString XmlRpcReader<Char>::key(const Text &text)
{
    const int size = int(text.end - text.begin);
    uint hash = uint(size);
    for (const Char *c = text.begin; c < text.end; ++c)
        hash = hash * 31 + unit(c);
    QString &slot = m_keys[hash % (sizeof m_keys / sizeof m_keys[0])];
    const auto sameText = [&]() {
        for (int i = 0; i < size; ++i) {
            if (slot.at(i).unicode() != unit(text.begin + i))
                return false;
        }
        return true;
    };
    // Bytes beyond ASCII are not compared unit for unit with UTF-16.
    if (!text.isAscii)
        return Scanner::toString(text);
    if (slot.size() != size || !sameText())
        slot = Scanner::toString(text);
    return slot;
}

// The DOM reader's answers for documents of odd shapes, all of them here. It
// looks at an element's first child where XML-RPC names one (the <param> in
// <params>, the <value> in <param> and <fault>, the <data> in <array>), takes
// any other node for an item or a member, gives a <value> holding text first
// the text of the whole value, and finds a member's name and value as its
// first descendants of those names. The common shapes are read straight on
// the way; these rules take over where a shape departs from them.

// Reads an element's first child, if it is an element, with read(), then the
// rest of the element to its end; text standing first is left out.
template<typename Char>
template<typename Read>
bool XmlRpcReader<Char>::firstChild(const Node &parent, Read read)
{
    if (parent.isEmpty)
        return true;
    Node first;
    if (!m_xml.nextNode(parent.name, &first))
        return false;
    if (first.kind == Node::End)
        return true;
    if (first.kind == Node::Element && !read(first))
        return false;
    return m_xml.skipContent(parent.name);
}

// A value whose first child is text, a comment or a processing instruction:
// untyped, and QDomElement::text() of the whole value, of every text node and
// CDATA section in it, nested elements' included.
template<typename Char>
bool XmlRpcReader<Char>::untypedValue(const Node &element, const Node &first, QVariant *result)
{
    QString text = QLatin1String("");
    if (first.kind == Node::Text)
        m_xml.appendText(first.text, &text);
    if (!m_xml.collectText(element.name, &text))
        return false;
    *result = QVariant(text);
    return true;
}

// Text, a comment or a processing instruction among the items of an array:
// an item that reads as an invalid variant.
template<typename Char>
void XmlRpcReader<Char>::strayNode(QVariantList *items)
{
    items->append(QVariant());
}

// The same among the members of a struct, or an empty <member>: a member
// without name (a null key) or value.
template<typename Char>
void XmlRpcReader<Char>::strayNode(QVariantMap *entries)
{
    entries->insert(QString(), QVariant());
}

// A member of any shape, read from the start of its content: the text of its
// first descendant <name>, null when there is none, and the value of its first
// descendant <value>, wherever they stand.
template<typename Char>
bool XmlRpcReader<Char>::scatteredMember(const Name &member, int nesting, QVariantMap *entries)
{
    Mark found[2] = {};
    if (!findFirst(member, {"name", "value"}, found))
        return false;
    const Mark end = m_xml.mark();

    QString key;
    Node node;
    if (found[0].position) {
        m_xml.rewind(found[0]);
        QString text;
        Text plain;
        if (!m_xml.startTag(&node) || !m_xml.elementText(node, &text, &plain))
            return false;
        key = plain.begin ? Scanner::toString(plain) : text;
    }
    QVariant memberValue;
    if (found[1].position) {
        m_xml.rewind(found[1]);
        if (!m_xml.startTag(&node) || !value(node, nesting + 1, &memberValue))
            return false;
    }
    m_xml.rewind(end);
    entries->insert(key, memberValue);
    return true;
}

// Reads the rest of parent's content, noting where the first descendant of
// each of the two names starts, and at which depth.
template<typename Char>
bool XmlRpcReader<Char>::findFirst(
    const Name &parent, const char *const (&names)[2], Mark (&found)[2])
{
    Node node;
    for (;;) {
        if (!m_xml.nextNode(parent, &node))
            return false;
        if (node.kind == Node::End)
            return true;
        if (node.kind != Node::Element)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (!found[i].position && Scanner::equals(node.name, QLatin1String(names[i])))
                found[i] = m_xml.markOf(node);
        }
        if (!node.isEmpty && !findFirst(node.name, names, found))
            return false;
    }
}

} // namespace

namespace QuorFastCodec {

template<typename Char, typename Document>
bool read(const Char *begin, const Char *end, Document *document, const QuorCodec::Options &options,
    QStringList *debugMessages)
{
    // Under ReturnNullNode QtXml's parser answers for text holding characters
    // XML does not allow in its own way, which the fast reader does not follow.
    if (QDomImplementation::invalidDataPolicy() == QDomImplementation::ReturnNullNode)
        return false;
    QStringList messages;
    if (!XmlRpcReader<Char>(begin, end, options, &messages).read(document))
        return false;
    *debugMessages = messages;
    return true;
}

bool readResponse(const QString &text, QuorResponse *response, QStringList *debugMessages,
    const QuorCodec::Options &options)
{
    return read(text.constData(), text.constData() + text.size(), response, options, debugMessages);
}

bool readResponse(const QByteArray &utf8, QuorResponse *response, QStringList *debugMessages,
    const QuorCodec::Options &options)
{
    return read(utf8.constData(), utf8.constData() + utf8.size(), response, options, debugMessages);
}

bool readRequest(const QString &text, QuorRequest *request, QStringList *debugMessages,
    const QuorCodec::Options &options)
{
    return read(text.constData(), text.constData() + text.size(), request, options, debugMessages);
}

bool readRequest(const QByteArray &utf8, QuorRequest *request, QStringList *debugMessages,
    const QuorCodec::Options &options)
{
    return read(utf8.constData(), utf8.constData() + utf8.size(), request, options, debugMessages);
}

} // namespace QuorFastCodec

namespace {

// Reads input the fast way and, when it could, hands on its debug messages.
template<typename Input, typename Document>
bool readFast(const Input &input, Document *document, const QuorCodec::Options &options)
{
    QStringList debugMessages;
    if (!QuorFastCodec::read(
            input.constData(), input.constData() + input.size(), document, options, &debugMessages))
        return false;
    quorDebugFlush(debugMessages);
    return true;
}

QuorResponse readWithDom(const QString &text, QuorResponse *, const QuorCodec::Options &options)
{
    return QuorDomCodec::readResponse(text, options);
}

QuorRequest readWithDom(const QString &text, QuorRequest *, const QuorCodec::Options &options)
{
    return QuorDomCodec::readRequest(text, options);
}

// The one place that chooses who reads a document received, as bytes (body)
// or as text: the fast reader wherever it can, the DOM for the rest.
//  1. The fast reader reads the bytes themselves, when they are UTF-8 without
//     a byte-order mark or a declaration of another encoding.
//  2. Other bytes are decoded as their byte-order mark or declaration says.
//     A request in an encoding Qt does not know is a parse error; a response
//     in one is read as UTF-8, the encoding of nearly every XML-RPC peer.
//  3. The fast reader reads the text.
//  4. What it leaves, the DOM reads: documents not well formed (whose errors
//     the DOM words), a DOCTYPE, names beyond ASCII, references to control
//     characters, attributes repeated in a tag, and every document under the
//     ReturnNullNode policy. Its answers are the reference for all the others.
template<typename Document>
Document readDocument(
    const QByteArray *body, const QString *text, const QuorCodec::Options &options)
{
    Document document;
    QString decoded;
    if (body) {
        if (readFast(*body, &document, options))
            return document;
        if (!QuorDocument::decode(*body, &decoded)) {
            if constexpr (std::is_same_v<Document, QuorRequest>) {
                document.fault = QuorCodec::parseError(
                    QuorCodec::DocumentKind::Request, 1, QStringLiteral("unsupported encoding"));
                return document;
            } else {
                decoded = QString::fromUtf8(*body);
            }
        }
        text = &decoded;
    }
    if (readFast(*text, &document, options))
        return document;
    return readWithDom(*text, &document, options);
}

} // namespace

namespace QuorFastCodec {

QuorResponse readResponseText(const QString &text, const QuorCodec::Options &options)
{
    return readDocument<QuorResponse>(nullptr, &text, options);
}

QuorResponse readResponseBytes(const QByteArray &body, const QuorCodec::Options &options)
{
    return readDocument<QuorResponse>(&body, nullptr, options);
}

QuorRequest readRequestBytes(const QByteArray &body, const QuorCodec::Options &options)
{
    return readDocument<QuorRequest>(&body, nullptr, options);
}

} // namespace QuorFastCodec
