#ifndef TVX_STAGING_H
#define TVX_STAGING_H

#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// The names this subsystem keeps in the temporary directory beside Packet
// and Backup.
namespace TmpNames {
inline QString partialPacket() { return QStringLiteral("Packet.partial"); } // unpacking goes here first
inline QString stagedMark() { return QStringLiteral("Staged"); }           // Packet is complete
inline QString journal() { return QStringLiteral("Journal"); }             // an apply in progress
inline QString health() { return QStringLiteral("Health"); }               // what the restarted launcher reached
inline QString upgraderNew() { return QStringLiteral("Upgrade.new"); }     // the staged upgrader, being copied
inline QString upgraderOld() { return QStringLiteral("Upgrade.old"); }     // the upgrader it replaced
inline QString delta() { return QStringLiteral("Delta"); }                 // a delta packet, unpacked and rebuilt
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
