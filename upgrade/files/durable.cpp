#include "upgrade/files/durable.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#  include <io.h>
#  include <qt_windows.h>
#else
#  include <cstdio>
#  include <fcntl.h>
#  include <unistd.h>
#endif

namespace Durable {

bool syncDir(const QString &strDir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(strDir)
    return true; // NTFS journals directory changes itself
#else
    const int fd = ::open(QFile::encodeName(strDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool isSynced = ::fsync(fd) == 0;
    ::close(fd);
    return isSynced;
#endif
}

void syncVolume(const QString &strPath)
{
#if defined(Q_OS_LINUX)
    const int fd = ::open(QFile::encodeName(strPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
#elif defined(Q_OS_WIN)
    Q_UNUSED(strPath) // MoveFileExW with MOVEFILE_WRITE_THROUGH already waited
#else
    Q_UNUSED(strPath)
    ::sync();
#endif
}

bool writeFileAtomically(const QString &strPath, const QByteArray &content)
{
    const QString tmpPath = strPath + QLatin1String(".new");
    QFile file(tmpPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "open" << tmpPath << "failed:" << file.errorString();
        return false;
    }
    bool isWritten = file.write(content) == content.size() && file.flush();
#ifdef Q_OS_WIN
    isWritten = isWritten && FlushFileBuffers(HANDLE(_get_osfhandle(file.handle())));
#else
    isWritten = isWritten && ::fsync(file.handle()) == 0;
#endif
    file.close();
    if (!isWritten) {
        qWarning() << "write" << tmpPath << "failed:" << file.errorString();
        QFile::remove(tmpPath);
        return false;
    }
#ifdef Q_OS_WIN
    if (!MoveFileExW(reinterpret_cast<LPCWSTR>(tmpPath.utf16()), reinterpret_cast<LPCWSTR>(strPath.utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
#else
    if (::rename(QFile::encodeName(tmpPath).constData(), QFile::encodeName(strPath).constData()) != 0) {
#endif
        qWarning() << "rename" << tmpPath << "to" << strPath << "failed";
        QFile::remove(tmpPath);
        return false;
    }
    return syncDir(QFileInfo(strPath).absolutePath());
}

} // namespace Durable
