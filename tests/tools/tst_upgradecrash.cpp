// Crash safety of the upgrade, on the real programs: an apply of a few
// thousand files killed with SIGKILL at moments spread over its run, and
// after the next start of any entry point the installation is exactly the
// old one or exactly the new one. Also a second apply at the same time, the
// lock file deleted under an apply, a packet that was never completely
// staged or takes the engine's names, a full disk, journals that cannot be
// trusted, and new versions that fail their health check, with the upgrader
// alive or killed while it watches.

#include "common/processend.h"
#include "common/filetree.h"
#include "common/filesizelimit.h"
#include "common/programcopy.h"
#include "upgrade/transaction/heldback.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/staging.h"
#include "upgrade/files/upgradetypes.h"

#include <QtTest>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#endif
#ifdef Q_OS_LINUX
#  include <sys/mount.h>
#  include <sys/statvfs.h>
#  include <unistd.h>
#endif

using FileTree::writeFile;

namespace {

constexpr int FileCount = 2000; // half replaced, half added in new directories
constexpr int SmallFileCount = 200;

// The stand-in launcher: records its start, and reports to a watching
// upgrader what the real one does, its main form loaded and returned.
const QByteArray HealthyLauncher = "#!/bin/sh\ndir=$(dirname \"$0\")\n"
                                   "echo \"$(cat \"$dir/version.txt\")\" >> \"$dir/runs.txt\"\n"
                                   "health=\"${TARVEX_UPGRADE_HEALTH_FILE:-/dev/null}\"\n"
                                   "echo loaded > \"$health\"; echo returned > \"$health\"\n";

QMap<QString, QByteArray> installedTree(const QString &root)
{
    return FileTree::hashTree(root, {QStringLiteral("Log"), QStringLiteral("Tmp"), QStringLiteral("runs.txt"),
                                     QStringLiteral(".upgrade.lock")});
}

// The record of held-back versions leaves the tree; what it says comes back.
QString takeHeldBack(const QString &root, QMap<QString, QByteArray> &tree)
{
    if (!tree.remove(QStringLiteral("Conf/System/HeldBack.json")))
        return QString();
    tree.remove(QStringLiteral("Conf/System"));
    tree.remove(QStringLiteral("Conf"));
    const QVector<HeldBackModule> held = readHeldBack(root);
    return held.isEmpty() ? QStringLiteral("<unreadable>") : held.first().strReason;
}

int run(const QString &program, const QStringList &arguments, const QString &dir,
        const QMap<QString, QString> &extraEnv = {}, QProcess::ExitStatus *pStatus = nullptr)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = extraEnv.cbegin(); it != extraEnv.cend(); ++it)
        environment.insert(it.key(), it.value());
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir);
    startProcess(process, program, arguments);
    if (!waitForProcessEnd(process, 120000)) {
        process.kill();
        waitForProcessEnd(process, 30000);
    }
    if (pStatus)
        *pStatus = process.exitStatus();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class tst_UpgradeCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void killMatrix_data();
    void killMatrix();
    void concurrentApplies();
    void lockDeletedDuringApply_data();
    void lockDeletedDuringApply();
    void unstagedPacketRefused();
    void reservedNamesRefused_data();
    void reservedNamesRefused();
    void heldFile_data();
    void heldFile();
    void danglingLinkSkipped_data();
    void danglingLinkSkipped();
    void untrustedJournal_data();
    void untrustedJournal();
    void failedHealthCheck_data();
    void failedHealthCheck();
    void fullDisk();
    void fullVolume_data();
    void fullVolume();
    void crashingNewVersion();

private:
    // Version 1 installed, version 2 staged and marked; the old and new trees
    // as they must come out.
    void makeInstallation(const QByteArray &launcherScript = HealthyLauncher, int fileCount = FileCount);
    // The built launcher in place of the stand-in, in both trees.
    void useRealLauncher();
    // Starts an entry point that recovers first: "tarvex-upgrade" (a command
    // that only reads), "Upgrade" (with no launcher to apply to) or "Tarvex".
    int recoverWith(const QString &entryPoint);
    QString path(const QString &relative) const { return m_dir->path() + QLatin1Char('/') + relative; }
    QString launcherPath() const { return path(PlatformNames::launcherFileName()); }
    QString toolPath() const { return path(PlatformNames::upgradeToolFileName()); }
    QString upgraderPath() const { return path(QStringLiteral("Upgrade/") + PlatformNames::upgraderFileName()); }
    static QString built(const QString &relative) { return QStringLiteral(TVX_BIN_DIR "/") + relative; }

    QScopedPointer<QTemporaryDir> m_dir;
    QMap<QString, QByteArray> m_old;
    QMap<QString, QByteArray> m_new;
};

