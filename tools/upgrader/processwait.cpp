#include "processwait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

constexpr int PollIntervalMs = 100;

#ifdef Q_OS_LINUX
// The kernel's own record of what each process runs: its executable, and
// for a script started through "#!" the script's path as the interpreter's
// first argument. A zombie has no executable any more and does not count.
bool isRunningOnLinux(const QString &strExePath)
{
    const QString canonicalPath = QFileInfo(strExePath).canonicalFilePath();
    if (canonicalPath.isEmpty())
        return false; // no such file, so nothing can run it
    const QString absolutePath = QFileInfo(strExePath).absoluteFilePath();
    const QString ownPid = QString::number(QCoreApplication::applicationPid());

    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool isNumber = false;
        pid.toLongLong(&isNumber);
        if (!isNumber || pid == ownPid)
            continue;

        const QString procDir = QLatin1String("/proc/") + pid;
        const QString exe = QFile::symLinkTarget(procDir + QLatin1String("/exe"));
        if (!exe.isEmpty() && exe == canonicalPath)
            return true;

        QFile cmdline(procDir + QLatin1String("/cmdline"));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue; // gone meanwhile
        const QList<QByteArray> argv = cmdline.read(64 * 1024).split('\0');
        if (argv.size() >= 2) {
            const QString script = QFile::decodeName(argv.at(1));
            if (script == canonicalPath || script == absolutePath)
                return true;
        }
    }
    return false;
}
#endif

} // namespace

bool isExecutableRunning(const QString &strExePath)
{
#if defined(Q_OS_LINUX)
    return isRunningOnLinux(strExePath);
#elif defined(Q_OS_WIN)
    // Windows refuses to open a running executable for writing; opening it
    // changes nothing.
    QFile file(strExePath);
    if (!file.exists())
        return false;
    if (file.open(QIODevice::ReadWrite)) {
        file.close();
        return false;
    }
    return true;
#else
    Q_UNUSED(strExePath);
    return false;
#endif
}

bool waitForExecutableToExit(const QString &strExePath, int nTimeoutMs)
{
    const QDeadlineTimer deadline(qMax(0, nTimeoutMs));
    for (;;) {
        if (!isExecutableRunning(strExePath))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(quint64(qMin<qint64>(PollIntervalMs, qMax<qint64>(1, deadline.remainingTime()))));
    }
}
