#include "upgrade/cupgrade.h"

#include "common/messagecapture.h"
#include "common/modulerecords.h"
#include "platform/platformnames.h"

#include <QtTest>

#include <QTemporaryDir>

#include <atomic>

class tst_CUpgrade : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaults();
    void metaTypes();
    void setters();
    void setTmpDir_data();
    void setTmpDir();
    void stopUpgrade();
    void modes_data();
    void modes();
    void runAgainRepeats();
    void queuedToAnotherThread();
    void destroyWhileRunning();
    void removeTmpDir_data();
    void removeTmpDir();
};

static ModuleVersion module(const QString &id, qint64 releaseDate)
{
    ModuleVersion version;
    version.strId = id;
    version.strVersion = QStringLiteral("1.0.") + QString::number(releaseDate);
    version.strUrl = QStringLiteral("http://127.0.0.1/") + id + QStringLiteral(".7z");
    version.strDesc = QStringLiteral("module ") + id;
    version.llReleaseDate = releaseDate;
    version.dSize = 1.5;
    version.nState = 2;
    version.strIconUrl = QStringLiteral("http://127.0.0.1/") + id + QStringLiteral(".png");
    return version;
}

void tst_CUpgrade::defaults()
{
    const CUpgrade upgrade;
    const QString appDir = QCoreApplication::applicationDirPath();
    const QChar sep = QDir::separator();

    QCOMPARE(upgrade.appDir(), appDir);
    QCOMPARE(upgrade.tmpDir(), appDir + sep + QStringLiteral("Tmp"));
    QCOMPARE(upgrade.serverClusterCfgPath(), appDir + sep + QStringLiteral("Conf/System/UpgradeServerCluster.xml"));
    QCOMPARE(upgrade.sevenZipPath(), appDir + sep + PlatformNames::sevenZipFileName());
    QCOMPARE(upgrade.packetDir(), appDir + sep + QStringLiteral("Tmp") + sep + QStringLiteral("Packet"));
    QCOMPARE(upgrade.backupDir(), appDir + sep + QStringLiteral("Tmp") + sep + QStringLiteral("Backup"));
    QCOMPARE(upgrade.opMode(), int(CUpgrade::OP_MODE_NONE));
    QVERIFY(upgrade.localModuleVersion().isEmpty());
    QVERIFY(upgrade.needUpgradeModule().isEmpty());
    QVERIFY(!upgrade.isStopRequested());
    QVERIFY(!upgrade.isRunning());
    QVERIFY(!upgrade.parent());
    const TimeOutParam timeOut = upgrade.httpTimeOut();
    QCOMPARE(timeOut.nTimeOut1, 20000);
    QCOMPARE(timeOut.nTimeOut2, 512);
    QCOMPARE(timeOut.nTimeOut3, 20);

    // The constructor touches no file or directory.
    QVERIFY(!QFileInfo::exists(upgrade.tmpDir()));

    // A fresh record.
    const ModuleVersion version;
    QVERIFY(version.strId.isEmpty() && version.strVersion.isEmpty() && version.strUrl.isEmpty());
    QVERIFY(version.strDesc.isEmpty() && version.strIconUrl.isEmpty());
    QCOMPARE(version.llReleaseDate, qint64(0));
    QCOMPARE(version.dSize, 0.0);
    QCOMPARE(version.nState, 0);
}

void tst_CUpgrade::metaTypes()
{
    // The class as a receiver of its signals sees it.
    const QMetaObject &meta = CUpgrade::staticMetaObject;
    QCOMPARE(meta.className(), "CUpgrade");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 3);
    QCOMPARE(meta.method(meta.methodOffset()).methodSignature(),
             QByteArray("signalGetUpdateModuleVersionFinish(UpgradeOpError,QVector<ModuleVersion>,QVector<ModuleVersion>)"));
    QCOMPARE(meta.method(meta.methodOffset() + 1).methodSignature(),
             QByteArray("signalGetUpgradePacketStatus(UpgradeOpError,bool,int)"));
    QCOMPARE(meta.method(meta.methodOffset() + 2).methodSignature(), QByteArray("signalUpgradeFinish(UpgradeOpError)"));
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());

    // Registered on every construction, without harm.
    int errorType = 0;
    int vectorType = 0;
    for (int i = 0; i < 3; ++i) {
        CUpgrade upgrade;
        const int e = QMetaType::type("UpgradeOpError");
        const int v = QMetaType::type("QVector<ModuleVersion>");
        QVERIFY(e != QMetaType::UnknownType);
        QVERIFY(v != QMetaType::UnknownType);
        if (i > 0) {
            QCOMPARE(e, errorType);
            QCOMPARE(v, vectorType);
        }
        errorType = e;
        vectorType = v;
    }
    QCOMPARE(QMetaType::sizeOf(errorType), 4);
    QVERIFY(QMetaType::typeFlags(vectorType) & QMetaType::MovableType);
    QVERIFY(QMetaType::typeFlags(vectorType) & QMetaType::NeedsConstruction);
    QVERIFY(QMetaType::typeFlags(vectorType) & QMetaType::NeedsDestruction);
}

