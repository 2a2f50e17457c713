// SPDX-License-Identifier: MIT
#include "randomxmlrpc.h"

#include <QRegularExpression>
#include <algorithm>

#include <QDateTime>
#include <QPoint>
#include <QRandomGenerator>
#include <QStringList>
#include <QUrl>

#include <cstring>
#include <memory>

namespace {

// Pieces of text that every writer and reader must treat with care.
const char16_t *const TextPieces[] = {
    u"a",
    u"Hello, world",
    u"42",
    u" ",
    u"  ",
    u"\t",
    u"\n",
    u"\r",
    u"\r\n",
    u"<",
    u">",
    u"&",
    u"]]>",
    u"]]",
    u"\"",
    u"'",
    u"&amp;",
    u"&#32;",
    u"\u00e9t\u00e9",
    u"\u65e5\u672c",
    u"\u00a0",
    u"\u3000",
    u"\u200b",
    u"\ufeff",
    u"\u0001",
    u"\u001f",
    u"\u007f",
    u"\ufffe",
    u"\uffff",
    u"\U0001F600",
    u"\xd800",
    u"\xdc00",
    u"true",
    u"TRUE",
    u"1",
    u"0",
    u"-7",
};

QString textPiece(quint32 index)
{
    const char16_t *piece = TextPieces[index];
    return QString::fromUtf16(piece, int(std::char_traits<char16_t>::length(piece)));
}

} // namespace

RandomXmlRpc::RandomXmlRpc(Source source)
    : m_source(std::move(source))
{ }

RandomXmlRpc RandomXmlRpc::seeded(quint32 seed)
{
    auto generator = std::make_shared<QRandomGenerator>(seed);
    return RandomXmlRpc([generator](quint32 bound) { return generator->bounded(bound); });
}

QString RandomXmlRpc::pick(std::initializer_list<const char *> choices)
{
    return QString::fromLatin1(choices.begin()[below(quint32(choices.size()))]);
}

QString RandomXmlRpc::text()
{
    QString result;
    const quint32 pieces = below(5);
    for (quint32 i = 0; i < pieces; ++i)
        result += textPiece(below(sizeof TextPieces / sizeof TextPieces[0]));
    return result;
}

QVariant RandomXmlRpc::value(int maxDepth)
{
    switch (below(maxDepth > 0 ? 16 : 12)) {
    case 0:
        return QVariant(chance(50));
    case 1:
        return QVariant(int(
            pick({"0", "1", "-1", "2147483644", "-2147483648", "123456"}).toInt() + int(below(3))));
    case 2: {
        const double choices[] = {0.0, -0.0, 0.1, 1.5, -2.25, 1e300, -1e-300, 123456789.0, 1.0 / 3};
        return QVariant(choices[below(sizeof choices / sizeof choices[0])]);
    }
    case 3:
    case 4:
        return QVariant(text());
    case 5:
        return chance(50) ? QVariant(QString()) : QVariant(QString(QLatin1String("")));
    case 6: {
        QByteArray bytes;
        const quint32 size = below(8);
        for (quint32 i = 0; i < size; ++i)
            bytes.append(char(below(256)));
        return chance(20) ? QVariant(QByteArray()) : QVariant(bytes);
    }
    case 7: {
        const QDateTime times[] = {QDateTime(QDate(2026, 12, 9), QTime(12, 34, 56)),
            QDateTime(QDate(1999, 1, 1), QTime(0, 0, 0, 500)),
            QDateTime(QDate(10000, 1, 1), QTime(1, 2, 3)), QDateTime()};
        return QVariant(times[below(4)]);
    }
    case 8:
        return QVariant();
    case 9:
        return QVariant(QPoint(1, 2));
    case 10:
        return QVariant(QUrl(QStringLiteral("http://localhost/")));
    case 11:
        return QVariant(qlonglong(below(1000)));
    case 12:
    case 13: {
        QVariantList items;
        const quint32 size = below(4);
        for (quint32 i = 0; i < size; ++i)
            items.append(value(maxDepth - 1));
        return QVariant(items);
    }
    default: {
        QVariantMap entries;
        const quint32 size = below(4);
        for (quint32 i = 0; i < size; ++i)
            entries[chance(70) ? pick({"id", "name", "Name", "a b", ""}) : text()]
                = value(maxDepth - 1);
        return QVariant(entries);
    }
    }
}

