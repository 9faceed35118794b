#ifndef TVX_DELTAPACKER_H
#define TVX_DELTAPACKER_H

#include "upgrade/delta/delta.h"

#include <QByteArray>
#include <QString>

// The making of delta packets: only the publisher ever compresses patches.
namespace ReleaseTool {

// One zstd frame of baNew with baOld as its prefix dictionary; an empty baOld
// compresses baNew alone.
bool makePatch(const QByteArray &baOld, const QByteArray &baNew, QByteArray &baPatch, QString &strError);

struct DeltaStats
{
    int nKeep = 0;
    int nPatch = 0;
    int nAdd = 0;
};

// Fills strOutDir (an empty directory) with delta.json, patches/ and files/,
// which upgrade strBaseTree to strNewTree.
bool makeDeltaTree(const QString &strBaseTree, const QString &strNewTree, Delta::Index &index,
                   const QString &strOutDir, DeltaStats &stats, QString &strError);

} // namespace ReleaseTool

#endif // TVX_DELTAPACKER_H