void tst_CUpgrade::setters()
{
    CUpgrade upgrade;
    const QVector<ModuleVersion> local{module("a", 1), module("b", 2)};
    const QVector<ModuleVersion> need{module("c", 3)};

    upgrade.setOpMode(CUpgrade::OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR);
    upgrade.setLocalModuleVersion(local);
    upgrade.setNeedUpgradeModule(need);
    TimeOutParam timeOut;
    timeOut.nTimeOut1 = 5000;
    timeOut.nTimeOut2 = 1;
    timeOut.nTimeOut3 = 2;
    upgrade.setHttpTimeOut(timeOut);

    QCOMPARE(upgrade.opMode(), 3);
    QVERIFY(sameModules(upgrade.localModuleVersion(), local));
    QVERIFY(sameModules(upgrade.needUpgradeModule(), need));
    QCOMPARE(upgrade.httpTimeOut().nTimeOut1, 5000);
    QCOMPARE(upgrade.httpTimeOut().nTimeOut2, 1);
    QCOMPARE(upgrade.httpTimeOut().nTimeOut3, 2);

    // Replaced, not appended.
    upgrade.setLocalModuleVersion(need);
    upgrade.setNeedUpgradeModule(QVector<ModuleVersion>());
    QVERIFY(sameModules(upgrade.localModuleVersion(), need));
    QVERIFY(upgrade.needUpgradeModule().isEmpty());
}

void tst_CUpgrade::setTmpDir_data()
{
    QTest::addColumn<QString>("tmpDir");
    QTest::newRow("absolute") << QStringLiteral("/somewhere/else/Tmp");
    QTest::newRow("relative") << QStringLiteral("work");
    QTest::newRow("empty") << QString();
}

void tst_CUpgrade::setTmpDir()
{
    QFETCH(QString, tmpDir);
    CUpgrade upgrade;
    const QString appDir = upgrade.appDir();
    const QString cfg = upgrade.serverClusterCfgPath();

    upgrade.setTmpDir(tmpDir);
    const QChar sep = QDir::separator();
    QCOMPARE(upgrade.tmpDir(), tmpDir);
    QCOMPARE(upgrade.packetDir(), tmpDir + sep + QStringLiteral("Packet"));
    QCOMPARE(upgrade.backupDir(), tmpDir + sep + QStringLiteral("Backup"));
    // Nothing else moves, and nothing is created.
    QCOMPARE(upgrade.appDir(), appDir);
    QCOMPARE(upgrade.serverClusterCfgPath(), cfg);
    if (!tmpDir.isEmpty())
        QVERIFY(!QFileInfo::exists(tmpDir));
}

void tst_CUpgrade::stopUpgrade()
{
    CUpgrade upgrade;
    upgrade.stopUpgrade();
    QVERIFY(upgrade.isStopRequested());
    // Never cleared again.
    upgrade.setOpMode(CUpgrade::OP_MODE_NONE);
    upgrade.start();
    QVERIFY(upgrade.wait(60000));
    QVERIFY(upgrade.isStopRequested());
}

void tst_CUpgrade::modes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("versionFinish");
    QTest::addColumn<int>("packetStatus");
    QTest::addColumn<int>("upgradeFinish");

    QTest::newRow("none") << int(CUpgrade::OP_MODE_NONE) << 0 << 0 << 0;
    QTest::newRow("check") << int(CUpgrade::OP_MODE_GET_UPDATE_MODULE_VERSION) << 1 << 0 << 0;
    QTest::newRow("download") << int(CUpgrade::OP_MODE_GET_UPGRADE_PACKET) << 0 << 1 << 0;
    QTest::newRow("apply") << int(CUpgrade::OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR) << 0 << 0 << 1;
    QTest::newRow("unknown 4") << 4 << 0 << 0 << 0;
    QTest::newRow("unknown -1") << -1 << 0 << 0 << 0;
}

