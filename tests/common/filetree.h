#ifndef TVX_TEST_FILETREE_H
#define TVX_TEST_FILETREE_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

// QFile::link makes a .lnk shortcut on Windows, which no file API follows:
// what needs a symbolic link is not tested there.
#ifdef Q_OS_WIN
#  define TVX_SKIP_WITHOUT_SYMLINKS() QSKIP("QFile::link makes a .lnk shortcut on Windows, not a symbolic link")
#else
#  define TVX_SKIP_WITHOUT_SYMLINKS() do { } while (false)
#endif

// Small helpers for tests that build and compare real file trees.
namespace FileTree {

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

// ifUnreadable stands for a file that is missing or cannot be opened; the
// default keeps such a file apart from an empty one when contents are compared.
inline QByteArray readFile(const QString &path, const QByteArray &ifUnreadable = QByteArray("<unreadable>"))
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : ifUnreadable;
}

// Relative path -> content of everything below root: "<dir>" for a
// directory, "<link> target" for a link, the bytes of a small file and the
// SHA-256 of a large one.
inline QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        QByteArray value;
        if (fi.isSymLink())
            value = "<link> " + QFile::encodeName(fi.symLinkTarget());
        else if (fi.isDir())
            value = "<dir>";
        else if (fi.size() <= 256)
            value = readFile(fi.filePath());
        else {
            QFile f(fi.filePath());
            QCryptographicHash hash(QCryptographicHash::Sha256);
            if (f.open(QIODevice::ReadOnly) && hash.addData(&f))
                value = "<sha256> " + hash.result().toHex();
            else
                value = "<unreadable>";
        }
        out.insert(base.relativeFilePath(fi.filePath()), value);
    }
    return out;
}

// Relative path -> SHA-256 of every file, "dir" for a directory and "link
// target" for a link, below root, leaving out the top-level entries named in
// leftOut with everything below them.
inline QMap<QString, QByteArray> hashTree(const QString &root, const QStringList &leftOut = QStringList())
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (leftOut.contains(relative.section(QLatin1Char('/'), 0, 0)))
            continue;
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink()) {
            tree.insert(relative, "link " + QFile::encodeName(info.symLinkTarget()));
        } else if (info.isDir()) {
            tree.insert(relative, "dir");
        } else {
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Sha256);
            tree.insert(relative, file.open(QIODevice::ReadOnly) && hash.addData(&file)
                                      ? hash.result().toHex()
                                      : QByteArray("unreadable"));
        }
    }
    return tree;
}

// Makes a file undeletable even for root (the immutable flag of ext4 and
// others) while it lives. isSet() is false without the privilege to set the
// flag or where the file system lacks it; whyNotSet() says which, for QSKIP.
class ImmutableFile
{
public:
    explicit ImmutableFile(const QString &path)
    {
#ifdef Q_OS_LINUX
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        int flags = 0;
        if (m_fd >= 0 && ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            m_isSet = ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (!m_isSet && !hasImmutableCapability())
            m_whyNot = "needs the privilege CAP_LINUX_IMMUTABLE, which this process lacks";
#else
        Q_UNUSED(path)
#endif
    }
    ~ImmutableFile() { release(); }
    void release()
    {
#ifdef Q_OS_LINUX
        int flags = 0;
        if (m_isSet && ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags);
        }
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_isSet = false;
#endif
    }
    bool isSet() const { return m_isSet; }
    const char *whyNotSet() const { return m_whyNot; }

private:
    Q_DISABLE_COPY(ImmutableFile)

#ifdef Q_OS_LINUX
    // Bit 9 of the effective capability set in /proc/self/status.
    static bool hasImmutableCapability()
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        const QList<QByteArray> lines = status.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith("CapEff:")) {
                bool ok = false;
                const qulonglong effective = line.mid(7).trimmed().toULongLong(&ok, 16);
                return ok && ((effective >> 9) & 1u) != 0;
            }
        }
        return false;
    }
#endif

    const char *m_whyNot = "this file system has no immutable flag";
    int m_fd = -1;
    bool m_isSet = false;
};

} // namespace FileTree

#endif // TVX_TEST_FILETREE_H
