// SPDX-License-Identifier: MIT
#ifndef QUOROBJECT_H
#define QUOROBJECT_H

#include "tavrel_export.h"

#include <QDomElement>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QVariant>

/*!
    The per-call object of the XML-RPC layer, and the codec between QVariant
    values and XML-RPC `<value>` elements.

    Values: Bool, Int, Double, String, ByteArray, DateTime, List and Map are
    written as boolean, int, double, string, base64, dateTime.iso8601, array and
    struct; anything else is refused with a debug message. The reader also takes
    i4, datetime, nil, any letter case and untyped text. Arrays and structs
    nested deeper than 256 levels are refused in both directions.

    Per call: create with new, connect aresponse() and fault(), write the call
    with prepareCall(), and hand the answer to parseResponse() once. It emits
    exactly one of aresponse() and fault() and then deletes itself; an object
    whose answer never comes dies with its parent, emitting nothing.
    QuorXmlRpcClient does all of this for its calls.

    Every construction sets QtXml's process-wide invalid-data policy to
    QDomImplementation::DropInvalidChars: characters XML does not allow are
    dropped from the documents written.
*/
class TAVREL_EXPORT QuorObject : public QObject
{
    Q_OBJECT

public:
    //! Creates a call object owned by \a parent.
    explicit QuorObject(QObject *parent = nullptr);
    //! Destroys the object; a call still unanswered emits nothing.
    ~QuorObject() override;

    /*! The `<value>` element for \a v, or a null element when \a v cannot be written.
        The element may be read, copied or appended anywhere on its own. */
    static QDomElement toXml(QVariant v);
    //! The value of a `<value>` element; an invalid variant when unreadable.
    static QVariant fromXml(const QDomElement &v);

    //! The methodCall document (UTF-8 declaration; encode with toUtf8()).
    QString prepareCall(QString method, QList<QVariant> args);
    //! The methodResponse document for a return value; none for a null value.
    static QString prepareResponse(QVariant value);

Q_SIGNALS:
    /*! The call returned a value; \a reply is the one passed to parseResponse().
        Emitted at most once, and never together with fault(). */
    void aresponse(QVariant &, QNetworkReply *reply);
    //! Declared for existing connections only; never emitted.
    void call(QString, QList<QVariant>);
    /*! The call failed with a fault code and message; \a reply is the one passed
        to parseResponse(). Emitted at most once, and never together with aresponse(). */
    void fault(int, const QString &, QNetworkReply *reply);

public Q_SLOTS:
    /*! Emits aresponse() with the returned value, or fault() with the server's
        fault, -32700 (not well formed or nested too deep) or -32600 (not an
        XML-RPC response); then deletes the object. \a reply is passed on untouched. */
    void parseResponse(QString response, QNetworkReply *reply);
};

#endif
