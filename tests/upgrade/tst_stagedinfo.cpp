#include "upgrade/stagedinfo.h"

#include "upgrade/files/solutioninfo.h"

#include "common/filetree.h"

#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;

namespace {

const QByteArray installedInfo =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Solution><SolutionS>"
    "<Solution id=\"kept\" name=\"Kept\"><Version>1.0</Version><ReleaseDate>100</ReleaseDate><State>2</State>"
    "<Desc>kept module</Desc><Size>3</Size></Solution>"
    "<Solution id=\"plain\" name=\"Plain\"><Version>1.0</Version><ReleaseDate>100</ReleaseDate><State>1</State>"
    "</Solution>"
    "</SolutionS></Solution>\n";

ModuleVersion offered(const QString &id, const QString &version, qint64 releaseDate)
{
    ModuleVersion module;
    module.strId = id;
    module.strVersion = version;
    module.strUrl = "http://127.0.0.1/packets/" + id + ".7z";
    module.llReleaseDate = releaseDate;
    module.dSize = 1;
    module.nState = 0; // as every record of the server's answer
    module.strIconUrl = "http://127.0.0.1/icon.png";
    return module;
}

const ModuleVersion *findModule(const QVector<ModuleVersion> &modules, const QString &id)
{
    for (const ModuleVersion &module : modules) {
        if (module.strId == id)
            return &module;
    }
    return nullptr;
}

} // namespace

class tst_StagedInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stagedPath_data();
    void stagedPath();
    void stageKeepsInstalledState();
    void stageRefused_data();
    void stageRefused();
};

void tst_StagedInfo::stagedPath_data()
{
    QTest::addColumn<QString>("solutionInfo"); // relative to the application directory
    QTest::addColumn<QString>("staged");       // relative to the packet, empty: refused

    QTest::newRow("default place") << "Solutions/SolutionInfo.xml" << "Solutions/SolutionInfo.xml";
    QTest::newRow("top level") << "SolutionInfo.xml" << "SolutionInfo.xml";
    QTest::newRow("through ..") << "Solutions/../Other/Info.xml" << "Other/Info.xml";
    QTest::newRow("outside") << "../Info.xml" << "";
    QTest::newRow("the directory itself") << "." << "";
    QTest::newRow("name starting with ..") << "..Info.xml" << "..Info.xml";
}

void tst_StagedInfo::stagedPath()
{
    QFETCH(QString, solutionInfo);
    QFETCH(QString, staged);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString appDir = dir.filePath("app");
    const QString packetDir = appDir + "/Tmp/Packet";
    QVERIFY(QDir().mkpath(appDir));

    const QString result = stagedSolutionInfoPath(appDir, packetDir, appDir + '/' + solutionInfo);
    QCOMPARE(result, staged.isEmpty() ? QString() : packetDir + '/' + staged);
}

void tst_StagedInfo::stageKeepsInstalledState()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString appDir = dir.path();
    const QString installed = appDir + "/Solutions/SolutionInfo.xml";
    QVERIFY(writeFile(installed, installedInfo));
    const QString packetDir = appDir + "/Tmp/Packet";

    const QVector<ModuleVersion> need{offered("kept", "2.0", 200), offered("plain", "1.5", 150),
                                      offered("fresh", "1.0", 300)};
    QVERIFY(stageSolutionInfo(appDir, packetDir, installed, need));

    // The installed file is only read.
    QCOMPARE(readFile(installed), installedInfo);

    QVector<ModuleVersion> staged;
    QVERIFY(getModuleVersionFromSolutionInfoFile(packetDir + "/Solutions/SolutionInfo.xml", staged));
    QCOMPARE(staged.size(), 3);
    const ModuleVersion *kept = findModule(staged, "kept");
    QVERIFY(kept);
    QCOMPARE(kept->strVersion, QString("2.0"));
    QCOMPARE(kept->llReleaseDate, qint64(200));
    // The server's state 0 would drop the module out of every later upgrade.
    QCOMPARE(kept->nState, 2);
    // What the new versions do not change stays as installed.
    QCOMPARE(kept->strDesc, QString("kept module"));
    QCOMPARE(kept->dSize, 3.0);
    QCOMPARE(kept->strUrl, QString("Kept"));
    const ModuleVersion *plain = findModule(staged, "plain");
    QVERIFY(plain);
    QCOMPARE(plain->nState, 1);
    QCOMPARE(plain->strVersion, QString("1.5"));
    // A module new to the installation takes part in upgrades from now on.
    const ModuleVersion *fresh = findModule(staged, "fresh");
    QVERIFY(fresh);
    QCOMPARE(fresh->nState, 1);
    QCOMPARE(fresh->llReleaseDate, qint64(300));
}

void tst_StagedInfo::stageRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("installed file outside the installation") << "outside";
    QTest::newRow("installed file missing") << "missing";
    QTest::newRow("installed file not XML") << "garbage";
    QTest::newRow("module without Version element") << "incomplete";
    QTest::newRow("a file where the staged directory goes") << "blocked";
}

void tst_StagedInfo::stageRefused()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString appDir = dir.filePath("app");
    const QString packetDir = appDir + "/Tmp/Packet";
    QString installed = appDir + "/Solutions/SolutionInfo.xml";
    QVERIFY(QDir().mkpath(packetDir));

    if (kind == "outside") {
        installed = dir.filePath("SolutionInfo.xml");
        QVERIFY(writeFile(installed, installedInfo));
    } else if (kind == "garbage") {
        QVERIFY(writeFile(installed, "not xml <"));
    } else if (kind == "incomplete") {
        QVERIFY(writeFile(installed, "<S><SolutionS><Solution id=\"kept\"><ReleaseDate>1</ReleaseDate>"
                                     "<State>1</State></Solution></SolutionS></S>"));
    } else if (kind == "blocked") {
        QVERIFY(writeFile(installed, installedInfo));
        QVERIFY(writeFile(packetDir + "/Solutions", "a file"));
    }
    const QByteArray before = readFile(installed);

    QVERIFY(!stageSolutionInfo(appDir, packetDir, installed, {offered("kept", "2.0", 200)}));
    QVERIFY(!QFileInfo(packetDir + "/Solutions/SolutionInfo.xml").isFile());
    QCOMPARE(readFile(installed), before);
}

QTEST_GUILESS_MAIN(tst_StagedInfo)
#include "tst_stagedinfo.moc"
