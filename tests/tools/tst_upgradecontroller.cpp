// The demo main form's controller with a real engine, real packets made by
// 7z and the development upgrade server on 127.0.0.1, in the test's own
// application directory (where the engine keeps Tmp/ and reads its files).

#include "upgradecontroller.h"

#include "common/clusterfile.h"
#include "common/testserver.h"
#include "demofixture.h"
#include "upgrade/files/solutioninfo.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <limits>

using namespace DemoFixture;

namespace {

QByteArray noise(int size)
{
    QByteArray data(size, '\0');
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

QVector<int> intArguments(const QSignalSpy &spy)
{
    QVector<int> values;
    for (const QList<QVariant> &arguments : spy)
        values.append(arguments.at(0).toInt());
    return values;
}

} // namespace

class tst_UpgradeController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void checkDownloadAndStage();
    void leftoverPacketIsDropped();
    void progressStaysWithinBounds();
    void failedDownload_data();
    void failedDownload();
    void checkThatDoesNotStart();
    void failedCheck();
    void shutdownStopsDownload();
    void describeSize_data();
    void describeSize();

private:
    // Installs version 1.0 with the given state, starts the server on
    // m_server and points the engine's server file at it.
    void serve(int installedState = 1, const QStringList &serverArguments = QStringList());
    void checkUntilFinished(CUpgradeController &controller);

    QScopedPointer<AppDirCleaner> m_cleaner;
    QScopedPointer<ScopedServerClusterFile> m_clusterFile;
    QScopedPointer<ServerDir> m_serverDir;
    QScopedPointer<TestServer> m_server;
};

void tst_UpgradeController::initTestCase()
{
    QVERIFY2(TestServer::isAvailable(), "build tarvex-upgrade-server first (under Wine: run scripts/windows/test.sh)");
}

void tst_UpgradeController::init()
{
    m_cleaner.reset(new AppDirCleaner);
    m_clusterFile.reset(new ScopedServerClusterFile);
    m_serverDir.reset(new ServerDir);
    m_server.reset(new TestServer);
}

void tst_UpgradeController::cleanup()
{
    m_server.reset();
    m_serverDir.reset();
    m_clusterFile.reset();
    m_cleaner.reset();
}

void tst_UpgradeController::serve(int installedState, const QStringList &serverArguments)
{
    QVERIFY(FileTree::writeFile(solutionInfoPath(), solutionInfo("1.0", oldReleaseDate, installedState)));
    QVERIFY2(m_server->start(m_serverDir->root(), QLatin1String(serverKey), serverArguments),
             qPrintable(m_server->errorText()));
    // "test" is asked over HTTP.
    QVERIFY(m_clusterFile->write(ScopedServerClusterFile::info(QStringLiteral("test"), m_server->hostAndPort(),
                                                               QLatin1String(serverKey))));
}

void tst_UpgradeController::checkUntilFinished(CUpgradeController &controller)
{
    QSignalSpy finished(&controller, &CUpgradeController::checkFinished);
    QVERIFY(controller.check());
    QCOMPARE(controller.state(), CUpgradeController::StateChecking);
    QVERIFY(!controller.canCheck());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
}

void tst_UpgradeController::checkDownloadAndStage()
{
    QCOMPARE(m_serverDir->make(newModuleFiles()), QString());
    // State 2: the staged record must keep it, not take the server's 0.
    serve(2);
    if (QTest::currentTestFailed())
        return;
    const QByteArray installedBefore = FileTree::readFile(solutionInfoPath());

    CUpgradeController controller(solutionInfoPath());
    QVERIFY(!controller.canDownload());
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(controller.lastResult(), UPGRADE_OP_SUCCESS);
    QCOMPARE(controller.state(), CUpgradeController::StateChecked);
    QCOMPARE(controller.needUpgrade().size(), 1);
    QCOMPARE(controller.needUpgrade().at(0).strVersion, QStringLiteral("2.0"));
    QVERIFY(controller.canDownload());
    QVERIFY(!controller.isReadyToUpgrade());

    QSignalSpy progress(&controller, &CUpgradeController::progressChanged);
    QSignalSpy finished(&controller, &CUpgradeController::downloadFinished);
    QVERIFY(controller.download());
    QVERIFY(!controller.canDownload());
    QVERIFY(!controller.download());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
    QCOMPARE(finished.at(0).at(0).value<UpgradeOpError>(), UPGRADE_OP_SUCCESS);
    QCOMPARE(controller.state(), CUpgradeController::StateReady);
    QVERIFY(controller.isReadyToUpgrade());
    QCOMPARE(controller.progress(), 100);
    const QVector<int> values = intArguments(progress);
    QVERIFY(!values.isEmpty());
    QCOMPARE(values.last(), 100);
    for (int i = 1; i < values.size(); ++i)
        QVERIFY2(values.at(i) > values.at(i - 1), qPrintable(QString::number(values.at(i))));

    // The packet as it will be applied: the module files, and the new
    // versions at the place of the installed file.
    const QString packet = appPath(QStringLiteral("Tmp/Packet"));
    const QMap<QString, QByteArray> files = newModuleFiles();
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QCOMPARE(FileTree::readFile(packet + QLatin1Char('/') + it.key()), it.value());
    QVector<ModuleVersion> staged;
    QVERIFY(getModuleVersionFromSolutionInfoFile(packet + QLatin1String("/Solutions/SolutionInfo.xml"), staged));
    QCOMPARE(staged.size(), 1);
    QCOMPARE(staged.at(0).strVersion, QStringLiteral("2.0"));
    QCOMPARE(staged.at(0).llReleaseDate, newReleaseDate);
    QCOMPARE(staged.at(0).nState, 2);
    QCOMPARE(FileTree::readFile(solutionInfoPath()), installedBefore);

    // A new check on the same engine: the earlier answer no longer counts.
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(controller.state(), CUpgradeController::StateChecked);
    QVERIFY(!controller.isReadyToUpgrade());
    QCOMPARE(controller.progress(), 0);
}

