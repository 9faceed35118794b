#include "upgrade/upgradecheck.h"

#include "platform/platformnames.h"
#include "upgrade/cupgrade.h"

#include "common/clusterfile.h"
#include "common/messagecapture.h"
#include "common/testserver.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

typedef QVector<ModuleVersion> Modules;

// Puts a ToolBox entry (file or directory) two levels above the application
// directory and removes it again.
class ScopedToolBox
{
public:
    explicit ScopedToolBox(const QString &kind)
        : m_path(QDir(QCoreApplication::applicationDirPath() + QLatin1String("/../..")).absolutePath()
                 + QLatin1Char('/') + PlatformNames::toolBoxFileName())
    {
        if (kind == QLatin1String("file")) {
            QFile file(m_path);
            m_created = file.open(QIODevice::WriteOnly);
        } else if (kind == QLatin1String("directory")) {
            m_created = QDir().mkdir(m_path);
        }
    }
    ~ScopedToolBox()
    {
        if (!m_created)
            return;
        if (QFileInfo(m_path).isDir())
            QDir().rmdir(m_path);
        else
            QFile::remove(m_path);
    }
    bool created() const { return m_created; }

private:
    QString m_path;
    bool m_created = false;
};

const char solutionInfo[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Solutions>
    <SolutionS>
        <Solution id="A" name="Module A">
            <Version>1.0</Version><ReleaseDate>100</ReleaseDate><State>1</State><Desc>a</Desc><Size>3</Size>
        </Solution>
        <Solution id="B" name="Module B">
            <Version>1.0</Version><ReleaseDate>100</ReleaseDate><State>0</State><Desc>b</Desc><Size>4</Size>
        </Solution>
    </SolutionS>
</Solutions>
)";

} // namespace

class tst_UpgradeCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void isToolBoxExist_data();
    void isToolBoxExist();
    void isToolBoxExistShallow_data();
    void isToolBoxExistShallow();
    void checkUpdate_data();
    void checkUpdate();
    void unreadableSolutionFile_data();
    void unreadableSolutionFile();
    void checkLeavesItsTimeOuts();
    void busyEngine();

private:
    QTemporaryDir m_dir;
    QString m_solutionInfoPath;
    std::vector<std::unique_ptr<ScopedEnvironmentVariable>> m_environment;
};

void tst_UpgradeCheck::initTestCase()
{
    for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        m_environment.emplace_back(new ScopedEnvironmentVariable(name));
        m_environment.back()->unset();
    }
    QVERIFY(m_dir.isValid());
    m_solutionInfoPath = m_dir.filePath(QStringLiteral("SolutionInfo.xml"));
    QFile file(m_solutionInfoPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(solutionInfo);
    file.close();
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("root/packets")));
    QFile manifest(m_dir.filePath(QStringLiteral("root/manifest.json")));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    manifest.write(R"({"modules": [{"ID": "A", "ReleaseDate": 200, "IconUrl": "i", "Packet": "a.7z"},)"
                   R"({"ID": "B", "ReleaseDate": 200, "IconUrl": "i", "Packet": "b.7z"}]})");
    manifest.close();
    // Nothing of ours may stand there before we start.
    QVERIFY(!::isToolBoxExist());
}

void tst_UpgradeCheck::isToolBoxExist_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("exists");

    QTest::newRow("nothing") << QStringLiteral("none") << false;
    QTest::newRow("file") << QStringLiteral("file") << true;
    QTest::newRow("directory") << QStringLiteral("directory") << true;
}

void tst_UpgradeCheck::isToolBoxExist()
{
    QFETCH(QString, kind);
    QFETCH(bool, exists);

    ScopedToolBox toolBox(kind);
    QCOMPARE(toolBox.created(), kind != QLatin1String("none"));
    QCOMPARE(::isToolBoxExist(), exists);
}

void tst_UpgradeCheck::isToolBoxExistShallow_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<bool>("exists");

    QTest::newRow("root directory") << QStringLiteral("/") << false;
    QTest::newRow("one level deep") << QStringLiteral("/tvx-app") << false;
    QTest::newRow("two levels, toolbox in the grandparent") << QStringLiteral("<tmp>/a/b") << true;
    QTest::newRow("two levels, toolbox elsewhere") << QStringLiteral("<tmp>/a/b/c") << false;
}

void tst_UpgradeCheck::isToolBoxExistShallow()
{
    QFETCH(QString, appDir);
    QFETCH(bool, exists);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("a/b/c")));
    QFile toolBox(dir.filePath(PlatformNames::toolBoxFileName()));
    QVERIFY(toolBox.open(QIODevice::WriteOnly));
    toolBox.close();
    appDir.replace(QLatin1String("<tmp>"), dir.path());
    QCOMPARE(::isToolBoxExist(appDir), exists);
}

void tst_UpgradeCheck::checkUpdate_data()
{
    QTest::addColumn<QString>("toolBox");
    QTest::addColumn<bool>("starts");

    QTest::newRow("no toolbox: the check starts") << QStringLiteral("none") << true;
    QTest::newRow("toolbox file: nothing starts") << QStringLiteral("file") << false;
    QTest::newRow("toolbox directory: nothing starts") << QStringLiteral("directory") << false;
}

