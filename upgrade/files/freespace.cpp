#include "upgrade/files/freespace.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

qint64 dirTreeSize(const QString &path, int &count)
{
    const QDir dir(path);
    qint64 total = 0;
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::NoSort);
    for (const QFileInfo &file : files) {
        total += file.size();
        ++count;
    }

    const QFileInfoList subDirs = dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &subDir : subDirs) {
        // A link to a directory is not descended: the tree it names is
        // measured where it really lies, and a cycle of links cannot make
        // the walk endless.
        if (subDir.isSymLink())
            continue;
        const QString subPath = path + QDir::separator() + subDir.fileName();
        total += dirTreeSize(subPath, count);
        qDebug() << subPath << " size is " << total;
    }
    return total;
}

} // namespace

bool isAppFileWritable()
{
    const QFileInfo appFile(QCoreApplication::applicationFilePath());
    return appFile.exists() && appFile.isWritable();
}

qint64 getDirSize(const QString &path, int &count)
{
    const QFileInfo info(path);
    if (info.isFile()) {
        count = 1;
        return info.size();
    }
    if (info.isDir())
        return dirTreeSize(path, count);
    return 0;
}

qint64 getDiskFreeSpace(const QString &path)
{
    const QStorageInfo storage(path);
    return storage.isValid() ? storage.bytesAvailable() : 0;
}

bool isDiskSpaceEnough(qint64 llFree, qint64 llTotal)
{
    if (llTotal <= 0)
        return true;
    // free >= 2 * total, without the product that could overflow.
    return llFree >= llTotal && llFree - llTotal >= llTotal;
}

bool testCanUpgrade(const QString &strAppDir, const QString &strTmpDir, const QString &strBackupDir)
{
    if (!isAppFileWritable()) {
        qWarning() << "app dir can not be write";
        return false;
    }
    qDebug() << "app dir can be write";

    int count = 0;
    const qint64 total = getDirSize(strTmpDir, count);
    qDebug() << count << "files in directory, toatal size is " << total;

    const qint64 free = getDiskFreeSpace(strAppDir);
    qDebug() << "RemainSize size is " << free;
    if (!isDiskSpaceEnough(free, total)) {
        qWarning() << "Driver space does not enough";
        return false;
    }

    if (!QDir(strBackupDir).exists() && !QDir().mkdir(strBackupDir)) {
        qWarning() << "mkdir " << strBackupDir << " failed!";
        return false;
    }
    return true;
}
