// SPDX-License-Identifier: MIT
#include "parseoutcome.h"

#include "quorobject.h"

#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>

ParseOutcome parseResponseOnce(const QString &response, QNetworkReply *reply)
{
    ParseOutcome outcome;
    QPointer<QuorObject> object = new QuorObject;
    QSignalSpy responseSpy(object.data(), &QuorObject::aresponse);
    QSignalSpy faultSpy(object.data(), &QuorObject::fault);
    // The spies count; the receivers keep the arguments, since reading the
    // reply back out of a spy's QVariant would look into a dummy object.
    QObject::connect(object.data(), &QuorObject::aresponse,
        [&outcome](QVariant &value, QNetworkReply *emittedReply) {
            outcome.value = value;
            outcome.reply = emittedReply;
        });
    QObject::connect(object.data(), &QuorObject::fault,
        [&outcome](int code, const QString &message, QNetworkReply *emittedReply) {
            outcome.code = code;
            outcome.message = message;
            outcome.reply = emittedReply;
        });
    object->parseResponse(response, reply);
    outcome.destroyed = object.isNull();
    outcome.responses = responseSpy.count();
    outcome.faults = faultSpy.count();
    return outcome;
}
