#include "upgrade/files/safecopy.h"

#include "common/filetree.h"
#include "common/messagecapture.h"

#include <QtTest>

using FileTree::ImmutableFile;
using FileTree::readFile;
using FileTree::snapshot;
using FileTree::writeFile;

namespace {

const QChar sep = QDir::separator();

QString native(const QString &path) { return QDir::toNativeSeparators(path); }

} // namespace

class tst_SafeCopy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingSource_data();
    void missingSource();
    void safetyNeedsParam_data();
    void safetyNeedsParam();
    void emptySource_data();
    void emptySource();
    void safetyBackupMirrorsDestination();
    void copiesHiddenAndLeavesSourceAndExtras();
    void backupPathTaken();
    void dirNameTakenByFile_data();
    void dirNameTakenByFile();
    void undeletableDestination_data();
    void undeletableDestination();
    void acrossVolumes_data();
    void acrossVolumes();
};

void tst_SafeCopy::missingSource_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<bool>("emptyPath");
    QTest::newRow("normal") << uint(COPY_DIR_NORMAL) << false;
    QTest::newRow("safety") << uint(COPY_DIR_SAFETY) << false;
    QTest::newRow("continue") << uint(COPY_DIR_CONTINUE_ON_ERROR) << false;
    // "" must not be taken for the current directory.
    QTest::newRow("empty path") << uint(COPY_DIR_NORMAL) << true;
}

void tst_SafeCopy::missingSource()
{
    QFETCH(uint, mode);
    QFETCH(bool, emptyPath);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    CopyDirParam param;
    param.strBackupDir = tmp.filePath(QStringLiteral("bak"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));

    MessageCapture capture;
    QVERIFY(!safeCopyDir(emptyPath ? QString() : tmp.filePath(QStringLiteral("nope")), dst, mode, &param));
    QCOMPARE(capture.warnings(), QStringList{ QStringLiteral("srcDir is Empty") });
    QVERIFY(!QFileInfo::exists(dst));
    QVERIFY(!QFileInfo::exists(param.strBackupDir));
    QVERIFY(param.vecCreatedPath.isEmpty());
}

void tst_SafeCopy::safetyNeedsParam_data()
{
    QTest::addColumn<bool>("hasParam");
    QTest::newRow("null param") << false;
    QTest::newRow("empty backup dir") << true;
}

void tst_SafeCopy::safetyNeedsParam()
{
    QFETCH(bool, hasParam);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("src/a.txt")), "a"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));
    CopyDirParam param;

    MessageCapture capture;
    QVERIFY(!safeCopyDir(tmp.filePath(QStringLiteral("src")), dst, COPY_DIR_SAFETY, hasParam ? &param : nullptr));
    QCOMPARE(capture.warnings(),
             QStringList{ QStringLiteral("copy safety need pCopyDirParam and pCopyDirParam->strBackupDir can't be empty") });
    QVERIFY(!QFileInfo::exists(dst));
    QVERIFY(param.vecCreatedPath.isEmpty());
}

void tst_SafeCopy::emptySource_data()
{
    QTest::addColumn<uint>("mode");
    QTest::newRow("normal") << uint(COPY_DIR_NORMAL);
    QTest::newRow("safety") << uint(COPY_DIR_SAFETY);
    QTest::newRow("continue") << uint(COPY_DIR_CONTINUE_ON_ERROR);
}

void tst_SafeCopy::emptySource()
{
    QFETCH(uint, mode);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("src"))));
    const QString dst = tmp.filePath(QStringLiteral("new/dst"));
    CopyDirParam param;
    param.strBackupDir = tmp.filePath(QStringLiteral("bak"));

    QVERIFY(safeCopyDir(tmp.filePath(QStringLiteral("src")), dst, mode, &param));
    QVERIFY(QFileInfo(dst).isDir());
    if (mode == COPY_DIR_SAFETY) {
        QCOMPARE(param.vecCreatedPath, QVector<QString>{ native(dst) + sep });
        QVERIFY(QFileInfo(param.strBackupDir).isDir());
        QCOMPARE(param.strBackupDir, native(tmp.filePath(QStringLiteral("bak"))) + sep);
    } else {
        QVERIFY(param.vecCreatedPath.isEmpty());
        QVERIFY(!QFileInfo::exists(param.strBackupDir));
    }
}

