#ifndef TVX_COPYDIR_H
#define TVX_COPYDIR_H

#include <QString>

// Moves the contents of srcDir into dstDir, replacing files of the same name,
// and removes srcDir once everything was copied. dstDir is created if missing
// (its parent must exist). On a failure the copy stops at the failing entry,
// what was copied stays in dstDir and what is left of srcDir stays in place,
// so that the move can be repeated. No backup is kept.
bool copyDir(const QString &srcDir, const QString &dstDir);

#endif // TVX_COPYDIR_H
