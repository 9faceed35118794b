#include "report.h"

#include "upgrade/config/serverclusterinfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QtNumeric>

namespace {

const QLatin1String maskedKey("********");

QByteArray jsonString(const QString &text)
{
    // QJsonDocument knows the escapes; take its rendering of ["text"].
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray jsonNumber(double value)
{
    // JSON has no infinity or NaN; "inf" is a number to QString::toDouble.
    return qIsFinite(value) ? QByteArray::number(value, 'g', QLocale::FloatingPointShortest) : QByteArray("null");
}

QByteArray moduleToJson(const ModuleVersion &module, const QByteArray &indent)
{
    const QByteArray inner = indent + "    ";
    QByteArray text = "{\n";
    text += inner + "\"id\": " + jsonString(module.strId) + ",\n";
    text += inner + "\"version\": " + jsonString(module.strVersion) + ",\n";
    text += inner + "\"url\": " + jsonString(module.strUrl) + ",\n";
    text += inner + "\"desc\": " + jsonString(module.strDesc) + ",\n";
    text += inner + "\"releaseDate\": " + QByteArray::number(module.llReleaseDate) + ",\n";
    text += inner + "\"size\": " + jsonNumber(module.dSize) + ",\n";
    text += inner + "\"state\": " + QByteArray::number(module.nState) + ",\n";
    if (!module.strNotes.isEmpty())
        text += inner + "\"notes\": " + jsonString(module.strNotes) + ",\n";
    text += inner + "\"iconUrl\": " + jsonString(module.strIconUrl) + "\n";
    text += indent + "}";
    return text;
}

QByteArray modulesToJson(const QVector<ModuleVersion> &vecModules, const QByteArray &indent)
{
    if (vecModules.isEmpty())
        return "[]";
    const QByteArray inner = indent + "    ";
    QByteArray text = "[\n";
    for (int i = 0; i < vecModules.size(); ++i) {
        text += inner + moduleToJson(vecModules.at(i), inner);
        text += i + 1 < vecModules.size() ? ",\n" : "\n";
    }
    text += indent + "]";
    return text;
}

QString sizeText(double dSize)
{
    return QLocale::c().toString(dSize, 'g', 6) + QLatin1String(" MB");
}

qint64 bytesSaved(const PacketDownloadReport &packet)
{
    return packet.isDelta && packet.llFullBytes >= 0 && packet.llDeltaBytes >= 0
        ? packet.llFullBytes - packet.llDeltaBytes
        : 0;
}

} // namespace

QByteArray reportToJson(const CommandReport &report)
{
    const QByteArray indent = "    ";
    QByteArray text = "{\n";
    text += indent + "\"result\": " + QByteArray::number(int(report.result)) + ",\n";
    text += indent + "\"resultName\": " + jsonString(QLatin1String(upgradeOpErrorName(report.result))) + ",\n";
    text += indent + "\"needUpgrade\": " + modulesToJson(report.vecNeedUpgrade, indent) + ",\n";
    text += indent + "\"serverModules\": " + modulesToJson(report.vecServerModuleVersion, indent);
    if (report.hasProgress) {
        text += ",\n" + indent + "\"progress\": " + QByteArray::number(report.nProgress);
        text += ",\n" + indent + "\"packets\": [";
        for (int i = 0; i < report.vecPackets.size(); ++i) {
            const PacketDownloadReport &packet = report.vecPackets.at(i);
            text += i == 0 ? "\n" : ",\n";
            text += indent + indent + "{\"id\": " + jsonString(packet.strId) + ", \"url\": " + jsonString(packet.strUrl)
                + ", \"bytesResumed\": " + QByteArray::number(packet.llResumedBytes)
                + ", \"bytesReceived\": " + QByteArray::number(packet.llReceivedBytes)
                + ", \"attempts\": " + QByteArray::number(packet.nAttempts)
                + ", \"method\": " + (packet.isDelta ? "\"delta\"" : "\"full\"")
                + ", \"bytesFull\": " + QByteArray::number(packet.llFullBytes)
                + ", \"bytesDelta\": " + QByteArray::number(packet.llDeltaBytes)
                + ", \"bytesSaved\": " + QByteArray::number(bytesSaved(packet))
                + ", \"deltaFallback\": " + jsonString(packet.strDeltaFallback) + "}";
        }
        text += report.vecPackets.isEmpty() ? "]" : "\n" + indent + "]";
    }
    text += "\n}\n";
    return text;
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

QString notesText(const CommandReport &report)
{
    QString text;
    for (const ModuleVersion &offered : report.vecNeedUpgrade) {
        if (offered.strNotes.isEmpty())
            continue;
        text += QStringLiteral("\nWhat is new in %1 %2:\n").arg(offered.strId, offered.strVersion);
        // Indented as a block; the text itself is the publisher's, as signed.
        const QStringList lines = offered.strNotes.split(QLatin1Char('\n'));
        for (const QString &line : lines)
            text += line.isEmpty() ? QStringLiteral("\n") : QStringLiteral("  %1\n").arg(line);
    }
    return text;
}

QString packetsText(const CommandReport &report)
{
    QString text;
    for (const PacketDownloadReport &packet : report.vecPackets) {
        if (packet.isDelta) {
            text += QStringLiteral("  %1: delta, %2 bytes transferred, %3 bytes saved against the full packet\n")
                        .arg(packet.strId)
                        .arg(packet.llReceivedBytes)
                        .arg(bytesSaved(packet));
        } else if (!packet.strDeltaFallback.isEmpty()) {
            text += QStringLiteral("  %1: full packet, %2 bytes transferred; the delta was not used: %3\n")
                        .arg(packet.strId)
                        .arg(packet.llReceivedBytes)
                        .arg(packet.strDeltaFallback);
        } else {
            text += QStringLiteral("  %1: full packet, %2 bytes transferred\n").arg(packet.strId).arg(packet.llReceivedBytes);
        }
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