void tst_UpgradeCrash::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_UpgradeCrash::makeInstallation(const QByteArray &launcherScript, int fileCount)
{
    QVERIFY(writeFile(launcherPath(), launcherScript));
    QFile(launcherPath()).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(ProgramCopy::copyProgram(built(PlatformNames::upgradeToolFileName()), toolPath()));
    QVERIFY(ProgramCopy::copyProgram(built(QStringLiteral("Upgrade/") + PlatformNames::upgraderFileName()),
                                     upgraderPath()));
    QVERIFY(writeFile(path("version.txt"), "1"));
    for (int i = 0; i < fileCount; i += 2)
        QVERIFY(writeFile(path(QString("Solutions/m%1/f%2.txt").arg(i / 200).arg(i)), "old " + QByteArray::number(i)));
    m_old = installedTree(m_dir->path());

    QVERIFY(writeFile(path("Tmp/Packet/version.txt"), "2"));
    for (int i = 0; i < fileCount; ++i) {
        const QString relative = i % 2 ? QString("Solutions/n%1/f%2.txt").arg(i / 200).arg(i)
                                       : QString("Solutions/m%1/f%2.txt").arg(i / 200).arg(i);
        QVERIFY(writeFile(path("Tmp/Packet/" + relative), "new " + QByteArray::number(i)));
    }
    QVERIFY(markPacketStaged(path("Tmp"), {ModuleVersion{"demo", "2.0", {}, {}, 200, 0, 1, {}, {}, -1, {}, {}, {}}}));
    m_new = m_old;
    const QMap<QString, QByteArray> staged = installedTree(path("Tmp/Packet"));
    for (auto it = staged.cbegin(); it != staged.cend(); ++it)
        m_new.insert(it.key(), it.value());
}

void tst_UpgradeCrash::useRealLauncher()
{
    QVERIFY(QFile::remove(launcherPath())
            && ProgramCopy::copyProgram(built(PlatformNames::launcherFileName()), launcherPath()));
    // The real launcher, with the libraries it brought along, in both.
    const QMap<QString, QByteArray> now = installedTree(m_dir->path());
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const bool brought = it.key().endsWith(QLatin1String(".dll")) && !m_old.contains(it.key());
        if (it.key() == PlatformNames::launcherFileName() || brought) {
            m_old.insert(it.key(), it.value());
            m_new.insert(it.key(), it.value());
        }
    }
}

int tst_UpgradeCrash::recoverWith(const QString &entryPoint)
{
    if (entryPoint == "Upgrade")
        return run(upgraderPath(), {path("Tmp"), path("no-launcher")}, m_dir->path());
    if (entryPoint == "Tarvex") {
        useRealLauncher();
        QProcess::ExitStatus status = QProcess::CrashExit;
        const int code = run(launcherPath(), {}, m_dir->path(), {}, &status);
        return status == QProcess::NormalExit ? code : -2;
    }
    return run(toolPath(), {"trust", "show"}, m_dir->path());
}

void tst_UpgradeCrash::killMatrix_data()
{
    QTest::addColumn<QString>("killed");
    QTest::addColumn<int>("killAt");
    QTest::addColumn<QString>("recovery");
    QTest::addColumn<int>("failAfter"); // the upgrader's apply fails after that many files; -1: it does not
    // Wine starts processes and writes files slowly: there, every fourth row.
    QTest::addColumn<bool>("underWine");

    // Steps of the apply: the journal, each new directory, two per replaced
    // file (version.txt too), one per added file, the commit, then the two
    // of the clean-up.
    const int total = 1 + FileCount / 200 + (FileCount / 2 + 1) * 2 + FileCount / 2 + 1 + 2;
    const QList<double> moments{0.0, 0.002, 0.05, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 0.99};
    const QStringList killed{"tarvex-upgrade", "Upgrade"};
    const QStringList recovery{"tarvex-upgrade", "Tarvex", "Upgrade"};
    int row = 0;
    for (const QString &process : killed) {
        for (double moment : moments) {
            const int step = qMax(1, int(moment * total));
            QTest::addRow("%s at step %d, then %s", qPrintable(process), step,
                          qPrintable(recovery.at(row % 3)))
                << process << step << recovery.at(row % 3) << -1 << (row % 4 == 0);
            ++row;
        }
        for (int tail : {3, 2, 0}) {
            QTest::addRow("%s at step %d of %d, then %s", qPrintable(process), total - tail, total,
                          qPrintable(recovery.at(row % 3)))
                << process << total - tail << recovery.at(row % 3) << -1 << (row % 4 == 0);
            ++row;
        }
    }
    // Killed while rolling back a failed apply (it fails after some 200 steps,
    // then each journal entry is a step of the rollback).
    for (int step : {300, 1200, 2100})
        QTest::addRow("Upgrade rolling back at step %d, then %s", step, qPrintable(recovery.at(step % 3)))
            << "Upgrade" << step << recovery.at(step % 3) << 100 << (step == 1200);
}

