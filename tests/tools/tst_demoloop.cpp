// The whole upgrade loop, unattended, as the demo runs it: a copy of the
// built installation (launcher, demo main form, upgrader, 7z, tarvex-upgrade)
// on version 1.0 of the demo module in a temporary directory, the
// development upgrade server offering 2.0 as a packet made by 7z, and the
// real launcher, which checks, downloads, hands over to the upgrader and is
// started again by it.

#include "common/processend.h"
#include "common/installprocesses.h"
#include "common/testserver.h"
#include "demofixture.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/files/solutioninfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>


using namespace DemoFixture;

namespace {

// The installation's files, without Log/: the logs grow with every run; and
// without the update panel's record, which notes each check.
QMap<QString, QByteArray> hashTree(const QString &root)
{
    QMap<QString, QByteArray> tree = FileTree::hashTree(root, {QStringLiteral("Log")});
    tree.remove(CInstallLayout::updateUiFileName());
    return tree;
}

QString versionOf(const QJsonObject &run)
{
    const QJsonArray installed = run.value(QLatin1String("installed")).toArray();
    for (const QJsonValue &module : installed) {
        if (module.toObject().value(QLatin1String("id")).toString() == QLatin1String(moduleId))
            return module.toObject().value(QLatin1String("version")).toString();
    }
    return QString();
}

} // namespace

class tst_DemoLoop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void upgradesAndRestarts();
    void failedApplyRollsBack_data();
    void failedApplyRollsBack();
    void serverDown();

private:
    void makeInstallation();
    void startServer();
    // Runs the first launcher and returns its exit code; its output and the
    // output of the processes that inherit it go to files beside the record.
    int runLauncher(const QProcessEnvironment &extra = QProcessEnvironment());
    // Waits until the run record has count runs and nothing of the
    // installation runs any more.
    void waitForRuns(int count);
    QVector<QJsonObject> runs() const;
    QString appPath(const QString &relative) const { return m_appDir + QLatin1Char('/') + relative; }
    QByteArray printLog() const { return FileTree::readFile(appPath(QStringLiteral("Log/Print.log"))); }
    QString outputs() const;

    QScopedPointer<QTemporaryDir> m_installDir;
    QScopedPointer<QTemporaryDir> m_outputDir;
    QScopedPointer<ServerDir> m_serverDir;
    QScopedPointer<TestServer> m_server;
    QString m_appDir;
};

void tst_DemoLoop::initTestCase()
{
#ifndef Q_OS_LINUX
    QSKIP("finds the installation's processes through /proc");
#endif
    for (const char *program : {"Tarvex", "tarvex-upgrade", "tarvex-upgrade-server", "Upgrade/Upgrade",
                                "Solutions/libMainFormPlugin.so"}) {
        QVERIFY2(QFileInfo::exists(QStringLiteral(TVX_BIN_DIR "/") + QLatin1String(program)),
                 qPrintable(QStringLiteral("build %1 first").arg(QLatin1String(program))));
    }
}

void tst_DemoLoop::init()
{
    m_installDir.reset(new QTemporaryDir);
    m_outputDir.reset(new QTemporaryDir);
    m_serverDir.reset(new ServerDir);
    m_server.reset(new TestServer);
    QVERIFY(m_installDir->isValid());
    QVERIFY(m_outputDir->isValid());
    // As the launcher sees it: applicationDirPath() resolves links.
    m_appDir = QFileInfo(m_installDir->path()).canonicalFilePath();
}

void tst_DemoLoop::cleanup()
{
    // Nothing of a failed case may outlive its directory.
    if (m_installDir)
        InstallProcesses::killAll(m_appDir);
    m_server.reset();
    m_serverDir.reset();
    m_installDir.reset();
    m_outputDir.reset();
}

void tst_DemoLoop::makeInstallation()
{
    for (const char *file : {"Tarvex", "tarvex-upgrade", "Upgrade/Upgrade", "Solutions/libMainFormPlugin.so"})
        QVERIFY(copyFile(QStringLiteral(TVX_BIN_DIR "/") + QLatin1String(file), appPath(QLatin1String(file))));
    QVERIFY(QFile::link(QStringLiteral(TVX_SYSTEM_7Z), appPath(QStringLiteral("7z"))));
    QVERIFY(writeFiles(m_appDir, oldModuleFiles()));
    QVERIFY(FileTree::writeFile(appPath(QStringLiteral("Solutions/SolutionInfo.xml")),
                                solutionInfo("1.0", oldReleaseDate, 1)));

    // The packet holds the upgrader too, as a real one would; the same
    // build, so that a rolled-back installation is byte for byte the old one.
    QCOMPARE(m_serverDir->make(newModuleFiles(), QString(),
                               {QStringLiteral(TVX_BIN_DIR "/Upgrade/Upgrade=Upgrade/Upgrade")}),
             QString());
}

