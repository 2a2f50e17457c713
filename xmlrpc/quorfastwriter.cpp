#include "quorcodec_p.h"

#include "quordocument_p.h"

#include <QDateTime>
#include <QDomImplementation>
#include <QMetaType>

#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

using namespace QuorCodec;

namespace {

// The text being written, as UTF-16 in a QString or as UTF-8 in a QByteArray;
// grown by doubling and cut to size at the end, so that each piece costs a copy.
template<typename Text>
class Output
{
public:
    using Unit = std::remove_reference_t<decltype(*std::declval<Text>().data())>;

    Output() { grow(4096); }

    Text take()
    {
        m_text.resize(m_size);
        return std::move(m_text);
    }

    int size() const { return m_size; }
    void truncate(int size) { m_size = size; }

    // Room for count more units, at the end of what is written.
    Unit *reserve(int count)
    {
        if (m_size + count > m_capacity)
            grow(qMax(2 * m_capacity, m_size + count));
        return m_data + m_size;
    }

    void ascii(const char *text, int count)
    {
        Unit *out = reserve(count);
        if constexpr (std::is_same_v<Unit, char>) {
            std::memcpy(out, text, size_t(count));
        } else {
            for (int i = 0; i < count; ++i)
                out[i] = Unit(ushort(uchar(text[i])));
        }
        m_size += count;
    }

    void ascii(QLatin1String text) { ascii(text.data(), text.size()); }

    // Indentation, then the literal pieces of a tag, reserved at once.
    void tag(int indent, const char *before, int beforeSize, QLatin1String name, const char *after,
        int afterSize)
    {
        Unit *out = reserve(indent + beforeSize + name.size() + afterSize);
        for (int i = 0; i < indent; ++i)
            *out++ = Unit(ushort(' '));
        out = copy(out, before, beforeSize);
        out = copy(out, name.data(), name.size());
        copy(out, after, afterSize);
        m_size += indent + beforeSize + name.size() + afterSize;
    }

    // Copies the start of text that is plain ASCII with nothing to escape,
    // and returns how much that was.
    int plainPrefix(const QChar *text, int count)
    {
        int plain = 0;
        while (plain < count) {
            const char16_t c = text[plain].unicode();
            if (c < 0x20 || c >= 0x80 || c == u'<' || c == u'&' || c == u'>')
                break;
            ++plain;
        }
        Unit *out = reserve(plain);
        for (int i = 0; i < plain; ++i)
            out[i] = Unit(text[i].unicode());
        m_size += plain;
        return plain;
    }

    void character(char32_t c);

private:
    static Unit *copy(Unit *out, const char *text, int count)
    {
        for (int i = 0; i < count; ++i)
            out[i] = Unit(ushort(uchar(text[i])));
        return out + count;
    }

    void grow(int capacity)
    {
        // data() detaches, which costs a check on every call: called only here.
        m_text.resize(capacity);
        m_data = m_text.data();
        m_capacity = capacity;
    }

    Text m_text;
    Unit *m_data = nullptr;
    int m_capacity = 0;
    int m_size = 0;
};

template<>
void Output<QString>::character(char32_t c)
{
    if (QChar::requiresSurrogates(c)) {
        QChar *out = reserve(2);
        out[0] = QChar(QChar::highSurrogate(c));
        out[1] = QChar(QChar::lowSurrogate(c));
        m_size += 2;
    } else {
        *reserve(1) = QChar(char16_t(c));
        ++m_size;
    }
}

template<>
void Output<QByteArray>::character(char32_t c)
{
    char *out = reserve(4);
    int length = 1;
    if (c < 0x80) {
        out[0] = char(c);
    } else if (c < 0x800) {
        out[0] = char(0xC0 | (c >> 6));
        out[1] = char(0x80 | (c & 0x3F));
        length = 2;
    } else if (c < 0x10000) {
        out[0] = char(0xE0 | (c >> 12));
        out[1] = char(0x80 | ((c >> 6) & 0x3F));
        out[2] = char(0x80 | (c & 0x3F));
        length = 3;
    } else {
        out[0] = char(0xF0 | (c >> 18));
        out[1] = char(0x80 | ((c >> 12) & 0x3F));
        out[2] = char(0x80 | ((c >> 6) & 0x3F));
        out[3] = char(0x80 | (c & 0x3F));
        length = 4;
    }
    m_size += length;
}

// Writes documents as QDomDocument::save() with an indentation of one writes
// them: one node per line, one more space per level, an element holding only
// text on one line, an empty element in its short form.
template<typename Text>
class FastWriter
{
public:
    Text take() { return m_out.take(); }

