#include "upgrade/upgradecheck.h"

#include "platform/platformnames.h"
#include "upgrade/cupgrade.h"
#include "upgrade/files/solutioninfo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

bool isToolBoxExist()
{
    return isToolBoxExist(QCoreApplication::applicationDirPath());
}

bool isToolBoxExist(const QString &strAppDir)
{
    QDir dir(strAppDir);
    if (!dir.cd(QStringLiteral("../../")))
        return false;
    // Any entry of that name counts, a directory included.
    return QFileInfo::exists(dir.absolutePath() + QDir::separator() + PlatformNames::toolBoxFileName());
}

void checkUpdate(const QString &strSolutionInfoPath, CUpgrade *pUpgrade)
{
    if (!isToolBoxExist())
        startGetUpdateModuleVersion(strSolutionInfoPath, pUpgrade);
}

void startGetUpdateModuleVersion(const QString &strSolutionInfoPath, CUpgrade *pUpgrade)
{
    if (!pUpgrade) {
        qWarning() << "startGetUpdateModuleVersion without an upgrade engine";
        return;
    }
    if (pUpgrade->isRunning()) {
        qInfo() << "last upgrade is running now";
        return;
    }
    QVector<ModuleVersion> vecModuleVersion;
    if (!getModuleVersionFromSolutionInfoFile(strSolutionInfoPath, vecModuleVersion)) {
        qWarning() << "getModuleVersionFromSolutionInfoFile from" << strSolutionInfoPath << " failed!";
        return;
    }
    // A check must not keep the caller waiting as long as a download may.
    TimeOutParam timeOut;
    timeOut.nTimeOut1 = 5000;
    timeOut.nTimeOut2 = 512;
    timeOut.nTimeOut3 = 20;
    pUpgrade->setHttpTimeOut(timeOut);
    pUpgrade->setOpMode(CUpgrade::OP_MODE_GET_UPDATE_MODULE_VERSION);
    pUpgrade->setLocalModuleVersion(vecModuleVersion);
    pUpgrade->setSolutionInfoPath(strSolutionInfoPath);
    pUpgrade->start(QThread::InheritPriority);
}
