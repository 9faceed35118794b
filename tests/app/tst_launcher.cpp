#include "launcherdir.h"

#include "common/messagecapture.h"

#include <QtTest>

#include <QImage>
#include <QJsonArray>

// The launcher as a real process: a copy of the built executable in a
// temporary application directory, with the test plugins and the stand-in
// upgrader in place of the real ones.
class tst_Launcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resultCodes_data();
    void resultCodes();
    void commandLine_data();
    void commandLine();
    void pluginNotUsable_data();
    void pluginNotUsable();
    void pluginLibrariesInSolutions_data();
    void pluginLibrariesInSolutions();
    void upgradeHandOver_data();
    void upgradeHandOver();
    void librarySearchPath_data();
    void librarySearchPath();
    void workingDirectoryAndIcon_data();
    void workingDirectoryAndIcon();
    void messagesReachPrintLog();
    void sampleMainForm();

private:
    static QStringList toStringList(const QJsonValue &value);
    static bool waitForProcessEnd(qint64 pid);
};

static const int RecordTimeout = 60000;

static int processExitCode(int resultCode)
{
#ifdef Q_OS_WIN
    // A Windows exit code carries all 32 bits.
    return resultCode;
#else
    return resultCode & 0xff;
#endif
}

QStringList tst_Launcher::toStringList(const QJsonValue &value)
{
    QStringList list;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &entry : array)
        list << entry.toString();
    return list;
}

bool tst_Launcher::waitForProcessEnd(qint64 pid)
{
    QDeadlineTimer deadline(RecordTimeout);
    while (!processEnded(pid)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

void tst_Launcher::resultCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("results");
    QTest::addColumn<int>("exitCode");
    // The argument string of every run, across restarted instances.
    QTest::addColumn<QStringList>("runArgs");
    // How many of those runs happen in the first process; each later run is
    // a restarted instance of its own.
    QTest::addColumn<int>("firstProcessRuns");

    const QString bare = QStringLiteral("Tarvex");
    const QString crash = QStringLiteral("Tarvex crash");

    QTest::newRow("0 ends") << QStringList() << QByteArray("0") << 0 << QStringList{bare} << 1;
    QTest::newRow("other code ends") << QStringList() << QByteArray("7") << 7 << QStringList{bare} << 1;
    QTest::newRow("-1 from plugin ends") << QStringList() << QByteArray("-1") << -1 << QStringList{bare} << 1;
    QTest::newRow("3 then 3: two runs") << QStringList{QStringLiteral("-crash")} << QByteArray("3 3") << 3
                                        << QStringList{crash, bare} << 2;
    QTest::newRow("3 then 0") << QStringList() << QByteArray("3 0") << 0 << QStringList{bare, bare} << 2;
    QTest::newRow("1 restarts") << QStringList{QStringLiteral("-crash")} << QByteArray("1") << 1
                                << QStringList{crash, bare} << 1;
    QTest::newRow("3 then 1 restarts") << QStringList{QStringLiteral("-crash")} << QByteArray("3 1") << 1
                                       << QStringList{crash, bare, bare} << 2;
}

void tst_Launcher::resultCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, results);
    QFETCH(int, exitCode);
    QFETCH(QStringList, runArgs);
    QFETCH(int, firstProcessRuns);

    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QStringLiteral(TVX_TEST_RESULT_PLUGIN)));
    QVERIFY(dir.setPluginResults(results));

    const LauncherRun run = runLauncher(dir, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, processExitCode(exitCode));

    QTRY_COMPARE_WITH_TIMEOUT(dir.pluginRuns().size(), runArgs.size(), RecordTimeout);
    const QVector<QJsonObject> runs = dir.pluginRuns();
    const qint64 firstPid = runs.first().value(QStringLiteral("pid")).toVariant().toLongLong();
    for (int i = 0; i < runs.size(); ++i) {
        const QJsonObject &entry = runs.at(i);
        QCOMPARE(entry.value(QStringLiteral("arg")).toString(), runArgs.at(i));
        QCOMPARE(entry.value(QStringLiteral("application")).toString(), QStringLiteral("CTVXApplication"));
        // A reload loads the library again and gets a fresh root object.
        QCOMPARE(entry.value(QStringLiteral("objectRuns")).toInt(), 1);
        const qint64 pid = entry.value(QStringLiteral("pid")).toVariant().toLongLong();
        if (i < firstProcessRuns) {
            QCOMPARE(pid, firstPid);
            QCOMPARE(toStringList(entry.value(QStringLiteral("arguments"))),
                     QStringList{QDir::toNativeSeparators(dir.launcherPath())} + arguments);
        } else {
            // A restarted instance: the same executable, no arguments.
            QVERIFY(pid != firstPid);
            QCOMPARE(toStringList(entry.value(QStringLiteral("arguments"))),
                     QStringList{QDir::toNativeSeparators(dir.launcherPath())});
            QCOMPARE(entry.value(QStringLiteral("applicationFilePath")).toString(), dir.launcherPath());
            QVERIFY(waitForProcessEnd(pid));
        }
    }
    // Nothing ran after the last expected run.
    QCOMPARE(dir.pluginRuns().size(), runArgs.size());
    // Every instance shut down normally.
    QCOMPARE(dir.debugLog().count("debug log started"), runArgs.size() - firstProcessRuns + 1);
    QCOMPARE(dir.debugLog().count("debug log stopped"), runArgs.size() - firstProcessRuns + 1);
    QVERIFY2(!dir.sanitizerReported(), dir.standardError().constData());
}