void tst_DemoLoop::startServer()
{
    QVERIFY2(m_server->start(m_serverDir->root(), QLatin1String(serverKey)), qPrintable(m_server->errorText()));

    // The server file as a user writes it, with the installation's own tool.
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    startProcess(tool, appPath(QStringLiteral("tarvex-upgrade")),
                 {QStringLiteral("servers"), QStringLiteral("write"), QStringLiteral("--server"),
                  QStringLiteral("test=") + m_server->hostAndPort(), QStringLiteral("--current"),
                  QStringLiteral("test"), QStringLiteral("--prefix"), QStringLiteral("/api"), QStringLiteral("--path"),
                  QStringLiteral("/upgrade/query"), QStringLiteral("--key"), QLatin1String(serverKey)});
    QVERIFY(waitForProcessEnd(tool, 60000));
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0, tool.readAll().constData());
    QVERIFY(QFileInfo(appPath(QStringLiteral("Conf/System/UpgradeServerCluster.xml"))).isFile());
}

int tst_DemoLoop::runLauncher(const QProcessEnvironment &extra)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"TARVEX_DEMO_HANDED_OVER", "TARVEX_SAMPLE_AUTOCLOSE_MS", "TARVEX_UPGRADE_FAIL_AFTER"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TARVEX_DEMO_UNATTENDED"), QStringLiteral("1"));
    // Outside the installation, which must come out of a rollback unchanged.
    environment.insert(QStringLiteral("TARVEX_DEMO_RUN_RECORD"), m_outputDir->filePath(QStringLiteral("runs.jsonl")));
    environment.insert(extra);

    QProcess launcher;
    launcher.setProcessEnvironment(environment);
    launcher.setWorkingDirectory(m_appDir);
    // Files, not pipes: the upgrader and the launcher it starts inherit them
    // and outlive this process.
    launcher.setStandardOutputFile(m_outputDir->filePath(QStringLiteral("launcher.out")), QIODevice::Append);
    launcher.setStandardErrorFile(m_outputDir->filePath(QStringLiteral("launcher.err")), QIODevice::Append);
    startProcess(launcher, appPath(QStringLiteral("Tarvex")), QStringList());
    if (!launcher.waitForStarted(60000) || !waitForProcessEnd(launcher, 300000)) {
        launcher.kill();
        waitForProcessEnd(launcher, 10000);
        return -1000;
    }
    return launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -2000;
}

void tst_DemoLoop::waitForRuns(int count)
{
    QTRY_VERIFY2_WITH_TIMEOUT(
        runs().size() >= count && InstallProcesses::installationProcesses(m_appDir).isEmpty(),
        qPrintable(outputs()), 300000);
    // In a sanitizer build every process of the loop is instrumented, and
    // all of them write to the same standard error.
    const QByteArray errors = FileTree::readFile(m_outputDir->filePath(QStringLiteral("launcher.err")));
    QVERIFY2(!errors.contains("runtime error:") && !errors.contains("Sanitizer"), errors.constData());
}

QVector<QJsonObject> tst_DemoLoop::runs() const
{
    QVector<QJsonObject> records;
    const QByteArray content = FileTree::readFile(m_outputDir->filePath(QStringLiteral("runs.jsonl")));
    // Complete lines only: a run may be writing its line right now.
    const QList<QByteArray> lines = content.left(content.lastIndexOf('\n') + 1).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            records.append(QJsonDocument::fromJson(line).object());
    }
    return records;
}

QString tst_DemoLoop::outputs() const
{
    return QString::fromUtf8("launcher output:\n" + FileTree::readFile(m_outputDir->filePath("launcher.out"))
                             + "\nprint log:\n" + printLog().right(4000));
}

