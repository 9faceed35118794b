#ifndef TVX_DEMOMAINWINDOW_H
#define TVX_DEMOMAINWINDOW_H

#include "upgradecontroller.h"

#include <QWidget>

class CUpdatePanel;
class QGridLayout;

// The demo main form: the installed modules, the product's update panel,
// and the way out with a result code for the launcher. All the upgrade
// screens are the panel's.
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

    CUpdatePanel *updatePanel() const { return m_pPanel; }

Q_SIGNALS:
    // The user chose how the main form ends: Run returns nResult.
    void resultChosen(int nResult);

private:
    void showInstalledModules();

    CUpgradeController *m_pController;
    QGridLayout *m_pInstalledGrid = nullptr;
    CUpdatePanel *m_pPanel = nullptr;
    QStringList m_listShown;
};

#endif // TVX_DEMOMAINWINDOW_H
