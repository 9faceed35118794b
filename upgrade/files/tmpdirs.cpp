#include "upgrade/files/tmpdirs.h"


#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <iterator>

#ifdef Q_OS_UNIX
#include <ftw.h>
#include <unistd.h>
#endif

namespace {

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

bool deleteTmpDir(const QString &strBaseDir)
{
    const QString tmpDir = strBaseDir + QLatin1String("Tmp/");
    if (!removeDirTree(tmpDir)) {
        qWarning() << "Delete " << tmpDir << " failed!";
        return false;
    }
    return true;
}