void tst_UpgradeCrash::killMatrix()
{
    QFETCH(QString, killed);
    QFETCH(int, killAt);
    QFETCH(QString, recovery);
    QFETCH(int, failAfter);
#ifndef TVX_FAULT_INJECTION
    QSKIP("needs a build with TVX_FAULT_INJECTION");
#endif
#ifdef Q_OS_WIN
    QFETCH(bool, underWine);
    if (!underWine)
        QSKIP("Wine starts processes and writes files slowly: every fourth row runs there");
#endif
    makeInstallation();

    QMap<QString, QString> kill{{"TARVEX_UPGRADE_KILL_AT", QString::number(killAt)},
                                {"TARVEX_UPGRADE_HEALTH_SECONDS", "1"}};
    if (failAfter >= 0)
        kill.insert("TARVEX_UPGRADE_FAIL_AFTER", QString::number(failAfter));
    QProcess::ExitStatus status = QProcess::NormalExit;
    if (killed == "Upgrade")
        run(upgraderPath(), {path("Tmp"), launcherPath()}, m_dir->path(), kill, &status);
    else
        run(toolPath(), {"apply"}, m_dir->path(), kill, &status);
    QCOMPARE(status, QProcess::CrashExit);
    // Killed inside the apply, not by a start that failed (Windows reports a
    // DLL it could not load with the code of a crash too).
    QMap<QString, QByteArray> killedTree = installedTree(m_dir->path());
    killedTree.remove(QStringLiteral(".upgrade.lock"));
    QVERIFY(QFileInfo::exists(path("Tmp/Journal")) || killedTree == m_new);

    // The launcher ends at once without a main form; the upgrader finds no
    // packet left to apply, or applies it, which is fine too.
    if (recovery == "Tarvex")
        QVERIFY(recoverWith(recovery) != -2);
    else if (recovery == "Upgrade")
        recoverWith(recovery);
    else
        run(toolPath(), {"check"}, m_dir->path());

    QMap<QString, QByteArray> after = installedTree(m_dir->path());
    // An upgrader killed after the commit never saw the new version healthy:
    // it is taken back, and held back.
    if (!takeHeldBack(m_dir->path(), after).isEmpty())
        QVERIFY2(killed == "Upgrade" && after == m_old, "held back, but not the old installation");
    QVERIFY2(after == m_old || after == m_new, "the installation is a mix of the old and the new version");
    QVERIFY(!QFileInfo::exists(path("Tmp/Journal")));
#ifndef Q_OS_WIN
    QVERIFY(!QFileInfo::exists(path(".upgrade.lock"))); // only the owner's number; Windows keeps the file
#endif
    CInstallLock lock(m_dir->path());
    QVERIFY(lock.tryLock());
}

