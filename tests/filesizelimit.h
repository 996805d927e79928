#pragma once

#include <csignal>

#include <sys/resource.h>

// Makes the disk run out for this process: while the limit is in force, a
// write that would take a file past the given size fails with EFBIG (the
// SIGXFSZ that would otherwise end the process is ignored meanwhile). Tests
// run as root, whom no permission stops, so this is how they make a write
// fail. Lift the limit before asserting, so that the test's own log is not
// cut off; the destructor lifts it on an early return.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isActive() const { return m_active; }

    // Puts back the earlier limit and SIGXFSZ handling; false when the earlier
    // limit could not be restored.
    bool lift();

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = SIG_DFL;
    bool m_active = false;
};
