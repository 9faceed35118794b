#include "app/copydir.h"

#include "common/filetree.h"
#include "common/messagecapture.h"

#include <QtTest>

class tst_CopyDir : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void missingSource();
    void emptySource_data();
    void emptySource();
    void destinationParentMissing();
    void moveTree();
    void replacesExistingFiles();
    void links();
    void danglingLinkSkipped();
    void sourceIsLinkToDirectory();
    void failure_data();
    void failure();
    void repeatAfterFailure();

private:
    QString path(const QString &relative) const { return m_dir->path() + QLatin1Char('/') + relative; }
    bool write(const QString &relative, const QByteArray &content) const;
    QByteArray read(const QString &relative) const;

    QScopedPointer<QTemporaryDir> m_dir;
};

bool tst_CopyDir::write(const QString &relative, const QByteArray &content) const
{
    const QString target = path(relative);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    QFile file(target);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray tst_CopyDir::read(const QString &relative) const
{
    QFile file(path(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void tst_CopyDir::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_CopyDir::cleanup()
{
    m_dir.reset();
}

void tst_CopyDir::missingSource()
{
    MessageCapture capture;
    QVERIFY(!copyDir(path("src"), path("dst")));
    QCOMPARE(capture.warnings(), QStringList{QStringLiteral("srcDir is Empty")});
    QVERIFY(!QFileInfo::exists(path("dst")));
}

void tst_CopyDir::emptySource_data()
{
    QTest::addColumn<bool>("destinationExists");
    QTest::newRow("destination created") << false;
    QTest::newRow("destination exists") << true;
}

void tst_CopyDir::emptySource()
{
    QFETCH(bool, destinationExists);
    QVERIFY(QDir().mkpath(path("src")));
    if (destinationExists)
        QVERIFY(write("dst/kept.txt", "kept"));

    MessageCapture capture;
    QVERIFY(copyDir(path("src"), path("dst")));
    QVERIFY(capture.warnings().isEmpty());
    QVERIFY(QFileInfo(path("dst")).isDir());
    QVERIFY(!QFileInfo::exists(path("src")));
    if (destinationExists)
        QCOMPARE(read("dst/kept.txt"), QByteArray("kept"));
}

void tst_CopyDir::destinationParentMissing()
{
    QVERIFY(write("src/a.txt", "a"));
    MessageCapture capture;
    QVERIFY(!copyDir(path("src"), path("missing/dst")));
    QCOMPARE(capture.warnings(), QStringList{QStringLiteral("mkdir strDstDir failed")});
    QCOMPARE(read("src/a.txt"), QByteArray("a"));
    QVERIFY(!QFileInfo::exists(path("missing")));
}

void tst_CopyDir::moveTree()
{
    QVERIFY(write("src/a.txt", "a"));
    QVERIFY(write("src/.hidden", "hidden"));
    QVERIFY(write("src/sub/b.bin", QByteArray("\0\1\2", 3)));
    QVERIFY(write("src/sub/deeper/.config/c.txt", "c"));
    QVERIFY(QDir().mkpath(path("src/sub/empty")));
    QVERIFY(QDir().mkpath(path("src/.hiddendir")));

    MessageCapture capture;
    QVERIFY(copyDir(path("src"), path("dst")));
    QVERIFY(capture.warnings().isEmpty());
    QCOMPARE(read("dst/a.txt"), QByteArray("a"));
    QCOMPARE(read("dst/.hidden"), QByteArray("hidden"));
    QCOMPARE(read("dst/sub/b.bin"), QByteArray("\0\1\2", 3));
    QCOMPARE(read("dst/sub/deeper/.config/c.txt"), QByteArray("c"));
    QVERIFY(QFileInfo(path("dst/sub/empty")).isDir());
    QVERIFY(QFileInfo(path("dst/.hiddendir")).isDir());
    QVERIFY(!QFileInfo::exists(path("src")));
}

void tst_CopyDir::replacesExistingFiles()
{
    QVERIFY(write("src/a.txt", "new"));
    QVERIFY(write("src/sub/b.txt", "new b"));
    QVERIFY(write("dst/a.txt", "old and longer"));
    QVERIFY(write("dst/sub/b.txt", "old b"));
    QVERIFY(write("dst/sub/other.txt", "untouched"));
    // A dangling link where a file goes is replaced too.
    QVERIFY(write("src/link.txt", "file"));
    QVERIFY(QFile::link(path("nowhere"), path("dst/link.txt")));

    QVERIFY(copyDir(path("src"), path("dst")));
    QCOMPARE(read("dst/a.txt"), QByteArray("new"));
    QCOMPARE(read("dst/sub/b.txt"), QByteArray("new b"));
    QCOMPARE(read("dst/sub/other.txt"), QByteArray("untouched"));
    QCOMPARE(read("dst/link.txt"), QByteArray("file"));
    QVERIFY(!QFileInfo(path("dst/link.txt")).isSymLink());
}

void tst_CopyDir::links()
{
    // A link to a file is copied as the file's content; the link's target,
    // outside the tree, survives the removal of the source.
    TVX_SKIP_WITHOUT_SYMLINKS();
    QVERIFY(write("outside/target.txt", "target"));
    QVERIFY(write("src/a.txt", "a"));
    QVERIFY(QFile::link(path("outside/target.txt"), path("src/link.txt")));

    QVERIFY(copyDir(path("src"), path("dst")));
    QCOMPARE(read("dst/link.txt"), QByteArray("target"));
    QCOMPARE(read("outside/target.txt"), QByteArray("target"));
    QVERIFY(!QFileInfo::exists(path("src")));
}

void tst_CopyDir::danglingLinkSkipped()
{
    // Not listed (a system entry), so not copied; it goes with the source.
    QVERIFY(write("src/a.txt", "a"));
    QVERIFY(QFile::link(path("nowhere"), path("src/dangling")));

    MessageCapture capture;
    QVERIFY(copyDir(path("src"), path("dst")));
    QVERIFY(capture.warnings().isEmpty());
    QCOMPARE(read("dst/a.txt"), QByteArray("a"));
    QVERIFY(!QFileInfo(path("dst/dangling")).isSymLink());
    QVERIFY(!QFileInfo(path("src")).exists());
}

void tst_CopyDir::sourceIsLinkToDirectory()
{
    TVX_SKIP_WITHOUT_SYMLINKS();
    QVERIFY(write("real/a.txt", "a"));
    QVERIFY(QFile::link(path("real"), path("src")));

    QVERIFY(copyDir(path("src"), path("dst")));
    QCOMPARE(read("dst/a.txt"), QByteArray("a"));
    // The link goes; what it pointed at is not emptied.
    QVERIFY(!QFileInfo(path("src")).isSymLink());
    QCOMPARE(read("real/a.txt"), QByteArray("a"));
}

void tst_CopyDir::failure_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QStringList>("warnings");

    const QString sep = QDir::separator();
    QTest::newRow("destination file cannot be deleted")
            << QStringLiteral("blocked.txt")
            << QStringList{QStringLiteral("delete file  \"%1\" failed!").arg("<dst>" + sep + "blocked.txt")};
    QTest::newRow("source entry cannot be copied")
            << QStringLiteral("dirlink")
            << QStringList{QStringLiteral("copy file  \"%1\" failed!").arg("<dst>" + sep + "dirlink")};
    QTest::newRow("nested failure")
            << QStringLiteral("sub/deeper/blocked.txt")
            << QStringList{QStringLiteral("delete file  \"%1\" failed!")
                                   .arg("<dst>" + sep + "sub" + sep + "deeper" + sep + "blocked.txt"),
                           QStringLiteral("copyDir  \"%1\"  to  \"%2\" failed")
                                   .arg("<src>" + sep + "sub" + sep + "deeper", "<dst>" + sep + "sub" + sep + "deeper"),
                           QStringLiteral("copyDir  \"%1\"  to  \"%2\" failed")
                                   .arg("<src>" + sep + "sub", "<dst>" + sep + "sub")};
    QTest::newRow("file where a directory goes")
            << QStringLiteral("sub/deeper/blocked.txt")
            << QStringList{QStringLiteral("mkdir strDstDir failed"),
                           QStringLiteral("copyDir  \"%1\"  to  \"%2\" failed")
                                   .arg("<src>" + sep + "sub", "<dst>" + sep + "sub")};
}

void tst_CopyDir::failure()
{
    QFETCH(QString, failing);
    QFETCH(QStringList, warnings);

    const bool dirBlocked = QByteArray(QTest::currentDataTag()) == "file where a directory goes";
    QVERIFY(write("src/" + failing, "source"));
    if (failing == "dirlink") {
        TVX_SKIP_WITHOUT_SYMLINKS();
        // Links are never descended into, and a directory is no file to copy.
        QFile::remove(path("src/" + failing));
        QVERIFY(QDir().mkpath(path("elsewhere")));
        QVERIFY(QFile::link(path("elsewhere"), path("src/" + failing)));
    } else if (dirBlocked) {
        QVERIFY(write("dst/sub", "a file"));
    } else {
        // Root ignores permissions: a non-empty directory cannot be deleted as a file.
        QVERIFY(write("dst/" + failing + "/inside", "x"));
    }

    MessageCapture capture;
    QVERIFY(!copyDir(path("src"), path("dst")));
    QStringList expected;
    for (QString warning : qAsConst(warnings))
        expected << MessageCapture::logged(warning.replace("<src>", QDir::toNativeSeparators(path("src")))
                                                   .replace("<dst>", QDir::toNativeSeparators(path("dst"))));
    QCOMPARE(capture.warnings(), expected);

    // What was not moved stays where it was.
    QVERIFY(QFileInfo(path("src/" + failing)).exists() || QFileInfo(path("src/" + failing)).isSymLink());
}

void tst_CopyDir::repeatAfterFailure()
{
    for (int i = 0; i < 20; ++i)
        QVERIFY(write(QStringLiteral("src/file%1.txt").arg(i), QByteArray::number(i)));
    QVERIFY(write("src/sub/inner.txt", "inner"));
    QVERIFY(write("dst/file7.txt/inside", "obstacle"));

    {
        MessageCapture capture;
        QVERIFY(!copyDir(path("src"), path("dst")));
    }
    // Nothing is lost: every file is in the source or already in the destination.
    for (int i = 0; i < 20; ++i) {
        const QString name = QStringLiteral("file%1.txt").arg(i);
        QVERIFY2(QFileInfo(path("src/" + name)).isFile() || QFileInfo(path("dst/" + name)).isFile(),
                 qPrintable(name));
    }
    QVERIFY(QFileInfo(path("src/file7.txt")).isFile());

    QVERIFY(QDir(path("dst/file7.txt")).removeRecursively());
    QVERIFY(copyDir(path("src"), path("dst")));
    for (int i = 0; i < 20; ++i)
        QCOMPARE(read(QStringLiteral("dst/file%1.txt").arg(i)), QByteArray::number(i));
    QCOMPARE(read("dst/sub/inner.txt"), QByteArray("inner"));
    QVERIFY(!QFileInfo::exists(path("src")));
}

QTEST_GUILESS_MAIN(tst_CopyDir)
#include "tst_copydir.moc"
