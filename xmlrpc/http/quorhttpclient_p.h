// SPDX-License-Identifier: MIT
#ifndef QUORHTTPCLIENT_P_H
#define QUORHTTPCLIENT_P_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QPointer>

class QNetworkAccessManager;

class QTcpSocket;
class QuorHttpConnection;

// A call posted over the client's own HTTP/1.1 connections: a QNetworkReply
// like those of QNetworkAccessManager, with the same attributes, errors and
// signals, its body readable once it has finished.
class QuorHttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    QuorHttpReply(const QNetworkRequest &request, const QByteArray &body, QObject *parent);
    ~QuorHttpReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

private:
    friend class QuorHttpConnection;
    friend class QuorHttpTransport;

    qint64 readData(char *data, qint64 maxSize) override;

    QByteArray requestBytes(const QByteArray &authorization) const;
    void setHead(int status, const QByteArray &reason,
        const QList<QPair<QByteArray, QByteArray>> &headers, qint64 length);
    void appendBody(const QByteArray &bytes);
    void fail(QNetworkReply::NetworkError code, const QString &text);
    void complete();

    QByteArray m_requestHead; // up to the credentials and Content-Length
    QByteArray m_requestBody;
    QByteArray m_authorization; // of the answer to a challenge
    bool m_sentCredentials = false;
    bool m_answeredChallenge = false;
    QByteArray m_body;
    qint64 m_read = 0; // of m_body
    qint64 m_received = 0;
    qint64 m_length = -1;
    QuorHttpConnection *m_connection = nullptr;
};

// The HTTP/1.1 connections of one XML-RPC client to loopback servers: kept
// alive, with head and body in one write and without Nagle's delay, up to six
// per server, further calls waiting for a free one. Qt's HTTP stack runs in a
// thread of its own, reads a response head one byte per system call and on
// Qt 5 sends a body apart from its head, which costs a call several times over
// on the loopback, or the 40 ms of a delayed acknowledgement.
class QuorHttpTransport : public QObject
{
    Q_OBJECT

public:
    // Cookies are kept in the cookie jar of manager, as its own calls keep them.
    QuorHttpTransport(QNetworkAccessManager *manager, QObject *parent);
    ~QuorHttpTransport() override;

    // Whether calls to url go this way: plain HTTP to a loopback host, with
    // no proxy set for the application. Everything else goes through Qt.
    static bool serves(const QUrl &url);

    QNetworkReply *post(const QNetworkRequest &request, const QByteArray &body);

Q_SIGNALS:
    void finished(QNetworkReply *reply);

private:
    friend class QuorHttpConnection;
    friend class QuorHttpReply;

    // Basic credentials of a server that asked for them: the URL's, or the last
    // ones it took. Sent with every call once the server has asked, as Qt does.
    struct Authentication
    {
        QByteArray realm;
        QString user;
        QString password;
    };

    void sendWaitingCalls();
    void forget(QuorHttpReply *reply);
    void remove(QuorHttpConnection *connection);
    void resend(QuorHttpReply *reply);
    QByteArray authorizationFor(const QUrl &url);
    bool answerChallenge(QuorHttpReply *reply, const QList<QByteArray> &challenges);
    void takeCookies(QuorHttpReply *reply);

    QPointer<QNetworkAccessManager> m_manager;
    QHash<QString, Authentication> m_authentications; // by host and port
    QList<QuorHttpConnection *> m_connections;
    QList<QPointer<QuorHttpReply>> m_waiting;
};

#endif
