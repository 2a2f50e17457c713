#ifndef TAVREL_H
#define TAVREL_H

#include "tavrel_export.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

class QTcpSocket;

// Tells an application whether another instance of it already serves on the
// TCP port it wants, and talks to that instance over XML-RPC at
// "http://localhost:PORT/RPC2".
//
//   Tavrel tavrel(&app, 4242);
//   if (tavrel.checkTcp()) { ... another instance runs; its report follows ... }
//
// checkTcp() blocks for at most 1000 ms. When something listens it asks the
// instance "getAppInfo" and returns true; the answer is printed later, from the
// event loop, as a six-line report through qDebug(). openTcp() ("checkConnection")
// and sendCommand() store their answers, read with lastConnectionAnswer() and
// lastCommandAnswer(); any fault prints one line and clears the connection
// answer. All requests share one XML-RPC client, a child of this object;
// destroying this object ends outstanding requests without running any slot.
class TAVREL_EXPORT Tavrel : public QObject
{
    Q_OBJECT

public:
    // port: 1 to 65535, used for the probe and in the server URL.
    Tavrel(QObject *parent, int port);
    ~Tavrel() override;

    bool checkTcp();
    void openTcp();
    // Sends method with argument as its one string parameter, or with no
    // parameter when argument is empty.
    void sendCommand(QString method, QString argument);

    // First word of the latest non-empty "checkConnection" answer; null after a fault.
    QString lastConnectionAnswer() const { return connectionAnswer; }
    // The latest answer to sendCommand(), as a list of strings.
    QStringList lastCommandAnswer() const { return commandAnswer; }
    // The socket of the latest probe (each probe keeps its own as a child).
    QTcpSocket *lastProbeSocket() const { return socket; }

public Q_SLOTS:
    void testSingle(QVariant &arg);
    void checkConnection(QVariant &arg);
    void parseAnswer(QVariant &arg);
    void faultResponse(int error, const QString &message);

private:
    QTcpSocket *socket = nullptr;
    QString connectionAnswer;
    QStringList commandAnswer;
    int port;
};

#endif
