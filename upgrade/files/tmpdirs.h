#ifndef TVX_TMPDIRS_H
#define TVX_TMPDIRS_H

#include "upgrade/files/safecopy.h"
#include "upgrade/files/upgradetypes.h"

#include <QString>
#include <QVector>

// Removes a directory tree; a path that is itself a link is removed as a
// link, never followed. True when no directory is left at path (also when
// there was none); false for an empty path, which would name the current
// directory.
bool removeDirTree(const QString &path);

bool deleteTmpDir(const QString &strBaseDir);

#endif // TVX_TMPDIRS_H
