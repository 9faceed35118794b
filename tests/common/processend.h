#ifndef TVX_TEST_PROCESSEND_H
#define TVX_TEST_PROCESSEND_H

#include <QDebug>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

// Waits up to msecs (no bound when negative) for process to finish; true
// once it has ended, also when it ended before the call (the event loop
// here lets processes started together end in any order), false when it
// failed to start or outlived the bound.
//
// QProcess::waitForFinished is not used because of Wine: the calling thread
// and Wine's wait thread wake on the ended process at the same moment, and
// Wine can still queue the callback of QProcess's wait after QProcess has
// unregistered the wait and deleted its notifier. The callback then reads
// freed memory: an access violation in rtl_wait_callback, in perhaps one run
// of the suite in five. Waiting for the finished signal lets the callback
// run before the notifier goes.
inline bool waitForProcessEnd(QProcess &process, int msecs)
{
    if (process.state() == QProcess::NotRunning)
        return process.error() != QProcess::FailedToStart;
    bool isFinished = false;
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     [&] { isFinished = true; loop.quit(); });
    // A crash still ends in finished; only a start that failed never does.
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (msecs >= 0)
        bound.start(msecs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return isFinished;
}

// Starts process, trying again when the start itself failed: Wine now and
// then fails to create a process (QProcess reports "Internal error"), in
// perhaps one run of the suite in five. The program never ran then, so a
// second try hides nothing of what it does. With no program given, starts
// the one already set on process.
inline void startProcess(QProcess &process, const QString &program = QString(),
                         const QStringList &arguments = QStringList(),
                         QIODevice::OpenMode mode = QIODevice::ReadWrite)
{
    for (int attempt = 1;; ++attempt) {
        if (program.isEmpty())
            process.start(mode);
        else
            process.start(program, arguments, mode);
        if (!process.waitForStarted(30000) && process.error() == QProcess::FailedToStart && attempt < 3) {
            qWarning().noquote() << "starting" << process.program() << "failed:" << process.errorString()
                                 << "- trying again";
            continue;
        }
        return;
    }
}

#endif // TVX_TEST_PROCESSEND_H
