// SPDX-License-Identifier: MIT
#ifndef QUORFAULT_H
#define QUORFAULT_H

#include "tavrel_export.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

/*!
    An XML-RPC fault: a code and a string, rendered by toString() as a complete
    methodResponse fault document (a struct of faultCode and faultString).
    Immutable once built. A copy shares the source's parent, nothing else of it.
*/
class TAVREL_EXPORT QuorFault : public QObject
{
    Q_OBJECT

public:
    //! A fault with \a code and \a message, owned by \a parent.
    QuorFault(int code, QString message, QObject *parent = nullptr);
    //! A fault with the code and message of \a other, under the same parent.
    QuorFault(const QuorFault &other);
    //! Destroys the fault.
    ~QuorFault() override;

    //! The fault document; the same text on every call.
    QString toString();

private:
    QMap<QString, QVariant> faultMap;
};

#endif
