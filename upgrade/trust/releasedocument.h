#ifndef TVX_TRUST_RELEASEDOCUMENT_H
#define TVX_TRUST_RELEASEDOCUMENT_H

#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/signature.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>

namespace Trust {

// One module as the publisher signed it.
struct ReleaseModule
{
    QString strId;
    QString strVersion;
    qint64 llReleaseDate = 0;
    QString strDesc;
    QString strIconUrl;
    QString strPacket;   // the packet's file name
    qint64 llBytes = -1; // its exact size
    QByteArray baSha256; // and its SHA-256, 32 bytes
    QVector<DeltaPacket> vecDeltas; // packets that upgrade an older installed version to this one
};

// The signed document: {"type": "tarvex-release", "serial": N,
// "expires": "YYYY-MM-DDThh:mm:ssZ", "modules": [{"ID", "Version",
// "ReleaseDate", "Desc", "IconUrl", "Packet", "Bytes", "Sha256" (hex),
// "Deltas": [{"Base", "Packet", "Bytes", "Sha256"}] (may be missing)}]}
struct ReleaseDocument
{
    qint64 llSerial = 0;
    QDateTime expires;
    QVector<ReleaseModule> vecModules;
};

QByteArray releaseDocumentToJson(const ReleaseDocument &document);
// A module's "Deltas", as the document and the publisher's manifest carry
// them. Reading fails on an entry without its base, with an unsafe file name,
// or a bad size or hash; no value at all is no deltas.
QJsonArray deltasToJson(const QVector<DeltaPacket> &vecDeltas);
bool deltasFromJson(const QJsonValue &value, QVector<DeltaPacket> &vecDeltas);
bool parseReleaseDocument(const QByteArray &baJson, ReleaseDocument &document, QString &strError);

enum class ReleaseCheck { Accepted, Missing, Malformed, Untrusted, Expired, RolledBack, Disagrees };

// Which check a release failed, for the log.
const char *releaseCheckName(ReleaseCheck check);

// Checks the envelope an answer carried (null when it carried none) against
// the trusted keys, the clock and the last accepted serial, then the
// answer's modules against the document. On Accepted, every record of
// vecAnswer gets its signed packet size and hash and its delta packets, and
// llSerial the document's serial; otherwise strError tells the detail.
ReleaseCheck checkRelease(const SignedEnvelope *pEnvelope, const KeyList &keys, qint64 llLastSerial,
                          const QDateTime &now, QVector<ModuleVersion> &vecAnswer, qint64 &llSerial,
                          QString &strError);

} // namespace Trust

#endif // TVX_TRUST_RELEASEDOCUMENT_H