void tst_Launcher::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("runArg");

    const QString bare = QStringLiteral("Tarvex");
    const QString crash = QStringLiteral("Tarvex crash");
    QTest::newRow("none") << QStringList() << bare;
    QTest::newRow("-crash") << QStringList{QStringLiteral("-crash")} << crash;
    QTest::newRow("--crash") << QStringList{QStringLiteral("--crash")} << crash;
    QTest::newRow("-crash and words") << QStringList{QStringLiteral("-crash"), QStringLiteral("word")} << crash;
    QTest::newRow("-ur x -crash") << QStringList{QStringLiteral("-ur"), QStringLiteral("x"), QStringLiteral("-crash")}
                                  << bare;
    QTest::newRow("-crash -ur=x") << QStringList{QStringLiteral("-crash"), QStringLiteral("-ur=x")} << bare;
    QTest::newRow("-ur without value") << QStringList{QStringLiteral("-crash"), QStringLiteral("-ur")} << bare;
    QTest::newRow("-Crash unknown") << QStringList{QStringLiteral("-Crash")} << bare;
}

void tst_Launcher::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, runArg);

    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QStringLiteral(TVX_TEST_RESULT_PLUGIN)));

    const LauncherRun run = runLauncher(dir, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QVector<QJsonObject> runs = dir.pluginRuns();
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().value(QStringLiteral("arg")).toString(), runArg);
}

void tst_Launcher::pluginNotUsable_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QByteArray>("warning");

    QTest::newRow("no plugin file") << QString() << QByteArray("load plugin ");
    QTest::newRow("not a Qt plugin") << QStringLiteral(TVX_TEST_NOT_A_PLUGIN) << QByteArray("load plugin ");
    QTest::newRow("other interface") << QStringLiteral(TVX_TEST_OTHER_PLUGIN) << QByteArray("qobject_cast plugin ");
}

void tst_Launcher::pluginNotUsable()
{
    QFETCH(QString, plugin);
    QFETCH(QByteArray, warning);

    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(plugin));
    // A leftover upgrader must not be started by a failed load.
    QVERIFY(dir.writeFile(QStringLiteral("Tmp/Packet/Upgrade/staged.txt"), "staged"));

    const LauncherRun run = runLauncher(dir, QStringList());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, processExitCode(-1));

    const QByteArray printLog = dir.printLog();
    QVERIFY2(printLog.contains(warning), printLog.constData());
    // As it is logged: the separator of the platform after the directory.
    QVERIFY(printLog.contains(MessageCapture::logged(dir.path() + QDir::separator() + QGetSolutionsDirPath()
                                                     + PlatformNames::mainFormPluginFileName()).toUtf8()));
    // The normal shutdown ran.
    QVERIFY(dir.debugLog().contains("debug log stopped"));
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("Tmp/Packet/Upgrade/staged.txt"))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("Upgrade"))));
    QVERIFY2(!dir.sanitizerReported(), dir.standardError().constData());
}

