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
constexpr int DefaultLoadSeconds = 60;
constexpr int PollIntervalMs = 50;
constexpr int MaxStartAttempts = 10;

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

int CHealthWatch::loadSeconds()
{
    bool isNumber = false;
    const int value = qEnvironmentVariableIntValue("TARVEX_UPGRADE_LOAD_SECONDS", &isNumber);
    return isNumber && value >= 0 ? value : DefaultLoadSeconds;
}

int CHealthWatch::startAttempts()
{
    bool isNumber = false;
    const int value = qEnvironmentVariableIntValue("TARVEX_UPGRADE_HEALTH_ATTEMPTS", &isNumber);
    return isNumber && value >= 1 ? qMin(value, MaxStartAttempts) : 1;
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

int CHealthWatch::pollExit(bool &isCrash, QString &strHow)
{
#ifdef Q_OS_UNIX
    int status = 0;
    const pid_t ended = ::waitpid(pid_t(m_pid), &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno == EINTR))
        return 0;
    if (ended != pid_t(m_pid))
        return -1;
    m_pid = -1;
    isCrash = WIFSIGNALED(status);
    strHow = isCrash ? QStringLiteral("signal %1").arg(WTERMSIG(status))
                     : QStringLiteral("exit code %1").arg(WEXITSTATUS(status));
    return 1;
#elif defined(Q_OS_WIN)
    HANDLE process = HANDLE(quintptr(m_pid));
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        return 0;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    m_pid = -1;
    // NTSTATUS values (0xC...) are crashes; 0xFFFFFFFF is -1 from main.
    isCrash = code >= 0xC0000000 && code != 0xFFFFFFFF;
    strHow = QStringLiteral("exit code 0x%1").arg(code, 0, 16);
    return 1;
#else
    Q_UNUSED(isCrash)
    Q_UNUSED(strHow)
    return -1;
#endif
}

void CHealthWatch::killLauncher()
{
    if (m_pid == -1)
        return;
#ifdef Q_OS_UNIX
    int status = 0;
    ::kill(pid_t(m_pid), SIGKILL);
    ::waitpid(pid_t(m_pid), &status, 0);
#elif defined(Q_OS_WIN)
    TerminateProcess(HANDLE(quintptr(m_pid)), 1);
    CloseHandle(HANDLE(quintptr(m_pid)));
#endif
    m_pid = -1;
}

void CHealthWatch::release()
{
#ifdef Q_OS_WIN
    // It runs on; only the handle goes.
    if (m_pid != -1)
        CloseHandle(HANDLE(quintptr(m_pid)));
#endif
    m_pid = -1;
}

bool CHealthWatch::waitForVerdict()
{
    const QDeadlineTimer healthyAt(qint64(healthSeconds()) * 1000);
    const QDeadlineTimer loadedBy(qint64(loadSeconds()) * 1000);
    for (;;) {
        bool isCrash = false;
        QString how;
        const int exit = pollExit(isCrash, how);
        if (exit < 0) {
            m_strFailure = QStringLiteral("the launcher cannot be watched");
            return false;
        }
        const QByteArray state = readState(m_strHealthFile);
        if (exit > 0) {
            // An end is healthy only after the main form loaded and returned:
            // one that ends at once, with whatever code, proved nothing.
            if (isCrash)
                m_strFailure = QStringLiteral("the launcher crashed (%1)").arg(how);
            else if (state == "returned")
                qInfo() << "the upgraded launcher's main form returned normally;" << how;
            else if (state == "load-failed")
                m_strFailure = QStringLiteral("the main form did not load (%1)").arg(how);
            else if (state == "loaded")
                m_strFailure = QStringLiteral("the launcher ended (%1) without its main form returning").arg(how);
            else
                m_strFailure = QStringLiteral("the launcher ended (%1) before its main form loaded").arg(how);
            return m_strFailure.isEmpty();
        }
        if (state == "load-failed") {
            killLauncher();
            m_strFailure = QStringLiteral("the main form did not load");
            return false;
        }
        const bool isLoaded = state == "loaded" || state == "returned";
        if (isLoaded && healthyAt.hasExpired()) {
            qInfo() << "the upgraded launcher runs" << healthSeconds() << "s with its main form" << state;
            release();
            return true;
        }
        if (!isLoaded && loadedBy.hasExpired()) {
            killLauncher();
            m_strFailure = QStringLiteral("the main form did not load within %1 s").arg(loadSeconds());
            return false;
        }
        QThread::msleep(PollIntervalMs);
    }
}
