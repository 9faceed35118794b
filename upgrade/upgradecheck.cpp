#include "upgrade/upgradecheck.h"
#include "upgrade/cupgrade.h"

bool isToolBoxExist()
{
    return false;
}

void checkUpdate(const QString &, CUpgrade *)
{
}

void startGetUpdateModuleVersion(const QString &, CUpgrade *)
{
}
