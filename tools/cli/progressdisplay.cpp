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
constexpr qint64 SpeedWindowMs = 5000;

QByteArray rateText(double bytesPerSec)
{
    if (bytesPerSec >= 1024.0 * 1024.0)
        return QByteArray::number(bytesPerSec / (1024.0 * 1024.0), 'f', 1) + " MiB/s";
    return QByteArray::number(bytesPerSec / 1024.0, 'f', 0) + " KiB/s";
}

QByteArray durationText(qint64 seconds)
{
    if (seconds >= 3600)
        return QByteArray::number(seconds / 3600) + ":" + QByteArray::number(seconds / 60 % 60).rightJustified(2, '0')
            + ":" + QByteArray::number(seconds % 60).rightJustified(2, '0');
    return QByteArray::number(seconds / 60) + ":" + QByteArray::number(seconds % 60).rightJustified(2, '0');
}
} // namespace

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
    draw();
}

void CProgressDisplay::setBytes(qint64 llInHand, qint64 llTotal)
{
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 now = m_clock.elapsed();
    // A packet that starts over from zero makes the bytes go back: a new window.
    if (!m_samples.isEmpty() && llInHand < m_samples.constLast().llBytes)
        m_samples.clear();
    m_samples.append({now, llInHand});
    while (m_samples.size() > 2 && now - m_samples.at(1).llMs >= SpeedWindowMs)
        m_samples.removeFirst();
    const Sample &first = m_samples.constFirst();
    if (now - first.llMs >= 1000) {
        m_dBytesPerSec = double(llInHand - first.llBytes) * 1000.0 / double(now - first.llMs);
        m_llLeft = m_dBytesPerSec > 0 && llTotal > llInHand ? qint64(double(llTotal - llInHand) / m_dBytesPerSec) : -1;
    }
    if (m_isTerminal && m_nLast >= 0)
        draw();
}

void CProgressDisplay::draw()
{
    const int nProgress = m_nLast;
    // The engine does not cap its values (a packet larger than announced
    // goes beyond 100): the bar is filled at most, the number is told as is.
    const int filled = qBound(0, nProgress, 100) * BarWidth / 100;
    char bar[BarWidth + 1];
    for (int i = 0; i < BarWidth; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[BarWidth] = '\0';
    QByteArray speed;
    if (m_dBytesPerSec >= 0) {
        speed = "  " + rateText(m_dBytesPerSec);
        if (m_llLeft >= 0)
            speed += "  " + durationText(m_llLeft) + " left";
    }
    // Padded: a shorter line must cover the longer one before it.
    std::fprintf(m_stream, "\rDownloading [%s] %3d%%%-28s", bar, nProgress, speed.constData());
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
