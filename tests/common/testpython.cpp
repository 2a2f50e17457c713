// SPDX-License-Identifier: MIT
#include "testpython.h"

#include <QFileInfo>
#include <QStandardPaths>

QString pythonProgram()
{
    QString program = QStringLiteral(TAVREL_PYTHON);
    if (program.isEmpty() || program.endsWith(QLatin1String("NOTFOUND")))
        program = QStringLiteral("python3");
    if (QFileInfo(program).isAbsolute())
        return QFileInfo(program).isExecutable() ? program : QString();
    return QStandardPaths::findExecutable(program);
}
