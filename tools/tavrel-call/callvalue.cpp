// SPDX-License-Identifier: MIT
#include "callvalue.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// As deep as the library writes values; deeper ones would be refused anyway.
constexpr int MaximumNesting = 256;

const QString Base64Key = QStringLiteral("base64");
const QString DateTimeKey = QStringLiteral("dateTime.iso8601");
const QString I8Key = QStringLiteral("i8");
const QString DoubleKey = QStringLiteral("double");
const QString StructKey = QStringLiteral("struct");
// The text of dateTime.iso8601 values, as the library writes and reads them.
const QString DateTimeFormat = QStringLiteral("yyyyMMddThh:mm:ss");

// A date-time as printed: the library's form, then the milliseconds and the
// zone of one that came with them, so that nothing read is hidden.
QString dateTimeText(const QDateTime &dateTime)
{
    QString text = dateTime.toString(DateTimeFormat);
    if (!dateTime.isValid())
        return text;
    if (const int milliseconds = dateTime.time().msec())
        text += QStringLiteral(".%1").arg(milliseconds, 3, 10, QLatin1Char('0'));
    if (dateTime.timeSpec() == Qt::UTC) {
        text += QLatin1Char('Z');
    } else if (dateTime.timeSpec() == Qt::OffsetFromUTC) {
        const int offset = dateTime.offsetFromUtc();
        text += QStringLiteral("%1%2:%3")
                    .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                    .arg(qAbs(offset) / 3600, 2, 10, QLatin1Char('0'))
                    .arg(qAbs(offset) / 60 % 60, 2, 10, QLatin1Char('0'));
    }
    return text;
}

