// SPDX-License-Identifier: MIT
#include "quorcodec_p.h"

#include "quordocument_p.h"

#include <QDateTime>
#include <QDomImplementation>
#include <QMetaType>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

using namespace QuorCodec;

namespace {

// The literal text of a tag, padded to a fixed size: writing one is a copy of
// a size the compiler knows, a few moves instead of a call. The output keeps
// room for the padding beyond what it has written.
constexpr int PieceCapacity = 24;

struct Piece
{
    char text[PieceCapacity];
    int size;
};

constexpr Piece piece(std::string_view before, std::string_view name, std::string_view after)
{
    Piece result {{}, 0};
    for (const std::string_view part : {before, name, after})
        for (const char c : part)
            result.text[result.size++] = c;
    return result;
}

// An element's tags as the writer puts them on their lines: opening a line of
// their own, closing, opening text, and the short form of an empty element.
struct Tag
{
    constexpr explicit Tag(std::string_view name)
        : open(piece("<", name, ">\n"))
        , close(piece("</", name, ">\n"))
        , start(piece("<", name, ">"))
        , empty(piece("<", name, "/>\n"))
    { }

    Piece open;
    Piece close;
    Piece start;
    Piece empty;
};

constexpr Tag ValueTag("value");
constexpr Tag BooleanTag("boolean");
constexpr Tag IntTag("int");
constexpr Tag I8Tag("i8");
constexpr Tag DoubleTag("double");
constexpr Tag StringTag("string");
constexpr Tag Base64Tag("base64");
constexpr Tag DateTimeTag("dateTime.iso8601");
constexpr Tag NilTag("nil");
constexpr Tag ArrayTag("array");
constexpr Tag DataTag("data");
constexpr Tag StructTag("struct");
constexpr Tag MemberTag("member");
constexpr Tag NameTag("name");
constexpr Tag ParamTag("param");
constexpr Tag ParamsTag("params");
constexpr Tag MethodCallTag("methodCall");
constexpr Tag MethodNameTag("methodName");
constexpr Tag MethodResponseTag("methodResponse");
constexpr Tag FaultTag("fault");

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

    // Indentation, then a tag. Both are written in whole blocks, past their
    // end into the room reserved, which later pieces overwrite; two blocks of
    // spaces, written always, indent most lines.
    void tag(int indent, const Piece &piece)
    {
        constexpr int SpacesPerBlock = 8 / int(sizeof(Unit));
        Unit *out = reserve(indent + 2 * SpacesPerBlock + PieceCapacity);
        const auto spaces = std::is_same_v<Unit, char> ? quint64(0x2020202020202020)
                                                       : quint64(0x0020002000200020);
        std::memcpy(static_cast<void *>(out), &spaces, sizeof spaces);
        std::memcpy(static_cast<void *>(out + SpacesPerBlock), &spaces, sizeof spaces);
        for (int i = 2 * SpacesPerBlock; i < indent; i += SpacesPerBlock)
            std::memcpy(static_cast<void *>(out + i), &spaces, sizeof spaces);
        out += indent;
        if constexpr (std::is_same_v<Unit, char>) {
            std::memcpy(out, piece.text, PieceCapacity);
        } else {
            for (int i = 0; i < PieceCapacity; ++i)
                out[i] = Unit(ushort(uchar(piece.text[i])));
        }
        m_size += indent + piece.size;
    }

    // Copies the start of text that is plain ASCII with nothing to escape,
    // and returns how much that was.
    int plainPrefix(const QChar *text, int count)
    {
        Unit *out = reserve(count);
        int plain = 0;
        for (; plain < count; ++plain) {
            const char16_t c = text[plain].unicode();
            if (c < 0x20 || c >= 0x80 || c == u'<' || c == u'&' || c == u'>')
                break;
            out[plain] = Unit(c);
        }
        m_size += plain;
        return plain;
    }

    void character(char32_t c);

private:
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
    explicit FastWriter(const Options &options = {})
        : m_options(options)
    { }

    Text take() { return m_out.take(); }
    // Whether every value given to value() was written.
    bool wroteAll() const { return m_wroteAll; }

