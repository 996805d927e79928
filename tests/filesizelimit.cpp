#include "filesizelimit.h"

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
#ifdef Q_OS_WIN
    Q_UNUSED(bytes)
#else
    if (getrlimit(RLIMIT_FSIZE, &m_previous) != 0)
        return;
    rlimit limited = m_previous;
    limited.rlim_cur = bytes;
    m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    m_active = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    if (!m_active)
        std::signal(SIGXFSZ, m_previousHandler);
#endif
}

FileSizeLimit::~FileSizeLimit()
{
    lift();
}

bool FileSizeLimit::lift()
{
    if (!m_active)
        return true;
    m_active = false;
#ifdef Q_OS_WIN
    return true;
#else
    // The limit goes first: SIGXFSZ stays ignored until no write can raise it.
    const bool restored = setrlimit(RLIMIT_FSIZE, &m_previous) == 0;
    std::signal(SIGXFSZ, m_previousHandler);
    return restored;
#endif
}
