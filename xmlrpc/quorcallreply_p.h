// SPDX-License-Identifier: MIT
#ifndef QUORCALLREPLY_P_H
#define QUORCALLREPLY_P_H

#include "quorcodec_p.h"

#include <QString>

#include <functional>

class QNetworkReply;
class QObject;

// What QuorXmlRpcClient and QuorInstanceCaller do alike with the reply of a
// call: bound it, and read its answer.
namespace QuorCallReply {

enum class Bound { Time, Size };

// Calls end(bound) once reply runs past timeoutMs or has more than
// maximumSize bytes of body (0: no such bound). The timer and the connections
// go with the reply, or with context when it goes first.
void watch(QNetworkReply *reply, QObject *context, int timeoutMs, qint64 maximumSize,
    const std::function<void(Bound)> &end);
// The reason a bound gives for ending a call.
QString boundText(Bound bound, int timeoutMs, qint64 maximumSize);

// The answer of a finished reply: its body as zero-terminated text, read
// straight from its UTF-8 bytes, as QuorObject::parseResponse() would read it decoded.
QuorResponse readAnswer(QNetworkReply *reply, const QuorCodec::Options &options);
// The same of the body of an answer.
QuorResponse readAnswer(QByteArray body, const QuorCodec::Options &options);

// The fault text of a call that holds a value XML-RPC cannot carry.
QString unwritableCallText();

} // namespace QuorCallReply

#endif
