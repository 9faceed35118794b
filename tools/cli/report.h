#ifndef TVX_REPORT_H
#define TVX_REPORT_H

#include "upgrade/cupgrade.h"
#include "upgrade/files/upgradetypes.h"

#include <QByteArray>
#include <QString>
#include <QVector>

struct ServerClusterInfo;

// What one command of tarvex-upgrade found out, for its output.
struct CommandReport
{
    UpgradeOpError result = UPGRADE_OP_SUCCESS;
    QVector<ModuleVersion> vecInstalled;
    QVector<ModuleVersion> vecNeedUpgrade;
    QVector<ModuleVersion> vecServerModuleVersion;
    bool hasProgress = false; // a download took place
    int nProgress = 0;        // last progress signalled by the download
    QVector<PacketDownloadReport> vecPackets; // how each packet came, when a download took place
};

// One JSON document: result, resultName, needUpgrade, serverModules, and
// progress and packets (id, url, bytesResumed, bytesReceived, attempts,
// method "delta" or "full", bytesFull, bytesDelta (-1: none offered),
// bytesSaved, deltaFallback) when the command downloaded. Modules carry
// id, version, url, desc, releaseDate, size, state, notes (only when the
// signed document carries them) and iconUrl; a release
// date is written exactly, all 64 bits of it (QJsonValue keeps numbers as
// doubles).
QByteArray reportToJson(const CommandReport &report);

// The modules that need an upgrade, one line each, for a reader.
QString needUpgradeText(const CommandReport &report);

// The release notes of the modules that need an upgrade, under a heading
// each; empty when none carries notes.
QString notesText(const CommandReport &report);

// How each packet came, one line each: delta or full packet, the bytes
// transferred and saved, and why an offered delta was not used.
QString packetsText(const CommandReport &report);

// "UPGRADE_OP_NETWORK_FAILED (4)".
QString resultText(UpgradeOpError result);

// The server list; the key masked unless isShowKey.
QString serverClusterText(const ServerClusterInfo &info, const QString &strFilePath, bool isShowKey);
QByteArray serverClusterToJson(const ServerClusterInfo &info, const QString &strFilePath, bool isShowKey);

#endif // TVX_REPORT_H
