// SPDX-License-Identifier: MIT
#include "quordocument_p.h"

#include "quorcodec_p.h"

#include <QDomProcessingInstruction>

#include <QTextStream>
#include <algorithm>
#include <iterator>
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>
#else
#include <QTextCodec>
#endif

namespace QuorDocument {

using QuorCodec::isAsciiLetter;

QDomDocument create()
{
    QDomDocument document;
    document.appendChild(document.createProcessingInstruction(
        QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"")));
    return document;
}

QString toText(const QDomDocument &document)
{
    // QDomDocument::toString() compiles a regular expression on every call to
    // read the encoding out of the declaration, about half of a small call's
    // cost. Saving with the encoding of the stream, UTF-8, writes the same
    // declaration and the same nodes without it.
    QString text;
    QTextStream stream(&text);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    stream.setEncoding(QStringConverter::Utf8);
#else
    stream.setCodec("UTF-8");
#endif
    document.save(stream, 1, QDomNode::EncodingFromTextStream);
    stream.flush();
    return text;
}

namespace {

// Walks markup just far enough to tell start tags, end tags and empty-element
// tags apart; everything the parser would reject anyway may be counted loosely.
class NestingScanner
{
public:
    explicit NestingScanner(const QString &xml)
        : m_text(xml.constData())
        , m_size(xml.size())
    { }

    // The first line that nests deeper than maxDepth or declares a document
    // type, and which of the two it does; 0 when there is none.
    int lineBeyond(int maxDepth, bool *declaresType)
    {
        int depth = 0;
        while (m_pos < m_size) {
            const QChar c = m_text[m_pos++];
            if (c == QLatin1Char('\n')) {
                ++m_line;
                continue;
            }
            if (c != QLatin1Char('<') || m_pos >= m_size)
                continue;
            const QChar next = m_text[m_pos];
            if (next == QLatin1Char('/')) {
                --depth;
                skipPast(">");
            } else if (next == QLatin1Char('?')) {
                skipPast("?>");
            } else if (next == QLatin1Char('!')) {
                // Comments and CDATA hold no markup; anything else here is a
                // DOCTYPE or an error. A DOCTYPE may declare entities that
                // expand to elements this count never sees (Qt 5's parser even
                // lets one leave them open), and its literals may hide a "<!--".
                if (!skipCommentOrCData()) {
                    *declaresType = true;
                    return m_line;
                }
            } else if (!skipStartTag() && ++depth > maxDepth) {
                return m_line;
            }
        }
        return 0;
    }

private:
    bool startsWith(const char *literal) const
    {
        int i = m_pos;
        for (; *literal && i < m_size; ++literal, ++i) {
            if (m_text[i] != QLatin1Char(*literal))
                return false;
        }
        return *literal == '\0';
    }

    void skipPast(const char *terminator)
    {
        while (m_pos < m_size && !startsWith(terminator)) {
            if (m_text[m_pos++] == QLatin1Char('\n'))
                ++m_line;
        }
        m_pos = qMin(m_size, m_pos + int(qstrlen(terminator)));
    }

    // Skips a comment or a CDATA section; false for anything else after "<!".
    bool skipCommentOrCData()
    {
        if (startsWith("!--"))
            skipPast("-->");
        else if (startsWith("![CDATA["))
            skipPast("]]>");
        else
            return false;
        return true;
    }

    // Returns whether the tag closed itself ("<a/>"): only then it adds no depth.
    bool skipStartTag()
    {
        QChar quote;
        QChar previous;
        while (m_pos < m_size) {
            const QChar c = m_text[m_pos++];
            if (c == QLatin1Char('\n'))
                ++m_line;
            if (!quote.isNull()) {
                if (c == quote)
                    quote = QChar();
            } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                quote = c;
            } else if (c == QLatin1Char('>')) {
                return previous == QLatin1Char('/');
            }
            previous = c;
        }
        return false;
    }

    const QChar *m_text;
    int m_size;
    int m_pos = 0;
    int m_line = 1;
};

// The encoding named by the XML declaration at the start of xml, or nothing.
QByteArray declaredEncoding(const QByteArray &xml)
{
    if (!xml.startsWith("<?xml"))
        return QByteArray();
    const int end = xml.indexOf("?>");
    const QByteArray declaration = end < 0 ? xml : xml.left(end);
    const int name = declaration.indexOf("encoding");
    const int equals = name < 0 ? -1 : declaration.indexOf('=', name);
    if (equals < 0)
        return QByteArray();
    const QByteArray rest = declaration.mid(equals + 1).trimmed();
    if (rest.isEmpty() || (rest.at(0) != '"' && rest.at(0) != '\''))
        return QByteArray();
    const int close = rest.indexOf(rest.at(0), 1);
    return close < 0 ? QByteArray() : rest.mid(1, close - 1);
}