void tst_UpgradeController::leftoverPacketIsDropped()
{
    // What an interrupted session left in the packet directory would be
    // applied along with the new packet.
    QCOMPARE(m_serverDir->make(newModuleFiles()), QString());
    serve();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(FileTree::writeFile(appPath(QStringLiteral("Tmp/Packet/Solutions/stale.txt")), "left over"));

    CUpgradeController controller(solutionInfoPath());
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;
    QSignalSpy finished(&controller, &CUpgradeController::downloadFinished);
    QVERIFY(controller.download());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
    QCOMPARE(controller.state(), CUpgradeController::StateReady);
    QVERIFY(!QFileInfo::exists(appPath(QStringLiteral("Tmp/Packet/Solutions/stale.txt"))));
    QVERIFY(QFileInfo::exists(appPath(QStringLiteral("Tmp/Packet/Solutions/DemoModule/whatsnew.txt"))));
}

void tst_UpgradeController::progressStaysWithinBounds()
{
    // The server announces 10 KB for a packet of 400 KB: the engine's
    // progress runs far past 100 while the data comes in.
    QMap<QString, QByteArray> files = newModuleFiles();
    files.insert(QStringLiteral("Solutions/DemoModule/data.bin"), noise(400 * 1024));
    QCOMPARE(m_serverDir->make(files, QStringLiteral("0.01")), QString());
    serve(1, {QStringLiteral("--throttle-bytes-per-sec"), QStringLiteral("2000000")});
    if (QTest::currentTestFailed())
        return;

    CUpgradeController controller(solutionInfoPath());
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;
    QSignalSpy progress(&controller, &CUpgradeController::progressChanged);
    QSignalSpy finished(&controller, &CUpgradeController::downloadFinished);
    QVERIFY(controller.download());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
    QCOMPARE(controller.state(), CUpgradeController::StateReady);

    const QVector<int> values = intArguments(progress);
    QVERIFY(values.size() >= 2);
    QCOMPARE(values.last(), 100);
    for (int i = 0; i + 1 < values.size(); ++i) {
        QVERIFY2(values.at(i) >= 0 && values.at(i) <= 99, qPrintable(QString::number(values.at(i))));
        QVERIFY(values.at(i + 1) > values.at(i));
    }
}

void tst_UpgradeController::failedDownload_data()
{
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("expected");

    QTest::newRow("packet missing on the server") << 0 << int(UPGRADE_OP_NETWORK_FAILED);
    QTest::newRow("packet is not an archive") << 1 << int(UPGRADE_OP_DO7Z_FAILED);
    // A directory where the new versions are to be staged: module files
    // without their versions must never count as a ready upgrade.
    QTest::newRow("new versions cannot be staged") << 2 << int(UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED);
}

void tst_UpgradeController::failedDownload()
{
    QFETCH(int, failure);
    QFETCH(int, expected);

    QMap<QString, QByteArray> files = newModuleFiles();
    if (failure == 2)
        files.insert(QStringLiteral("Solutions/SolutionInfo.xml/x"), "in the way");
    QCOMPARE(m_serverDir->make(files), QString());
    if (failure == 0)
        QVERIFY(QFile::remove(m_serverDir->packetPath()));
    if (failure == 1)
        QVERIFY(FileTree::writeFile(m_serverDir->packetPath(), noise(64 * 1024)));
    serve();
    if (QTest::currentTestFailed())
        return;
    const QByteArray installedBefore = FileTree::readFile(solutionInfoPath());

    CUpgradeController controller(solutionInfoPath());
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;
    QSignalSpy progress(&controller, &CUpgradeController::progressChanged);
    QSignalSpy finished(&controller, &CUpgradeController::downloadFinished);
    QVERIFY(controller.download());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);

    QCOMPARE(int(finished.at(0).at(0).value<UpgradeOpError>()), expected);
    QCOMPARE(int(controller.lastResult()), expected);
    QCOMPARE(controller.state(), CUpgradeController::StateFailed);
    QVERIFY(!controller.isReadyToUpgrade());
    QVERIFY(!controller.canDownload());
    QVERIFY(controller.canCheck());
    // The engine's end signal says 100 whatever happened.
    QVERIFY(controller.progress() < 100);
    QVERIFY(!intArguments(progress).contains(100));
    QVERIFY2(controller.statusText().contains(QLatin1String(upgradeOpErrorName(expected))),
             qPrintable(controller.statusText()));
    QVERIFY(!QFileInfo::exists(appPath(QStringLiteral("Tmp"))));
    QCOMPARE(FileTree::readFile(solutionInfoPath()), installedBefore);
}

