#include "upgrade/cupgrade.h"

UpgradeOpError CUpgrade::getUpdateModuleVersion(const QVector<ModuleVersion> &, QVector<ModuleVersion> &,
                                                QVector<ModuleVersion> &)
{
    return UPGRADE_OP_READ_SERVER_CFG_FAILED;
}

bool CUpgrade::getUpdateModuleInfo(const QVector<ModuleVersion> &, const QVector<ModuleVersion> &,
                                   QVector<ModuleVersion> &)
{
    return true;
}