QString RandomXmlRpc::spacing()
{
    return pick({"", "", "\n", " ", "\n  ", "\r\n", "\t", "\n\u00a0"});
}

QString RandomXmlRpc::caseVariant(const QString &tag)
{
    switch (below(10)) {
    case 0:
        return tag.toUpper();
    case 1:
        return tag.left(1).toUpper() + tag.mid(1);
    default:
        return tag;
    }
}

QString RandomXmlRpc::escaped(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('<') || (c == QLatin1Char('&') && chance(90))) {
            out += c == QLatin1Char('<') ? QLatin1String("&lt;") : QLatin1String("&amp;");
        } else if (chance(5)) {
            out += chance(50) ? QStringLiteral("&#%1;").arg(c.unicode())
                              : QStringLiteral("&#x%1;").arg(c.unicode(), 0, 16);
        } else if (c == QLatin1Char('>') && chance(30)) {
            out += QLatin1String("&gt;");
        } else if (c == QLatin1Char('"') && chance(30)) {
            out += QLatin1String("&quot;");
        } else if (c == QLatin1Char('\'') && chance(30)) {
            out += QLatin1String("&apos;");
        } else {
            out += c;
        }
    }
    return out;
}

void RandomXmlRpc::writeScalar(QString &out, const QString &tag)
{
    QString content;
    switch (below(4)) {
    case 0:
        content = pick({"1", "0", "-12", " 34 ", "+5", "1.5", "1e3", "007", "99999999999", "abc",
            "true", "TrUe", "aGVsbG8=", "20261209T12:34:56", "19990101T00:00:00", "", "  "});
        break;
    default:
        content = text();
    }
    const QString name = caseVariant(tag);
    if (content.isEmpty() && chance(50))
        out += QLatin1Char('<') + name + QLatin1String("/>");
    else
        out += QLatin1Char('<') + name + QLatin1Char('>') + escaped(content) + QLatin1String("</")
            + name + QLatin1Char('>');
}

void RandomXmlRpc::writeArray(QString &out, int depth)
{
    const QString array = caseVariant(QStringLiteral("array"));
    out += QLatin1Char('<') + array + QLatin1Char('>') + spacing();
    const quint32 shape = below(20);
    if (shape == 0) {
        out += escaped(text());
    } else if (shape == 1) {
        out += QLatin1String("<data/>");
    } else if (shape != 2) {
        const QString data = shape == 3 ? QStringLiteral("list") : QStringLiteral("data");
        out += QLatin1Char('<') + data + QLatin1Char('>');
        const quint32 size = below(4);
        for (quint32 i = 0; i < size; ++i) {
            out += spacing();
            if (chance(5))
                out += QLatin1String("stray");
            else
                writeValue(out, depth + 1);
        }
        out += spacing() + QLatin1String("</") + data + QLatin1Char('>');
        if (chance(5))
            out += QLatin1String("<data><value>ignored</value></data>");
    }
    out += spacing() + QLatin1String("</") + array + QLatin1Char('>');
}

