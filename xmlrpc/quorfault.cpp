// SPDX-License-Identifier: MIT
#include "quorfault.h"

#include "quorcodec_p.h"

QuorFault::QuorFault(int code, QString message, QObject *parent)
    : QObject(parent)
    , faultMap(QuorCodec::faultValue(code, message))
{ }

QuorFault::QuorFault(const QuorFault &other)
    : QObject(other.parent())
    , faultMap(other.faultMap)
{ }

QuorFault::~QuorFault() = default;

QString QuorFault::toString()
{
    return QuorFastCodec::writeFault(faultMap.value(QStringLiteral("faultCode")).toInt(),
        faultMap.value(QStringLiteral("faultString")).toString());
}