// A plugin whose libraries lie beside it in Solutions/ loads as it does on
// Windows, where Solutions/ is on PATH; the library it links links another.
void tst_Launcher::pluginLibrariesInSolutions_data()
{
    QTest::addColumn<QStringList>("libraries");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("runs");
    QTest::addColumn<QByteArray>("warning");

    const QString library = QStringLiteral(TVX_TEST_SOLUTION_LIB);
    const QString base = QStringLiteral(TVX_TEST_SOLUTION_BASE);
    QTest::newRow("both there, reloaded once") << QStringList{library, base} << 0 << 2 << QByteArray();
#ifdef Q_OS_WIN
    // Windows' loader does not say which of the libraries is missing.
    const QByteArray baseMissing("\\Solutions\\MainFormPlugin.dll: ");
    const QByteArray libraryMissing = baseMissing;
#else
    const QByteArray baseMissing("libtvxtest_solutionbase.so: cannot open shared object file");
    const QByteArray libraryMissing("libtvxtest_solutionlib.so: cannot open shared object file");
#endif
    QTest::newRow("the library's library missing") << QStringList{library} << -1 << 0 << baseMissing;
    QTest::newRow("both missing") << QStringList() << -1 << 0 << libraryMissing;
}

void tst_Launcher::pluginLibrariesInSolutions()
{
    QFETCH(QStringList, libraries);
    QFETCH(int, exitCode);
    QFETCH(int, runs);
    QFETCH(QByteArray, warning);

    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QStringLiteral(TVX_TEST_SOLUTION_PLUGIN)));
    for (const QString &library : qAsConst(libraries))
        QVERIFY(QFile::copy(library, dir.solutionsPath() + QFileInfo(library).fileName()));
    QVERIFY(dir.setPluginResults("3 0"));

    const LauncherRun run = runLauncher(dir, QStringList());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, processExitCode(exitCode));
    QCOMPARE(dir.pluginRuns().size(), runs);
    const QByteArray printLog = dir.printLog();
    QVERIFY2(printLog.contains(warning), printLog.constData());
    QVERIFY2(!dir.sanitizerReported(), dir.standardError().constData());
}

void tst_Launcher::upgradeHandOver_data()
{
    QTest::addColumn<QByteArray>("results");
    QTest::addColumn<bool>("staged");
    QTest::addColumn<QByteArray>("installedUpgrader");
    QTest::addColumn<bool>("upgraderStarts");
    QTest::addColumn<QByteArray>("warning");

    QTest::newRow("staged") << QByteArray("2") << true << QByteArray() << true << QByteArray();
    QTest::newRow("staged after reload") << QByteArray("3 2") << true << QByteArray() << true << QByteArray();
    QTest::newRow("staged replaces installed") << QByteArray("2") << true << QByteArray("old upgrader")
                                               << true << QByteArray();
    QTest::newRow("not staged, installed") << QByteArray("2") << false << QByteArray("stand-in") << true
                                           << QByteArray("srcDir is Empty");
    QTest::newRow("not staged, none installed") << QByteArray("2") << false << QByteArray() << false
                                                << QByteArray("start upgrade failed!");
}

