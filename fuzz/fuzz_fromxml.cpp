// SPDX-License-Identifier: MIT
// Any XML document into the value reader, QuorObject::fromXml(): the root and
// every element named value, in any letter case. Whatever it reads must go
// through the writer, QuorObject::toXml(), and come back as the same value,
// and the response document written for it must read back the same.
#include "describevalue.h"
#include "fuzzsupport.h"
#include "quordocument_p.h"
#include "quorobject.h"

#include <QDateTime>
#include <QDomDocument>
#include <QString>
#include <QVariant>

#include <cmath>

namespace {

enum class Trip {
    Element, // toXml(), then fromXml() on the element
    Document, // prepareResponse(), then the parser and fromXml()
};

// Qt's DOM parser keeps no text node that QChar::isSpace() calls blank, so
// such a string or struct name written as text reads back empty.
QString textAfter(const QString &text, Trip trip)
{
    return trip == Trip::Document && text.trimmed().isEmpty() ? QString() : text;
}

// The value as it reads back after a trip through the writer, which loses
// things by design: an array drops the items it cannot write (a struct keeps
// their names, which read back as invalid) and the parser drops blank text.
// A finite double reads back bit for bit; infinity and NaN go out as the
// texts "inf" and "nan".
QVariant valueAfter(const QVariant &value, Trip trip)
{
    switch (value.userType()) {
    case QMetaType::Double:
        if (!std::isfinite(value.toDouble()))
            return QString::number(value.toDouble(), 'g', 6).toDouble();
        return value;
    case QMetaType::QString:
        return textAfter(value.toString(), trip);
    case QMetaType::LongLong: // an <int> beyond 32 bits, which only <i8> writes
        return QVariant();
    case QMetaType::QDateTime: {
        // Written as its clock time, without zone and milliseconds.
        const QDateTime dateTime = value.toDateTime();
        const QTime time = dateTime.time();
        return dateTime.isValid()
            ? QDateTime(dateTime.date(), QTime(time.hour(), time.minute(), time.second()))
            : value;
    }
    case QMetaType::QVariantList: {
        QVariantList items;
        for (const QVariant &item : value.toList()) {
            const QVariant after = valueAfter(item, trip);
            if (after.isValid())
                items.append(after);
        }
        return items;
    }
    case QMetaType::QVariantMap: {
        // Members are written in the map's order; of names that read back
        // alike, the last one written wins.
        QVariantMap members;
        const QVariantMap map = value.toMap();
        for (auto member = map.cbegin(); member != map.cend(); ++member)
            members.insert(textAfter(member.key(), trip), valueAfter(member.value(), trip));
        return members;
    }
    default:
        return value;
    }
}

// Reads the one param of a methodResponse document written by the library
// into value; false when the document has none.
bool readResponse(const QString &text, QVariant *value)
{
    QDomDocument document;
    QString message;
    int line = 0;
    if (!document.setContent(text, &message, &line))
        FuzzSupport::fail("a response the library wrote is not well formed",
            (QStringLiteral("line %1: %2\n").arg(line).arg(message) + text).toUtf8());
    const QDomElement param = document.documentElement()
                                  .firstChildElement(QStringLiteral("params"))
                                  .firstChildElement(QStringLiteral("param"));
    if (param.isNull())
        return false;
    *value = QuorObject::fromXml(param.firstChildElement(QStringLiteral("value")));
    return true;
}

void checkValue(const QDomElement &element)
{
    const QVariant read = QuorObject::fromXml(element);
    const auto differs = [](const char *what, const QString &wanted, const QString &got,
                             const QString &document = QString()) {
        FuzzSupport::fail(
            what, ("read:    " + wanted + "\nwritten: " + got + '\n' + document).toUtf8());
    };

    const QDomElement written = QuorObject::toXml(read);
    if (written.isNull() != !valueAfter(read, Trip::Element).isValid())
        FuzzSupport::fail("toXml() must write every value fromXml() reads");
    const QString wanted = describe(valueAfter(read, Trip::Element));
    const QString again = describe(QuorObject::fromXml(written));
    if (again != wanted)
        differs("toXml() then fromXml() must keep the value", wanted, again);

    // prepareResponse() leaves out what Qt 5 calls null: no value, or a null
    // string, byte array or date-time. Anything else must come back.
    const QString response = QuorObject::prepareResponse(read);
    QVariant fromText;
    if (readResponse(response, &fromText)) {
        const QString wantedFromText = describe(valueAfter(read, Trip::Document));
        if (describe(fromText) != wantedFromText)
            differs("a value must survive its response document", wantedFromText,
                describe(fromText), response);
    } else {
        const QStringList nulls {describe(QVariant()), describe(QString()), describe(QByteArray()),
            describe(QDateTime())};
        if (!nulls.contains(describe(read)))
            differs("a response must carry every value that is not null", describe(read),
                QStringLiteral("nothing"), response);
    }
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
    if (!QuorDocument::refusal(text).isEmpty())
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
