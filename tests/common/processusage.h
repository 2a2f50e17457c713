// SPDX-License-Identifier: MIT
#ifndef PROCESSUSAGE_H
#define PROCESSUSAGE_H

#include <QString>
#include <QtGlobal>

// What this process holds at one moment, as Linux tells it in /proc/self:
// resident memory, threads and open file descriptors. Tests compare two of
// them to show that something let go of all it took.
struct ProcessUsage
{
    qint64 residentKiB = 0;
    int threads = 0;
    int descriptors = 0;

    static ProcessUsage now();
    QString toString() const;
};

#endif
