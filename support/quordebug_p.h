// SPDX-License-Identifier: MIT
#ifndef QUORDEBUG_P_H
#define QUORDEBUG_P_H

#include <QString>
#include <QStringList>

// One debug message (QtDebugMsg), spaced the way this library's messages
// read: one space after every item, the last one included, and QString
// items between double quotes without any escaping. Qt 5 and 6's QDebug would
// escape quotes and drop the final space, so the text is built here and handed
// to qDebug() unchanged when the line goes out of scope, or kept in a list for
// a reader that may still give up and leave the text to another one.
class QuorDebugLine
{
public:
    explicit QuorDebugLine(QStringList *capture = nullptr)
        : m_capture(capture)
    { }
    ~QuorDebugLine();

    QuorDebugLine &operator<<(const char *literal);
    QuorDebugLine &operator<<(int number);
    QuorDebugLine &operator<<(const QString &text);

    // A plain item, written without quotes and followed by the usual space.
    QuorDebugLine &plain(const QString &text);
    // A line feed with no space after it, as QTextStream's endl wrote it.
    QuorDebugLine &endLine();

private:
    Q_DISABLE_COPY(QuorDebugLine)
    QStringList *m_capture;
    QString m_text;
};

// Hands messages kept by QuorDebugLine to qDebug(), unchanged.
void quorDebugFlush(const QStringList &messages);

#endif
