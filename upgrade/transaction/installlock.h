#ifndef TVX_INSTALLLOCK_H
#define TVX_INSTALLLOCK_H

#include <QString>

// One exclusive lock per installation, held by whatever changes the
// installation or its Tmp directory for the whole of that operation. It is
// a lock on an open file, so the kernel drops it when the holder dies: a
// crashed holder never leaves a stale lock behind. Taking it never waits.
//
// What is locked can never be deleted away while it is held, so that a
// second holder cannot appear: on POSIX the application directory itself
// (installlock_unix.cpp); on Windows, where a directory cannot carry a byte
// lock, the file .upgrade.lock, opened without delete sharing and never
// removed (installlock_win.cpp). The file also tells the holder's process
// id for the refusal text; on POSIX it only does that, and whoever deletes
// it loses nothing but the number.
class CInstallLock
{
public:
    explicit CInstallLock(const QString &strAppDir);
    ~CInstallLock();

    // True when this object holds the lock now. False when another process
    // holds it (isHeldElsewhere()) or it cannot be taken; say why with
    // refusalText().
    bool tryLock();
    // Takes over the lock a parent passed down with passToChildren(); true
    // when there was one, and it is this installation's lock, still held.
    // Also takes over the lock file of an older launcher (which locked the
    // file itself) and then takes this lock as well.
    bool adoptInherited();
    // The next processes started keep the lock open, and adopt it.
    bool passToChildren();
    void unlock();

    bool isLocked() const { return m_handle != InvalidHandle; }
    bool isHeldElsewhere() const { return m_isHeldElsewhere; }
    QString refusalText() const;
    QString lockFilePath() const { return m_strPath; }

    static QString lockFilePath(const QString &strAppDir);
    // The environment variable that carries a passed-down lock.
    static const char *inheritedVariable() { return "TARVEX_UPGRADE_LOCK_FD"; }

private:
    Q_DISABLE_COPY(CInstallLock)
    void writeOwner();
    QString readOwner() const;
#ifdef Q_OS_WIN
    // After passToChildren(): until a child has taken the lock over, or for
    // a bounded time.
    void waitForTakeOver();
#endif
    // The passed-down descriptor or handle, taken out of the environment;
    // -1 when there is none.
    static qint64 takeInheritedValue();
    // The process id a lock file's text names; empty when it names none.
    static QString ownerFromText(const QByteArray &baText);

    static constexpr qintptr InvalidHandle = -1;

    QString m_strAppDir;
    QString m_strPath;
    qintptr m_handle = InvalidHandle;       // a descriptor on POSIX, a HANDLE on Windows
    qintptr m_legacyHandle = InvalidHandle; // an older launcher's locked lock file, kept while we hold ours
    bool m_isHeldElsewhere = false;
    bool m_isPassedOn = false;
    QString m_strOwner;
    QString m_strError;
};

#endif // TVX_INSTALLLOCK_H
