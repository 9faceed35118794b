#include "report.h"

#include "upgrade/config/serverclusterinfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

namespace {

const QLatin1String maskedKey("********");

QJsonArray modulesToJson(const QVector<ModuleVersion> &vecModules)
{
    QJsonArray array;
    for (const ModuleVersion &module : vecModules)
        array.append(moduleToJson(module));
    return array;
}

QString sizeText(double dSize)
{
    return QLocale::c().toString(dSize, 'g', 6) + QLatin1String(" MB");
}

} // namespace

QJsonObject moduleToJson(const ModuleVersion &module)
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), module.strId);
    object.insert(QStringLiteral("version"), module.strVersion);
    object.insert(QStringLiteral("url"), module.strUrl);
    object.insert(QStringLiteral("desc"), module.strDesc);
    object.insert(QStringLiteral("releaseDate"), module.llReleaseDate);
    object.insert(QStringLiteral("size"), module.dSize);
    object.insert(QStringLiteral("state"), module.nState);
    object.insert(QStringLiteral("iconUrl"), module.strIconUrl);
    return object;
}

QByteArray reportToJson(const CommandReport &report)
{
    QJsonObject object;
    object.insert(QStringLiteral("result"), int(report.result));
    object.insert(QStringLiteral("resultName"), QLatin1String(upgradeOpErrorName(report.result)));
    object.insert(QStringLiteral("needUpgrade"), modulesToJson(report.vecNeedUpgrade));
    object.insert(QStringLiteral("serverModules"), modulesToJson(report.vecServerModuleVersion));
    if (report.hasProgress)
        object.insert(QStringLiteral("progress"), report.nProgress);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QString needUpgradeText(const CommandReport &report)
{
    if (report.vecNeedUpgrade.isEmpty())
        return QStringLiteral("No module needs an upgrade.\n");

    QString text = report.vecNeedUpgrade.size() == 1
        ? QStringLiteral("1 module needs an upgrade:\n")
        : QStringLiteral("%1 modules need an upgrade:\n").arg(report.vecNeedUpgrade.size());
    for (const ModuleVersion &offered : report.vecNeedUpgrade) {
        QString installedVersion = QStringLiteral("?");
        for (const ModuleVersion &installed : report.vecInstalled) {
            if (installed.strId == offered.strId) {
                installedVersion = installed.strVersion;
                break;
            }
        }
        text += QStringLiteral("  %1  %2 -> %3  (%4)\n")
                    .arg(offered.strId, installedVersion, offered.strVersion, sizeText(offered.dSize));
    }
    return text;
}

QString resultText(UpgradeOpError result)
{
    const char *name = upgradeOpErrorName(result);
    return QStringLiteral("%1 (%2)").arg(QLatin1String(*name ? name : "unknown result")).arg(int(result));
}

QString serverClusterText(const ServerClusterInfo &info, const QString &strFilePath, bool isShowKey)
{
    QString text;
    text += QStringLiteral("file:    %1\n").arg(strFilePath);
    for (int i = 0; i < info.vecServers.size(); ++i) {
        const auto &server = info.vecServers.at(i);
        text += QStringLiteral("server:  %1 %2 %3\n")
                    .arg(i == info.nCurrIndex ? QLatin1Char('*') : QLatin1Char(' '))
                    .arg(server.first, server.second);
    }
    const QString current = info.nCurrIndex >= 0 && info.nCurrIndex < info.vecServers.size()
        ? info.vecServers.at(info.nCurrIndex).first
        : QString();
    text += QStringLiteral("current: %1\n").arg(current);
    text += QStringLiteral("prefix:  %1\n").arg(info.strPrefix);
    text += QStringLiteral("path:    %1\n").arg(info.strPath);
    text += QStringLiteral("key:     %1\n").arg(isShowKey ? info.strKey : QString(maskedKey));
    return text;
}

QByteArray serverClusterToJson(const ServerClusterInfo &info, const QString &strFilePath, bool isShowKey)
{
    QJsonArray servers;
    for (const auto &server : info.vecServers) {
        QJsonObject entry;
        entry.insert(QStringLiteral("name"), server.first);
        entry.insert(QStringLiteral("url"), server.second);
        servers.append(entry);
    }
    const QString current = info.nCurrIndex >= 0 && info.nCurrIndex < info.vecServers.size()
        ? info.vecServers.at(info.nCurrIndex).first
        : QString();
    QJsonObject object;
    object.insert(QStringLiteral("file"), strFilePath);
    object.insert(QStringLiteral("servers"), servers);
    object.insert(QStringLiteral("current"), current);
    object.insert(QStringLiteral("prefix"), info.strPrefix);
    object.insert(QStringLiteral("path"), info.strPath);
    object.insert(QStringLiteral("key"), isShowKey ? info.strKey : QString(maskedKey));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}
