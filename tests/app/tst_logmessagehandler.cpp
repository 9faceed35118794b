#include "app/logmessagehandler.h"
#include "platform/printlog.h"

#include <QtTest>

#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>

// Stands in for the handler that was installed before ours.
struct PassedOn
{
    QtMsgType type;
    QString message;
    QByteArray file;
};

static QMutex passedOnMutex;
static QVector<PassedOn> passedOn;

static void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&passedOnMutex);
    passedOn.append({type, message, QByteArray(context.file)});
}

class tst_LogMessageHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void handle_data();
    void handle();
    void nullPreviousHandler();
    void installedHandler();
    void manyThreads();

private:
    QByteArray printLog() const;

    QScopedPointer<QTemporaryDir> m_dir;
    QtMessageHandler m_savedPrevious = nullptr;
};

void tst_LogMessageHandler::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QVERIFY(kelmlib::DPrintLog::instance()->open(m_dir->filePath(QStringLiteral("Print.log"))));
    m_savedPrevious = previousMessageHandler;
    previousMessageHandler = recordingHandler;
    QMutexLocker lock(&passedOnMutex);
    passedOn.clear();
}

void tst_LogMessageHandler::cleanup()
{
    previousMessageHandler = m_savedPrevious;
    kelmlib::DPrintLog::instance()->close();
    m_dir.reset();
}

QByteArray tst_LogMessageHandler::printLog() const
{
    QFile file(m_dir->filePath(QStringLiteral("Print.log")));
    // Text: on Windows the log ends its lines with CRLF.
    return file.open(QIODevice::ReadOnly | QIODevice::Text) ? file.readAll() : QByteArray();
}

void tst_LogMessageHandler::handle_data()
{
    QTest::addColumn<int>("type");
    // A null array stands for a missing context entry.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QString>("message");
    // The level as the print log shows it; empty when nothing is written.
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<bool>("passed");

    const QByteArray file("/src/tarvex/app/launcher.cpp");
    const QByteArray function("int launcherMain(int&, char**)");
    const QString text = QStringLiteral("something happened");

    QTest::newRow("warning") << int(QtWarningMsg) << file << function << text << QByteArray("[warning]") << true;
    QTest::newRow("critical") << int(QtCriticalMsg) << file << function << text << QByteArray("[error]") << true;
    QTest::newRow("fatal") << int(QtFatalMsg) << file << function << text << QByteArray("[error]") << true;
    QTest::newRow("info") << int(QtInfoMsg) << file << function << text << QByteArray("[info]") << true;
    QTest::newRow("debug passed on, not written") << int(QtDebugMsg) << file << function << text << QByteArray()
                                                  << true;
    // Not a named type, yet within the range the enumeration can hold.
    QTest::newRow("unknown type") << 5 << file << function << text << QByteArray() << true;
    QTest::newRow("per cent verbatim") << int(QtWarningMsg) << file << function
                                       << QStringLiteral("100% done %s %d %n %%") << QByteArray("[warning]")
                                       << true;
    QTest::newRow("non-ASCII text") << int(QtWarningMsg) << file << function
                                    << QStringLiteral("Gr\u00fc\u00dfe \u4f60\u597d") << QByteArray("[warning]")
                                    << true;
    QTest::newRow("no function") << int(QtWarningMsg) << file << QByteArray() << text << QByteArray() << false;
    QTest::newRow("no file") << int(QtWarningMsg) << QByteArray() << function << text << QByteArray() << false;
    QTest::newRow("no context") << int(QtCriticalMsg) << QByteArray() << QByteArray() << text << QByteArray()
                                << false;
    QTest::newRow("empty file name is a location") << int(QtWarningMsg) << QByteArray("") << function << text
                                                   << QByteArray("[warning]") << true;

    // The quiet list, matched anywhere in the lower-cased path.
    const char *const quiet[] = {"qobject.cpp", "qstylesheetstyle.cpp", "qwidget.cpp", "qwindowswindow.cpp",
                                 "qlayout.cpp", "qpnghandler.cpp", "qcssparser.cpp"};
    for (const char *name : quiet) {
        QTest::addRow("quiet %s", name) << int(QtWarningMsg) << QByteArray("/qt/src/") + name << function
                                        << text << QByteArray() << false;
    }
    QTest::newRow("quiet in capitals") << int(QtWarningMsg) << QByteArray("C:\\Qt\\src\\widgets\\QWIDGET.CPP")
                                       << function << text << QByteArray() << false;
    QTest::newRow("quiet inside a longer name") << int(QtWarningMsg) << QByteArray("/src/myqlayout.cpp.in")
                                                << function << text << QByteArray() << false;
    QTest::newRow("quiet debug not passed on") << int(QtDebugMsg) << QByteArray("/qt/src/qobject.cpp")
                                               << function << text << QByteArray() << false;
    QTest::newRow("quiet fatal") << int(QtFatalMsg) << QByteArray("/qt/src/qcssparser.cpp") << function << text
                                 << QByteArray() << false;
    QTest::newRow("near miss qobject.h") << int(QtWarningMsg) << QByteArray("/qt/src/qobject.h") << function
                                         << text << QByteArray("[warning]") << true;
}

