#include "upgrade/transaction/journal.h"

#include "platform/readfile.h"

#include "upgrade/files/durable.h"
#include "upgrade/files/safecopy.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/transaction/heldback.h"
#include "upgrade/transaction/staging.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QUrl>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#else
#  include <cerrno>
#  include <csignal>
#  include <cstdio>
#  include <unistd.h>
#endif

namespace {

const char JournalHeader[] = "TVXJ 2";
// Written before the plan recorded sizes and health verdicts; still read,
// so that a journal an older version left behind is finished.
const char JournalHeaderWithoutSizes[] = "TVXJ 1";
// A plan lists every entry of a packet; far beyond any real one.
constexpr qint64 MaxJournalBytes = qint64(1) << 30;

struct Entry
{
    char kind; // 'D' directory created, 'F' file added, 'R' file replaced
    QString strRelative;
    qint64 llSize = -1; // F and R: bytes of the staged file; -1 in a journal without sizes
};

struct Journal
{
    QVector<Entry> vecEntries;
    bool hasUpgrader = false;     // U: the hand-over swapped Upgrade/, the old one waits in Tmp
    bool isHealthAwaited = false; // H: the new version must prove healthy before the backup goes
    bool isPlanComplete = false;  // P
    bool isCommitted = false;     // C
    bool isHealthy = false;       // V
    bool isRevertAsked = false;   // X
};

enum class JournalState { Missing, Read, Damaged };

// Fault injection for the crash tests: TARVEX_UPGRADE_KILL_AT=N ends the
// process with SIGKILL at the Nth step of an apply, as a power cut would;
// TARVEX_UPGRADE_PAUSE_AT=N creates the file TARVEX_UPGRADE_PAUSE_FILE at
// the Nth step and waits there until it is removed. Compiled into test
// builds only.
void step()
{
#ifdef TVX_FAULT_INJECTION
    static const int killAt = qEnvironmentVariableIsSet("TARVEX_UPGRADE_KILL_AT")
        ? qEnvironmentVariableIntValue("TARVEX_UPGRADE_KILL_AT") : -1;
    static const int pauseAt = qEnvironmentVariableIsSet("TARVEX_UPGRADE_PAUSE_AT")
        ? qEnvironmentVariableIntValue("TARVEX_UPGRADE_PAUSE_AT") : -1;
    static int count = 0;
    if (++count == pauseAt) {
        QFile pause(qEnvironmentVariable("TARVEX_UPGRADE_PAUSE_FILE"));
        if (pause.open(QIODevice::WriteOnly)) {
            pause.close();
            while (pause.exists())
                QThread::msleep(20);
        }
    }
    if (count == killAt) {
#  ifdef Q_OS_WIN
        // With the code of a crash, which is what the parent must see.
        TerminateProcess(GetCurrentProcess(), STATUS_ACCESS_VIOLATION);
#  else
        ::raise(SIGKILL);
#  endif
    }
#endif
}

bool moveEntry(const QString &from, const QString &to)
{
    return Durable::rename(from, to);
}

// How long the apply waits for another process to let go of a file it must
// replace: a second instance ending, a virus scanner finishing its look.
constexpr int HeldFileMilliseconds = 5000;

// Whether the last failed move may be another process holding the file, or
// a file that cannot be changed at all, which only a bounded wait tells apart.
bool isHeldFailure(int *pError)
{
#ifdef Q_OS_WIN
    const DWORD error = GetLastError();
    *pError = int(error);
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
#else
    *pError = errno;
    return errno == EBUSY || errno == ETXTBSY || errno == EPERM || errno == EACCES || errno == EROFS;
#endif
}

// moveEntry(), retried with a growing pause while the file seems held.
bool moveHeldEntry(const QString &from, const QString &to, QString &strReason)
{
    QElapsedTimer timer;
    timer.start();
    int pause = 20;
    for (;;) {
        if (moveEntry(from, to))
            return true;
        int error = 0;
        const bool isHeld = isHeldFailure(&error);
        strReason = qt_error_string(error);
        if (!isHeld || timer.elapsed() + pause > HeldFileMilliseconds)
            return false;
        QThread::msleep(pause);
        pause = qMin(pause * 2, 500);
    }
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

// The layout with clean paths: entries are joined to them with "/".
CInstallLayout cleanLayout(const CInstallLayout &layout)
{
    return CInstallLayout(QDir::cleanPath(layout.appDir()), QDir::cleanPath(layout.tmpDir()));
}

// One entry line: "K PATH" for a directory, "K PATH SIZE" for a file.
bool parseEntry(const QByteArray &line, bool hasSizes, const CInstallLayout &layout, Entry &entry,
                QString &strError)
{
    const QList<QByteArray> fields = line.split(' ');
    const bool isFile = entry.kind != 'D';
    if (fields.size() != (isFile && hasSizes ? 3 : 2) || fields.at(0).size() != 1 || fields.at(1).isEmpty()) {
        strError = QStringLiteral("malformed entry");
        return false;
    }
    entry.strRelative = QUrl::fromPercentEncoding(fields.at(1));
    // Written by this program from a checked packet; a journal that names
    // anything else was damaged or made by hand, and must not send a
    // rollback to the installation root, its Tmp or outside it.
    QString reason;
    if (layout.isReservedPath(entry.strRelative, &reason)) {
        strError = QStringLiteral("\"%1\" %2").arg(entry.strRelative, reason);
        return false;
    }
    if (fields.size() == 3) {
        bool isNumber = false;
        entry.llSize = fields.at(2).toLongLong(&isNumber);
        if (!isNumber || entry.llSize < 0 || fields.at(2).startsWith('+')) {
            strError = QStringLiteral("malformed size");
            return false;
        }
    }
    return true;
}

// Reads the journal strictly: whole lines only, the plan complete before
// any record, each record where it can stand. Damaged with the reason for
// anything else.
JournalState readJournal(const CInstallLayout &layout, Journal &journal, QString &strError)
{
    if (!existsOrLink(layout.journal()))
        return JournalState::Missing;
    QByteArray content;
    QString readError;
    if (!readFileBounded(layout.journal(), MaxJournalBytes, content, readError)) {
        strError = QStringLiteral("it cannot be read: %1").arg(readError);
        return JournalState::Damaged;
    }
    if (!content.endsWith('\n')) {
        strError = content.isEmpty() ? QStringLiteral("it is empty") : QStringLiteral("its last line is cut");
        return JournalState::Damaged;
    }
    QList<QByteArray> lines = content.split('\n');
    lines.removeLast(); // after the final newline
    const bool hasSizes = lines.first() == JournalHeader;
    if (!hasSizes && lines.first() != JournalHeaderWithoutSizes) {
        strError = QStringLiteral("it has no journal header");
        return JournalState::Damaged;
    }

    QSet<QString> setPaths;
    bool isEnded = false; // after V or X nothing may follow
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const auto damaged = [&](const QString &reason) {
            strError = QStringLiteral("line %1: %2").arg(i + 1).arg(reason);
            return JournalState::Damaged;
        };
        if (line.isEmpty())
            return damaged(QStringLiteral("empty"));
        if (isEnded)
            return damaged(QStringLiteral("a record after the last one"));
        const char kind = line.at(0);
        if (!journal.isPlanComplete) {
            if (kind == 'D' || kind == 'F' || kind == 'R') {
                Entry entry{kind, QString(), -1};
                QString reason;
                if (!parseEntry(line, hasSizes, layout, entry, reason))
                    return damaged(reason);
                if (setPaths.contains(entry.strRelative))
                    return damaged(QStringLiteral("\"%1\" is planned twice").arg(entry.strRelative));
                setPaths.insert(entry.strRelative);
                journal.vecEntries.append(entry);
            } else if (line == "U" && !journal.hasUpgrader) {
                journal.hasUpgrader = true;
            } else if (line == "H" && hasSizes && !journal.isHealthAwaited) {
                journal.isHealthAwaited = true;
            } else if (line == "P") {
                journal.isPlanComplete = true;
            } else {
                return damaged(QStringLiteral("\"%1\" has no place in the plan").arg(QString::fromLatin1(line.left(40))));
            }
            continue;
        }
        // After the plan: the commit, then the healthy record or the revert;
        // a revert may also come without a commit.
        if (line == "C" && !journal.isCommitted && !journal.isRevertAsked) {
            journal.isCommitted = true;
        } else if (line == "V" && journal.isCommitted && journal.isHealthAwaited) {
            journal.isHealthy = true;
            isEnded = true;
        } else if (line == "X") {
            journal.isRevertAsked = true;
            isEnded = true;
        } else {
            return damaged(QStringLiteral("\"%1\" has no place after the plan").arg(QString::fromLatin1(line.left(40))));
        }
    }
    if (!journal.isPlanComplete) {
        strError = QStringLiteral("its plan is incomplete");
        return JournalState::Damaged;
    }
    return JournalState::Read;
}

bool appendRecord(const QString &path, const QByteArray &record)
{
    return Durable::append(path, record);
}

// Puts the upgrader that the hand-over replaced back in Upgrade/. Every step
// looks at what is there first, so that it can be run again after a crash.
bool restoreOldUpgrader(const CInstallLayout &layout)
{
    if (existsOrLink(layout.upgraderOld())) {
        if (existsOrLink(layout.upgraderDir())
            && (!removeDirTree(layout.upgraderNew()) || !moveEntry(layout.upgraderDir(), layout.upgraderNew()))) {
            qWarning() << "move the new upgrader" << layout.upgraderDir() << "aside failed";
            return false;
        }
        if (!moveEntry(layout.upgraderOld(), layout.upgraderDir())) {
            qWarning() << "put the old upgrader back to" << layout.upgraderDir() << "failed";
            return false;
        }
        qInfo() << "the previous upgrader is back in" << layout.upgraderDir();
    }
    removeDirTree(layout.upgraderNew());
    return true;
}

// Undoes the entries, last first. Each step checks what is on disk, so the
// rollback can be repeated after it was itself interrupted.
bool rollBack(const CInstallLayout &layout, const Journal &journal)
{
    bool isComplete = true;
    for (auto it = journal.vecEntries.crbegin(); it != journal.vecEntries.crend(); ++it) {
        step();
        const QString installed = layout.installed(it->strRelative);
        switch (it->kind) {
        case 'R': {
            const QString backup = layout.backup(it->strRelative);
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
    if (journal.hasUpgrader && !restoreOldUpgrader(layout))
        isComplete = false;
    return isComplete;
}

// Before a committed upgrade loses its backup: every planned change must be
// in the installation. Files are moved in from the packet, so a staged copy
// still there was never moved; an installed file that is missing or of
// another size than its staged copy is not what the apply put there. Once
// the new version has run (a healthy record), it may have changed its own
// files: then only the moves are checked.
bool verifyForward(const CInstallLayout &layout, const Journal &journal, QString &strError)
{
    const bool hasRun = journal.isHealthy;
    for (const Entry &entry : journal.vecEntries) {
        const QString installed = layout.installed(entry.strRelative);
        const QFileInfo info(installed);
        if (entry.kind == 'D') {
            if (!hasRun && !info.isDir()) {
                strError = QStringLiteral("the directory %1 is missing").arg(installed);
                return false;
            }
            continue;
        }
        if (existsOrLink(layout.staged(entry.strRelative))) {
            strError = QStringLiteral("%1 was never moved into place; its staged copy is still in %2")
                           .arg(entry.strRelative, layout.packetDir());
            return false;
        }
        if (hasRun)
            continue;
        if (!info.exists() && !info.isSymLink()) {
            strError = QStringLiteral("%1 is missing").arg(installed);
            return false;
        }
        if (entry.llSize >= 0 && info.size() != entry.llSize) {
            strError = QStringLiteral("%1 has %2 bytes, its staged copy had %3")
                           .arg(installed)
                           .arg(info.size())
                           .arg(entry.llSize);
            return false;
        }
    }
    if (journal.hasUpgrader && !hasRun && !QFileInfo(layout.upgraderDir()).isDir()) {
        strError = QStringLiteral("the upgrader directory %1 is missing").arg(layout.upgraderDir());
        return false;
    }
    return true;
}

// After a complete rollback or a final commit, nothing in Tmp is needed any
// more. The journal goes last but one: until it is gone, a crash here only
// means that the next start does the same again.
bool endTransaction(const CInstallLayout &layout)
{
    Durable::syncVolume(layout.appDir());
    QFile::remove(layout.stagedMark());
    removeDirTree(layout.backupDir());
    step();
    if (QFileInfo::exists(layout.journal()) && !QFile::remove(layout.journal()))
        return false;
    step();
    return removeDirTree(layout.tmpDir());
}

UpgradeOpError rollBackAndEnd(const CInstallLayout &layout, const Journal &journal)
{
    if (!rollBack(layout, journal)) {
        qWarning() << "rollback incomplete: the installation in" << layout.appDir() << "is not back as it was;"
                   << layout.tmpDir() << "and its journal are kept for the next attempt";
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    endTransaction(layout);
    return UPGRADE_OP_SUCCESS;
}

// Walks the packet in name order, directories before what they hold.
bool planDir(const CInstallLayout &layout, const QString &rel, QVector<Entry> &entries, QString &strError)
{
    const QString dir = rel.isEmpty() ? layout.packetDir() : layout.staged(rel);
    const QFileInfoList list = QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                           | QDir::NoDotAndDotDot,
                                                       QDir::Name);
    for (const QFileInfo &info : list) {
        const QString childRel = rel.isEmpty() ? info.fileName() : rel + QLatin1Char('/') + info.fileName();
        QString reason;
        if (layout.isReservedPath(childRel, &reason)) {
            strError = QStringLiteral("the packet holds \"%1\", which %2").arg(childRel, reason);
            qWarning() << "apply refused:" << strError;
            return false;
        }
        // As the safe copy does: what is neither a file nor a directory (a
        // link to nothing, a pipe, a device) is not installed.
        if (!info.isDir() && !info.isFile()) {
            qInfo() << "not installed, neither a file nor a directory:" << QDir::toNativeSeparators(info.filePath());
            continue;
        }
        const QFileInfo target(layout.installed(childRel));
        if (info.isDir() && !info.isSymLink()) {
            if (target.isSymLink() || (target.exists() && !target.isDir())) {
                strError = QStringLiteral("%1 is in the way of a directory").arg(target.filePath());
                qWarning() << "mkpath " << QDir::toNativeSeparators(target.filePath()) << "failed";
                return false;
            }
            if (!target.exists())
                entries.append(Entry{'D', childRel, -1});
            if (!planDir(layout, childRel, entries, strError))
                return false;
        } else {
            if (target.isDir() && !target.isSymLink()) {
                strError = QStringLiteral("the directory %1 is in the way of a file").arg(target.filePath());
                qWarning() << "delete file " << QDir::toNativeSeparators(target.filePath()) << "failed!";
                return false;
            }
            entries.append(Entry{existsOrLink(target.filePath()) ? 'R' : 'F', childRel, info.size()});
        }
    }
    return true;
}

// The staged file into its place: moved when it can be (same volume), copied
// otherwise. A link in the packet is copied as the safe copy does, by
// content. A copied file leaves the packet too, so that a staged copy still
// there always means "not moved".
bool placeStaged(const QString &staged, const QString &installed)
{
    if (!QFileInfo(staged).isSymLink() && moveEntry(staged, installed))
        return true;
    if (QFile::copy(staged, installed) && QFile::remove(staged))
        return true;
    qWarning() << "copy file " << QDir::toNativeSeparators(installed) << "failed!";
    return false;
}

bool act(const CInstallLayout &layout, const QVector<Entry> &entries, QString &strError)
{
    QSet<QString> backupDirs;
    for (const Entry &entry : entries) {
        const QString installed = layout.installed(entry.strRelative);
        const QString staged = layout.staged(entry.strRelative);
        switch (entry.kind) {
        case 'D':
            if (!QDir().mkdir(installed)) {
                strError = QStringLiteral("cannot create the directory %1").arg(installed);
                qWarning() << "mkpath " << QDir::toNativeSeparators(installed) << "failed";
                return false;
            }
            break;
        case 'R': {
            const QString backup = layout.backup(entry.strRelative);
            const QString backupParent = QFileInfo(backup).path();
            if (!backupDirs.contains(backupParent)) {
                if (!QDir().mkpath(backupParent)) {
                    strError = QStringLiteral("cannot create the directory %1").arg(backupParent);
                    qWarning() << "mkpath " << QDir::toNativeSeparators(backupParent) << "failed";
                    return false;
                }
                backupDirs.insert(backupParent);
            }
            QString reason;
            if (!moveHeldEntry(installed, backup, reason)) {
                strError = QStringLiteral("cannot replace %1: %2; if another program has it open, close that "
                                          "program and try again")
                               .arg(QDir::toNativeSeparators(installed), reason);
                qWarning() << "copy file to " << QDir::toNativeSeparators(backup) << "failed!";
                return false;
            }
            step();
            if (!placeStaged(staged, installed)) {
                strError = QStringLiteral("cannot put %1 in place").arg(installed);
                return false;
            }
            break;
        }
        case 'F':
            if (!placeStaged(staged, installed)) {
                strError = QStringLiteral("cannot put %1 in place").arg(installed);
                return false;
            }
            break;
        default:
            break;
        }
        step();
    }
    return true;
}

QString healthState(const CInstallLayout &layout)
{
    QFile file(layout.health());
    const QByteArray state = file.open(QIODevice::ReadOnly) ? file.read(64).trimmed() : QByteArray();
    return state.isEmpty() ? QStringLiteral("never started") : QString::fromLatin1(state);
}

} // namespace

CUpgradeTransaction::CUpgradeTransaction(const CInstallLayout &layout)
    : m_layout(cleanLayout(layout))
{
}

bool CUpgradeTransaction::isJournalDisabled()
{
#ifdef TVX_FAULT_INJECTION
    return qEnvironmentVariableIntValue("TARVEX_UPGRADE_NO_JOURNAL") == 1;
#else
    return false;
#endif
}

UpgradeOpError CUpgradeTransaction::apply(bool isHealthAwaited)
{
    const CInstallLayout &layout = m_layout;
    m_strError.clear();
    qDebug() << "Upgrade Tmp Dir To DstDir";

    Journal journal;
    journal.hasUpgrader = existsOrLink(layout.upgraderOld());
    journal.isHealthAwaited = isHealthAwaited;
    if (!planDir(layout, QString(), journal.vecEntries, m_strError)) {
        // Nothing was changed yet; only the upgrader swap may need undoing.
        qWarning() << "copyDir failed";
        return rollBackAndEnd(layout, journal) == UPGRADE_OP_SUCCESS ? UPGRADE_OP_WRITE_FILE_FAILED
                                                                     : UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    // The backup must hold only what this apply replaces.
    removeDirTree(layout.backupDir());

    const bool isJournaled = !isJournalDisabled();
    if (isJournaled) {
        QByteArray plan = QByteArray(JournalHeader) + '\n';
        if (journal.hasUpgrader)
            plan += "U\n";
        if (journal.isHealthAwaited)
            plan += "H\n";
        for (const Entry &entry : qAsConst(journal.vecEntries)) {
            plan += entry.kind + QByteArray(" ") + encodePath(entry.strRelative);
            if (entry.kind != 'D')
                plan += ' ' + QByteArray::number(entry.llSize);
            plan += '\n';
        }
        plan += "P\n";
        // Whole or not at all: a journal under its name always holds a
        // complete plan, so a cut one is damage, never a crash.
        if (!Durable::writeFileAtomically(layout.journal(), plan)) {
            m_strError = QStringLiteral("cannot write the journal %1").arg(layout.journal());
            qWarning() << "write journal" << layout.journal() << "failed; nothing was changed";
            QFile::remove(layout.journal());
            return UPGRADE_OP_WRITE_FILE_FAILED;
        }
    }
    step();

    if (!act(layout, journal.vecEntries, m_strError)) {
        qWarning() << "copyDir failed";
        return rollBackAndEnd(layout, journal) == UPGRADE_OP_SUCCESS ? UPGRADE_OP_WRITE_FILE_FAILED
                                                                     : UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    // The renames reach the disk before the record that makes them final.
    Durable::syncVolume(layout.appDir());
    if (isJournaled && !appendRecord(layout.journal(), "C\n")) {
        m_strError = QStringLiteral("cannot write the commit record to %1").arg(layout.journal());
        qWarning() << "write commit record to" << layout.journal() << "failed";
        return rollBackAndEnd(layout, journal) == UPGRADE_OP_SUCCESS ? UPGRADE_OP_WRITE_FILE_FAILED
                                                                     : UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    step();
    qDebug() << "copyDir success";
    return UPGRADE_OP_SUCCESS;
}

bool CUpgradeTransaction::markHealthy()
{
    if (isJournalDisabled())
        return true;
    if (!appendRecord(m_layout.journal(), "V\n")) {
        m_strError = QStringLiteral("cannot write the healthy record to %1").arg(m_layout.journal());
        qWarning() << "write healthy record to" << m_layout.journal() << "failed";
        return false;
    }
    return true;
}

bool CUpgradeTransaction::finish()
{
    return endTransaction(m_layout);
}

UpgradeOpError CUpgradeTransaction::revert()
{
    Journal journal;
    if (readJournal(m_layout, journal, m_strError) != JournalState::Read) {
        if (m_strError.isEmpty())
            m_strError = QStringLiteral("there is no journal");
        qWarning() << "no journal in" << m_layout.tmpDir() << "to revert:" << m_strError;
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    // From here a crash goes on with the revert, not with the commit.
    if (!journal.isRevertAsked && !appendRecord(m_layout.journal(), "X\n")) {
        m_strError = QStringLiteral("cannot write the revert record to %1").arg(m_layout.journal());
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    }
    const UpgradeOpError result = rollBackAndEnd(m_layout, journal);
    if (result != UPGRADE_OP_SUCCESS)
        m_strError = QStringLiteral("the way back could not be completed");
    return result;
}

bool hasUnfinishedTransaction(const QString &strTmpDir)
{
    return QFileInfo::exists(QDir(strTmpDir).absoluteFilePath(CInstallLayout::journalName()));
}

UpgradeOpError recoverInterruptedUpgrade(const CInstallLayout &givenLayout, bool isHandOver, QString *pError)
{
    const CInstallLayout layout = cleanLayout(givenLayout);
    // A plan that never got its name: nothing was changed after it.
    QFile::remove(layout.journal() + QLatin1String(".new"));

    Journal journal;
    QString error;
    switch (readJournal(layout, journal, error)) {
    case JournalState::Missing:
        // A hand-over that never reached the apply: the installation is old,
        // and its upgrader must be the old one too.
        if (!isHandOver && (existsOrLink(layout.upgraderOld()) || existsOrLink(layout.upgraderNew()))) {
            qInfo() << "recovery: an upgrader hand-over in" << layout.tmpDir() << "was interrupted; undoing it";
            Journal none;
            none.hasUpgrader = true;
            if (!rollBack(layout, none)) {
                if (pError)
                    *pError = QStringLiteral("the previous upgrader could not be put back in %1")
                                  .arg(layout.upgraderDir());
                return UPGRADE_OP_ROLLBACK_INCOMPLETE;
            }
        }
        return UPGRADE_OP_SUCCESS;
    case JournalState::Damaged:
        error = QStringLiteral("the journal %1 cannot be trusted (%2); nothing is changed and %3 is kept")
                    .arg(QDir::toNativeSeparators(layout.journal()), error,
                         QDir::toNativeSeparators(layout.tmpDir()));
        qWarning().noquote() << "recovery:" << error;
        if (pError)
            *pError = error;
        return UPGRADE_OP_ROLLBACK_INCOMPLETE;
    case JournalState::Read:
        break;
    }

    if (journal.isCommitted && !journal.isRevertAsked && (!journal.isHealthAwaited || journal.isHealthy)) {
        if (!verifyForward(layout, journal, error)) {
            error = QStringLiteral("the committed upgrade of %1 is not complete: %2; the backup and %3 are kept")
                        .arg(QDir::toNativeSeparators(layout.appDir()), error,
                             QDir::toNativeSeparators(layout.tmpDir()));
            qWarning().noquote() << "recovery:" << error;
            if (pError)
                *pError = error;
            return UPGRADE_OP_ROLLBACK_INCOMPLETE;
        }
        qInfo() << "recovery: the interrupted upgrade of" << layout.appDir() << "was complete; finishing it";
        endTransaction(layout);
        return UPGRADE_OP_SUCCESS;
    }

    if (journal.isCommitted && !journal.isRevertAsked) {
        // Whoever watched the new version ended before its verdict: without
        // proof it is not kept, and not offered again.
        const QString reason =
            QStringLiteral("the upgrade ended before the new version proved healthy (its main form: %1)")
                .arg(healthState(layout));
        qWarning().noquote() << "recovery:" << reason << "; reverting";
        if (!appendRecord(layout.journal(), "X\n")) {
            if (pError)
                *pError = QStringLiteral("cannot write to the journal %1").arg(layout.journal());
            return UPGRADE_OP_ROLLBACK_INCOMPLETE;
        }
        recordHeldBack(layout.appDir(), stagedModules(layout.tmpDir()), reason);
    } else {
        qInfo() << "recovery: rolling back the interrupted upgrade of" << layout.appDir() << "("
                << journal.vecEntries.size() << "entries)";
    }
    const UpgradeOpError result = rollBackAndEnd(layout, journal);
    if (result == UPGRADE_OP_SUCCESS)
        qInfo() << "recovery: the installation" << layout.appDir() << "is back as it was before the upgrade";
    else if (pError)
        *pError = QStringLiteral("the installation %1 could not be put back as it was; %2 and its journal are kept")
                      .arg(QDir::toNativeSeparators(layout.appDir()), QDir::toNativeSeparators(layout.tmpDir()));
    return result;
}

UpgradeOpError recoverInterruptedUpgrade(const QString &strAppDir, const QString &strTmpDir, bool isHandOver)
{
    return recoverInterruptedUpgrade(CInstallLayout(strAppDir, strTmpDir), isHandOver);
}

bool installStagedUpgrader(const CInstallLayout &givenLayout)
{
    const CInstallLayout layout = cleanLayout(givenLayout);
    const QString staged = layout.staged(CInstallLayout::upgraderDirName());
    if (!QFileInfo(staged).isDir()) {
        qWarning() << "srcDir is Empty";
        return false;
    }
    // Copied beside, never over, the working upgrader: a copy cut short
    // leaves that one whole.
    removeDirTree(layout.upgraderNew());
    removeDirTree(layout.upgraderOld());
    if (!safeCopyDir(staged, layout.upgraderNew(), COPY_DIR_NORMAL, nullptr)) {
        qWarning() << "copyDir " << staged << " to " << layout.upgraderNew() << "failed";
        removeDirTree(layout.upgraderNew());
        return false;
    }
    Durable::syncVolume(layout.upgraderNew());
    if (existsOrLink(layout.upgraderDir()) && !moveEntry(layout.upgraderDir(), layout.upgraderOld())) {
        qWarning() << "move" << layout.upgraderDir() << "aside failed";
        removeDirTree(layout.upgraderNew());
        return false;
    }
    if (!moveEntry(layout.upgraderNew(), layout.upgraderDir())) {
        qWarning() << "move the new upgrader into" << layout.upgraderDir() << "failed";
        restoreOldUpgrader(layout);
        return false;
    }
    Durable::syncDir(layout.appDir());
    Durable::syncDir(layout.tmpDir());
    return true;
}
