#ifndef TVX_TEST_MODULERECORDS_H
#define TVX_TEST_MODULERECORDS_H

#include "upgrade/files/upgradetypes.h"

#include <QVector>

// True when both lists hold the same records in the same order, every field
// alike.
inline bool sameModules(const QVector<ModuleVersion> &a, const QVector<ModuleVersion> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        const ModuleVersion &x = a.at(i);
        const ModuleVersion &y = b.at(i);
        if (x.strId != y.strId || x.strVersion != y.strVersion || x.strUrl != y.strUrl || x.strDesc != y.strDesc
            || x.llReleaseDate != y.llReleaseDate || x.dSize != y.dSize || x.nState != y.nState
            || x.strIconUrl != y.strIconUrl)
            return false;
    }
    return true;
}

#endif // TVX_TEST_MODULERECORDS_H