void tst_LogMessageHandler::handle()
{
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, function);
    QFETCH(QString, message);
    QFETCH(QByteArray, level);
    QFETCH(bool, passed);

    const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), 1234,
                                     function.isNull() ? nullptr : function.constData(), "default");
    logMessageHandler(QtMsgType(type), context, message);

    const QByteArray log = printLog();
    if (level.isEmpty()) {
        QCOMPARE(log, QByteArray());
    } else {
        QCOMPARE(log.count('\n'), 1);
        QVERIFY2(log.contains(level), log.constData());
        // Location, then the text exactly as given.
        QVERIFY2(log.contains(file + ":1234 " + function + ": " + message.toUtf8() + '\n'), log.constData());
    }

    QMutexLocker lock(&passedOnMutex);
    QCOMPARE(passedOn.size(), passed ? 1 : 0);
    if (passed) {
        QCOMPARE(int(passedOn.first().type), type);
        QCOMPARE(passedOn.first().message, message);
        QCOMPARE(passedOn.first().file, file);
    }
}

void tst_LogMessageHandler::nullPreviousHandler()
{
    previousMessageHandler = nullptr;
    const QMessageLogContext context("/src/a.cpp", 7, "void f()", "default");
    logMessageHandler(QtWarningMsg, context, QStringLiteral("still written"));
    QVERIFY(printLog().contains("/src/a.cpp:7 void f(): still written"));
}

void tst_LogMessageHandler::installedHandler()
{
    // Through Qt's own message macros: the location comes with the message.
    const QtMessageHandler qtPrevious = qInstallMessageHandler(logMessageHandler);
    qWarning() << "piece" << QStringLiteral("value") << 3;
    const int line = __LINE__ - 1;
    qDebug() << "debug only";
    qInstallMessageHandler(qtPrevious);

    const QByteArray log = printLog();
    QVERIFY2(log.contains("tst_logmessagehandler.cpp:" + QByteArray::number(line)), log.constData());
    QVERIFY2(log.contains("installedHandler"), log.constData());
    QVERIFY2(log.contains(": piece \"value\" 3\n"), log.constData());
    QVERIFY(!log.contains("debug only"));

    QMutexLocker lock(&passedOnMutex);
    QCOMPARE(passedOn.size(), 2);
    QCOMPARE(passedOn.at(1).type, QtDebugMsg);
}

void tst_LogMessageHandler::manyThreads()
{
    // The handler and the print log take messages from any thread at once.
    const int threadCount = 4;
    const int perThread = 200;
    QVector<QThread *> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.append(QThread::create([t] {
            const QByteArray function = "worker " + QByteArray::number(t);
            const QMessageLogContext context("/src/worker.cpp", t, function.constData(), "default");
            for (int i = 0; i < perThread; ++i)
                logMessageHandler(QtWarningMsg, context, QStringLiteral("message %1").arg(i));
        }));
    }
    for (QThread *thread : qAsConst(threads))
        thread->start();
    for (QThread *thread : qAsConst(threads)) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }

    const QByteArray log = printLog();
    QCOMPARE(log.count('\n'), threadCount * perThread);
    for (int t = 0; t < threadCount; ++t)
        QCOMPARE(log.count("worker " + QByteArray::number(t) + ": message"), perThread);
    QMutexLocker lock(&passedOnMutex);
    QCOMPARE(passedOn.size(), threadCount * perThread);
}

QTEST_GUILESS_MAIN(tst_LogMessageHandler)
#include "tst_logmessagehandler.moc"
