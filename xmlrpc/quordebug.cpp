#include "quordebug_p.h"

#include <QDebug>

QuorDebugLine::~QuorDebugLine()
{
    qDebug().noquote().nospace() << m_text;
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
