#include "platform/platformnames.h"
#include "upgrade/files/archive.h"

#include "common/filetree.h"
#include "common/processend.h"
#include "common/messagecapture.h"

#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;

// do7z against the real 7z beside the test binary, on archives made here
// with "7z a".
class tst_Archive : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void extractWithBlanks();
    void overwritesExisting();
    void missingTool();
    void crashingTool();
    void refusedArchive_data();
    void refusedArchive();
    void dotDotEntryStaysInside();

private:
    static QString sevenZip() { return QCoreApplication::applicationDirPath() + QLatin1Char('/') + PlatformNames::sevenZipFileName(); }
    static bool pack(const QString &workDir, const QStringList &args);
};

bool tst_Archive::pack(const QString &workDir, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    startProcess(p, sevenZip(), QStringList{ QStringLiteral("a") } + args);
    p.closeWriteChannel();
    if (!waitForProcessEnd(p, 60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("7z a failed: %s", p.readAll().constData());
        return false;
    }
    return true;
}

void tst_Archive::initTestCase()
{
    QVERIFY2(QFileInfo(sevenZip()).isExecutable(), qPrintable(sevenZip()));
}

void tst_Archive::extractWithBlanks()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString src = tmp.filePath(QStringLiteral("my src"));
    QVERIFY(writeFile(src + QLatin1String("/top.txt"), "top"));
    QVERIFY(writeFile(src + QLatin1String("/sub dir/inner file.bin"), QByteArray(70000, 'x')));
    QVERIFY(writeFile(src + QLatin1String("/.hidden"), "hidden"));

    const QString archive = tmp.filePath(QStringLiteral("packet with blanks.7z"));
    QVERIFY(pack(src, { archive, QStringLiteral("*") }));

    const QString out = tmp.filePath(QStringLiteral("out dir/Packet"));
    MessageCapture capture;
    QVERIFY(do7z(sevenZip(), archive, out));
    QCOMPARE(readFile(out + QLatin1String("/top.txt")), QByteArray("top"));
    QCOMPARE(readFile(out + QLatin1String("/sub dir/inner file.bin")), QByteArray(70000, 'x'));
    QCOMPARE(readFile(out + QLatin1String("/.hidden")), QByteArray("hidden"));
    QVERIFY(capture.warnings().isEmpty());
    // The output directory travels glued to -o, as one argument.
    const QStringList debugs = capture.debugs();
    QCOMPARE(debugs.size(), 1);
    QVERIFY2(debugs.first().contains(QLatin1String("\"-o") + out + QLatin1Char('"')), qPrintable(debugs.first()));
    QVERIFY(debugs.first().startsWith(QLatin1String("excute 7z  (\"x\", ")));
}

void tst_Archive::overwritesExisting()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("src/a.txt")), "new content"));
    const QString archive = tmp.filePath(QStringLiteral("p.7z"));
    QVERIFY(pack(tmp.filePath(QStringLiteral("src")), { archive, QStringLiteral("a.txt") }));

    const QString out = tmp.filePath(QStringLiteral("out"));
    QVERIFY(writeFile(out + QLatin1String("/a.txt"), "old"));
    QVERIFY(writeFile(out + QLatin1String("/keep.txt"), "keep"));
    QVERIFY(do7z(sevenZip(), archive, out));
    QCOMPARE(readFile(out + QLatin1String("/a.txt")), QByteArray("new content"));
    QCOMPARE(readFile(out + QLatin1String("/keep.txt")), QByteArray("keep"));
}

void tst_Archive::missingTool()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString out = tmp.filePath(QStringLiteral("out"));
    MessageCapture capture;
    QVERIFY(!do7z(tmp.filePath(QStringLiteral("no such dir/7z")), tmp.filePath(QStringLiteral("p.7z")), out));
    const QStringList warnings = capture.warnings();
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QLatin1String("7z  (\"x\", ")), qPrintable(warnings.first()));
    QVERIFY(warnings.first().contains(QLatin1String(")  start failed! error is  \"")));
    QVERIFY(!QFileInfo::exists(out));
}

void tst_Archive::crashingTool()
{
#ifdef Q_OS_WIN
    QSKIP("the crashing stand-in for 7z is a shell script");
#endif
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString tool = tmp.filePath(QStringLiteral("7z"));
    QVERIFY(writeFile(tool, "#!/bin/sh\nkill -SEGV $$\n"));
    QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    MessageCapture capture;
    QVERIFY(!do7z(tool, tmp.filePath(QStringLiteral("p.7z")), tmp.filePath(QStringLiteral("out"))));
    const QStringList warnings = capture.warnings();
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QLatin1String("excute 7z  (")), qPrintable(warnings.first()));
    QVERIFY(warnings.first().endsWith(QLatin1String(")  failed!")));
}

