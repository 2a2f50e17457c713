// SPDX-License-Identifier: MIT
#ifndef RECEIVER_H
#define RECEIVER_H

#include "quorxmlrpcclient.h"

#include <QNetworkReply>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>
#include <QVariant>

// What reached one of the receiver's slots.
struct Delivery
{
    bool isAnswer = false;
    QVariant value;
    int code = 0;
    QString message;
    QNetworkReply *reply = nullptr;
    // Read from the reply while the slot ran, the only time it is valid.
    QNetworkReply::NetworkError replyError = QNetworkReply::NoError;
    QString replyErrorString;
};

// Receives the results of calls through the four slot shapes that call() accepts.
class Receiver : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    QList<Delivery> deliveries;
    // Names of receivers in the order their results arrived, shared between them.
    QStringList *arrivalOrder = nullptr;

    QNetworkReply *callPlain(
        QuorXmlRpcClient &client, const QString &method, const QVariantList &args = {})
    {
        return client.call(
            method, args, this, SLOT(answer(QVariant &)), this, SLOT(fault(int, const QString &)));
    }

    QNetworkReply *callWithReply(
        QuorXmlRpcClient &client, const QString &method, const QVariantList &args = {})
    {
        return client.call(method, args, this, SLOT(answerWithReply(QVariant &, QNetworkReply *)),
            this, SLOT(faultWithReply(int, const QString &, QNetworkReply *)));
    }

    // Waits until count results in all have arrived, each within timeoutMs.
    bool waitForDeliveries(int count, int timeoutMs = 10000)
    {
        QSignalSpy spy(this, &Receiver::delivered);
        while (deliveries.size() < count) {
            if (!spy.wait(timeoutMs))
                return false;
        }
        return true;
    }

public Q_SLOTS:
    void answer(QVariant &value) { record(true, value, 0, QString(), nullptr); }
    void answerWithReply(QVariant &value, QNetworkReply *reply)
    {
        record(true, value, 0, QString(), reply);
    }
    void fault(int code, const QString &message)
    {
        record(false, QVariant(), code, message, nullptr);
    }
    void faultWithReply(int code, const QString &message, QNetworkReply *reply)
    {
        record(false, QVariant(), code, message, reply);
    }

Q_SIGNALS:
    void delivered();

private:
    void record(bool isAnswer, const QVariant &value, int code, const QString &message,
        QNetworkReply *reply)
    {
        Delivery delivery;
        delivery.isAnswer = isAnswer;
        delivery.value = value;
        delivery.code = code;
        delivery.message = message;
        delivery.reply = reply;
        if (reply) {
            delivery.replyError = reply->error();
            delivery.replyErrorString = reply->errorString();
        }
        deliveries.append(delivery);
        if (arrivalOrder)
            arrivalOrder->append(objectName());
        Q_EMIT delivered();
    }
};

#endif
