// SPDX-License-Identifier: MIT
#ifndef QUOROBJECT_P_H
#define QUOROBJECT_P_H

#include "quorcodec_p.h"

class QNetworkReply;
class QuorObject;

// Emits what parseResponse() emits for response, then deletes the call object.
void quorDeliverResponse(QuorObject *call, QuorResponse *response, QNetworkReply *reply);

#endif
