#ifndef TVX_DEMOMAINWINDOW_H
#define TVX_DEMOMAINWINDOW_H

#include "upgradecontroller.h"

#include <QWidget>

class CElidedLabel;
class QGridLayout;
class QProgressBar;
class QPushButton;

// The demo main form: the installed modules, the check, the modules that
// need an upgrade, the download with its progress, and the way out with a
// result code for the launcher. All the upgrade logic is the controller's.
class CDemoMainWindow : public QWidget
{
    Q_OBJECT

public:
    enum LauncherResult {
        ResultRestart = 1,
        ResultUpgrade = 2,
        ResultReload = 3
    };

    CDemoMainWindow(CUpgradeController *pController, const QString &strArguments, QWidget *parent = nullptr);

Q_SIGNALS:
    // The user chose how the main form ends: Run returns nResult.
    void resultChosen(int nResult);

private:
    void refresh();
    void showInstalledModules();
    void showNeedUpgrade();

    CUpgradeController *m_pController;
    QGridLayout *m_pInstalledGrid = nullptr;
    QGridLayout *m_pNeedGrid = nullptr;
    QProgressBar *m_pProgress = nullptr;
    CElidedLabel *m_pStatus = nullptr;
    QPushButton *m_pCheck = nullptr;
    QPushButton *m_pDownload = nullptr;
    QPushButton *m_pUpgrade = nullptr;
    CUpgradeController::State m_lastState = CUpgradeController::StateIdle;
};

#endif // TVX_DEMOMAINWINDOW_H
