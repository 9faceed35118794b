#include "upgrade/cupgrade.h"

#include "common/messagecapture.h"
#include "platform/platformnames.h"
#include "testpluginrecord.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

// startUpgrade with the stand-in upgrader in the test's own application
// directory, below Upgrade/, where each case puts it and takes it away.
class tst_StartUpgrade : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void arguments_data();
    void arguments();
    void upgraderMissing();
    void upgraderNotExecutable();

private:
    static QString upgradeDir() { return QCoreApplication::applicationDirPath() + QStringLiteral("/Upgrade"); }
    static QString recordPath() { return upgradeDir() + QStringLiteral("/" TVX_TEST_UPGRADER_RECORD_FILE); }
    // Runs startUpgrade inside the application's event loop; returns the
    // loop's exit code, 0 when startUpgrade asked the application to quit.
    static int startInEventLoop(const QString &tmpDir, bool *result);
};

int tst_StartUpgrade::startInEventLoop(const QString &tmpDir, bool *result)
{
    QObject context;
    QTimer::singleShot(0, &context, [&] {
        *result = CUpgrade::startUpgrade(tmpDir);
        // Only reached by the loop when nothing asked it to quit.
        QTimer::singleShot(0, &context, [] { QCoreApplication::exit(5); });
    });
    return QCoreApplication::exec();
}

void tst_StartUpgrade::init()
{
    cleanup();
}

void tst_StartUpgrade::cleanup()
{
    // The upgrader a row started may still be on its way out once its
    // record is written, and Windows keeps the file of a running program.
    QDeadlineTimer deadline(20000);
    while (!QDir(upgradeDir()).removeRecursively() && !deadline.hasExpired())
        QThread::msleep(50);
}

void tst_StartUpgrade::arguments_data()
{
    QTest::addColumn<QString>("tmpDir");
    QTest::addColumn<QString>("firstArgument");

    const QString defaultTmp = QCoreApplication::applicationDirPath() + QDir::separator() + QStringLiteral("Tmp");
    QTest::newRow("default") << QString() << defaultTmp;
    QTest::newRow("given, missing") << QStringLiteral("/no/such/dir") << QStringLiteral("/no/such/dir");
    QTest::newRow("given with spaces") << QStringLiteral("/tmp/a b/Tmp") << QStringLiteral("/tmp/a b/Tmp");
    QTest::newRow("given, relative") << QStringLiteral("Tmp2") << QStringLiteral("Tmp2");
}

void tst_StartUpgrade::arguments()
{
    QFETCH(QString, tmpDir);
    QFETCH(QString, firstArgument);

    QVERIFY(QDir().mkpath(upgradeDir()));
    QVERIFY(QFile::copy(QStringLiteral(TVX_TEST_UPGRADER),
                        upgradeDir() + QLatin1Char('/') + PlatformNames::upgraderFileName()));

    MessageCapture capture;
    bool result = false;
    QCOMPARE(startInEventLoop(tmpDir, &result), 0);
    QVERIFY(result);
    QVERIFY(capture.warnings().isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(recordPath()), 60000);
    QFile file(recordPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonArray arguments = record.value(QStringLiteral("arguments")).toArray();
    QCOMPARE(arguments.size(), 2);
    QCOMPARE(arguments.at(0).toString(), firstArgument);
    QCOMPARE(arguments.at(1).toString(), QCoreApplication::applicationFilePath());
    // No working directory of its own: it inherits this process's.
    QCOMPARE(record.value(QStringLiteral("currentPath")).toString(), QDir::currentPath());
}

void tst_StartUpgrade::upgraderMissing()
{
    MessageCapture capture;
    bool result = true;
    QCOMPARE(startInEventLoop(QString(), &result), 5);
    QVERIFY(!result);
    QCOMPARE(capture.warnings(), QStringList{QStringLiteral("start upgrade failed!")});
}

void tst_StartUpgrade::upgraderNotExecutable()
{
    // A directory where the program should be.
    QVERIFY(QDir().mkpath(upgradeDir() + QLatin1Char('/') + PlatformNames::upgraderFileName()));
    MessageCapture capture;
    bool result = true;
    QCOMPARE(startInEventLoop(QString(), &result), 5);
    QVERIFY(!result);
    QCOMPARE(capture.warnings(), QStringList{QStringLiteral("start upgrade failed!")});
}

QTEST_GUILESS_MAIN(tst_StartUpgrade)
#include "tst_startupgrade.moc"
