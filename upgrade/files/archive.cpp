#include "upgrade/files/archive.h"

#include <QDebug>
#include <QProcess>
#include <QStringList>

#ifdef Q_OS_LINUX
#  include <csignal>
#  include <sys/prctl.h>
#  include <unistd.h>
#endif
#ifdef Q_OS_WIN
#  include <qt_windows.h>
#endif

namespace {

// The tool never outlives the process that started it: a download killed
// during unpacking must not leave it writing into the staging directory.
class CToolProcess : public QProcess
{
public:
    CToolProcess()
#ifdef Q_OS_LINUX
        : m_parentPid(::getpid())
#endif
    {
#ifdef Q_OS_WIN
        // Closed with the last handle, that is with this process at the
        // latest, the job takes the tool along.
        m_job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (m_job)
            SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        connect(this, &QProcess::started, this, [this] {
            HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(processId()));
            if (m_job && process)
                AssignProcessToJobObject(m_job, process);
            if (process)
                CloseHandle(process);
        });
#endif
    }
    ~CToolProcess() override
    {
#ifdef Q_OS_WIN
        if (m_job)
            CloseHandle(m_job);
#endif
    }

protected:
    void setupChildProcess() override
    {
#ifdef Q_OS_LINUX
        // Runs in the child between fork and exec: only async-signal-safe calls.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != m_parentPid)
            ::_exit(127); // the parent died before the line above
#endif
    }

private:
#ifdef Q_OS_LINUX
    pid_t m_parentPid;
#endif
#ifdef Q_OS_WIN
    HANDLE m_job = nullptr;
#endif
};

} // namespace

bool do7z(const QString &str7zPath, const QString &strArchivePath, const QString &strOutDir)
{
    // Packets are 7z archives and nothing else: without -t7z the tool would
    // unpack a gzip, zip or tar file just as well, and with it whatever
    // bomb such a format can carry.
    const QStringList args = { QStringLiteral("x"), strArchivePath, QLatin1String("-o") + strOutDir,
                               QStringLiteral("-aoa"), QStringLiteral("-t7z") };

    CToolProcess process;
    // Nobody reads the tool's listing; let it go nowhere instead of piling up
    // in the process buffer. Its error stream is kept for the log.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(str7zPath, args, QIODevice::ReadWrite);
    if (!process.waitForStarted(-1)) {
        qWarning() << "7z " << args << " start failed! error is " << process.errorString();
        return false;
    }
    // An encrypted archive makes the tool ask for a password on its standard
    // input; an open pipe would keep it waiting forever. End of input makes
    // it give up instead.
    process.closeWriteChannel();
    process.waitForFinished(-1);

    if (process.exitStatus() != QProcess::NormalExit) {
        qWarning() << "excute 7z " << args << " failed!";
        return false;
    }
    // Any code but 0 means the tool skipped or refused something (2: corrupt
    // archive, dangerous link path, wrong password): the packet is incomplete.
    const int exitCode = process.exitCode();
    if (exitCode != 0) {
        const QString errorText = QString::fromLocal8Bit(process.readAllStandardError()).simplified();
        qWarning() << "excute 7z " << args << " failed! exit code is " << exitCode << errorText.left(1024);
        return false;
    }
    qDebug() << "excute 7z " << args << " finished!";
    return true;
}