void RandomXmlRpc::writeStruct(QString &out, int depth)
{
    const QString structure = caseVariant(QStringLiteral("struct"));
    out += QLatin1Char('<') + structure + QLatin1Char('>');
    const quint32 size = below(4);
    for (quint32 i = 0; i < size; ++i) {
        out += spacing();
        const QString name = QLatin1String("<name>") + escaped(text()) + QLatin1String("</name>");
        QString value;
        writeValue(value, depth + 1);
        switch (below(24)) {
        case 0:
            out += QLatin1String("<member>") + value + name + QLatin1String("</member>");
            break;
        case 1:
            out += QLatin1String("<member>") + value + QLatin1String("</member>");
            break;
        case 2:
            out += QLatin1String("<member>") + name + QLatin1String("</member>");
            break;
        case 3:
            out += QLatin1String("<member/>");
            break;
        case 4:
            out += QLatin1String("text");
            break;
        case 5:
            out += QLatin1String("<member><name>a<b>c</b></name>") + value
                + QLatin1String("</member>");
            break;
        case 6:
            out += QLatin1String("<MEMBER>") + name + QLatin1String("<Value>1</Value>") + value
                + QLatin1String("</MEMBER>");
            break;
        case 7:
            out += QLatin1String("<member>x") + name + QLatin1String("y") + value
                + QLatin1String("z<name>late</name></member>");
            break;
        case 8:
            out += QLatin1String("<member><name/>") + value + QLatin1String("</member>");
            break;
        default:
            out += QLatin1String("<member>") + spacing() + name + spacing() + value + spacing()
                + QLatin1String("</member>");
        }
    }
    out += spacing() + QLatin1String("</") + structure + QLatin1Char('>');
}

void RandomXmlRpc::writeValue(QString &out, int depth)
{
    const QString value = chance(95) ? caseVariant(QStringLiteral("value")) : QStringLiteral("val");
    const quint32 kind = below(depth < 4 ? 20 : 14);
    if (kind == 0) {
        out += QLatin1Char('<') + value + QLatin1String("/>");
        return;
    }
    out += QLatin1Char('<') + value + QLatin1Char('>') + spacing();
    switch (kind) {
    case 1:
        break;
    case 2:
        out += escaped(text());
        break;
    case 3:
        out += QLatin1String("<nil/>");
        break;
    case 4:
        out += QLatin1String("<unknown>1</unknown>");
        break;
    case 5:
        out += QLatin1String("text<int>1</int>");
        break;
    default:
        if (kind >= 14 && kind < 17) {
            writeArray(out, depth);
        } else if (kind >= 17) {
            writeStruct(out, depth);
        } else {
            writeScalar(out,
                pick({"string", "int", "i4", "double", "boolean", "base64", "dateTime.iso8601",
                    "datetime"}));
        }
        if (chance(5))
            out += QLatin1String("<int>2</int>");
    }
    out += spacing() + QLatin1String("</") + value + QLatin1Char('>');
}

QString RandomXmlRpc::prolog(const QString &root)
{
    QString out = pick({"", "<?xml version=\"1.0\"?>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
        "<?xml version='1.0' encoding='utf-8' ?>"});
    if (chance(3)) {
        out = pick({"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "<?xml version=\"1.1\"?>",
            "<?xml version=\"1.0\" standalone=\"yes\"?>", "<!DOCTYPE %1>", "<!-- comment -->",
            "\ufeff"});
        if (out.startsWith(QLatin1String("<!DOCTYPE")))
            out = out.arg(root);
    }
    return out + spacing();
}

QString RandomXmlRpc::responseDocument()
{
    QString out = prolog(QStringLiteral("methodResponse"));
    const QString root
        = chance(95) ? caseVariant(QStringLiteral("methodResponse")) : QStringLiteral("answer");
    out += QLatin1Char('<') + root + QLatin1Char('>') + spacing();
    switch (below(12)) {
    case 0:
        out += QLatin1String("<params/>");
        break;
    case 1:
        out += QLatin1String("<params></params>");
        break;
    case 2:
        out += QLatin1String("text");
        break;
    case 3: {
        out += QLatin1String("<fault>") + spacing();
        QString code = QString::number(int(below(1000)) - 500);
        if (chance(10))
            code = QLatin1String("\"7\"");
        out += QLatin1String("<value><struct><member><name>faultCode</name><value><int>") + code
            + QLatin1String("</int></value></member>") + spacing()
            + QLatin1String("<member><name>faultString</name><value><string>") + escaped(text())
            + QLatin1String("</string></value></member></struct></value>") + spacing()
            + QLatin1String("</fault>");
        break;
    }
    case 4:
        out += QLatin1String("<fault>");
        writeValue(out, 0);
        out += QLatin1String("</fault>");
        break;
    case 5:
        out += QLatin1String("<other/>");
        break;
    default: {
        const QString params = caseVariant(QStringLiteral("params"));
        out += QLatin1Char('<') + params + QLatin1Char('>') + spacing() + QLatin1String("<param>")
            + spacing();
        if (chance(5))
            out += QLatin1String("loose text");
        else
            writeValue(out, 0);
        out += spacing() + QLatin1String("</param>") + spacing();
        if (chance(10))
            out += QLatin1String("<param><value>second</value></param>");
        out += QLatin1String("</") + params + QLatin1Char('>');
    }
    }
    if (chance(3))
        out += QLatin1String("<!-- note --><?pi x?><![CDATA[ ]]>");
    out += spacing() + QLatin1String("</") + root + QLatin1Char('>') + spacing();
    return out;
}