// The line of the first reference Qt 5's parser cannot survive, or 0.
int lineOfUnparsableReference(const QString &xml)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    Q_UNUSED(xml);
#else
    // Comments, CDATA sections and processing instructions hold no references.
    const QChar *const text = xml.constData();
    const int size = xml.size();
    int line = 1;
    const auto skipPast = [&](int *i, QLatin1String terminator) {
        const int end = xml.indexOf(terminator, *i);
        const int stop = end < 0 ? size : end + terminator.size();
        for (; *i < stop; ++*i)
            line += text[*i] == QLatin1Char('\n') ? 1 : 0;
        --*i;
    };
    for (int i = 0; i < size; ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'\n') {
            ++line;
        } else if (c == u'<' && xml.midRef(i, 4) == QLatin1String("<!--")) {
            skipPast(&i, QLatin1String("-->"));
        } else if (c == u'<' && xml.midRef(i, 9) == QLatin1String("<![CDATA[")) {
            skipPast(&i, QLatin1String("]]>"));
        } else if (c == u'<' && xml.midRef(i, 2) == QLatin1String("<?")) {
            skipPast(&i, QLatin1String("?>"));
        } else if (c == u'&') {
            for (int j = i + 1; j < size && j - i <= 64; ++j) {
                const char16_t n = text[j].unicode();
                if (n == u';' || n == u'<' || n == u'&' || n == u'#' || n <= u' ')
                    break;
                if (n >= 0x80)
                    return line;
            }
        }
    }
#endif
    return 0;
}

} // namespace

Refusal refusal(const QString &xml)
{
    bool declaresType = false;
    if (const int line = NestingScanner(xml).lineBeyond(MaxElementNesting, &declaresType)) {
        return {line,
            declaresType ? QStringLiteral("document type declarations are not accepted")
                         : QStringLiteral("elements nested deeper than %1").arg(MaxElementNesting)};
    }
    if (const int line = lineOfUnparsableReference(xml))
        return {line, QStringLiteral("reference to an undeclared entity")};
    return {};
}

bool isEncodingName(const QString &name)
{
    // [A-Za-z] ([A-Za-z0-9._] | '-')*
    if (name.isEmpty() || !isAsciiLetter(name.at(0).unicode()))
        return false;
    return std::all_of(name.cbegin(), name.cend(), [](QChar c) {
        return isAsciiLetter(c.unicode()) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            || c == QLatin1Char('.') || c == QLatin1Char('_') || c == QLatin1Char('-');
    });
}

bool readsAsUtf8(const QString &name)
{
    static const char *const names[]
        = {"utf-8", "utf8", "unicode-1-1-utf-8", "us-ascii", "ascii", "us", "ansi_x3.4-1968",
            "ansi_x3.4-1986", "iso646-us", "iso-ir-6", "cp367", "ibm367", "csascii"};
    return std::any_of(std::begin(names), std::end(names), [&](const char *known) {
        return name.compare(QLatin1String(known), Qt::CaseInsensitive) == 0;
    });
}

namespace {

bool readsAsLatin1(const QString &name)
{
    static const char *const names[] = {"iso-8859-1", "iso8859-1", "iso_8859-1", "iso_8859-1:1987",
        "latin1", "latin-1", "l1", "iso-ir-100", "cp819", "ibm819", "csisolatin1"};
    return std::any_of(std::begin(names), std::end(names), [&](const char *known) {
        return name.compare(QLatin1String(known), Qt::CaseInsensitive) == 0;
    });
}

} // namespace

bool decode(const QByteArray &xml, QString *text)
{
    const QByteArray name = declaredEncoding(xml);
    const bool hasByteOrderMark = xml.startsWith("\xef\xbb\xbf") || xml.startsWith("\xfe\xff")
        || xml.startsWith("\xff\xfe");
    if (!hasByteOrderMark && (name.isEmpty() || readsAsUtf8(QString::fromLatin1(name)))) {
        *text = QString::fromUtf8(xml);
        return true;
    }
    if (!hasByteOrderMark && readsAsLatin1(QString::fromLatin1(name))) {
        *text = QString::fromLatin1(xml);
        return true;
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    std::optional<QStringConverter::Encoding> encoding = QStringConverter::encodingForData(xml);
    if (!encoding)
        encoding = name.isEmpty() ? QStringConverter::Utf8
                                  : QStringConverter::encodingForName(name.constData());
    if (!encoding)
        return false;
    QStringDecoder decoder(*encoding);
    *text = decoder.decode(xml);
#else
    QTextCodec *codec = QTextCodec::codecForUtfText(xml, nullptr);
    if (!codec)
        codec = QTextCodec::codecForName(name.isEmpty() ? QByteArray("UTF-8") : name);
    if (!codec)
        return false;
    *text = codec->toUnicode(xml);
#endif
    if (text->startsWith(QChar(0xfeff)))
        text->remove(0, 1);
    return true;
}

} // namespace QuorDocument
