#ifndef TVX_TEST_LAUNCHERDIR_H
#define TVX_TEST_LAUNCHERDIR_H

#include "platform/platformnames.h"
#include "platform/solutionsdir.h"
#include "testpluginrecord.h"

#include "common/processend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QVector>

#ifdef Q_OS_WIN
#  include <windows.h>
#endif

// A throw-away installation: a copy of the built launcher in a temporary
// directory, with whatever main form plugin and upgrader a test puts beside it.
class LauncherDir
{
public:
    bool isValid() const { return m_dir.isValid(); }

    // The directory as the launcher sees it: applicationDirPath() resolves links.
    QString path() const { return QFileInfo(m_dir.path()).canonicalFilePath(); }
    QString filePath(const QString &relative) const { return path() + QLatin1Char('/') + relative; }
    QString launcherPath() const { return filePath(PlatformNames::launcherFileName()); }
    QString solutionsPath() const { return filePath(QGetSolutionsDirPath()); }
    QString pluginPath() const { return solutionsPath() + PlatformNames::mainFormPluginFileName(); }

    bool installLauncher() const
    {
        const QString built = QStringLiteral(TVX_BIN_DIR "/") + PlatformNames::launcherFileName();
#ifdef Q_OS_WIN
        // Windows finds the DLLs a program loads beside it: an installation
        // carries them, and the platform plugin in platforms/.
        const QDir bin(QStringLiteral(TVX_BIN_DIR));
        const QStringList libraries = bin.entryList({QStringLiteral("*.dll")}, QDir::Files);
        for (const QString &library : libraries) {
            if (!QFile::copy(bin.filePath(library), filePath(library)))
                return false;
        }
        for (const QString &plugin : {QStringLiteral("platforms/qwindows.dll"), QStringLiteral("imageformats/qico.dll")}) {
            if (!QDir().mkpath(QFileInfo(filePath(plugin)).absolutePath())
                || !QFile::copy(bin.filePath(plugin), filePath(plugin)))
                return false;
        }
#endif
        return QFile::copy(built, launcherPath());
    }

    // Puts source in place of the main form plugin; an empty source leaves none.
    bool installPlugin(const QString &source) const
    {
        if (!QDir().mkpath(solutionsPath()))
            return false;
        return source.isEmpty() || QFile::copy(source, pluginPath());
    }

    bool writeFile(const QString &relative, const QByteArray &content) const
    {
        const QString target = filePath(relative);
        if (!QDir().mkpath(QFileInfo(target).absolutePath()))
            return false;
        QFile file(target);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    QByteArray readFile(const QString &relative) const
    {
        QFile file(filePath(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    bool setPluginResults(const QByteArray &results) const
    {
        return writeFile(QStringLiteral(TVX_TEST_PLUGIN_RESULTS_FILE), results);
    }

    // The runs of the result plugin so far, complete lines only.
    QVector<QJsonObject> pluginRuns() const
    {
        QVector<QJsonObject> runs;
        const QByteArray content = readFile(QStringLiteral(TVX_TEST_PLUGIN_RECORD_FILE));
        const QList<QByteArray> lines = content.left(content.lastIndexOf('\n') + 1).split('\n');
        for (const QByteArray &line : lines) {
            if (!line.isEmpty())
                runs.append(QJsonDocument::fromJson(line).object());
        }
        return runs;
    }

    QByteArray printLog() const { return readFile(QStringLiteral("Log/Print.log")); }
    QByteArray debugLog() const { return readFile(QStringLiteral("Log/Debug.log")); }

    // What the launchers of this directory and the processes they started
    // wrote to stderr, sanitizer reports included.
    QByteArray standardError() const { return readFile(QStringLiteral("launcher.err")); }
    bool sanitizerReported() const
    {
        const QByteArray text = standardError();
        return text.contains("runtime error:") || text.contains("Sanitizer");
    }

private:
    QTemporaryDir m_dir;
};

struct LauncherRun
{
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    QByteArray standardError;
};

// Runs the launcher of dir and waits for it. Its output goes to files, so
// that the instances and the upgrader it starts detached (which inherit its
// output) never hold a pipe of this process open.
inline LauncherRun runLauncher(const LauncherDir &dir, const QStringList &arguments,
                               QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
                               const QString &workingDirectory = QString())
{
#ifdef Q_OS_WIN
    // The offscreen plugin hangs under Wine, which runs the tests on a display.
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
#else
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#endif
    QProcess process;
    process.setProgram(dir.launcherPath());
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory.isEmpty() ? dir.path() : workingDirectory);
    process.setStandardOutputFile(dir.filePath(QStringLiteral("launcher.out")), QIODevice::Append);
    process.setStandardErrorFile(dir.filePath(QStringLiteral("launcher.err")), QIODevice::Append);
    startProcess(process);

    LauncherRun run;
    run.finished = process.waitForStarted(60000) && waitForProcessEnd(process, 180000);
    if (!run.finished) {
        process.kill();
        waitForProcessEnd(process, 10000);
        return run;
    }
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.standardError = dir.readFile(QStringLiteral("launcher.err"));
    return run;
}

// A process has ended once it is gone or only a zombie is left of it.
inline bool processEnded(qint64 pid)
{
#ifdef Q_OS_WIN
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return true;
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
#else
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0 || nameEnd + 2 >= line.size())
        return true;
    const char state = line.at(nameEnd + 2);
    return state == 'Z' || state == 'X';
#endif
}

#endif // TVX_TEST_LAUNCHERDIR_H
