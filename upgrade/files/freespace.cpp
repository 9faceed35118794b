#include "upgrade/files/freespace.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

#include <algorithm>
#include <limits>
#include <vector>

namespace {

void reportSubDirs(const QString &path, std::vector<QString> &subDirs, qint64 &total, int &count);

#ifdef Q_OS_UNIX
// The same walk as QDir with QDir::Files | QDir::Hidden and then QDir::Dirs
// | QDir::Hidden | QDir::NoDotAndDotDot would make, in one pass over each
// directory and one stat per file, relative to the open directory: a
// directory of many files is measured about as fast as du does.
qint64 dirTreeSize(const QString &path, int &count)
{
    DIR *dir = ::opendir(QFile::encodeName(path).constData());
    if (!dir)
        return 0;
    const int fd = ::dirfd(dir);
    qint64 total = 0;
    std::vector<QString> subDirs;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        if (entry->d_type == DT_DIR) {
            subDirs.push_back(QFile::decodeName(name));
            continue;
        }
        // Files are measured through links, as QFileInfo::size does;
        // dangling links, sockets, pipes and devices are not files.
        struct stat st;
        if (::fstatat(fd, name, &st, 0) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            total += st.st_size;
            ++count;
        } else if (S_ISDIR(st.st_mode)) {
            struct stat own;
            // A link to a directory is not descended: the tree it names is
            // measured where it really lies, and a cycle of links cannot
            // make the walk endless.
            if (entry->d_type == DT_UNKNOWN && ::fstatat(fd, name, &own, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISDIR(own.st_mode))
                subDirs.push_back(QFile::decodeName(name));
        }
    }
    ::closedir(dir);
    reportSubDirs(path, subDirs, total, count);
    return total;
}
#else
qint64 dirTreeSize(const QString &path, int &count)
{
    const QDir dir(path);
    qint64 total = 0;
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::NoSort);
    for (const QFileInfo &file : files) {
        total += file.size();
        ++count;
    }
    std::vector<QString> subDirs;
    const QFileInfoList dirs = dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &subDir : dirs) {
        // Links to directories are not descended (see above).
        if (!subDir.isSymLink())
            subDirs.push_back(subDir.fileName());
    }
    reportSubDirs(path, subDirs, total, count);
    return total;
}
#endif

// Subdirectories in QDir's default order, by name ignoring case; each one's
// debug message carries the running total of the directory being measured.
void reportSubDirs(const QString &path, std::vector<QString> &subDirs, qint64 &total, int &count)
{
    std::sort(subDirs.begin(), subDirs.end(), [](const QString &a, const QString &b) {
        const int r = a.compare(b, Qt::CaseInsensitive);
        return r != 0 ? r < 0 : a < b;
    });
    for (const QString &name : subDirs) {
        const QString subPath = path + QDir::separator() + name;
        total += dirTreeSize(subPath, count);
        qDebug() << subPath << " size is " << total;
    }
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

// QStorageInfo identifies the volume through the mount table and finds none
// where the root of the file system is not itself a mount point (a chroot, some
// containers). The file system still answers for the path itself.
static qint64 fileSystemBytesAvailable(const QString &path)
{
#if defined(Q_OS_WIN)
    ULARGE_INTEGER available;
    if (!::GetDiskFreeSpaceExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), &available,
                               nullptr, nullptr))
        return -1;
    return available.QuadPart > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                            : qint64(available.QuadPart);
#elif defined(Q_OS_UNIX)
    struct statvfs st;
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    // Blocks available to an unprivileged caller, as bytesAvailable counts them.
    const quint64 blocks = st.f_bavail;
    const quint64 blockSize = st.f_frsize ? st.f_frsize : st.f_bsize;
    if (blockSize != 0 && blocks > quint64(std::numeric_limits<qint64>::max()) / blockSize)
        return std::numeric_limits<qint64>::max();
    return qint64(blocks * blockSize);
#else
    Q_UNUSED(path);
    return -1;
#endif
}

qint64 getDiskFreeSpace(const QString &path)
{
    const QStorageInfo storage(path);
    if (storage.isValid())
        return storage.bytesAvailable();
    const qint64 available = fileSystemBytesAvailable(path);
    return available >= 0 ? available : 0;
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
