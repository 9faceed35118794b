#include "upgrade/config/serverclusterinfo.h"

#include "upgrade/config/aescipher.h"

#include <QDebug>

using KelmGUI::KelmDomNodeResolve;

namespace {

// Finds the child of that name, or appends one when there is none.
bool findOrCreateChild(KelmDomNodeResolve &parent, const QString &strChildName, KelmDomNodeResolve &child)
{
    child = parent.FindChildByNodeName(strChildName);
    if (child.GetNodeName().isEmpty()) {
        child = parent.CreateChildNode(strChildName);
        if (child.GetNodeName().isEmpty()) {
            qWarning() << "create node failed!";
            return false;
        }
    }
    return true;
}

} // namespace

bool getNodeAttributeDecrypt(KelmDomNodeResolve &node, const QString &strAttribute, QString &strValue)
{
    if (node.GetNodeName().isEmpty()) {
        qWarning() << "nameNode not exist!";
        return false;
    }
    const QString text = node.GetAttribute(strAttribute, QString());
    if (text.isEmpty()) {
        qWarning() << "get node attribute name failed!";
        return false;
    }
    strValue = decryptFromHexText(text);
    return true;
}

bool setNodeAttributeEncrypt(KelmDomNodeResolve &node, const QString &strAttribute, const QString &strValue)
{
    if (node.GetNodeName().isEmpty()) {
        qWarning() << "nameNode not exist!";
        return false;
    }
    // An empty value is stored as an empty text: there is nothing to hide.
    QString text;
    if (!strValue.isEmpty()) {
        const int code = encryptToHexText(strValue, text);
        if (code != 0) {
            qWarning() << "AES_Encrypt attribute value failed! code is " << code;
            return false;
        }
    }
    if (!node.SetAttribute(strAttribute, text)) {
        qWarning() << "set node attribute name failed!";
        return false;
    }
    return true;
}

bool setChildNodeAttributeEncrypt(KelmDomNodeResolve &parent, const QString &strChildName,
                                  const QString &strAttribute, const QString &strValue)
{
    KelmDomNodeResolve child;
    if (!findOrCreateChild(parent, strChildName, child))
        return false;
    if (!setNodeAttributeEncrypt(child, strAttribute, strValue)) {
        qWarning() << "setNodeAttributeEncrypt node " << strChildName << " attribute " << strAttribute << " failed!";
        return false;
    }
    return true;
}

bool setChildNodeValue(KelmDomNodeResolve &parent, const QString &strChildName, const QString &strValue)
{
    KelmDomNodeResolve child;
    if (!findOrCreateChild(parent, strChildName, child))
        return false;
    if (!child.SetNodeValue(strValue)) {
        qWarning() << "set node " << strChildName << " value failed!";
        return false;
    }
    return true;
}

bool isServerClusterInfoValid(const ServerClusterInfo &info)
{
    if (info.nCurrIndex < 0 || info.nCurrIndex >= info.vecServers.size()) {
        qWarning() << "invalid ServerInfo";
        return false;
    }
    const QPair<QString, QString> &current = info.vecServers.at(info.nCurrIndex);
    if (current.first.isEmpty() || current.second.isEmpty() || info.strPath.isEmpty()
        || info.strKey.isEmpty() || info.strPrefix.isEmpty()) {
        qWarning() << "invalid ServerInfo something is empty";
        return false;
    }
    return true;
}

