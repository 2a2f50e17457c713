#include "quorcodec_p.h"

#include "quordebug_p.h"
#include "quordocument_p.h"

#include <QDateTime>
#include <QDomImplementation>

using namespace QuorCodec;

namespace {

// Reads a response document in one pass over its text, building the value as
// it goes, with the very results of the DOM reader: QtXml's parser keeps no
// text node that is only white space (QChar::isSpace()), an element's text is
// that of all its text nodes, the reader looks only at first children, and so
// on. It knows a plain subset of XML: elements without attributes, text with
// the five predefined entities and character references, an XML declaration
// for UTF-8. Everything else, and every document that is not well formed, makes
// it give up (return false) so that the DOM reads it and words the error.
class FastReader
{
public:
    FastReader(const QString &text, QStringList *debugMessages)
        : m_source(text)
        , m_begin(text.constData())
        , m_position(m_begin)
        , m_end(m_begin + text.size())
        , m_debugMessages(debugMessages)
        , m_policy(QDomImplementation::invalidDataPolicy())
    { }

    bool read(QuorResponse *response);

private:
    struct Name
    {
        const QChar *begin = nullptr;
        int size = 0;
    };

    // A run of character data between two pieces of markup.
    struct Text
    {
        const QChar *begin = nullptr;
        const QChar *end = nullptr;
        bool hasReference = false;
    };

    struct Node
    {
        enum Kind { Element, Text, End } kind = End;
        Name name; // of an element
        bool isEmpty = false; // an element written as <name/>
        FastReader::Text text; // of a text node
    };

    // Markup and text.
    bool prolog();
    bool epilog();
    bool startTag(Node *node);
    bool nextNode(const Name &parent, Node *node);
    bool scanText(Text *text, bool *isBlank);
    static bool reference(const QChar **position, const QChar *end, char16_t *character);
    bool skipContent(const Name &name);
    bool skip(const Node &node) { return node.isEmpty || skipContent(node.name); }
    void appendText(const Text &text, QString *out) const;
    bool collectText(const Name &name, QString *out);
    bool elementText(const Node &element, QString *text, Text *plain);

    // The XML-RPC document.
    bool params(const Node &params, QVariant *value);
    bool firstValueOf(const Node &parent, QVariant *value);
    bool value(const Node &element, int nesting, QVariant *result);
    bool typedValue(const Node &typed, int nesting, QVariant *result);
    bool scalar(const Node &typed, ValueKind kind, QVariant *result);
    bool array(const Node &typed, int nesting, QVariant *result);
    bool structure(const Node &typed, int nesting, QVariant *result);
    bool member(const Node &member, int nesting, QVariantMap *entries);
    QString key(const Text &text);

    bool enter()
    {
        // Deeper documents are refused by the DOM reader with its own message.
        return ++m_depth < QuorDocument::MaxElementNesting;
    }

    static bool equalsIgnoringCase(const Name &name, QLatin1String lowerCase);
    static bool equals(const Name &name, QLatin1String tag);
    static QString lowerCase(const Name &name);
    bool startsWith(QLatin1String literal) const;
    void skipXmlSpace();

    int intOf(const QString &decoded, const Text &plain) const;
    double doubleOf(const QString &decoded, const Text &plain) const;

    const QString &m_source;
    const QChar *const m_begin;
    const QChar *m_position;
    const QChar *const m_end;
    QStringList *m_debugMessages;
    // QtXml filters parsed text through the process-wide policy too.
    const QDomImplementation::InvalidDataPolicy m_policy;
    int m_depth = 0;

