#include "upgrade/transaction/journal.h"

#include "upgrade/files/safecopy.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/files/durable.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#else
#  include <csignal>
#  include <cstdio>
#  include <unistd.h>
#endif

namespace {

const char JournalHeader[] = "TVXJ 1";

struct Entry
{
    char kind; // 'D' directory created, 'F' file added, 'R' file replaced
    QString strRelative;
};

struct Journal
{
    QVector<Entry> vecEntries;
    bool isPlanComplete = false;
    bool isCommitted = false;
    bool isRevertAsked = false;
    bool hasUpgrader = false; // the hand-over swapped Upgrade/, the old one waits in Tmp
};

// Fault injection for the crash tests: TARVEX_UPGRADE_KILL_AT=N ends the
// process with SIGKILL at the Nth step of an apply, as a power cut would.
void step()
{
    static const int killAt = qEnvironmentVariableIsSet("TARVEX_UPGRADE_KILL_AT")
        ? qEnvironmentVariableIntValue("TARVEX_UPGRADE_KILL_AT") : -1;
    static int count = 0;
    if (++count == killAt) {
#ifdef Q_OS_WIN
        // With the code of a crash, which is what the parent must see.
        TerminateProcess(GetCurrentProcess(), STATUS_ACCESS_VIOLATION);
#else
        ::raise(SIGKILL);
#endif
    }
}

bool moveEntry(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<LPCWSTR>(from.utf16()), reinterpret_cast<LPCWSTR>(to.utf16()),
                       MOVEFILE_WRITE_THROUGH);
#else
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

bool existsOrLink(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QByteArray encodePath(const QString &relative)
{
    return QUrl::toPercentEncoding(relative, "/");
}

class CJournalPaths
{
public:
    CJournalPaths(const QString &strAppDir, const QString &strTmpDir)
        : appDir(QDir::cleanPath(strAppDir))
        , tmpDir(QDir::cleanPath(strTmpDir))
        , packetDir(tmpDir + QLatin1String("/Packet"))
        , backupDir(tmpDir + QLatin1String("/Backup"))
        , journalPath(tmpDir + QLatin1Char('/') + TmpNames::journal())
        , upgraderOld(tmpDir + QLatin1Char('/') + TmpNames::upgraderOld())
        , upgraderNew(tmpDir + QLatin1Char('/') + TmpNames::upgraderNew())
        , upgraderDir(appDir + QLatin1String("/Upgrade"))
    {
    }
    QString installed(const QString &rel) const { return appDir + QLatin1Char('/') + rel; }
    QString staged(const QString &rel) const { return packetDir + QLatin1Char('/') + rel; }
    QString backup(const QString &rel) const { return backupDir + QLatin1Char('/') + rel; }

    const QString appDir, tmpDir, packetDir, backupDir, journalPath, upgraderOld, upgraderNew, upgraderDir;
};

bool readJournal(const QString &path, Journal &journal)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    // Only whole lines count: a line cut by the crash was never flushed.
    const QList<QByteArray> lines = content.left(content.lastIndexOf('\n') + 1).split('\n');
    if (lines.isEmpty() || lines.first() != JournalHeader)
        return false;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (line.isEmpty())
            continue;
        const char kind = line.at(0);
        if ((kind == 'D' || kind == 'F' || kind == 'R') && line.size() > 2 && !journal.isPlanComplete) {
            const QString rel = QUrl::fromPercentEncoding(line.mid(2));
            // Written by this program, but a damaged journal must not send a
            // rollback outside the installation.
            if (QDir::isAbsolutePath(rel) || rel.split(QLatin1Char('/')).contains(QStringLiteral("..")))
                return false;
            journal.vecEntries.append(Entry{kind, rel});
        } else if (kind == 'U') {
            journal.hasUpgrader = true;
        } else if (kind == 'P') {
            journal.isPlanComplete = true;
        } else if (kind == 'C') {
            journal.isCommitted = true;
        } else if (kind == 'X') {
            journal.isRevertAsked = true;
        }
    }
    return true;
}

bool appendRecord(const QString &path, const QByteArray &record)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    bool isWritten = file.write(record) == record.size() && file.flush();
#ifndef Q_OS_WIN
    isWritten = isWritten && ::fsync(file.handle()) == 0;
#endif
    return isWritten;
}

