#ifndef TVX_STAGEDINFO_H
#define TVX_STAGEDINFO_H

#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// A packet mirrors the application directory. After a successful download
// the caller stages the updated solution information file into the packet,
// at the place the installed file has below the application directory, so
// that applying the packet installs the new module versions together with
// the module files, and a rollback takes both back together.

// Where the installed solution information file strSolutionInfoPath goes
// inside strPacketDir; empty when the file does not lie below strAppDir.
QString stagedSolutionInfoPath(const QString &strAppDir, const QString &strPacketDir,
                               const QString &strSolutionInfoPath);

// Writes the installed file, updated with vecNeedUpgrade (the need list of
// the check), to stagedSolutionInfoPath(). The installed file is not changed.
bool stageSolutionInfo(const QString &strAppDir, const QString &strPacketDir,
                       const QString &strSolutionInfoPath, const QVector<ModuleVersion> &vecNeedUpgrade);

// For a caller that stages the solution information itself, under
// strBaseDir/Tmp/Packet. Over a packet that a download left completely
// staged, the file goes into that packet, at its place below strBaseDir, and
// the packet stays staged; otherwise the packet directory is made anew with
// the file alone. Either way under the installation's lock: false, with a
// warning, while another process holds it.
bool saveSolutionInfoToPacketDir(const QString &strSolutionInfoPath, const QString &strBaseDir,
                                 const QVector<ModuleVersion> &vecModuleVersion);

#endif // TVX_STAGEDINFO_H
