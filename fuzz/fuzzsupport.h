// SPDX-License-Identifier: MIT
#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// What every harness needs before its first input.
namespace FuzzSupport {

// Creates the one QCoreApplication of the process and drops QtDebugMsg
// messages: the codec prints one for every value it cannot read, which would
// drown libFuzzer's own output. Warnings and worse still go to standard error.
void initialize(int *argc, char ***argv);

// The input without a copy; valid while libFuzzer's buffer is.
QByteArray bytes(const uint8_t *data, size_t size);

// Reports a broken invariant with some context and aborts, so that libFuzzer
// saves the input as a crash.
[[noreturn]] void fail(const char *what, const QByteArray &detail = QByteArray());

} // namespace FuzzSupport

#endif