    void declaration()
    {
        m_out.ascii(QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
    }

    void open(int depth, QLatin1String tag) { m_out.tag(depth, "<", 1, tag, ">\n", 2); }
    void close(int depth, QLatin1String tag) { m_out.tag(depth, "</", 2, tag, ">\n", 2); }

    // An element of its own, closed again as an empty one when nothing has
    // been written into it.
    int openElement(int depth, QLatin1String tag)
    {
        const int start = m_out.size();
        open(depth, tag);
        return start;
    }

    void closeElement(int start, int depth, QLatin1String tag)
    {
        if (m_out.size() == start + depth + tag.size() + 3) {
            m_out.truncate(start + depth + tag.size() + 1);
            m_out.ascii("/>\n", 3);
        } else {
            close(depth, tag);
        }
    }

    // An element holding one text node.
    void textElement(int depth, QLatin1String tag, const QString &text)
    {
        startText(depth, tag);
        escaped(text);
        endText(tag);
    }

    // An element holding ASCII text that needs no escaping.
    void asciiElement(int depth, QLatin1String tag, const char *text, int size)
    {
        startText(depth, tag);
        m_out.ascii(text, size);
        endText(tag);
    }

    void asciiElement(int depth, QLatin1String tag, const QByteArray &text)
    {
        asciiElement(depth, tag, text.constData(), text.size());
    }

    bool value(const QVariant &variant, int depth, int nesting);

private:
    void startText(int depth, QLatin1String tag) { m_out.tag(depth, "<", 1, tag, ">", 1); }
    void endText(QLatin1String tag) { m_out.tag(0, "</", 2, tag, ">\n", 2); }

    void escaped(const QString &text);

    Output<Text> m_out;
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
template<typename Text>
void FastWriter<Text>::escaped(const QString &text)
{
    const QChar *const begin = text.constData();
    const int size = text.size();
    char16_t previous = 0;
    char16_t beforePrevious = 0;
    int i = 0;
    while (i < size) {
        // Plain text first, copied whole.
        const int plain = m_out.plainPrefix(begin + i, size - i);
        if (plain > 0) {
            i += plain;
            beforePrevious = plain > 1 ? begin[i - 2].unicode() : previous;
            previous = begin[i - 1].unicode();
            if (i == size)
                break;
        }
        const char16_t c = begin[i].unicode();
        if (!isXmlChar(c)) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
            if (QChar::isHighSurrogate(c) && i + 1 < size
                && QChar::isLowSurrogate(begin[i + 1].unicode())) {
                m_out.character(QChar::surrogateToUcs4(c, begin[i + 1].unicode()));
                beforePrevious = c;
                previous = begin[++i].unicode();
            }
#endif
            ++i;
            continue;
        }
        switch (c) {
        case u'<':
            m_out.ascii("&lt;", 4);
            break;
        case u'&':
            m_out.ascii("&amp;", 5);
            break;
        case u'>':
            if (previous == u']' && beforePrevious == u']')
                m_out.ascii("&gt;", 4);
            else
                m_out.character(c);
            break;
        case u'\r':
            m_out.ascii("&#xd;", 5);
            break;
        default:
            m_out.character(c);
        }
        beforePrevious = previous;
        previous = c;
        ++i;
    }
}

// QString::number(number) in ASCII.
int writeInt(char *buffer, int number)
{
    return int(std::to_chars(buffer, buffer + 16, number).ptr - buffer);
}

// QString::number(number, 'g', 6) in ASCII. printf's %g gives the same six
// significant digits, correctly rounded, except that Qt rounds a tie away
// from zero and prints -0 as 0: those, and infinities and NaN, go to Qt.
int writeDouble(char *buffer, double number)
{
    bool qtFormats = !std::isfinite(number) || (number == 0 && std::signbit(number));
    if (!qtFormats) {
        // Twenty significant digits show whether the seventh is a tie.
        char digits[40];
        const char *const end = std::to_chars(
            digits, digits + sizeof digits, number, std::chars_format::scientific, 19)
                                    .ptr;
        const char *p = digits + (digits[0] == '-' ? 1 : 0) + 7; // d.ddddd|d
        if (*p == '5') {
            do
                ++p;
            while (p < end && *p == '0');
            qtFormats = p < end && *p == 'e';
        }
    }
    if (qtFormats) {
        const QByteArray text = QString::number(number, 'g', 6).toLatin1();
        std::memcpy(buffer, text.constData(), size_t(text.size()));
        return text.size();
    }
    return int(
        std::to_chars(buffer, buffer + 32, number, std::chars_format::general, 6).ptr - buffer);
}

template<typename Text>
bool FastWriter<Text>::value(const QVariant &variant, int depth, int nesting)
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
        asciiElement(depth + 1, QLatin1String("boolean"), variant.toBool() ? "1" : "0", 1);
        break;
    case QMetaType::Int: {
        open(depth, valueTag);
        char number[16];
        asciiElement(depth + 1, QLatin1String("int"), number, writeInt(number, variant.toInt()));
        break;
    }
    case QMetaType::Double: {
        open(depth, valueTag);
        char number[32];
        asciiElement(
            depth + 1, QLatin1String("double"), number, writeDouble(number, variant.toDouble()));
        break;
    }
    case QMetaType::QString:
        open(depth, valueTag);
        textElement(depth + 1, QLatin1String("string"), variant.toString());
        break;
    case QMetaType::QByteArray:
        open(depth, valueTag);
        asciiElement(depth + 1, QLatin1String("base64"), variant.toByteArray().toBase64());
        break;
    case QMetaType::QDateTime:
        open(depth, valueTag);
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

template<typename Text>
void writeParam(FastWriter<Text> &writer, const QVariant &value)
{
    const QLatin1String paramTag("param");
    const int param = writer.openElement(2, paramTag);
    writer.value(value, 3, 0);
    writer.closeElement(param, 2, paramTag);
}

template<typename Text>
Text writeCall(const QString &method, const QVariantList &args)
{
    FastWriter<Text> writer;
    writer.declaration();
    writer.open(0, QLatin1String("methodCall"));
    writer.textElement(1, QLatin1String("methodName"), method);
    const QLatin1String paramsTag("params");
    const int params = writer.openElement(1, paramsTag);
    for (const QVariant &arg : args)
        writeParam(writer, arg);
    writer.closeElement(params, 1, paramsTag);
    writer.close(0, QLatin1String("methodCall"));
    return writer.take();
}

template<typename Text>
Text writeResponse(const QVariant &value)
{
    FastWriter<Text> writer;
    writer.declaration();
    writer.open(0, QLatin1String("methodResponse"));
    const QLatin1String paramsTag("params");
    const int params = writer.openElement(1, paramsTag);
    if (!isNullValue(value))
        writeParam(writer, value);
    writer.closeElement(params, 1, paramsTag);
    writer.close(0, QLatin1String("methodResponse"));
    return writer.take();
}

template<typename Text>
Text writeFault(int code, const QString &message)
{
    QVariantMap fault;
    fault[QStringLiteral("faultCode")] = QVariant(code);
    fault[QStringLiteral("faultString")] = QVariant(message);
    FastWriter<Text> writer;
    writer.declaration();
    writer.open(0, QLatin1String("methodResponse"));
    writer.open(1, QLatin1String("fault"));
    writer.value(QVariant(fault), 2, 0);
    writer.close(1, QLatin1String("fault"));
    writer.close(0, QLatin1String("methodResponse"));
    return writer.take();
}

} // namespace

namespace QuorFastCodec {

QString writeCall(const QString &method, const QVariantList &args)
{
    return dropsInvalidChars() ? ::writeCall<QString>(method, args)
                               : QuorDomCodec::writeCall(method, args);
}

QString writeResponse(const QVariant &value)
{
    return dropsInvalidChars() ? ::writeResponse<QString>(value)
                               : QuorDomCodec::writeResponse(value);
}

QString writeFault(int code, const QString &message)
{
    return dropsInvalidChars() ? ::writeFault<QString>(code, message)
                               : QuorDomCodec::writeFault(code, message);
}

QByteArray writeCallUtf8(const QString &method, const QVariantList &args)
{
    return dropsInvalidChars() ? ::writeCall<QByteArray>(method, args)
                               : QuorDomCodec::writeCall(method, args).toUtf8();
}

QByteArray writeResponseUtf8(const QVariant &value)
{
    return dropsInvalidChars() ? ::writeResponse<QByteArray>(value)
                               : QuorDomCodec::writeResponse(value).toUtf8();
}

QByteArray writeFaultUtf8(int code, const QString &message)
{
    return dropsInvalidChars() ? ::writeFault<QByteArray>(code, message)
                               : QuorDomCodec::writeFault(code, message).toUtf8();
}

} // namespace QuorFastCodec