void tst_UpgradeCheck::checkUpdate()
{
    QFETCH(QString, toolBox);
    QFETCH(bool, starts);

    ScopedToolBox scopedToolBox(toolBox);
    CUpgrade upgrade;
    QSignalSpy spy(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish);
    MessageCapture capture;
    ::checkUpdate(m_solutionInfoPath, &upgrade);
    QVERIFY(upgrade.wait(60000));
    if (starts) {
        // No server cluster file here: the check ends with 6.
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().at(0).value<UpgradeOpError>(), UPGRADE_OP_READ_SERVER_CFG_FAILED);
        QCOMPARE(upgrade.opMode(), int(CUpgrade::OP_MODE_GET_UPDATE_MODULE_VERSION));
    } else {
        QCOMPARE(spy.count(), 0);
        QCOMPARE(upgrade.opMode(), int(CUpgrade::OP_MODE_NONE));
        QVERIFY(capture.warnings().isEmpty());
        QVERIFY(capture.infos().isEmpty());
    }
}

void tst_UpgradeCheck::unreadableSolutionFile_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("missing file") << QStringLiteral("missing.xml");
    QTest::newRow("a directory") << QStringLiteral("root");
    QTest::newRow("not XML") << QStringLiteral("root/manifest.json");
}

void tst_UpgradeCheck::unreadableSolutionFile()
{
    QFETCH(QString, name);

    const QString path = m_dir.filePath(name);
    CUpgrade upgrade;
    const Modules before{ModuleVersion()};
    upgrade.setLocalModuleVersion(before);
    QSignalSpy spy(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish);
    MessageCapture capture;
    ::startGetUpdateModuleVersion(path, &upgrade);
    QVERIFY(!upgrade.isRunning());
    QCOMPARE(capture.warnings().last(),
             QStringLiteral("getModuleVersionFromSolutionInfoFile from \"%1\"  failed!").arg(path));
    // Nothing started, nothing changed.
    QCOMPARE(upgrade.opMode(), int(CUpgrade::OP_MODE_NONE));
    QCOMPARE(upgrade.httpTimeOut().nTimeOut1, 20000);
    QCOMPARE(upgrade.httpTimeOut().nTimeOut2, 512);
    QCOMPARE(upgrade.httpTimeOut().nTimeOut3, 20);
    QCOMPARE(upgrade.localModuleVersion().size(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
}

void tst_UpgradeCheck::checkLeavesItsTimeOuts()
{
    CUpgrade upgrade;
    TimeOutParam custom;
    custom.nTimeOut1 = 1;
    custom.nTimeOut2 = 2;
    custom.nTimeOut3 = 3;
    upgrade.setHttpTimeOut(custom);
    QSignalSpy spy(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish);
    MessageCapture capture;
    ::startGetUpdateModuleVersion(m_solutionInfoPath, &upgrade);
    QVERIFY(upgrade.wait(60000));
    QCOMPARE(spy.count(), 1);

    QCOMPARE(upgrade.httpTimeOut().nTimeOut1, 5000);
    QCOMPARE(upgrade.httpTimeOut().nTimeOut2, 512);
    QCOMPARE(upgrade.httpTimeOut().nTimeOut3, 20);
    QCOMPARE(upgrade.opMode(), int(CUpgrade::OP_MODE_GET_UPDATE_MODULE_VERSION));
    const Modules local = upgrade.localModuleVersion();
    QCOMPARE(local.size(), 2);
    QCOMPARE(local.at(0).strId, QStringLiteral("A"));
    QCOMPARE(local.at(0).nState, 1);
    QCOMPARE(local.at(1).strId, QStringLiteral("B"));
    QCOMPARE(local.at(1).nState, 0);
}

void tst_UpgradeCheck::busyEngine()
{
    // A server that sends the head of its answer and then nothing keeps the
    // first check running while the second call comes.
    TestServer server;
    QVERIFY2(server.start(m_dir.filePath(QStringLiteral("root")), QStringLiteral("key"),
                          {QStringLiteral("--stall-after-bytes"), QStringLiteral("10")}),
             qPrintable(server.errorText()));
    ScopedServerClusterFile cluster;
    QVERIFY(cluster.write(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(),
                                                        QStringLiteral("key"))));

    CUpgrade upgrade;
    QSignalSpy spy(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish);
    MessageCapture capture;
    ::startGetUpdateModuleVersion(m_solutionInfoPath, &upgrade);
    QVERIFY(upgrade.isRunning());
    upgrade.setLocalModuleVersion(Modules());
    ::startGetUpdateModuleVersion(m_solutionInfoPath, &upgrade);
    QCOMPARE(capture.infos(), QStringList{QStringLiteral("last upgrade is running now")});
    // The refused call changed nothing.
    QVERIFY(upgrade.localModuleVersion().isEmpty());

    server.stop(); // the stalled answer ends, and with it the first check
    QVERIFY(upgrade.wait(60000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).value<UpgradeOpError>(), UPGRADE_OP_NETWORK_FAILED);

    // Once the first run has ended, a new call starts a new check.
    QVERIFY2(server.start(m_dir.filePath(QStringLiteral("root")), QStringLiteral("key")),
             qPrintable(server.errorText()));
    QVERIFY(cluster.write(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(),
                                                        QStringLiteral("key"))));
    ::startGetUpdateModuleVersion(m_solutionInfoPath, &upgrade);
    QVERIFY(upgrade.wait(60000));
    QCOMPARE(spy.count(), 2);
    const QList<QVariant> arguments = spy.at(1);
    QCOMPARE(arguments.at(0).value<UpgradeOpError>(), UPGRADE_OP_SUCCESS);
    const Modules need = arguments.at(1).value<Modules>();
    QCOMPARE(need.size(), 1);
    QCOMPARE(need.first().strId, QStringLiteral("A"));
    QCOMPARE(arguments.at(2).value<Modules>().size(), 2);
}

QTEST_GUILESS_MAIN(tst_UpgradeCheck)
#include "tst_upgradecheck.moc"
