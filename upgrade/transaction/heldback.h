#ifndef TVX_HELDBACK_H
#define TVX_HELDBACK_H

#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// Module versions that were installed, failed the health check and were
// reverted. They are not offered again, so that a broken release is not
// downloaded and applied in a loop; a release newer than the failed one
// clears the hold. Kept in Conf/System/HeldBack.json.
struct HeldBackModule
{
    QString strId;
    QString strVersion;
    qint64 llReleaseDate = 0;
    QString strReason;
};

QString heldBackFilePath(const QString &strAppDir);
QVector<HeldBackModule> readHeldBack(const QString &strAppDir);
bool recordHeldBack(const QString &strAppDir, const QVector<ModuleVersion> &vecModules, const QString &strReason);

// Splits the modules a check found newer into those still to upgrade and
// those held back; clears holds that a newer offer has overtaken.
void filterHeldBack(const QString &strAppDir, QVector<ModuleVersion> &vecNeedUpgrade,
                    QVector<HeldBackModule> *pHeld = nullptr);

#endif // TVX_HELDBACK_H