// Every refusal of the tool is a failure: a half-unpacked packet must never
// be applied.
void tst_Archive::refusedArchive_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("corrupt") << "corrupt" << 2;
    QTest::newRow("truncated") << "truncated" << 2;
    QTest::newRow("not an archive") << "text" << 2;
    QTest::newRow("missing archive") << "missing" << 2;
    // Asked for a password, the tool meets the end of its input and stops.
    QTest::newRow("password") << "password" << 255;
    QTest::newRow("link out of the output directory") << "link" << 2;
    // Only 7z archives are packets; 7z itself would unpack these.
    QTest::newRow("gzip") << "gzip" << 2;
    QTest::newRow("zip") << "zip" << 2;
    QTest::newRow("tar") << "tar" << 2;
}

void tst_Archive::refusedArchive()
{
    QFETCH(QString, kind);
    QFETCH(int, exitCode);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString src = tmp.filePath(QStringLiteral("src"));
    QVERIFY(writeFile(src + QLatin1String("/data.bin"), QByteArray(200000, 'd')));
    const QString archive = tmp.filePath(QStringLiteral("p.7z"));

    if (kind == QLatin1String("corrupt") || kind == QLatin1String("truncated")) {
        // Stored, so that the damage hits file data and the CRC check.
        QVERIFY(pack(src, { QStringLiteral("-mx0"), archive, QStringLiteral("data.bin") }));
        QFile f(archive);
        QVERIFY(f.open(QIODevice::ReadWrite));
        if (kind == QLatin1String("corrupt")) {
            QVERIFY(f.seek(1000));
            QVERIFY(f.write(QByteArray(64, '\xA5')) == 64);
        } else {
            QVERIFY(f.resize(f.size() / 2));
        }
    } else if (kind == QLatin1String("text")) {
        QVERIFY(writeFile(archive, "this is not an archive\n"));
    } else if (kind == QLatin1String("password")) {
        QVERIFY(pack(src, { QStringLiteral("-psecret"), archive, QStringLiteral("data.bin") }));
    } else if (kind == QLatin1String("gzip") || kind == QLatin1String("zip") || kind == QLatin1String("tar")) {
#ifdef Q_OS_WIN
        QSKIP("The 7z.exe shipped on Windows is the 7z-only build: it can neither make nor open this kind");
#endif
        QVERIFY(pack(src, { QLatin1String("-t") + kind, archive, QStringLiteral("data.bin") }));
    } else if (kind == QLatin1String("link")) {
        TVX_SKIP_WITHOUT_SYMLINKS();
        QVERIFY(QFile::link(QStringLiteral("../../outside.txt"), src + QLatin1String("/escape")));
        QVERIFY(pack(src, { QStringLiteral("-snl"), archive, QStringLiteral("escape") }));
    }

    const QString out = tmp.filePath(QStringLiteral("work/out"));
    MessageCapture capture;
    QVERIFY(!do7z(sevenZip(), archive, out));
    const QStringList warnings = capture.warnings();
    QCOMPARE(warnings.size(), 1);
    const QString expected = QLatin1String(")  failed! exit code is  ") + QString::number(exitCode) + QLatin1Char(' ');
    QVERIFY2(warnings.first().contains(expected), qPrintable(warnings.first()));

    // Nothing lands beside the output directory, and no link leaves it.
    QCOMPARE(QDir(tmp.filePath(QStringLiteral("work"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
             QFileInfo::exists(out) ? QStringList{ QStringLiteral("out") } : QStringList());
    QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("outside.txt"))));
    QVERIFY(!QFileInfo(out + QLatin1String("/escape")).isSymLink());
}

// 7z drops ".." parts of entry names: the entry lands inside the output
// directory and the extraction succeeds.
void tst_Archive::dotDotEntryStaysInside()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("src/evil.txt")), "evil"));
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("src/sub"))));
    const QString archive = tmp.filePath(QStringLiteral("dotdot.7z"));
    // -spf keeps the name as given, "../evil.txt".
    QVERIFY(pack(tmp.filePath(QStringLiteral("src/sub")), { QStringLiteral("-spf"), archive, QStringLiteral("../evil.txt") }));
    QProcess list;
    startProcess(list, sevenZip(), { QStringLiteral("l"), QStringLiteral("-slt"), archive });
    list.closeWriteChannel();
    QVERIFY(waitForProcessEnd(list, 60000));
    // Windows' 7-Zip lists names with its own separator.
    QVERIFY(list.readAllStandardOutput().contains("Path = " + QDir::toNativeSeparators(QStringLiteral("../evil.txt")).toUtf8()));

    const QString work = tmp.filePath(QStringLiteral("work"));
    const QString out = work + QLatin1String("/out");
    QVERIFY(do7z(sevenZip(), archive, out));
    QCOMPARE(readFile(out + QLatin1String("/evil.txt")), QByteArray("evil"));
    QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
             QStringList{ QStringLiteral("out") });
}

QTEST_GUILESS_MAIN(tst_Archive)
#include "tst_archive.moc"
