#include "upgrade/files/solutioninfo.h"
#include "upgrade/files/tmpdirs.h"
#include "upgrade/stagedinfo.h"
#include "upgrade/transaction/applypacket.h"
#include "upgrade/transaction/installlock.h"

#include "common/filetree.h"
#include "common/messagecapture.h"

#include <QtTest>

using FileTree::ImmutableFile;
using FileTree::readFile;
using FileTree::snapshot;
using FileTree::writeFile;

namespace {

const char solutionInfo[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Root>\n"
    " <SolutionS>\n"
    "  <Solution id=\"Base\" name=\"Base\">\n"
    "   <Version>1.0</Version>\n"
    "   <ReleaseDate>100</ReleaseDate>\n"
    "   <State>1</State>\n"
    "  </Solution>\n"
    " </SolutionS>\n"
    "</Root>\n";

// An installation of some hundreds of files in ten directories.
bool makeInstallation(const QString &app)
{
    for (int d = 0; d < 10; ++d) {
        for (int f = 0; f < 30; ++f) {
            const QString path = app + QStringLiteral("/d%1/f%2").arg(d, 2, 10, QLatin1Char('0')).arg(f, 3, 10, QLatin1Char('0'));
            if (!writeFile(path, "installed " + path.toUtf8() + QByteArray(f * 37, char('a' + d))))
                return false;
        }
    }
    return writeFile(app + QLatin1String("/Tarvex"), "launcher") && writeFile(app + QLatin1String("/.config"), "hidden");
}

// A packet that replaces two thirds of each directory, adds files, and adds
// directories before, inside and after the installed ones.
bool makePacket(const QString &packet)
{
    for (int d = 0; d < 10; ++d) {
        for (int f = 0; f < 40; f += (f < 20 ? 1 : 2)) {
            const QString path = packet + QStringLiteral("/d%1/f%2").arg(d, 2, 10, QLatin1Char('0')).arg(f, 3, 10, QLatin1Char('0'));
            if (!writeFile(path, "packet " + path.toUtf8() + QByteArray(f * 11, char('A' + d))))
                return false;
        }
    }
    return writeFile(packet + QLatin1String("/a-new/one"), "new one")
        && writeFile(packet + QLatin1String("/d03/sub-new/deep/two"), "new two")
        && writeFile(packet + QLatin1String("/z-new/three"), "new three")
        && writeFile(packet + QLatin1String("/.config"), "new hidden");
}

// The installation after a complete apply: the installation with the packet laid over it.
QMap<QString, QByteArray> overlaid(const QString &app, const QString &packet)
{
    QMap<QString, QByteArray> result = snapshot(app);
    const QMap<QString, QByteArray> top = snapshot(packet);
    for (auto it = top.cbegin(); it != top.cend(); ++it)
        result.insert(it.key(), it.value());
    return result;
}

// A tree as the applies leave it: the installation's lock file stays on
// Windows, where removing it would race with the next locker.
QMap<QString, QByteArray> unlocked(QMap<QString, QByteArray> tree)
{
    for (auto it = tree.begin(); it != tree.end();) {
        if (it.key() == QLatin1String(".upgrade.lock") || it.key().endsWith(QLatin1String("/.upgrade.lock")))
            it = tree.erase(it);
        else
            ++it;
    }
    return tree;
}

} // namespace

class tst_TmpDirs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void removeDirTree_data();
    void removeDirTree();
    void applySuccess();
    void applyFailureRollsBack_data();
    void applyFailureRollsBack();
    void applyWithoutPacketDir();
    void deleteTmpDir_data();
    void deleteTmpDir();
    void saveSolutionInfo();
    void saveSolutionInfoFailures_data();
    void saveSolutionInfoFailures();
    void applyPacketNothingStaged();
    void applyPacketSuccess();
    void applyPacketFailureRollsBack();
    void applyRefused_data();
    void applyRefused();
};

void tst_TmpDirs::removeDirTree_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("result");
    QTest::newRow("missing") << "missing" << true;
    QTest::newRow("tree") << "tree" << true;
    QTest::newRow("link inside the tree") << "inner link" << true;
    // A link given as the directory is removed itself; what it names stays.
    QTest::newRow("link as the directory") << "link" << true;
    QTest::newRow("link as the directory, trailing slash") << "link/" << true;
    QTest::newRow("empty path") << "empty" << false;
}

