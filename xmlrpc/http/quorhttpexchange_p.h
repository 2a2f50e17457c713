// SPDX-License-Identifier: MIT
#ifndef QUORHTTPEXCHANGE_P_H
#define QUORHTTPEXCHANGE_P_H

#include <QByteArray>
#include <QHostAddress>
#include <QNetworkReply>
#include <QString>

/*
    One HTTP/1.1 POST to a server on this machine, on a connection of its own,
    written and answered before post() returns: for a process that waits for
    nothing else meanwhile, such as a second launch handing itself over. It
    runs on the system's sockets and touches none of Qt's socket, URL and
    request classes, whose first use costs a new process more than the whole
    exchange. The answer is read as the client's connections read it: interim
    1xx heads passed over, the body by Content-Length, chunked or up to the close.
*/
struct QuorHttpExchange
{
    enum Ending {
        Answered, // status, reason and body hold the answer, whatever its status
        Failed, // error and errorString say why, as Qt's client says it
        TimedOut, // no whole answer within the time
        TooLarge, // the body grew beyond its bound
    };

    Ending ending = Failed;
    int status = 0;
    QByteArray reason;
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;

    // headers are the request's header lines but Host and Content-Length, each
    // ended by CRLF. timeoutMs and maximumBodySize: 0 for no bound.
    static QuorHttpExchange post(const QHostAddress &address, quint16 port,
        const QByteArray &headers, const QByteArray &body, int timeoutMs, qint64 maximumBodySize);
};

#endif