bool readServerClusterInfo(const QString &strPath, ServerClusterInfo &info)
{
    KelmDomNodeResolve root;
    if (!root.LoadXML(strPath)) {
        qWarning() << "load file " << strPath << " failed!";
        return false;
    }

    KelmDomNodeResolve upgrade = root.FindChildByNodeName(QStringLiteral("Upgrade"));
    if (upgrade.GetNodeName().isEmpty()) {
        qWarning() << "get node Upgrade from file from " << strPath << " failed";
        return false;
    }
    if (!getNodeAttributeDecrypt(upgrade, QStringLiteral("prefix"), info.strPrefix)) {
        qWarning() << "get Node Upgrade Attribute prefix from " << strPath << " failed";
        return false;
    }
    if (!getNodeAttributeDecrypt(upgrade, QStringLiteral("key"), info.strKey)) {
        qWarning() << "get Node Upgrade Attribute key from " << strPath << " failed";
        return false;
    }
    if (!getNodeAttributeDecrypt(upgrade, QStringLiteral("path"), info.strPath)) {
        qWarning() << "get Node Upgrade Attribute path from " << strPath << " failed";
        return false;
    }

    const KelmDomNodeResolve currServer = root.FindChildByNodeName(QStringLiteral("CurrServer"));
    if (currServer.GetNodeName().isEmpty()) {
        qWarning() << "get node Upgrade from " << strPath << " failed";
        return false;
    }
    const QString strCurrName = currServer.GetNodeValue();

    // The record describes this file only: servers left over from an earlier
    // use would shift the file's indexes away from the list's.
    info.nCurrIndex = -1;
    info.vecServers.clear();

    const KelmDomNodeResolve servers = root.FindChildByNodeName(QStringLiteral("Servers"));
    if (servers.GetNodeName().isEmpty()) {
        qWarning() << "get node Servers from " << strPath << " failed";
        return false;
    }
    const int count = servers.GetChildNodeCount();
    for (int i = 0; i < count; ++i) {
        KelmDomNodeResolve server = servers.GetChild(i);
        if (server.GetNodeName().isEmpty()) {
            qWarning() << "get node Server from " << strPath << " failed";
            return false;
        }
        const QString strName = server.GetAttribute(QStringLiteral("name"), QString());
        if (strName.isEmpty()) {
            qWarning() << "set Server node attribute name from " << strPath << " failed";
            return false;
        }
        QString strUrl;
        if (!getNodeAttributeDecrypt(server, QStringLiteral("svrurl"), strUrl)) {
            qWarning() << "set Server node attribute svrurl from " << strPath << " failed";
            return false;
        }
        if (strName == strCurrName)
            info.nCurrIndex = i;
        info.vecServers.append(qMakePair(strName, strUrl));
    }

    if (!isServerClusterInfoValid(info)) {
        qWarning() << "Curr Server Info Invalid in " << strPath;
        return false;
    }
    return true;
}

bool saveServerClusterInfo(const ServerClusterInfo &info, const QString &strPath)
{
    if (!isServerClusterInfoValid(info)) {
        qWarning() << "current serverClusterInfo invaild!";
        return false;
    }

    KelmDomNodeResolve root;
    if (!root.CreateRootNode(QStringLiteral("UpgradeServer"))) {
        qWarning() << "create root node UpgradeServer failed!";
        return false;
    }

    const QString strUpgrade = QStringLiteral("Upgrade");
    if (!setChildNodeAttributeEncrypt(root, strUpgrade, QStringLiteral("key"), info.strKey)) {
        qWarning() << "set Node Upgrade Attribute key failed!";
        return false;
    }
    if (!setChildNodeAttributeEncrypt(root, strUpgrade, QStringLiteral("prefix"), info.strPrefix)) {
        qWarning() << "set Node Upgrade Attribute prefix failed!";
        return false;
    }
    if (!setChildNodeAttributeEncrypt(root, strUpgrade, QStringLiteral("path"), info.strPath)) {
        qWarning() << "set Node Upgrade Attribute path failed!";
        return false;
    }

    if (!setChildNodeValue(root, QStringLiteral("CurrServer"), info.vecServers.at(info.nCurrIndex).first)) {
        qWarning() << "set node CurrServer value failed!";
        return false;
    }

    KelmDomNodeResolve servers = root.CreateChildNode(QStringLiteral("Servers"));
    if (servers.GetNodeName().isEmpty()) {
        qWarning() << "create node failed!";
        qWarning() << "add node Servers failed!";
        return false;
    }
    for (const QPair<QString, QString> &server : info.vecServers) {
        KelmDomNodeResolve serverNode = servers.CreateChildNode(QStringLiteral("Server"));
        if (serverNode.GetNodeName().isEmpty()) {
            qWarning() << "create node failed!";
            qWarning() << "add node Server failed!";
            return false;
        }
        if (!serverNode.SetAttribute(QStringLiteral("name"), server.first)) {
            qWarning() << "set Server node attribute name failed!";
            return false;
        }
        if (!setNodeAttributeEncrypt(serverNode, QStringLiteral("svrurl"), server.second)) {
            qWarning() << "set Server node attribute svrurl failed!";
            return false;
        }
    }

    if (!root.SaveXML(strPath)) {
        qWarning() << "save Server Cluster Info to file " << strPath << " failed!";
        return false;
    }
    return true;
}
