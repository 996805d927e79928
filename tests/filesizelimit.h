#pragma once

#include <QtGlobal>

#include <csignal>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

// Makes the disk run out for this process: while the limit is in force, a
// write that would take a file past the given size fails with EFBIG (the
// SIGXFSZ that would otherwise end the process is ignored meanwhile). Tests
// run as root, whom no permission stops, so this is how they make a write
// fail. Lift the limit before asserting, so that the test's own log is not
// cut off; the destructor lifts it on an early return.
class FileSizeLimit
{
public:
#ifdef Q_OS_WIN
    // Windows has no per-process limit on file sizes, and nothing else here
    // makes a disk run out for one process.
    static constexpr bool isSupported()
    {
        return false;
    }
    using rlim_t = unsigned long long;
#else
    static constexpr bool isSupported()
    {
        return true;
    }
#endif

    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isActive() const
    {
        return m_active;
    }

    // Puts back the earlier limit and SIGXFSZ handling; false when the earlier
    // limit could not be restored.
    bool lift();

private:
#ifndef Q_OS_WIN
    rlimit m_previous{};
    void (*m_previousHandler)(int) = SIG_DFL;
#endif
    bool m_active = false;
};
