// SPDX-License-Identifier: MIT
#ifndef PARSEOUTCOME_H
#define PARSEOUTCOME_H

#include <QString>
#include <QVariant>

class QNetworkReply;

// What one QuorObject::parseResponse() call emitted, on a per-call object
// made for it: how many of each signal, their arguments, and whether the
// object was gone afterwards.
struct ParseOutcome
{
    int responses = 0;
    int faults = 0;
    bool destroyed = false;
    QVariant value;
    int code = 0;
    QString message;
    QNetworkReply *reply = nullptr;
};

// reply is handed to parseResponse() and never dereferenced.
ParseOutcome parseResponseOnce(const QString &response, QNetworkReply *reply = nullptr);

#endif
