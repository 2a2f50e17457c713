// SPDX-License-Identifier: MIT
#ifndef DEBUGMESSAGES_H
#define DEBUGMESSAGES_H

#include <QStringList>

// Catches the debug messages of single calls, such as the codec's messages
// about values it cannot read or write; other messages pass on as before.
namespace DebugMessages {

namespace Detail {
inline QStringList *s_caught = nullptr;
inline QtMessageHandler s_previous = nullptr;

inline void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (s_caught && type == QtDebugMsg)
        s_caught->append(message);
    else if (s_previous)
        s_previous(type, context, message);
}
} // namespace Detail

// Installs the handler that messagesOf() relies on.
inline void install()
{
    Detail::s_previous = qInstallMessageHandler(Detail::handle);
}

inline void uninstall()
{
    qInstallMessageHandler(Detail::s_previous);
}

// The debug messages that call() gave.
template<typename Call>
QStringList messagesOf(Call call)
{
    QStringList messages;
    Detail::s_caught = &messages;
    call();
    Detail::s_caught = nullptr;
    return messages;
}

} // namespace DebugMessages

#endif
