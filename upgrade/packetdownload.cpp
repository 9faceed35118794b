#include "upgrade/cupgrade.h"

UpgradeOpError CUpgrade::getUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    const UpgradeOpError result = downloadUpgradePacket(vecModules);
    if (result != UPGRADE_OP_SUCCESS)
        removeTmpDir();
    return result;
}

UpgradeOpError CUpgrade::downloadUpgradePacket(const QVector<ModuleVersion> &)
{
    return UPGRADE_OP_NETWORK_FAILED;
}

bool CUpgrade::createTmpDirForUpgrade()
{
    return false;
}

quint64 CUpgrade::writeDownloadData(const void *, quint64, quint64, void *)
{
    return 0;
}
