#ifndef QUORXMLRPCCLIENT_H
#define QUORXMLRPCCLIENT_H

#include "tavrel_export.h"

#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QUrl>
#include <QVariant>

class QNetworkReply;
class QuorObject;

// An asynchronous XML-RPC client for one server URL, over HTTP or HTTPS.
//
// call() posts a methodCall (Content-Type "text/xml", User-Agent "rododir/0.2"
// unless replaced) and returns at once. Later, from the event loop, exactly one
// of the two named slots runs:
//   the answer slot, SLOT(name(QVariant&)) or SLOT(name(QVariant&, QNetworkReply*)),
//   the fault slot,  SLOT(name(int, const QString&)), optionally with QNetworkReply*.
// The reply passed to them is the one call() returned; it is valid only while the
// slot runs. Transport errors (refused connection, HTTP error status, SSL
// failure) arrive as fault -32300 with the network layer's text.
//
// SSL errors are re-emitted through sslErrors(); a receiver may call
// QNetworkReply::ignoreSslErrors() on the reply. Destroying the client ends its
// pending calls silently: no slot runs for them.
class TAVREL_EXPORT QuorXmlRpcClient : public QObject
{
    Q_OBJECT

public:
    explicit QuorXmlRpcClient(QObject *parent = nullptr);
    explicit QuorXmlRpcClient(QUrl url, QObject *parent = nullptr);
    QuorXmlRpcClient(QUrl url, QString userAgent, QObject *parent = nullptr);
    ~QuorXmlRpcClient() override;

    // Ignored when url is not valid: the previous URL stays.
    void setUrl(QUrl url);
    void setUserAgent(QString userAgent);
    void setSslConfiguration(const QSslConfiguration &config);
    QSslConfiguration sslConfiguration() const;

    QNetworkReply *call(QString method, QList<QVariant> args, QObject *responseObject,
        const char *responseSlot, QObject *faultObject, const char *faultSlot);

Q_SIGNALS:
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

private Q_SLOTS:
    void replyFinished(QNetworkReply *);

private:
    void init();

    QNetworkAccessManager manager;
    QNetworkRequest request;
    QMap<QNetworkReply *, QuorObject *> callmap;
};

#endif