// The date-times dateTimeText() prints: local time without a zone.
QDateTime readDateTime(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^([0-9]{8}T[0-9]{2}:[0-9]{2}:[0-9]{2})(?:\\.([0-9]{3}))?(Z|([+-])([0-9]{2})"
                       ":([0-9]{2}))?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return QDateTime();
    QDateTime dateTime = QDateTime::fromString(match.captured(1), DateTimeFormat);
    if (!match.captured(2).isEmpty())
        dateTime = dateTime.addMSecs(match.captured(2).toInt());
    if (match.captured(3) == QLatin1String("Z")) {
        dateTime = QDateTime(dateTime.date(), dateTime.time(), Qt::UTC);
    } else if (!match.captured(3).isEmpty()) {
        const int offset = (match.captured(4) == QLatin1String("-") ? -1 : 1)
            * (match.captured(5).toInt() * 3600 + match.captured(6).toInt() * 60);
        dateTime = QDateTime(dateTime.date(), dateTime.time(), Qt::OffsetFromUTC, offset);
    }
    return dateTime;
}

bool isTypeKey(const QString &key)
{
    return key == Base64Key || key == DateTimeKey || key == I8Key || key == DoubleKey
        || key == StructKey;
}

// A parsed JSON value. Numbers keep their text, so that whole numbers are
// never rounded through a double and 1.0 stays apart from 1.
struct Json
{
    enum Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Null;
    bool boolean = false;
    QString text; // of a number or a string
    std::vector<Json> items;
    std::vector<std::pair<QString, Json>> members;
};

// Read by hand, as QJsonDocument cannot: it takes no bare scalar as a whole
// argument, keeps no number's text (1.0 and 1, digits beyond a double), and
// folds repeated keys.
class JsonReader
{
public:
    explicit JsonReader(const QString &text)
        : m_text(text)
    { }

    // The one value of the whole text, or false with error().
    bool readDocument(Json *value)
    {
        skipSpace();
        if (!readValue(value, 0))
            return false;
        skipSpace();
        return m_position == m_text.size()
            || fail(QStringLiteral("unexpected text after the value"));
    }

    QString error() const { return m_error; }

private:
    bool fail(const QString &what)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1 at character %2").arg(what).arg(m_position + 1);
        return false;
    }

    QChar peek() const { return m_position < m_text.size() ? m_text.at(m_position) : QChar(); }

    void skipSpace()
    {
        while (m_position < m_text.size()
            && (peek() == QLatin1Char(' ') || peek() == QLatin1Char('\t')
                || peek() == QLatin1Char('\n') || peek() == QLatin1Char('\r')))
            ++m_position;
    }

    bool take(QChar expected)
    {
        if (peek() != expected)
            return fail(QStringLiteral("expected '%1'").arg(expected));
        ++m_position;
        return true;
    }

    bool takeWord(const char *word)
    {
        const QLatin1String expected(word);
        if (m_text.mid(m_position, expected.size()) != expected)
            return fail(QStringLiteral("unknown word"));
        m_position += expected.size();
        return true;
    }

    bool readValue(Json *value, int depth)
    {
        if (depth > MaximumNesting)
            return fail(QStringLiteral("nested deeper than %1 levels").arg(MaximumNesting));
        const QChar c = peek();
        if (c == QLatin1Char('{'))
            return readObject(value, depth);
        if (c == QLatin1Char('['))
            return readArray(value, depth);
        if (c == QLatin1Char('"')) {
            value->kind = Json::String;
            return readString(&value->text);
        }
        if (c == QLatin1Char('t') || c == QLatin1Char('f')) {
            value->kind = Json::Boolean;
            value->boolean = c == QLatin1Char('t');
            return takeWord(value->boolean ? "true" : "false");
        }
        if (c == QLatin1Char('n')) {
            value->kind = Json::Null;
            return takeWord("null");
        }
        return readNumber(value);
    }

    bool readObject(Json *value, int depth)
    {
        value->kind = Json::Object;
        ++m_position;
        skipSpace();
        if (peek() == QLatin1Char('}')) {
            ++m_position;
            return true;
        }
        for (;;) {
            skipSpace();
            QString key;
            if (peek() != QLatin1Char('"'))
                return fail(QStringLiteral("expected a member name in quotes"));
            if (!readString(&key))
                return false;
            for (const auto &member : value->members) {
                if (member.first == key)
                    return fail(QStringLiteral("member \"%1\" given twice").arg(key));
            }
            skipSpace();
            if (!take(QLatin1Char(':')))
                return false;
            skipSpace();
            Json member;
            if (!readValue(&member, depth + 1))
                return false;
            value->members.emplace_back(key, std::move(member));
            skipSpace();
            if (peek() == QLatin1Char('}')) {
                ++m_position;
                return true;
            }
            if (!take(QLatin1Char(',')))
                return false;
        }
    }

    bool readArray(Json *value, int depth)
    {
        value->kind = Json::Array;
        ++m_position;
        skipSpace();
        if (peek() == QLatin1Char(']')) {
            ++m_position;
            return true;
        }
        for (;;) {
            skipSpace();
            Json item;
            if (!readValue(&item, depth + 1))
                return false;
            value->items.push_back(std::move(item));
            skipSpace();
            if (peek() == QLatin1Char(']')) {
                ++m_position;
                return true;
            }
            if (!take(QLatin1Char(',')))
                return false;
        }
    }

    bool readHex4(char16_t *unit)
    {
        const QString hex = m_text.mid(m_position, 4);
        bool ok = false;
        const uint code = hex.toUInt(&ok, 16);
        if (!ok || hex.size() != 4)
            return fail(QStringLiteral("expected four hexadecimal digits"));
        m_position += 4;
        *unit = char16_t(code);
        return true;
    }

    bool readString(QString *text)
    {
        ++m_position;
        for (;;) {
            if (m_position >= m_text.size())
                return fail(QStringLiteral("unterminated string"));
            const QChar c = m_text.at(m_position++);
            if (c == QLatin1Char('"'))
                return true;
            if (c != QLatin1Char('\\')) {
                text->append(c);
                continue;
            }
            const QChar escaped = peek();
            ++m_position;
            switch (escaped.unicode()) {
            case '"':
                text->append(QLatin1Char('"'));
                break;
            case '\\':
                text->append(QLatin1Char('\\'));
                break;
            case '/':
                text->append(QLatin1Char('/'));
                break;
            case 'b':
                text->append(QLatin1Char('\b'));
                break;
            case 'f':
                text->append(QLatin1Char('\f'));
                break;
            case 'n':
                text->append(QLatin1Char('\n'));
                break;
            case 'r':
                text->append(QLatin1Char('\r'));
                break;
            case 't':
                text->append(QLatin1Char('\t'));
                break;
            case 'u': {
                char16_t unit = 0;
                if (!readHex4(&unit))
                    return false;
                text->append(QChar(unit));
                break;
            }
            default:
                --m_position;
                return fail(QStringLiteral("unknown escape"));
            }
        }
    }

    bool readNumber(Json *value)
    {
        const int start = m_position;
        const auto digits = [this] {
            const int first = m_position;
            while (peek().isDigit() && peek().unicode() < 128)
                ++m_position;
            return m_position > first;
        };
        if (peek() == QLatin1Char('-'))
            ++m_position;
        if (peek() == QLatin1Char('0'))
            ++m_position;
        else if (!digits())
            return fail(QStringLiteral("expected a JSON value"));
        if (peek() == QLatin1Char('.')) {
            ++m_position;
            if (!digits())
                return fail(QStringLiteral("expected digits after '.'"));
        }
        if (peek() == QLatin1Char('e') || peek() == QLatin1Char('E')) {
            ++m_position;
            if (peek() == QLatin1Char('+') || peek() == QLatin1Char('-'))
                ++m_position;
            if (!digits())
                return fail(QStringLiteral("expected digits in the exponent"));
        }
        value->kind = Json::Number;
        value->text = m_text.mid(start, m_position - start);
        return true;
    }

    const QString &m_text;
    int m_position = 0;
    QString m_error;
};

