#ifndef TVX_PROCESSWAIT_H
#define TVX_PROCESSWAIT_H

#include <QString>

// Whether a process other than this one runs the executable at strExePath,
// directly or, for a script, through its interpreter.
bool isExecutableRunning(const QString &strExePath);

// Polls until no such process is left, for at most nTimeoutMs. True when
// none is left.
bool waitForExecutableToExit(const QString &strExePath, int nTimeoutMs);

#endif // TVX_PROCESSWAIT_H