// Puts the upgrader that the hand-over replaced back in Upgrade/. Every step
// looks at what is there first, so that it can be run again after a crash.
bool restoreOldUpgrader(const CJournalPaths &paths)
{
    if (existsOrLink(paths.upgraderOld)) {
        if (existsOrLink(paths.upgraderDir)
            && (!removeDirTree(paths.upgraderNew) || !moveEntry(paths.upgraderDir, paths.upgraderNew))) {
            qWarning() << "move the new upgrader" << paths.upgraderDir << "aside failed";
            return false;
        }
        if (!moveEntry(paths.upgraderOld, paths.upgraderDir)) {
            qWarning() << "put the old upgrader back to" << paths.upgraderDir << "failed";
            return false;
        }
        qInfo() << "the previous upgrader is back in" << paths.upgraderDir;
    }
    removeDirTree(paths.upgraderNew);
    return true;
}

// Undoes the entries, last first. Each step checks what is on disk, so the
// rollback can be repeated after it was itself interrupted.
bool rollBack(const CJournalPaths &paths, const Journal &journal)
{
    bool isComplete = true;
    for (auto it = journal.vecEntries.crbegin(); it != journal.vecEntries.crend(); ++it) {
        step();
        const QString installed = paths.installed(it->strRelative);
        switch (it->kind) {
        case 'R': {
            const QString backup = paths.backup(it->strRelative);
            if (!existsOrLink(backup))
                break; // never moved aside, or already back
            if (existsOrLink(installed) && !QFile::remove(installed)) {
                qWarning() << "rollback: remove" << installed << "failed";
                isComplete = false;
                break;
            }
            if (!moveEntry(backup, installed)) {
                qWarning() << "rollback: restore" << installed << "from" << backup << "failed";
                isComplete = false;
            }
            break;
        }
        case 'F':
            if (existsOrLink(installed) && !QFile::remove(installed)) {
                qWarning() << "rollback: remove" << installed << "failed";
                isComplete = false;
            }
            break;
        case 'D':
            if (QFileInfo(installed).isDir() && !QFileInfo(installed).isSymLink() && !QDir().rmdir(installed)) {
                qWarning() << "rollback: remove directory" << installed << "failed";
                isComplete = false;
            }
            break;
        default:
            break;
        }
    }
    if (journal.hasUpgrader && !restoreOldUpgrader(paths))
        isComplete = false;
    return isComplete;
}

// After a complete rollback or a final commit, nothing in Tmp is needed any
// more. The journal goes last but one: until it is gone, a crash here only
// means that the next start does the same again.
bool endTransaction(const CJournalPaths &paths)
{
    Durable::syncVolume(paths.appDir);
    QFile::remove(paths.tmpDir + QLatin1Char('/') + TmpNames::stagedMark());
    removeDirTree(paths.backupDir);
    step();
    if (QFileInfo::exists(paths.journalPath) && !QFile::remove(paths.journalPath))
        return false;
    step();
    return removeDirTree(paths.tmpDir);
}

UpgradeOpError rollBackAndEnd(const CJournalPaths &paths, const Journal &journal)
{
    if (!rollBack(paths, journal)) {
        qWarning() << "rollback incomplete: the installation in" << paths.appDir << "is not back as it was;"
                   << paths.tmpDir << "and its journal are kept for the next attempt";
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    endTransaction(paths);
    return UPGRADE_OP_SUCCESS;
}

// Walks the packet in name order, directories before what they hold.
bool planDir(const CJournalPaths &paths, const QString &rel, QVector<Entry> &entries)
{
    const QString dir = rel.isEmpty() ? paths.packetDir : paths.staged(rel);
    const QFileInfoList list = QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                           | QDir::NoDotAndDotDot,
                                                       QDir::Name);
    for (const QFileInfo &info : list) {
        const QString childRel = rel.isEmpty() ? info.fileName() : rel + QLatin1Char('/') + info.fileName();
        const QFileInfo target(paths.installed(childRel));
        if (info.isDir() && !info.isSymLink()) {
            if (target.isSymLink() || (target.exists() && !target.isDir())) {
                qWarning() << "mkpath " << QDir::toNativeSeparators(target.filePath()) << "failed";
                return false;
            }
            if (!target.exists())
                entries.append(Entry{'D', childRel});
            if (!planDir(paths, childRel, entries))
                return false;
        } else {
            if (target.isDir() && !target.isSymLink()) {
                qWarning() << "delete file " << QDir::toNativeSeparators(target.filePath()) << "failed!";
                return false;
            }
            entries.append(Entry{existsOrLink(target.filePath()) ? 'R' : 'F', childRel});
        }
    }
    return true;
}

