#ifndef TVX_APPLYPACKET_H
#define TVX_APPLYPACKET_H

#include "upgrade/files/upgradetypes.h"

#include <QString>

// The applies that run outside the engine's worker thread go through the
// same transaction as the engine's: they take the installation's lock (11
// while another process holds it), finish an interrupted upgrade first (13
// when that cannot be done), then apply with the journal and end the
// transaction. An apply cut short at any moment is finished or undone by
// whoever takes the lock next. pError, when given, gets the reason of a
// failure.

// strPacketDir over strAppDir, with the backup in strBackupDir. The packet
// and the backup must be the temporary directory's own (strTmpDir/Packet,
// strTmpDir/Backup): the journal knows no others.
UpgradeOpError upgradeTmpDirToDstDir(const QString &strAppDir, const QString &strTmpDir,
                                     const QString &strPacketDir, const QString &strBackupDir,
                                     QString *pError = nullptr);

// The packet staged in <base>Tmp/Packet over the directory that holds the
// solution information file; 2 when the packet holds no file of that name.
// The base is the installation that holds Tmp; the directory must lie in it.
UpgradeOpError applyPacketToSolutionDir(const QString &strBaseDir, const QString &strSolutionInfoPath,
                                        QString *pError = nullptr);

#endif // TVX_APPLYPACKET_H