void tst_SafeCopy::safetyBackupMirrorsDestination()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString src = tmp.filePath(QStringLiteral("src"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));
    const QString bak = tmp.filePath(QStringLiteral("bak"));
    QVERIFY(writeFile(src + QLatin1String("/a.txt"), "new a"));
    QVERIFY(writeFile(src + QLatin1String("/B/b1.txt"), "new b1"));
    QVERIFY(writeFile(src + QLatin1String("/B/deep/d.txt"), "new d"));
    QVERIFY(writeFile(src + QLatin1String("/c.txt"), "new c"));
    QVERIFY(writeFile(src + QLatin1String("/new/n.txt"), "new n"));
    QVERIFY(writeFile(dst + QLatin1String("/a.txt"), "old a"));
    QVERIFY(writeFile(dst + QLatin1String("/B/b1.txt"), "old b1"));
    QVERIFY(QDir().mkpath(dst + QLatin1String("/B/deep")));
    QVERIFY(writeFile(dst + QLatin1String("/only-in-dst.txt"), "mine"));

    CopyDirParam param;
    param.strBackupDir = bak + QLatin1String("/");
    MessageCapture capture;
    QVERIFY(safeCopyDir(src, dst, COPY_DIR_SAFETY, &param));
    QVERIFY(capture.warnings().isEmpty());

    const QString d = native(dst) + sep;
    const QVector<QString> expectedCreated = {
        d + QLatin1String("a.txt"),
        d + QLatin1String("B") + sep + QLatin1String("b1.txt"),
        d + QLatin1String("B") + sep + QLatin1String("deep") + sep + QLatin1String("d.txt"),
        d + QLatin1String("c.txt"),
        d + QLatin1String("new") + sep,
        d + QLatin1String("new") + sep + QLatin1String("n.txt"),
    };
    QCOMPARE(param.vecCreatedPath, expectedCreated);
    QCOMPARE(param.strBackupDir, native(bak) + sep);

    // Replaced files are in the backup at the same relative path; every
    // source directory entered has its backup directory, even an empty one.
    QMap<QString, QByteArray> expectedBackup;
    expectedBackup.insert(QStringLiteral("a.txt"), "old a");
    expectedBackup.insert(QStringLiteral("B"), "<dir>");
    expectedBackup.insert(QStringLiteral("B/b1.txt"), "old b1");
    expectedBackup.insert(QStringLiteral("B/deep"), "<dir>");
    expectedBackup.insert(QStringLiteral("new"), "<dir>");
    QCOMPARE(snapshot(bak), expectedBackup);

    QCOMPARE(readFile(dst + QLatin1String("/a.txt")), QByteArray("new a"));
    QCOMPARE(readFile(dst + QLatin1String("/B/deep/d.txt")), QByteArray("new d"));
    QCOMPARE(readFile(dst + QLatin1String("/only-in-dst.txt")), QByteArray("mine"));
}

void tst_SafeCopy::copiesHiddenAndLeavesSourceAndExtras()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString src = tmp.filePath(QStringLiteral("src"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));
    QVERIFY(writeFile(src + QLatin1String("/.hidden"), "h"));
    QVERIFY(writeFile(src + QLatin1String("/.hiddendir/x"), "x"));
    QVERIFY(writeFile(src + QLatin1String("/plain"), "new"));
    QVERIFY(writeFile(src + QLatin1String("/target.txt"), "target"));
    TVX_SKIP_WITHOUT_SYMLINKS();
    QVERIFY(QFile::link(QStringLiteral("target.txt"), src + QLatin1String("/link.txt")));
    QVERIFY(QFile::setPermissions(src + QLatin1String("/plain"), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser));
    QVERIFY(writeFile(dst + QLatin1String("/plain"), "old"));
    QVERIFY(writeFile(dst + QLatin1String("/extra"), "extra"));
    const QMap<QString, QByteArray> before = snapshot(src);

    QVERIFY(safeCopyDir(src, dst, COPY_DIR_NORMAL, nullptr));
    QCOMPARE(snapshot(src), before);
    QMap<QString, QByteArray> expected = before;
    expected.insert(QStringLiteral("extra"), "extra");
    // A link is copied as the file it points at; permissions travel along.
    expected.insert(QStringLiteral("link.txt"), "target");
    QCOMPARE(snapshot(dst), expected);
    QVERIFY(QFileInfo(dst + QLatin1String("/plain")).permission(QFile::ExeOwner));
}

