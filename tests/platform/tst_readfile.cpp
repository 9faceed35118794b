#include "platform/readfile.h"

#include "common/filetree.h"

#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

class tst_ReadFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bounds_data();
    void bounds();
};

void tst_ReadFile::bounds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<bool>("isRead");
    QTest::addColumn<QString>("error");

    QTest::newRow("exactly the bound") << "file" << qint64(1000) << true << "";
    QTest::newRow("one byte over") << "file" << qint64(999) << false << "more than the 999";
    QTest::newRow("empty file") << "empty" << qint64(0) << true << "";
    QTest::newRow("missing") << "missing" << qint64(1000) << false << "no such file";
    QTest::newRow("directory") << "directory" << qint64(1000) << false << "not a regular file";
#ifndef Q_OS_WIN
    QTest::newRow("link to the file") << "link" << qint64(1000) << true << "";
    QTest::newRow("FIFO, never opened") << "fifo" << qint64(1000) << false << "not a regular file";
#endif
#ifdef Q_OS_LINUX
    // Says it has 0 bytes, holds more: the bound holds on what is read.
    QTest::newRow("pseudo-file past the bound") << "proc" << qint64(100) << false << "grew past the 100";
    QTest::newRow("pseudo-file within the bound") << "proc" << qint64(1 << 20) << true << "";
#endif
}

void tst_ReadFile::bounds()
{
    QFETCH(QString, kind);
    QFETCH(qint64, maxBytes);
    QFETCH(bool, isRead);
    QFETCH(QString, error);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray content(1000, 'c');
    QVERIFY(FileTree::writeFile(dir.filePath("file"), content));
    QVERIFY(FileTree::writeFile(dir.filePath("empty"), QByteArray()));
    QVERIFY(QDir().mkpath(dir.filePath("directory")));
    QString path = dir.filePath(kind);
#ifndef Q_OS_WIN
    QVERIFY(QFile::link(dir.filePath("file"), dir.filePath("link")));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
#endif
    if (kind == QLatin1String("proc"))
        path = QStringLiteral("/proc/self/status");

    QByteArray got("left over");
    QString why;
    QCOMPARE(readFileBounded(path, maxBytes, got, why), isRead);
    if (isRead) {
        if (kind == QLatin1String("proc"))
            QVERIFY(got.startsWith("Name:"));
        else
            QCOMPARE(got, kind == QLatin1String("empty") ? QByteArray() : content);
    } else {
        QVERIFY(got.isEmpty());
        QVERIFY2(why.contains(error) && why.contains(path), qPrintable(why));
    }
}

QTEST_GUILESS_MAIN(tst_ReadFile)
#include "tst_readfile.moc"
