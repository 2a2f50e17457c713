// SPDX-License-Identifier: MIT
#include "quordebug_p.h"

#include <QDebug>

QuorDebugLine::~QuorDebugLine()
{
    if (m_capture)
        m_capture->append(m_text);
    else
        qDebug().noquote().nospace() << m_text;
}

void quorDebugFlush(const QStringList &messages)
{
    for (const QString &message : messages)
        qDebug().noquote().nospace() << message;
}

QuorDebugLine &QuorDebugLine::operator<<(const char *literal)
{
    return plain(QString::fromUtf8(literal));
}

QuorDebugLine &QuorDebugLine::operator<<(int number)
{
    return plain(QString::number(number));
}

QuorDebugLine &QuorDebugLine::operator<<(const QString &text)
{
    m_text += QLatin1Char('"') + text + QLatin1String("\" ");
    return *this;
}

QuorDebugLine &QuorDebugLine::plain(const QString &text)
{
    m_text += text + QLatin1Char(' ');
    return *this;
}

QuorDebugLine &QuorDebugLine::endLine()
{
    m_text += QLatin1Char('\n');
    return *this;
}
