#ifndef TVX_VERSIONQUERY_H
#define TVX_VERSIONQUERY_H

#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/signature.h"

#include <QByteArray>
#include <QString>
#include <QVector>

struct ServerClusterInfo;

struct VersionRequest
{
    QString strUrl;
    QString strPathPart;
    QString strToken;
    QString strHeader; // "token:" + token
};

// The request for the current server of a valid info and a given random number.
VersionRequest buildVersionRequest(const ServerClusterInfo &info, qint64 number);

// Reads the server's JSON answer, appending one record per module element;
// false (with the warning logged) at the first fault. Never throws.
bool readVersionAnswer(const QByteArray &answer, QVector<ModuleVersion> &vecServerModuleVersion);
// The same, also taking the signed release document the answer may carry
// under the extra root key "release" (a client of the original protocol
// never looks there). *pHasRelease tells whether a well-formed one was found.
bool readVersionAnswer(const QByteArray &answer, QVector<ModuleVersion> &vecServerModuleVersion,
                       Trust::SignedEnvelope *pRelease, bool *pHasRelease);
// A first look for the signed release document of an answer, without
// reading the rest: the top-level member "release", when the answer's
// structure shows it plainly. readVersionAnswer has the last word.
bool findReleaseEnvelope(const QByteArray &answer, Trust::SignedEnvelope &envelope);

#endif // TVX_VERSIONQUERY_H
