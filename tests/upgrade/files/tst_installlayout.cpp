// The install layout's one rule for the names the engine keeps, as a packet,
// a delta index or a journal may try them: every spelling that reaches the
// same file on Windows, and every path that leaves the installation.

#include "upgrade/files/installlayout.h"

#include "common/filetree.h"

#include <QtTest>

class tst_InstallLayout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reservedPath_data();
    void reservedPath();
    void checkTree_data();
    void checkTree();
};

void tst_InstallLayout::reservedPath_data()
{
    QTest::addColumn<QString>("tmpDir"); // below the installation; empty: the default Tmp
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason"); // part of it; empty: not reserved

    const QString tmp = QStringLiteral("temporary directory");
    QTest::newRow("the journal") << QString() << "Tmp/Journal" << tmp;
    QTest::newRow("another case") << QString() << "tMP/journal" << tmp;
    QTest::newRow("trailing dot and space") << QString() << "Tmp. /Backup/x" << tmp;
    QTest::newRow("a stream of Tmp") << QString() << "Tmp::$DATA" << tmp;
    QTest::newRow("backslashes") << QString() << "Tmp\\Journal" << tmp;
    QTest::newRow("dot parts") << QString() << "./Solutions/../Tmp" << "leaves";
    QTest::newRow("download directory") << QString() << "Tmp.download/p.7z.part" << "download directory";
    QTest::newRow("lock file") << QString() << ".upgrade.lock" << "lock file";
    QTest::newRow("lock file as a directory") << QString() << ".Upgrade.Lock/x" << "lock file";
    QTest::newRow("serial") << QString() << "Conf/System/ReleaseSerial.json" << "serial";
    QTest::newRow("trust record") << QString() << ".Upgrade.Trust" << "verifies its releases";
    QTest::newRow("held back") << QString() << "conf\\system\\HELDBACK.JSON" << "held-back";
    QTest::newRow("root") << QString() << "." << "installation directory itself";
    QTest::newRow("empty") << QString() << "" << "installation directory itself";
    QTest::newRow("dots only") << QString() << "Solutions/..." << "directory that holds it";
    QTest::newRow("parent") << QString() << "../outside" << "leaves";
    QTest::newRow("absolute") << QString() << "/etc/passwd" << "absolute";
    QTest::newRow("drive") << QString() << "C:/Windows" << "absolute";
    QTest::newRow("chosen Tmp") << "Staging" << "staging/Packet/x" << tmp;
    QTest::newRow("chosen Tmp's downloads") << "Staging" << "Staging.download" << tmp;
    // What packets legitimately carry.
    QTest::newRow("a module file") << QString() << "Solutions/demo.txt" << QString();
    QTest::newRow("Tmp deeper down") << QString() << "Solutions/Tmp/Journal" << QString();
    QTest::newRow("name starting with Tmp") << QString() << "Tmpl/x" << QString();
    QTest::newRow("upgrader") << QString() << "Upgrade/Upgrade" << QString();
    QTest::newRow("signed key rotation") << QString() << "Conf/System/TrustedKeys.json" << QString();
    QTest::newRow("server list") << QString() << "Conf/System/UpgradeServerCluster.xml" << QString();
    QTest::newRow("default Tmp with another chosen") << "Staging" << "Tmp/x" << tmp;
}

void tst_InstallLayout::reservedPath()
{
    QFETCH(QString, tmpDir);
    QFETCH(QString, path);
    QFETCH(QString, reason);
    const QString app = QStringLiteral("/opt/app");
    const CInstallLayout layout(app, tmpDir.isEmpty() ? QString() : app + QLatin1Char('/') + tmpDir);
    QString why;
    QCOMPARE(layout.isReservedPath(path, &why), !reason.isEmpty());
    QVERIFY2(why.contains(reason), qPrintable(why));
    if (tmpDir.isEmpty())
        QCOMPARE(CInstallLayout::isReservedName(path), !reason.isEmpty());
}

void tst_InstallLayout::checkTree_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("found"); // empty: the tree passes
    QTest::newRow("clean") << QStringList{"Solutions/a.txt", "Conf/System/TrustedKeys.json", "Solutions/Tmp/x"}
                           << QString();
    QTest::newRow("journal") << QStringList{"Solutions/a.txt", "Tmp/Journal"} << "\"Tmp\" is reserved";
    QTest::newRow("lock file") << QStringList{".upgrade.lock"} << "\".upgrade.lock\" is reserved";
    QTest::newRow("serial, another case") << QStringList{"Conf/SYSTEM/releaseserial.json"}
                                          << "\"Conf/SYSTEM/releaseserial.json\" is reserved";
}

void tst_InstallLayout::checkTree()
{
    QFETCH(QStringList, files);
    QFETCH(QString, found);
    QTemporaryDir tree;
    for (const QString &file : qAsConst(files))
        QVERIFY(FileTree::writeFile(tree.filePath(file), "x"));
    QString error;
    QCOMPARE(CInstallLayout().checkTree(tree.path(), error), found.isEmpty());
    QVERIFY2(error.startsWith(found), qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_InstallLayout)
#include "tst_installlayout.moc"
