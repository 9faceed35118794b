#ifndef TVX_TRUST_ROLLOUT_H
#define TVX_TRUST_ROLLOUT_H

#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/releasedocument.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace Trust {

// What an installation brings to the choice among a document's releases.
struct RolloutIdentity
{
    QString strInstallationId; // random, made once per installation
    QString strChannel;        // empty: "stable"
};

QString stableChannel();

// The installation's bucket for one release, 0..99: from the installation id
// and the release (module and version) together, so that the installations
// that take one release early are not the same ones for the next.
int rolloutBucket(const QString &strInstallationId, const QString &strModuleId, const QString &strVersion);

// The moment a document's schedules are read at: the installation's clock,
// but never before the document was signed (what the signer saw as due is
// due) nor after it expires (a clock far ahead brings in no step the
// document does not cover; past the expiry the document is refused anyway).
// isClamped says whether the clock lay outside.
QDateTime rolloutClock(const ReleaseDocument &document, const QDateTime &now, bool *pIsClamped = nullptr);

// The share of buckets a rollout offers the release to at llAt (seconds
// since the epoch): 100 without a rollout, 0 when halted or before its
// first step, else the percentage of the last step not after llAt.
int rolloutPercent(const ReleaseRollout &rollout, qint64 llAt);

// Whether a release is offered on a channel: its own channels, and every
// channel sees the stable ones.
bool isOfferedOnChannel(const ReleaseModule &module, const QString &strChannel);

enum class Offer { Current, Previous, Nothing };
// Which of a module's releases this installation is offered at the clock,
// with the reason in strWhy when it is not the current one.
Offer chooseOffer(const ReleaseModule &module, const RolloutIdentity &identity, const QDateTime &clock,
                  QString &strWhy);

// Applies the choice to an answer that checkRelease accepted against the
// document: a module whose current release the installation is not offered
// becomes its previous release (the packet and its mirrors at the same
// places, named as the document names them), or leaves the answer when the
// document has none. listLog gets one line for each module changed.
void applyRollout(const ReleaseDocument &document, const RolloutIdentity &identity, const QDateTime &now,
                  QVector<ModuleVersion> &vecAnswer, QStringList &listLog);

} // namespace Trust

#endif // TVX_TRUST_ROLLOUT_H
