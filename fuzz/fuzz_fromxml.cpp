// Any XML document into the value reader, QuorObject::fromXml(): the root and
// every element named value, in any letter case. Whatever it reads must go
// through the writer, QuorObject::toXml(), and come back as the same value,
// and the response document written for it must read back the same.
#include "fuzzsupport.h"
#include "quordocument_p.h"
#include "quorobject.h"

#include <QDateTime>
#include <QDomDocument>
#include <QString>
#include <QVariant>

namespace {

enum class Trip {
    Element, // toXml(), then fromXml() on the element
    Document, // prepareResponse(), then the parser and fromXml()
};

// Qt's DOM parser keeps no text node that QChar::isSpace() calls blank, so
// such a string or struct name written as text reads back empty.
QString afterTrip(const QString &text, Trip trip)
{
    return trip == Trip::Document && text.trimmed().isEmpty() ? QString() : text;
}

// How a value reads after a trip through the writer, in a strict, type-tagged
// text (QVariant's operator== would take the int 5 for the string "5"). The
// writer loses things by design: an array drops items it cannot write (a
// struct keeps their names, which read back as invalid), a double is written
// with six significant digits, and the parser drops blank text.
QString expected(const QVariant &value, Trip trip)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QStringLiteral("invalid");
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("bool(1)") : QStringLiteral("bool(0)");
    case QMetaType::Int:
        return QStringLiteral("int(%1)").arg(value.toInt());
    case QMetaType::Double:
        return QStringLiteral("double(%1)").arg(QString::number(value.toDouble(), 'g', 6));
    case QMetaType::QString: {
        const QString text = afterTrip(value.toString(), trip);
        return QStringLiteral("string(%1:%2)").arg(text.size()).arg(text);
    }
    case QMetaType::QByteArray:
        return QStringLiteral("base64(%1)")
            .arg(QString::fromLatin1(value.toByteArray().toBase64()));
    case QMetaType::QDateTime: {
        const QDateTime dateTime = value.toDateTime();
        return QStringLiteral("dateTime(%1)")
            .arg(dateTime.isValid() ? dateTime.toString(Qt::ISODate) : QStringLiteral("invalid"));
    }
    case QMetaType::QVariantList: {
        QStringList items;
        for (const QVariant &item : value.toList()) {
            if (item.isValid())
                items.append(expected(item, trip));
        }
        return QStringLiteral("array[%1]").arg(items.join(QLatin1Char(',')));
    }
    case QMetaType::QVariantMap: {
        // Members are written in the map's order; of names that read back
        // alike, the last one written wins.
        QMap<QString, QString> members;
        const QVariantMap map = value.toMap();
        for (auto member = map.cbegin(); member != map.cend(); ++member)
            members.insert(afterTrip(member.key(), trip), expected(member.value(), trip));
        QStringList texts;
        for (auto member = members.cbegin(); member != members.cend(); ++member)
            texts.append(
                QStringLiteral("%1:%2=%3").arg(member.key().size()).arg(member.key(), *member));
        return QStringLiteral("struct{%1}").arg(texts.join(QLatin1Char(',')));
    }
    default:
        return QStringLiteral("unexpected type %1").arg(value.userType());
    }
}

// Whether prepareResponse() writes no param for the value: an invalid one, or
// a null string, byte array or date-time, which Qt 5 calls null.
bool isWrittenAsNoValue(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return true;
    case QMetaType::QString:
        return value.toString().isNull();
    case QMetaType::QByteArray:
        return value.toByteArray().isNull();
    case QMetaType::QDateTime:
        return value.toDateTime().isNull();
    default:
        return false;
    }
}

// The value of the one param of a methodResponse document written by the
// library; invalid when it has none.
QVariant readResponse(const QString &text)
{
    QDomDocument document;
    QString message;
    int line = 0;
    if (!document.setContent(text, &message, &line))
        FuzzSupport::fail("a response the library wrote is not well formed",
            (QStringLiteral("line %1: %2\n").arg(line).arg(message) + text).toUtf8());
    const QDomElement value = document.documentElement()
                                  .firstChildElement(QStringLiteral("params"))
                                  .firstChildElement(QStringLiteral("param"))
                                  .firstChildElement(QStringLiteral("value"));
    return value.isNull() ? QVariant() : QuorObject::fromXml(value);
}

void checkValue(const QDomElement &element)
{
    const QVariant read = QuorObject::fromXml(element);

    const QDomElement written = QuorObject::toXml(read);
    if (written.isNull() != !read.isValid())
        FuzzSupport::fail("toXml() must write every value fromXml() reads");
    const QString wanted = expected(read, Trip::Element);
    const QString again = expected(QuorObject::fromXml(written), Trip::Element);
    if (again != wanted)
        FuzzSupport::fail("toXml() then fromXml() must keep the value",
            ("read:    " + wanted + "\nwritten: " + again).toUtf8());

    const QString response = QuorObject::prepareResponse(read);
    const QString fromText = expected(readResponse(response), Trip::Document);
    const QString wantedFromText
        = isWrittenAsNoValue(read) ? QStringLiteral("invalid") : expected(read, Trip::Document);
    if (fromText != wantedFromText)
        FuzzSupport::fail("a value must survive its response document",
            ("read:    " + wantedFromText + "\nwritten: " + fromText + '\n' + response).toUtf8());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initialize(argc, argv);
    // Sets QtXml's invalid-data policy, as every program using the codec has.
    delete new QuorObject;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(FuzzSupport::bytes(data, size));
    // The library refuses documents nested this deep before the DOM parser
    // could overflow the stack on them; so does the harness.
    if (QuorDocument::lineBeyondNesting(text, QuorDocument::MaxElementNesting))
        return 0;
    QDomDocument document;
    if (!document.setContent(text))
        return 0;

    // Every element, without recursion: documents may nest a thousand deep.
    const QDomElement root = document.documentElement();
    QuorObject::fromXml(root);
    QDomNode node = root;
    while (!node.isNull()) {
        if (node.isElement() && node.toElement().tagName().toLower() == QLatin1String("value"))
            checkValue(node.toElement());
        QDomNode next = node.firstChild();
        while (next.isNull() && !node.isNull() && node != root) {
            next = node.nextSibling();
            if (next.isNull())
                node = node.parentNode();
        }
        node = next;
    }
    return 0;
}
