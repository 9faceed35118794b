// The engine as a product embeds it: a product's own main form
// (tests/productform), which knows only the engine's public API, runs in the
// real launcher against the development server. It checks, downloads, and
// applies in place or hands over to the upgrader; it stops; it meets a lock
// held by another process; and it is killed at moments spread over its
// apply, after which any entry point must leave the installation exactly
// old or exactly new.

#include "common/processend.h"
#include "common/filetree.h"
#include "common/installprocesses.h"
#include "common/programcopy.h"
#include "common/testserver.h"
#include "demofixture.h"
#include "upgrade/files/solutioninfo.h"
#include "upgrade/transaction/installlock.h"

#include <QtTest>

namespace {

constexpr int ReplacedFiles = 40;
constexpr int AddedFiles = 40;

// Version 1.0 has the replaced files; 2.0 changes them and adds the others
// in a directory of its own.
QMap<QString, QByteArray> moduleFiles(bool isNew)
{
    QMap<QString, QByteArray> files;
    const QByteArray version = isNew ? "2.0" : "1.0";
    for (int i = 0; i < ReplacedFiles; ++i)
        files.insert(QString("Solutions/DemoModule/f%1.txt").arg(i), "file " + QByteArray::number(i) + " of " + version);
    for (int i = 0; isNew && i < AddedFiles; ++i)
        files.insert(QString("Solutions/DemoModule/added/a%1.txt").arg(i), "added " + QByteArray::number(i));
    return files;
}

// The steps of an apply of that packet: the journal, the new directory, two
// per replaced file (the solution information file too), one per added
// file, the commit, and the two of the clean-up.
constexpr int ApplySteps = 1 + 1 + (ReplacedFiles + 1) * 2 + AddedFiles + 1 + 2;

} // namespace

class tst_ProductForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void acceptance_data();
    void acceptance();
    void lockedWhileApplying_data();
    void lockedWhileApplying();
    void killMatrix_data();
    void killMatrix();

private:
    void makeInstallation();
    // The product's steps in the launcher; its exit code, -2 for a crash.
    int runLauncher(const QString &steps, const QMap<QString, QString> &extraEnv = {});
    QProcessEnvironment environment(const QString &steps, const QMap<QString, QString> &extraEnv) const;
    int runProgram(const QString &program, const QStringList &arguments);
    // The installation's tree without what changes with every run, and the
    // version its solution information records.
    QMap<QString, QByteArray> tree() const;
    QString installedVersion() const;
    bool isOld() const { return tree() == m_old && installedVersion() == QLatin1String("1.0"); }
    bool isNew() const { return tree() == m_new && installedVersion() == QLatin1String("2.0"); }
    QStringList records() const;
    QString appPath(const QString &relative) const { return m_appDir + QLatin1Char('/') + relative; }
    QString diagnostics() const;

    DemoFixture::ServerDir m_serverDir;
    TestServer m_server;
    QScopedPointer<QTemporaryDir> m_installDir;
    QScopedPointer<QTemporaryDir> m_outputDir;
    QString m_appDir;
    QMap<QString, QByteArray> m_old;
    QMap<QString, QByteArray> m_new;
};

void tst_ProductForm::initTestCase()
{
#ifndef Q_OS_LINUX
    QSKIP("waits for the installation's processes through /proc");
#endif
    QCOMPARE(m_serverDir.make(moduleFiles(true)), QString());
    QVERIFY2(m_server.start(m_serverDir.root(), QLatin1String(DemoFixture::serverKey)),
             qPrintable(m_server.errorText()));
}

void tst_ProductForm::init()
{
    m_installDir.reset(new QTemporaryDir);
    m_outputDir.reset(new QTemporaryDir);
    QVERIFY(m_installDir->isValid() && m_outputDir->isValid());
    // As the launcher sees it: applicationDirPath() resolves links.
    m_appDir = QFileInfo(m_installDir->path()).canonicalFilePath();
    makeInstallation();
}

