#ifndef TVX_READFILE_H
#define TVX_READFILE_H

#include <QByteArray>
#include <QString>

// The one way a whole file is read into memory: the caller says how large it
// may be. A file beyond the bound, also one that grows past it while it is
// read, is refused before its bytes are held; so is anything that is not a
// regular file (a directory, a FIFO, a device). A link is followed. On failure
// baContent is left empty and strError names the path and the reason.
bool readFileBounded(const QString &strPath, qint64 llMaxBytes, QByteArray &baContent, QString &strError);

#endif // TVX_READFILE_H
