// The reference upgrader as the launcher's hand-over starts it: a real
// process in <installation>/Upgrade/, applying a real staged packet over an
// installation in a temporary directory, and starting a stand-in launcher.

#include "common/processend.h"
#include "common/filetree.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#  include <fcntl.h>
#  include <sys/file.h>
#  include <unistd.h>
#endif

using FileTree::readFile;
using FileTree::writeFile;

namespace {

// The installation's files, leaving out what a run adds besides the upgrade
// itself.
QMap<QString, QByteArray> hashTree(const QString &root)
{
    return FileTree::hashTree(root, {QStringLiteral("Log"), QStringLiteral("Tmp"), QStringLiteral("launcher-runs.txt")});
}

// Ends the stand-in launchers a test leaves waiting.
struct HoldReleaser
{
    QString holdPath;
    ~HoldReleaser() { QFile::remove(holdPath); }
};

} // namespace

class tst_Upgrader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void applySucceeds();
    void failureRollsBack_data();
    void failureRollsBack();
    void waitsForLauncher();
    void launcherNeverExits();
    void refusedHandOver_data();
    void refusedHandOver();
    void inheritedLock_data();
    void inheritedLock();
    void healthAttempts_data();
    void healthAttempts();

private:
    // An installation with version 1, the upgrader in Upgrade/, a stand-in
    // launcher, and a staged packet for version 2 in Tmp/Packet.
    void makeInstallation();
    int runUpgrader(const QStringList &arguments, const QProcessEnvironment &environment =
                                                      QProcessEnvironment::systemEnvironment());
    QStringList launcherRuns() const;
    QByteArray printLog() const { return readFile(appPath("Log/Print.log"), QByteArray()); }
    QString appPath(const QString &relative) const { return m_appDir->filePath(relative); }
    QString launcher() const { return appPath("Tarvex"); }

    QScopedPointer<QTemporaryDir> m_appDir;
};

void tst_Upgrader::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("the stand-in launcher is a shell script");
#endif
    QVERIFY2(QFileInfo(TVX_BIN_DIR "/Upgrade/Upgrade").isExecutable(), "build the Upgrade target first");
}

void tst_Upgrader::init()
{
    m_appDir.reset(new QTemporaryDir);
    QVERIFY(m_appDir->isValid());
}

void tst_Upgrader::cleanup()
{
    QFile::remove(appPath("hold"));
    m_appDir.reset();
}

void tst_Upgrader::makeInstallation()
{
    // The launcher records each start with its working directory and
    // arguments, then waits while the file "hold" exists. To a watching
    // upgrader it reports what the real one does: its main form loaded, then
    // returned.
    QVERIFY(writeFile(launcher(), "#!/bin/sh\n"
                                  "dir=$(dirname \"$0\")\n"
                                  "health=\"${TARVEX_UPGRADE_HEALTH_FILE:-/dev/null}\"\n"
                                  "echo \"ran in $(pwd) with $# arguments, demo: $(cat \"$dir/Solutions/demo.txt\")\""
                                  " >> \"$dir/launcher-runs.txt\"\n"
                                  "echo loaded > \"$health\"\n"
                                  "while [ -e \"$dir/hold\" ]; do sleep 0.05; done\n"
                                  "echo returned > \"$health\"\n"));
    QFile launcherFile(launcher());
    QVERIFY(launcherFile.setPermissions(launcherFile.permissions() | QFileDevice::ExeOwner));

    QVERIFY(QDir().mkpath(appPath("Upgrade")));
    QVERIFY(QFile::copy(TVX_BIN_DIR "/Upgrade/Upgrade", appPath("Upgrade/Upgrade")));
    QVERIFY(writeFile(appPath("Solutions/SolutionInfo.xml"), "<Solution><SolutionS><Solution id=\"demo\">"
                                                             "<Version>1.0</Version></Solution></SolutionS>"
                                                             "</Solution>\n"));
    QVERIFY(writeFile(appPath("Solutions/demo.txt"), "demo version 1"));
    QVERIFY(writeFile(appPath("Solutions/other.txt"), "not upgraded"));
    QVERIFY(writeFile(appPath("keep.txt"), "kept"));

    // In the order of the copy: Solutions/demo.txt (replaces), Solutions/new
    // /added.txt (new, in a new directory), Solutions/SolutionInfo.xml
    // (replaces), Upgrade/Upgrade (the running upgrader itself, as the
    // launcher put it in place before the hand-over).
    QVERIFY(writeFile(appPath("Tmp/Packet/Solutions/demo.txt"), "demo version 2"));
    QVERIFY(writeFile(appPath("Tmp/Packet/Solutions/new/added.txt"), "added in version 2"));
    QVERIFY(writeFile(appPath("Tmp/Packet/Solutions/SolutionInfo.xml"),
                      "<Solution><SolutionS><Solution id=\"demo\"><Version>2.0</Version></Solution>"
                      "</SolutionS></Solution>\n"));
    QVERIFY(QDir().mkpath(appPath("Tmp/Packet/Upgrade")));
    QVERIFY(QFile::copy(TVX_BIN_DIR "/Upgrade/Upgrade", appPath("Tmp/Packet/Upgrade/Upgrade")));
    QVERIFY(writeFile(appPath("Tmp/demo-2.7z"), "the downloaded packet"));
    QVERIFY(writeFile(appPath("Tmp/Staged"), "{}"));
}

