#include "upgrade/files/installlayout.h"

#include "platform/platformnames.h"

#include <QDir>
#include <QFileInfo>

#include <climits>

namespace {

// One part of a path as Windows file systems look it up: without letter
// case, without trailing dots and spaces, and "name:stream" is a stream of
// "name". Empty for a part that names the directory holding it ("...").
QString foldPart(QString part)
{
    const int colon = part.indexOf(QLatin1Char(':'));
    if (colon >= 0)
        part.truncate(colon);
    while (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
        part.chop(1);
    return part.toCaseFolded();
}

// The folded parts of a relative path, either separator; false with the
// reason for a path that cannot name an entry below the installation.
bool foldPath(const QString &path, QStringList &parts, QString *pReason)
{
    const auto refuse = [pReason](const char *reason) {
        if (pReason)
            *pReason = QLatin1String(reason);
        return false;
    };
    if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\'))
        || (path.size() >= 2 && path.at(1) == QLatin1Char(':')))
        return refuse("is an absolute path");
    if (path.contains(QChar(0)))
        return refuse("holds a NUL character");
    QString slashed = path;
    slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList raw = slashed.split(QLatin1Char('/'));
    parts.clear();
    for (const QString &part : raw) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String(".."))
            return refuse("leaves the installation");
        const QString folded = foldPart(part);
        if (folded.isEmpty())
            return refuse("names the directory that holds it");
        parts.append(folded);
    }
    if (parts.isEmpty())
        return refuse("names the installation directory itself");
    return true;
}

QStringList foldedParts(const QString &path)
{
    QStringList parts;
    foldPath(path, parts, nullptr);
    return parts;
}

struct ReservedEntry
{
    QStringList listParts;
    const char *pszWhat;
};

const QVector<ReservedEntry> &reservedEntries()
{
    static const QVector<ReservedEntry> entries{
        {foldedParts(CInstallLayout::tmpName()), "is reserved for the engine's temporary directory"},
        {foldedParts(CInstallLayout::tmpName() + QLatin1String(".download")),
         "is reserved for the engine's download directory"},
        {foldedParts(CInstallLayout::lockFileName()), "is reserved for the installation's lock file"},
        {foldedParts(CInstallLayout::trustRecordName()),
         "is reserved for the record that the installation verifies its releases"},
        {foldedParts(CInstallLayout::serialFileName()), "is reserved for the serial of the last accepted release"},
        {foldedParts(CInstallLayout::heldBackFileName()), "is reserved for the record of held-back versions"},
        {foldedParts(CInstallLayout::updateUiFileName()), "is reserved for the user's update choices"},
        {foldedParts(CInstallLayout::installationFileName()),
         "is reserved for the installation's id, channel and report setting"},
        {foldedParts(CInstallLayout::pendingReportFileName()), "is reserved for the outcome report not sent yet"},
    };
    return entries;
}

bool startsWith(const QStringList &parts, const QStringList &prefix)
{
    if (prefix.isEmpty() || prefix.size() > parts.size())
        return false;
    for (int i = 0; i < prefix.size(); ++i) {
        if (parts.at(i) != prefix.at(i))
            return false;
    }
    return true;
}

} // namespace

CInstallLayout::CInstallLayout(const QString &strAppDir, const QString &strTmpDir)
    : m_strAppDir(strAppDir)
    , m_strTmpDir(strTmpDir.isEmpty() ? strAppDir + QDir::separator() + tmpName() : strTmpDir)
{
    // A temporary directory of the caller's choice inside the installation
    // is as much the engine's as the default one.
    const QString relative = QDir(QDir::cleanPath(QFileInfo(m_strAppDir).absoluteFilePath()))
                                 .relativeFilePath(QDir::cleanPath(QFileInfo(m_strTmpDir).absoluteFilePath()));
    QStringList parts;
    if (!relative.startsWith(QLatin1String("..")) && !QDir::isAbsolutePath(relative)
        && foldPath(relative, parts, nullptr) && parts != foldedParts(tmpName()))
        m_listTmpParts = parts;
}

