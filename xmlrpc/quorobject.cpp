// SPDX-License-Identifier: MIT
#include "quorobject.h"

#include "quorobject_p.h"

#include <QDomImplementation>

QuorObject::QuorObject(QObject *parent)
    : QObject(parent)
{
    QDomImplementation::setInvalidDataPolicy(QDomImplementation::DropInvalidChars);
}

QuorObject::~QuorObject() = default;

QDomElement QuorObject::toXml(QVariant v)
{
    return QuorDomCodec::writeValue(v);
}

QVariant QuorObject::fromXml(const QDomElement &v)
{
    return QuorDomCodec::readValue(v);
}

QString QuorObject::prepareCall(QString method, QList<QVariant> args)
{
    return QuorFastCodec::writeCall(method, args);
}

QString QuorObject::prepareResponse(QVariant value)
{
    return QuorFastCodec::writeResponse(value);
}

void QuorObject::parseResponse(QString response, QNetworkReply *reply)
{
    QuorResponse outcome = QuorFastCodec::readResponseText(response);
    quorDeliverResponse(this, &outcome, reply);
}

void quorDeliverResponse(QuorObject *call, QuorResponse *response, QNetworkReply *reply)
{
    if (response->isFault)
        Q_EMIT call->fault(response->faultCode, response->faultString, reply);
    else
        Q_EMIT call->aresponse(response->value, reply);
    delete call;
}
