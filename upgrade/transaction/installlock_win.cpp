// The installation's lock on Windows: byte locks on .upgrade.lock, which is
// opened without delete sharing, so that nobody can delete or rename it
// while it is open, and which is never removed. (A directory handle cannot
// carry a byte lock.) The holder's process id follows the locked bytes.
//
// A byte lock belongs to the process that took it, not to the handle: a
// child that inherits the handle does not inherit the lock, and the lock
// goes when the parent ends. So the lock is two bytes, and whoever takes it
// takes both, the first one first. To pass it on, the parent lets go of the
// second byte and keeps the first until the child has taken the second; at
// no moment can a third process hold both.
#include "upgrade/transaction/installlock.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>

#include <qt_windows.h>

namespace {

// Bytes 0 and 1 are the locked ones; the owner's process id follows them.
constexpr DWORD FirstByte = 0;
constexpr DWORD SecondByte = 1;
constexpr DWORD OwnerOffset = 2;
// How long a child may take to take the second byte over, and the parent
// waits for it to do so, before either gives up.
constexpr int HandOverMilliseconds = 5000;
constexpr int HandOverPollMilliseconds = 10;

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

// Without waiting; false with the reason in GetLastError().
bool lockByte(HANDLE handle, DWORD offset)
{
    OVERLAPPED overlapped = {};
    overlapped.Offset = offset;
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &overlapped);
}

void unlockByte(HANDLE handle, DWORD offset)
{
    OVERLAPPED overlapped = {};
    overlapped.Offset = offset;
    UnlockFileEx(handle, 0, 1, 0, &overlapped);
}

bool isHeldError(DWORD error)
{
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING;
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
    // The first byte first: while a hand-over is under way its parent holds
    // the first and its child the second, so nobody else gets to the second.
    DWORD error = ERROR_SUCCESS;
    if (!lockByte(handle, FirstByte)) {
        error = GetLastError();
    } else if (!lockByte(handle, SecondByte)) {
        error = GetLastError();
        unlockByte(handle, FirstByte);
    }
    if (error != ERROR_SUCCESS) {
        CloseHandle(handle);
        if (isHeldError(error)) {
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
    SetHandleInformation(inherited, HANDLE_FLAG_INHERIT, 0);
    // The parent let go of the second byte for us and holds the first until
    // we have it. It may be looking whether we have it yet, for a moment.
    QElapsedTimer timer;
    timer.start();
    while (!lockByte(inherited, SecondByte)) {
        if (!isHeldError(GetLastError()) || timer.hasExpired(HandOverMilliseconds)) {
            qWarning() << "the installation lock" << m_strPath << "handed over was not free to take";
            CloseHandle(inherited);
            return false;
        }
        Sleep(HandOverPollMilliseconds);
    }
    m_handle = qintptr(inherited);
    writeOwner();
    return true;
}

bool CInstallLock::passToChildren()
{
    if (!isLocked() || m_isPassedOn
        || !SetHandleInformation(HANDLE(m_handle), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return false;
    if (!qputenv(inheritedVariable(), QByteArray::number(qint64(m_handle))))
        return false;
    // The first byte alone still keeps everybody else out.
    unlockByte(HANDLE(m_handle), SecondByte);
    m_isPassedOn = true;
    return true;
}

void CInstallLock::waitForTakeOver()
{
    // Whoever holds the second byte now is the child: a third process
    // takes the first byte first, and that one is still ours. Without a
    // child that takes it, the lock is simply free once we are gone.
    QElapsedTimer timer;
    timer.start();
    while (lockByte(HANDLE(m_handle), SecondByte)) {
        unlockByte(HANDLE(m_handle), SecondByte);
        if (timer.hasExpired(HandOverMilliseconds)) {
            qWarning() << "no process took over the installation lock" << m_strPath;
            return;
        }
        Sleep(HandOverPollMilliseconds);
    }
}

void CInstallLock::unlock()
{
    if (!isLocked())
        return;
    // Never deleted: a new file under the old name would be a second lock.
    // Only the owner's number goes, as the holder goes.
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (m_isPassedOn)
        waitForTakeOver();
    else if (SetFilePointerEx(HANDLE(m_handle), start, nullptr, FILE_BEGIN))
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
