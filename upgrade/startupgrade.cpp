#include "upgrade/cupgrade.h"

#include "platform/platformnames.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QStringList>

bool CUpgrade::startUpgrade(const QString &strTmpDir)
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QChar sep = QDir::separator();
    const QString program = appDir + sep + QLatin1String("Upgrade/") + PlatformNames::upgraderFileName();
    const QString tmpDir = strTmpDir.isEmpty() ? appDir + sep + QLatin1String("Tmp") : strTmpDir;
    const QStringList arguments{tmpDir, QCoreApplication::applicationFilePath()};

    if (QProcess::startDetached(program, arguments)) {
        QCoreApplication::quit();
        return true;
    }
    qWarning() << "start upgrade failed!";
    return false;
}
