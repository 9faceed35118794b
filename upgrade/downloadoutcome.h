#ifndef TVX_DOWNLOADOUTCOME_H
#define TVX_DOWNLOADOUTCOME_H

#include "upgrade/files/upgradetypes.h"

#include <QVector>

class CUpgrade;

// After a download run of the engine: the outcome of each module it was for,
// kept in the install layout's pending report file for the apply and the
// health check to complete and send, or sent at once when the download
// failed (nothing is applied then). Nothing when the installation turned
// reports off or the signed document names no report URL. A stopped
// download is the user's choice, not an outcome of the release: callers
// leave it out.
void recordDownloadOutcome(const CUpgrade &upgrade, const QVector<ModuleVersion> &vecInstalled,
                           const QVector<ModuleVersion> &vecNeedUpgrade, UpgradeOpError result, qint64 llDownloadMs);

#endif // TVX_DOWNLOADOUTCOME_H
