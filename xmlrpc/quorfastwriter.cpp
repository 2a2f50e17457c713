#include "quorcodec_p.h"

#include "quordocument_p.h"

#include <QDateTime>
#include <QDomImplementation>
#include <QMetaType>

using namespace QuorCodec;

namespace {

// Writes documents as QDomDocument::save() with an indentation of one writes
// them: one node per line, one more space per level, an element holding only
// text on one line, an empty element in its short form.
class FastWriter
{
public:
    FastWriter() { m_text.reserve(1024); }

    QString takeText()
    {
        m_text.squeeze();
        return std::move(m_text);
    }

    void declaration() { m_text += QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"); }

    void open(int depth, QLatin1String tag)
    {
        indent(depth);
        m_text += QLatin1Char('<') + tag + QLatin1String(">\n");
    }

    void close(int depth, QLatin1String tag)
    {
        indent(depth);
        m_text += QLatin1String("</") + tag + QLatin1String(">\n");
    }

    void empty(int depth, QLatin1String tag)
    {
        indent(depth);
        m_text += QLatin1Char('<') + tag + QLatin1String("/>\n");
    }

    // An element of its own, closed again as an empty one when nothing has
    // been written into it.
    int openElement(int depth, QLatin1String tag)
    {
        const int start = m_text.size();
        open(depth, tag);
        return start;
    }

    void closeElement(int start, int depth, QLatin1String tag)
    {
        if (m_text.size() == start + depth + tag.size() + 3) {
            m_text.truncate(start);
            empty(depth, tag);
        } else {
            close(depth, tag);
        }
    }

    // An element holding one text node.
    void textElement(int depth, QLatin1String tag, const QString &text)
    {
        indent(depth);
        m_text += QLatin1Char('<') + tag + QLatin1Char('>');
        appendEscaped(text);
        m_text += QLatin1String("</") + tag + QLatin1String(">\n");
    }

    // An element holding text that needs no escaping and has no invalid characters.
    void plainTextElement(int depth, QLatin1String tag, const QString &text)
    {
        indent(depth);
        m_text += QLatin1Char('<') + tag + QLatin1Char('>') + text + QLatin1String("</") + tag
            + QLatin1String(">\n");
    }

    bool value(const QVariant &variant, int depth, int nesting);

private:
    void indent(int depth)
    {
        static const QString spaces(2 * QuorDocument::MaxElementNesting, QLatin1Char(' '));
        m_text.append(spaces.constData(), qMin(depth, spaces.size()));
    }

    void appendEscaped(const QString &text);

    QString m_text;
};

bool isXmlChar(char16_t c)
{
    return c >= 0x20 ? (c < 0xD800 || (c >= 0xE000 && c <= 0xFFFD))
                     : (c == 0x9 || c == 0xA || c == 0xD);
}

// Text as QtXml writes it after creating the node with DropInvalidChars:
// characters XML does not allow are dropped first (Qt 5 judges each UTF-16
// unit alone, Qt 6 keeps whole surrogate pairs), then '<', '&', a '>' after
// "]]" and a carriage return are written as references.
void FastWriter::appendEscaped(const QString &text)
{
    const QChar *const begin = text.constData();
    const int size = text.size();
    // Most text needs nothing of this: copy it whole.
    int i = 0;
    for (; i < size; ++i) {
        const char16_t c = begin[i].unicode();
        if (c < 0x20 || c == u'<' || c == u'&' || c == u'>' || c >= 0xD800)
            break;
    }
    m_text.append(begin, i);
    if (i == size)
        return;

    char16_t previous = i > 0 ? begin[i - 1].unicode() : 0;
    char16_t beforePrevious = i > 1 ? begin[i - 2].unicode() : 0;
    for (; i < size; ++i) {
        const char16_t c = begin[i].unicode();
        if (!isXmlChar(c)) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
            if (QChar::isHighSurrogate(c) && i + 1 < size
                && QChar::isLowSurrogate(begin[i + 1].unicode())) {
                m_text.append(begin + i, 2);
                beforePrevious = c;
                previous = begin[++i].unicode();
            }
#endif
            continue;
        }
        switch (c) {
        case u'<':
            m_text += QLatin1String("&lt;");
            break;
        case u'&':
            m_text += QLatin1String("&amp;");
            break;
        case u'>':
            if (previous == u']' && beforePrevious == u']')
                m_text += QLatin1String("&gt;");
            else
                m_text += QChar(c);
            break;
        case u'\r':
            m_text += QLatin1String("&#xd;");
            break;
        default:
            m_text += QChar(c);
        }
        beforePrevious = previous;
        previous = c;
    }
}

bool FastWriter::value(const QVariant &variant, int depth, int nesting)
{
    const int typeId = variant.userType();
    const bool container = typeId == QMetaType::QVariantList || typeId == QMetaType::QVariantMap;
    if (container && nesting >= QuorDocument::MaxValueNesting) {
        reportTooDeepToWrite();
        return false;
    }
    const QLatin1String valueTag("value");
    switch (typeId) {
    case QMetaType::Bool:
        open(depth, valueTag);
        plainTextElement(depth + 1, QLatin1String("boolean"),
            variant.toBool() ? QStringLiteral("1") : QStringLiteral("0"));
        break;
    case QMetaType::Int:
        open(depth, valueTag);
        plainTextElement(depth + 1, QLatin1String("int"), QString::number(variant.toInt(), 10));
        break;
    case QMetaType::Double:
        open(depth, valueTag);
        plainTextElement(
            depth + 1, QLatin1String("double"), QString::number(variant.toDouble(), 'g', 6));
        break;
    case QMetaType::QString:
        open(depth, valueTag);
        textElement(depth + 1, QLatin1String("string"), variant.toString());
        break;
    case QMetaType::QByteArray:
        open(depth, valueTag);
        plainTextElement(depth + 1, QLatin1String("base64"),
            QString::fromLatin1(variant.toByteArray().toBase64()));
        break;
    case QMetaType::QDateTime:
        open(depth, valueTag);
        // Month and day names never appear in this format, but years beyond
        // four digits or before year 1 do, signs included: escape like any text.
        textElement(depth + 1, QLatin1String("dateTime.iso8601"),
            variant.toDateTime().toString(dateTimeFormat()));
        break;
    case QMetaType::QVariantList: {
        open(depth, valueTag);
        open(depth + 1, QLatin1String("array"));
        const QLatin1String dataTag("data");
        const int data = openElement(depth + 2, dataTag);
        const QVariantList items = variant.toList();
        for (const QVariant &item : items)
            value(item, depth + 3, nesting + 1);
        closeElement(data, depth + 2, dataTag);
        close(depth + 1, QLatin1String("array"));
        break;
    }
    case QMetaType::QVariantMap: {
        open(depth, valueTag);
        const QLatin1String structTag("struct");
        const int structure = openElement(depth + 1, structTag);
        const QVariantMap entries = variant.toMap();
        for (auto entry = entries.cbegin(); entry != entries.cend(); ++entry) {
            open(depth + 2, QLatin1String("member"));
            textElement(depth + 3, QLatin1String("name"), entry.key());
            value(entry.value(), depth + 3, nesting + 1);
            close(depth + 2, QLatin1String("member"));
        }
        closeElement(structure, depth + 1, structTag);
        break;
    }
    default:
        reportUnknownVariant(typeId);
        return false;
    }
    close(depth, valueTag);
    return true;
}

// The writer only knows how QtXml drops invalid characters; under another
// policy, set by the application after this library, the DOM writes the text.
bool dropsInvalidChars()
{
    return QDomImplementation::invalidDataPolicy() == QDomImplementation::DropInvalidChars;
}

void writeParam(FastWriter &writer, const QVariant &value)
{
    const QLatin1String paramTag("param");
    const int param = writer.openElement(2, paramTag);
    writer.value(value, 3, 0);
    writer.closeElement(param, 2, paramTag);
}

} // namespace

