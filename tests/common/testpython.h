// SPDX-License-Identifier: MIT
#ifndef TESTPYTHON_H
#define TESTPYTHON_H

#include <QString>
#include <QStringList>

// The python3 that tests drive as an independent XML-RPC peer: the one CMake
// found, else the first on PATH; empty when there is none.
QString pythonProgram();

class QProcess;
// Starts the Python peer script with arguments in process and returns the
// port it announced once it listens; 0, with the test failed, when it did not.
quint16 startPythonPeer(QProcess *process, const QString &script, const QStringList &arguments);

#endif
