#include "upgrade/files/safecopy.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString normalizedDirPath(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    if (!native.endsWith(QDir::separator()))
        native += QDir::separator();
    return native;
}

// Puts strBackupDir back to this level's backup directory on every way out,
// so that the caller sees the value it passed, normalized.
class BackupDirRestorer
{
public:
    BackupDirRestorer(CopyDirParam *param, const QString &backupDir)
        : m_param(param), m_backupDir(backupDir) {}
    ~BackupDirRestorer()
    {
        if (m_param)
            m_param->strBackupDir = m_backupDir;
    }

private:
    Q_DISABLE_COPY(BackupDirRestorer)
    CopyDirParam *m_param;
    QString m_backupDir;
};

} // namespace

bool safeCopyDir(const QString &srcDir, const QString &dstDir, unsigned int mode, CopyDirParam *pCopyDirParam)
{
    if (mode != COPY_DIR_SAFETY && mode != COPY_DIR_CONTINUE_ON_ERROR)
        mode = COPY_DIR_NORMAL;
    const bool isSafety = mode == COPY_DIR_SAFETY;
    const bool isContinue = mode == COPY_DIR_CONTINUE_ON_ERROR;

    // An empty path would name the current directory.
    if (srcDir.isEmpty() || !QDir(srcDir).exists()) {
        qWarning() << "srcDir is Empty";
        return false;
    }
    // An empty destination would become the file system root.
    if (dstDir.isEmpty()) {
        qWarning() << "dstDir is Empty";
        return false;
    }
    if (isSafety && (!pCopyDirParam || pCopyDirParam->strBackupDir.isEmpty())) {
        qWarning() << "copy safety need pCopyDirParam and pCopyDirParam->strBackupDir can't be empty";
        return false;
    }

    const QString src = normalizedDirPath(srcDir);
    const QString dst = normalizedDirPath(dstDir);

    if (!QDir(dst).exists()) {
        if (!QDir().mkpath(dst)) {
            qWarning() << "mkpath " << dst << "failed";
            return false;
        }
        if (isSafety)
            pCopyDirParam->vecCreatedPath.append(dst);
    }

    QString bak;
    if (isSafety) {
        bak = normalizedDirPath(pCopyDirParam->strBackupDir);
        if (!QDir(bak).exists() && !QDir().mkpath(bak)) {
            qWarning() << "mkpath " << bak << "failed";
            return false;
        }
    }
    const BackupDirRestorer restorer(isSafety ? pCopyDirParam : nullptr, bak);

    const QFileInfoList entries =
        QDir(src).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    bool result = true;
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const QString s = src + name;
        const QString d = dst + name;

        if (entry.isFile() || entry.isSymLink()) {
            if (QFileInfo::exists(d)) {
                const QString backupPath = bak + name;
                if (isSafety && !QFile::copy(d, backupPath)) {
                    qWarning() << "copy file to " << backupPath << "failed!";
                    return false;
                }
                if (!QFile::remove(d)) {
                    qWarning() << "delete file " << d << "failed!";
                    if (isContinue) {
                        result = false;
                        continue;
                    }
                    if (isSafety) {
                        // The destination was not replaced: its backup must not
                        // be copied back over it later.
                        if (QFileInfo::exists(d))
                            QFile::remove(backupPath);
                        else
                            qWarning() << "File " << d << " is remove failed, but not exists";
                    }
                    return false;
                }
            }
            if (!QFile::copy(s, d)) {
                qWarning() << "copy file " << d << "failed!";
                if (isContinue) {
                    result = false;
                    continue;
                }
                return false;
            }
            if (isSafety)
                pCopyDirParam->vecCreatedPath.append(d);
        } else if (entry.isDir()) {
            if (isSafety)
                pCopyDirParam->strBackupDir = bak + name;
            if (!safeCopyDir(s, d, mode, pCopyDirParam)) {
                qWarning() << "copyDir " << s << " to " << d << "failed";
                if (isContinue) {
                    result = false;
                    continue;
                }
                return false;
            }
        }
    }
    return result;
}
