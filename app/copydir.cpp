#include "app/copydir.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

static QString dirPrefix(const QString &path)
{
    QString prefix = QDir::toNativeSeparators(path);
    if (!prefix.endsWith(QDir::separator()))
        prefix += QDir::separator();
    return prefix;
}

bool copyDir(const QString &srcDir, const QString &dstDir)
{
    QDir source(srcDir);
    if (!source.exists()) {
        qWarning() << "srcDir is Empty";
        return false;
    }
    QDir destination(dstDir);
    if (!destination.exists() && !destination.mkdir(dstDir)) {
        qWarning() << "mkdir strDstDir failed";
        return false;
    }

    const QString srcPrefix = dirPrefix(srcDir);
    const QString dstPrefix = dirPrefix(dstDir);
    const QStringList names = source.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                               QDir::NoSort);
    for (const QString &name : names) {
        const QString src = srcPrefix + name;
        const QString dst = dstPrefix + name;
        const QFileInfo info(src);
        if (info.isFile() || info.isSymLink()) {
            // QFile::copy never overwrites, not even a dangling link.
            const QFileInfo dstInfo(dst);
            if ((dstInfo.exists() || dstInfo.isSymLink()) && !QFile::remove(dst)) {
                qWarning() << "delete file " << dst << "failed!";
                return false;
            }
            if (!QFile::copy(src, dst)) {
                qWarning() << "copy file " << dst << "failed!";
                return false;
            }
        } else if (info.isDir()) {
            if (!copyDir(src, dst)) {
                qWarning() << "copyDir " << src << " to " << dst << "failed";
                return false;
            }
        }
    }

    // A source that is itself a link to a directory: removing it recursively
    // would empty the link's target, which lies outside the moved tree.
    if (QFileInfo(srcDir).isSymLink())
        QFile::remove(srcDir);
    else
        source.removeRecursively();
    return true;
}