    void declaration()
    {
        m_out.ascii(QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
    }

    void open(int depth, const Tag &tag) { m_out.tag(depth, tag.open); }
    void close(int depth, const Tag &tag) { m_out.tag(depth, tag.close); }

    // An element of its own, closed again as an empty one when nothing has
    // been written into it.
    int openElement(int depth, const Tag &tag)
    {
        const int start = m_out.size();
        open(depth, tag);
        return start;
    }

    void closeElement(int start, int depth, const Tag &tag)
    {
        if (m_out.size() == start + depth + tag.open.size) {
            m_out.truncate(start);
            m_out.tag(depth, tag.empty);
        } else {
            close(depth, tag);
        }
    }

    // An element holding one text node.
    void textElement(int depth, const Tag &tag, const QString &text)
    {
        m_out.tag(depth, tag.start);
        escaped(text);
        m_out.tag(0, tag.close);
    }

    // An element holding ASCII text that needs no escaping.
    void asciiElement(int depth, const Tag &tag, const char *text, int size)
    {
        m_out.tag(depth, tag.start);
        m_out.ascii(text, size);
        m_out.tag(0, tag.close);
    }

    void asciiElement(int depth, const Tag &tag, const QByteArray &text)
    {
        asciiElement(depth, tag, text.constData(), text.size());
    }

    bool value(const QVariant &variant, int depth, int nesting);

private:
    void escaped(const QString &text);

    Output<Text> m_out;
    const Options m_options;
    bool m_wroteAll = true;
};

// Text as QtXml writes it: characters XML does not allow are dropped first
// (pairs of surrogates stay, as QuorCodec::withoutInvalidCharacters() keeps
// them), then '<', '&', a '>' after "]]" and a carriage return are written as
// references.
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
        if (!isXmlCharacter(c)) {
            if (QChar::isHighSurrogate(c) && i + 1 < size
                && QChar::isLowSurrogate(begin[i + 1].unicode())) {
                m_out.character(QChar::surrogateToUcs4(c, begin[i + 1].unicode()));
                beforePrevious = c;
                previous = begin[++i].unicode();
            }
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

// A finite number's shortest decimal form that reads back as the number: its
// significant digits, without trailing zeros, and its decimal exponent.
struct ShortestForm
{
    explicit ShortestForm(double number)
    {
        char text[32];
        const char *const end
            = std::to_chars(text, text + sizeof text, number, std::chars_format::scientific).ptr;
        const char *p = text;
        negative = *p == '-';
        p += negative ? 1 : 0;
        for (; *p != 'e'; ++p) {
            if (*p != '.')
                digits[count++] = *p;
        }
        std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
    }

    char digits[24];
    int count = 0;
    int exponent = 0;
    bool negative = false;
};

// Whether a number is a tie in the seventh significant digit, which Qt rounds
// away from zero and printf to even. A number that ties has a shortest form of
// seven digits, the last a 5, since no other decimal of seven digits or fewer
// comes as close: only such numbers need asking.
bool tiesInSeventhDigit(double number)
{
    // Twenty significant digits show whether the seventh is a tie.
    char exact[40];
    const char *const end
        = std::to_chars(exact, exact + sizeof exact, number, std::chars_format::scientific, 19).ptr;
    const char *p = exact + (exact[0] == '-' ? 1 : 0) + 7; // d.ddddd|d
    if (*p != '5')
        return false;
    do
        ++p;
    while (p < end && *p == '0');
    return p < end && *p == 'e';
}

// %.6g of a normal number whose shortest form has at most six digits: those
// digits, unrounded, in fixed notation for exponents from -4 to 5, else in scientific
// notation with an exponent of at least two digits.
int writeShortForm(char *buffer, const ShortestForm &form)
{
    char *out = buffer;
    if (form.negative)
        *out++ = '-';
    const int exponent = form.exponent;
    if (exponent < -4 || exponent >= 6) {
        *out++ = form.digits[0];
        if (form.count > 1) {
            *out++ = '.';
            out = std::copy(form.digits + 1, form.digits + form.count, out);
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        if (std::abs(exponent) < 10)
            *out++ = '0';
        out = std::to_chars(out, out + 4, std::abs(exponent)).ptr;
    } else if (exponent >= 0) {
        for (int i = 0; i <= exponent; ++i)
            *out++ = i < form.count ? form.digits[i] : '0';
        if (form.count > exponent + 1) {
            *out++ = '.';
            out = std::copy(form.digits + exponent + 1, form.digits + form.count, out);
        }
    } else {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -exponent - 1, '0');
        out = std::copy(form.digits, form.digits + form.count, out);
    }
    return int(out - buffer);
}

// QString::number(number, 'g', 6) in ASCII. printf's %g gives the same six
// significant digits, correctly rounded, except for a tie and -0, which Qt
// prints as 0: those, and infinities and NaN, go to Qt.
int writeSixDigits(char *buffer, double number)
{
    if (std::isfinite(number) && !(number == 0 && std::signbit(number))) {
        const ShortestForm form(number);
        // Doubles below the normal range are too sparse for their shortest
        // form to be their rounding to six digits.
        if (form.count <= 6 && std::isnormal(number))
            return writeShortForm(buffer, form);
        if (form.count != 7 || form.digits[6] != '5' || !tiesInSeventhDigit(number)) {
            return int(std::to_chars(buffer, buffer + 32, number, std::chars_format::general, 6).ptr
                - buffer);
        }
    }
    const QByteArray text = QString::number(number, 'g', 6).toLatin1();
    std::memcpy(buffer, text.constData(), size_t(text.size()));
    return text.size();
}

} // namespace

// Six significant digits are what this library wrote first, and what most
// doubles in documents need; the text stays so wherever it reads back exactly.
// Other doubles get the shortest text that reads back as the same double, as
// Python, Ruby and JavaScript write them.
int QuorCodec::writeDouble(char *buffer, double number)
{
    const int size = writeSixDigits(buffer, number);
    if (!std::isfinite(number))
        return size;
    double readBack = 0;
    const std::from_chars_result read = std::from_chars(buffer, buffer + size, readBack);
    if (read.ec == std::errc() && read.ptr == buffer + size
        && std::memcmp(&readBack, &number, sizeof number) == 0)
        return size;
    return int(std::to_chars(buffer, buffer + 32, number).ptr - buffer);
}

namespace {

// The one test of whether a value can be written, of its own type and depth,
// not of its items: the kind it is written as, or Unknown for a type no value
// is written for or a container nested too deep, each reported as the writer
// reports it when report is set.
ValueKind writableKind(const QVariant &value, const Options &options, int nesting, bool report)
{
    const ValueKind kind = kindOfVariant(value, options);
    if (kind == ValueKind::Unknown) {
        if (report)
            reportUnknownVariant(value.userType());
    } else if (isContainer(kind) && nesting >= QuorDocument::MaxValueNesting) {
        if (report)
            reportTooDeepToWrite();
        return ValueKind::Unknown;
    }
    return kind;
}

// The writer's checks, without writing: the same failures, reported the same
// way when report is set, and every one of them rather than the first.
bool writable(const QVariant &value, const Options &options, bool report, int nesting)
{
    const ValueKind kind = writableKind(value, options, nesting, report);
    if (kind == ValueKind::Unknown)
        return false;
    if (!isContainer(kind))
        return true;
    bool all = true;
    const auto check = [&](const auto &items) {
        for (const QVariant &item : items) {
            all = writable(item, options, report, nesting + 1) && all;
            if (!all && !report)
                return;
        }
    };
    if (kind == ValueKind::Array)
        check(value.toList());
    else
        check(value.toMap());
    return all;
}

} // namespace

bool QuorFastCodec::isWritable(
    const QVariant &value, const QuorCodec::Options &options, bool reportFailures)
{
    return writable(value, options, reportFailures, 0);
}

namespace {

template<typename Text>
bool FastWriter<Text>::value(const QVariant &variant, int depth, int nesting)
{
    const ValueKind kind = writableKind(variant, m_options, nesting, true);
    switch (kind) {
    case ValueKind::Boolean:
        open(depth, ValueTag);
        asciiElement(depth + 1, BooleanTag, variant.toBool() ? "1" : "0", 1);
        break;
    case ValueKind::Int: {
        open(depth, ValueTag);
        char number[16];
        asciiElement(depth + 1, IntTag, number, writeInt(number, variant.toInt()));
        break;
    }
    case ValueKind::Int64: {
        open(depth, ValueTag);
        char number[24];
        asciiElement(depth + 1, I8Tag, number,
            int(std::to_chars(number, number + sizeof number, variant.toLongLong()).ptr - number));
        break;
    }
    case ValueKind::Double: {
        open(depth, ValueTag);
        char number[32];
        asciiElement(depth + 1, DoubleTag, number, writeDouble(number, variant.toDouble()));
        break;
    }
    case ValueKind::String:
        open(depth, ValueTag);
        textElement(depth + 1, StringTag, variant.toString());
        break;
    case ValueKind::Base64:
        open(depth, ValueTag);
        asciiElement(depth + 1, Base64Tag, variant.toByteArray().toBase64());
        break;
    case ValueKind::DateTime:
        open(depth, ValueTag);
        textElement(depth + 1, DateTimeTag, variant.toDateTime().toString(dateTimeFormat()));
        break;
    case ValueKind::Nil:
        open(depth, ValueTag);
        m_out.tag(depth + 1, NilTag.empty);
        break;
    case ValueKind::Array: {
        open(depth, ValueTag);
        open(depth + 1, ArrayTag);
        const int data = openElement(depth + 2, DataTag);
        const QVariantList items = variant.toList();
        for (const QVariant &item : items)
            value(item, depth + 3, nesting + 1);
        closeElement(data, depth + 2, DataTag);
        close(depth + 1, ArrayTag);
        break;
    }
    case ValueKind::Struct: {
        open(depth, ValueTag);
        const int structure = openElement(depth + 1, StructTag);
        const QVariantMap entries = variant.toMap();
        for (auto entry = entries.cbegin(); entry != entries.cend(); ++entry) {
            open(depth + 2, MemberTag);
            textElement(depth + 3, NameTag, entry.key());
            value(entry.value(), depth + 3, nesting + 1);
            close(depth + 2, MemberTag);
        }
        closeElement(structure, depth + 1, StructTag);
        break;
    }
    default: // reported by writableKind()
        m_wroteAll = false;
        return false;
    }
    close(depth, ValueTag);
    return true;
}

template<typename Text>
void writeParam(FastWriter<Text> &writer, const QVariant &value)
{
    const int param = writer.openElement(2, ParamTag);
    writer.value(value, 3, 0);
    writer.closeElement(param, 2, ParamTag);
}

template<typename Text>
Text writeCall(
    const QString &method, const QVariantList &args, const Options &options, bool *written)
{
    FastWriter<Text> writer(options);
    writer.declaration();
    writer.open(0, MethodCallTag);
    writer.textElement(1, MethodNameTag, method);
    const int params = writer.openElement(1, ParamsTag);
    for (const QVariant &arg : args)
        writeParam(writer, arg);
    writer.closeElement(params, 1, ParamsTag);
    writer.close(0, MethodCallTag);
    if (written)
        *written = writer.wroteAll();
    return writer.take();
}

template<typename Text>
Text writeResponse(const QVariant &value, const Options &options, bool *written)
{
    FastWriter<Text> writer(options);
    writer.declaration();
    writer.open(0, MethodResponseTag);
    const int params = writer.openElement(1, ParamsTag);
    // With nil, no value is written as nil rather than left out.
    if (!isNullValue(value) || kindOfVariant(value, options) == ValueKind::Nil)
        writeParam(writer, value);
    writer.closeElement(params, 1, ParamsTag);
    writer.close(0, MethodResponseTag);
    if (written)
        *written = writer.wroteAll();
    return writer.take();
}

template<typename Text>
Text writeFault(int code, const QString &message)
{
    FastWriter<Text> writer;
    writer.declaration();
    writer.open(0, MethodResponseTag);
    writer.open(1, FaultTag);
    writer.value(faultValue(code, message), 2, 0);
    writer.close(1, FaultTag);
    writer.close(0, MethodResponseTag);
    return writer.take();
}

// The one choice of writer for the documents QuorObject and the client write,
// whose text must be the DOM writer's: the fast writer, unless QtXml's
// invalid-data policy is another than the DropInvalidChars every QuorObject
// sets (the application set it since), as the fast writer only knows how that
// one drops characters; then the DOM writes, and its text follows the policy.
// Options the DOM writer does not know (<i8>, <nil/>) keep the fast writer.
bool domWrites(const Options &options = {})
{
    return !options.i8 && !options.nil
        && QDomImplementation::invalidDataPolicy() != QDomImplementation::DropInvalidChars;
}

} // namespace

namespace QuorFastCodec {

QString writeCall(
    const QString &method, const QVariantList &args, const Options &options, bool *written)
{
    if (domWrites(options)) {
        if (written)
            *written = std::all_of(
                args.cbegin(), args.cend(), [](const QVariant &arg) { return isWritable(arg); });
        return QuorDomCodec::writeCall(method, args);
    }
    return ::writeCall<QString>(method, args, options, written);
}

QString writeResponse(const QVariant &value)
{
    return domWrites() ? QuorDomCodec::writeResponse(value)
                       : ::writeResponse<QString>(value, Options(), nullptr);
}

QString writeFault(int code, const QString &message)
{
    return domWrites() ? QuorDomCodec::writeFault(code, message)
                       : ::writeFault<QString>(code, message);
}

QByteArray writeCallUtf8(
    const QString &method, const QVariantList &args, const Options &options, bool *written)
{
    return domWrites(options) ? writeCall(method, args, options, written).toUtf8()
                              : ::writeCall<QByteArray>(method, args, options, written);
}

QByteArray writeResponseUtf8(const QVariant &value, const Options &options, bool *written)
{
    if (domWrites(options)) {
        if (written)
            *written = isNullValue(value) || isWritable(value);
        return QuorDomCodec::writeResponse(value).toUtf8();
    }
    return ::writeResponse<QByteArray>(value, options, written);
}

QByteArray writeFaultUtf8(int code, const QString &message)
{
    return domWrites() ? QuorDomCodec::writeFault(code, message).toUtf8()
                       : ::writeFault<QByteArray>(code, message);
}

// The server's answers, always from the fast writer: under any policy they
// leave out the characters XML does not allow, and stay well formed.
QByteArray writeOutcomeUtf8(const QuorResponse &outcome, const Options &options)
{
    return outcome.isFault ? ::writeFault<QByteArray>(outcome.faultCode, outcome.faultString)
                           : ::writeResponse<QByteArray>(outcome.value, options, nullptr);
}

} // namespace QuorFastCodec
