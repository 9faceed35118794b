#ifndef TVX_TRUST_RELEASEDOCUMENT_H
#define TVX_TRUST_RELEASEDOCUMENT_H

#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/signature.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

namespace Trust {

// When a release reaches which share of the installations. A plain
// percentage is one step at time 0; a schedule is several, by time.
struct RolloutStep
{
    qint64 llAt = 0; // seconds since 1970-01-01T00:00:00Z
    int nPercent = 0; // 0..100: installations in buckets 0..nPercent-1 take it
};

struct ReleaseRollout
{
    bool isSet = false;    // false: offered to every installation, as before rollouts
    bool isHalted = false; // offered to no installation that lacks it, whatever the steps say
    QVector<RolloutStep> vecSteps; // by time, strictly increasing
};

// The release a module had before the current one, for the installations
// that the current one's rollout or channels leave out. Its packets lie
// beside the current one's on the server.
struct PreviousRelease
{
    bool isSet = false;
    QString strVersion;
    qint64 llReleaseDate = 0;
    QString strPacket;
    qint64 llBytes = -1;
    QByteArray baSha256;
    QVector<DeltaPacket> vecDeltas;
};

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
    QString strNotes;    // release notes: plain text or a small Markdown subset; may be empty
    QStringList listChannels; // empty: "stable", which every installation sees
    ReleaseRollout rollout;
    PreviousRelease previous;
};

// The longest release notes a document may carry, in characters: a page of
// text, and a bound on what a server can make an installation show.
constexpr int maxReleaseNotesChars = 16 * 1024;

// Why strNotes cannot be signed into a document (too long, control
// characters other than line feeds and tabs); empty when it can.
QString releaseNotesProblem(const QString &strNotes);

// The signed document: {"type": "tarvex-release", "serial": N,
// "expires": "YYYY-MM-DDThh:mm:ssZ", "modules": [{"ID", "Version",
// "ReleaseDate", "Desc", "IconUrl", "Packet", "Bytes", "Sha256" (hex),
// "Deltas": [{"Base", "Packet", "Bytes", "Sha256"}] (may be missing),
// "Notes" (may be missing)}],
// "mirrors": ["URL", ...] (may be missing)}. The mirrors are the roots of
// other copies of the publisher's site, where every packet lies at the same
// path as on the primary one.
//
// Each may be missing, and a document without them means what it meant
// before they existed: "issued" (the signing time, same form as
// "expires"), "reports" (where installations send the outcome of an
// upgrade), and in a module "Channels": ["NAME", ...], "Rollout": P (a
// whole percentage) or [[SECONDS, P], ...] (seconds since
// 1970-01-01T00:00:00Z, by time), "Halted": true, and "Previous":
// [VERSION, RELEASEDATE, PACKET, BYTES, SHA256] with the previous release's
// "Deltas" as a sixth element where it has some. Arrays rather than
// objects: ten thousand of them are read on every check.
struct ReleaseDocument
{
    qint64 llSerial = 0;
    QDateTime expires;
    QDateTime issued; // invalid in documents signed before it was recorded
    QString strReportUrl;
    QVector<ReleaseModule> vecModules;
    QStringList listMirrors;
};

QByteArray releaseDocumentToJson(const ReleaseDocument &document);
// A module's "Deltas", as the document and the publisher's manifest carry
// them. Reading fails on an entry without its base, with an unsafe file name,
// or a bad size or hash; no value at all is no deltas.
QJsonArray deltasToJson(const QVector<DeltaPacket> &vecDeltas);
bool deltasFromJson(const QJsonValue &value, QVector<DeltaPacket> &vecDeltas);
bool parseReleaseDocument(const QByteArray &baJson, ReleaseDocument &document, QString &strError);
// A module's "Channels", "Rollout" and "Previous", as the document and the
// publisher's manifest carry them; absent keys leave the defaults. Reading
// fails, with the reason, on any value that is not exactly of the form.
// A channel's name: 1 to 32 of a-z, 0-9, ".", "_", "-", starting with a
// letter or digit. A report URL: http(s), with a host, no user or fragment.
bool isChannelName(const QString &strName);
bool isReportUrl(const QString &strUrl);
void offerToJson(const ReleaseModule &module, QJsonObject &object);
bool offerFromJson(const QJsonObject &object, ReleaseModule &module, QString &strError);

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
// The two halves of checkRelease. The first depends on the envelope and the
// keys alone, so it may run while the answer is still being read: Accepted
// when the signature holds and the document parses into document.
ReleaseCheck openRelease(const SignedEnvelope *pEnvelope, const KeyList &keys, ReleaseDocument &document,
                         QString &strError);
// The second: the opened document against the clock, the last accepted
// serial and the answer's modules.
ReleaseCheck checkOpenedRelease(const ReleaseDocument &document, qint64 llLastSerial, const QDateTime &now,
                                QVector<ModuleVersion> &vecAnswer, qint64 &llSerial, QString &strError);

// A release opened ahead of the check that needs it: what openRelease said
// of this envelope with these keys.
struct OpenedRelease
{
    bool isOpened = false;
    SignedEnvelope envelope;
    KeyList keys;
    ReleaseCheck check = ReleaseCheck::Missing;
    ReleaseDocument document;
    QString strError;

    // True when it was opened from exactly this envelope with exactly these
    // keys, so that its outcome is the one openRelease would give now.
    bool isFor(const SignedEnvelope &other, const KeyList &otherKeys) const;
};

} // namespace Trust

#endif // TVX_TRUST_RELEASEDOCUMENT_H
