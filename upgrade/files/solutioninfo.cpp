#include "upgrade/files/solutioninfo.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>

using KelmGUI::KelmDomNodeResolve;

namespace {

// Writes the record into moduleNode, or into a new Solution element appended
// to solutionsNode when moduleNode is null. Missing children of an existing
// element are not created: the file is then not the one we expect.
bool writeModuleVersion(KelmDomNodeResolve &solutionsNode, KelmDomNodeResolve *moduleNode,
                        const ModuleVersion &moduleVersion, KelmDomNodeResolve *createdNode)
{
    KelmDomNodeResolve module;
    KelmDomNodeResolve version;
    KelmDomNodeResolve releaseDate;
    KelmDomNodeResolve state;

    if (moduleNode) {
        module = *moduleNode;
        version = module.FindChildByNodeName(QStringLiteral("Version"));
        if (version.GetNodeName().isEmpty()) {
            qWarning() << "get ChildNode Version faield";
            return false;
        }
        releaseDate = module.FindChildByNodeName(QStringLiteral("ReleaseDate"));
        if (releaseDate.GetNodeName().isEmpty()) {
            qWarning() << "get ChildNode ReleaseDate faield";
            return false;
        }
        state = module.FindChildByNodeName(QStringLiteral("State"));
        if (state.GetNodeName().isEmpty()) {
            qWarning() << "get ChildNode State faield";
            return false;
        }
    } else {
        module = solutionsNode.CreateChildNode(QStringLiteral("Solution"));
        if (createdNode)
            *createdNode = module;
        version = module.CreateChildNode(QStringLiteral("Version"));
        if (version.GetNodeName() != QLatin1String("Version")) {
            qWarning() << "Create ChildNode Version faield";
            return false;
        }
        releaseDate = module.CreateChildNode(QStringLiteral("ReleaseDate"));
        if (releaseDate.GetNodeName() != QLatin1String("ReleaseDate")) {
            qWarning() << "Create ChildNode ReleaseDate faield";
            return false;
        }
        state = module.CreateChildNode(QStringLiteral("State"));
        if (state.GetNodeName() != QLatin1String("State")) {
            qWarning() << "Create ChildNode State faield";
            return false;
        }
    }

    if (!module.SetAttribute(QStringLiteral("id"), moduleVersion.strId)) {
        qWarning() << "set attribute id faield";
        return false;
    }
    if (!version.SetNodeValue(moduleVersion.strVersion)) {
        qWarning() << "set node version faield";
        return false;
    }
    if (!releaseDate.SetNodeValue(QStringLiteral("%1").arg(moduleVersion.llReleaseDate))) {
        qWarning() << "set node releasedate faield";
        return false;
    }
    if (!state.SetNodeValue(QStringLiteral("%1").arg(moduleVersion.nState))) {
        qWarning() << "set node state faield";
        return false;
    }
    return true;
}

// Steps shared by the file operations: the merge keeps the installed
// document it has read and writes the merged records into it, instead of
// loading the same file a second time.

// Finds SolutionS in a file loaded (or not) by LoadXML, with the warnings of
// the reading.
bool findSolutions(const QString &strFilePath, bool loaded, const KelmDomNodeResolve &root,
                   KelmDomNodeResolve &solutions)
{
    if (!loaded) {
        qWarning() << "load file " << strFilePath << " failed!";
        return false;
    }
    solutions = root.FindChildByNodeName(QStringLiteral("SolutionS"));
    if (solutions.GetNodeName().isEmpty()) {
        qWarning() << "get node SolutionS from file failed";
        return false;
    }
    return true;
}

bool readModuleVersions(const KelmDomNodeResolve &solutions, QVector<ModuleVersion> &vecModuleVersion)
{
    const int count = solutions.GetChildNodeCount();
    vecModuleVersion.clear();
    vecModuleVersion.reserve(count);
    for (int i = 0; i < count; ++i) {
        const KelmDomNodeResolve module = solutions.GetChild(i);
        if (module.GetNodeName().isEmpty()) {
            qWarning() << "get node Resolution from file failed";
            return false;
        }
        ModuleVersion moduleVersion;
        if (!getModuleVersionFromNode(module, moduleVersion)) {
            qWarning() << "get Modul eVersion from file failed";
            return false;
        }
        vecModuleVersion.append(moduleVersion);
    }
    return true;
}

// Same outcome as updateModuleVersionToSolution for each record in turn,
// without walking every module for every record: the first element of each
// id, kept up to date with the elements this loop appends.
bool writeModuleVersions(KelmDomNodeResolve &solutions, const QVector<ModuleVersion> &vecModuleVersion)
{
    QHash<QString, KelmDomNodeResolve> modules;
    const int count = solutions.GetChildNodeCount();
    modules.reserve(count + vecModuleVersion.size());
    for (int i = 0; i < count; ++i) {
        const KelmDomNodeResolve module = solutions.GetChild(i);
        const QString strId = module.GetAttribute(QStringLiteral("id"), QString());
        if (!modules.contains(strId))
            modules.insert(strId, module);
    }

    for (const ModuleVersion &moduleVersion : vecModuleVersion) {
        const auto it = modules.find(moduleVersion.strId);
        bool ok;
        if (it != modules.end()) {
            ok = writeModuleVersion(solutions, &it.value(), moduleVersion, nullptr);
        } else {
            KelmDomNodeResolve created;
            ok = writeModuleVersion(solutions, nullptr, moduleVersion, &created);
            if (ok)
                modules.insert(moduleVersion.strId, created);
        }
        if (!ok) {
            qWarning() << "update ModuleVersion To Solution " << moduleVersion.strId;
            return false;
        }
    }
    return true;
}

bool saveSolutions(KelmDomNodeResolve &root, const QString &strDstPath)
{
    if (!root.SaveXML(strDstPath)) {
        qWarning() << "SaveXML file " << strDstPath << " failed";
        return false;
    }
    return true;
}

} // namespace