void tst_ProductForm::cleanup()
{
    InstallProcesses::killAll(m_appDir);
    m_installDir.reset();
    m_outputDir.reset();
}

void tst_ProductForm::makeInstallation()
{
    const QString bin = QStringLiteral(TVX_BIN_DIR "/");
    const QStringList programs{PlatformNames::launcherFileName(), PlatformNames::upgradeToolFileName(),
                               QStringLiteral("Upgrade/") + PlatformNames::upgraderFileName()};
    for (const QString &program : programs)
        QVERIFY(ProgramCopy::copyProgram(bin + program, appPath(program)));
    QVERIFY(DemoFixture::copyFile(QStringLiteral(TVX_PRODUCT_FORM),
                                  appPath(QStringLiteral("Solutions/") + PlatformNames::mainFormPluginFileName())));
    QVERIFY(ProgramCopy::installSevenZip(m_appDir));
    QVERIFY(DemoFixture::writeFiles(m_appDir, moduleFiles(false)));
    QVERIFY(FileTree::writeFile(appPath(QStringLiteral("Solutions/SolutionInfo.xml")),
                                DemoFixture::solutionInfo("1.0", DemoFixture::oldReleaseDate, 1)));
    QCOMPARE(runProgram(appPath(PlatformNames::upgradeToolFileName()),
                        {"servers", "write", "--server", "test=" + m_server.hostAndPort(), "--current", "test",
                         "--prefix", "/api", "--path", "/upgrade/query", "--key", DemoFixture::serverKey}),
             0);
    m_old = tree();
    // The new tree: the old one with the new module files, hashed as tree() hashes.
    m_new = m_old;
    QTemporaryDir expected;
    QVERIFY(DemoFixture::writeFiles(expected.path(), moduleFiles(true)));
    const QMap<QString, QByteArray> hashed = FileTree::hashTree(expected.path(), {});
    for (auto it = hashed.cbegin(); it != hashed.cend(); ++it)
        m_new.insert(it.key(), it.value());
}

