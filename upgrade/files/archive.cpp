#include "upgrade/files/archive.h"

#include <QDebug>
#include <QProcess>
#include <QStringList>

bool do7z(const QString &str7zPath, const QString &strArchivePath, const QString &strOutDir)
{
    const QStringList args = { QStringLiteral("x"), strArchivePath, QLatin1String("-o") + strOutDir,
                               QStringLiteral("-aoa") };

    QProcess process;
    // Nobody reads the tool's listing; let it go nowhere instead of piling up
    // in the process buffer. Its error stream is kept for the log.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(str7zPath, args, QIODevice::ReadWrite);
    if (!process.waitForStarted(-1)) {
        qWarning() << "7z " << args << " start failed! error is " << process.errorString();
        return false;
    }
    // An encrypted archive makes the tool ask for a password on its standard
    // input; an open pipe would keep it waiting forever. End of input makes
    // it give up instead.
    process.closeWriteChannel();
    process.waitForFinished(-1);

    if (process.exitStatus() != QProcess::NormalExit) {
        qWarning() << "excute 7z " << args << " failed!";
        return false;
    }
    // Any code but 0 means the tool skipped or refused something (2: corrupt
    // archive, dangerous link path, wrong password): the packet is incomplete.
    const int exitCode = process.exitCode();
    if (exitCode != 0) {
        const QString errorText = QString::fromLocal8Bit(process.readAllStandardError()).simplified();
        qWarning() << "excute 7z " << args << " failed! exit code is " << exitCode << errorText.left(1024);
        return false;
    }
    qDebug() << "excute 7z " << args << " finished!";
    return true;
}