int tst_Upgrader::runUpgrader(const QStringList &arguments, const QProcessEnvironment &environment)
{
    // As the launcher starts it: from the installation's directory.
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_appDir->path());
    startProcess(process, appPath("Upgrade/Upgrade"), arguments);
    if (!waitForProcessEnd(process, 120000)) {
        process.kill();
        waitForProcessEnd(process, 30000);
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void tst_Upgrader::healthAttempts_data()
{
    QTest::addColumn<int>("failingStarts"); // the new version's first starts that end before its main form loads
    QTest::addColumn<int>("attempts");      // TARVEX_UPGRADE_HEALTH_ATTEMPTS; 0: not set
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("health");    // in the outcome report

    QTest::newRow("one start, as before, fails") << 1 << 0 << 65 << "reverted";
    QTest::newRow("second of two starts succeeds") << 1 << 2 << 0 << "healthy";
    QTest::newRow("two of two starts fail") << 2 << 2 << 65 << "reverted";
    QTest::newRow("first of three starts succeeds") << 0 << 3 << 0 << "healthy";
    QTest::newRow("not a number: one start") << 1 << -1 << 65 << "reverted";
}

void tst_Upgrader::healthAttempts()
{
    QFETCH(int, failingStarts);
    QFETCH(int, attempts);
    QFETCH(int, expected);
    QFETCH(QString, health);
    makeInstallation();
    // Its first starts end at once, as a start on a busy machine may.
    QVERIFY(writeFile(launcher(), QStringLiteral("#!/bin/sh\n"
                                                 "dir=$(dirname \"$0\")\n"
                                                 "health=\"${TARVEX_UPGRADE_HEALTH_FILE:-/dev/null}\"\n"
                                                 "echo \"demo: $(cat \"$dir/Solutions/demo.txt\")\" >> \"$dir/launcher-runs.txt\"\n"
                                                 "[ $(wc -l < \"$dir/launcher-runs.txt\") -le %1 ] && exit 3\n"
                                                 "echo loaded > \"$health\"\n"
                                                 "echo returned > \"$health\"\n")
                                      .arg(failingStarts)
                                      .toUtf8()));
    QFile launcherFile(launcher());
    QVERIFY(launcherFile.setPermissions(launcherFile.permissions() | QFileDevice::ExeOwner));
    // What the download left for the end of the upgrade; nothing listens
    // on port 1, so the report is tried, logged and dropped.
    QVERIFY(writeFile(appPath("Conf/System/PendingReport.json"),
                      "{\"url\": \"http://127.0.0.1:1/reports\", \"reports\": [{\"i\": \"0123456789abcdef\", "
                      "\"m\": \"demo\", \"f\": \"1.0\", \"t\": \"2.0\", \"b\": 7, \"c\": 0, \"d\": 0}]}"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TARVEX_UPGRADE_HEALTH_SECONDS", "0");
    if (attempts != 0)
        environment.insert("TARVEX_UPGRADE_HEALTH_ATTEMPTS", attempts < 0 ? "many" : QString::number(attempts));

    QCOMPARE(runUpgrader({appPath("Tmp"), launcher()}, environment), expected);
    const int starts = qMax(attempts, 1);
    if (expected == 0) {
        QCOMPARE(readFile(appPath("Solutions/demo.txt")), QByteArray("demo version 2"));
        QCOMPARE(launcherRuns().size(), failingStarts + 1);
    } else {
        QCOMPARE(readFile(appPath("Solutions/demo.txt")), QByteArray("demo version 1"));
        // Every start given, then the old version once more.
        QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), starts + 1, 30000);
        QCOMPARE(launcherRuns().last(), QStringLiteral("demo: demo version 1"));
    }
    QVERIFY2(printLog().contains(("outcome report: demo 1.0 -> 2.0 apply 0 " + health).toUtf8()), printLog().constData());
    QVERIFY(printLog().contains("outcome report of demo 2.0 not sent to http://127.0.0.1:1/reports"));
    QVERIFY(!QFileInfo::exists(appPath("Conf/System/PendingReport.json")));
}

QStringList tst_Upgrader::launcherRuns() const
{
    return QString::fromUtf8(readFile(appPath("launcher-runs.txt"), QByteArray())).split('\n', Qt::SkipEmptyParts);
}

void tst_Upgrader::applySucceeds()
{
    makeInstallation();
    const QByteArray upgraderBefore = readFile(appPath("Upgrade/Upgrade"));

    QCOMPARE(runUpgrader({appPath("Tmp"), launcher()}), 0);

    QCOMPARE(readFile(appPath("Solutions/demo.txt")), QByteArray("demo version 2"));
    QCOMPARE(readFile(appPath("Solutions/new/added.txt")), QByteArray("added in version 2"));
    QVERIFY(readFile(appPath("Solutions/SolutionInfo.xml")).contains("<Version>2.0</Version>"));
    QCOMPARE(readFile(appPath("Solutions/other.txt")), QByteArray("not upgraded"));
    QCOMPARE(readFile(appPath("keep.txt")), QByteArray("kept"));
    QCOMPARE(readFile(appPath("Upgrade/Upgrade")), upgraderBefore);
    QVERIFY(!QFileInfo::exists(appPath("Tmp")));

    // Started again, detached, in its directory, without arguments.
    QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), 1, 30000);
    QCOMPARE(launcherRuns().at(0),
             QString("ran in %1 with 0 arguments, demo: demo version 2").arg(m_appDir->path()));

    // The product's log of the installation, not one beside the upgrader.
    QVERIFY2(printLog().contains("upgrade applied to"), printLog().constData());
    QVERIFY(!QFileInfo::exists(appPath("Upgrade/Log")));
}

