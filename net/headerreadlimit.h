#pragma once

#include <QObject>
#include <QTimer>

// Ends a response whose header section never ends before it fills memory.
//
// Qt 6.5 and later, and the Qt that the Windows build is made with, refuse an
// overlong header section themselves. Debian 12's Qt (5.15 and 6.4) keeps
// every header byte it reads, however many: a server that sends header lines
// as fast as they are read grows the process by about 90 MiB a second over
// TLS on loopback. Qt offers no count of the bytes that one reply has read
// before its headers, but Linux counts every byte the process reads, sockets
// included (rchar in /proc/self/io), and during such a flood that count grows
// with the memory, byte for byte. So while the headers are awaited, this
// samples the count and gives up once the process has read Limit bytes since
// the download began.
//
// The count is the whole process's: other reads in that time (another
// download, a script's output) count too. Limit leaves room for them: an
// honest header section is a few kilobytes, and clients refuse far smaller
// ones than this (a few hundred kilobytes).
class HeaderReadLimit : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 Limit = 4 * 1024 * 1024;

    // Starts counting, where this build needs and can; otherwise does nothing.
    explicit HeaderReadLimit(QObject *parent = nullptr);

    // The headers are complete, or the download is over.
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
};