void tst_UpgradeCrash::concurrentApplies()
{
    makeInstallation();
    {
        // Whoever holds the lock, a second operation is refused at once and
        // leaves Tmp as it is.
        CInstallLock lock(m_dir->path());
        QVERIFY(lock.tryLock());
        const QMap<QString, QByteArray> staged = FileTree::hashTree(path("Tmp"));
        QCOMPARE(run(toolPath(), {"apply"}, m_dir->path()), int(UPGRADE_OP_LOCKED));
        QCOMPARE(run(upgraderPath(), {path("Tmp"), launcherPath()}, m_dir->path()), int(UPGRADE_OP_LOCKED));
        QCOMPARE(FileTree::hashTree(path("Tmp")), staged);
    }
    QProcess first;
    QProcess second;
    startProcess(first, toolPath(), {"apply"});
    startProcess(second, toolPath(), {"apply"});
    QVERIFY(waitForProcessEnd(first, 120000) && waitForProcessEnd(second, 120000));
    const QList<int> codes{first.exitCode(), second.exitCode()};
    QVERIFY2(codes.contains(0) && (codes.contains(int(UPGRADE_OP_LOCKED))
                                   || codes.contains(int(UPGRADE_OP_NO_MODULE_NEED_UPDATE))),
             qPrintable(QString("%1 %2").arg(codes.at(0)).arg(codes.at(1))));
    QCOMPARE(installedTree(m_dir->path()), m_new);
}

void tst_UpgradeCrash::unstagedPacketRefused()
{
    // What a download killed while unpacking leaves: a packet without the mark.
    makeInstallation();
    QVERIFY(QFile::remove(path("Tmp/Staged")));
    QCOMPARE(run(toolPath(), {"apply"}, m_dir->path()), int(UPGRADE_OP_NOT_STAGED));
    QCOMPARE(run(upgraderPath(), {path("Tmp"), launcherPath()}, m_dir->path()), int(UPGRADE_OP_NOT_STAGED));
    QCOMPARE(installedTree(m_dir->path()), m_old);
}

void tst_UpgradeCrash::fullDisk()
{
    // The journal cannot be written, as on a full volume: nothing changes.
    makeInstallation();
    {
        FileSizeLimit limit(4096);
        if (!limit.isActive())
            QSKIP("cannot cap the file size here");
        QCOMPARE(run(toolPath(), {"apply"}, m_dir->path()), int(UPGRADE_OP_WRITE_FILE_FAILED));
    }
    QCOMPARE(installedTree(m_dir->path()), m_old);
    QVERIFY(!QFileInfo::exists(path("Tmp/Journal")));
}

void tst_UpgradeCrash::fullVolume_data()
{
    QTest::addColumn<int>("freeInodes"); // left on the volume once the packet is staged
    for (int freeInodes : {1, 3, 6, 12, 40})
        QTest::addRow("%d free inodes", freeInodes) << freeInodes;
}

// On a small volume of its own, filled up after the staging: the apply
// either completes or rolls back exactly, and says which.
void tst_UpgradeCrash::fullVolume()
{
#ifndef Q_OS_LINUX
    QSKIP("mounts a tmpfs");
#else
    QFETCH(int, freeInodes);
    if (::geteuid() != 0)
        QSKIP("needs root to mount a small tmpfs volume");
    QTemporaryDir mountPoint;
    const QByteArray target = QFile::encodeName(mountPoint.path());
    if (::mount("tmpfs", target.constData(), "tmpfs", 0, "size=96m,nr_inodes=8000") != 0)
        QSKIP("cannot mount a tmpfs volume here");
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{target};
    m_dir.reset(new QTemporaryDir(mountPoint.path() + "/app-XXXXXX"));
    makeInstallation();

    QVERIFY(QDir().mkpath(mountPoint.path() + "/filler"));
    QStringList fillers;
    for (int i = 0;; ++i) {
        QFile filler(mountPoint.path() + QString("/filler/%1").arg(i));
        if (!filler.open(QIODevice::WriteOnly))
            break;
        fillers.append(filler.fileName());
    }
    for (int i = 0; i < freeInodes && !fillers.isEmpty(); ++i)
        QVERIFY(QFile::remove(fillers.takeLast()));

    QProcess apply;
    apply.setWorkingDirectory(m_dir->path());
    startProcess(apply, toolPath(), {"apply"});
    QVERIFY(waitForProcessEnd(apply, 120000));
    const int code = apply.exitCode();
    qInfo() << "apply:" << code << apply.readAllStandardError().right(300);
    const QMap<QString, QByteArray> after = installedTree(m_dir->path());
    if (code == UPGRADE_OP_SUCCESS) {
        QCOMPARE(after, m_new);
    } else if (code == UPGRADE_OP_WRITE_FILE_FAILED) {
        QCOMPARE(after, m_old);
        QVERIFY(!QFileInfo::exists(path("Tmp/Journal")));
    } else {
        // Could not finish the way back: everything it needs is kept.
        QCOMPARE(code, int(UPGRADE_OP_ROLLBACK_INCOMPLETE));
        QVERIFY(QFileInfo::exists(path("Tmp/Journal")));
        for (const QString &filler : qAsConst(fillers))
            QFile::remove(filler);
        run(toolPath(), {"check"}, m_dir->path());
        QCOMPARE(installedTree(m_dir->path()), m_old);
    }
#endif
}

