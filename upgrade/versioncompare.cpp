#include "upgrade/cupgrade.h"
#include "upgrade/transaction/heldback.h"

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
    const UpgradeOpError trusted = checkReleaseTrust(vecServerModuleVersion);
    if (trusted != UPGRADE_OP_SUCCESS)
        return trusted;
    vecNeedUpgrade.clear();
    if (!getUpdateModuleInfo(vecLocal, vecServerModuleVersion, vecNeedUpgrade)) {
        qWarning() << "getUpdateModuleInfo failed";
        return UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED;
    }
    // A version that was reverted after it failed to start is not offered
    // again until a newer one comes.
    filterHeldBack(strAppDir, vecNeedUpgrade);
    return UPGRADE_OP_SUCCESS;
}

bool CUpgrade::getUpdateModuleInfo(const QVector<ModuleVersion> &vecLocal,
                                   const QVector<ModuleVersion> &vecServerModuleVersion,
                                   QVector<ModuleVersion> &vecNeedUpgrade)
{
    // Every pair of an installed module and a server entry with the same id
    // counts, in installed order and then server order. Indexing the server
    // list by id keeps exactly that order without comparing every pair: the
    // index gives the first entry of an id, and next[] chains its later ones.
    const int serverCount = vecServerModuleVersion.size();
    QHash<QString, int> firstOfId;
    firstOfId.reserve(serverCount);
    QVector<int> next(serverCount, -1);
    for (int i = serverCount - 1; i >= 0; --i) {
        int &first = firstOfId[vecServerModuleVersion.at(i).strId];
        next[i] = first - 1;
        first = i + 1; // 0 is the value of an id not seen yet
    }

    for (const ModuleVersion &local : vecLocal) {
        if (local.nState == 0)
            continue;
        for (int i = firstOfId.value(local.strId) - 1; i >= 0; i = next.at(i)) {
            const ModuleVersion &server = vecServerModuleVersion.at(i);
            if (local.llReleaseDate < server.llReleaseDate)
                vecNeedUpgrade.append(server);
        }
    }
    return true;
}
