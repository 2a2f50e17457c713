// SPDX-License-Identifier: MIT
#ifndef QUORXMLSCANNER_P_H
#define QUORXMLSCANNER_P_H

#include "quorcodec_p.h"
#include "quordocument_p.h"

#include <QString>

#include <cstring>
#include <type_traits>

// The XML under the fast reader: a character-class table and a scanner that
// walks a document's text once (UTF-16 in a QString, or the UTF-8 bytes of a
// body) and yields its nodes as QtXml's DOM parser would make them: it keeps no
// text node that is only white space (QChar::isSpace()), and an element's text
// is that of all its text and CDATA nodes. Unlike QtXml it keeps every
// character as written: characters beyond U+FFFF (which Qt 5's parser drops,
// or misreads as references) and carriage returns (which Qt 6's parser turns
// into line feeds: XML-RPC peers that write them raw mean them). It reads
// comments, processing instructions, CDATA sections and attributes, and knows
// nothing of XML-RPC. Where it gives up (returns false), the document is left
// to the DOM: one not well formed, whose error the DOM words, a document type
// declaration, names beyond ASCII, references to control characters, and
// attributes repeated in one tag.
namespace QuorXml {

using QuorCodec::codeUnit;
using QuorCodec::isAsciiLetter;

template<typename Char>
inline char16_t unit(const Char *c)
{
    return codeUnit(*c);
}

// What an ASCII character may be: in names, and in text that needs no care.
enum CharacterClass : uchar { NameStart = 1, NamePart = 2, PlainText = 4 };

struct CharacterClasses
{
    constexpr CharacterClasses()
    {
        for (int c = 0; c < 128; ++c) {
            const bool letter = isAsciiLetter(char16_t(c));
            const bool digit = c >= '0' && c <= '9';
            classes[c] = uchar((letter ? NameStart : 0)
                | (letter || digit || c == '_' || c == '-' || c == '.' ? NamePart : 0)
                | (c > ' ' && c != '<' && c != '&' && c != '>' && c != ']' ? PlainText : 0));
        }
    }
    uchar classes[128] = {};
};

constexpr CharacterClasses Classes;

inline bool hasClass(char16_t c, CharacterClass characterClass)
{
    return c < 0x80 && (Classes.classes[c] & characterClass);
}

// Appends UTF-8 bytes, every U+FEFF kept. QString::fromUtf8() drops one
// EF BB BF at the start of what it decodes as a byte-order mark, yet inside a
// document U+FEFF is an ordinary character, and a run of text, CDATA or a name
// may start with it; only a mark before the whole document is no character.
inline void appendUtf8(const char *begin, int size, QString *out)
{
    while (size >= 3 && std::memcmp(begin, "\xef\xbb\xbf", 3) == 0) {
        out->append(QChar(0xFEFF));
        begin += 3;
        size -= 3;
    }
    out->append(QString::fromUtf8(begin, size));
}

// Past the spaces and line feeds at position, several at a time where it can.
inline const QChar *skipIndentation(const QChar *position, const QChar *end)
{
    while (position < end && (position->unicode() == u' ' || position->unicode() == u'\n'))
        ++position;
    return position;
}

inline const char *skipIndentation(const char *position, const char *end)
{
    constexpr quint64 spaces = 0x2020202020202020;
    for (;;) {
        if (position < end && *position == '\n')
            ++position;
        quint64 word;
        while (end - position >= 8 && (std::memcpy(&word, position, 8), word == spaces))
            position += 8;
        while (position < end && *position == ' ')
            ++position;
        if (position >= end || *position != '\n')
            return position;
    }
}

inline bool isXmlSpace(char16_t c)
{
    return c == u' ' || c == u'\n' || c == u'\t' || c == u'\r';
}

// A character of a text node QtXml would drop.
inline bool isBlankCharacter(char16_t c)
{
    return c < 0x80 ? (c == u' ' || (c >= 0x9 && c <= 0xD)) : QChar::isSpace(c);
}

template<typename Char>
class XmlScanner
{
public:
    XmlScanner(const Char *begin, const Char *end)
        : m_position(begin)
        , m_end(end)
    { }

    struct Name
    {
        const Char *begin = nullptr;
        int size = 0;
    };

    // A run of character data between two pieces of markup.
    struct Text
    {
        const Char *begin = nullptr;
        const Char *end = nullptr;
        bool hasReference = false;
        bool isAscii = true;
    };

