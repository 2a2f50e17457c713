// SPDX-License-Identifier: MIT
#ifndef QUORXMLRPCCLIENTLIMITS_P_H
#define QUORXMLRPCCLIENTLIMITS_P_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class QNetworkReply;
class QuorXmlRpcClient;

// The limits and options of one client, kept in a hidden child of it so that the client's
// own members stay as they are, the reasons why limits ended its calls, and
// what a call needs to follow a redirect. A client without this child has no
// limits and no options.
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

    // A call on its way through redirects: the document to send again, the
    // reply call() returned (the one its slot gets) and how long it has run.
    struct Hop
    {
        QByteArray document;
        QNetworkReply *original = nullptr;
        int redirects = 0;
        QElapsedTimer elapsed;
    };

    int timeout = 0;
    qint64 maximumResponseSize = 0;
    bool i8Enabled = false;
    bool nilEnabled = false;
    QList<QPair<QByteArray, QByteArray>> headers;
    QHash<QNetworkReply *, Hop> hops;

private:
    QHash<QNetworkReply *, QString> m_endings;
};

#endif
