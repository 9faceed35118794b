#include "upgrade/files/portablenames.h"

#include <QFile>
#include <QStringList>

#include <cstring>

#ifdef Q_OS_UNIX
#  include <QByteArray>
#  include <QVector>

#  include <cerrno>
#  include <dirent.h>
#  include <fcntl.h>
#  include <sys/stat.h>
#else
#  include <QDir>
#  include <QDirIterator>
#endif

namespace PortableNames {

namespace {

// The name Windows opens as a device: the part before the first dot,
// without trailing spaces, is a device name in any letter case ("aux.txt",
// "NUL .7z").
bool isDeviceName(const QString &strName)
{
    int end = strName.indexOf(QLatin1Char('.'));
    if (end < 0)
        end = strName.size();
    while (end > 0 && strName.at(end - 1) == QLatin1Char(' '))
        --end;
    if (end != 3 && end != 4 && end != 6 && end != 7)
        return false;
    const QString base = strName.left(end).toUpper();
    static const QStringList plain = {QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                      QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (plain.contains(base))
        return true;
    if (end != 4 || !(base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))))
        return false;
    // COM0 to COM9, and the superscript digits Windows takes as well.
    const QChar last = base.at(3);
    return (last >= QLatin1Char('0') && last <= QLatin1Char('9')) || last == QChar(0x00b9) || last == QChar(0x00b2)
        || last == QChar(0x00b3);
}

// Names as the user can type them back: control characters, and on Unix
// bytes that are no UTF-8, escaped.
QString shownName(const QString &strName)
{
    QString shown;
    for (const QChar c : strName) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

#ifdef Q_OS_UNIX
QString shownBytes(const QByteArray &baPath)
{
    const QString decoded = QFile::decodeName(baPath);
    if (QFile::encodeName(decoded) == baPath)
        return shownName(decoded);
    QString shown;
    for (const char c : baPath) {
        const uchar byte = uchar(c);
        if (byte >= 0x20 && byte < 0x7f)
            shown += QLatin1Char(c);
        else
            shown += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return shown;
}
#endif

struct Findings
{
    QString strFirst;
    int nMore = 0;

    void add(const QString &strShown, const QString &strFault)
    {
        if (strFirst.isEmpty())
            strFirst = QStringLiteral("%1: %2").arg(strShown, strFault);
        else
            ++nMore;
    }
};

#ifdef Q_OS_UNIX
// The names as the file system holds them, bytes and all: Qt's own directory
// listing leaves out what it cannot decode, which is exactly what is looked for.
bool walk(const QByteArray &baRoot, Findings &findings, QString &strError)
{
    QVector<QByteArray> pending{QByteArray()};
    while (!pending.isEmpty()) {
        const QByteArray relative = pending.takeLast();
        const QByteArray path = relative.isEmpty() ? baRoot : baRoot + '/' + relative;
        DIR *dir = ::opendir(path.constData());
        if (!dir) {
            strError = QStringLiteral("cannot read %1: %2")
                           .arg(shownBytes(path), QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        errno = 0;
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray entryPath = relative.isEmpty() ? name : relative + '/' + name;
            const QString decoded = QFile::decodeName(name);
            const QString fault = QFile::encodeName(decoded) != name ? QStringLiteral("the name is not valid UTF-8")
                                                                     : nameFault(decoded);
            if (!fault.isEmpty())
                findings.add(shownBytes(entryPath), fault);
            struct stat info {};
            if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode))
                pending.append(entryPath);
            errno = 0;
        }
        const int readError = errno;
        ::closedir(dir);
        if (readError != 0) {
            strError = QStringLiteral("cannot read %1: %2")
                           .arg(shownBytes(path), QString::fromLocal8Bit(std::strerror(readError)));
            return false;
        }
    }
    return true;
}
#else
bool walk(const QString &strRoot, Findings &findings, QString &)
{
    const QDir root(strRoot);
    QDirIterator it(strRoot, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        const QString fault = name.isValidUtf16() ? nameFault(name) : QStringLiteral("the name is not valid Unicode");
        if (!fault.isEmpty())
            findings.add(shownName(root.relativeFilePath(it.filePath())), fault);
    }
    return true;
}
#endif

} // namespace

QString nameFault(const QString &strName)
{
    if (strName.isEmpty())
        return QStringLiteral("the name is empty");
    // One pass over the characters: a signed release document brings
    // thousands of names.
    const int size = strName.size();
    for (int i = 0; i < size; ++i) {
        const QChar c = strName.at(i);
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f)
            return QStringLiteral("the name holds a control character");
        if (u < 0x80 && std::strchr("<>:\"/\\|?*", char(u)))
            return QStringLiteral("the name holds \"%1\", which Windows file names cannot").arg(c);
        if (c.isHighSurrogate() && i + 1 < size && strName.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return QStringLiteral("the name is not valid Unicode");
    }
    if (strName.endsWith(QLatin1Char('.')) || strName.endsWith(QLatin1Char(' ')))
        return QStringLiteral("the name ends with a dot or a space, which Windows drops");
    if (isDeviceName(strName))
        return QStringLiteral("the name is a device name on Windows");
    return QString();
}

bool checkTree(const QString &strDir, QString &strError)
{
    Findings findings;
#ifdef Q_OS_UNIX
    if (!walk(QFile::encodeName(strDir), findings, strError))
        return false;
#else
    if (!walk(strDir, findings, strError))
        return false;
#endif
    if (findings.strFirst.isEmpty())
        return true;
    strError = findings.strFirst;
    if (findings.nMore > 0)
        strError += QStringLiteral(" (and %1 more name%2 refused)")
                        .arg(findings.nMore)
                        .arg(findings.nMore == 1 ? QLatin1String("") : QLatin1String("s"));
    return false;
}

} // namespace PortableNames
