#ifndef TVX_PROGRESSDISPLAY_H
#define TVX_PROGRESSDISPLAY_H

#include <QElapsedTimer>
#include <QVector>
#include <QtGlobal>

#include <cstdio>

// Download progress on a stream: a bar redrawn in place on a terminal,
// one plain line per change otherwise (logs, pipes, tests).
class CProgressDisplay
{
public:
    explicit CProgressDisplay(FILE *stream);

    void setProgress(int nProgress);
    // Bytes in hand against the announced total, sampled now and then: the
    // bar adds the speed of the last seconds and the time still needed.
    void setBytes(qint64 llInHand, qint64 llTotal);
    // Ends the bar's line; a no-op when nothing was shown.
    void finish();

    bool isTerminal() const { return m_isTerminal; }

private:
    void draw();

    FILE *m_stream;
    bool m_isTerminal;
    bool m_isShown = false;
    int m_nLast = -1;
    QElapsedTimer m_clock;
    struct Sample { qint64 llMs; qint64 llBytes; };
    QVector<Sample> m_samples;
    double m_dBytesPerSec = -1;
    qint64 m_llLeft = -1;
};

#endif // TVX_PROGRESSDISPLAY_H
