#ifndef TVX_SERVERCLUSTERINFO_H
#define TVX_SERVERCLUSTERINFO_H

#include "upgrade/files/kelmdomnoderesolve.h"

#include <QPair>
#include <QString>
#include <QVector>

struct ServerClusterInfo
{
    int nCurrIndex = -1;
    QVector<QPair<QString, QString>> vecServers; // (name, url)
    QString strPrefix;
    QString strPath;
    QString strKey;
};

bool readServerClusterInfo(const QString &strPath, ServerClusterInfo &info);
bool saveServerClusterInfo(const ServerClusterInfo &info, const QString &strPath);
bool isServerClusterInfoValid(const ServerClusterInfo &info);

bool getNodeAttributeDecrypt(KelmGUI::KelmDomNodeResolve &node, const QString &strAttribute, QString &strValue);
bool setNodeAttributeEncrypt(KelmGUI::KelmDomNodeResolve &node, const QString &strAttribute, const QString &strValue);
bool setChildNodeAttributeEncrypt(KelmGUI::KelmDomNodeResolve &parent, const QString &strChildName,
                                  const QString &strAttribute, const QString &strValue);
bool setChildNodeValue(KelmGUI::KelmDomNodeResolve &parent, const QString &strChildName, const QString &strValue);

#endif // TVX_SERVERCLUSTERINFO_H
