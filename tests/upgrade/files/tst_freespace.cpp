#include "upgrade/files/freespace.h"

#include "common/filetree.h"
#include "common/messagecapture.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

bool writeFile(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(QByteArray(int(size), 'x')) == size;
}

bool isRoot()
{
#ifdef Q_OS_UNIX
    return ::geteuid() == 0;
#else
    return false;
#endif
}

// Takes the write permission off a file and gives it back afterwards.
class ReadOnlyFile
{
public:
    explicit ReadOnlyFile(const QString &path) : m_path(path), m_permissions(QFile::permissions(path))
    {
        QFile::setPermissions(path, m_permissions & ~(QFile::WriteOwner | QFile::WriteUser | QFile::WriteGroup
                                                      | QFile::WriteOther));
    }
    ~ReadOnlyFile() { QFile::setPermissions(m_path, m_permissions); }

private:
    Q_DISABLE_COPY(ReadOnlyFile)
    QString m_path;
    QFile::Permissions m_permissions;
};

} // namespace

class tst_FreeSpace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void getDirSize_data();
    void getDirSize();
    void dirSizeDebugMessages();
    void isDiskSpaceEnough_data();
    void isDiskSpaceEnough();
    void diskFreeSpace();
    void nothingStagedPassesAnyVolume();
    void notEnoughSpace();
    void backupDirectory_data();
    void backupDirectory();
    void readOnlyExecutable();
};

void tst_FreeSpace::getDirSize_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("measured");
    QTest::addColumn<int>("countBefore");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("countAfter");

    QTest::newRow("missing") << "" << "nope" << 5 << qint64(0) << 5;
    // A single file sets the counter instead of adding to it.
    QTest::newRow("one file") << "f:10" << "f" << 5 << qint64(10) << 1;
    QTest::newRow("empty directory") << "d/" << "d" << 0 << qint64(0) << 0;
    QTest::newRow("tree adds to the counter") << "d/a:1,d/s/b:20,d/s/t/c:300" << "d" << 2 << qint64(321) << 5;
    QTest::newRow("hidden files and directories") << "d/.h:4,d/.hd/x:5,d/v:6" << "d" << 0 << qint64(15) << 3;
    QTest::newRow("empty file counts") << "d/zero:0,d/one:1" << "d" << 0 << qint64(1) << 2;
    // A link to a file counts as the file it names; a link to a directory,
    // even one that makes a cycle, is not descended.
    QTest::newRow("link to a file") << "d/a:7,d/l->a" << "d" << 0 << qint64(14) << 2;
    QTest::newRow("link cycle") << "d/s/a:3,d/s/up->..,d/s/self->." << "d" << 0 << qint64(3) << 1;
    QTest::newRow("link to an outside tree") << "o/big:1000,d/a:1,d/out->../o" << "d" << 0 << qint64(1) << 1;
    QTest::newRow("dangling link") << "d/a:2,d/gone->nothing" << "d" << 0 << qint64(2) << 1;
}

void tst_FreeSpace::getDirSize()
{
    QFETCH(QString, layout);
    QFETCH(QString, measured);
    QFETCH(int, countBefore);
    QFETCH(qint64, size);
    QFETCH(int, countAfter);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    if (layout.contains(QLatin1String("->")))
        TVX_SKIP_WITHOUT_SYMLINKS();
    const QStringList items = layout.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const QString path = tmp.filePath(item.section(QLatin1Char(':'), 0, 0).section(QLatin1String("->"), 0, 0));
        if (item.contains(QLatin1String("->"))) {
            QVERIFY(QFile::link(item.section(QLatin1String("->"), 1), path));
        } else if (item.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
        } else {
            QVERIFY(writeFile(path, item.section(QLatin1Char(':'), 1).toLongLong()));
        }
    }

    int count = countBefore;
    QCOMPARE(::getDirSize(tmp.filePath(measured), count), size);
    QCOMPARE(count, countAfter);
}

void tst_FreeSpace::dirSizeDebugMessages()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = tmp.filePath(QStringLiteral("d"));
    QVERIFY(writeFile(root + QLatin1String("/own"), 10));
    QVERIFY(writeFile(root + QLatin1String("/b/x"), 5));
    QVERIFY(writeFile(root + QLatin1String("/A/y"), 7));

    MessageCapture capture;
    int count = 0;
    QCOMPARE(::getDirSize(root, count), qint64(22));
    // Listed by name ignoring case; each message carries the running total.
    const QString sep = QDir::separator();
    QCOMPARE(capture.debugs(),
             QStringList({ MessageCapture::logged(QLatin1Char('"') + root + sep + QLatin1String("A\"  size is  17")),
                           MessageCapture::logged(QLatin1Char('"') + root + sep + QLatin1String("b\"  size is  22")) }));
}

void tst_FreeSpace::isDiskSpaceEnough_data()
{
    QTest::addColumn<qint64>("free");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("enough");
    const qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("nothing staged, no space") << qint64(0) << qint64(0) << true;
    QTest::newRow("exactly twice") << qint64(200) << qint64(100) << true;
    QTest::newRow("one byte short") << qint64(199) << qint64(100) << false;
    QTest::newRow("one byte, nothing free") << qint64(0) << qint64(1) << false;
    QTest::newRow("twice would overflow") << max << max / 2 + 1 << false;
    QTest::newRow("largest that fits") << max - 1 << max / 2 << true;
}

