#include "upgrade/cupgrade.h"

#include "platform/http.h"
#include "upgrade/files/archive.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/journal.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QUrl>

#include <limits>

namespace {

// The name comes fully decoded from the URL ("%2e%2e", "%5c", "%00"): it
// must name a file directly inside the temporary directory.
bool isPlainFileName(const QString &name)
{
    return name != QLatin1String(".") && name != QLatin1String("..") && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

// Percent done: 20 once every module is in (the integer quotient), 80 in
// proportion to the bytes received against the announced total. Without a
// positive total there is nothing to measure against. A packet larger than
// announced goes beyond 80, even beyond 100; far beyond, the value stops at
// the end of the int range instead of leaving it.
bool downloadProgress(int nFinished, int nCount, double dDownloaded, double dTotal, int &nProgress)
{
    if (!(dTotal > 0))
        return false;
    const int q = nCount > 0 ? nFinished / nCount : 0;
    const double value = q * 20 + dDownloaded / dTotal * 80.0;
    if (!(value < 2147483648.0))
        nProgress = std::numeric_limits<int>::max();
    else if (!(value > -2147483649.0))
        nProgress = std::numeric_limits<int>::min();
    else
        nProgress = int(value);
    return true;
}

} // namespace

UpgradeOpError CUpgrade::getUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    const UpgradeOpError result = downloadUpgradePacket(vecModules);
    if (result != UPGRADE_OP_SUCCESS)
        removeTmpDir();
    return result;
}

bool CUpgrade::createTmpDirForUpgrade()
{
    if (strTmpDir.isEmpty()) {
        qWarning() << "tmp dir is null";
        return false;
    }
    return QDir().mkpath(strTmpDir);
}

UpgradeOpError CUpgrade::downloadUpgradePacket(const QVector<ModuleVersion> &vecModules)
{
    if (vecModules.isEmpty()) {
        qWarning() << "no module need update";
        return UPGRADE_OP_NO_MODULE_NEED_UPDATE;
    }

    nFinishedCount = 0;
    dDownloadedSize = 0;
    nModuleCount = vecModules.size();
    dTotalSize = 0;
    for (const ModuleVersion &module : vecModules)
        dTotalSize += module.dSize * 1024.0 * 1024.0;
    nLastProgress = 0;

    // An apply that could not be rolled back completely still needs its
    // backup: no new download until it is finished.
    if (hasUnfinishedTransaction(strTmpDir)) {
        qWarning() << "an unfinished upgrade transaction in" << strTmpDir << "must be finished first";
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    if (!createTmpDirForUpgrade()) {
        qWarning() << "createTmpDirForUpgrade failed";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }
    // Nothing of an earlier staging mixes into this one, and the packet
    // appears under its name only once every module is unpacked.
    const QString partialDir = partialPacketDir();
    if (!clearStaging(strTmpDir) || !QDir().mkpath(partialDir)) {
        qWarning() << "mkdir " << strPacketDir << " failed!";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }

    for (const ModuleVersion &module : vecModules) {
        CHttp http;
        http.InitData();
        http.setTimeOut(nTimeOut1, nTimeOut2, nTimeOut3);

        const QString fileName = QUrl(module.strUrl, QUrl::TolerantMode).fileName();
        if (fileName.isEmpty())
            return UPGRADE_OP_NETWORK_FAILED;
        if (!isPlainFileName(fileName)) {
            qWarning() << "packet file name " << fileName << " of " << module.strUrl << " refused";
            return UPGRADE_OP_NETWORK_FAILED;
        }
        // A packet file named like the staging's own entries would take
        // their place: refused as a file that cannot be written there.
        if (isReservedTmpEntryName(fileName))
            return UPGRADE_OP_WRITE_FILE_FAILED;
        const QString localPath = strTmpDir + QDir::separator() + fileName;

        if (fileDownload.isOpen())
            fileDownload.close();
        fileDownload.setFileName(localPath);
        // Unbuffered: each block goes to disk as it comes, and a failed write
        // shows in the callback instead of at close.
        if (!fileDownload.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return UPGRADE_OP_WRITE_FILE_FAILED;

        DonwloadFileParam param;
        param.pfnWriteData = &CUpgrade::writeDownloadData;
        param.pUserData = this;
        param.pExtra = nullptr;
        const HTTP_ERROR error = http.DownloadFile(module.strUrl, param);
        if (fileDownload.isOpen())
            fileDownload.close();
        if (error != HTTP_SUCCESS) {
            qWarning() << "get " << module.strUrl << " failed";
            return UPGRADE_OP_NETWORK_FAILED;
        }

        if (!do7z(str7zPath, localPath, partialDir)) {
            qWarning() << "do7z " << localPath << " to " << strPacketDir << " failed!";
            return UPGRADE_OP_DO7Z_FAILED;
        }
        ++nFinishedCount;
    }
    if (!QDir().rename(partialDir, strPacketDir)) {
        qWarning() << "mkdir " << strPacketDir << " failed!";
        return UPGRADE_OP_CREATE_DIR_FAILED;
    }

    if (!testCanUpgrade()) {
        qWarning() << "test can upgrade failed!";
        return UPGRADE_OP_TEST_CAN_UPGRADE_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}

quint64 CUpgrade::writeDownloadData(const void *data, quint64 size, quint64 count, void *context)
{
    CUpgrade *self = static_cast<CUpgrade *>(context);
    if (!self)
        return 0;
    if (self->isStop)
        return 0;
    if (size != 0 && count > quint64(std::numeric_limits<qint64>::max()) / size)
        return 0;
    const quint64 bytes = size * count;
    if (bytes == 0)
        return 0;

    if (self->fileDownload.write(static_cast<const char *>(data), qint64(bytes)) != qint64(bytes))
        return 0;
    self->dDownloadedSize += double(bytes);

    int progress = 0;
    if (downloadProgress(self->nFinishedCount, self->nModuleCount, self->dDownloadedSize, self->dTotalSize, progress)
        && qint64(progress) - self->nLastProgress > 5) {
        Q_EMIT self->signalGetUpgradePacketStatus(UPGRADE_OP_SUCCESS, false, progress);
        self->nLastProgress = progress;
    }
    return bytes;
}