    // A node as the DOM sees it: an element, character data (text or CDATA),
    // something that holds no text (a comment or processing instruction), or
    // the end of the parent.
    struct Node
    {
        enum Kind { Element, Text, Other, End } kind = End;
        Name name; // of an element
        const Char *start = nullptr; // of an element's start tag, at its '<'
        bool isEmpty = false; // an element written as <name/>
        typename XmlScanner::Text text; // of a text node
    };

    // A place in the document to come back to, and the depth of elements there.
    struct Mark
    {
        const Char *position = nullptr;
        int depth = 0;
    };
    Mark mark() const { return {m_position, m_depth}; }
    void rewind(const Mark &mark)
    {
        m_position = mark.position;
        m_depth = mark.depth;
    }
    // Where an element that starts at node.start stands, to come back to it.
    Mark markOf(const Node &element) const
    {
        return {element.start, element.isEmpty ? m_depth : m_depth - 1};
    }

    // The document around its root element.
    bool prolog();
    bool epilog();
    bool startTag(Node *node);

    // An element's content.
    bool nextNode(const Name &parent, Node *node);
    bool nextElementOrEnd(const Name &parent, Node *node);
    bool skipContent(const Name &name);
    bool skip(const Node &node) { return node.isEmpty || skipContent(node.name); }
    bool collectText(const Name &name, QString *out);
    bool elementText(const Node &element, QString *text, Text *plain);

    // Names and text.
    void appendText(const Text &text, QString *out) const;
    static bool equalsIgnoringCase(const Name &name, QLatin1String lowerCase);
    static bool equals(const Name &name, QLatin1String tag);
    static QString lowerCase(const Name &name);
    static void appendPlain(const Text &text, QString *out);
    static QString toString(const Text &text);
    // toString(text).toLatin1(), without the QString for ASCII bytes.
    static QByteArray latin1(const Text &text);

private:
    bool miscellany();
    bool name(const Char **position, Name *name) const;
    bool attributes(const Char **position);
    bool markup(Node *node);
    bool scanUntil(QLatin1String terminator, Text *text);
    bool scanText(Text *text, bool *isBlank);
    static bool reference(const Char **position, const Char *end, char32_t *character);
    bool character(const Char **position, bool *blank) const;
    bool startsWith(QLatin1String literal) const;
    void skipXmlSpace();

    bool enter()
    {
        // Deeper documents are refused by the DOM reader with its own message.
        return ++m_depth < QuorDocument::MaxElementNesting;
    }