void tst_TmpDirs::removeDirTree()
{
    QFETCH(QString, kind);
    QFETCH(bool, result);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString outside = tmp.filePath(QStringLiteral("outside"));
    QVERIFY(writeFile(outside + QLatin1String("/precious"), "keep"));
    QString path = tmp.filePath(QStringLiteral("victim"));
    if (kind.contains(QLatin1String("link")))
        TVX_SKIP_WITHOUT_SYMLINKS();
    if (kind == QLatin1String("tree") || kind == QLatin1String("inner link")) {
        QVERIFY(writeFile(path + QLatin1String("/a/b/c"), "c"));
        QVERIFY(writeFile(path + QLatin1String("/.h"), "h"));
        if (kind == QLatin1String("inner link"))
            QVERIFY(QFile::link(outside, path + QLatin1String("/a/out")));
    } else if (kind.startsWith(QLatin1String("link"))) {
        QVERIFY(QFile::link(outside, path));
        if (kind.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
    }

    // An empty path would name the current directory: make it one of our
    // own, so that what the test was started in neither matters nor suffers.
    const QString cwd = tmp.filePath(QStringLiteral("cwd"));
    QVERIFY(writeFile(cwd + QLatin1String("/sub/file"), "stay"));
    const QMap<QString, QByteArray> cwdBefore = snapshot(cwd);
    const QString started = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd));
    const bool removed = ::removeDirTree(kind == QLatin1String("empty") ? QString() : path);
    QVERIFY(QDir::setCurrent(started));
    QCOMPARE(removed, result);
    QVERIFY(!QFileInfo(tmp.filePath(QStringLiteral("victim"))).isSymLink());
    QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("victim"))));
    QCOMPARE(readFile(outside + QLatin1String("/precious")), QByteArray("keep"));
    QCOMPARE(snapshot(cwd), cwdBefore);
}

void tst_TmpDirs::applySuccess()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString app = tmp.filePath(QStringLiteral("app"));
    const QString tmpDir = app + QLatin1String("/Tmp");
    const QString packet = tmpDir + QLatin1String("/Packet");
    const QString backup = tmpDir + QLatin1String("/Backup");
    QVERIFY(makeInstallation(app));
    QVERIFY(makePacket(packet));
    QVERIFY(writeFile(tmpDir + QLatin1String("/packet.7z"), "archive"));
    // A backup left over from an earlier run would block the new one.
    QVERIFY(writeFile(backup + QLatin1String("/d00/f000"), "stale"));

    QMap<QString, QByteArray> expected = overlaid(app, packet);
    for (auto it = expected.begin(); it != expected.end();) {
        if (it.key().startsWith(QLatin1String("Tmp")))
            it = expected.erase(it);
        else
            ++it;
    }

    MessageCapture capture;
    QCOMPARE(upgradeTmpDirToDstDir(app, tmpDir, packet, backup), UPGRADE_OP_SUCCESS);
    QVERIFY(capture.warnings().isEmpty());
    const QStringList debugs = capture.debugs();
    QCOMPARE(debugs.first(), QStringLiteral("Upgrade Tmp Dir To DstDir"));
    QCOMPARE(debugs.last(), QStringLiteral("copyDir success"));
    QVERIFY(!QFileInfo::exists(tmpDir));
    QCOMPARE(unlocked(snapshot(app)), expected);
}

void tst_TmpDirs::applyFailureRollsBack_data()
{
    QTest::addColumn<bool>("immutable");
    // The destination of d05/f010 is a directory: its backup fails.
    QTest::newRow("directory in the way") << false;
    // The destination of d05/f010 is backed up but cannot be deleted.
    QTest::newRow("undeletable file") << true;
}

void tst_TmpDirs::applyFailureRollsBack()
{
    QFETCH(bool, immutable);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString app = tmp.filePath(QStringLiteral("app"));
    const QString tmpDir = tmp.filePath(QStringLiteral("staging/Tmp"));
    const QString packet = tmpDir + QLatin1String("/Packet");
    const QString backup = tmpDir + QLatin1String("/Backup");
    QVERIFY(makeInstallation(app));
    QVERIFY(makePacket(packet));
    const QString blocked = app + QLatin1String("/d05/f010");
    QScopedPointer<ImmutableFile> lock;
    if (immutable) {
        lock.reset(new ImmutableFile(blocked));
        if (!lock->isSet())
            QSKIP(lock->whyNotSet());
    } else {
        QVERIFY(QFile::remove(blocked));
        QVERIFY(writeFile(blocked + QLatin1String("/inside"), "a directory where a file is expected"));
    }
    const QMap<QString, QByteArray> before = snapshot(app);
    QVERIFY(before.size() > 300);

    MessageCapture capture;
    QCOMPARE(upgradeTmpDirToDstDir(app, tmpDir, packet, backup), UPGRADE_OP_WRITE_FILE_FAILED);
    QVERIFY(capture.warnings().contains(QStringLiteral("copyDir failed")));
    // Byte for byte, and no directory the copy made is left behind.
    QCOMPARE(unlocked(snapshot(app)), before);
    // The copy back succeeded: the temporary directory has gone.
    QVERIFY(!QFileInfo::exists(tmpDir));
}

