#include "platform/debuglog.h"

#include "stderrcapture.h"

#include <QtTest>

#include <QTemporaryDir>

// The debug log writes below the application directory: each case starts
// and ends without a Log directory there.
class tst_DebugLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void session();
    void outsideSession();
    void initFailure();

private:
    static QString logDir() { return QCoreApplication::applicationDirPath() + QStringLiteral("/Log"); }
    static QByteArray readLog();

    QTemporaryDir m_scratch;
};

QByteArray tst_DebugLog::readLog()
{
    QFile file(logDir() + QStringLiteral("/Debug.log"));
    // Text: on Windows the log ends its lines with CRLF.
    return file.open(QIODevice::ReadOnly | QIODevice::Text) ? file.readAll() : QByteArray();
}

void tst_DebugLog::init()
{
    QVERIFY(m_scratch.isValid());
    cleanup();
}

void tst_DebugLog::cleanup()
{
    CDebugLog::Instance()->UnInit();
    QFile::remove(logDir());
    QDir(logDir()).removeRecursively();
}

void tst_DebugLog::session()
{
    CDebugLog *log = CDebugLog::Instance();
    QCOMPARE(log, CDebugLog::Instance());
    QVERIFY(!log->isInitialized());

    QCOMPARE(log->Init(), 0);
    QVERIFY(log->isInitialized());
    QCOMPARE(log->filePath(), logDir() + QStringLiteral("/Debug.log"));
    // A second start is harmless and starts no second session.
    QCOMPARE(log->Init(), 0);
    log->write(QStringLiteral("in between 100%"));
    QCOMPARE(log->UnInit(), 0);
    QVERIFY(!log->isInitialized());
    QCOMPARE(log->UnInit(), -1);

    const QByteArray text = readLog();
    QCOMPARE(text.count("debug log started: "), 1);
    QVERIFY(text.contains(QCoreApplication::applicationFilePath().toUtf8()));
    QVERIFY(text.contains("in between 100%\n"));
    QCOMPARE(text.count("debug log stopped: "), 1);
    QCOMPARE(text.count('\n'), 3);
}

void tst_DebugLog::outsideSession()
{
    StderrCapture capture(m_scratch.filePath(QStringLiteral("stderr.txt")));
    CDebugLog::Instance()->write(QStringLiteral("before any session"));
    const QByteArray text = capture.text();
    QVERIFY2(text.contains("before any session"), text.constData());
    QVERIFY(!QFileInfo::exists(logDir()));
}

void tst_DebugLog::initFailure()
{
    // A file where the Log directory should be.
    QFile blocker(logDir());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    StderrCapture capture(m_scratch.filePath(QStringLiteral("stderr.txt")));
    QCOMPARE(CDebugLog::Instance()->Init(), -1);
    QVERIFY(!CDebugLog::Instance()->isInitialized());
    CDebugLog::Instance()->write(QStringLiteral("still somewhere"));
    const QByteArray text = capture.text();
    QVERIFY2(text.contains("still somewhere"), text.constData());
}

QTEST_GUILESS_MAIN(tst_DebugLog)
#include "tst_debuglog.moc"
