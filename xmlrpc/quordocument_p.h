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

// The line on which an element of xml lies deeper than maxDepth elements, or 0
// when none does. Only counts: well-formedness is left to the parser. A
// document type declaration counts as deeper than any bound, since entities
// declared there expand to elements that no count of the text sees.
int lineBeyondNesting(const QString &xml, int maxDepth);

// The line of the first reference to an entity whose name goes beyond ASCII,
// such as "&\u00aa;", or 0: Qt 5's parser crashes on some of them. Always 0 on
// Qt 6, which refuses them as undeclared.
int lineOfUnparsableReference(const QString &xml);

// The text of a document received as bytes, in the encoding its byte-order
// mark names, else its XML declaration, else UTF-8; false for an encoding Qt
// does not know. Checks such as lineBeyondNesting() hold only for the text
// they saw, so the parser must get this text, never the bytes again.
bool decode(const QByteArray &xml, QString *text);

} // namespace QuorDocument

#endif