void tst_Upgrader::failureRollsBack_data()
{
    QTest::addColumn<int>("failAfter");
    QTest::newRow("at the first file") << 0;
    QTest::newRow("after a replaced file, at a new one") << 1;
    QTest::newRow("after a new directory") << 2;
    QTest::newRow("at the running upgrader") << 3;
}

void tst_Upgrader::failureRollsBack()
{
    QFETCH(int, failAfter);
#ifndef TVX_FAULT_INJECTION
    QSKIP("needs a build with TVX_FAULT_INJECTION");
#endif
    makeInstallation();
    const QMap<QString, QByteArray> before = hashTree(m_appDir->path());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TARVEX_UPGRADE_FAIL_AFTER", QString::number(failAfter));
    QCOMPARE(runUpgrader({appPath("Tmp"), launcher()}, environment), 7);

    // Byte for byte as before: replaced files back, created ones gone.
    QCOMPARE(hashTree(m_appDir->path()), before);
    QVERIFY(printLog().contains("installation rolled back"));

    QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), 1, 30000);
    QVERIFY(launcherRuns().at(0).endsWith("demo: demo version 1"));
}

void tst_Upgrader::waitsForLauncher()
{
    makeInstallation();
    HoldReleaser releaser{appPath("hold")};
    QVERIFY(writeFile(appPath("hold"), ""));

    // The launcher that handed over is still on its way out.
    QProcess running;
    startProcess(running, launcher(), QStringList());
    QVERIFY(running.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), 1, 30000);

    QProcess upgrader;
    upgrader.setWorkingDirectory(m_appDir->path());
    startProcess(upgrader, appPath("Upgrade/Upgrade"), {appPath("Tmp"), launcher()});
    QVERIFY(upgrader.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(printLog().contains("waiting for launcher"), 30000);
    // Nothing is applied while the launcher runs.
    QCOMPARE(readFile(appPath("Solutions/demo.txt")), QByteArray("demo version 1"));
    QCOMPARE(upgrader.state(), QProcess::Running);

    QVERIFY(QFile::remove(appPath("hold")));
    QVERIFY(waitForProcessEnd(running, 30000));
    QVERIFY(waitForProcessEnd(upgrader, 60000));
    QCOMPARE(upgrader.exitCode(), 0);
    QCOMPARE(readFile(appPath("Solutions/demo.txt")), QByteArray("demo version 2"));
    QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), 2, 30000);
}

void tst_Upgrader::launcherNeverExits()
{
    makeInstallation();
    HoldReleaser releaser{appPath("hold")};
    QVERIFY(writeFile(appPath("hold"), ""));
    QProcess running;
    startProcess(running, launcher(), QStringList());
    QVERIFY(running.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), 1, 30000);
    const QMap<QString, QByteArray> before = hashTree(m_appDir->path());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TARVEX_UPGRADE_WAIT_MS", "300");
    QCOMPARE(runUpgrader({appPath("Tmp"), launcher()}, environment), 1);

    // Untouched, the staged packet kept for another try; the user still gets
    // a launcher.
    QCOMPARE(hashTree(m_appDir->path()), before);
    QVERIFY(QFileInfo(appPath("Tmp/Packet/Solutions/demo.txt")).isFile());
    QVERIFY(printLog().contains("still running"));
    QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), 2, 30000);

    QVERIFY(QFile::remove(appPath("hold")));
    QVERIFY(waitForProcessEnd(running, 30000));
}

