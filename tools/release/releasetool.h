#ifndef TVX_RELEASETOOL_H
#define TVX_RELEASETOOL_H

#include <QString>
#include <QJsonArray>
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
    // Both or neither: the module as installed at strBaseVersion, from which
    // a delta packet to this version is made too.
    QString strBaseTree;
    QString strBaseVersion;
};
int pack(const PackOptions &options);

// strExpires empty: 30 days from now.
int sign(const QString &strRoot, const QStringList &listKeyFiles, const QString &strExpires);
int verify(const QString &strRoot, const QStringList &listPublicFiles);
// Writes the trust file of a key rotation: the new key list, signed by the
// keys the installations trust now. Packed into a tree at
// Conf/System/TrustedKeys.json, it replaces their trusted keys.
int rotate(const QStringList &listKeyFiles, const QStringList &listPublicFiles, int nThreshold, const QString &strOut);

// Shared with the publisher.
QString manifestPath(const QString &strRoot);
QString releasePath(const QString &strRoot);
bool readManifestModules(const QString &strRoot, QJsonArray &modules, QString &strError);
bool isSafeName(const QString &strName);
void printError(const QString &strText);

} // namespace ReleaseTool

#endif // TVX_RELEASETOOL_H