void tst_UpgradeCrash::lockDeletedDuringApply_data()
{
    QTest::addColumn<int>("pauseAt");
    QTest::addColumn<QString>("second"); // the command that comes while the apply waits
    QTest::addColumn<bool>("underWine");  // every fifth row, each command once
    // Steps of the small apply: the journal, one new directory, two per
    // replaced file, one per added one, the commit, the two of the clean-up.
    const int total = 1 + 1 + (SmallFileCount / 2 + 1) * 2 + SmallFileCount / 2 + 1 + 2;
    const QStringList second{"apply", "trust show", "Upgrade", "Tarvex"};
    for (int i = 0; i < 16; ++i) {
        const int step = 1 + i * (total - 1) / 15;
        QTest::addRow("step %d of %d, then %s", step, total, qPrintable(second.at(i % 4)))
            << step << second.at(i % 4) << (i % 5 == 0);
    }
}

// Deleting the lock file under a running apply gives nobody a lock of his
// own: the second command is refused or leaves the apply alone, and the
// apply ends exactly new.
void tst_UpgradeCrash::lockDeletedDuringApply()
{
    QFETCH(int, pauseAt);
    QFETCH(QString, second);
#ifndef TVX_FAULT_INJECTION
    QSKIP("needs a build with TVX_FAULT_INJECTION");
#endif
#ifdef Q_OS_WIN
    QFETCH(bool, underWine);
    if (!underWine)
        QSKIP("Wine starts processes and writes files slowly: every fifth row runs there");
#endif
    makeInstallation(HealthyLauncher, SmallFileCount);
    useRealLauncher();
    QTemporaryDir outside;
    const QString pauseFile = outside.filePath("paused");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TARVEX_UPGRADE_PAUSE_AT", QString::number(pauseAt));
    environment.insert("TARVEX_UPGRADE_PAUSE_FILE", pauseFile);
    QProcess first;
    first.setProcessEnvironment(environment);
    first.setWorkingDirectory(m_dir->path());
    startProcess(first, toolPath(), {"apply"});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pauseFile), 120000);

#ifdef Q_OS_WIN
    QVERIFY2(!QFile::remove(path(".upgrade.lock")), "the lock file is held without delete sharing");
#else
    QVERIFY(QFile::remove(path(".upgrade.lock")));
#endif
    if (second == "Tarvex") {
        QProcess::ExitStatus status = QProcess::CrashExit;
        run(launcherPath(), {}, m_dir->path(), {}, &status);
        QCOMPARE(status, QProcess::NormalExit);
    } else if (second == "Upgrade") {
        QCOMPARE(run(upgraderPath(), {path("Tmp"), launcherPath()}, m_dir->path()), int(UPGRADE_OP_LOCKED));
    } else {
        QCOMPARE(run(toolPath(), second.split(' '), m_dir->path()), second == "apply" ? int(UPGRADE_OP_LOCKED) : 0);
    }
    QVERIFY(QFile::remove(pauseFile));
    QVERIFY(waitForProcessEnd(first, 120000));
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(installedTree(m_dir->path()), m_new);
    QVERIFY(!QFileInfo::exists(path("Tmp")));
}

void tst_UpgradeCrash::reservedNamesRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("program");
    QTest::newRow("journal, tarvex-upgrade") << "Tmp/Journal" << "tarvex-upgrade";
    QTest::newRow("lock file, Upgrade") << ".upgrade.lock" << "Upgrade";
    QTest::newRow("serial in another case, tarvex-upgrade") << "conf/SYSTEM/ReleaseSerial.json" << "tarvex-upgrade";
}

// A packet staged by someone else's code with one of the engine's names:
// the apply's plan refuses it before it changes anything.
void tst_UpgradeCrash::reservedNamesRefused()
{
    QFETCH(QString, name);
    QFETCH(QString, program);
    makeInstallation(HealthyLauncher, SmallFileCount);
    QVERIFY(writeFile(path("Tmp/Packet/" + name), "TVXJ 2\nP\nC\n"));
    const int code = program == "Upgrade" ? run(upgraderPath(), {path("Tmp"), path("no-launcher")}, m_dir->path())
                                          : run(toolPath(), {"apply"}, m_dir->path());
    QCOMPARE(code, program == "Upgrade" ? 1 : int(UPGRADE_OP_WRITE_FILE_FAILED));
    QCOMPARE(installedTree(m_dir->path()), m_old);
}

