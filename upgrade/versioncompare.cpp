#include "upgrade/cupgrade.h"

#include "upgrade/config/serverclusterinfo.h"

#include <QDebug>
#include <QHash>

UpgradeOpError CUpgrade::getUpdateModuleVersion(const QVector<ModuleVersion> &vecLocal,
                                                QVector<ModuleVersion> &vecNeedUpgrade,
                                                QVector<ModuleVersion> &vecServerModuleVersion)
{
    ServerClusterInfo info;
    if (!readServerClusterInfo(strServerClusterCfgPath, info)) {
        qWarning() << "read upgrade server cluster info from cfg failed";
        return UPGRADE_OP_READ_SERVER_CFG_FAILED;
    }
    if (!getVersionInfoFromServer(info, vecServerModuleVersion)) {
        qWarning() << "getVersionInfoFromServer failed";
        return UPGRADE_OP_NETWORK_FAILED;
    }
    vecNeedUpgrade.clear();
    if (!getUpdateModuleInfo(vecLocal, vecServerModuleVersion, vecNeedUpgrade)) {
        qWarning() << "getUpdateModuleInfo failed";
        return UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}

bool CUpgrade::getUpdateModuleInfo(const QVector<ModuleVersion> &vecLocal,
                                   const QVector<ModuleVersion> &vecServerModuleVersion,
                                   QVector<ModuleVersion> &vecNeedUpgrade)
{
    // Every pair of an installed module and a server entry with the same id
    // counts, in installed order and then server order. Indexing the server
    // list by id keeps exactly that order without comparing every pair.
    QHash<QString, QVector<int>> serverIndex;
    serverIndex.reserve(vecServerModuleVersion.size());
    for (int i = 0; i < vecServerModuleVersion.size(); ++i)
        serverIndex[vecServerModuleVersion.at(i).strId].append(i);

    for (const ModuleVersion &local : vecLocal) {
        if (local.nState == 0)
            continue;
        const auto found = serverIndex.constFind(local.strId);
        if (found == serverIndex.cend())
            continue;
        for (int i : found.value()) {
            const ModuleVersion &server = vecServerModuleVersion.at(i);
            if (local.llReleaseDate < server.llReleaseDate)
                vecNeedUpgrade.append(server);
        }
    }
    return true;
}
