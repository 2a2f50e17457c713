#ifndef QUORDEBUG_P_H
#define QUORDEBUG_P_H

#include <QString>

// One debug message (QtDebugMsg), spaced the way this library's messages have
// always read: one space after every item, the last one included, and QString
// items between double quotes without any escaping. Qt 5 and 6's QDebug would
// escape quotes and drop the final space, so the text is built here and handed
// to qDebug() unchanged when the line goes out of scope.
class QuorDebugLine
{
public:
    QuorDebugLine() = default;
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
    QString m_text;
};

#endif