void tst_TmpDirs::applyWithoutPacketDir()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString app = tmp.filePath(QStringLiteral("app"));
    const QString tmpDir = app + QLatin1String("/Tmp");
    QVERIFY(makeInstallation(app));
    QVERIFY(writeFile(tmpDir + QLatin1String("/packet.7z"), "archive"));
    const QMap<QString, QByteArray> before = snapshot(app);

    MessageCapture capture;
    QCOMPARE(upgradeTmpDirToDstDir(app, tmpDir, tmpDir + QLatin1String("/Packet"), tmpDir + QLatin1String("/Backup")),
             UPGRADE_OP_WRITE_FILE_FAILED);
    // Nothing to apply: the temporary directory stays, archive and all.
    QVERIFY(capture.warnings().constLast().startsWith(QStringLiteral("apply refused: no packet in")));
    QCOMPARE(snapshot(app), before);
}

void tst_TmpDirs::deleteTmpDir_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("result");
    QTest::newRow("missing") << "missing" << true;
    QTest::newRow("tree") << "tree" << true;
    QTest::newRow("link") << "link" << true;
    QTest::newRow("undeletable") << "undeletable" << false;
}

void tst_TmpDirs::deleteTmpDir()
{
    QFETCH(QString, kind);
    QFETCH(bool, result);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = tmp.filePath(QStringLiteral("base/"));
    const QString tmpDir = base + QLatin1String("Tmp");
    const QString outside = tmp.filePath(QStringLiteral("outside"));
    QVERIFY(writeFile(outside + QLatin1String("/precious"), "keep"));
    QVERIFY(QDir().mkpath(base));
    QScopedPointer<ImmutableFile> lock;
    if (kind == QLatin1String("tree") || kind == QLatin1String("undeletable")) {
        QVERIFY(writeFile(tmpDir + QLatin1String("/Packet/a"), "a"));
        QVERIFY(writeFile(tmpDir + QLatin1String("/Backup/b"), "b"));
        if (kind == QLatin1String("undeletable")) {
            lock.reset(new ImmutableFile(tmpDir + QLatin1String("/Backup/b")));
            if (!lock->isSet())
                QSKIP(lock->whyNotSet());
        }
    } else if (kind == QLatin1String("link")) {
        TVX_SKIP_WITHOUT_SYMLINKS();
        QVERIFY(QFile::link(outside, tmpDir));
    }

    MessageCapture capture;
    QCOMPARE(::deleteTmpDir(base), result);
    QCOMPARE(readFile(outside + QLatin1String("/precious")), QByteArray("keep"));
    if (result) {
        QVERIFY(!QFileInfo(tmpDir).isSymLink());
        QVERIFY(!QFileInfo::exists(tmpDir));
        QVERIFY(capture.warnings().isEmpty());
    } else {
        QCOMPARE(capture.warnings(), QStringList{ QLatin1String("Delete  \"") + base + QLatin1String("Tmp/\"  failed!") });
    }
}