class Converter
{
public:
    Converter(bool i8Enabled, bool nilEnabled)
        : m_i8Enabled(i8Enabled)
        , m_nilEnabled(nilEnabled)
    { }

    bool convert(const Json &json, QVariant *value)
    {
        switch (json.kind) {
        case Json::Null:
            if (!m_nilEnabled)
                return fail(QStringLiteral("null is sent only with --nil"));
            *value = QVariant();
            return true;
        case Json::Boolean:
            *value = json.boolean;
            return true;
        case Json::String:
            *value = json.text;
            return true;
        case Json::Number:
            return convertNumber(json.text, value);
        case Json::Array: {
            QVariantList list;
            for (const Json &item : json.items) {
                QVariant converted;
                if (!convert(item, &converted))
                    return false;
                list.append(converted);
            }
            *value = list;
            return true;
        }
        case Json::Object:
            if (json.members.size() == 1 && isTypeKey(json.members.front().first))
                return convertTyped(json.members.front().first, json.members.front().second, value);
            return convertStruct(json, value);
        }
        return false;
    }

    QString error() const { return m_error; }

private:
    bool fail(const QString &what)
    {
        m_error = what;
        return false;
    }

    bool convertStruct(const Json &json, QVariant *value)
    {
        QVariantMap map;
        for (const auto &member : json.members) {
            QVariant converted;
            if (!convert(member.second, &converted))
                return false;
            map.insert(member.first, converted);
        }
        *value = map;
        return true;
    }

    bool convertNumber(const QString &text, QVariant *value)
    {
        bool ok = false;
        if (text.contains(QLatin1Char('.')) || text.contains(QLatin1Char('e'))
            || text.contains(QLatin1Char('E'))) {
            *value = text.toDouble(&ok);
            return ok || fail(QStringLiteral("%1 is out of a double's range").arg(text));
        }
        const qlonglong number = text.toLongLong(&ok);
        if (ok && number >= std::numeric_limits<int>::min()
            && number <= std::numeric_limits<int>::max()) {
            *value = int(number);
            return true;
        }
        if (ok && m_i8Enabled) {
            *value = number;
            return true;
        }
        return fail(QStringLiteral("%1 does not fit an int of 32 bits: write %1.0 for a double%2")
                        .arg(text, ok ? QStringLiteral(", or use --i8 for an i8") : QString()));
    }

    bool convertTyped(const QString &type, const Json &json, QVariant *value)
    {
        const auto expected = [this, &type](const char *what) {
            return fail(QStringLiteral("{\"%1\": ...} takes %2").arg(type, QLatin1String(what)));
        };
        if (type == StructKey) {
            if (json.kind != Json::Object)
                return expected("an object");
            return convertStruct(json, value);
        }
        if (type == DoubleKey) {
            if (json.kind == Json::Number) {
                *value = json.text.toDouble();
                return true;
            }
            static const QStringList special {
                QStringLiteral("nan"), QStringLiteral("inf"), QStringLiteral("-inf")};
            if (json.kind != Json::String || !special.contains(json.text))
                return expected("a number, \"nan\", \"inf\" or \"-inf\"");
            const double infinity = std::numeric_limits<double>::infinity();
            *value = json.text == special.at(0) ? std::numeric_limits<double>::quiet_NaN()
                : json.text == special.at(1)    ? infinity
                                                : -infinity;
            return true;
        }
        if (type == I8Key) {
            if (!m_i8Enabled)
                return fail(QStringLiteral("i8 values are sent only with --i8"));
            bool ok = false;
            const qlonglong number = json.text.toLongLong(&ok);
            if ((json.kind != Json::String && json.kind != Json::Number) || !ok)
                return expected("a whole number of 64 bits, as a string or a number");
            *value = number;
            return true;
        }
        if (json.kind != Json::String)
            return expected("a string");
        if (type == Base64Key) {
            const auto decoded = QByteArray::fromBase64Encoding(
                json.text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded)
                return fail(QStringLiteral("\"%1\" is no base64 text").arg(json.text));
            *value = decoded.decoded;
            return true;
        }
        const QDateTime dateTime = readDateTime(json.text);
        if (!dateTime.isValid())
            return fail(
                QStringLiteral("\"%1\" is no date and time like 20260101T10:00:00").arg(json.text));
        *value = dateTime;
        return true;
    }