    // Struct member names repeat all through a list of structs: share them.
    QString m_keys[64];
};

bool isAsciiLetter(char16_t c)
{
    return (c | 0x20) >= u'a' && (c | 0x20) <= u'z';
}

bool isNameChar(char16_t c)
{
    return isAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.';
}

bool isXmlSpace(char16_t c)
{
    return c == u' ' || c == u'\n' || c == u'\t' || c == u'\r';
}

// A character of a text node QtXml would drop.
bool isBlankCharacter(char16_t c)
{
    return c < 0x80 ? (c == u' ' || (c >= 0x9 && c <= 0xD)) : QChar::isSpace(c);
}

bool FastReader::equalsIgnoringCase(const Name &name, QLatin1String lowerCase)
{
    if (name.size != lowerCase.size())
        return false;
    for (int i = 0; i < name.size; ++i) {
        const char16_t c = name.begin[i].unicode();
        if ((isAsciiLetter(c) ? (c | 0x20) : c) != char16_t(lowerCase.data()[i]))
            return false;
    }
    return true;
}

bool FastReader::equals(const Name &name, QLatin1String tag)
{
    if (name.size != tag.size())
        return false;
    for (int i = 0; i < name.size; ++i) {
        if (name.begin[i].unicode() != char16_t(tag.data()[i]))
            return false;
    }
    return true;
}

QString FastReader::lowerCase(const Name &name)
{
    QString lower(name.begin, name.size);
    for (QChar &c : lower) {
        if (isAsciiLetter(c.unicode()))
            c = QChar(c.unicode() | 0x20);
    }
    return lower;
}

bool FastReader::startsWith(QLatin1String literal) const
{
    if (m_end - m_position < literal.size())
        return false;
    for (int i = 0; i < literal.size(); ++i) {
        if (m_position[i].unicode() != char16_t(literal.data()[i]))
            return false;
    }
    return true;
}

void FastReader::skipXmlSpace()
{
    while (m_position < m_end && isXmlSpace(m_position->unicode()))
        ++m_position;
}

// An XML declaration, if any, for version 1.0 and UTF-8, and white space.
bool FastReader::prolog()
{
    if (startsWith(QLatin1String("<?xml"))) {
        m_position += 5;
        const auto attribute = [this](QLatin1String name, auto acceptValue) {
            const QChar *const start = m_position;
            skipXmlSpace();
            if (m_position == start || !startsWith(name))
                return false;
            m_position += name.size();
            skipXmlSpace();
            if (m_position >= m_end || *m_position != QLatin1Char('='))
                return false;
            ++m_position;
            skipXmlSpace();
            if (m_position >= m_end)
                return false;
            const QChar quote = *m_position;
            if (quote != QLatin1Char('"') && quote != QLatin1Char('\''))
                return false;
            const QChar *const valueBegin = ++m_position;
            while (m_position < m_end && *m_position != quote)
                ++m_position;
            if (m_position >= m_end)
                return false;
            const QString value(valueBegin, int(m_position - valueBegin));
            ++m_position;
            return bool(acceptValue(value));
        };
        if (!attribute(QLatin1String("version"),
                [](const QString &value) { return value == QLatin1String("1.0"); }))
            return false;
        const QChar *const afterVersion = m_position;
        if (!attribute(QLatin1String("encoding"), [](const QString &value) {
                return value.compare(QLatin1String("utf-8"), Qt::CaseInsensitive) == 0;
            }))
            m_position = afterVersion;
        skipXmlSpace();
        if (!startsWith(QLatin1String("?>")))
            return false;
        m_position += 2;
    }
    skipXmlSpace();
    return m_position + 1 < m_end && *m_position == QLatin1Char('<')
        && isAsciiLetter(m_position[1].unicode());
}

// Nothing but white space after the document element.
bool FastReader::epilog()
{
    skipXmlSpace();
    return m_position == m_end;
}

// At '<' and a letter: reads "<name>" or "<name/>".
bool FastReader::startTag(Node *node)
{
    const QChar *p = m_position + 1;
    if (p >= m_end || !isAsciiLetter(p->unicode()))
        return false;
    const QChar *const nameBegin = p;
    while (p < m_end && isNameChar(p->unicode()))
        ++p;
    node->kind = Node::Element;
    node->name = {nameBegin, int(p - nameBegin)};
    while (p < m_end && isXmlSpace(p->unicode()))
        ++p;
    if (p < m_end && *p == QLatin1Char('>')) {
        node->isEmpty = false;
        m_position = p + 1;
        return enter();
    }
    if (p + 1 < m_end && *p == QLatin1Char('/') && p[1] == QLatin1Char('>')) {
        node->isEmpty = true;
        m_position = p + 2;
        return true;
    }
    return false;
}

// The next node in the content of the element parent, leaving out the blank
// text nodes QtXml drops; at parent's end tag, a node of kind End.
bool FastReader::nextNode(const Name &parent, Node *node)
{
    for (;;) {
        if (m_position >= m_end)
            return false;
        if (*m_position != QLatin1Char('<')) {
            bool blank = true;
            if (!scanText(&node->text, &blank))
                return false;
            if (blank)
                continue;
            node->kind = Node::Text;
            return true;
        }
        if (m_position + 1 < m_end && m_position[1] == QLatin1Char('/')) {
            const QChar *p = m_position + 2;
            const QChar *const nameEnd = p + parent.size;
            if (nameEnd > m_end || !std::equal(parent.begin, parent.begin + parent.size, p))
                return false;
            p = nameEnd;
            while (p < m_end && isXmlSpace(p->unicode()))
                ++p;
            if (p >= m_end || *p != QLatin1Char('>'))
                return false;
            m_position = p + 1;
            --m_depth;
            node->kind = Node::End;
            return true;
        }
        return startTag(node);
    }
}

// Character data up to the next '<', with its references checked. Whether it
// is blank is judged on the characters it stands for.
bool FastReader::scanText(Text *text, bool *isBlank)
{
    text->begin = m_position;
    text->hasReference = false;
    bool blank = true;
    bool carriageReturn = false;
    // "]]>" may not stand in text, and Qt 6 also refuses a '>' after "]]" of
    // which references wrote a part: count the ']' the text ends with so far.
    int brackets = 0;
    const QChar *p = m_position;
    for (; p < m_end; ++p) {
        char16_t c = p->unicode();
        if (c >= 0x80 && c < 0xD800) {
            blank = blank && QChar::isSpace(c);
            brackets = 0;
            continue;
        }
        if (c > u'>' && c < 0x80 && c != u']') {
            blank = false;
            brackets = 0;
            continue;
        }
        if (c == u'<')
            break;
        if (c == u'&') {
            if (!reference(&p, m_end, &c))
                return false;
            --p;
            text->hasReference = true;
        }
        switch (c) {
        case u']':
            ++brackets;
            blank = false;
            continue;
        case u'>':
            if (brackets >= 2 && p->unicode() == u'>')
                return false;
            break;
        case u'\r':
            // Qt 5 keeps a carriage return in text, Qt 6 turns it into a line
            // feed; one written as a reference is kept by both.
            carriageReturn = carriageReturn || p->unicode() == u'\r';
            brackets = 0;
            continue;
        case u'\t':
        case u'\n':
        case u' ':
            brackets = 0;
            continue;
        default:
            break;
        }
        brackets = 0;
        if (c < 0x20 || c == 0xFFFE || c == 0xFFFF)
            return false;
        if (c >= 0xD800 && c < 0xE000) {
            // Qt 5 drops each half of a surrogate pair as an invalid character.
            const bool pairsKept = QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
                || m_policy == QDomImplementation::AcceptInvalidChars;
            if (!pairsKept || !QChar::isHighSurrogate(c) || p + 1 >= m_end
                || !QChar::isLowSurrogate(p[1].unicode()))
                return false;
            ++p;
        }
        blank = blank && isBlankCharacter(c);
    }
    if (carriageReturn && !blank)
        return false;
    text->end = p;
    m_position = p;
    *isBlank = blank;
    return true;
}

// At '&': one of the five predefined entities, or a character reference to a
// character both Qt 5 and Qt 6 take in the Basic Multilingual Plane.
bool FastReader::reference(const QChar **position, const QChar *end, char16_t *character)
{
    const QChar *const p = *position + 1;
    const QChar *semicolon = p;
    while (semicolon < end && semicolon - p < 10 && *semicolon != QLatin1Char(';'))
        ++semicolon;
    if (semicolon >= end || *semicolon != QLatin1Char(';'))
        return false;
    const Name entity = {p, int(semicolon - p)};
    if (equals(entity, QLatin1String("lt")))
        *character = u'<';
    else if (equals(entity, QLatin1String("gt")))
        *character = u'>';
    else if (equals(entity, QLatin1String("amp")))
        *character = u'&';
    else if (equals(entity, QLatin1String("quot")))
        *character = u'"';
    else if (equals(entity, QLatin1String("apos")))
        *character = u'\'';
    else if (entity.size >= 2 && entity.begin[0] == QLatin1Char('#')) {
        const bool hex = entity.begin[1] == QLatin1Char('x');
        const QChar *digit = entity.begin + (hex ? 2 : 1);
        if (digit == semicolon)
            return false;
        uint code = 0;
        for (; digit < semicolon; ++digit) {
            const char16_t c = digit->unicode();
            uint digitValue;
            if (c >= u'0' && c <= u'9')
                digitValue = c - u'0';
            else if (hex && (c | 0x20) >= u'a' && (c | 0x20) <= u'f')
                digitValue = (c | 0x20) - u'a' + 10;
            else
                return false;
            code = code * (hex ? 16 : 10) + digitValue;
            if (code > 0xFFFD)
                return false;
        }
        // Control characters are taken by Qt 5 and refused by Qt 6.
        if ((code < 0x20 && code != 0x9 && code != 0xA && code != 0xD)
            || (code >= 0xD800 && code < 0xE000))
            return false;
        *character = char16_t(code);
    } else {
        return false;
    }
    *position = semicolon + 1;
    return true;
}

void FastReader::appendText(const Text &text, QString *out) const
{
    if (!text.hasReference) {
        out->append(text.begin, int(text.end - text.begin));
        return;
    }
    const QChar *p = text.begin;
    while (p < text.end) {
        const QChar *const plainEnd = std::find(p, text.end, QLatin1Char('&'));
        out->append(p, int(plainEnd - p));
        if (plainEnd == text.end)
            break;
        p = plainEnd;
        char16_t character = 0;
        reference(&p, text.end, &character); // checked by scanText() already
        out->append(QChar(character));
    }
}

// Skips the rest of an element's content, up to and including its end tag.
bool FastReader::skipContent(const Name &name)
{
    Node node;
    for (;;) {
        if (!nextNode(name, &node))
            return false;
        if (node.kind == Node::End)
            return true;
        if (node.kind == Node::Element && !skip(node))
            return false;
    }
}

// The text of the rest of an element's content, nested elements included.
bool FastReader::collectText(const Name &name, QString *out)
{
    Node node;
    for (;;) {
        if (!nextNode(name, &node))
            return false;
        switch (node.kind) {
        case Node::End:
            return true;
        case Node::Text:
            appendText(node.text, out);
            break;
        case Node::Element:
            if (!node.isEmpty && !collectText(node.name, out))
                return false;
            break;
        }
    }
}

// QDomElement::text() of an element whose start tag was just read. The common
// case, one text node without references, comes back as plain, not copied.
bool FastReader::elementText(const Node &element, QString *text, Text *plain)
{
    *plain = Text();
    *text = QLatin1String("");
    if (element.isEmpty)
        return true;
    Node first;
    if (!nextNode(element.name, &first))
        return false;
    if (first.kind == Node::End)
        return true;
    if (first.kind == Node::Text) {
        const QChar *const afterText = m_position;
        const int depth = m_depth;
        Node second;
        if (!first.text.hasReference && nextNode(element.name, &second)
            && second.kind == Node::End) {
            *plain = first.text;
            return true;
        }
        m_position = afterText;
        m_depth = depth;
        appendText(first.text, text);
        return collectText(element.name, text);
    }
    return (first.isEmpty || collectText(first.name, text)) && collectText(element.name, text);
}

int FastReader::intOf(const QString &decoded, const Text &plain) const
{
    if (!plain.begin)
        return decoded.toInt(nullptr, 10);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QStringView(plain.begin, plain.end).toInt(nullptr, 10);
#else
    return QStringRef(&m_source, int(plain.begin - m_begin), int(plain.end - plain.begin))
        .toInt(nullptr, 10);
#endif
}

double FastReader::doubleOf(const QString &decoded, const Text &plain) const
{
    if (!plain.begin)
        return decoded.toDouble();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QStringView(plain.begin, plain.end).toDouble();
#else
    return QStringRef(&m_source, int(plain.begin - m_begin), int(plain.end - plain.begin))
        .toDouble();
#endif
}

bool FastReader::read(QuorResponse *response)
{
    Node root;
    if (m_policy == QDomImplementation::ReturnNullNode || !prolog() || !startTag(&root))
        return false;
    QuorResponse result = notXmlRpcResponse();
    if (!root.isEmpty) {
        Node first;
        if (!nextNode(root.name, &first))
            return false;
        if (first.kind == Node::Element) {
            if (equalsIgnoringCase(first.name, QLatin1String("params"))) {
                result = QuorResponse();
                if (!params(first, &result.value))
                    return false;
            } else if (equalsIgnoringCase(first.name, QLatin1String("fault"))) {
                QVariant fault;
                if (!firstValueOf(first, &fault))
                    return false;
                result = faultResponse(fault);
            } else if (!skip(first)) {
                return false;
            }
        }
        if (first.kind != Node::End && !skipContent(root.name))
            return false;
    }
    if (!epilog())
        return false;
    *response = result;
    return true;
}

// The value of the first child of the first child of params.
bool FastReader::params(const Node &params, QVariant *value)
{
    *value = QVariant();
    if (params.isEmpty)
        return true;
    Node param;
    if (!nextNode(params.name, &param))
        return false;
    if (param.kind == Node::End)
        return true;
    if (param.kind == Node::Element && !firstValueOf(param, value))
        return false;
    return skipContent(params.name);
}

// The value of an element's first child, read to the element's end.
bool FastReader::firstValueOf(const Node &parent, QVariant *result)
{
    *result = QVariant();
    if (parent.isEmpty)
        return true;
    Node first;
    if (!nextNode(parent.name, &first))
        return false;
    if (first.kind == Node::End)
        return true;
    if (first.kind == Node::Element && !value(first, 0, result))
        return false;
    return skipContent(parent.name);
}

// A <value> element whose start tag was just read, read to its end.
bool FastReader::value(const Node &element, int nesting, QVariant *result)
{
    if (!equalsIgnoringCase(element.name, QLatin1String("value"))) {
        *result = QVariant();
        return skip(element);
    }
    if (element.isEmpty) {
        *result = QVariant(QString(QLatin1String("")));
        return true;
    }
    Node first;
    if (!nextNode(element.name, &first))
        return false;
    switch (first.kind) {
    case Node::End:
        *result = QVariant(QString(QLatin1String("")));
        return true;
    case Node::Text: {
        // Untyped: the text of the whole value.
        QString text;
        appendText(first.text, &text);
        if (!collectText(element.name, &text))
            return false;
        *result = QVariant(text);
        return true;
    }
    case Node::Element:
        break;
    }
    return typedValue(first, nesting, result) && skipContent(element.name);
}

bool FastReader::typedValue(const Node &typed, int nesting, QVariant *result)
{
    const QString tag = lowerCase(typed.name);
    const ValueKind kind = kindOfTag(tag);
    if (isContainer(kind) && nesting >= QuorDocument::MaxValueNesting) {
        reportTooDeepToRead(m_debugMessages);
        *result = QVariant();
        return skip(typed);
    }
    switch (kind) {
    case ValueKind::Array:
        return array(typed, nesting, result);
    case ValueKind::Struct:
        return structure(typed, nesting, result);
    case ValueKind::Nil:
        *result = QVariant();
        return skip(typed);
    case ValueKind::Unknown:
        reportUnknownType(tag, m_debugMessages);
        *result = QVariant();
        return skip(typed);
    default:
        return scalar(typed, kind, result);
    }
}

bool FastReader::scalar(const Node &typed, ValueKind kind, QVariant *result)
{
    QString text;
    Text plain;
    if (!elementText(typed, &text, &plain))
        return false;
    const auto wholeText
        = [&]() { return plain.begin ? QString(plain.begin, int(plain.end - plain.begin)) : text; };
    switch (kind) {
    case ValueKind::String:
        *result = QVariant(wholeText());
        break;
    case ValueKind::Int:
        *result = QVariant(intOf(text, plain));
        break;
    case ValueKind::Double:
        *result = QVariant(doubleOf(text, plain));
        break;
    case ValueKind::Boolean: {
        if (plain.begin && plain.end - plain.begin == 1 && plain.begin->isDigit()) {
            *result = QVariant(*plain.begin == QLatin1Char('1'));
        } else {
            const QString value = wholeText();
            *result
                = QVariant(value.toLower() == QLatin1String("true") || value == QLatin1String("1"));
        }
        break;
    }
    case ValueKind::Base64:
        *result = QVariant(QByteArray::fromBase64(
            plain.begin ? QStringView(plain.begin, plain.end).toLatin1() : text.toLatin1()));
        break;
    case ValueKind::DateTime:
        *result = QVariant(QDateTime::fromString(wholeText(), dateTimeFormat()));
        break;
    default:
        Q_UNREACHABLE();
    }
    return true;
}

// The items of the first child of <array>, whatever its name: each a value,
// or an invalid variant for text standing among them.
bool FastReader::array(const Node &typed, int nesting, QVariant *result)
{
    QVariantList items;
    if (!typed.isEmpty) {
        Node data;
        if (!nextNode(typed.name, &data))
            return false;
        if (data.kind == Node::Element && !data.isEmpty) {
            Node item;
            for (;;) {
                if (!nextNode(data.name, &item))
                    return false;
                if (item.kind == Node::End)
                    break;
                QVariant itemValue;
                if (item.kind == Node::Element && !value(item, nesting + 1, &itemValue))
                    return false;
                items.append(itemValue);
            }
        }
        if (data.kind != Node::End && !skipContent(typed.name))
            return false;
    }
    *result = QVariant(items);
    return true;
}

// Every node in a struct is a member; text stands for one without name or value.
bool FastReader::structure(const Node &typed, int nesting, QVariant *result)
{
    QVariantMap entries;
    if (!typed.isEmpty) {
        Node node;
        for (;;) {
            if (!nextNode(typed.name, &node))
                return false;
            if (node.kind == Node::End)
                break;
            if (node.kind == Node::Text)
                entries[QString()] = QVariant();
            else if (!member(node, nesting, &entries))
                return false;
        }
    }
    *result = QVariant(entries);
    return true;
}

// The DOM reader takes a member's first descendants named "name" and "value",
// however deep. Read here: <name> holding text only, then <value>, with text
// around them and anything after <value>. Any other shape is left to the DOM.
bool FastReader::member(const Node &member, int nesting, QVariantMap *entries)
{
    if (member.isEmpty) {
        (*entries)[QString()] = QVariant();
        return true;
    }
    Node node;
    do {
        if (!nextNode(member.name, &node))
            return false;
    } while (node.kind == Node::Text);
    if (node.kind == Node::End) {
        (*entries)[QString()] = QVariant();
        return true;
    }
    if (!equals(node.name, QLatin1String("name")))
        return false;

    // The text of <name>, empty but not null when it has none.
    QString name = QLatin1String("");
    if (!node.isEmpty) {
        Node content;
        if (!nextNode(node.name, &content) || content.kind == Node::Element)
            return false;
        if (content.kind == Node::Text) {
            const Text nameText = content.text;
            if (!nextNode(node.name, &content) || content.kind != Node::End)
                return false;
            if (nameText.hasReference)
                appendText(nameText, &name);
            else
                name = key(nameText);
        }
    }

    do {
        if (!nextNode(member.name, &node))
            return false;
    } while (node.kind == Node::Text);
    if (node.kind == Node::End) {
        (*entries)[name] = QVariant();
        return true;
    }
    if (!equals(node.name, QLatin1String("value")))
        return false;
    QVariant memberValue;
    if (!value(node, nesting + 1, &memberValue))
        return false;
    (*entries)[name] = memberValue;
    return skipContent(member.name);
}

QString FastReader::key(const Text &text)
{
    const int size = int(text.end - text.begin);
    uint hash = uint(size);
    for (const QChar *c = text.begin; c < text.end; ++c)
        hash = hash * 31 + c->unicode();
    QString &slot = m_keys[hash % (sizeof m_keys / sizeof m_keys[0])];
    if (slot.size() != size || !std::equal(text.begin, text.end, slot.constData()))
        slot = QString(text.begin, size);
    return slot;
}

} // namespace

namespace QuorFastCodec {

bool readResponse(const QString &text, QuorResponse *response, QStringList *debugMessages)
{
    QStringList messages;
    if (!FastReader(text, &messages).read(response))
        return false;
    *debugMessages = messages;
    return true;
}

} // namespace QuorFastCodec
