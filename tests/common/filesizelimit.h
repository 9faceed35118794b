#ifndef TVX_TEST_FILESIZELIMIT_H
#define TVX_TEST_FILESIZELIMIT_H

#include <csignal>
#ifndef _WIN32
#  include <sys/resource.h>
#endif

// Caps the size of the files this process writes while it lives, so that a
// write fails as on a full disk (EFBIG), even for root, who ignores
// permission bits. SIGXFSZ is ignored meanwhile; both are restored after.
// The cap holds for the whole process: use it in single-threaded tests only.
#ifdef _WIN32
// Windows has no such cap: never active, so the tests that need it skip.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(quint64) {}
    bool isActive() const { return false; }
};
#else
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        m_active = getrlimit(RLIMIT_FSIZE, &m_previous) == 0;
        if (m_active) {
            rlimit limit = m_previous;
            limit.rlim_cur = bytes;
            m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
        }
    }
    ~FileSizeLimit()
    {
        if (m_active)
            setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isActive() const { return m_active; }

private:
    rlimit m_previous {};
    void (*m_previousHandler)(int) = SIG_DFL;
    bool m_active = false;
};
#endif

#endif // TVX_TEST_FILESIZELIMIT_H