    bool m_i8Enabled;
    bool m_nilEnabled;
    QString m_error;
};

QString quoted(const QString &text)
{
    QString json = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            json += QLatin1String("\\\"");
            break;
        case '\\':
            json += QLatin1String("\\\\");
            break;
        case '\b':
            json += QLatin1String("\\b");
            break;
        case '\f':
            json += QLatin1String("\\f");
            break;
        case '\n':
            json += QLatin1String("\\n");
            break;
        case '\r':
            json += QLatin1String("\\r");
            break;
        case '\t':
            json += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                json += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                json += c;
        }
    }
    return json + QLatin1Char('"');
}

QString typed(const QString &type, const QString &json)
{
    return QStringLiteral("{%1: %2}").arg(quoted(type), json);
}

QString doubleText(double number)
{
    if (std::isnan(number))
        return typed(DoubleKey, quoted(QStringLiteral("nan")));
    if (std::isinf(number))
        return typed(
            DoubleKey, quoted(number > 0 ? QStringLiteral("inf") : QStringLiteral("-inf")));
    QString text = QString::number(number, 'g', QLocale::FloatingPointShortest);
    // Without a fraction or an exponent it would read back as an int.
    if (!text.contains(QLatin1Char('.')) && !text.contains(QLatin1Char('e')))
        text += QLatin1String(".0");
    return text;
}

void write(const QVariant &value, int indent, QString *out)
{
    const QString inner(indent + 2, QLatin1Char(' '));
    switch (value.userType()) {
    case QMetaType::UnknownType:
        *out += QLatin1String("null");
        return;
    case QMetaType::Bool:
        *out += value.toBool() ? QLatin1String("true") : QLatin1String("false");
        return;
    case QMetaType::Int:
        *out += QString::number(value.toInt());
        return;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        *out += typed(I8Key, quoted(value.toString()));
        return;
    case QMetaType::Double:
        *out += doubleText(value.toDouble());
        return;
    case QMetaType::QByteArray:
        *out += typed(Base64Key, quoted(QString::fromLatin1(value.toByteArray().toBase64())));
        return;
    case QMetaType::QDateTime:
        *out += typed(DateTimeKey, quoted(dateTimeText(value.toDateTime())));
        return;
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        if (list.isEmpty()) {
            *out += QLatin1String("[]");
            return;
        }
        *out += QLatin1String("[\n");
        for (int i = 0; i < list.size(); ++i) {
            *out += inner;
            write(list.at(i), indent + 2, out);
            *out += i + 1 < list.size() ? QLatin1String(",\n") : QLatin1String("\n");
        }
        *out += QString(indent, QLatin1Char(' ')) + QLatin1Char(']');
        return;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        if (map.isEmpty()) {
            *out += QLatin1String("{}");
            return;
        }
        // A struct whose one member is named like a type is spelled out as a struct.
        const bool escaped = map.size() == 1 && isTypeKey(map.firstKey());
        if (escaped)
            *out += QLatin1String("{\"struct\": ");
        *out += QLatin1String("{\n");
        for (auto member = map.cbegin(); member != map.cend(); ++member) {
            *out += inner + quoted(member.key()) + QLatin1String(": ");
            write(member.value(), indent + 2, out);
            *out += std::next(member) != map.cend() ? QLatin1String(",\n") : QLatin1String("\n");
        }
        *out += QString(indent, QLatin1Char(' ')) + QLatin1Char('}');
        if (escaped)
            *out += QLatin1Char('}');
        return;
    }
    default:
        *out += quoted(value.toString());
    }
}

} // namespace

namespace CallValue {

bool fromArgument(
    const QString &argument, bool i8Enabled, bool nilEnabled, QVariant *value, QString *error)
{
    const QString trimmed = argument.trimmed();
    const bool mustBeJson = trimmed.startsWith(QLatin1Char('{'))
        || trimmed.startsWith(QLatin1Char('[')) || trimmed.startsWith(QLatin1Char('"'));
    Json json;
    JsonReader reader(argument);
    if (!reader.readDocument(&json)) {
        if (mustBeJson) {
            *error = QStringLiteral("%1: %2").arg(argument, reader.error());
            return false;
        }
        *value = argument;
        return true;
    }
    Converter converter(i8Enabled, nilEnabled);
    if (!converter.convert(json, value)) {
        *error = QStringLiteral("%1: %2").arg(argument, converter.error());
        return false;
    }
    return true;
}

QString toJson(const QVariant &value)
{
    QString json;
    write(value, 0, &json);
    return json;
}

} // namespace CallValue
