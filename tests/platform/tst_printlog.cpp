#include "platform/printlog.h"

#include "stderrcapture.h"

#include <QtTest>

#include <QRegularExpression>
#include <QTemporaryDir>

using kelmlib::DPrintLog;

class tst_PrintLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Before any case opens the log: it opens by itself only once.
    void initTestCase();
    void init();
    void cleanup();
    void entry_data();
    void entry();
    void formatted();
    void closedGoesToStderr();
    void openFailure();
    void manyThreads();
    void rotates();

private:
    QString logPath() const { return m_dir->filePath(QStringLiteral("Print.log")); }
    QByteArray readLog() const;

    QScopedPointer<QTemporaryDir> m_dir;
};

QByteArray tst_PrintLog::readLog() const
{
    QFile file(logPath());
    // Text: on Windows the log ends its lines with CRLF.
    return file.open(QIODevice::ReadOnly | QIODevice::Text) ? file.readAll() : QByteArray();
}

void tst_PrintLog::initTestCase()
{
    const QString defaultPath = QCoreApplication::applicationDirPath() + QStringLiteral("/Log/Print.log");
    QCOMPARE(DPrintLog::defaultFilePath(), defaultPath);
    QFile::remove(defaultPath);

    DPrintLog::instance()->Log("a.cpp", 1, "f", "", 5, "%s", "first entry");
    const QString opened = DPrintLog::instance()->filePath();
    DPrintLog::instance()->close();
    QCOMPARE(opened, defaultPath);
    QFile file(defaultPath);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QVERIFY(file.readAll().contains("a.cpp:1 f: first entry\n"));
    file.close();
    QVERIFY(QDir(QFileInfo(defaultPath).absolutePath()).removeRecursively());
}

void tst_PrintLog::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QVERIFY(DPrintLog::instance()->open(logPath()));
    QCOMPARE(DPrintLog::instance()->filePath(), QFileInfo(logPath()).absoluteFilePath());
}

void tst_PrintLog::cleanup()
{
    DPrintLog::instance()->close();
    m_dir.reset();
}

void tst_PrintLog::entry_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("levelName");

    QTest::newRow("info") << 4 << QByteArray() << QByteArray("hello") << QByteArray("info");
    QTest::newRow("warning") << 5 << QByteArray() << QByteArray("hello") << QByteArray("warning");
    QTest::newRow("error") << 6 << QByteArray() << QByteArray("hello") << QByteArray("error");
    QTest::newRow("other level") << 1 << QByteArray() << QByteArray("hello") << QByteArray("debug");
    QTest::newRow("negative level") << -7 << QByteArray() << QByteArray("hello") << QByteArray("debug");
    QTest::newRow("per cent verbatim") << 5 << QByteArray() << QByteArray("50% %s %n %% {} {0}")
                                       << QByteArray("warning");
    QTest::newRow("extra") << 5 << QByteArray("module") << QByteArray("hello") << QByteArray("warning");
    QTest::newRow("UTF-8") << 4 << QByteArray() << QByteArray("Gr\xc3\xbc\xc3\x9f" "e") << QByteArray("info");
    QTest::newRow("empty text") << 4 << QByteArray() << QByteArray() << QByteArray("info");
}

void tst_PrintLog::entry()
{
    QFETCH(int, level);
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, levelName);

    QCOMPARE(DPrintLog::instance()->Log("/src/app/launcher.cpp", 42, "int main()", extra.constData(), level,
                                        "%s", text.constData()),
             0);
    const QByteArray log = readLog();
    QCOMPARE(log.count('\n'), 1);
    // Time, level, thread, location and function, then the text verbatim.
    const QString pattern = QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[%1\\] "
                                           "\\[thread \\d+\\] /src/app/launcher\\.cpp:42 int main\\(\\)%2: %3\\n$")
            .arg(QString::fromLatin1(levelName),
                 extra.isEmpty() ? QString() : QStringLiteral(" \\[%1\\]").arg(QString::fromLatin1(extra)),
                 QRegularExpression::escape(QString::fromUtf8(text)));
    QVERIFY2(QRegularExpression(pattern).match(QString::fromUtf8(log)).hasMatch(), log.constData());
}

