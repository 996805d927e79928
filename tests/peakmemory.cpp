#include "peakmemory.h"

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

bool resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1 && clearRefs.flush();
}

qint64 peakMemoryKiB()
{
    return statusField("VmHWM:");
}

qint64 residentMemoryKiB()
{
    return statusField("VmRSS:");
}
