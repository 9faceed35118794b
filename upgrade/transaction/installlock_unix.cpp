// The installation's lock on POSIX systems: flock() on the application
// directory itself, which nobody can delete while the installation is in
// use. A lock on a file in it could be deleted away: whoever came next
// would create and lock a new file while the first holder still worked.

#include "upgrade/transaction/installlock.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isSameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QString errorText(int error)
{
    if (error == ENAMETOOLONG) {
        return QStringLiteral("its path is longer than this system allows (%1 bytes); move it to a shorter path")
            .arg(PATH_MAX);
    }
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

bool CInstallLock::tryLock()
{
    if (isLocked())
        return true;
    m_isHeldElsewhere = false;
    m_strError.clear();
    const int fd = ::open(QFile::encodeName(m_strAppDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        m_strError = errorText(errno);
        qWarning() << "open installation directory" << m_strAppDir << "failed:" << m_strError;
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            m_isHeldElsewhere = true;
            m_strOwner = readOwner();
        } else {
            m_strError = errorText(error);
            qWarning() << "lock" << m_strAppDir << "failed:" << m_strError;
        }
        return false;
    }
    m_handle = fd;
    writeOwner();
    return true;
}

bool CInstallLock::adoptInherited()
{
    const qint64 value = takeInheritedValue();
    if (value < 0 || value > INT_MAX || isLocked())
        return false;
    const int fd = int(value);
    struct stat byFd;
    struct stat byName;
    if (::fstat(fd, &byFd) != 0)
        return false;
    // Only this installation's lock: a stray number in the environment must
    // not be taken for one. Locking the same open directory again succeeds
    // at once and confirms that the lock is still there.
    if (S_ISDIR(byFd.st_mode)) {
        if (::stat(QFile::encodeName(m_strAppDir).constData(), &byName) != 0 || !isSameFile(byFd, byName)
            || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            return false;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        m_handle = fd;
        writeOwner();
        return true;
    }
    // An older launcher locked the file .upgrade.lock and passed that on.
    // Its tools, until the apply replaces them, still look at that file: it
    // stays locked while this process works, and the directory is locked too.
    if (S_ISREG(byFd.st_mode) && ::stat(QFile::encodeName(m_strPath).constData(), &byName) == 0
        && isSameFile(byFd, byName) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        m_legacyHandle = fd;
        if (tryLock())
            return true;
        ::close(fd);
        m_legacyHandle = InvalidHandle;
    }
    return false;
}

bool CInstallLock::passToChildren()
{
    if (!isLocked())
        return false;
    const int flags = ::fcntl(int(m_handle), F_GETFD);
    if (flags < 0 || ::fcntl(int(m_handle), F_SETFD, flags & ~FD_CLOEXEC) != 0)
        return false;
    m_isPassedOn = true;
    return qputenv(inheritedVariable(), QByteArray::number(qint64(m_handle)));
}

void CInstallLock::unlock()
{
    if (!isLocked())
        return;
    // The owner's number goes while the lock still holds, so that it never
    // takes away a later holder's.
    if (!m_isPassedOn)
        ::unlink(QFile::encodeName(m_strPath).constData());
    if (m_legacyHandle != InvalidHandle)
        ::close(int(m_legacyHandle));
    m_legacyHandle = InvalidHandle;
    ::close(int(m_handle));
    m_handle = InvalidHandle;
}

void CInstallLock::writeOwner()
{
    const int fd = ::open(QFile::encodeName(m_strPath).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        qDebug() << "write owner to" << m_strPath << "failed:" << std::strerror(errno);
        return;
    }
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    if (::write(fd, pid.constData(), size_t(pid.size())) < 0)
        qDebug() << "write owner to" << m_strPath << "failed:" << std::strerror(errno);
    ::close(fd);
}

QString CInstallLock::readOwner() const
{
    const int fd = ::open(QFile::encodeName(m_strPath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QString();
    char buffer[64];
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    ::close(fd);
    return got > 0 ? ownerFromText(QByteArray(buffer, int(got))) : QString();
}