void tst_PrintLog::formatted()
{
    DPrintLog::instance()->Log(nullptr, 0, nullptr, nullptr, 5, "%d apples and %s", 3, "pears");
    QCOMPARE(DPrintLog::instance()->Log("a.cpp", 1, "f", "", 5, nullptr), -1);
    const QByteArray log = readLog();
    QVERIFY2(log.contains("] ?:0 ?: 3 apples and pears\n"), log.constData());
    QCOMPARE(log.count('\n'), 1);
}

void tst_PrintLog::closedGoesToStderr()
{
    DPrintLog::instance()->close();
    QVERIFY(DPrintLog::instance()->filePath().isEmpty());

    StderrCapture capture(m_dir->filePath(QStringLiteral("stderr.txt")));
    DPrintLog::instance()->Log("b.cpp", 9, "g", "", 6, "%s", "after close 100%");
    const QByteArray text = capture.text();
    QVERIFY2(text.contains("b.cpp:9 g: after close 100%"), text.constData());
    // A closed log does not open by itself again.
    QVERIFY(DPrintLog::instance()->filePath().isEmpty());
    QVERIFY(!readLog().contains("after close"));
}

void tst_PrintLog::openFailure()
{
    // A file where the log's directory should be.
    QFile blocker(m_dir->filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    StderrCapture capture(m_dir->filePath(QStringLiteral("stderr.txt")));
    QVERIFY(!DPrintLog::instance()->open(m_dir->filePath(QStringLiteral("blocker/Log/Print.log"))));
    DPrintLog::instance()->Log("c.cpp", 3, "h", "", 5, "%s", "not lost");
    const QByteArray text = capture.text();
    QVERIFY2(text.contains("c.cpp:3 h: not lost"), text.constData());
}

void tst_PrintLog::manyThreads()
{
    const int threadCount = 4;
    const int perThread = 500;
    QVector<QThread *> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.append(QThread::create([t] {
            for (int i = 0; i < perThread; ++i)
                DPrintLog::instance()->Log("t.cpp", t, "worker", "", 4, "%s %d", "entry", i);
        }));
    }
    for (QThread *thread : qAsConst(threads))
        thread->start();
    for (QThread *thread : qAsConst(threads)) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }

    // Every entry whole, on a line of its own.
    const QList<QByteArray> lines = readLog().split('\n');
    QCOMPARE(lines.size(), threadCount * perThread + 1);
    const QRegularExpression shape(QStringLiteral("^\\[[^]]+\\] \\[info\\] \\[thread \\d+\\] t\\.cpp:\\d worker: entry \\d+$"));
    for (int i = 0; i < threadCount * perThread; ++i)
        QVERIFY2(shape.match(QString::fromLatin1(lines.at(i))).hasMatch(), lines.at(i).constData());
}

void tst_PrintLog::rotates()
{
    // The log cannot grow without bound: past its size limit it moves on to
    // a new file and keeps a few old ones.
    const QByteArray chunk(4096, 'x');
    const int entries = (9 * 1024 * 1024) / chunk.size();
    for (int i = 0; i < entries; ++i)
        DPrintLog::instance()->Log("r.cpp", i, "fill", "", 4, "%s", chunk.constData());

    const QFileInfo current(logPath());
    const QFileInfo rotated(m_dir->filePath(QStringLiteral("Print.1.log")));
    QVERIFY(rotated.exists());
    QVERIFY(rotated.size() <= 8 * 1024 * 1024);
    QVERIFY(current.size() < 8 * 1024 * 1024);
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("Print.5.log"))));
}

QTEST_GUILESS_MAIN(tst_PrintLog)
#include "tst_printlog.moc"
