#include "processwait.h"

#include <QtTest>

namespace {

bool writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + body) < 0)
        return false;
    file.close();
    return file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

// Ends a process started by a test on every way out of the test.
struct ProcessKiller
{
    QProcess &process;
    ~ProcessKiller()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};

} // namespace

class tst_ProcessWait : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void runningProgram_data();
    void runningProgram();
    void notRunning_data();
    void notRunning();
};

void tst_ProcessWait::initTestCase()
{
#ifndef Q_OS_LINUX
    QSKIP("the process list is read from /proc");
#endif
}

void tst_ProcessWait::runningProgram_data()
{
    QTest::addColumn<bool>("isScript");
    QTest::newRow("executable") << false;
    // A launcher script runs as its interpreter with the script's path as
    // first argument.
    QTest::newRow("script") << true;
}

void tst_ProcessWait::runningProgram()
{
    QFETCH(bool, isScript);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath("Tarvex");
    const QString hold = dir.filePath("hold");
    QVERIFY(QFile(hold).open(QIODevice::WriteOnly));
    QStringList arguments;
    if (isScript) {
        QVERIFY(writeScript(program, "while [ -e \"$1\" ]; do sleep 0.05; done\n"));
        arguments << hold;
    } else {
        const QString sleepProgram = QStandardPaths::findExecutable("sleep");
        QVERIFY(!sleepProgram.isEmpty());
        QVERIFY(QFile::copy(sleepProgram, program));
        arguments << "600";
    }

    QProcess process;
    ProcessKiller killer{process};
    process.start(program, arguments);
    QVERIFY(process.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(isExecutableRunning(program), 10000);
    // Through a link to the directory the path differs, the program does not.
    QVERIFY(QFile::link(dir.path(), dir.filePath("link")));
    QVERIFY(isExecutableRunning(dir.filePath("link/Tarvex")));
    // Bounded: gives up while the program still runs.
    QVERIFY(!waitForExecutableToExit(program, 200));

    // An exited process, not yet reaped, counts as gone.
    if (isScript)
        QVERIFY(QFile::remove(hold));
    else
        process.terminate();
    QVERIFY(waitForExecutableToExit(program, 30000));
    QVERIFY(process.waitForFinished(30000));
    QVERIFY(!isExecutableRunning(program));
}

void tst_ProcessWait::notRunning_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("never started") << "idle";
    QTest::newRow("no such file") << "missing";
    QTest::newRow("a directory") << "";
}

void tst_ProcessWait::notRunning()
{
    QFETCH(QString, relativePath);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeScript(dir.filePath("idle"), "exit 0\n"));
    const QString path = relativePath.isEmpty() ? dir.path() : dir.filePath(relativePath);
    QVERIFY(!isExecutableRunning(path));
    QVERIFY(waitForExecutableToExit(path, 0));
}

QTEST_GUILESS_MAIN(tst_ProcessWait)
#include "tst_processwait.moc"
