#include "upgrade/versionquery.h"
#include "upgrade/cupgrade.h"
#include "upgrade/config/serverclusterinfo.h"

VersionRequest buildVersionRequest(const ServerClusterInfo &, qint64)
{
    return VersionRequest();
}

bool readVersionAnswer(const QByteArray &, QVector<ModuleVersion> &)
{
    return false;
}

bool CUpgrade::getVersionInfoFromServer(const ServerClusterInfo &, QVector<ModuleVersion> &)
{
    return false;
}
