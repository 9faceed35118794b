#ifndef TVX_TMPDIRS_H
#define TVX_TMPDIRS_H

#include "upgrade/files/safecopy.h"
#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// Removes a directory tree; a path that is itself a link is removed as a
// link, never followed. True when no directory is left at path (also when
// there was none); false for an empty path, which would name the current
// directory.
bool removeDirTree(const QString &path);

// Undoes a failed safety copy: deletes the created paths, last first, then
// copies backupDir back over dstDir, then removes the directories the copy
// back brought back empty. Returns whether the copy back succeeded.
bool rollbackSafeCopy(const CopyDirParam &param, const QString &backupDir, const QString &dstDir);

// The body of the engine's apply mode: strPacketDir over strAppDir with a
// backup in strBackupDir, rollback on failure, strTmpDir removed afterwards.
UpgradeOpError upgradeTmpDirToDstDir(const QString &strAppDir, const QString &strTmpDir,
                                     const QString &strPacketDir, const QString &strBackupDir);

bool deleteTmpDir(const QString &strBaseDir);
UpgradeOpError applyPacketToSolutionDir(const QString &strBaseDir, const QString &strSolutionInfoPath);

#endif // TVX_TMPDIRS_H
