#include "upgrade/files/tmpdirs.h"

#include "upgrade/files/solutioninfo.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <iterator>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_UNIX
#include <ftw.h>
#include <unistd.h>
#endif

namespace {

// The safe copy does not sync file by file. Before the backup that could
// put the installation back goes away, what the copy wrote must be on disk.
void flushToDisk(const QString &dir)
{
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(dir)
#endif
}

#ifdef Q_OS_UNIX
thread_local bool isEveryEntryRemoved = true;

extern "C" int removeEntry(const char *path, const struct stat *, int type, struct FTW *)
{
    // As QDir::removeRecursively: go on after a failure, report it at the end.
    if ((type == FTW_DP ? ::rmdir(path) : ::unlink(path)) != 0)
        isEveryEntryRemoved = false;
    return 0;
}
#endif

} // namespace

bool removeDirTree(const QString &path)
{
    // "" would name the current directory, the installation itself.
    if (path.isEmpty())
        return false;

    // A trailing separator would make the file system look through a link.
    QString clean = path;
    while (clean.size() > 1 && (clean.endsWith(QLatin1Char('/')) || clean.endsWith(QDir::separator())))
        clean.chop(1);

    const QFileInfo info(clean);
    if (info.isSymLink())
        return QFile::remove(clean);
    if (!info.isDir())
        return true;
#ifdef Q_OS_UNIX
    // Qt's listing leaves out names it cannot decode, and then their
    // directory cannot go either: a packet refused for such a name would
    // stay behind. The file system's own walk sees every name; it never
    // follows a link.
    isEveryEntryRemoved = true;
    const int walked = ::nftw(QFile::encodeName(clean).constData(), removeEntry, 32, FTW_DEPTH | FTW_PHYS);
    return walked == 0 && isEveryEntryRemoved;
#else
    return QDir(clean).removeRecursively();
#endif
}

bool rollbackSafeCopy(const CopyDirParam &param, const QString &backupDir, const QString &dstDir)
{
    const QVector<QString> &created = param.vecCreatedPath;
    for (auto it = created.crbegin(); it != created.crend(); ++it) {
        const QFileInfo info(*it);
        if (info.isFile())
            QFile::remove(*it);
        else if (info.isDir())
            removeDirTree(*it);
    }

    const bool isRestored = safeCopyDir(backupDir, dstDir, COPY_DIR_CONTINUE_ON_ERROR, nullptr);

    // The backup holds a directory for every source directory the copy
    // entered, so copying it back brings back, empty, the directories the
    // copy had created. They did not exist before.
    for (auto it = created.crbegin(); it != created.crend(); ++it) {
        if (it->endsWith(QDir::separator()))
            QDir().rmdir(*it);
    }
    if (isRestored)
        flushToDisk(dstDir);
    return isRestored;
}

UpgradeOpError upgradeTmpDirToDstDir(const QString &strAppDir, const QString &strTmpDir,
                                     const QString &strPacketDir, const QString &strBackupDir)
{
    qDebug() << "Upgrade Tmp Dir To DstDir";
    // The backup must hold only what this copy replaces.
    removeDirTree(strBackupDir);

    CopyDirParam param;
    param.strBackupDir = strBackupDir;
    if (safeCopyDir(strPacketDir, strAppDir, COPY_DIR_SAFETY, &param)) {
        qDebug() << "copyDir success";
        flushToDisk(strAppDir);
        removeDirTree(strTmpDir);
        return UPGRADE_OP_SUCCESS;
    }

    qWarning() << "copyDir failed";
    // Without a complete copy back the backup is the only copy of the
    // replaced files: the temporary directory stays.
    if (rollbackSafeCopy(param, strBackupDir, strAppDir))
        removeDirTree(strTmpDir);
    return UPGRADE_OP_WRITE_FILE_FAILED;
}

bool deleteTmpDir(const QString &strBaseDir)
{
    const QString tmpDir = strBaseDir + QLatin1String("Tmp/");
    if (!removeDirTree(tmpDir)) {
        qWarning() << "Delete " << tmpDir << " failed!";
        return false;
    }
    return true;
}

UpgradeOpError applyPacketToSolutionDir(const QString &strBaseDir, const QString &strSolutionInfoPath)
{
    const QString packetDir = strBaseDir + QLatin1String("Tmp/Packet/");
    if (!QFileInfo::exists(packetDir + QFileInfo(strSolutionInfoPath).fileName()))
        return UPGRADE_OP_NO_MODULE_NEED_UPDATE;

    const QString dstDir = QFileInfo(strSolutionInfoPath).absolutePath();
    const QString backupDir = strBaseDir + QDir::separator() + QLatin1String("Tmp/Backup/");

    removeDirTree(backupDir);
    CopyDirParam param;
    param.strBackupDir = backupDir;
    UpgradeOpError result = UPGRADE_OP_SUCCESS;
    if (safeCopyDir(packetDir, dstDir, COPY_DIR_SAFETY, &param)) {
        qDebug() << "copyDir success";
        flushToDisk(dstDir);
    } else {
        qWarning() << "copyDir failed";
        result = UPGRADE_OP_WRITE_FILE_FAILED;
        if (!rollbackSafeCopy(param, backupDir, dstDir))
            return result;
    }

    if (!deleteTmpDir(strBaseDir))
        qWarning() << "Delete " << strBaseDir << "'s tmp dir failed!";
    return result;
}
