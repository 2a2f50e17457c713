// SPDX-License-Identifier: MIT
#ifndef READMEPRELUDE_H
#define READMEPRELUDE_H

// What the README's code snippets take as given: the library's headers, Qt's
// usual classes, and the names its examples invent.

#include "quorfault.h"
#include "quorobject.h"
#include "quorxmlrpcbatch.h"
#include "quorxmlrpcclient.h"
#include "quorxmlrpcclientlimits.h"
#include "quorxmlrpcclientoptions.h"
#include "quorxmlrpcserver.h"
#include "tavrel.h"
#include "tavrelinstance.h"
#include "tavrellaunch.h"
#include "tavrelserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QHostAddress>
#include <QUrl>
#include <QVariant>

// The application's own work, behind the instance's "open" command.
QString openFile(const QString &file);

// The object whose members the snippets are: a snippet N of statements is the
// body of snippet<N>(), where `this` is a receiver and app the application.
class Receiver : public QObject
{
public:
    explicit Receiver(QCoreApplication &application)
        : app(application)
    { }

    template<int N>
    void snippet();

    void gotSum(QVariant &value);
    void failed(int code, const QString &message);

    QCoreApplication &app;
};

#endif
