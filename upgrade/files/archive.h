#ifndef TVX_ARCHIVE_H
#define TVX_ARCHIVE_H

#include <QString>

// Unpacks strArchivePath into strOutDir with the 7-Zip command-line tool
// (x, full paths, overwrite). True when the tool ran and reported success.
bool do7z(const QString &str7zPath, const QString &strArchivePath, const QString &strOutDir);

#endif // TVX_ARCHIVE_H