// The staged file into its place: moved when it can be (same volume), copied
// otherwise. A link in the packet is copied as the safe copy does, by content.
bool placeStaged(const QString &staged, const QString &installed)
{
    if (!QFileInfo(staged).isSymLink() && moveEntry(staged, installed))
        return true;
    if (QFile::copy(staged, installed))
        return true;
    qWarning() << "copy file " << QDir::toNativeSeparators(installed) << "failed!";
    return false;
}

bool act(const CJournalPaths &paths, const QVector<Entry> &entries)
{
    QSet<QString> backupDirs;
    for (const Entry &entry : entries) {
        const QString installed = paths.installed(entry.strRelative);
        const QString staged = paths.staged(entry.strRelative);
        switch (entry.kind) {
        case 'D':
            if (!QDir().mkdir(installed)) {
                qWarning() << "mkpath " << QDir::toNativeSeparators(installed) << "failed";
                return false;
            }
            break;
        case 'R': {
            const QString backup = paths.backup(entry.strRelative);
            const QString backupParent = QFileInfo(backup).path();
            if (!backupDirs.contains(backupParent)) {
                if (!QDir().mkpath(backupParent)) {
                    qWarning() << "mkpath " << QDir::toNativeSeparators(backupParent) << "failed";
                    return false;
                }
                backupDirs.insert(backupParent);
            }
            if (!moveEntry(installed, backup)) {
                qWarning() << "copy file to " << QDir::toNativeSeparators(backup) << "failed!";
                return false;
            }
            step();
            if (!placeStaged(staged, installed))
                return false;
            break;
        }
        case 'F':
            if (!placeStaged(staged, installed))
                return false;
            break;
        default:
            break;
        }
        step();
    }
    return true;
}

} // namespace

CUpgradeTransaction::CUpgradeTransaction(const QString &strAppDir, const QString &strTmpDir)
    : m_strAppDir(strAppDir)
    , m_strTmpDir(strTmpDir)
{
}

bool CUpgradeTransaction::isJournalDisabled()
{
    return qEnvironmentVariableIntValue("TARVEX_UPGRADE_NO_JOURNAL") == 1;
}

