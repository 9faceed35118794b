#ifndef TVX_HEALTHWATCH_H
#define TVX_HEALTHWATCH_H

#include <QString>

// Starts the upgraded launcher and watches it until it proves healthy or
// fails. The launcher tells the main form's progress through the health
// file it is given in TARVEX_UPGRADE_HEALTH_FILE: "loaded", "load-failed",
// "returned". Healthy needs proof: the main form loaded, and the launcher
// then ran for the health time, or its main form returned normally. Failed:
// the main form did not load, not within the load time either (the
// launcher is ended then), or the launcher crashed or ended before its main
// form returned, whatever its exit code. The launcher keeps running after a
// healthy verdict.
//
// TARVEX_UPGRADE_HEALTH_SECONDS sets the health time (default 20),
// TARVEX_UPGRADE_LOAD_SECONDS the time the main form has to load (default 60),
// TARVEX_UPGRADE_HEALTH_ATTEMPTS how many starts the new version gets before
// it counts as failed (default 1, at most 10): a watch is one of them.
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
    static int loadSeconds();
    static int startAttempts();

private:
    // 1 when the launcher has ended (how, and whether it crashed), 0 while it
    // runs, -1 when it cannot be watched.
    int pollExit(bool &isCrash, QString &strHow);
    void killLauncher();
    void release();

    QString m_strLauncherPath;
    QString m_strAppDir;
    QString m_strHealthFile;
    QString m_strFailure;
    qint64 m_pid = -1;
};

#endif // TVX_HEALTHWATCH_H