void tst_Upgrader::refusedHandOver_data()
{
    QTest::addColumn<QStringList>("arguments"); // "APP" stands for the installation's directory
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("isLauncherStarted");

    QTest::newRow("no arguments") << QStringList() << 64 << false;
    QTest::newRow("one argument") << QStringList{"APP/Tmp"} << 64 << false;
    QTest::newRow("three arguments") << QStringList{"APP/Tmp", "APP/Tarvex", "x"} << 64 << false;
    QTest::newRow("no such launcher") << QStringList{"APP/Tmp", "APP/Missing"} << 1 << false;
    QTest::newRow("no packet") << QStringList{"APP/Solutions", "APP/Tarvex"} << 1 << true;
    // Deleting this "temporary directory" after the apply would delete the
    // installation.
    QTest::newRow("installation as temporary directory") << QStringList{"APP", "APP/Tarvex"} << 1 << true;
    QTest::newRow("packet writing into Tmp") << QStringList{"APP/Tmp", "APP/Tarvex", "PACKET_TMP"} << 1 << true;
    QTest::newRow("fault past the last file") << QStringList{"APP/Tmp", "APP/Tarvex", "FAIL_AFTER=4"} << 1 << true;
}

void tst_Upgrader::refusedHandOver()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, isLauncherStarted);
    makeInstallation();
    // Also a packet at the top, so that "APP" as temporary directory has one.
    QVERIFY(writeFile(appPath("Packet/keep.txt"), "packet at the top"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!arguments.isEmpty() && arguments.last().startsWith("FAIL_AFTER=")) {
#ifndef TVX_FAULT_INJECTION
        QSKIP("needs a build with TVX_FAULT_INJECTION");
#endif
        environment.insert("TARVEX_UPGRADE_FAIL_AFTER", arguments.takeLast().section('=', 1));
    }
    if (!arguments.isEmpty() && arguments.last() == "PACKET_TMP") {
        arguments.removeLast();
        QVERIFY(writeFile(appPath("Tmp/Packet/Tmp/Packet/keep.txt"), "overwritten"));
    }
    arguments.replaceInStrings(QRegularExpression("^APP"), m_appDir->path());
    const QMap<QString, QByteArray> before = hashTree(m_appDir->path());
    const QMap<QString, QByteArray> stagedBefore = hashTree(appPath("Tmp"));
    QTEST(runUpgrader(arguments, environment), "exitCode");

    QCOMPARE(hashTree(m_appDir->path()), before);
    QCOMPARE(hashTree(appPath("Tmp")), stagedBefore);
    if (isLauncherStarted)
        QTRY_COMPARE_WITH_TIMEOUT(launcherRuns().size(), 1, 30000);
    else
        QVERIFY(launcherRuns().isEmpty());
}

void tst_Upgrader::inheritedLock_data()
{
    QTest::addColumn<QString>("passed"); // what the launcher passed down, relative to the installation
    QTest::addColumn<bool>("isLocked");  // and locked
    QTest::addColumn<bool>("isAdopted");
    QTest::newRow("the installation, locked") << "." << true << true;
    // An older launcher locked the file and passed that on.
    QTest::newRow("the lock file, locked") << ".upgrade.lock" << true << true;
    QTest::newRow("another directory") << "Solutions" << false << false;
    QTest::newRow("another file") << "keep.txt" << false << false;
}

// The upgrader takes over only the lock of this installation; a stray
// descriptor in the variable is no lock, and it then locks on its own.
void tst_Upgrader::inheritedLock()
{
#ifndef Q_OS_UNIX
    QSKIP("passes a POSIX descriptor");
#else
    QFETCH(QString, passed);
    QFETCH(bool, isLocked);
    QFETCH(bool, isAdopted);
    makeInstallation();
    if (!QFileInfo::exists(appPath(passed)))
        QVERIFY(writeFile(appPath(passed), "1\n"));
    const int fd = ::open(QFile::encodeName(appPath(passed)).constData(), O_RDONLY);
    QVERIFY(fd >= 0);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    QVERIFY(!isLocked || ::flock(fd, LOCK_EX | LOCK_NB) == 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TARVEX_UPGRADE_LOCK_FD", QString::number(fd));
    QCOMPARE(runUpgrader({appPath("Tmp"), launcher()}, environment), 0);
    QCOMPARE(readFile(appPath("Solutions/demo.txt")), QByteArray("demo version 2"));
    QCOMPARE(printLog().contains("took over the installation lock from the launcher"), isAdopted);
#endif
}

QTEST_GUILESS_MAIN(tst_Upgrader)
#include "tst_upgrader.moc"
