#ifndef TVX_PROGRESSDISPLAY_H
#define TVX_PROGRESSDISPLAY_H

#include <cstdio>

// Download progress on a stream: a bar redrawn in place on a terminal,
// one plain line per change otherwise (logs, pipes, tests).
class CProgressDisplay
{
public:
    explicit CProgressDisplay(FILE *stream);

    void setProgress(int nProgress);
    // Ends the bar's line; a no-op when nothing was shown.
    void finish();

    bool isTerminal() const { return m_isTerminal; }

private:
    FILE *m_stream;
    bool m_isTerminal;
    bool m_isShown = false;
    int m_nLast = -1;
};

#endif // TVX_PROGRESSDISPLAY_H