    const Char *m_position;
    const Char *const m_end;
    int m_depth = 0;
};

template<typename Char>
bool XmlScanner<Char>::equalsIgnoringCase(const Name &name, QLatin1String lowerCase)
{
    if (name.size != lowerCase.size())
        return false;
    for (int i = 0; i < name.size; ++i) {
        const char16_t c = unit(name.begin + i);
        if ((isAsciiLetter(c) ? (c | 0x20) : c) != char16_t(lowerCase.data()[i]))
            return false;
    }
    return true;
}

template<typename Char>
bool XmlScanner<Char>::equals(const Name &name, QLatin1String tag)
{
    if (name.size != tag.size())
        return false;
    for (int i = 0; i < name.size; ++i) {
        if (unit(name.begin + i) != char16_t(tag.data()[i]))
            return false;
    }
    return true;
}

template<typename Char>
QString XmlScanner<Char>::lowerCase(const Name &name)
{
    QString lower(name.size, Qt::Uninitialized);
    for (int i = 0; i < name.size; ++i) {
        const char16_t c = unit(name.begin + i);
        lower[i] = QChar(isAsciiLetter(c) ? char16_t(c | 0x20) : c);
    }
    return lower;
}

template<typename Char>
bool XmlScanner<Char>::startsWith(QLatin1String literal) const
{
    if (m_end - m_position < literal.size())
        return false;
    for (int i = 0; i < literal.size(); ++i) {
        if (unit(m_position + i) != char16_t(literal.data()[i]))
            return false;
    }
    return true;
}

template<typename Char>
void XmlScanner<Char>::skipXmlSpace()
{
    while (m_position < m_end && isXmlSpace(unit(m_position)))
        ++m_position;
}

// An XML declaration, if any, for version 1.0, then comments, processing
// instructions and white space up to the document element. A declared encoding
// matters only for bytes, which must be UTF-8; text is decoded already.
template<typename Char>
bool XmlScanner<Char>::prolog()
{
    if (startsWith(QLatin1String("<?xml")) && m_end - m_position > 5
        && isXmlSpace(unit(m_position + 5))) {
        m_position += 5;
        const auto attribute = [this](QLatin1String name, auto acceptValue) {
            const Char *const start = m_position;
            skipXmlSpace();
            if (m_position == start || !startsWith(name))
                return false;
            m_position += name.size();
            skipXmlSpace();
            if (m_position >= m_end || unit(m_position) != u'=')
                return false;
            ++m_position;
            skipXmlSpace();
            if (m_position >= m_end)
                return false;
            const char16_t quote = unit(m_position);
            if (quote != u'"' && quote != u'\'')
                return false;
            const Char *const valueBegin = ++m_position;
            while (m_position < m_end && unit(m_position) != quote)
                ++m_position;
            if (m_position >= m_end)
                return false;
            const QString value = toString({valueBegin, m_position});
            ++m_position;
            return bool(acceptValue(value));
        };
        if (!attribute(QLatin1String("version"),
                [](const QString &value) { return value == QLatin1String("1.0"); }))
            return false;
        const Char *optional = m_position;
        if (!attribute(QLatin1String("encoding"), [](const QString &value) {
                return QuorDocument::isEncodingName(value)
                    && (std::is_same_v<Char, QChar> || QuorDocument::readsAsUtf8(value));
            }))
            m_position = optional;
        optional = m_position;
        if (!attribute(QLatin1String("standalone"), [](const QString &value) {
                return value == QLatin1String("yes") || value == QLatin1String("no");
            }))
            m_position = optional;
        skipXmlSpace();
        if (!startsWith(QLatin1String("?>")))
            return false;
        m_position += 2;
    }
    if (!miscellany())
        return false;
    return m_position + 1 < m_end && unit(m_position) == u'<';
}

// Comments, processing instructions and white space outside the document element.
template<typename Char>
bool XmlScanner<Char>::miscellany()
{
    for (;;) {
        skipXmlSpace();
        if (!startsWith(QLatin1String("<!--")) && !startsWith(QLatin1String("<?")))
            return true;
        Node node;
        if (!markup(&node))
            return false;
    }
}

// Nothing but comments, processing instructions and white space after the
// document element.
template<typename Char>
bool XmlScanner<Char>::epilog()
{
    return miscellany() && m_position == m_end;
}

// A name of ASCII letters, digits and "_-.", with at most one ':' inside.
template<typename Char>
bool XmlScanner<Char>::name(const Char **position, Name *result) const
{
    const Char *p = *position;
    const Char *const begin = p;
    for (int part = 0; part < 2; ++part) {
        if (p >= m_end || !(isAsciiLetter(unit(p)) || unit(p) == u'_'))
            return false;
        while (p < m_end && hasClass(unit(p), NamePart))
            ++p;
        if (p >= m_end || unit(p) != u':')
            break;
        if (part == 1)
            return false;
        ++p;
    }
    *result = {begin, int(p - begin)};
    *position = p;
    return true;
}

// At '<' and a letter: reads "<name attributes>" or "<name attributes/>".
template<typename Char>
bool XmlScanner<Char>::startTag(Node *node)
{
    const Char *p = m_position + 1;
    if (!name(&p, &node->name) || !attributes(&p))
        return false;
    node->kind = Node::Element;
    node->start = m_position;
    if (unit(p) == u'>') {
        node->isEmpty = false;
        m_position = p + 1;
        return enter();
    }
    if (p + 1 < m_end && unit(p + 1) == u'>') {
        node->isEmpty = true;
        m_position = p + 2;
        return true;
    }
    return false;
}

// The attributes after a tag's name, which XML-RPC gives no meaning, checked
// as a parser checks them; leaves position at the '>' or '/' that follows.
// A name repeated in one tag is left to the DOM: Qt 5 takes it, Qt 6 does not.
template<typename Char>
bool XmlScanner<Char>::attributes(const Char **position)
{
    constexpr int MaxAttributes = 8;
    Name seen[MaxAttributes];
    int count = 0;
    const Char *p = *position;
    for (;;) {
        const Char *const beforeSpace = p;
        while (p < m_end && isXmlSpace(unit(p)))
            ++p;
        if (p >= m_end)
            return false;
        if (unit(p) == u'>' || unit(p) == u'/') {
            *position = p;
            return true;
        }
        Name attribute;
        if (p == beforeSpace || count == MaxAttributes || !name(&p, &attribute))
            return false;
        for (int i = 0; i < count; ++i) {
            if (seen[i].size == attribute.size
                && std::equal(attribute.begin, attribute.begin + attribute.size, seen[i].begin,
                    [](Char a, Char b) { return unit(&a) == unit(&b); }))
                return false;
        }
        seen[count++] = attribute;
        while (p < m_end && isXmlSpace(unit(p)))
            ++p;
        if (p >= m_end || unit(p) != u'=')
            return false;
        ++p;
        while (p < m_end && isXmlSpace(unit(p)))
            ++p;
        if (p >= m_end || (unit(p) != u'"' && unit(p) != u'\''))
            return false;
        const char16_t quote = unit(p++);
        for (;;) {
            if (p >= m_end)
                return false;
            const char16_t c = unit(p);
            if (c == quote)
                break;
            bool blank = false;
            char32_t character = 0;
            if (c == u'<' || (c < 0x20 && !isXmlSpace(c)))
                return false;
            if (c == u'&') {
                if (!reference(&p, m_end, &character))
                    return false;
                continue;
            }
            if (c >= 0x80 && !XmlScanner::character(&p, &blank))
                return false;
            ++p;
        }
        ++p;
    }
}

// At "<!" or "<?": a comment or processing instruction, a node of kind Other,
// or a CDATA section, character data that is never dropped as blank.
template<typename Char>
bool XmlScanner<Char>::markup(Node *node)
{
    if (startsWith(QLatin1String("<!--"))) {
        m_position += 4;
        Text text;
        // "--" may only end a comment.
        if (!scanUntil(QLatin1String("--"), &text) || m_position >= m_end
            || unit(m_position) != u'>')
            return false;
        ++m_position;
        node->kind = Node::Other;
        return true;
    }
    if (startsWith(QLatin1String("<![CDATA["))) {
        m_position += 9;
        node->kind = Node::Text;
        return scanUntil(QLatin1String("]]>"), &node->text);
    }
    if (startsWith(QLatin1String("<?"))) {
        const Char *p = m_position + 2;
        Name target;
        if (!name(&p, &target) || equalsIgnoringCase(target, QLatin1String("xml")))
            return false;
        m_position = p;
        node->kind = Node::Other;
        Text text;
        if (startsWith(QLatin1String("?>"))) {
            m_position += 2;
            return true;
        }
        return p < m_end && isXmlSpace(unit(p)) && scanUntil(QLatin1String("?>"), &text);
    }
    return false;
}

// Characters XML allows, up to terminator, which it leaves position behind.
template<typename Char>
bool XmlScanner<Char>::scanUntil(QLatin1String terminator, Text *text)
{
    *text = Text();
    text->begin = m_position;
    const char16_t first = char16_t(terminator.at(0).unicode());
    for (const Char *p = m_position; p < m_end; ++p) {
        const char16_t c = unit(p);
        if (c == first) {
            m_position = p;
            if (startsWith(terminator)) {
                text->end = p;
                m_position = p + terminator.size();
                return true;
            }
        } else if (c >= 0x80) {
            bool blank = false;
            text->isAscii = false;
            if (!character(&p, &blank))
                return false;
        } else if (c < 0x20 && !isXmlSpace(c)) {
            return false;
        }
    }
    return false;
}

// The next node in the content of the element parent, leaving out the blank
// text nodes QtXml drops; at parent's end tag, a node of kind End.
template<typename Char>
bool XmlScanner<Char>::nextNode(const Name &parent, Node *node)
{
    for (;;) {
        // Indentation first, the most common text of all, dropped as blank.
        const Char *afterSpace = skipIndentation(m_position, m_end);
        if (afterSpace < m_end && unit(afterSpace) == u'<')
            m_position = afterSpace;
        if (m_position >= m_end)
            return false;
        if (unit(m_position) != u'<') {
            bool blank = true;
            if (!scanText(&node->text, &blank))
                return false;
            if (blank)
                continue;
            node->kind = Node::Text;
            return true;
        }
        if (m_position + 1 < m_end
            && (unit(m_position + 1) == u'!' || unit(m_position + 1) == u'?'))
            return markup(node);
        if (m_position + 1 < m_end && unit(m_position + 1) == u'/') {
            const Char *p = m_position + 2;
            const Char *const nameEnd = p + parent.size;
            if (nameEnd > m_end)
                return false;
            for (int i = 0; i < parent.size; ++i) {
                if (unit(p + i) != unit(parent.begin + i))
                    return false;
            }
            p = nameEnd;
            while (p < m_end && isXmlSpace(unit(p)))
                ++p;
            if (p >= m_end || unit(p) != u'>')
                return false;
            m_position = p + 1;
            --m_depth;
            node->kind = Node::End;
            return true;
        }
        return startTag(node);
    }
}

// The next element in the content of parent, passing over other nodes, or its end.
template<typename Char>
bool XmlScanner<Char>::nextElementOrEnd(const Name &parent, Node *node)
{
    do {
        if (!nextNode(parent, node))
            return false;
    } while (node->kind == Node::Text || node->kind == Node::Other);
    return true;
}

// Character data up to the next '<', with its references checked. Whether it
// is blank is judged on the characters it stands for.
template<typename Char>
bool XmlScanner<Char>::scanText(Text *text, bool *isBlank)
{
    text->begin = m_position;
    text->hasReference = false;
    text->isAscii = true;
    bool blank = true;
    // "]]>" may not stand in text, and Qt 6 also refuses a '>' after "]]" of
    // which references wrote a part: count the ']' the text ends with so far.
    int brackets = 0;
    const Char *p = m_position;
    for (; p < m_end; ++p) {
        char16_t c = unit(p);
        if (hasClass(c, PlainText)) {
            blank = false;
            brackets = 0;
            continue;
        }
        if (c >= 0x80) {
            text->isAscii = false;
            if (!character(&p, &blank))
                return false;
            brackets = 0;
            continue;
        }
        if (c == u'<')
            break;
        if (c == u'&') {
            char32_t character = 0;
            if (!reference(&p, m_end, &character))
                return false;
            --p;
            text->hasReference = true;
            if (character >= 0x10000) {
                blank = false;
                brackets = 0;
                continue;
            }
            c = char16_t(character);
        }
        switch (c) {
        case u']':
            ++brackets;
            blank = false;
            continue;
        case u'>':
            if (brackets >= 2 && unit(p) == u'>')
                return false;
            break;
        case u'\r':
        case u'\t':
        case u'\n':
        case u' ':
            brackets = 0;
            continue;
        default:
            break;
        }
        brackets = 0;
        if (c < 0x20)
            return false;
        blank = blank && isBlankCharacter(c);
    }
    text->end = p;
    m_position = p;
    *isBlank = blank;
    return true;
}

// At a UTF-16 unit beyond ASCII: checks it and leaves position on its last unit.
template<>
inline bool XmlScanner<QChar>::character(const QChar **position, bool *blank) const
{
    const QChar *p = *position;
    const char16_t c = p->unicode();
    if (c < 0xD800) {
        *blank = *blank && QChar::isSpace(c);
        return true;
    }
    if (c >= 0xE000) {
        *blank = false;
        return c < 0xFFFE;
    }
    if (!QChar::isHighSurrogate(c) || p + 1 >= m_end || !QChar::isLowSurrogate(p[1].unicode()))
        return false;
    *blank = false;
    *position = p + 1;
    return true;
}

// At a byte beyond ASCII: checks that a well-formed UTF-8 sequence for a
// character XML allows starts there, and leaves position on its last byte.
template<>
inline bool XmlScanner<char>::character(const char **position, bool *blank) const
{
    const uchar *p = reinterpret_cast<const uchar *>(*position);
    const uchar *const end = reinterpret_cast<const uchar *>(m_end);
    const uchar lead = *p;
    int length;
    char32_t code;
    uchar lowest = 0x80;
    uchar highest = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        lowest = lead == 0xE0 ? 0xA0 : 0x80; // no overlong forms
        highest = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        lowest = lead == 0xF0 ? 0x90 : 0x80;
        highest = lead == 0xF4 ? 0x8F : 0xBF; // nothing beyond U+10FFFF
    } else {
        return false;
    }
    if (end - p < length || p[1] < lowest || p[1] > highest)
        return false;
    for (int i = 1; i < length; ++i) {
        if (i > 1 && (p[i] < 0x80 || p[i] > 0xBF))
            return false;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code >= 0x10000) {
        *blank = false;
    } else if (code >= 0xFFFE) {
        return false;
    } else {
        *blank = *blank && QChar::isSpace(char16_t(code));
    }
    *position += length - 1;
    return true;
}

