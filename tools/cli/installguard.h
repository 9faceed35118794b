#ifndef TVX_INSTALLGUARD_H
#define TVX_INSTALLGUARD_H

#include "report.h"

#include <QString>

class CInstallLayout;
class CInstallLock;

// Before any command: the installation's lock for the commands that change
// it or its Tmp directory, and the recovery of an interrupted upgrade. 0 to
// go on, otherwise the exit status, the reason printed: UPGRADE_OP_LOCKED
// when another operation holds the lock, UPGRADE_OP_CREATE_DIR_FAILED when
// the installation cannot be locked at all (its path too long, for one),
// UPGRADE_OP_ROLLBACK_INCOMPLETE when an interrupted upgrade cannot be
// finished yet or its journal cannot be trusted.
int guardInstallation(CInstallLock &lock, const CInstallLayout &layout, bool isChanging);

// The held-back versions among those the server offers, one line each.
QString heldBackText(const QString &strAppDir, const CommandReport &report);

#endif // TVX_INSTALLGUARD_H
