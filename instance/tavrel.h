// SPDX-License-Identifier: MIT
#ifndef TAVREL_H
#define TAVREL_H

#include "tavrel_export.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

class QTcpSocket;

/*!
    Tells an application whether another instance of it already serves on the
    TCP port it wants, and talks to that instance over XML-RPC at
    "http://localhost:PORT/RPC2". The instance itself runs a TavrelServer.

    \code
    Tavrel tavrel(&app, 4242);
    if (tavrel.checkTcp()) { ... another instance runs; its report follows ... }
    \endcode

    checkTcp() blocks for at most 1000 ms. When something listens it asks the
    instance "getAppInfo" and returns true; the answer is printed later, from the
    event loop, as a six-line report through qDebug(). openTcp() ("checkConnection")
    and sendCommand() store their answers, read with lastConnectionAnswer() and
    lastCommandAnswer(); any fault prints one line and clears the connection
    answer. All requests share one XML-RPC client, a child of this object;
    destroying this object ends outstanding requests without running any slot.
*/
class TAVREL_EXPORT Tavrel : public QObject
{
    Q_OBJECT

public:
    //! A checker for \a port, 1 to 65535, used for the probe and in the server URL.
    Tavrel(QObject *parent, int port);
    //! Destroys the checker; outstanding requests end without running any slot.
    ~Tavrel() override;

    /*! Whether something listens on the port, waiting at most 1000 ms. When it
        does, asks it "getAppInfo"; testSingle() prints the answer later. */
    bool checkTcp();
    //! Asks the instance "checkConnection"; the answer goes to lastConnectionAnswer().
    void openTcp();
    /*! Sends \a method with \a argument as its one string parameter, or with no
        parameter when \a argument is empty. The answer goes to lastCommandAnswer().
        When the program listening on the port runs as another user (as far as
        the platform tells), nothing is sent: faultResponse() gets -32001
        (TavrelInstance::ListenerOfAnotherUser) from the event loop instead. */
    void sendCommand(QString method, QString argument);

    //! First word of the latest non-empty "checkConnection" answer; null after a fault.
    QString lastConnectionAnswer() const { return connectionAnswer; }
    //! The latest answer to sendCommand(), as a list of strings.
    QStringList lastCommandAnswer() const { return commandAnswer; }
    //! The socket of the latest probe (each probe keeps its own as a child).
    QTcpSocket *lastProbeSocket() const { return socket; }

public Q_SLOTS:
    /*! Prints the report on the instance from its "getAppInfo" answer \a arg,
        "PID NAME OWNER", through qDebug(); missing words print as empty text. */
    void testSingle(QVariant &arg);
    //! Keeps the first word of a non-empty "checkConnection" answer \a arg.
    void checkConnection(QVariant &arg);
    //! Keeps the answer \a arg to sendCommand() as a list of strings.
    void parseAnswer(QVariant &arg);
    //! Prints the fault \a error and \a message in one line and clears the connection answer.
    void faultResponse(int error, const QString &message);

private:
    QTcpSocket *socket = nullptr;
    QString connectionAnswer;
    QStringList commandAnswer;
    int port;
};

#endif