// At '&': one of the five predefined entities, or a character reference to a
// character XML allows. Qt 5 takes references to control characters too, and
// drops them; Qt 6 refuses them: left to the DOM.
template<typename Char>
bool XmlScanner<Char>::reference(const Char **position, const Char *end, char32_t *character)
{
    const Char *const p = *position + 1;
    const Char *semicolon = p;
    while (semicolon < end && semicolon - p < 10 && unit(semicolon) != u';')
        ++semicolon;
    if (semicolon >= end || unit(semicolon) != u';')
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
    else if (entity.size >= 2 && unit(entity.begin) == u'#') {
        const bool hex = unit(entity.begin + 1) == u'x';
        const Char *digit = entity.begin + (hex ? 2 : 1);
        if (digit == semicolon)
            return false;
        uint code = 0;
        for (; digit < semicolon; ++digit) {
            const char16_t c = unit(digit);
            uint digitValue;
            if (c >= u'0' && c <= u'9')
                digitValue = c - u'0';
            else if (hex && (c | 0x20) >= u'a' && (c | 0x20) <= u'f')
                digitValue = (c | 0x20) - u'a' + 10;
            else
                return false;
            code = code * (hex ? 16 : 10) + digitValue;
            if (code > 0x10FFFF)
                return false;
        }
        if ((code < 0x20 && code != 0x9 && code != 0xA && code != 0xD)
            || (code >= 0xD800 && code < 0xE000) || code == 0xFFFE || code == 0xFFFF)
            return false;
        *character = code;
    } else {
        return false;
    }
    *position = semicolon + 1;
    return true;
}

