// SPDX-License-Identifier: MIT
#include "testpython.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

QString pythonProgram()
{
    QString program = QStringLiteral(TAVREL_PYTHON);
    if (program.isEmpty() || program.endsWith(QLatin1String("NOTFOUND")))
        program = QStringLiteral("python3");
    if (QFileInfo(program).isAbsolute())
        return QFileInfo(program).isExecutable() ? program : QString();
    return QStandardPaths::findExecutable(program);
}

quint16 startPythonPeer(QProcess *process, const QString &script, const QStringList &arguments)
{
    const auto failed = [](const char *why) {
        QTest::qFail(why, __FILE__, __LINE__);
        return quint16(0);
    };
    if (script.isEmpty())
        return failed("the Python peer's script was not found");
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(pythonProgram(), QStringList {script} + arguments);
    if (!process->waitForStarted())
        return failed("the Python peer did not start");
    while (!process->canReadLine()) {
        if (process->state() != QProcess::Running)
            return failed("the Python peer ended before listening");
        process->waitForReadyRead(100);
    }
    const quint16 port = process->readLine().trimmed().toUShort();
    return port ? port : failed("the Python peer announced no port");
}
