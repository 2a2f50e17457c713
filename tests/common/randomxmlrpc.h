#ifndef RANDOMXMLRPC_H
#define RANDOMXMLRPC_H

#include <QString>
#include <QVariant>

#include <functional>

// Random values and response documents for comparing two codecs: values of
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
    // The document cut, or with a character changed, dropped or doubled.
    QString broken(const QString &document);

    quint32 below(quint32 bound) { return m_source(bound); }
    bool chance(quint32 percent) { return below(100) < percent; }

private:
    QString pick(std::initializer_list<const char *> choices);
    QString spacing();
    QString caseVariant(const QString &tag);
    QString escaped(const QString &text);
    void writeValue(QString &out, int depth);
    void writeScalar(QString &out, const QString &tag);
    void writeArray(QString &out, int depth);
    void writeStruct(QString &out, int depth);

    Source m_source;
};

// A description of a value exact enough to tell any two apart: types, null
// strings and byte arrays, every bit of a double, nested values.
QString describeValue(const QVariant &value);

#endif
