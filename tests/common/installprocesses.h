#ifndef TVX_TEST_INSTALLPROCESSES_H
#define TVX_TEST_INSTALLPROCESSES_H

// The processes that run an installation's launcher or upgrader, found by
// their program's path, and their end when a case leaves any behind.

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#ifdef Q_OS_WIN
// Before windows.h, for the tests that use sockets too.
#  include <winsock2.h>
#  include <qt_windows.h>
#  include <tlhelp32.h>
#  include <iterator>
#else
#  include <csignal>
#  include <sys/types.h>
#endif

namespace InstallProcesses {

// The processes running the installation's launcher or upgrader.
inline QList<qint64> installationProcesses(const QString &appDir)
{
#ifdef Q_OS_WIN
    const QStringList programs{QDir::toNativeSeparators(appDir + QLatin1String("/Tarvex.exe")),
                               QDir::toNativeSeparators(appDir + QLatin1String("/Upgrade/Upgrade.exe"))};
    QList<qint64> pids;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return pids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t path[1024];
        DWORD size = DWORD(std::size(path));
        if (::QueryFullProcessImageNameW(process, 0, path, &size)
            && programs.contains(QString::fromWCharArray(path, int(size)), Qt::CaseInsensitive))
            pids.append(entry.th32ProcessID);
        ::CloseHandle(process);
    }
    ::CloseHandle(snapshot);
    return pids;
#else
    const QStringList programs{appDir + QLatin1String("/Tarvex"), appDir + QLatin1String("/Upgrade/Upgrade")};
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (isPid && programs.contains(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))))
            pids.append(pid);
    }
    return pids;
#endif
}

inline void killAll(const QString &appDir)
{
    const QList<qint64> pids = installationProcesses(appDir);
    for (qint64 pid : pids) {
#ifdef Q_OS_WIN
        if (const HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
            ::TerminateProcess(process, 9);
            ::CloseHandle(process);
        }
#else
        ::kill(pid_t(pid), SIGKILL);
#endif
    }
}

} // namespace InstallProcesses

#endif // TVX_TEST_INSTALLPROCESSES_H
