// Crash safety of the upgrade, on the real programs: an apply of a few
// thousand files killed with SIGKILL at moments spread over its run, and
// after the next start of any entry point the installation is exactly the
// old one or exactly the new one. Also a second apply at the same time, a
// packet that was never completely staged, a full disk, and a new version
// that crashes at start.

#include "common/filetree.h"
#include "common/filesizelimit.h"
#include "common/programcopy.h"
#include "upgrade/transaction/heldback.h"
#include "upgrade/transaction/installlock.h"
#include "upgrade/transaction/staging.h"

#include <QtTest>

#ifdef Q_OS_LINUX
#  include <sys/mount.h>
#  include <sys/statvfs.h>
#  include <unistd.h>
#endif

using FileTree::writeFile;

namespace {

constexpr int FileCount = 2000; // half replaced, half added in new directories

QMap<QString, QByteArray> installedTree(const QString &root)
{
    return FileTree::hashTree(root, {QStringLiteral("Log"), QStringLiteral("Tmp"), QStringLiteral("runs.txt")});
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
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
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
    void unstagedPacketRefused();
    void fullDisk();
    void fullVolume_data();
    void fullVolume();
    void crashingNewVersion();

private:
    // Version 1 installed, version 2 staged and marked; the old and new trees
    // as they must come out.
    void makeInstallation(const QByteArray &launcherScript = QByteArray());
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

void tst_UpgradeCrash::makeInstallation(const QByteArray &launcherScript)
{
    // A stand-in launcher: records its start and ends normally, or as told.
    QVERIFY(writeFile(launcherPath(), launcherScript.isEmpty()
                                          ? "#!/bin/sh\necho \"$(cat \"$(dirname \"$0\")/version.txt\")\" >> "
                                            "\"$(dirname \"$0\")/runs.txt\"\n"
                                          : launcherScript));
    QFile(launcherPath()).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(ProgramCopy::copyProgram(built(PlatformNames::upgradeToolFileName()), toolPath()));
    QVERIFY(ProgramCopy::copyProgram(built(QStringLiteral("Upgrade/") + PlatformNames::upgraderFileName()),
                                     upgraderPath()));
    QVERIFY(writeFile(path("version.txt"), "1"));
    for (int i = 0; i < FileCount; i += 2)
        QVERIFY(writeFile(path(QString("Solutions/m%1/f%2.txt").arg(i / 200).arg(i)), "old " + QByteArray::number(i)));
    m_old = installedTree(m_dir->path());

    QVERIFY(writeFile(path("Tmp/Packet/version.txt"), "2"));
    for (int i = 0; i < FileCount; ++i) {
        const QString relative = i % 2 ? QString("Solutions/n%1/f%2.txt").arg(i / 200).arg(i)
                                       : QString("Solutions/m%1/f%2.txt").arg(i / 200).arg(i);
        QVERIFY(writeFile(path("Tmp/Packet/" + relative), "new " + QByteArray::number(i)));
    }
    QVERIFY(markPacketStaged(path("Tmp"), {ModuleVersion{"demo", "2.0", {}, {}, 200, 0, 1, {}, {}, -1, {}, {}}}));
    m_new = m_old;
    const QMap<QString, QByteArray> staged = installedTree(path("Tmp/Packet"));
    for (auto it = staged.cbegin(); it != staged.cend(); ++it)
        m_new.insert(it.key(), it.value());
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
    if (recovery == "Tarvex") {
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
        QProcess::ExitStatus launcherStatus = QProcess::CrashExit;
        run(launcherPath(), {}, m_dir->path(), {}, &launcherStatus);
        QCOMPARE(launcherStatus, QProcess::NormalExit);
    } else if (recovery == "Upgrade") {
        run(upgraderPath(), {path("Tmp"), path("no-launcher")}, m_dir->path());
    } else {
        run(toolPath(), {"check"}, m_dir->path());
    }

    const QMap<QString, QByteArray> after = installedTree(m_dir->path());
    QVERIFY2(after == m_old || after == m_new, "the installation is a mix of the old and the new version");
    QVERIFY(!QFileInfo::exists(path("Tmp/Journal")));
    QVERIFY(!QFileInfo::exists(path(".upgrade.lock")));
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
    first.start(toolPath(), {"apply"});
    second.start(toolPath(), {"apply"});
    QVERIFY(first.waitForFinished(120000) && second.waitForFinished(120000));
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
    apply.start(toolPath(), {"apply"});
    QVERIFY(apply.waitForFinished(120000));
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
    QVector<ModuleVersion> offered{ModuleVersion{"demo", "2.0", {}, {}, 200, 0, 0, {}, {}, -1, {}, {}}};
    filterHeldBack(m_dir->path(), offered);
    QVERIFY(offered.isEmpty());
    QVERIFY(readHeldBack(m_dir->path()).value(0).strReason.contains("crashed"));
    offered = {ModuleVersion{"demo", "2.1", {}, {}, 201, 0, 0, {}, {}, -1, {}, {}}};
    filterHeldBack(m_dir->path(), offered);
    QCOMPARE(offered.size(), 1);
    QVERIFY(readHeldBack(m_dir->path()).isEmpty());
}

QTEST_GUILESS_MAIN(tst_UpgradeCrash)
#include "tst_upgradecrash.moc"