QProcessEnvironment tst_ProductForm::environment(const QString &steps, const QMap<QString, QString> &extraEnv) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"TARVEX_UPGRADE_KILL_AT", "TARVEX_UPGRADE_PAUSE_AT", "TARVEX_UPGRADE_FAIL_AFTER"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TARVEX_PRODUCT_STEPS"), steps);
    env.insert(QStringLiteral("TARVEX_PRODUCT_RECORD"), m_outputDir->filePath(QStringLiteral("records.txt")));
    for (auto it = extraEnv.cbegin(); it != extraEnv.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

int tst_ProductForm::runLauncher(const QString &steps, const QMap<QString, QString> &extraEnv)
{
    QProcess launcher;
    launcher.setProcessEnvironment(environment(steps, extraEnv));
    launcher.setWorkingDirectory(m_appDir);
    // Files, not pipes: the upgrader and the launcher it starts inherit them.
    launcher.setStandardOutputFile(m_outputDir->filePath(QStringLiteral("launcher.out")), QIODevice::Append);
    launcher.setStandardErrorFile(m_outputDir->filePath(QStringLiteral("launcher.out")), QIODevice::Append);
    startProcess(launcher, appPath(PlatformNames::launcherFileName()), QStringList());
    if (!waitForProcessEnd(launcher, 300000)) {
        launcher.kill();
        waitForProcessEnd(launcher, 30000);
        return -1;
    }
    return launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -2;
}

int tst_ProductForm::runProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(environment(QStringLiteral("none"), {}));
    process.setWorkingDirectory(m_appDir);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    startProcess(process, program, arguments);
    if (!waitForProcessEnd(process, 300000)) {
        process.kill();
        waitForProcessEnd(process, 30000);
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

QMap<QString, QByteArray> tst_ProductForm::tree() const
{
    QMap<QString, QByteArray> files = FileTree::hashTree(m_appDir, {QStringLiteral("Log"), QStringLiteral("Tmp"),
                                                                    QStringLiteral(".upgrade.lock")});
    // Its bytes come from the engine's XML writer; installedVersion() reads it.
    files.remove(QStringLiteral("Solutions/SolutionInfo.xml"));
    return files;
}

QString tst_ProductForm::installedVersion() const
{
    QVector<ModuleVersion> installed;
    if (!getModuleVersionFromSolutionInfoFile(appPath(QStringLiteral("Solutions/SolutionInfo.xml")), installed)
        || installed.size() != 1)
        return QString();
    return installed.first().strVersion;
}

QStringList tst_ProductForm::records() const
{
    const QByteArray content = FileTree::readFile(m_outputDir->filePath(QStringLiteral("records.txt")));
    return QString::fromUtf8(content).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString tst_ProductForm::diagnostics() const
{
    QStringList differing;
    const QMap<QString, QByteArray> now = tree();
    for (const QString &path : now.keys() + m_new.keys()) {
        if (now.value(path) != m_new.value(path) && !differing.contains(path))
            differing << path;
    }
    return QString::fromUtf8("version " + installedVersion().toUtf8() + ", differing from the new tree: "
                             + differing.join(' ').toUtf8() + "\nrecords:\n" + records().join('\n').toUtf8() + "\noutput:\n"
                             + FileTree::readFile(m_outputDir->filePath(QStringLiteral("launcher.out"))).right(4000));
}

void tst_ProductForm::acceptance_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<bool>("isLockedElsewhere");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("expected"); // one line per run of the product
    QTest::addColumn<bool>("isUpgraded");

    QTest::newRow("check, download, save, apply")
        << "check,download,save,apply" << false << 0 << QStringList{"check=0 download=0 save=true apply=0"} << true;
    QTest::newRow("check, download, apply: the engine staged the versions")
        << "check,download,apply" << false << 0 << QStringList{"check=0 download=0 apply=0"} << true;
    QTest::newRow("hand-over: the upgrader applies what the engine staged")
        << "check,download,handover" << false << 2
        << QStringList{"check=0 download=0 handover", "check=0 up-to-date"} << true;
    QTest::newRow("stop, then a check on the same object")
        << "stop,check,download" << false << 0 << QStringList{"stop check=0 download=4"} << false;
    QTest::newRow("download and apply while another process holds the lock")
        << "check,download,apply" << true << 0 << QStringList{"check=0 download=11 apply=11"} << false;
    QTest::newRow("save while another process holds the lock")
        << "check,save" << true << 0 << QStringList{"check=0 save=false"} << false;
}

void tst_ProductForm::acceptance()
{
    QFETCH(QString, steps);
    QFETCH(bool, isLockedElsewhere);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);
    QFETCH(bool, isUpgraded);

    // This process is the other one.
    CInstallLock lock(m_appDir);
    if (isLockedElsewhere)
        QVERIFY(lock.tryLock());

    QCOMPARE(runLauncher(steps), exitCode);
    QTRY_VERIFY2_WITH_TIMEOUT(records().size() >= expected.size()
                                  && InstallProcesses::installationProcesses(m_appDir).isEmpty(),
                              qPrintable(diagnostics()), 300000);
    QCOMPARE(records(), expected);
    if (isUpgraded) {
        QVERIFY2(isNew(), qPrintable(diagnostics()));
    } else {
        QVERIFY2(isOld(), qPrintable(diagnostics()));
    }
    QVERIFY2(!QFileInfo::exists(appPath(QStringLiteral("Tmp/Packet"))), qPrintable(diagnostics()));
    QVERIFY(!QFileInfo::exists(appPath(QStringLiteral("Tmp/Journal"))));
}

void tst_ProductForm::lockedWhileApplying_data()
{
    QTest::addColumn<QString>("entryPoint");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("tarvex-upgrade apply") << "tarvex-upgrade" << int(UPGRADE_OP_LOCKED);
    QTest::newRow("the upgrader") << "Upgrade" << int(UPGRADE_OP_LOCKED);
    QTest::newRow("a second launcher, whose recovery must wait") << "Tarvex" << 0;
}

// A second entry point while the product's apply is half done: it must
// neither apply nor recover the transaction that the product still owns.
void tst_ProductForm::lockedWhileApplying()
{
    QFETCH(QString, entryPoint);
    QFETCH(int, exitCode);
#ifndef TVX_FAULT_INJECTION
    QSKIP("needs a build with TVX_FAULT_INJECTION");
#endif
    const QString pauseFile = m_outputDir->filePath(QStringLiteral("paused"));
    QProcess launcher;
    launcher.setProcessEnvironment(environment(QStringLiteral("check,download,apply"),
                                               {{"TARVEX_UPGRADE_PAUSE_AT", QString::number(ApplySteps / 2)},
                                                {"TARVEX_UPGRADE_PAUSE_FILE", pauseFile}}));
    launcher.setWorkingDirectory(m_appDir);
    startProcess(launcher, appPath(PlatformNames::launcherFileName()), QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pauseFile), 120000);

    int code = -1;
    if (entryPoint == QLatin1String("tarvex-upgrade"))
        code = runProgram(appPath(PlatformNames::upgradeToolFileName()), {QStringLiteral("apply")});
    else if (entryPoint == QLatin1String("Upgrade"))
        code = runProgram(appPath(QStringLiteral("Upgrade/") + PlatformNames::upgraderFileName()),
                          {appPath(QStringLiteral("Tmp")), appPath(PlatformNames::launcherFileName())});
    else
        code = runLauncher(QStringLiteral("none"));
    QCOMPARE(code, exitCode);
    // Still half applied, journal and all, as the product left it.
    QVERIFY(QFileInfo::exists(appPath(QStringLiteral("Tmp/Journal"))));
    QVERIFY(!isOld() && !isNew());

    QVERIFY(QFile::remove(pauseFile));
    QVERIFY(waitForProcessEnd(launcher, 300000));
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(records().value(0), QStringLiteral("check=0 download=0 apply=0"));
    QVERIFY2(isNew(), qPrintable(diagnostics()));
}

