#include "progressdisplay.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#  include <io.h>
#  define isatty _isatty
#  define fileno _fileno
#else
#  include <unistd.h>
#endif

namespace {
constexpr int BarWidth = 40;
}

CProgressDisplay::CProgressDisplay(FILE *stream)
    : m_stream(stream)
    , m_isTerminal(stream && isatty(fileno(stream)))
{
}

void CProgressDisplay::setProgress(int nProgress)
{
    if (!m_stream || nProgress == m_nLast)
        return;
    m_nLast = nProgress;
    m_isShown = true;

    if (!m_isTerminal) {
        std::fprintf(m_stream, "progress %d%%\n", nProgress);
        std::fflush(m_stream);
        return;
    }

    // The engine does not cap its values (a packet larger than announced
    // goes beyond 100): the bar is filled at most, the number is told as is.
    const int filled = qBound(0, nProgress, 100) * BarWidth / 100;
    char bar[BarWidth + 1];
    for (int i = 0; i < BarWidth; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[BarWidth] = '\0';
    std::fprintf(m_stream, "\rDownloading [%s] %3d%%", bar, nProgress);
    std::fflush(m_stream);
}

void CProgressDisplay::finish()
{
    if (m_stream && m_isTerminal && m_isShown) {
        std::fputc('\n', m_stream);
        std::fflush(m_stream);
    }
    m_isShown = false;
}
