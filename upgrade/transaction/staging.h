#ifndef TVX_STAGING_H
#define TVX_STAGING_H

#include "upgrade/files/installlayout.h"
#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// The names this subsystem keeps in the temporary directory beside Packet
// and Backup; the install layout defines them.
namespace TmpNames {
inline QString partialPacket() { return CInstallLayout::partialPacketName(); }
inline QString stagedMark() { return CInstallLayout::stagedMarkName(); }
inline QString journal() { return CInstallLayout::journalName(); }
inline QString health() { return CInstallLayout::healthName(); }
inline QString upgraderNew() { return CInstallLayout::upgraderNewName(); }
inline QString upgraderOld() { return CInstallLayout::upgraderOldName(); }
inline QString delta() { return CInstallLayout::deltaName(); }
} // namespace TmpNames

// A packet counts as staged only once every module is unpacked and the
// solution information is in it: then its files are flushed and the mark
// is written atomically, with the modules it brings.
bool markPacketStaged(const QString &strTmpDir, const QVector<ModuleVersion> &vecModules);
bool isPacketStaged(const QString &strTmpDir);
// The modules recorded in the mark; empty when there is none.
QVector<ModuleVersion> stagedModules(const QString &strTmpDir);
// Removes the mark, the packet and any partial packet: what an earlier
// download left must not mix into this one.
bool clearStaging(const QString &strTmpDir);

#endif // TVX_STAGING_H
