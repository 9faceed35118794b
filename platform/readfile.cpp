#include "platform/readfile.h"

#include <QFile>
#include <QFileInfo>

#include <limits>

bool readFileBounded(const QString &strPath, qint64 llMaxBytes, QByteArray &baContent, QString &strError)
{
    baContent.clear();
    // One byte more than the bound must fit a QByteArray, to see a file grow past it.
    const qint64 bound = qBound<qint64>(0, llMaxBytes, std::numeric_limits<int>::max() - 1);
    const QFileInfo info(strPath);
    if (!info.exists()) {
        strError = QStringLiteral("cannot read %1: no such file").arg(strPath);
        return false;
    }
    if (!info.isFile()) {
        strError = QStringLiteral("cannot read %1: not a regular file").arg(strPath);
        return false;
    }
    if (info.size() > bound) {
        strError = QStringLiteral("%1 has %2 bytes, more than the %3 it may have")
                       .arg(strPath)
                       .arg(info.size())
                       .arg(bound);
        return false;
    }
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly)) {
        strError = QStringLiteral("cannot read %1: %2").arg(strPath, file.errorString());
        return false;
    }
    // Sized from what the file says, then read to its real end: a file the
    // size does not describe (a growing log, a pseudo-file) still stops at
    // the bound.
    QByteArray content(int(info.size()) + 1, Qt::Uninitialized);
    qint64 have = 0;
    for (;;) {
        if (have == content.size()) {
            if (have > bound)
                break;
            content.resize(int(qMin<qint64>(have * 2 + 64 * 1024, bound + 1)));
        }
        const qint64 got = file.read(content.data() + have, content.size() - have);
        if (got < 0) {
            strError = QStringLiteral("cannot read %1: %2").arg(strPath, file.errorString());
            return false;
        }
        if (got == 0)
            break;
        have += got;
    }
    if (have > bound) {
        strError = QStringLiteral("%1 grew past the %2 bytes it may have").arg(strPath).arg(bound);
        return false;
    }
    content.resize(int(have));
    baContent = content;
    return true;
}
