#ifndef TVX_INSTALLLOCK_H
#define TVX_INSTALLLOCK_H

#include <QString>

// One exclusive lock per installation, held by whatever changes the
// installation or its Tmp directory for the whole of that operation. It is
// a lock on an open file, so the kernel drops it when the holder dies: a
// crashed holder never leaves a stale lock behind. Taking it never waits.
//
// The lock file lies in the application directory, not in Tmp, which comes
// and goes. It is removed when the lock is released; the inode check in
// tryLock() keeps a holder of the removed file and a holder of a new one
// from both believing they own the installation.
class CInstallLock
{
public:
    explicit CInstallLock(const QString &strAppDir);
    ~CInstallLock();

    // True when this object holds the lock now. False when another process
    // holds it (isHeldElsewhere()) or the file cannot be used; say why with
    // refusalText().
    bool tryLock();
    // Takes over the lock a parent passed down with passToChildren(); true
    // when there was one and it is valid.
    bool adoptInherited();
    // The next processes started keep the lock open, and adopt it; this
    // object then no longer removes the file when it lets go.
    bool passToChildren();
    void unlock();

    bool isLocked() const { return m_fd >= 0; }
    bool isHeldElsewhere() const { return m_isHeldElsewhere; }
    QString refusalText() const;
    QString lockFilePath() const { return m_strPath; }

    static QString lockFilePath(const QString &strAppDir);
    // The environment variable that carries a passed-down lock.
    static const char *inheritedVariable() { return "TARVEX_UPGRADE_LOCK_FD"; }

private:
    Q_DISABLE_COPY(CInstallLock)
    void writeOwner();

    QString m_strPath;
    qintptr m_fd = -1; // a HANDLE on Windows
    bool m_isHeldElsewhere = false;
    bool m_isPassedOn = false;
    QString m_strOwner;
};

#endif // TVX_INSTALLLOCK_H
