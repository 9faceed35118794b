#include "upgrade/files/safecopy.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_LINUX
enum class FastCopy { Done, Failed, Unsupported };

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    Q_DISABLE_COPY(FileDescriptor)
    int m_fd;
};

bool copyContent(int in, int out, qint64 size)
{
    if (::ioctl(out, FICLONE, in) == 0)
        return true;
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(size - done), 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0)
            return true; // the file shrank while it was copied
        if (errno == EINTR)
            continue;
        break;
    }
    while (done < size) {
        const ssize_t n = ::sendfile(out, in, nullptr, size_t(qMin<qint64>(size - done, 0x40000000)));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0)
            return true;
        if (errno == EINTR)
            continue;
        return false;
    }
    return true;
}

// QFile::copy without its per-file sync to disk, which makes copying many
// small files hundreds of times slower; callers that hand the copy over
// flush the file system once (see the apply step). Same rules otherwise:
// the source is read through links, the destination is never overwritten
// and appears complete or not at all, only the permission bits travel.
FastCopy copyFileFast(const QString &from, const QString &to)
{
    const FileDescriptor in(::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return FastCopy::Unsupported;

    const QByteArray dstDir = QFile::encodeName(QFileInfo(to).absolutePath());
    const FileDescriptor out(::open(dstDir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return FastCopy::Unsupported;
    if (!copyContent(in.get(), out.get(), st.st_size) || ::fchmod(out.get(), st.st_mode & 0777) != 0)
        return FastCopy::Failed;

    // linkat never replaces an existing name.
    const QByteArray procPath = "/proc/self/fd/" + QByteArray::number(out.get());
    if (::linkat(AT_FDCWD, procPath.constData(), AT_FDCWD, QFile::encodeName(to).constData(), AT_SYMLINK_FOLLOW) == 0)
        return FastCopy::Done;
    return errno == EEXIST ? FastCopy::Failed : FastCopy::Unsupported;
}
#endif

bool copyFile(const QString &from, const QString &to)
{
#ifdef Q_OS_LINUX
    switch (copyFileFast(from, to)) {
    case FastCopy::Done:
        return true;
    case FastCopy::Failed:
        return false;
    case FastCopy::Unsupported:
        break;
    }
#endif
    return QFile::copy(from, to);
}

// A file about to be replaced is kept under a second name: with a hard link
// its content is safe at once, without copying or syncing it. Links, other
// volumes and file systems without hard links take the copy.
bool backupFile(const QString &from, const QString &to)
{
#ifdef Q_OS_LINUX
    if (!QFileInfo(from).isSymLink()) {
        if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
            return true;
        if (errno == EEXIST)
            return false;
    }
#endif
    return QFile::copy(from, to);
}

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
                if (isSafety && !backupFile(d, backupPath)) {
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
            if (!copyFile(s, d)) {
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
