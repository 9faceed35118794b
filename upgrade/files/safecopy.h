#ifndef TVX_SAFECOPY_H
#define TVX_SAFECOPY_H

#include <QString>
#include <QVector>

enum CopyDirMode : unsigned int {
    COPY_DIR_NORMAL = 0,            // stop at the first failure, no backup
    COPY_DIR_SAFETY = 1,            // back up every replaced file, record every created path
    COPY_DIR_CONTINUE_ON_ERROR = 2  // go on after failures, false at the end
};

struct CopyDirParam
{
    QString strBackupDir;
    QVector<QString> vecCreatedPath;
};

// Copies srcDir over dstDir file by file, never changing the source and
// never touching what the source lacks; see CopyDirMode.
bool safeCopyDir(const QString &srcDir, const QString &dstDir, unsigned int mode, CopyDirParam *pCopyDirParam);

#endif // TVX_SAFECOPY_H
