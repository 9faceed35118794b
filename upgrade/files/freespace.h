#ifndef TVX_FREESPACE_H
#define TVX_FREESPACE_H

#include <QString>
#include <QtGlobal>

// True when the running executable's own file exists and can be written.
bool isAppFileWritable();
// Bytes below path (a file or a directory tree); count gets the number of files.
// Links to directories are not descended.
qint64 getDirSize(const QString &path, int &count);
// Bytes available to this user on the volume that holds path; 0 when unknown.
qint64 getDiskFreeSpace(const QString &path);
// True when llFree is at least twice llTotal.
bool isDiskSpaceEnough(qint64 llFree, qint64 llTotal);

// The upgrade may go on: the executable is writable, the volume of strAppDir
// has room for twice what lies under strTmpDir, and strBackupDir exists.
bool testCanUpgrade(const QString &strAppDir, const QString &strTmpDir, const QString &strBackupDir);

#endif // TVX_FREESPACE_H
