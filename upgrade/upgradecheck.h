#ifndef TVX_UPGRADECHECK_H
#define TVX_UPGRADECHECK_H

#include <QString>

class CUpgrade;

// True when the toolbox program stands two directory levels above the application directory.
bool isToolBoxExist();
// The same test for another application directory.
bool isToolBoxExist(const QString &strAppDir);
// Starts the version check unless the toolbox is present.
void checkUpdate(const QString &strSolutionInfoPath, CUpgrade *pUpgrade);
// Reads the installed versions and starts the version check on pUpgrade.
void startGetUpdateModuleVersion(const QString &strSolutionInfoPath, CUpgrade *pUpgrade);

#endif // TVX_UPGRADECHECK_H
