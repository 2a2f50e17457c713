// SPDX-License-Identifier: MIT
#include "processusage.h"

#include <QDir>
#include <QFile>

ProcessUsage ProcessUsage::now()
{
    ProcessUsage usage;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        // Lines like "VmRSS:\t   12345 kB" and "Threads:\t4".
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
            if (line.startsWith("VmRSS:"))
                usage.residentKiB = value.split(' ').value(0).toLongLong();
            else if (line.startsWith("Threads:"))
                usage.threads = value.toInt();
        }
    }
    // The listing opens a descriptor of its own, which is gone again when it returns.
    usage.descriptors = int(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)
                                .size())
        - 1;
    return usage;
}

QString ProcessUsage::toString() const
{
    return QStringLiteral("RSS %1 KiB, %2 threads, %3 descriptors")
        .arg(residentKiB)
        .arg(threads)
        .arg(descriptors);
}