void tst_TmpDirs::saveSolutionInfo()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = tmp.filePath(QStringLiteral("base"));
    const QString infoPath = base + QLatin1String("/Solutions/SolutionInfo.xml");
    QVERIFY(writeFile(infoPath, solutionInfo));
    QVERIFY(writeFile(base + QLatin1String("/Tmp/Packet/stale/file"), "staged earlier"));
    QVERIFY(writeFile(base + QLatin1String("/Tmp/packet.7z"), "archive"));

    ModuleVersion updated;
    updated.strId = QStringLiteral("Base");
    updated.strVersion = QStringLiteral("2.0");
    updated.llReleaseDate = 200;
    updated.nState = 1;
    ModuleVersion added;
    added.strId = QStringLiteral("Extra");
    added.strVersion = QStringLiteral("0.1");
    added.llReleaseDate = 50;
    added.nState = 2;

    QVERIFY(saveSolutionInfoToPacketDir(infoPath, base, { updated, added }));
    // The packet directory holds the one file; the installed file is unchanged.
    QCOMPARE(QDir(base + QLatin1String("/Tmp/Packet")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{ QStringLiteral("SolutionInfo.xml") });
    QCOMPARE(readFile(infoPath), QByteArray(solutionInfo));
    QVERIFY(QFileInfo::exists(base + QLatin1String("/Tmp/packet.7z")));

    QVector<ModuleVersion> staged;
    QVERIFY(getModuleVersionFromSolutionInfoFile(base + QLatin1String("/Tmp/Packet/SolutionInfo.xml"), staged));
    QCOMPARE(staged.size(), 2);
    QCOMPARE(staged.at(0).strVersion, QStringLiteral("2.0"));
    QCOMPARE(staged.at(0).llReleaseDate, qint64(200));
    QCOMPARE(staged.at(1).strId, QStringLiteral("Extra"));
    QCOMPARE(staged.at(1).nState, 2);
}

void tst_TmpDirs::saveSolutionInfoFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("warning");
    QTest::newRow("no solution file") << "no source" << "load ";
    QTest::newRow("Tmp is a file") << "tmp file" << "mkpath ";
    QTest::newRow("packet not removable") << "undeletable" << "removeRecursively ";
}

void tst_TmpDirs::saveSolutionInfoFailures()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = tmp.filePath(QStringLiteral("base"));
    const QString infoPath = base + QLatin1String("/Solutions/SolutionInfo.xml");
    if (kind != QLatin1String("no source"))
        QVERIFY(writeFile(infoPath, solutionInfo));
    if (kind == QLatin1String("tmp file"))
        QVERIFY(writeFile(base + QLatin1String("/Tmp"), "in the way"));
    QScopedPointer<ImmutableFile> lock;
    if (kind == QLatin1String("undeletable")) {
        QVERIFY(writeFile(base + QLatin1String("/Tmp/Packet/old"), "old"));
        lock.reset(new ImmutableFile(base + QLatin1String("/Tmp/Packet/old")));
        if (!lock->isSet())
            QSKIP(lock->whyNotSet());
    }

    MessageCapture capture;
    QVERIFY(!saveSolutionInfoToPacketDir(infoPath, base, {}));
    QVERIFY2(capture.warnings().first().startsWith(warning), qPrintable(capture.warnings().join(QLatin1Char('\n'))));
    if (kind != QLatin1String("no source")) {
        const QString packet = base + QDir::separator() + QLatin1String("Tmp/Packet/");
        QCOMPARE(capture.warnings(),
                 QStringList{ MessageCapture::logged(warning + QLatin1String(" \"") + packet + QLatin1String("\" failed")) });
    }
}

void tst_TmpDirs::applyPacketNothingStaged()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = tmp.filePath(QStringLiteral("base/"));
    const QString infoPath = base + QLatin1String("Solutions/SolutionInfo.xml");
    QVERIFY(writeFile(infoPath, solutionInfo));
    QVERIFY(writeFile(base + QLatin1String("Tmp/Packet/Other.xml"), "other"));
    const QMap<QString, QByteArray> before = snapshot(base);

    MessageCapture capture;
    QCOMPARE(applyPacketToSolutionDir(base, infoPath), UPGRADE_OP_NO_MODULE_NEED_UPDATE);
    QCOMPARE(snapshot(base), before);
    QVERIFY(capture.warnings().isEmpty());
}

void tst_TmpDirs::applyPacketSuccess()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = tmp.filePath(QStringLiteral("base"));
    const QString infoPath = base + QLatin1String("/Solutions/SolutionInfo.xml");
    QVERIFY(writeFile(infoPath, solutionInfo));
    QVERIFY(writeFile(base + QLatin1String("/Solutions/Base/plugin.so"), "old plugin"));
    ModuleVersion updated;
    updated.strId = QStringLiteral("Base");
    updated.strVersion = QStringLiteral("3.0");
    updated.llReleaseDate = 300;
    QVERIFY(saveSolutionInfoToPacketDir(infoPath, base, { updated }));
    QVERIFY(writeFile(base + QLatin1String("/Tmp/Packet/Base/plugin.so"), "new plugin"));
    const QByteArray stagedInfo = readFile(base + QLatin1String("/Tmp/Packet/SolutionInfo.xml"));

    MessageCapture capture;
    QCOMPARE(applyPacketToSolutionDir(base + QLatin1Char('/'), infoPath), UPGRADE_OP_SUCCESS);
    QVERIFY(capture.debugs().contains(QStringLiteral("copyDir success")));
    QVERIFY(capture.warnings().isEmpty());
    QCOMPARE(readFile(infoPath), stagedInfo);
    QCOMPARE(readFile(base + QLatin1String("/Solutions/Base/plugin.so")), QByteArray("new plugin"));
    QVERIFY(!QFileInfo::exists(base + QLatin1String("/Tmp")));
}