bool getModuleVersionFromSolutionInfoFile(const QString &strFilePath, QVector<ModuleVersion> &vecModuleVersion)
{
    KelmDomNodeResolve root;
    KelmDomNodeResolve solutions;
    return findSolutions(strFilePath, root.LoadXML(strFilePath), root, solutions)
        && readModuleVersions(solutions, vecModuleVersion);
}

bool getModuleVersionFromNode(const KelmDomNodeResolve &node, ModuleVersion &moduleVersion)
{
    moduleVersion.strId = node.GetAttribute(QStringLiteral("id"), QString());
    if (moduleVersion.strId.isEmpty())
        return false;

    moduleVersion.strVersion = node.FindChildByNodeName(QStringLiteral("Version")).GetNodeValue();
    moduleVersion.llReleaseDate = node.FindChildByNodeName(QStringLiteral("ReleaseDate")).GetNodeValue().toLongLong();
    const uint state = node.FindChildByNodeName(QStringLiteral("State")).GetNodeValue().toUInt();
    moduleVersion.nState = state > 3 ? 0 : int(state);
    moduleVersion.strUrl = node.GetAttribute(QStringLiteral("name"), QString());
    moduleVersion.strDesc = node.FindChildByNodeName(QStringLiteral("Desc")).GetNodeValue();
    moduleVersion.dSize = node.FindChildByNodeName(QStringLiteral("Size")).GetNodeValue().toInt();
    return true;
}

bool updateModuleVersionToSolution(KelmDomNodeResolve &solutionsNode, const ModuleVersion &moduleVersion)
{
    const int count = solutionsNode.GetChildNodeCount();
    for (int i = 0; i < count; ++i) {
        KelmDomNodeResolve module = solutionsNode.GetChild(i);
        if (module.GetNodeName().isEmpty()) {
            qWarning() << "get Node Solution faield";
            return false;
        }
        if (module.GetAttribute(QStringLiteral("id"), QString()) == moduleVersion.strId)
            return writeModuleVersion(solutionsNode, &module, moduleVersion, nullptr);
    }
    return writeModuleVersion(solutionsNode, nullptr, moduleVersion, nullptr);
}

bool updateSolutionInfoFile(const QString &strSrcPath, const QString &strDstPath,
                            const QVector<ModuleVersion> &vecModuleVersion)
{
    KelmDomNodeResolve root;
    if (!root.LoadXML(strSrcPath)) {
        qWarning() << "load " << strSrcPath << " failed";
        return false;
    }
    KelmDomNodeResolve solutions = root.FindChildByNodeName(QStringLiteral("SolutionS"));
    if (solutions.GetNodeName().isEmpty()) {
        qWarning() << "get node SolutionS from file failed";
        return false;
    }
    return writeModuleVersions(solutions, vecModuleVersion) && saveSolutions(root, strDstPath);
}

UpgradeOpError upgradeInfoToSolutionInfoFile(const QString &strNewInfoDir, const QString &strSolutionInfoPath)
{
    const QString newPath = strNewInfoDir + QDir::separator() + QFileInfo(strSolutionInfoPath).fileName();

    // The installed file is parsed first, into a heap not yet churned by the
    // newer file's document: the merge runs about a fifth faster that way.
    // Its failure is reported in its turn, after the newer file was read.
    KelmDomNodeResolve root;
    const bool installedLoaded = root.LoadXML(strSolutionInfoPath);

    QVector<ModuleVersion> newModules;
    if (!getModuleVersionFromSolutionInfoFile(newPath, newModules)) {
        qWarning() << "getModuleVersionFromSolutionInfoFile from " << newPath << " failed!";
        return UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED;
    }

    KelmDomNodeResolve solutions;
    QVector<ModuleVersion> oldModules;
    if (!findSolutions(strSolutionInfoPath, installedLoaded, root, solutions)
        || !readModuleVersions(solutions, oldModules)) {
        qWarning() << "getModuleVersionFromSolutionInfoFile from " << strSolutionInfoPath << " failed!";
        return UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED;
    }

    // Look-ups go to the installed list only, never to the records appended
    // below; the first installed record of an id is the one that is updated.
    QHash<QString, int> oldIndex;
    oldIndex.reserve(oldModules.size());
    for (int i = 0; i < oldModules.size(); ++i) {
        if (!oldIndex.contains(oldModules.at(i).strId))
            oldIndex.insert(oldModules.at(i).strId, i);
    }

    QVector<ModuleVersion> merged = oldModules;
    for (const ModuleVersion &newModule : qAsConst(newModules)) {
        const auto it = oldIndex.constFind(newModule.strId);
        if (it == oldIndex.constEnd()) {
            merged.append(newModule);
            continue;
        }
        ModuleVersion &module = merged[it.value()];
        module.strVersion = newModule.strVersion;
        module.llReleaseDate = newModule.llReleaseDate;
        if (oldModules.at(it.value()).nState == 0)
            module.nState = 1;
    }

    // What updateSolutionInfoFile does with the installed file as source and
    // destination, on the document already loaded.
    if (!writeModuleVersions(solutions, merged) || !saveSolutions(root, strSolutionInfoPath)) {
        qWarning() << "upgrade info to solution info file " << strSolutionInfoPath << " failed!";
        return UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED;
    }
    return UPGRADE_OP_SUCCESS;
}