void tst_SafeCopy::backupPathTaken()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString src = tmp.filePath(QStringLiteral("src"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));
    const QString bak = tmp.filePath(QStringLiteral("bak"));
    QVERIFY(writeFile(src + QLatin1String("/a.txt"), "new"));
    QVERIFY(writeFile(src + QLatin1String("/b.txt"), "new b"));
    QVERIFY(writeFile(dst + QLatin1String("/a.txt"), "old"));
    QVERIFY(writeFile(bak + QLatin1String("/a.txt"), "stale backup"));

    CopyDirParam param;
    param.strBackupDir = bak;
    MessageCapture capture;
    QVERIFY(!safeCopyDir(src, dst, COPY_DIR_SAFETY, &param));
    const QString backupPath = native(bak) + sep + QLatin1String("a.txt");
    QCOMPARE(capture.warnings(),
             QStringList{ MessageCapture::logged(QLatin1String("copy file to  \"") + backupPath + QLatin1String("\" failed!")) });
    // Copying never overwrites: the stale backup and the destination are unchanged.
    QCOMPARE(readFile(backupPath), QByteArray("stale backup"));
    QCOMPARE(readFile(dst + QLatin1String("/a.txt")), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(dst + QLatin1String("/b.txt")));
    QVERIFY(param.vecCreatedPath.isEmpty());
    QCOMPARE(param.strBackupDir, native(bak) + sep);
}

void tst_SafeCopy::dirNameTakenByFile_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("laterCopied");
    QTest::newRow("normal") << uint(COPY_DIR_NORMAL) << false << false;
    QTest::newRow("safety") << uint(COPY_DIR_SAFETY) << false << false;
    QTest::newRow("continue") << uint(COPY_DIR_CONTINUE_ON_ERROR) << false << true;
}

void tst_SafeCopy::dirNameTakenByFile()
{
    QFETCH(uint, mode);
    QFETCH(bool, result);
    QFETCH(bool, laterCopied);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString src = tmp.filePath(QStringLiteral("src"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));
    QVERIFY(writeFile(src + QLatin1String("/m/inner.txt"), "inner"));
    QVERIFY(writeFile(src + QLatin1String("/z.txt"), "z"));
    QVERIFY(writeFile(dst + QLatin1String("/m"), "a file named like the directory"));

    CopyDirParam param;
    param.strBackupDir = tmp.filePath(QStringLiteral("bak"));
    MessageCapture capture;
    QCOMPARE(safeCopyDir(src, dst, mode, &param), result);
    const QString d = native(dst) + sep + QLatin1String("m") + sep;
    QVERIFY2(capture.warnings().contains(MessageCapture::logged(QLatin1String("mkpath  \"") + d + QLatin1String("\" failed"))),
             qPrintable(capture.warnings().join(QLatin1Char('\n'))));
    QCOMPARE(QFileInfo::exists(dst + QLatin1String("/z.txt")), laterCopied);
    QCOMPARE(readFile(dst + QLatin1String("/m")), QByteArray("a file named like the directory"));
}

void tst_SafeCopy::undeletableDestination_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<bool>("immutable");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("laterCopied");

    // A directory where a file is expected cannot be copied to the backup,
    // nor deleted as a file.
    QTest::newRow("directory, normal") << uint(COPY_DIR_NORMAL) << false << "delete file " << false;
    QTest::newRow("directory, safety") << uint(COPY_DIR_SAFETY) << false << "copy file to " << false;
    QTest::newRow("directory, continue") << uint(COPY_DIR_CONTINUE_ON_ERROR) << false << "delete file " << true;
    QTest::newRow("directory, unknown mode") << 7u << false << "delete file " << false;
    // An immutable file can be backed up but not deleted.
    QTest::newRow("immutable, normal") << uint(COPY_DIR_NORMAL) << true << "delete file " << false;
    QTest::newRow("immutable, safety") << uint(COPY_DIR_SAFETY) << true << "delete file " << false;
    QTest::newRow("immutable, continue") << uint(COPY_DIR_CONTINUE_ON_ERROR) << true << "delete file " << true;
}