void tst_Launcher::upgradeHandOver()
{
    QFETCH(QByteArray, results);
    QFETCH(bool, staged);
    QFETCH(QByteArray, installedUpgrader);
    QFETCH(bool, upgraderStarts);
    QFETCH(QByteArray, warning);

    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QStringLiteral(TVX_TEST_RESULT_PLUGIN)));
    QVERIFY(dir.setPluginResults(results));

    const QString upgraderName = PlatformNames::upgraderFileName();
    const QString stagedDir = dir.filePath(QStringLiteral("Tmp/Packet/Upgrade"));
    const QString upgradeDir = dir.filePath(QStringLiteral("Upgrade"));
    const QString upgrader = upgradeDir + QLatin1Char('/') + upgraderName;
    if (staged) {
        QVERIFY(QDir().mkpath(stagedDir));
        QVERIFY(QFile::copy(QStringLiteral(TVX_TEST_UPGRADER), stagedDir + QLatin1Char('/') + upgraderName));
        QVERIFY(dir.writeFile(QStringLiteral("Tmp/Packet/Upgrade/data/.hidden"), "hidden"));
        QVERIFY(dir.writeFile(QStringLiteral("Tmp/Staged"), "{}"));
    }
    if (installedUpgrader == "stand-in") {
        QVERIFY(QDir().mkpath(upgradeDir));
        QVERIFY(QFile::copy(QStringLiteral(TVX_TEST_UPGRADER), upgrader));
    } else if (!installedUpgrader.isEmpty()) {
        QVERIFY(dir.writeFile(QStringLiteral("Upgrade/") + upgraderName, installedUpgrader));
    }

    const LauncherRun run = runLauncher(dir, QStringList());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 2);

    if (staged) {
        // In place, hidden files along; the previous upgrader is kept in Tmp
        // until the upgrade is final, and the packet stays whole.
        QVERIFY(QFileInfo::exists(stagedDir));
        QCOMPARE(dir.readFile(QStringLiteral("Upgrade/data/.hidden")), QByteArray("hidden"));
        if (!installedUpgrader.isEmpty())
            QCOMPARE(dir.readFile(QStringLiteral("Tmp/Upgrade.old/") + upgraderName), installedUpgrader);
    }
    const QByteArray printLog = dir.printLog();
    if (!warning.isEmpty())
        QVERIFY2(printLog.contains(warning), printLog.constData());

    const QString recordPath = upgradeDir + QStringLiteral("/" TVX_TEST_UPGRADER_RECORD_FILE);
    QVERIFY2(!dir.sanitizerReported(), dir.standardError().constData());
    if (!upgraderStarts) {
        QVERIFY(!QFileInfo::exists(recordPath));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(recordPath), RecordTimeout);
    const QJsonObject record = QJsonDocument::fromJson(
            dir.readFile(QStringLiteral("Upgrade/" TVX_TEST_UPGRADER_RECORD_FILE))).object();
    QCOMPARE(toStringList(record.value(QStringLiteral("arguments"))),
             (QStringList{dir.path() + QDir::separator() + QStringLiteral("Tmp"), dir.launcherPath()}));
    // The upgrader inherits the launcher's working directory.
    QCOMPARE(record.value(QStringLiteral("currentPath")).toString(), dir.path());
    QVERIFY(!printLog.contains("start upgrade failed!"));
}

void tst_Launcher::librarySearchPath_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("oldPath");

    QTest::newRow("set") << true << QStringLiteral("/usr/bin:/bin");
    QTest::newRow("empty") << true << QString();
    QTest::newRow("unset") << false << QString();
}

void tst_Launcher::librarySearchPath()
{
    QFETCH(bool, set);
    QFETCH(QString, oldPath);

    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QStringLiteral(TVX_TEST_RESULT_PLUGIN)));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PATH"));
    if (set)
        environment.insert(QStringLiteral("PATH"), oldPath);

    const LauncherRun run = runLauncher(dir, QStringList(), environment);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QVector<QJsonObject> runs = dir.pluginRuns();
    QCOMPARE(runs.size(), 1);
    // The library directory comes first; an empty PATH gains no empty entry,
    // which a POSIX search would read as the current directory.
    QVERIFY(runs.first().value(QStringLiteral("pathSet")).toBool());
    const QString path = runs.first().value(QStringLiteral("path")).toString();
    const QString libraryDir = dir.path() + QDir::separator() + QGetSolutionsDirPath();
#ifdef Q_OS_WIN
    // Windows searches no empty entry, and Wine makes up a PATH where none is set.
    const QString prefix = libraryDir + QLatin1Char(PlatformNames::pathListSeparator());
    if (set)
        QCOMPARE(path, prefix + oldPath);
    else
        QVERIFY2(path.startsWith(prefix), qPrintable(path));
