// SPDX-License-Identifier: MIT
#ifndef DESCRIBEVALUE_H
#define DESCRIBEVALUE_H

#include <QString>
#include <QVariant>

// A strict, type-tagged rendering of a value: QVariant's operator== converts
// between types (the int 5 equals the string "5"), which would hide exactly
// the differences the codec's tests and fuzzers are about.
QString describe(const QVariant &value);

#endif