void tst_SafeCopy::undeletableDestination()
{
    QFETCH(uint, mode);
    QFETCH(bool, immutable);
    QFETCH(QString, warning);
    QFETCH(bool, laterCopied);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString src = tmp.filePath(QStringLiteral("src"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));
    const QString bak = tmp.filePath(QStringLiteral("bak"));
    QVERIFY(writeFile(src + QLatin1String("/a.txt"), "new a"));
    QVERIFY(writeFile(src + QLatin1String("/k.txt"), "new k"));
    QVERIFY(writeFile(src + QLatin1String("/z.txt"), "new z"));
    QVERIFY(writeFile(dst + QLatin1String("/a.txt"), "old a"));
    if (immutable)
        QVERIFY(writeFile(dst + QLatin1String("/k.txt"), "old k"));
    else
        QVERIFY(writeFile(dst + QLatin1String("/k.txt/inside"), "in a directory"));

    QScopedPointer<ImmutableFile> lock;
    if (immutable) {
        lock.reset(new ImmutableFile(dst + QLatin1String("/k.txt")));
        if (!lock->isSet())
            QSKIP(lock->whyNotSet());
    }

    CopyDirParam param;
    param.strBackupDir = bak;
    MessageCapture capture;
    QVERIFY(!safeCopyDir(src, dst, mode, &param));
    const QString k = native(dst) + sep + QLatin1String("k.txt");
    const QString bakK = native(bak) + sep + QLatin1String("k.txt");
    const QString target = warning == QLatin1String("copy file to ") ? bakK : k;
    QVERIFY2(capture.warnings().contains(MessageCapture::logged(warning + QLatin1String(" \"") + target + QLatin1String("\" failed!"))),
             qPrintable(capture.warnings().join(QLatin1Char('\n'))));

    // Entries before the failure are copied; after it only in continue mode.
    QCOMPARE(readFile(dst + QLatin1String("/a.txt")), QByteArray("new a"));
    QCOMPARE(QFileInfo::exists(dst + QLatin1String("/z.txt")), laterCopied);
    if (mode == COPY_DIR_SAFETY) {
        // The file that stayed has no backup to be copied back over it.
        QVERIFY(!QFileInfo::exists(bakK));
        QCOMPARE(readFile(bak + QLatin1String("/a.txt")), QByteArray("old a"));
        QCOMPARE(param.vecCreatedPath, QVector<QString>{ native(dst) + sep + QLatin1String("a.txt") });
    } else {
        QVERIFY(!QFileInfo::exists(bak));
    }
    if (immutable)
        QCOMPARE(readFile(dst + QLatin1String("/k.txt")), QByteArray("old k"));
    else
        QCOMPARE(readFile(dst + QLatin1String("/k.txt/inside")), QByteArray("in a directory"));
}

void tst_SafeCopy::acrossVolumes_data()
{
    QTest::addColumn<bool>("otherVolume");
    QTest::newRow("one volume") << false;
    // Source and backup on a second volume: no hard link, no clone.
    QTest::newRow("source and backup on another volume") << true;
}

void tst_SafeCopy::acrossVolumes()
{
    QFETCH(bool, otherVolume);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QScopedPointer<QTemporaryDir> other;
    if (otherVolume) {
        const QString shm = QStringLiteral("/dev/shm");
        if (!QFileInfo(shm).isDir() || QStorageInfo(shm) == QStorageInfo(tmp.path()))
            QSKIP("no second volume");
        other.reset(new QTemporaryDir(shm + QLatin1String("/tst_safecopy-XXXXXX")));
        QVERIFY(other->isValid());
    }
    const QString elsewhere = otherVolume ? other->path() : tmp.path();
    const QString src = elsewhere + QLatin1String("/src");
    const QString bak = elsewhere + QLatin1String("/bak");
    const QString dst = tmp.filePath(QStringLiteral("dst"));

    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char((quint32(i) * 7919u) >> 3);
    QVERIFY(writeFile(src + QLatin1String("/big.bin"), big));
    QVERIFY(writeFile(src + QLatin1String("/run"), "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(src + QLatin1String("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(writeFile(dst + QLatin1String("/big.bin"), "old big"));
    QVERIFY(writeFile(dst + QLatin1String("/run"), "old run"));
    QVERIFY(QFile::setPermissions(dst + QLatin1String("/run"), QFile::ReadOwner | QFile::WriteOwner));
#ifdef Q_OS_WIN
    // Windows files have no execute permission to carry over.
    const QFile::Permissions execute;
#else
    const QFile::Permissions execute = QFile::ExeOwner;
#endif

    CopyDirParam param;
    param.strBackupDir = bak;
    QVERIFY(safeCopyDir(src, dst, COPY_DIR_SAFETY, &param));
    QCOMPARE(readFile(dst + QLatin1String("/big.bin")), big);
    QCOMPARE(QFile::permissions(dst + QLatin1String("/run")) & 0x7000, QFile::ReadOwner | QFile::WriteOwner | execute);
    QCOMPARE(readFile(bak + QLatin1String("/big.bin")), QByteArray("old big"));
    QCOMPARE(readFile(bak + QLatin1String("/run")), QByteArray("old run"));
    QCOMPARE(QFile::permissions(bak + QLatin1String("/run")) & 0x7000, QFile::ReadOwner | QFile::WriteOwner);

    // And back, as a rollback does.
    QVERIFY(safeCopyDir(bak, dst, COPY_DIR_CONTINUE_ON_ERROR, nullptr));
    QCOMPARE(readFile(dst + QLatin1String("/big.bin")), QByteArray("old big"));
    QCOMPARE(QFile::permissions(dst + QLatin1String("/run")) & 0x7000, QFile::ReadOwner | QFile::WriteOwner);
}

QTEST_GUILESS_MAIN(tst_SafeCopy)
#include "tst_safecopy.moc"