QString RandomXmlRpc::requestDocument()
{
    QString out = prolog(QStringLiteral("methodCall"));
    // The DOM reader matches the call's element names exactly, unlike a response's.
    const QString root = chance(95)
        ? (chance(90) ? QStringLiteral("methodCall") : caseVariant(QStringLiteral("methodCall")))
        : QStringLiteral("call");
    out += QLatin1Char('<') + root + QLatin1Char('>') + spacing();
    if (chance(5))
        out += QLatin1String("<other>x</other>");
    switch (below(10)) {
    case 0:
        break;
    case 1:
        out += QLatin1String("<methodName/>");
        break;
    case 2:
        out += QLatin1String("<methodName>") + spacing() + QLatin1String("</methodName>");
        break;
    case 3:
        out += QLatin1String("<methodName>") + spacing() + QLatin1String("a<!-- c -->b<i>c</i>")
            + escaped(text()) + QLatin1String("<![CDATA[ d]]></methodName>");
        break;
    case 4:
        out += QLatin1Char('<') + caseVariant(QStringLiteral("methodName"))
            + QLatin1String(">echo</") + caseVariant(QStringLiteral("methodName"))
            + QLatin1Char('>');
        break;
    case 5:
        out += QLatin1String("<methodName>") + escaped(text()) + QLatin1String("</methodName>");
        break;
    default:
        out += QLatin1String("<methodName>") + spacing()
            + pick({"echo", "system.listMethods", "system.multicall", "a.b_c:d/e", "x"}) + spacing()
            + QLatin1String("</methodName>");
    }
    if (chance(5))
        out += QLatin1String("<methodName>second</methodName>");
    out += spacing();
    switch (below(8)) {
    case 0:
        break;
    case 1:
        out += QLatin1String("<params/>");
        break;
    case 2:
        out += QLatin1String("<params>text</params>");
        break;
    default: {
        const QString params
            = chance(90) ? QStringLiteral("params") : caseVariant(QStringLiteral("params"));
        out += QLatin1Char('<') + params + QLatin1Char('>') + spacing();
        const quint32 count = below(4);
        for (quint32 i = 0; i < count; ++i) {
            const QString param
                = chance(90) ? QStringLiteral("param") : pick({"Param", "value", "p", "param "});
            out += QLatin1Char('<') + param + QLatin1Char('>') + spacing();
            if (chance(5))
                out += QLatin1String("loose text");
            if (chance(95))
                writeValue(out, 0);
            if (chance(5))
                out += QLatin1String("<value>second</value>");
            out += spacing() + QLatin1String("</") + param.trimmed() + QLatin1Char('>') + spacing();
        }
        if (chance(5))
            out += QLatin1String("<!-- p --><?pi?>");
        out += QLatin1String("</") + params + QLatin1Char('>');
    }
    }
    if (chance(5))
        out += QLatin1String("<params><param><value>later</value></param></params>");
    if (chance(3))
        out += QLatin1String("<!-- note --><?pi x?><![CDATA[ ]]>");
    out += spacing() + QLatin1String("</") + root + QLatin1Char('>') + spacing();
    return out;
}