void tst_TmpDirs::applyPacketFailureRollsBack()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = tmp.filePath(QStringLiteral("base/"));
    const QString solutions = base + QLatin1String("Solutions");
    const QString infoPath = solutions + QLatin1String("/SolutionInfo.xml");
    QVERIFY(makeInstallation(solutions));
    QVERIFY(writeFile(infoPath, solutionInfo));
    QVERIFY(makePacket(base + QLatin1String("Tmp/Packet")));
    QVERIFY(writeFile(base + QLatin1String("Tmp/Packet/SolutionInfo.xml"), "staged"));
    QVERIFY(QFile::remove(solutions + QLatin1String("/d07/f003")));
    QVERIFY(QDir().mkpath(solutions + QLatin1String("/d07/f003")));
    const QMap<QString, QByteArray> before = snapshot(solutions);

    MessageCapture capture;
    QCOMPARE(applyPacketToSolutionDir(base, infoPath), UPGRADE_OP_WRITE_FILE_FAILED);
    QVERIFY(capture.warnings().contains(QStringLiteral("copyDir failed")));
    QCOMPARE(snapshot(solutions), before);
    QVERIFY(!QFileInfo::exists(base + QLatin1String("Tmp")));
}

void tst_TmpDirs::applyRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("result");
    QTest::newRow("lock held by another apply") << "locked" << int(UPGRADE_OP_LOCKED);
    QTest::newRow("solution lock held by another apply") << "solution locked" << int(UPGRADE_OP_LOCKED);
    QTest::newRow("packet outside the temporary directory") << "elsewhere" << int(UPGRADE_OP_WRITE_FILE_FAILED);
    QTest::newRow("solution directory outside the installation") << "outside" << int(UPGRADE_OP_WRITE_FILE_FAILED);
    QTest::newRow("journal cut in its last line") << "cut journal" << int(UPGRADE_OP_ROLLBACK_INCOMPLETE);
}

// Refused before anything changes: the installation and Tmp as they were.
void tst_TmpDirs::applyRefused()
{
    QFETCH(QString, kind);
    QFETCH(int, result);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString app = tmp.filePath(QStringLiteral("app"));
    const QString tmpDir = app + QLatin1String("/Tmp");
    QVERIFY(makeInstallation(app));
    QVERIFY(makePacket(tmpDir + QLatin1String("/Packet")));
    QVERIFY(writeFile(tmpDir + QLatin1String("/Packet/SolutionInfo.xml"), "staged"));
    QVERIFY(writeFile(app + QLatin1String("/Solutions/SolutionInfo.xml"), solutionInfo));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("other/SolutionInfo.xml")), solutionInfo));
    if (kind == QLatin1String("cut journal"))
        QVERIFY(writeFile(tmpDir + QLatin1String("/Journal"), "TVXJ 2\nD d\nF d/f"));
    CInstallLock other(app);
    if (kind.endsWith(QLatin1String("locked")))
        QVERIFY(other.tryLock());
    const QMap<QString, QByteArray> before = unlocked(snapshot(tmp.path()));

    QString why;
    if (kind.startsWith(QLatin1String("solution")) || kind == QLatin1String("outside")) {
        const QString info = kind == QLatin1String("outside") ? tmp.filePath(QStringLiteral("other/SolutionInfo.xml"))
                                                              : app + QLatin1String("/Solutions/SolutionInfo.xml");
        QCOMPARE(int(applyPacketToSolutionDir(app + QLatin1Char('/'), info, &why)), result);
    } else {
        const QString packet = kind == QLatin1String("elsewhere") ? app + QLatin1String("/d01") : tmpDir + QLatin1String("/Packet");
        QCOMPARE(int(upgradeTmpDirToDstDir(app, tmpDir, packet, tmpDir + QLatin1String("/Backup"), &why)), result);
    }
    QVERIFY(!why.isEmpty());
    QCOMPARE(unlocked(snapshot(tmp.path())), before);
}

QTEST_GUILESS_MAIN(tst_TmpDirs)
#include "tst_tmpdirs.moc"
