#include "healthwatch.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#ifdef Q_OS_WIN
#  include <QProcess>
#  include <qt_windows.h>
#endif
#ifdef Q_OS_UNIX
#  include <cerrno>
#  include <csignal>
#  include <spawn.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char **environ;
#endif

namespace {

constexpr int DefaultHealthSeconds = 20;
constexpr int PollIntervalMs = 50;

QByteArray readState(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(64).trimmed() : QByteArray();
}

} // namespace

CHealthWatch::CHealthWatch(const QString &strLauncherPath, const QString &strAppDir, const QString &strHealthFile)
    : m_strLauncherPath(strLauncherPath)
    , m_strAppDir(strAppDir)
    , m_strHealthFile(strHealthFile)
{
}

int CHealthWatch::healthSeconds()
{
    bool isNumber = false;
    const int value = qEnvironmentVariableIntValue("TARVEX_UPGRADE_HEALTH_SECONDS", &isNumber);
    return isNumber && value >= 0 ? value : DefaultHealthSeconds;
}

bool CHealthWatch::start()
{
    QFile::remove(m_strHealthFile);
    qputenv("TARVEX_UPGRADE_HEALTH_FILE", QFile::encodeName(m_strHealthFile));
#ifdef Q_OS_UNIX
    // A child of this process, not a detached one: its end and its exit
    // status are the verdict. It simply runs on when this process exits.
    const QByteArray program = QFile::encodeName(m_strLauncherPath);
    const QByteArray oldDir = QFile::encodeName(QDir::currentPath());
    char *argv[] = {const_cast<char *>(program.constData()), nullptr};
    QDir::setCurrent(m_strAppDir);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.constData(), nullptr, nullptr, argv, environ);
    QDir::setCurrent(QFile::decodeName(oldDir));
    qunsetenv("TARVEX_UPGRADE_HEALTH_FILE");
    if (error != 0) {
        qWarning() << "restart launcher" << m_strLauncherPath << "failed!";
        return false;
    }
    m_pid = pid;
    qInfo() << "restarted launcher" << m_strLauncherPath << "pid" << m_pid << "; watching it for"
            << healthSeconds() << "s";
    return true;
#elif defined(Q_OS_WIN)
    qint64 pid = 0;
    const bool isStarted = QProcess::startDetached(m_strLauncherPath, QStringList(), m_strAppDir, &pid);
    qunsetenv("TARVEX_UPGRADE_HEALTH_FILE");
    HANDLE process = isStarted ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid))
                               : nullptr;
    if (!process) {
        qWarning() << "restart launcher" << m_strLauncherPath << "failed!";
        return false;
    }
    m_pid = qint64(quintptr(process));
    qInfo() << "restarted launcher" << m_strLauncherPath << "pid" << pid << "; watching it for" << healthSeconds()
            << "s";
    return true;
#else
    qunsetenv("TARVEX_UPGRADE_HEALTH_FILE");
    m_strFailure = QStringLiteral("no health watch on this platform");
    return false;
#endif
}

bool CHealthWatch::waitForVerdict()
{
#ifdef Q_OS_UNIX
    const QDeadlineTimer healthyAt(qint64(healthSeconds()) * 1000);
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid_t(m_pid), &status, WNOHANG);
        if (ended == pid_t(m_pid)) {
            if (WIFSIGNALED(status)) {
                m_strFailure = QStringLiteral("the launcher crashed (signal %1)").arg(WTERMSIG(status));
                return false;
            }
            const int code = WEXITSTATUS(status);
            const QByteArray state = readState(m_strHealthFile);
            // -1 without a returned main form: the plugin could not be loaded.
            if (state == "load-failed" || (code == 255 && state != "returned")) {
                m_strFailure = QStringLiteral("the main form did not load (launcher exit code %1)").arg(code);
                return false;
            }
            qInfo() << "the upgraded launcher ended normally with" << code;
            return true;
        }
        if (ended < 0 && errno != EINTR) {
            m_strFailure = QStringLiteral("the launcher cannot be watched");
            return false;
        }
        if (readState(m_strHealthFile) == "load-failed") {
            ::kill(pid_t(m_pid), SIGKILL);
            ::waitpid(pid_t(m_pid), &status, 0);
            m_strFailure = QStringLiteral("the main form did not load");
            return false;
        }
        if (healthyAt.hasExpired()) {
            qInfo() << "the upgraded launcher runs" << healthSeconds() << "s with its main form"
                    << readState(m_strHealthFile);
            return true;
        }
        QThread::msleep(PollIntervalMs);
    }
#elif defined(Q_OS_WIN)
    HANDLE process = HANDLE(quintptr(m_pid));
    const QDeadlineTimer healthyAt(qint64(healthSeconds()) * 1000);
    for (;;) {
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            CloseHandle(process);
            const QByteArray state = readState(m_strHealthFile);
            // NTSTATUS values (0xC...) are crashes; 0xFFFFFFFF is -1 from main.
            if (state == "load-failed" || (code >= 0xC0000000 && state != "returned")) {
                m_strFailure = QStringLiteral("the launcher ended abnormally (exit code 0x%1)").arg(code, 0, 16);
                return false;
            }
            return true;
        }
        if (readState(m_strHealthFile) == "load-failed") {
            TerminateProcess(process, 1);
            CloseHandle(process);
            m_strFailure = QStringLiteral("the main form did not load");
            return false;
        }
        if (healthyAt.hasExpired()) {
            CloseHandle(process);
            return true;
        }
        QThread::msleep(PollIntervalMs);
    }
#else
    return false;
#endif
}
