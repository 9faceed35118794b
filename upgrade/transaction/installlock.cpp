#include "upgrade/transaction/installlock.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#else
#  include <cerrno>
#  include <cstring>
#  include <fcntl.h>
#  include <sys/file.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace {

QString readOwner(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(64)).trimmed();
}

} // namespace

CInstallLock::CInstallLock(const QString &strAppDir)
    : m_strPath(lockFilePath(strAppDir))
{
}

CInstallLock::~CInstallLock()
{
    unlock();
}

QString CInstallLock::lockFilePath(const QString &strAppDir)
{
    return QDir(strAppDir).absoluteFilePath(QStringLiteral(".upgrade.lock"));
}

QString CInstallLock::refusalText() const
{
    if (!m_isHeldElsewhere)
        return QStringLiteral("the lock file %1 cannot be used").arg(QDir::toNativeSeparators(m_strPath));
    return QStringLiteral("another upgrade operation%1 is working on this installation; try again when it "
                          "has ended")
        .arg(m_strOwner.isEmpty() ? QString() : QStringLiteral(" (process %1)").arg(m_strOwner));
}

#ifdef Q_OS_WIN

bool CInstallLock::tryLock()
{
    if (isLocked())
        return true;
    m_isHeldElsewhere = false;
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(m_strPath.utf16()), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED overlapped = {};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &overlapped)) {
        CloseHandle(handle);
        m_isHeldElsewhere = true;
        m_strOwner = readOwner(m_strPath);
        return false;
    }
    m_fd = qintptr(handle);
    writeOwner();
    return true;
}

bool CInstallLock::adoptInherited()
{
    bool isNumber = false;
    const qint64 value = qEnvironmentVariable(inheritedVariable()).toLongLong(&isNumber);
    qunsetenv(inheritedVariable());
    if (!isNumber || value <= 0)
        return false;
    SetHandleInformation(HANDLE(value), HANDLE_FLAG_INHERIT, 0);
    m_fd = qintptr(value);
    writeOwner();
    return true;
}

bool CInstallLock::passToChildren()
{
    if (!isLocked() || !SetHandleInformation(HANDLE(m_fd), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return false;
    m_isPassedOn = true;
    return qputenv(inheritedVariable(), QByteArray::number(qint64(m_fd)));
}

void CInstallLock::unlock()
{
    if (!isLocked())
        return;
    if (!m_isPassedOn)
        DeleteFileW(reinterpret_cast<LPCWSTR>(m_strPath.utf16()));
    CloseHandle(HANDLE(m_fd));
    m_fd = -1;
}

void CInstallLock::writeOwner()
{
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    DWORD written = 0;
    OVERLAPPED overlapped = {};
    overlapped.Offset = 1; // byte 0 is the locked one
    WriteFile(HANDLE(m_fd), pid.constData(), DWORD(pid.size()), &written, &overlapped);
}

#else

bool CInstallLock::tryLock()
{
    if (isLocked())
        return true;
    m_isHeldElsewhere = false;
    const QByteArray path = QFile::encodeName(m_strPath);
    // The previous holder removes the file just before it lets go: a lock on
    // a file that no longer has this name protects nothing. Try again on the
    // new file; bounded, as each round means another process got in between.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            qWarning() << "open lock file" << m_strPath << "failed:" << std::strerror(errno);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) {
                m_isHeldElsewhere = true;
                m_strOwner = readOwner(m_strPath);
                return false;
            }
            qWarning() << "lock" << m_strPath << "failed:" << std::strerror(error);
            return false;
        }
        struct stat byFd;
        struct stat byName;
        if (::fstat(fd, &byFd) == 0 && ::stat(path.constData(), &byName) == 0 && byFd.st_dev == byName.st_dev
            && byFd.st_ino == byName.st_ino) {
            m_fd = fd;
            writeOwner();
            return true;
        }
        ::close(fd);
    }
    return false;
}

bool CInstallLock::adoptInherited()
{
    bool isNumber = false;
    const int fd = qEnvironmentVariable(inheritedVariable()).toInt(&isNumber);
    // Not for the processes this one starts in turn.
    qunsetenv(inheritedVariable());
    if (!isNumber || fd < 0)
        return false;
    struct stat byFd;
    struct stat byName;
    // Only a descriptor of this installation's lock file, still locked: a
    // stray number in the environment must not be taken for a lock.
    if (::fstat(fd, &byFd) != 0 || ::stat(QFile::encodeName(m_strPath).constData(), &byName) != 0
        || byFd.st_dev != byName.st_dev || byFd.st_ino != byName.st_ino) {
        return false;
    }
    // Same open file as the parent's: locking again succeeds at once and
    // confirms that the lock is still there.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    m_fd = fd;
    writeOwner();
    return true;
}

bool CInstallLock::passToChildren()
{
    if (!isLocked())
        return false;
    const int flags = ::fcntl(int(m_fd), F_GETFD);
    if (flags < 0 || ::fcntl(int(m_fd), F_SETFD, flags & ~FD_CLOEXEC) != 0)
        return false;
    m_isPassedOn = true;
    return qputenv(inheritedVariable(), QByteArray::number(qint64(m_fd)));
}

void CInstallLock::unlock()
{
    if (!isLocked())
        return;
    // Removed while still locked: whoever opens the name afterwards gets a
    // new file, which the inode check tells apart.
    if (!m_isPassedOn)
        ::unlink(QFile::encodeName(m_strPath).constData());
    ::close(int(m_fd));
    m_fd = -1;
}

void CInstallLock::writeOwner()
{
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    if (::ftruncate(int(m_fd), 0) == 0 && ::pwrite(int(m_fd), pid.constData(), size_t(pid.size()), 0) < 0)
        qDebug() << "write owner of" << m_strPath << "failed";
}

#endif