#else
    const QString expected = oldPath.isEmpty() ? libraryDir : libraryDir + QLatin1Char(':') + oldPath;
    QCOMPARE(path, expected);
#endif
}

void tst_Launcher::workingDirectoryAndIcon_data()
{
    QTest::addColumn<bool>("iconInStartDir");
    QTest::addColumn<bool>("iconInAppDir");
    QTest::addColumn<bool>("startInAppDir");
    QTest::addColumn<bool>("hasIcon");

    QTest::newRow("started elsewhere, icon there") << true << false << false << true;
    QTest::newRow("started elsewhere, icon in app dir") << false << true << false << false;
    QTest::newRow("started in app dir") << false << true << true << true;
}

void tst_Launcher::workingDirectoryAndIcon()
{
    QFETCH(bool, iconInStartDir);
    QFETCH(bool, iconInAppDir);
    QFETCH(bool, startInAppDir);
    QFETCH(bool, hasIcon);

    LauncherDir dir;
    QTemporaryDir startDir;
    QVERIFY(dir.isValid());
    QVERIFY(startDir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QStringLiteral(TVX_TEST_RESULT_PLUGIN)));

    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::darkCyan);
    if (iconInStartDir)
        QVERIFY(image.save(startDir.filePath(QStringLiteral("app.ico")), "ICO"));
    if (iconInAppDir)
        QVERIFY(image.save(dir.filePath(QStringLiteral("app.ico")), "ICO"));

    const LauncherRun run = runLauncher(dir, QStringList(), QProcessEnvironment::systemEnvironment(),
                                        startInAppDir ? dir.path() : startDir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QVector<QJsonObject> runs = dir.pluginRuns();
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().value(QStringLiteral("windowIcon")).toBool(), hasIcon);
    // Everything after the icon happens in the application directory.
    QCOMPARE(runs.first().value(QStringLiteral("currentPath")).toString(), dir.path());
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("Log/Debug.log"))));
}

void tst_Launcher::messagesReachPrintLog()
{
    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QString()));

    const LauncherRun run = runLauncher(dir, QStringList());
    QVERIFY(run.finished);

    // The launcher's own warning arrives with its source location, and the
    // previous handler (Qt's default) still prints it.
    const QList<QByteArray> lines = dir.printLog().split('\n');
    QByteArray entry;
    for (const QByteArray &line : lines) {
        if (line.contains("load plugin "))
            entry = line;
    }
    QVERIFY2(!entry.isEmpty(), dir.printLog().constData());
    QVERIFY2(entry.contains("pluginhost.cpp:"), entry.constData());
    QVERIFY2(entry.contains("runMainFormPlugin"), entry.constData());
    QVERIFY2(entry.contains("[warning]"), entry.constData());
#ifdef Q_OS_WIN
    QEXPECT_FAIL("", "Qt messages do not reach stderr under Wine", Continue);
#endif
    QVERIFY(run.standardError.contains("load plugin "));
}

void tst_Launcher::sampleMainForm()
{
    // The sample main form the build puts beside the launcher, unattended.
    LauncherDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.installLauncher());
    QVERIFY(dir.installPlugin(QStringLiteral(TVX_BIN_DIR "/") + QGetSolutionsDirPath()
                              + PlatformNames::mainFormPluginFileName()));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TARVEX_SAMPLE_AUTOCLOSE_MS"), QStringLiteral("0"));
    const LauncherRun run = runLauncher(dir, QStringList{QStringLiteral("-crash")}, environment);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);

    // Windows ends the lines of a text stream with CRLF.
    const QByteArray out = dir.readFile(QStringLiteral("launcher.out")).replace("\r\n", "\n");
    QVERIFY2(out.contains("MainFormPlugin: Run(\"Tarvex crash\")\n"), out.constData());
    QVERIFY2(out.contains("MainFormPlugin: Run returns 0\n"), out.constData());
    QVERIFY(dir.printLog().contains("sample main form returns 0"));
    QVERIFY2(!dir.sanitizerReported(), dir.standardError().constData());
}

QTEST_GUILESS_MAIN(tst_Launcher)
#include "tst_launcher.moc"
