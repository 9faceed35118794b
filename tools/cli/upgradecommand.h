#ifndef TVX_UPGRADECOMMAND_H
#define TVX_UPGRADECOMMAND_H

#include "report.h"

#include <QEventLoop>
#include <QObject>

class CUpgrade;

// Drives one engine the way an embedding caller does: connects to its
// signals (queued), starts one operation, and runs an event loop until that
// operation's signal has arrived. The engine must be fresh, and must not be
// used by anything else meanwhile.
class CUpgradeCommand : public QObject
{
    Q_OBJECT

public:
    explicit CUpgradeCommand(CUpgrade *pUpgrade, QObject *parent = nullptr);

    CommandReport check(const QString &strSolutionInfoPath);
    // The check, then the download of what needs an upgrade, then the new
    // module versions staged into the packet.
    CommandReport download(const QString &strSolutionInfoPath);
    CommandReport apply();

    // A download in progress ends at its next block of data; one that has
    // not started yet is not started.
    void requestStop();
    bool isStopRequested() const { return m_isStopRequested; }

Q_SIGNALS:
    void checkFinished(const CommandReport &report);
    void progressChanged(int nProgress);

private:
    void onCheckFinished(UpgradeOpError upgradeOpErr, const QVector<ModuleVersion> &vecNeedUpgrade,
                         const QVector<ModuleVersion> &vecServerModuleVersion);
    void onPacketStatus(UpgradeOpError upgradeOpErr, bool isFinished, int nProgress);
    void onUpgradeFinish(UpgradeOpError upgradeOpErr);
    void waitForOperation();

    CUpgrade *m_pUpgrade;
    QEventLoop m_loop;
    bool m_isStopRequested = false;
    bool m_isOperationDone = false;
    UpgradeOpError m_result = UPGRADE_OP_SUCCESS;
    QVector<ModuleVersion> m_vecNeedUpgrade;
    QVector<ModuleVersion> m_vecServerModuleVersion;
    int m_nProgress = 0;
};

#endif // TVX_UPGRADECOMMAND_H
