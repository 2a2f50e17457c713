// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCCLIENTLIMITS_P_H
#define QUORXMLRPCCLIENTLIMITS_P_H

#include <QHash>
#include <QObject>
#include <QString>

class QNetworkReply;
class QuorXmlRpcClient;

// The limits and options of one client, kept in a hidden child of it so that the client's
// own members stay as they are, and the reasons why limits ended its calls.
// A client without this child has no limits.
class QuorXmlRpcClientLimitsData : public QObject
{
    Q_OBJECT

public:
    explicit QuorXmlRpcClientLimitsData(QuorXmlRpcClient *client);

    // The client's limits; null when none were ever set.
    static QuorXmlRpcClientLimitsData *find(const QuorXmlRpcClient *client);
    static QuorXmlRpcClientLimitsData *findOrCreate(QuorXmlRpcClient *client);

    // Ends reply, a call that is still running, because of why: the reply is
    // aborted from the event loop, which finishes it.
    void end(QNetworkReply *reply, const QString &why);
    // Why a limit ended reply; null when none did. Forgets the reason.
    QString takeEnding(QNetworkReply *reply);

    int timeout = 0;
    qint64 maximumResponseSize = 0;
    bool i8Enabled = false;

private:
    QHash<QNetworkReply *, QString> m_endings;
};

#endif
