#ifndef TVX_TEST_TOOLRUN_H
#define TVX_TEST_TOOLRUN_H

#include "processend.h"

#include <QByteArray>
#include <QDebug>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A program run to its end, with what it printed; exitCode -1 when it
// crashed or outlived its bound and was killed.
struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The system environment with "NAME=VALUE" entries over it.
inline QProcessEnvironment environmentWith(const QStringList &entries)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : entries)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    return env;
}

inline Run runTool(const QString &program, const QStringList &arguments,
                   const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                   const QString &workDir = QString(), int msecs = 120000)
{
    QProcess process;
    process.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    startProcess(process, program, arguments);
    Run result;
    const bool hasEnded = waitForProcessEnd(process, msecs);
    QString failure;
    if (hasEnded && process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    } else if (hasEnded) {
        failure = QStringLiteral("crashed");
    } else if (process.state() != QProcess::NotRunning) {
        failure = QStringLiteral("outlived its %1 ms and was killed").arg(msecs);
        process.kill();
        waitForProcessEnd(process, 30000);
    } else {
        failure = process.errorString();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    // A crash is rare and may not come back: say what is known of it (under
    // Wine the crash report is in the standard error).
    if (!failure.isEmpty())
        qWarning().noquote() << program << arguments.join(QLatin1Char(' ')) << "did not end normally:"
                             << failure
                             << "\nits standard error:\n" << QString::fromLocal8Bit(result.err);
    return result;
}

#endif // TVX_TEST_TOOLRUN_H
