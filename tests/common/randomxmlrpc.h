// SPDX-License-Identifier: MIT
#ifndef RANDOMXMLRPC_H
#define RANDOMXMLRPC_H

#include <QString>
#include <QVariant>

#include <functional>

// Random values and documents for comparing two codecs: values of
// every type a writer may meet (unsupported ones and invalid text included),
// and documents that are plainly written, odd but valid, or broken.
class RandomXmlRpc
{
public:
    // Gives a number below bound (bound > 0).
    using Source = std::function<quint32(quint32 bound)>;

    explicit RandomXmlRpc(Source source);
    // A generator repeating the same sequence for the same seed.
    static RandomXmlRpc seeded(quint32 seed);

    QVariant value(int maxDepth = 4);
    QString text();

    // A methodResponse document written with varying markup: case, spacing,
    // references, i4 and untyped values, odd struct members and arrays, and
    // now and then markup the reader should leave to another reader.
    QString responseDocument();
    // A methodCall document written the same way, with odd method names,
    // params and elements around them.
    QString requestDocument();
    // The document cut, or with a character changed, dropped or doubled.
    QString broken(const QString &document);

    quint32 below(quint32 bound) { return m_source(bound); }
    bool chance(quint32 percent) { return below(100) < percent; }

private:
    QString pick(std::initializer_list<const char *> choices);
    QString spacing();
    QString prolog(const QString &root);
    QString caseVariant(const QString &tag);
    QString escaped(const QString &text);
    void writeValue(QString &out, int depth);
    void writeScalar(QString &out, const QString &tag);
    void writeArray(QString &out, int depth);
    void writeStruct(QString &out, int depth);

    Source m_source;
};

// Qt 5's parser drops characters beyond U+FFFF and reads references to them
// as other characters; Qt 6's turns raw carriage returns into line feeds. The
// fast reader keeps all of them as written. Where a document holds them, the
// two readers are compared on the document with each of them replaced by an
// ordinary character (beyond U+FFFF by U+E000, a carriage return by U+E001),
// which both parsers keep.
bool qtXmlLosesCharactersOf(const QString &text);
QString withWhatQtXmlLosesReplaced(const QString &text);
// Whether text refers to a character beyond U+FFFF, which Qt 5 misreads.
bool qtXmlMisreadsReferenceIn(const QString &text);

// A description of a value exact enough to tell any two apart: types, null
// strings and byte arrays, every bit of a double, nested values.
QString describeValue(const QVariant &value);

#endif