UpgradeOpError CUpgradeTransaction::apply()
{
    const CJournalPaths paths(m_strAppDir, m_strTmpDir);
    qDebug() << "Upgrade Tmp Dir To DstDir";

    Journal journal;
    journal.hasUpgrader = existsOrLink(paths.upgraderOld);
    if (!planDir(paths, QString(), journal.vecEntries)) {
        // Nothing was changed yet; only the upgrader swap may need undoing.
        qWarning() << "copyDir failed";
        return rollBackAndEnd(paths, journal) == UPGRADE_OP_SUCCESS ? UPGRADE_OP_WRITE_FILE_FAILED
                                                                    : UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    // The backup must hold only what this apply replaces.
    removeDirTree(paths.backupDir);

    const bool isJournaled = !isJournalDisabled();
    if (isJournaled) {
        QByteArray plan = QByteArray(JournalHeader) + '\n';
        if (journal.hasUpgrader)
            plan += "U\n";
        for (const Entry &entry : qAsConst(journal.vecEntries))
            plan += entry.kind + QByteArray(" ") + encodePath(entry.strRelative) + '\n';
        plan += "P\n";
        QFile::remove(paths.journalPath);
        if (!appendRecord(paths.journalPath, plan) || !Durable::syncDir(paths.tmpDir)) {
            qWarning() << "write journal" << paths.journalPath << "failed; nothing was changed";
            QFile::remove(paths.journalPath);
            return UPGRADE_OP_WRITE_FILE_FAILED;
        }
    }
    step();

    if (!act(paths, journal.vecEntries)) {
        qWarning() << "copyDir failed";
        return rollBackAndEnd(paths, journal) == UPGRADE_OP_SUCCESS ? UPGRADE_OP_WRITE_FILE_FAILED
                                                                    : UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    // The renames reach the disk before the record that makes them final.
    Durable::syncVolume(paths.appDir);
    if (isJournaled && !appendRecord(paths.journalPath, "C\n")) {
        qWarning() << "write commit record to" << paths.journalPath << "failed";
        return rollBackAndEnd(paths, journal) == UPGRADE_OP_SUCCESS ? UPGRADE_OP_WRITE_FILE_FAILED
                                                                    : UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    step();
    qDebug() << "copyDir success";
    return UPGRADE_OP_SUCCESS;
}

bool CUpgradeTransaction::finish()
{
    const CJournalPaths paths(m_strAppDir, m_strTmpDir);
    return endTransaction(paths);
}

UpgradeOpError CUpgradeTransaction::revert()
{
    const CJournalPaths paths(m_strAppDir, m_strTmpDir);
    Journal journal;
    if (!readJournal(paths.journalPath, journal) || !journal.isPlanComplete) {
        qWarning() << "no journal in" << paths.tmpDir << "to revert";
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    // From here a crash goes on with the revert, not with the commit.
    if (!journal.isRevertAsked && !appendRecord(paths.journalPath, "X\n"))
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    return rollBackAndEnd(paths, journal);
}

bool hasUnfinishedTransaction(const QString &strTmpDir)
{
    return QFileInfo::exists(QDir(strTmpDir).absoluteFilePath(TmpNames::journal()));
}

UpgradeOpError recoverInterruptedUpgrade(const QString &strAppDir, const QString &strTmpDir, bool isHandOver)
{
    const CJournalPaths paths(strAppDir, strTmpDir);
    if (!QFileInfo::exists(paths.journalPath)) {
        // A hand-over that never reached the apply: the installation is old,
        // and its upgrader must be the old one too.
        if (!isHandOver && (existsOrLink(paths.upgraderOld) || existsOrLink(paths.upgraderNew))) {
            qInfo() << "recovery: an upgrader hand-over in" << paths.tmpDir << "was interrupted; undoing it";
            Journal none;
            none.hasUpgrader = true;
            if (!rollBack(paths, none))
                return UPGRADE_OP_ROLLBACK_INCOMPLETE;
        }
        return UPGRADE_OP_SUCCESS;
    }

    Journal journal;
    if (!readJournal(paths.journalPath, journal)) {
        qWarning() << "recovery: the journal" << paths.journalPath << "cannot be read; nothing is changed";
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    if (!journal.isPlanComplete) {
        // Cut off while being written: no change was made after it.
        qInfo() << "recovery: an apply in" << paths.tmpDir << "was interrupted before it changed anything";
        QFile::remove(paths.journalPath);
        if (journal.hasUpgrader && !isHandOver && !restoreOldUpgrader(paths))
            return UPGRADE_OP_ROLLBACK_INCOMPLETE;
        return UPGRADE_OP_SUCCESS;
    }
    if (journal.isCommitted && !journal.isRevertAsked) {
        qInfo() << "recovery: the interrupted upgrade of" << paths.appDir << "was complete; finishing it";
        endTransaction(paths);
        return UPGRADE_OP_SUCCESS;
    }
    qInfo() << "recovery: rolling back the interrupted upgrade of" << paths.appDir << "("
            << journal.vecEntries.size() << "entries)";
    const UpgradeOpError result = rollBackAndEnd(paths, journal);
    if (result == UPGRADE_OP_SUCCESS)
        qInfo() << "recovery: the installation" << paths.appDir << "is back as it was before the upgrade";
    return result;
}

bool installStagedUpgrader(const QString &strAppDir, const QString &strTmpDir)
{
    const CJournalPaths paths(strAppDir, strTmpDir);
    const QString staged = paths.packetDir + QLatin1String("/Upgrade");
    if (!QFileInfo(staged).isDir()) {
        qWarning() << "srcDir is Empty";
        return false;
    }
    // Copied beside, never over, the working upgrader: a copy cut short
    // leaves that one whole.
    removeDirTree(paths.upgraderNew);
    removeDirTree(paths.upgraderOld);
    if (!safeCopyDir(staged, paths.upgraderNew, COPY_DIR_NORMAL, nullptr)) {
        qWarning() << "copyDir " << staged << " to " << paths.upgraderNew << "failed";
        removeDirTree(paths.upgraderNew);
        return false;
    }
    Durable::syncVolume(paths.upgraderNew);
    if (existsOrLink(paths.upgraderDir) && !moveEntry(paths.upgraderDir, paths.upgraderOld)) {
        qWarning() << "move" << paths.upgraderDir << "aside failed";
        removeDirTree(paths.upgraderNew);
        return false;
    }
    if (!moveEntry(paths.upgraderNew, paths.upgraderDir)) {
        qWarning() << "move the new upgrader into" << paths.upgraderDir << "failed";
        restoreOldUpgrader(paths);
        return false;
    }
    Durable::syncDir(paths.appDir);
    Durable::syncDir(paths.tmpDir);
    return true;
}
