#pragma once

#include <QObject>
#include <QTimer>

// Ends a response that keeps the program reading bytes that are not its body
// (a header section or a chunk-size line that never ends) before they fill
// memory.
//
// Qt 6.5 and later, and the Qt that the Windows build is made with, refuse
// such responses themselves. Debian 12's Qt (5.15 and 6.4) keeps every byte of
// a header section or a chunk-size line it reads, however many: a server that
// sends them as fast as they are read grows the process by about 90 MiB a
// second over TLS on loopback. Qt offers no count of the bytes that one reply
// has read, but Linux counts every byte the process reads, sockets included
// (rchar in /proc/self/io), and during such a flood that count grows with the
// memory, byte for byte. So while a download is in flight this samples the
// count and gives up once the process has read Limit bytes more than the body
// that the download has taken.
//
// The count is the whole process's: other reads in that time (another
// download, a script's output) count too. Limit leaves room for them: an
// honest header section is a few kilobytes, the framing of a chunked body a
// few bytes a chunk, and clients refuse far smaller floods than this (a few
// hundred kilobytes).
class ReadLimit : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 Limit = 4 * 1024 * 1024;

    // Starts counting, where this build needs and can; otherwise does nothing.
    explicit ReadLimit(QObject *parent = nullptr);

    // The download has taken bodySize bytes of body so far, which do not count.
    void setBodySize(qint64 bodySize);
    // The download is over.
    void stop();

signals:
    void exceeded();

private slots:
    void check();

private:
    // How often the count is read: at the speed of a loopback flood, every
    // interval lets a few more MiB in before the download is stopped.
    static constexpr int Interval = 20;

    QTimer timer;
    qint64 start = -1;
    qint64 body = 0;
};