namespace {

// Keeps a file from being moved or replaced while it lives: on Windows an
// open handle without delete sharing, as a second instance or a virus
// scanner holds one; on Linux, where an open file never stops a rename, the
// immutable flag.
class FileHold
{
public:
    explicit FileHold(const QString &path)
#ifdef Q_OS_WIN
        : m_handle(CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
#else
        : m_immutable(path)
#endif
    {
    }
#ifdef Q_OS_WIN
    ~FileHold() { release(); }
    bool isSet() const { return m_handle != INVALID_HANDLE_VALUE; }
    const char *whyNotSet() const { return "the file cannot be opened"; }
    void release()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle;
#else
    bool isSet() const { return m_immutable.isSet(); }
    const char *whyNotSet() const { return m_immutable.whyNotSet(); }
    void release() { m_immutable.release(); }

private:
    FileTree::ImmutableFile m_immutable;
#endif
};

} // namespace

void tst_UpgradeCrash::heldFile_data()
{
    QTest::addColumn<int>("heldMilliseconds"); // -1: throughout
    QTest::newRow("let go of after a moment: the apply waits") << 700;
    QTest::newRow("held throughout: rolled back, the file named") << -1;
}

// Another process holds a file that the apply must replace.
void tst_UpgradeCrash::heldFile()
{
    QFETCH(int, heldMilliseconds);
    makeInstallation(HealthyLauncher, SmallFileCount);
    const QString held = path("Solutions/m0/f100.txt");
    FileHold hold(held);
    if (!hold.isSet())
        QSKIP(hold.whyNotSet());

    QProcess tool;
    tool.setWorkingDirectory(m_dir->path());
    startProcess(tool, toolPath(), {"apply"});
    QVERIFY(tool.waitForStarted());
    if (heldMilliseconds >= 0)
        QTimer::singleShot(heldMilliseconds, [&hold] { hold.release(); });
    QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, 120000);
    const QByteArray errors = tool.readAllStandardError();
    if (heldMilliseconds >= 0) {
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(installedTree(m_dir->path()), m_new);
    } else {
        hold.release();
        QCOMPARE(tool.exitCode(), int(UPGRADE_OP_WRITE_FILE_FAILED));
        QVERIFY2(errors.contains(QDir::toNativeSeparators(held).toUtf8()), errors.constData());
        QCOMPARE(installedTree(m_dir->path()), m_old);
    }
}

void tst_UpgradeCrash::danglingLinkSkipped_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("tarvex-upgrade") << "tarvex-upgrade";
    QTest::newRow("Upgrade") << "Upgrade";
}

// A link to nothing in the packet is left out, as the safe copy leaves it
// out; the rest of the packet is installed.
void tst_UpgradeCrash::danglingLinkSkipped()
{
    QFETCH(QString, program);
#ifdef Q_OS_WIN
    QSKIP("symbolic links need a privilege on Windows");
#endif
    makeInstallation(HealthyLauncher, SmallFileCount);
    QVERIFY(QFile::link(path("nowhere"), path("Tmp/Packet/Solutions/m0/dangling")));
    const int code = program == "Upgrade" ? run(upgraderPath(), {path("Tmp"), launcherPath()}, m_dir->path(),
                                                {{"TARVEX_UPGRADE_HEALTH_SECONDS", "1"}})
                                          : run(toolPath(), {"apply"}, m_dir->path());
    QCOMPARE(code, 0);
    QMap<QString, QByteArray> after = installedTree(m_dir->path());
    QCOMPARE(after, m_new);
    QVERIFY(!QFileInfo(path("Solutions/m0/dangling")).isSymLink());
}

