#ifndef TVX_FAULTINJECTION_H
#define TVX_FAULTINJECTION_H

#include <QString>

// For tests of the rollback: with TARVEX_UPGRADE_FAIL_AFTER=N in the
// environment, the apply fails for real at the (N+1)th file of the packet,
// in the order the safe copy walks it (name order, depth first), after the
// first N files were copied.
//
// The packet's file is moved aside and a link to a directory takes its
// place: the copy backs up and removes the installed file as usual, then
// cannot read a directory as a file and fails, and the real rollback has to
// bring back what was already replaced. Only the staging directory is
// touched; undo() puts the file back if the staging directory survives.
//
// Compiled in only with TVX_FAULT_INJECTION (test builds); otherwise
// prepare() does nothing.
class CFaultInjection
{
public:
    CFaultInjection() = default;
    ~CFaultInjection();

    // Does nothing unless the variable is set. False when it is set but the
    // failure cannot be arranged; the apply must not run then.
    bool prepare(const QString &strTmpDir, const QString &strPacketDir);
    void undo();

    bool isActive() const { return !m_strLinkPath.isEmpty(); }

private:
    Q_DISABLE_COPY(CFaultInjection)

    QString m_strLinkPath;  // the packet file, now a link
    QString m_strStashPath; // where the packet file waits meanwhile
};

#endif // TVX_FAULTINJECTION_H
