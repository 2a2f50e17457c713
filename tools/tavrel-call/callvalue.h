// SPDX-License-Identifier: MIT
#ifndef CALLVALUE_H
#define CALLVALUE_H

#include <QString>
#include <QVariant>

// The values of tavrel-call's command line and output: JSON text, with
// one-member objects that spell the XML-RPC types JSON lacks:
//   {"base64": "aGk="}  {"dateTime.iso8601": "20260101T10:00:00"}
//   {"i8": "12345678901"}  {"double": 1}  {"struct": {"base64": "a struct"}}
// Whole numbers are ints, numbers with a fraction or an exponent doubles.
namespace CallValue {

// The value one command-line argument spells. Text starting with '{', '[' or
// '"' must be JSON; other text is JSON when it can be, else the string as
// written. False, with the reason in *error, for an argument that spells no
// value XML-RPC can send (a malformed object, an i8 when i8Enabled is false, a
// whole number beyond 32 bits without it, null when nilEnabled is false).
bool fromArgument(
    const QString &argument, bool i8Enabled, bool nilEnabled, QVariant *value, QString *error);

// The value as indented JSON, spelled so that fromArgument() reads it back as
// the same value; nil and unreadable values are null.
QString toJson(const QVariant &value);

} // namespace CallValue

#endif