namespace QuorFastCodec {

QString writeCall(const QString &method, const QVariantList &args)
{
    if (!dropsInvalidChars())
        return QuorDomCodec::writeCall(method, args);
    FastWriter writer;
    writer.declaration();
    writer.open(0, QLatin1String("methodCall"));
    writer.textElement(1, QLatin1String("methodName"), method);
    const QLatin1String paramsTag("params");
    const int params = writer.openElement(1, paramsTag);
    for (const QVariant &arg : args)
        writeParam(writer, arg);
    writer.closeElement(params, 1, paramsTag);
    writer.close(0, QLatin1String("methodCall"));
    return writer.takeText();
}

QString writeResponse(const QVariant &value)
{
    if (!dropsInvalidChars())
        return QuorDomCodec::writeResponse(value);
    FastWriter writer;
    writer.declaration();
    writer.open(0, QLatin1String("methodResponse"));
    const QLatin1String paramsTag("params");
    const int params = writer.openElement(1, paramsTag);
    if (!isNullValue(value))
        writeParam(writer, value);
    writer.closeElement(params, 1, paramsTag);
    writer.close(0, QLatin1String("methodResponse"));
    return writer.takeText();
}

QString writeFault(int code, const QString &message)
{
    if (!dropsInvalidChars())
        return QuorDomCodec::writeFault(code, message);
    QVariantMap fault;
    fault[QStringLiteral("faultCode")] = QVariant(code);
    fault[QStringLiteral("faultString")] = QVariant(message);
    FastWriter writer;
    writer.declaration();
    writer.open(0, QLatin1String("methodResponse"));
    writer.open(1, QLatin1String("fault"));
    writer.value(QVariant(fault), 2, 0);
    writer.close(1, QLatin1String("fault"));
    writer.close(0, QLatin1String("methodResponse"));
    return writer.takeText();
}

} // namespace QuorFastCodec
