#include "upgrade/cupgrade.h"

#include <QCoreApplication>
#include <QDebug>
#include <QProcess>
#include <QStringList>

bool CUpgrade::startUpgrade(const QString &strTmpDir)
{
    const CInstallLayout layout(QCoreApplication::applicationDirPath());
    const QString program = layout.upgraderProgram();
    const QString tmpDir = strTmpDir.isEmpty() ? layout.tmpDir() : strTmpDir;
    const QStringList arguments{tmpDir, QCoreApplication::applicationFilePath()};

    if (QProcess::startDetached(program, arguments)) {
        QCoreApplication::quit();
        return true;
    }
    qWarning() << "start upgrade failed!";
    return false;
}
