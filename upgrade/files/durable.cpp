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

bool flush(QFileDevice &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(HANDLE(_get_osfhandle(file.handle())));
#else
    return ::fsync(file.handle()) == 0;
#endif
}

bool flushPath(const QString &strPath)
{
    QFile file(strPath);
#ifdef Q_OS_WIN
    // FlushFileBuffers needs a handle with write access.
    return file.open(QIODevice::ReadWrite) && flush(file);
#else
    return file.open(QIODevice::ReadOnly) && flush(file);
#endif
}

bool rename(const QString &strFrom, const QString &strTo)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<LPCWSTR>(strFrom.utf16()), reinterpret_cast<LPCWSTR>(strTo.utf16()),
                       MOVEFILE_WRITE_THROUGH);
#else
    return ::rename(QFile::encodeName(strFrom).constData(), QFile::encodeName(strTo).constData()) == 0;
#endif
}

bool append(const QString &strPath, const QByteArray &content)
{
    QFile file(strPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(content) == content.size()
        && flush(file);
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
    const bool isWritten = file.write(content) == content.size() && flush(file);
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