void tst_DemoLoop::upgradesAndRestarts()
{
    makeInstallation();
    if (QTest::currentTestFailed())
        return;
    startServer();
    if (QTest::currentTestFailed())
        return;
    const QMap<QString, QByteArray> before = hashTree(m_appDir);

    QCOMPARE(runLauncher(), 2);
    waitForRuns(2);
    if (QTest::currentTestFailed())
        return;

    // The first run handed over on 1.0; the launcher started again found
    // 2.0 installed, nothing to upgrade, and ended: no third run.
    const QVector<QJsonObject> records = runs();
    QCOMPARE(records.size(), 2);
    QCOMPARE(versionOf(records.at(0)), QStringLiteral("1.0"));
    QCOMPARE(records.at(0).value("outcome").toString(), QStringLiteral("handed-over"));
    QCOMPARE(versionOf(records.at(1)), QStringLiteral("2.0"));
    QCOMPARE(records.at(1).value("outcome").toString(), QStringLiteral("up-to-date"));
    QCOMPARE(records.at(1).value("result").toInt(), 0);
    QVERIFY(records.at(1).value("pid").toInt() != records.at(0).value("pid").toInt());
    const QByteArray out = FileTree::readFile(m_outputDir->filePath(QStringLiteral("launcher.out")));
    QVERIFY2(out.contains("MainFormPlugin: unattended: no module needs an upgrade; installed versions: DemoModule 2.0"),
             out.constData());

    // The module files are the new ones, the file records 2.0, Tmp is gone.
    const QMap<QString, QByteArray> files = newModuleFiles();
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QCOMPARE(FileTree::readFile(appPath(it.key())), it.value());
    QVector<ModuleVersion> installed;
    QVERIFY(getModuleVersionFromSolutionInfoFile(appPath(QStringLiteral("Solutions/SolutionInfo.xml")), installed));
    QCOMPARE(installed.size(), 1);
    QCOMPARE(installed.at(0).strVersion, QStringLiteral("2.0"));
    QCOMPARE(installed.at(0).llReleaseDate, newReleaseDate);
    QCOMPARE(installed.at(0).nState, 1);
    // Removed once the upgrader has seen the new version healthy.
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(appPath(QStringLiteral("Tmp"))), 60000);

    // Everything else as it was.
    QMap<QString, QByteArray> after = hashTree(m_appDir);
    for (const QString &path : {QStringLiteral("Solutions/SolutionInfo.xml"),
                                QStringLiteral("Solutions/DemoModule/module.txt"),
                                QStringLiteral("Solutions/DemoModule/readme.txt"),
                                QStringLiteral("Solutions/DemoModule/whatsnew.txt")}) {
        after.remove(path);
    }
    QMap<QString, QByteArray> expected = before;
    expected.remove(QStringLiteral("Solutions/SolutionInfo.xml"));
    expected.remove(QStringLiteral("Solutions/DemoModule/module.txt"));
    expected.remove(QStringLiteral("Solutions/DemoModule/readme.txt"));
    QCOMPARE(after, expected);
    QVERIFY2(printLog().contains("upgrade applied to"), qPrintable(outputs()));
}

void tst_DemoLoop::failedApplyRollsBack_data()
{
    QTest::addColumn<int>("failAfter");
    // The copy walks Solutions/DemoModule/ (module.txt, readme.txt,
    // whatsnew.txt), then Solutions/SolutionInfo.xml.
    QTest::newRow("at the first file") << 0;
    QTest::newRow("at the new file, two replaced") << 2;
    QTest::newRow("at the solution information file") << 3;
}

void tst_DemoLoop::failedApplyRollsBack()
{
    QFETCH(int, failAfter);
#ifndef TVX_FAULT_INJECTION
    QSKIP("needs a build with TVX_FAULT_INJECTION");
#endif
    makeInstallation();
    if (QTest::currentTestFailed())
        return;
    startServer();
    if (QTest::currentTestFailed())
        return;
    const QMap<QString, QByteArray> before = hashTree(m_appDir);

    QProcessEnvironment extra;
    extra.insert(QStringLiteral("TARVEX_UPGRADE_FAIL_AFTER"), QString::number(failAfter));
    QCOMPARE(runLauncher(extra), 2);
    waitForRuns(2);
    if (QTest::currentTestFailed())
        return;

    // Byte for byte the installation of before, Log/ aside (the upgrader's
    // own Upgrade/Upgrade came back from the packet unchanged); Tmp is gone
    // with the successful rollback.
    QCOMPARE(hashTree(m_appDir), before);
    QVERIFY2(printLog().contains("upgrade failed, installation rolled back"), qPrintable(outputs()));

    // Started again on 1.0, it found the same upgrade and did not hand over
    // a second time.
    const QVector<QJsonObject> records = runs();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.at(0).value("outcome").toString(), QStringLiteral("handed-over"));
    QCOMPARE(versionOf(records.at(1)), QStringLiteral("1.0"));
    QCOMPARE(records.at(1).value("outcome").toString(), QStringLiteral("not-applied"));
    QCOMPARE(records.at(1).value("result").toInt(), 99);
}

void tst_DemoLoop::serverDown()
{
    makeInstallation();
    if (QTest::currentTestFailed())
        return;
    startServer();
    if (QTest::currentTestFailed())
        return;
    m_server->stop();
    const QMap<QString, QByteArray> before = hashTree(m_appDir);

    // No hand-over: the launcher ends with the failed step's code.
    QCOMPARE(runLauncher(), 100 + int(UPGRADE_OP_NETWORK_FAILED));
    waitForRuns(1);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(runs().size(), 1);
    QCOMPARE(runs().at(0).value("outcome").toString(), QStringLiteral("check-failed"));
    QCOMPARE(hashTree(m_appDir), before);
}

QTEST_GUILESS_MAIN(tst_DemoLoop)
#include "tst_demoloop.moc"
