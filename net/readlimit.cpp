#include "readlimit.h"

#include <QFile>

#if defined(Q_OS_LINUX) && QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
#define TELVORA_COUNT_READS
#endif

// Bytes the process has read so far, or -1 where that cannot be told.
static qint64 bytesReadByProcess()
{
#ifdef TELVORA_COUNT_READS
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray counts = io.readAll();
    const int at = counts.indexOf("rchar: ");
    if (at < 0)
        return -1;
    bool ok = false;
    const qint64 count = counts.mid(at + 7, counts.indexOf('\n', at) - at - 7).toLongLong(&ok);
    return ok ? count : -1;
#else
    return -1;
#endif
}

ReadLimit::ReadLimit(QObject *parent)
    : QObject(parent)
{
    start = bytesReadByProcess();
    if (start < 0)
        return;
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &ReadLimit::check);
    timer.start(Interval);
}

void ReadLimit::setBodySize(qint64 bodySize)
{
    body = bodySize;
}

void ReadLimit::stop()
{
    timer.stop();
}

void ReadLimit::check()
{
    const qint64 now = bytesReadByProcess();
    if (now >= 0 && now - start - body > Limit) {
        timer.stop();
        emit exceeded();
    }
}