QString RandomXmlRpc::broken(const QString &document)
{
    if (document.isEmpty())
        return QStringLiteral("<");
    QString out = document;
    const int at = int(below(quint32(out.size())));
    switch (below(5)) {
    case 0:
        out.truncate(at);
        break;
    case 1:
        out.remove(at, 1);
        break;
    case 2:
        out.insert(at, out.at(at));
        break;
    case 3:
        out[at] = QLatin1Char(pick({"<", ">", "&", "/", "\"", "x", ";", "#"}).at(0).toLatin1());
        break;
    default:
        out.insert(at, pick({"</value>", "<value>", "&bogus;", "&#0;", "&#x110000;", "<a b>"}));
    }
    return out;
}

QString describeValue(const QVariant &value)
{
    const int type = value.userType();
    QString head = QString::fromLatin1(value.typeName() ? value.typeName() : "invalid");
    switch (type) {
    case QMetaType::QString: {
        const QString text = value.toString();
        if (text.isNull())
            return head + QLatin1String("(null)");
        QString codes;
        for (const QChar c : text)
            codes += QString::number(c.unicode(), 16) + QLatin1Char(' ');
        return head + QLatin1Char('(') + codes + QLatin1Char(')');
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return head
            + (bytes.isNull()
                    ? QStringLiteral("(null)")
                    : QLatin1Char('(') + QString::fromLatin1(bytes.toHex()) + QLatin1Char(')'));
    }
    case QMetaType::Double: {
        const double number = value.toDouble();
        quint64 bits = 0;
        std::memcpy(&bits, &number, sizeof bits);
        return head + QLatin1Char('(') + QString::number(bits, 16) + QLatin1Char(')');
    }
    case QMetaType::QDateTime: {
        const QDateTime time = value.toDateTime();
        return head + QLatin1Char('(')
            + (time.isNull() ? QStringLiteral("null")
                             : time.toString(Qt::ISODateWithMs) + QString::number(time.timeSpec()))
            + QLatin1Char(')');
    }
    case QMetaType::QVariantList: {
        QStringList items;
        const QVariantList list = value.toList();
        for (const QVariant &item : list)
            items.append(describeValue(item));
        return head + QLatin1Char('[') + items.join(QLatin1String(", ")) + QLatin1Char(']');
    }
    case QMetaType::QVariantMap: {
        QStringList entries;
        const QVariantMap map = value.toMap();
        for (auto entry = map.cbegin(); entry != map.cend(); ++entry)
            entries.append(describeValue(QVariant(entry.key())) + QLatin1String(": ")
                + describeValue(entry.value()));
        return head + QLatin1Char('{') + entries.join(QLatin1String(", ")) + QLatin1Char('}');
    }
    default:
        return head + QLatin1Char('(') + value.toString() + QLatin1Char(')');
    }
}

bool qtXmlLosesCharactersOf(const QString &text)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return text.contains(QLatin1Char('\r'));
#else
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSurrogate(); });
#endif
}

QString withWhatQtXmlLosesReplaced(const QString &text)
{
    QString replaced;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        replaced.append(c == QLatin1Char('\r') ? QChar(0xE001) : c);
#else
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            replaced.append(QChar(0xE000));
            ++i;
        } else {
            replaced.append(c);
        }
#endif
    }
    return replaced;
}

bool qtXmlMisreadsReferenceIn(const QString &text)
{
    if (QT_VERSION >= QT_VERSION_CHECK(6, 0, 0))
        return false;
    static const QRegularExpression reference(QStringLiteral("&#(x[0-9a-fA-F]+|[0-9]+);"));
    for (auto match = reference.globalMatch(text); match.hasNext();) {
        const QString digits = match.next().captured(1);
        const bool hex = digits.startsWith(QLatin1Char('x'));
        if ((hex ? digits.mid(1).toUInt(nullptr, 16) : digits.toUInt()) > 0xFFFF)
            return true;
    }
    return false;
}
