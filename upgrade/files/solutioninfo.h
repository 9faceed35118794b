#ifndef TVX_SOLUTIONINFO_H
#define TVX_SOLUTIONINFO_H

#include "upgrade/files/kelmdomnoderesolve.h"
#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// The solution information file: the modules installed beside the launcher,
// under the root's child element SolutionS.

bool getModuleVersionFromSolutionInfoFile(const QString &strFilePath, QVector<ModuleVersion> &vecModuleVersion);
bool getModuleVersionFromNode(const KelmGUI::KelmDomNodeResolve &node, ModuleVersion &moduleVersion);
bool updateModuleVersionToSolution(KelmGUI::KelmDomNodeResolve &solutionsNode, const ModuleVersion &moduleVersion);
bool updateSolutionInfoFile(const QString &strSrcPath, const QString &strDstPath,
                            const QVector<ModuleVersion> &vecModuleVersion);
UpgradeOpError upgradeInfoToSolutionInfoFile(const QString &strNewInfoDir, const QString &strSolutionInfoPath);

#endif // TVX_SOLUTIONINFO_H
