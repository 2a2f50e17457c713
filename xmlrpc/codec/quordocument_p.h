// SPDX-License-Identifier: MIT
#ifndef QUORDOCUMENT_P_H
#define QUORDOCUMENT_P_H

#include <QDomDocument>
#include <QString>

// The document frame shared by every document the XML-RPC layer writes, and
// the bounds that protect the reader from a hostile peer.
namespace QuorDocument {

// Arrays and structs nested inside one another in one value. Widely used
// XML-RPC peers accept 64; deeper values are refused instead of recursed into.
constexpr int MaxValueNesting = 256;

// Element depth of a whole document, checked before any DOM tree is built (the
// DOM parser recurses once per level and overflows the stack near 10,000).
// Leaves room for the document's own frame around a value of the depth above.
constexpr int MaxElementNesting = 1024;

// A new document holding only the XML declaration for UTF-8.
QDomDocument create();

// The document's text: one node per line, one space of indentation per level,
// every line ending with a line feed.
QString toText(const QDomDocument &document);

// Why a document must not reach the parser, and on which line; empty when it
// may. Refused are: elements nested deeper than MaxElementNesting; a document
// type declaration, whose entities may expand to elements that no count of
// the text sees; and, on Qt 5, a reference to an entity named beyond ASCII,
// such as "&\u00aa;", on which its parser crashes (Qt 6 refuses those as
// undeclared). Only looks for these: well-formedness is left to the parser.
struct Refusal
{
    int line = 0;
    QString reason;

    bool isEmpty() const { return line == 0; }
};
Refusal refusal(const QString &xml);

// The text of a document received as bytes, in the encoding its byte-order
// mark names, else its XML declaration, else UTF-8; false for an encoding Qt
// does not know. UTF-8, US-ASCII and Latin-1, under their common names, read
// the same with Qt 5 and Qt 6. Checks such as refusal() hold only for the text
// they saw, so the parser must get this text, never the bytes again.
bool decode(const QByteArray &xml, QString *text);

// Whether name is an encoding name as XML writes them.
bool isEncodingName(const QString &name);
// Whether bytes declared in the encoding name are read as UTF-8: UTF-8 and
// US-ASCII, its subset, which some peers declare for UTF-8 all the same.
bool readsAsUtf8(const QString &name);

} // namespace QuorDocument

#endif