void tst_FreeSpace::isDiskSpaceEnough()
{
    QFETCH(qint64, free);
    QFETCH(qint64, total);
    QFETCH(bool, enough);
    QCOMPARE(::isDiskSpaceEnough(free, total), enough);
}

void tst_FreeSpace::diskFreeSpace()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(getDiskFreeSpace(tmp.path()) > 0);
    QCOMPARE(getDiskFreeSpace(tmp.filePath(QStringLiteral("no/such/dir"))), qint64(0));
}

void tst_FreeSpace::nothingStagedPassesAnyVolume()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString tmpDir = tmp.filePath(QStringLiteral("Tmp"));
    QVERIFY(QDir().mkpath(tmpDir + QLatin1String("/Packet/empty")));
    const QString backup = tmpDir + QLatin1String("/Backup");

    MessageCapture capture;
    // An application directory that does not exist has no valid volume: 0 bytes free.
    QVERIFY(testCanUpgrade(tmp.filePath(QStringLiteral("no/such/app")), tmpDir, backup));
    QVERIFY(QFileInfo(backup).isDir());
    QVERIFY(capture.warnings().isEmpty());
    const QStringList debugs = capture.debugs();
    QVERIFY(debugs.contains(QStringLiteral("app dir can be write")));
    QVERIFY(debugs.contains(QStringLiteral("0 files in directory, toatal size is  0")));
    QVERIFY(debugs.contains(QStringLiteral("RemainSize size is  0")));
}

void tst_FreeSpace::notEnoughSpace()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString tmpDir = tmp.filePath(QStringLiteral("Tmp"));
    QVERIFY(QDir().mkpath(tmpDir));
    const qint64 free = getDiskFreeSpace(tmp.path());
    QVERIFY(free > 0);
    // A sparse file announces as many bytes as the volume has free, without using them.
    QFile sparse(tmpDir + QLatin1String("/huge.7z"));
    QVERIFY(sparse.open(QIODevice::WriteOnly));
    QVERIFY(sparse.resize(free));
    sparse.close();

    const QString backup = tmpDir + QLatin1String("/Backup");
    MessageCapture capture;
    QVERIFY(!testCanUpgrade(tmp.path(), tmpDir, backup));
    QCOMPARE(capture.warnings(), QStringList{ QStringLiteral("Driver space does not enough") });
    QVERIFY(capture.debugs().contains(QLatin1String("1 files in directory, toatal size is  ") + QString::number(free)));
    QVERIFY(!QFileInfo::exists(backup));
}

void tst_FreeSpace::backupDirectory_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("result");
    QTest::newRow("created") << "missing" << true;
    QTest::newRow("left over, counted and kept") << "leftover" << true;
    QTest::newRow("temporary directory missing") << "no tmp" << false;
    QTest::newRow("a file in its place") << "file" << false;
}

void tst_FreeSpace::backupDirectory()
{
    QFETCH(QString, state);
    QFETCH(bool, result);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString tmpDir = tmp.filePath(QStringLiteral("Tmp"));
    const QString backup = tmpDir + QLatin1String("/Backup");
    if (state != QLatin1String("no tmp"))
        QVERIFY(writeFile(tmpDir + QLatin1String("/Packet/a"), 100));
    if (state == QLatin1String("leftover"))
        QVERIFY(writeFile(backup + QLatin1String("/old"), 50));
    if (state == QLatin1String("file"))
        QVERIFY(writeFile(backup, 1));

    MessageCapture capture;
    QCOMPARE(testCanUpgrade(tmp.path(), tmpDir, backup), result);
    if (result) {
        QVERIFY(QFileInfo(backup).isDir());
        QVERIFY(capture.warnings().isEmpty());
    } else {
        QCOMPARE(capture.warnings(), QStringList{ QLatin1String("mkdir  \"") + backup + QLatin1String("\"  failed!") });
    }
    if (state == QLatin1String("leftover")) {
        QVERIFY(QFileInfo::exists(backup + QLatin1String("/old")));
        QVERIFY(capture.debugs().contains(QStringLiteral("2 files in directory, toatal size is  150")));
    }
}

void tst_FreeSpace::readOnlyExecutable()
{
    if (isRoot())
        QSKIP("root can write any file");
    ReadOnlyFile readOnly(QCoreApplication::applicationFilePath());
    // Only the owner may take the write permission away; in a build tree
    // shared with other users the program may belong to someone else.
    if (QFileInfo(QCoreApplication::applicationFilePath()).isWritable())
        QSKIP("the test program belongs to another user, who alone can make it read-only");
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(!isAppFileWritable());
    MessageCapture capture;
    QVERIFY(!testCanUpgrade(tmp.path(), tmp.path(), tmp.filePath(QStringLiteral("Backup"))));
    QCOMPARE(capture.warnings(), QStringList{ QStringLiteral("app dir can not be write") });
    QVERIFY(capture.debugs().isEmpty());
    QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("Backup"))));
}

QTEST_GUILESS_MAIN(tst_FreeSpace)
#include "tst_freespace.moc"