QString CInstallLayout::tmpPath(const QString &strName) const
{
    return m_strTmpDir + QDir::separator() + strName;
}

QString CInstallLayout::downloadDir() const
{
    // Named after the temporary directory, so that it is never a folder of
    // someone else's.
    return QDir::cleanPath(QFileInfo(m_strTmpDir).absoluteFilePath()) + QLatin1String(".download");
}

QString CInstallLayout::appPath(const QString &strRelative) const
{
    return m_strAppDir + QDir::separator() + strRelative;
}

QString CInstallLayout::upgraderProgram() const
{
    return appPath(upgraderDirName() + QLatin1Char('/') + PlatformNames::upgraderFileName());
}

QString CInstallLayout::sevenZip() const
{
    return appPath(PlatformNames::sevenZipFileName());
}

bool CInstallLayout::isReservedName(const QString &strRelative, QString *pReason)
{
    QStringList parts;
    if (!foldPath(strRelative, parts, pReason))
        return true;
    for (const ReservedEntry &entry : reservedEntries()) {
        if (startsWith(parts, entry.listParts)) {
            if (pReason)
                *pReason = QLatin1String(entry.pszWhat);
            return true;
        }
    }
    return false;
}

bool CInstallLayout::isReservedPath(const QString &strRelative, QString *pReason) const
{
    if (isReservedName(strRelative, pReason))
        return true;
    if (m_listTmpParts.isEmpty())
        return false;
    QStringList parts;
    foldPath(strRelative, parts, nullptr);
    QStringList download = m_listTmpParts;
    download.last() += QLatin1String(".download");
    if (startsWith(parts, m_listTmpParts) || startsWith(parts, download)) {
        if (pReason)
            *pReason = QStringLiteral("is reserved for the engine's temporary directory");
        return true;
    }
    return false;
}

bool CInstallLayout::findReserved(const QString &strDir, const QStringList &listParts, QString &strError) const
{
    const QFileInfoList entries =
        QDir(strDir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QStringList parts = listParts + QStringList{entry.fileName()};
        const QString relative = parts.join(QLatin1Char('/'));
        QString reason;
        if (isReservedPath(relative, &reason)) {
            strError = QStringLiteral("\"%1\" %2").arg(relative, reason);
            return false;
        }
        if (!entry.isDir() || entry.isSymLink())
            continue;
        // Only where a reserved entry can still lie below.
        const QStringList folded = foldedParts(relative);
        bool isWorthLooking = startsWith(m_listTmpParts, folded);
        for (const ReservedEntry &reserved : reservedEntries())
            isWorthLooking = isWorthLooking || startsWith(reserved.listParts, folded);
        if (isWorthLooking && !findReserved(entry.filePath(), parts, strError))
            return false;
    }
    return true;
}

bool CInstallLayout::checkTree(const QString &strRoot, QString &strError) const
{
    return findReserved(strRoot, QStringList(), strError);
}

QString CInstallLayout::appDirProblem(const QString &strAppDir)
{
    if (strAppDir.isEmpty() || !QDir::isAbsolutePath(strAppDir))
        return QStringLiteral("the program's directory cannot be worked out");
#ifdef Q_OS_LINUX
    if (strAppDir.startsWith(QLatin1String("/proc/"))) {
        return QStringLiteral("the installation's path is longer than this system allows (%1 bytes), so the "
                              "program cannot tell where it is installed; move the installation to a shorter path")
            .arg(PATH_MAX);
    }
#endif
    return QString();
}

bool CInstallLayout::isTmpEntryName(const QString &strName)
{
    static const QStringList names{
        packetName(),      backupName(),      partialPacketName(),
        stagedMarkName(),  journalName(),     healthName(),
        deltaName(),       upgraderNewName(), upgraderOldName(),
        // What the atomic writes and the fault injection of the tests keep there.
        stagedMarkName() + QLatin1String(".new"), healthName() + QLatin1String(".new"),
        journalName() + QLatin1String(".new"), QStringLiteral("InjectedFault"),
    };
    return names.contains(foldPart(strName), Qt::CaseInsensitive);
}
