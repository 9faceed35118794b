#ifndef TVX_UNATTENDEDRUN_H
#define TVX_UNATTENDEDRUN_H

#include "upgrade/files/upgradetypes.h"

#include <QObject>
#include <QString>

class CUpgradeController;

// Prints a step of the main form on stdout at once (stdout may be a pipe or
// a file shared with the processes that follow) and logs it.
void printStep(const QString &strText);

// The main form without clicks, for headless runs (TARVEX_DEMO_UNATTENDED=1):
// check, download and hand over to the upgrader, printing each step.
//
// The launcher that the upgrader starts again inherits the environment and
// runs unattended too. It finds nothing to upgrade after an upgrade that
// took; after one that did not, it finds the same upgrade again and must
// not hand over a second time, or the loop would never end: the hand-over
// leaves a mark in the environment for that (TARVEX_DEMO_HANDED_OVER).
class CUnattendedRun : public QObject
{
    Q_OBJECT

public:
    // Result codes of Run: 0 and 2 mean what they mean to the launcher; the
    // others are no launcher action, so the launcher simply ends with them.
    enum Result {
        ResultUpToDate = 0,
        ResultHandOver = 2,
        ResultNotApplied = 99,  // an earlier hand-over of this run did not take
        ResultFailedBase = 100  // + the UpgradeOpError of the failed step
    };

    explicit CUnattendedRun(CUpgradeController *pController, QObject *parent = nullptr);

    // Starts the check from the event loop.
    void start();

    bool isFinished() const { return m_isFinished; }
    int result() const { return m_nResult; }
    // "up-to-date", "handed-over", "not-applied", "check-failed", "download-failed", "left-to-toolbox"
    QString outcome() const { return m_strOutcome; }

    static const char *handedOverVariable() { return "TARVEX_DEMO_HANDED_OVER"; }

Q_SIGNALS:
    void finished(int nResult);

private:
    void runCheck();
    void onCheckFinished(UpgradeOpError result);
    void onProgressChanged(int nProgress);
    void onDownloadFinished(UpgradeOpError result);
    void finish(int nResult, const QString &strOutcome);

    CUpgradeController *m_pController;
    bool m_isFinished = false;
    int m_nResult = -1;
    QString m_strOutcome;
};

// "DemoModule 2.0, Other 1.1"
QString describeVersions(const QVector<ModuleVersion> &vecModules);

#endif // TVX_UNATTENDEDRUN_H