void tst_ProductForm::killMatrix_data()
{
    QTest::addColumn<int>("killAt");
    QTest::addColumn<QString>("recovery");
    const QStringList entryPoints{"tarvex-upgrade", "Tarvex", "Upgrade"};
    for (int i = 0; i < 20; ++i) {
        const int step = 1 + i * (ApplySteps - 1) / 19;
        QTest::addRow("step %d of %d, then %s", step, ApplySteps, qPrintable(entryPoints.at(i % 3)))
            << step << entryPoints.at(i % 3);
    }
}

void tst_ProductForm::killMatrix()
{
    QFETCH(int, killAt);
    QFETCH(QString, recovery);
#ifndef TVX_FAULT_INJECTION
    QSKIP("needs a build with TVX_FAULT_INJECTION");
#endif
    QCOMPARE(runLauncher(QStringLiteral("check,download,apply"), {{"TARVEX_UPGRADE_KILL_AT", QString::number(killAt)}}),
             -2);

    if (recovery == QLatin1String("tarvex-upgrade")) {
        runProgram(appPath(PlatformNames::upgradeToolFileName()), {QStringLiteral("check")});
    } else if (recovery == QLatin1String("Upgrade")) {
        // With no launcher to apply to: it only finishes what was cut short.
        runProgram(appPath(QStringLiteral("Upgrade/") + PlatformNames::upgraderFileName()),
                   {appPath(QStringLiteral("Tmp")), appPath(QStringLiteral("no-launcher"))});
    } else {
        QCOMPARE(runLauncher(QStringLiteral("none")), 0);
    }
    QVERIFY2(isOld() || isNew(), qPrintable(diagnostics()));
    QVERIFY(!QFileInfo::exists(appPath(QStringLiteral("Tmp/Journal"))));
    CInstallLock lock(m_appDir);
    QVERIFY(lock.tryLock());
}

QTEST_GUILESS_MAIN(tst_ProductForm)
#include "tst_productform.moc"
