// SPDX-License-Identifier: MIT
#include "fuzzsupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace {

void dropDebugMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg)
        return;
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

} // namespace

namespace FuzzSupport {

void initialize(int *argc, char ***argv)
{
    qInstallMessageHandler(dropDebugMessages);
    // Lives as long as the process: libFuzzer never returns to main.
    static QCoreApplication application(*argc, *argv);
}

QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
}

void fail(const char *what, const QByteArray &detail)
{
    std::fprintf(stderr, "broken invariant: %s\n", what);
    if (!detail.isEmpty())
        std::fprintf(stderr, "%s\n", detail.constData());
    std::abort();
}

} // namespace FuzzSupport
