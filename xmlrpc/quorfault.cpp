#include "quorfault.h"

#include "quordocument_p.h"
#include "quorobject.h"

QuorFault::QuorFault(int code, QString message, QObject *parent)
    : QObject(parent)
{
    faultMap[QStringLiteral("faultCode")] = QVariant(code);
    faultMap[QStringLiteral("faultString")] = QVariant(message);
}

QuorFault::QuorFault(const QuorFault &other)
    : QObject(other.parent())
    , faultMap(other.faultMap)
{ }

QuorFault::~QuorFault() = default;

QString QuorFault::toString()
{
    QDomDocument document = QuorDocument::create();
    QDomElement methodResponse = document.createElement(QStringLiteral("methodResponse"));
    QDomElement fault = document.createElement(QStringLiteral("fault"));
    document.appendChild(methodResponse);
    methodResponse.appendChild(fault);
    fault.appendChild(QuorObject::toXml(QVariant(faultMap)));
    return QuorDocument::toText(document);
}
