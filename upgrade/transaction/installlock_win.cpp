// The installation's lock on Windows: a byte lock on .upgrade.lock, which is
// opened without delete sharing, so that nobody can delete or rename it
// while it is open, and which is never removed. (A directory handle cannot
// carry a byte lock.) The holder's process id follows the locked byte.

#include "upgrade/transaction/installlock.h"

#include <QCoreApplication>
#include <QDebug>

#include <qt_windows.h>

namespace {

// Byte 0 is the locked one; the owner's process id follows it.
constexpr DWORD OwnerOffset = 1;

HANDLE openLockFile(const QString &path, DWORD access, DWORD disposition)
{
    return CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_HIDDEN, nullptr);
}

QString errorText(DWORD error)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    QString text = length ? QString::fromWCharArray(buffer, int(length)).trimmed()
                          : QStringLiteral("error %1").arg(error);
    LocalFree(buffer);
    return text;
}

bool isSameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION infoA;
    BY_HANDLE_FILE_INFORMATION infoB;
    return GetFileInformationByHandle(a, &infoA) && GetFileInformationByHandle(b, &infoB)
        && infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh
        && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

} // namespace

bool CInstallLock::tryLock()
{
    if (isLocked())
        return true;
    m_isHeldElsewhere = false;
    m_strError.clear();
    HANDLE handle = openLockFile(m_strPath, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // Someone has it open for deleting: not one of ours, but not free either.
        if (error == ERROR_SHARING_VIOLATION) {
            m_isHeldElsewhere = true;
            return false;
        }
        m_strError = errorText(error);
        qWarning() << "open lock file" << m_strPath << "failed:" << m_strError;
        return false;
    }
    OVERLAPPED overlapped = {};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &overlapped)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
            m_isHeldElsewhere = true;
            m_strOwner = readOwner();
        } else {
            m_strError = errorText(error);
            qWarning() << "lock" << m_strPath << "failed:" << m_strError;
        }
        return false;
    }
    m_handle = qintptr(handle);
    writeOwner();
    return true;
}

bool CInstallLock::adoptInherited()
{
    const qint64 value = takeInheritedValue();
    if (value <= 0 || isLocked())
        return false;
    const HANDLE inherited = HANDLE(value);
    DWORD flags = 0;
    if (!GetHandleInformation(inherited, &flags) || GetFileType(inherited) != FILE_TYPE_DISK)
        return false;
    // Only a handle of this installation's lock file: a stray number in the
    // environment must not be taken for a lock.
    const HANDLE byName = CreateFileW(reinterpret_cast<LPCWSTR>(m_strPath.utf16()), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (byName == INVALID_HANDLE_VALUE)
        return false;
    const bool isLockFile = isSameFile(inherited, byName);
    CloseHandle(byName);
    if (!isLockFile)
        return false;
    // The lock stays with the file object the parent locked, which this
    // handle keeps open after the parent has gone.
    SetHandleInformation(inherited, HANDLE_FLAG_INHERIT, 0);
    m_handle = qintptr(inherited);
    writeOwner();
    return true;
}

bool CInstallLock::passToChildren()
{
    if (!isLocked() || !SetHandleInformation(HANDLE(m_handle), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return false;
    m_isPassedOn = true;
    return qputenv(inheritedVariable(), QByteArray::number(qint64(m_handle)));
}

void CInstallLock::unlock()
{
    if (!isLocked())
        return;
    // Never deleted: a new file under the old name would be a second lock.
    // Only the owner's number goes, as the holder goes.
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!m_isPassedOn && SetFilePointerEx(HANDLE(m_handle), start, nullptr, FILE_BEGIN))
        SetEndOfFile(HANDLE(m_handle));
    CloseHandle(HANDLE(m_handle));
    m_handle = InvalidHandle;
}

void CInstallLock::writeOwner()
{
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + "\r\n";
    DWORD written = 0;
    OVERLAPPED overlapped = {};
    overlapped.Offset = OwnerOffset;
    if (!WriteFile(HANDLE(m_handle), pid.constData(), DWORD(pid.size()), &written, &overlapped))
        return;
    // A longer number from before must not show through.
    LARGE_INTEGER end;
    end.QuadPart = OwnerOffset + pid.size();
    if (SetFilePointerEx(HANDLE(m_handle), end, nullptr, FILE_BEGIN))
        SetEndOfFile(HANDLE(m_handle));
}

QString CInstallLock::readOwner() const
{
    const HANDLE handle = openLockFile(m_strPath, GENERIC_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE)
        return QString();
    char buffer[64];
    DWORD got = 0;
    OVERLAPPED overlapped = {};
    overlapped.Offset = OwnerOffset;
    const bool isRead = ReadFile(handle, buffer, sizeof(buffer), &got, &overlapped);
    CloseHandle(handle);
    return isRead && got > 0 ? ownerFromText(QByteArray(buffer, int(got))) : QString();
}