template<typename Char>
void XmlScanner<Char>::appendText(const Text &text, QString *out) const
{
    if (!text.hasReference) {
        appendPlain(text, out);
        return;
    }
    out->reserve(out->size() + int(text.end - text.begin));
    const Char *p = text.begin;
    while (p < text.end) {
        const Char *plainEnd = p;
        while (plainEnd < text.end && unit(plainEnd) != u'&')
            ++plainEnd;
        appendPlain({p, plainEnd, false, text.isAscii}, out);
        if (plainEnd == text.end)
            break;
        p = plainEnd;
        char32_t character = 0;
        reference(&p, text.end, &character); // checked by scanText() already
        if (QChar::requiresSurrogates(character)) {
            out->append(QChar(QChar::highSurrogate(character)));
            out->append(QChar(QChar::lowSurrogate(character)));
        } else {
            out->append(QChar(char16_t(character)));
        }
    }
}

template<>
inline void XmlScanner<QChar>::appendPlain(const Text &text, QString *out)
{
    out->append(text.begin, int(text.end - text.begin));
}

template<>
inline void XmlScanner<char>::appendPlain(const Text &text, QString *out)
{
    const int size = int(text.end - text.begin);
    if (text.isAscii)
        out->append(QLatin1String(text.begin, size));
    else
        appendUtf8(text.begin, size, out);
}