void tst_UpgradeController::checkThatDoesNotStart()
{
    QCOMPARE(m_serverDir->make(newModuleFiles()), QString());
    serve();
    if (QTest::currentTestFailed())
        return;
    CUpgradeController controller(solutionInfoPath());
    // The engine has run once: it now reports itself finished.
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;

    // The entry point starts nothing without the installed versions, and no
    // signal will ever come: the controller must not wait for one.
    QVERIFY(QFile::remove(solutionInfoPath()));
    QSignalSpy finished(&controller, &CUpgradeController::checkFinished);
    QVERIFY(!controller.check());
    QCOMPARE(controller.state(), CUpgradeController::StateFailed);
    QCOMPARE(controller.lastResult(), UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED);
    QVERIFY(controller.needUpgrade().isEmpty());
    QVERIFY(controller.canCheck());
    QVERIFY(!controller.canDownload());

    QVERIFY(FileTree::writeFile(solutionInfoPath(), solutionInfo("1.0", oldReleaseDate, 1)));
    QVERIFY(controller.check());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
    QCOMPARE(controller.state(), CUpgradeController::StateChecked);
    QCOMPARE(controller.needUpgrade().size(), 1);
}

void tst_UpgradeController::failedCheck()
{
    QCOMPARE(m_serverDir->make(newModuleFiles()), QString());
    serve();
    if (QTest::currentTestFailed())
        return;
    CUpgradeController controller(solutionInfoPath());
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(controller.canDownload());

    // The same server gone: its port refuses.
    m_server->stop();
    QSignalSpy finished(&controller, &CUpgradeController::checkFinished);
    QVERIFY(controller.check());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
    QCOMPARE(finished.at(0).at(0).value<UpgradeOpError>(), UPGRADE_OP_NETWORK_FAILED);
    QCOMPARE(controller.state(), CUpgradeController::StateFailed);
    QVERIFY(controller.needUpgrade().isEmpty());
    QVERIFY(!controller.canDownload());
    QVERIFY(!controller.download());
    QVERIFY(!QFileInfo::exists(appPath(QStringLiteral("Tmp"))));
}

void tst_UpgradeController::shutdownStopsDownload()
{
    QMap<QString, QByteArray> files = newModuleFiles();
    files.insert(QStringLiteral("Solutions/DemoModule/data.bin"), noise(2 * 1024 * 1024));
    QCOMPARE(m_serverDir->make(files), QString());
    serve(1, {QStringLiteral("--throttle-bytes-per-sec"), QStringLiteral("50000")});
    if (QTest::currentTestFailed())
        return;

    CUpgradeController controller(solutionInfoPath());
    checkUntilFinished(controller);
    if (QTest::currentTestFailed())
        return;
    QSignalSpy finished(&controller, &CUpgradeController::downloadFinished);
    QVERIFY(controller.download());
    // The bytes gather beside Tmp, where a stopped download leaves them to continue from.
    const QString partial = appPath(QStringLiteral("Tmp.download/DemoModule-2.0.7z.part"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0, 60000);

    // Returns once the engine's thread is gone, the download stopped and
    // its temporary directory removed: the plugin may be unloaded then.
    controller.shutdown();
    QCOMPARE(controller.state(), CUpgradeController::StateShutDown);
    QVERIFY(!QFileInfo::exists(appPath(QStringLiteral("Tmp"))));
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 0);
    QVERIFY(!controller.canCheck());
    QVERIFY(!controller.check());
    QVERIFY(!controller.isReadyToUpgrade());
}

void tst_UpgradeController::describeSize_data()
{
    QTest::addColumn<double>("size");
    QTest::addColumn<QString>("expected");

    QTest::newRow("megabytes") << 12.5 << QStringLiteral("12.5 MB");
    QTest::newRow("below a megabyte") << 0.25 << QStringLiteral("256.0 KB");
    QTest::newRow("zero") << 0.0 << QStringLiteral("0.0 KB");
    // Whatever the server's "Size" held.
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << QStringLiteral("?");
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << QStringLiteral("?");
    QTest::newRow("negative") << -3.0 << QStringLiteral("?");
}

void tst_UpgradeController::describeSize()
{
    QFETCH(double, size);
    QFETCH(QString, expected);
    QCOMPARE(::describeSize(size), expected);
}

QTEST_GUILESS_MAIN(tst_UpgradeController)
#include "tst_upgradecontroller.moc"
