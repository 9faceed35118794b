#ifndef TVX_ARCHIVE_H
#define TVX_ARCHIVE_H

#include <QString>

// Unpacks the 7z archive strArchivePath into strOutDir with the 7-Zip
// command-line tool (x, full paths, overwrite, 7z format only). True when the
// tool ran and reported success; an archive of another format is refused.
bool do7z(const QString &str7zPath, const QString &strArchivePath, const QString &strOutDir);

#endif // TVX_ARCHIVE_H
