// SPDX-License-Identifier: MIT
#ifndef TESTPYTHON_H
#define TESTPYTHON_H

#include <QString>

// The python3 that tests drive as an independent XML-RPC peer: the one CMake
// found, else the first on PATH; empty when there is none.
QString pythonProgram();

#endif