void tst_UpgradeCrash::untrustedJournal_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<QString>("entryPoint");
    // The first replaced file is in place, its old version in the backup.
    const QByteArray first = "R Solutions/m0/f0.txt 5\n";
    const QList<QPair<const char *, QByteArray>> journals{
        {"cut line", "TVXJ 2\n" + first + "P\nC"},
        {"truncated after changes", "TVXJ 2\n" + first},
        {"names Tmp", "TVXJ 2\nD Tmp\n" + first + "P\n"},
        {"names the root", "TVXJ 2\nD .\n" + first + "P\n"},
        {"names the lock file", "TVXJ 2\n" + first + "F .upgrade.lock 2\nP\n"},
        {"leaves the installation", "TVXJ 2\n" + first + "F ../outside 1\nP\n"},
        {"commit inside the plan", "TVXJ 2\n" + first + "C\nP\n"},
        {"committed, the new file removed", "TVXJ 2\n" + first + "P\nC\n"},
        {"garbage", QByteArray("\x7f\x45\x4c\x46\x02\x01\x00\n", 8)},
    };
    const QStringList entryPoints{"tarvex-upgrade", "Upgrade", "Tarvex"};
    for (const auto &journal : journals) {
        for (const QString &entryPoint : entryPoints)
            QTest::addRow("%s, %s", journal.first, qPrintable(entryPoint)) << journal.second << entryPoint;
    }
}

// A journal that cannot be trusted is never acted upon and never reported
// as success, from any entry point: 13, everything kept for inspection.
void tst_UpgradeCrash::untrustedJournal()
{
    QFETCH(QByteArray, journal);
    QFETCH(QString, entryPoint);
    makeInstallation(HealthyLauncher, 20);
    const QString file = "Solutions/m0/f0.txt";
    QVERIFY(QDir().mkpath(path("Tmp/Backup/Solutions/m0")));
    QVERIFY(QFile::rename(path(file), path("Tmp/Backup/" + file)));
    QVERIFY(QFile::rename(path("Tmp/Packet/" + file), path(file)));
    if (QByteArray(QTest::currentDataTag()).startsWith("committed"))
        QVERIFY(QFile::remove(path(file)));
    QVERIFY(writeFile(path("Tmp/Journal"), journal));
    if (entryPoint == "Tarvex")
        useRealLauncher();
    const QMap<QString, QByteArray> before = installedTree(m_dir->path());
    const QMap<QString, QByteArray> tmpBefore = FileTree::hashTree(path("Tmp"));

    QCOMPARE(recoverWith(entryPoint), int(UPGRADE_OP_ROLLBACK_INCOMPLETE));
    QCOMPARE(installedTree(m_dir->path()), before);
    QCOMPARE(FileTree::hashTree(path("Tmp")), tmpBefore);
    QCOMPARE(FileTree::readFile(path("Tmp/Backup/" + file)), QByteArray("old 0"));
}

void tst_UpgradeCrash::failedHealthCheck_data()
{
    QTest::addColumn<QByteArray>("behaviour"); // of version 2, in the stand-in launcher's words
    QTest::addColumn<QString>("recovery");     // after the upgrader was killed; empty: it stays alive
    QTest::addColumn<QString>("reason");

    const QList<QPair<const char *, QByteArray>> behaviours{
        {"hangs", "while [ ! -e \"$stop\" ]; do sleep 0.05; done\n"},
        {"exits 0 at once", "exit 0\n"},
        {"crashes", "kill -SEGV $$\n"},
        {"loads, then crashes", "echo loaded > \"$health\"\nkill -SEGV $$\n"},
    };
    const QStringList recoveries{"tarvex-upgrade", "Upgrade", "Tarvex", "tarvex-upgrade"};
    const QStringList reasons{"did not load within", "before its main form loaded", "crashed", "crashed"};
    for (int i = 0; i < behaviours.size(); ++i) {
        QTest::addRow("%s", behaviours.at(i).first) << behaviours.at(i).second << QString() << reasons.at(i);
        QTest::addRow("%s after the upgrader was killed, then %s", behaviours.at(i).first,
                      qPrintable(recoveries.at(i)))
            << behaviours.at(i).second << recoveries.at(i) << "proved healthy";
    }
}

