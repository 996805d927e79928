#include "peakmemory.h"

#ifdef Q_OS_WIN

#include <windows.h>
// After windows.h, which it builds on.
#include <psapi.h>

static qint64 workingSetKiB(bool peak)
{
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return qint64(peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize) / 1024;
}

void resetPeakMemory() { }

qint64 peakMemoryKiB()
{
    return workingSetKiB(true);
}

qint64 residentMemoryKiB()
{
    return workingSetKiB(false);
}

#else

#include <QByteArray>
#include <QFile>

// A field of /proc/self/status in KiB, e.g. "VmHWM:", or -1.
static qint64 statusField(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

qint64 peakMemoryKiB()
{
    return statusField("VmHWM:");
}

qint64 residentMemoryKiB()
{
    return statusField("VmRSS:");
}

#endif