void tst_CUpgrade::modes()
{
    QFETCH(int, mode);
    QFETCH(int, versionFinish);
    QFETCH(int, packetStatus);
    QFETCH(int, upgradeFinish);

    // Every path the engine may touch lies in a directory of this case.
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    CUpgrade upgrade;
    upgrade.setTmpDir(tmp.filePath(QStringLiteral("Tmp")));
    upgrade.setOpMode(mode);

    QSignalSpy versionSpy(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish);
    QSignalSpy packetSpy(&upgrade, &CUpgrade::signalGetUpgradePacketStatus);
    QSignalSpy upgradeSpy(&upgrade, &CUpgrade::signalUpgradeFinish);
    QVERIFY(versionSpy.isValid() && packetSpy.isValid() && upgradeSpy.isValid());

    upgrade.start();
    QVERIFY(upgrade.wait(120000));
    QCOMPARE(versionSpy.count(), versionFinish);
    QCOMPARE(packetSpy.count(), packetStatus);
    QCOMPARE(upgradeSpy.count(), upgradeFinish);
    QCOMPARE(upgrade.opMode(), mode);

    if (packetStatus) {
        // The end of a download always carries finished and 100.
        const QList<QVariant> arguments = packetSpy.takeFirst();
        QCOMPARE(arguments.at(0).value<UpgradeOpError>(), UPGRADE_OP_NO_MODULE_NEED_UPDATE);
        QCOMPARE(arguments.at(1).toBool(), true);
        QCOMPARE(arguments.at(2).toInt(), 100);
    }
    if (versionFinish) {
        // Nothing configured here: the check fails and reports no modules.
        const QList<QVariant> arguments = versionSpy.takeFirst();
        QVERIFY(arguments.at(0).value<UpgradeOpError>() != UPGRADE_OP_SUCCESS);
        QVERIFY(arguments.at(1).value<QVector<ModuleVersion>>().isEmpty());
        QVERIFY(arguments.at(2).value<QVector<ModuleVersion>>().isEmpty());
    }
    if (upgradeFinish) {
        const QList<QVariant> arguments = upgradeSpy.takeFirst();
        QVERIFY(arguments.at(0).value<UpgradeOpError>() != UPGRADE_OP_SUCCESS);
    }
}

void tst_CUpgrade::runAgainRepeats()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    CUpgrade upgrade;
    upgrade.setTmpDir(tmp.filePath(QStringLiteral("Tmp")));
    upgrade.setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
    QSignalSpy packetSpy(&upgrade, &CUpgrade::signalGetUpgradePacketStatus);

    for (int i = 0; i < 2; ++i) {
        upgrade.start();
        QVERIFY(upgrade.wait(120000));
    }
    QCOMPARE(packetSpy.count(), 2);
    QCOMPARE(upgrade.opMode(), int(CUpgrade::OP_MODE_GET_UPGRADE_PACKET));
}

void tst_CUpgrade::queuedToAnotherThread()
{
    // The receiver lives on this thread: the arguments travel queued, as
    // copies, which needs the registered meta-types.
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    CUpgrade upgrade;
    upgrade.setTmpDir(tmp.filePath(QStringLiteral("Tmp")));
    upgrade.setOpMode(CUpgrade::OP_MODE_GET_UPDATE_MODULE_VERSION);

    QObject receiver;
    int received = 0;
    QThread *deliveredOn = nullptr;
    connect(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish, &receiver,
            [&](UpgradeOpError, QVector<ModuleVersion> need, QVector<ModuleVersion> server) {
                ++received;
                deliveredOn = QThread::currentThread();
                need.append(module("x", 1));
                server.append(module("y", 2));
            },
            Qt::QueuedConnection);

    MessageCapture capture;
    upgrade.start();
    QVERIFY(upgrade.wait(120000));
    QTRY_COMPARE_WITH_TIMEOUT(received, 1, 60000);
    QCOMPARE(deliveredOn, QThread::currentThread());
    for (const QString &warning : capture.warnings())
        QVERIFY2(!warning.contains(QLatin1String("Cannot queue arguments")), qPrintable(warning));
}

void tst_CUpgrade::destroyWhileRunning()
{
    // The owner may destroy an engine whose thread still runs: the
    // destructor asks it to stop and waits for it instead of aborting.
    auto *upgrade = new CUpgrade;
    std::atomic<bool> entered{false};
    std::atomic<bool> sawStop{false};
    connect(upgrade, &QThread::started, upgrade,
            [upgrade, &entered, &sawStop] {
                entered = true;
                // Busy as a download is, until it is asked to stop.
                QDeadlineTimer deadline(120000);
                while (!upgrade->isStopRequested() && !deadline.hasExpired())
                    QThread::msleep(5);
                sawStop = upgrade->isStopRequested();
            },
            Qt::DirectConnection);
    upgrade->start();
    QTRY_VERIFY_WITH_TIMEOUT(entered.load(), 60000);
    QVERIFY(upgrade->isRunning());

    delete upgrade;
    QVERIFY(sawStop.load());
}

void tst_CUpgrade::removeTmpDir_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("missing") << false;
    QTest::newRow("with content") << true;
}

void tst_CUpgrade::removeTmpDir()
{
    QFETCH(bool, exists);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    CUpgrade upgrade;
    const QString tmpDir = tmp.filePath(QStringLiteral("Tmp"));
    upgrade.setTmpDir(tmpDir);
    if (exists) {
        QVERIFY(QDir().mkpath(tmpDir + QStringLiteral("/Packet/Upgrade")));
        QFile file(tmpDir + QStringLiteral("/Packet/Upgrade/a.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(upgrade.removeTmpDir());
    QVERIFY(!QFileInfo::exists(tmpDir));
}

QTEST_GUILESS_MAIN(tst_CUpgrade)
#include "tst_cupgrade.moc"
