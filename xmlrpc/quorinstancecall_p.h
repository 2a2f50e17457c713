// SPDX-License-Identifier: MIT
#ifndef QUORINSTANCECALL_P_H
#define QUORINSTANCECALL_P_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>

class QuorHttpTransport;

/*
    The XML-RPC layer's one interface for the instance layer, the only private
    header that layer sees: calls to a loopback server over the client's own
    HTTP/1.1 connections (QuorHttpTransport), written and read by the codec
    QuorXmlRpcClient uses, each bounded in time and in the size of its answer.

    It never makes a QNetworkAccessManager: on Qt 5 making one loads the bearer
    plugins and starts their thread, which costs a second launch more than its
    whole hand-off. So calls go to plain-HTTP loopback URLs only, whatever
    proxy the application set (a proxy never sits between two processes on the
    loopback), with no cookies and no redirects: a redirect ends the call.

    Each call ends exactly once, at its callback, from the event loop.
    Destroying the caller ends the calls in flight silently.
*/
class QuorInstanceCaller : public QObject
{
    Q_OBJECT

public:
    // The fault code of calls that end without a readable answer.
    static constexpr int TransportErrorCode = -32300;

    // What became of one call.
    struct Outcome
    {
        bool isFault = false;
        int code = 0;
        QString message;
        QVariant value;
        // The transport's error, NoError when an answer was read.
        QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
        bool timedOut = false; // no whole answer came within the call's time
    };
    using Done = std::function<void(const Outcome &)>;

    // Calls carry userAgent as their User-Agent.
    QuorInstanceCaller(const QByteArray &userAgent, QObject *parent);
    ~QuorInstanceCaller() override;

    // Calls method with params at url, a plain-HTTP loopback URL. It ends
    // within timeoutMs (0: no bound) and reads at most maximumAnswerSize bytes
    // of the answer's body (0: no bound); beyond either it ends as fault
    // TransportErrorCode with the bound's text, its connection dropped.
    void call(const QUrl &url, const QString &method, const QVariantList &params, int timeoutMs,
        qint64 maximumAnswerSize, Done done);

    // The same call to the server at address and port, on a connection of its
    // own, made and answered before it returns, with no turn of the event
    // loop: for a process that waits for nothing else meanwhile. It costs a
    // new process a fraction of call(), whose Qt classes it leaves unused.
    Outcome callAndWait(const QHostAddress &address, quint16 port, const QString &method,
        const QVariantList &params, int timeoutMs, qint64 maximumAnswerSize);

private:
    struct Pending
    {
        Done done;
        QString ending; // why a bound ended the call; null while none did
        bool timedOut = false;
    };

    static Outcome unwritable();
    // What a call came to: failure says why it got no readable answer (null
    // when it got one), of status and body.
    static Outcome outcomeOf(QString failure, int status, const QByteArray &body);

    // Whether it ends the call, which no bound ended before.
    bool end(QNetworkReply *reply, const QString &why);
    void finished(QNetworkReply *reply);

    const QByteArray m_userAgent;
    QuorHttpTransport *m_transport = nullptr; // made at the first call
    QHash<QNetworkReply *, Pending> m_calls;
};

#endif
