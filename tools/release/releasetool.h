#ifndef TVX_RELEASETOOL_H
#define TVX_RELEASETOOL_H

#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/signature.h"

#include <QString>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

// The commands of tarvex-release. Each prints what it did on stdout, every
// fault as one "tarvex-release: ..." line on stderr, and returns the exit
// status: 0, or 1 for any fault.
namespace ReleaseTool {

int keygen(const QString &strOut);

struct PackOptions
{
    QString strRoot;
    QString strTree;
    QString strModule;
    QString strVersion;
    QString strReleaseDate; // YYYYMMDDhhmm
    QString strDesc;
    QString strIconUrl;
    QString strNotesFile; // release notes: plain text or a small Markdown subset, UTF-8
    // Both or neither: the module as installed at strBaseVersion, from which
    // a delta packet to this version is made too.
    QString strBaseTree;
    QString strBaseVersion;
    bool isAllowOlder = false; // a release date not later than the current one
    bool isDryRun = false;
};
int pack(const PackOptions &options);

// strExpires empty: 30 days from now. listMirrors: roots of other copies of
// the published site, signed into the document.
// strReportUrl: where installations send the outcome of each upgrade; empty
// for no reports.
int sign(const QString &strRoot, const QStringList &listKeyFiles, const QString &strExpires,
         const QStringList &listMirrors, const QString &strReportUrl, bool isDryRun);
// Staged rollouts (releaserollout.cpp). Each changes the module's offer in
// the manifest and signs the site again, keeping its mirrors and report URL.
struct RolloutOptions
{
    QString strRoot;
    QString strModule;
    QStringList listKeyFiles;
    QString strExpires;
    QString strReportUrl;  // empty: the one signed before
    bool hasPercent = false;
    int nPercent = 0;
    QString strScheduleFile;
    QStringList listChannels;
    bool isDryRun = false;
};
int rolloutSet(const RolloutOptions &options);
int rolloutAdvance(const RolloutOptions &options);
int rolloutHalt(const RolloutOptions &options);
struct RolloutStatusOptions
{
    QString strLogFile;
    bool isJson = false;
    bool hasAutoHalt = false;
    double dAutoHaltAbove = 0; // percent of reverted or failed reports
    int nMinReports = 1;
    RolloutOptions halt; // the site and keys an automatic halt signs with
};
int rolloutStatus(const RolloutStatusOptions &options);
int verify(const QString &strRoot, const QStringList &listPublicFiles);
int show(const QString &strRoot, bool isJson);
// strReleaseDate empty: now, and at least a minute after the withdrawn release.
int withdraw(const QString &strRoot, const QString &strModule, const QString &strReleaseDate, bool isDryRun);
// Writes the trust file of a key rotation: the new key list, signed by the
// keys the installations trust now. Packed into a tree at
// Conf/System/TrustedKeys.json, it replaces their trusted keys.
int rotate(const QStringList &listKeyFiles, const QStringList &listPublicFiles, int nThreshold, const QString &strOut);

// Shared with the publisher.
QString manifestPath(const QString &strRoot);
QString releasePath(const QString &strRoot);
bool readManifestModules(const QString &strRoot, QJsonArray &modules, QString &strError);
bool moduleFromManifest(const QJsonObject &entry, Trust::ReleaseModule &module, QString &strError);
// The signed document of the site; false with the reason when there is none
// or it cannot be read (its signature is not checked here).
bool readSignedRelease(const QString &strRoot, Trust::SignedEnvelope &envelope, Trust::ReleaseDocument &document,
                       QString &strError);
// True when the manifest's entry is what the document signed.
bool isSameRelease(const Trust::ReleaseModule &a, const Trust::ReleaseModule &b);
// True when both offer the release alike: channels, rollout, previous release.
bool isSameOffer(const Trust::ReleaseModule &a, const Trust::ReleaseModule &b);
// The directory a module's packets are published in: named after the
// content of the full packet and of each delta, so that what lies under one
// name never changes.
QString packetSetId(const Trust::ReleaseModule &module);
// "http(s)://HOST[:PORT][/PATH]" without a trailing "/", query or fragment:
// the root of a published site.
bool isSiteUrl(const QString &strUrl);
bool isSafeName(const QString &strName);
void printError(const QString &strText);
void printWarning(const QString &strText);
void printOut(const QString &strText);

} // namespace ReleaseTool

#endif // TVX_RELEASETOOL_H
