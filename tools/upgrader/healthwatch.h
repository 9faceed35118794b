#ifndef TVX_HEALTHWATCH_H
#define TVX_HEALTHWATCH_H

#include <QString>

// Starts the upgraded launcher and watches it until it proves healthy or
// fails. Healthy: it has run for the health time without failing, or its
// main form returned a result normally. Failed: the main form did not load,
// or the launcher crashed or ended abnormally first. The launcher tells the
// main form's progress through the health file it is given in
// TARVEX_UPGRADE_HEALTH_FILE; it keeps running after a healthy verdict.
//
// TARVEX_UPGRADE_HEALTH_SECONDS sets the health time (default 20).
class CHealthWatch
{
public:
    CHealthWatch(const QString &strLauncherPath, const QString &strAppDir, const QString &strHealthFile);

    // False when the launcher could not even be started.
    bool start();
    // Blocks until the verdict; true when healthy. failureText() says why not.
    bool waitForVerdict();
    QString failureText() const { return m_strFailure; }

    static int healthSeconds();

private:
    QString m_strLauncherPath;
    QString m_strAppDir;
    QString m_strHealthFile;
    QString m_strFailure;
    qint64 m_pid = -1;
};

#endif // TVX_HEALTHWATCH_H