// A new version that does not prove healthy is taken back, byte for byte,
// and held back: by the upgrader watching it, or, when the upgrader died
// meanwhile, by whatever entry point comes next.
void tst_UpgradeCrash::failedHealthCheck()
{
    QFETCH(QByteArray, behaviour);
    QFETCH(QString, recovery);
    QFETCH(QString, reason);
#ifdef Q_OS_WIN
    QSKIP("the stand-in launcher is a shell script");
#endif
    QTemporaryDir outside;
    const QString started = outside.filePath("started");
    const QString go = outside.filePath("go");
    const QString acting = outside.filePath("acting");
    if (recovery.isEmpty())
        QVERIFY(writeFile(go, ""));
    makeInstallation("#!/bin/sh\ndir=$(dirname \"$0\")\necho \"$(cat \"$dir/version.txt\")\" >> \"$dir/runs.txt\"\n"
                     "[ \"$(cat \"$dir/version.txt\")\" = 2 ] || exit 0\n"
                     "health=\"$TARVEX_UPGRADE_HEALTH_FILE\"; stop=\"" + QFile::encodeName(outside.filePath("stop"))
                         + "\"\ntouch \"" + QFile::encodeName(started) + "\"\nwhile [ ! -e \"" + QFile::encodeName(go)
                         + "\" ]; do sleep 0.05; done\ntouch \"" + QFile::encodeName(acting) + "\"\n" + behaviour,
                     SmallFileCount);
    struct Stop {
        QString path;
        ~Stop() { writeFile(path, ""); }
    } stop{outside.filePath("stop")};

    QProcess upgrader;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TARVEX_UPGRADE_HEALTH_SECONDS", "30");
    environment.insert("TARVEX_UPGRADE_LOAD_SECONDS", "1");
    upgrader.setProcessEnvironment(environment);
    upgrader.setWorkingDirectory(m_dir->path());
    startProcess(upgrader, upgraderPath(), {path("Tmp"), launcherPath()});
    if (recovery.isEmpty()) {
        QVERIFY(waitForProcessEnd(upgrader, 120000));
        QCOMPARE(upgrader.exitCode(), 65);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(started), 120000);
        upgrader.kill();
        QVERIFY(waitForProcessEnd(upgrader, 120000));
        QVERIFY(writeFile(go, ""));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(acting), 120000);
        recoverWith(recovery);
    }

    QMap<QString, QByteArray> after = installedTree(m_dir->path());
    const QString heldBack = takeHeldBack(m_dir->path(), after);
    QVERIFY2(heldBack.contains(reason), qPrintable(heldBack));
    QCOMPARE(after, m_old);
    QVERIFY(!QFileInfo::exists(path("Tmp")));
}

void tst_UpgradeCrash::crashingNewVersion()
{
    // Version 2 of this launcher crashes at once.
#ifdef Q_OS_WIN
    QSKIP("the stand-in launcher that crashes is a shell script");
#endif
    makeInstallation("#!/bin/sh\ndir=$(dirname \"$0\")\necho \"$(cat \"$dir/version.txt\")\" >> \"$dir/runs.txt\"\n"
                     "[ \"$(cat \"$dir/version.txt\")\" = 2 ] && kill -SEGV $$\nexit 0\n");
    const int code = run(upgraderPath(), {path("Tmp"), launcherPath()}, m_dir->path(),
                         {{"TARVEX_UPGRADE_HEALTH_SECONDS", "30"}});
    QCOMPARE(code, 65);
    // Exactly the old installation, and the record of what failed.
    QMap<QString, QByteArray> after = installedTree(m_dir->path());
    QVERIFY(after.remove("Conf/System/HeldBack.json") && after.remove("Conf/System") && after.remove("Conf"));
    QCOMPARE(after, m_old);
    QVERIFY(!QFileInfo::exists(path("Tmp")));
    // The new one ran and crashed, then the old one started again.
    QTRY_COMPARE_WITH_TIMEOUT(FileTree::readFile(path("runs.txt")), QByteArray("2\n1\n"), 30000);

    // Held back until a newer release comes.
    QVector<ModuleVersion> offered{ModuleVersion{"demo", "2.0", {}, {}, 200, 0, 0, {}, {}, -1, {}, {}, {}}};
    filterHeldBack(m_dir->path(), offered);
    QVERIFY(offered.isEmpty());
    QVERIFY(readHeldBack(m_dir->path()).value(0).strReason.contains("crashed"));
    offered = {ModuleVersion{"demo", "2.1", {}, {}, 201, 0, 0, {}, {}, -1, {}, {}, {}}};
    filterHeldBack(m_dir->path(), offered);
    QCOMPARE(offered.size(), 1);
    QVERIFY(readHeldBack(m_dir->path()).isEmpty());
}

QTEST_GUILESS_MAIN(tst_UpgradeCrash)
#include "tst_upgradecrash.moc"