template<typename Char>
QString XmlScanner<Char>::toString(const Text &text)
{
    QString result;
    appendPlain(text, &result);
    return result;
}

template<>
inline QByteArray XmlScanner<QChar>::latin1(const Text &text)
{
    return QStringView(text.begin, text.end).toLatin1();
}

// A view of the body's bytes: read before the body goes.
template<>
inline QByteArray XmlScanner<char>::latin1(const Text &text)
{
    return text.isAscii ? QByteArray::fromRawData(text.begin, int(text.end - text.begin))
                        : toString(text).toLatin1();
}

// Skips the rest of an element's content, up to and including its end tag.
template<typename Char>
bool XmlScanner<Char>::skipContent(const Name &name)
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
template<typename Char>
bool XmlScanner<Char>::collectText(const Name &name, QString *out)
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
        case Node::Other:
            break;
        }
    }
}

// QDomElement::text() of an element whose start tag was just read. The common
// case, one text node without references, comes back as plain, not copied.
template<typename Char>
bool XmlScanner<Char>::elementText(const Node &element, QString *text, Text *plain)
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
        const Mark afterText = mark();
        Node second;
        if (!first.text.hasReference && nextNode(element.name, &second)
            && second.kind == Node::End) {
            *plain = first.text;
            return true;
        }
        rewind(afterText);
        appendText(first.text, text);
        return collectText(element.name, text);
    }
    if (first.kind == Node::Element && !first.isEmpty && !collectText(first.name, text))
        return false;
    return collectText(element.name, text);
}

} // namespace QuorXml

#endif
