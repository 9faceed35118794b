#include "app/launcher.h"

#include "app/commandline.h"
#include "app/ctvxapplication.h"
#include "app/logmessagehandler.h"
#include "app/pluginhost.h"
#include "app/upgradeguard.h"
#include "platform/debuglog.h"
#include "platform/platformnames.h"
#include "platform/solutionsdir.h"
#include "upgrade/cupgrade.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QObject>
#include <QPluginLoader>
#include <QProcess>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#  include <vector>
#endif

namespace {

enum MainFormResult {
    ResultRestart = 1,
    ResultUpgrade = 2,
    ResultReload = 3
};

// The executable's path as the operating system reports it, not as Qt
// worked it out at start-up.
QString executablePathFromSystem()
{
#ifdef Q_OS_WIN
    // Wide characters, and as long as the path is: a short buffer would cut
    // a long or non-ASCII installation path into another one.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (length == 0)
            return QString();
        if (length < buffer.size())
            return QDir::fromNativeSeparators(QString::fromWCharArray(buffer.data(), int(length)));
        if (buffer.size() >= 32768)
            return QString();
        buffer.resize(buffer.size() * 2);
    }
#else
    return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
#endif
}

// Moves the staged upgrader into place and hands over to it. Failures are
// logged where they happen; the launcher shuts down either way.
void handOverToUpgrader(QPluginLoader &loader)
{
    loader.unload();
    // The staged upgrader is copied beside the previous one and swapped in
    // whole; a failed or partial copy leaves the previous one to start.
    prepareUpgraderHandOver();
    CUpgrade upgrade;
    CUpgrade::startUpgrade(QString());
}

} // namespace

bool setLibrarySearchPath()
{
    const QString libraryDir = QCoreApplication::applicationDirPath() + QDir::separator()
            + QGetSolutionsDirPath();
    const QByteArray oldPath = qgetenv("PATH");

    QByteArray newPath = libraryDir.toLocal8Bit();
#ifdef Q_OS_WIN
    newPath += PlatformNames::pathListSeparator();
    newPath += oldPath;
#else
    // An empty entry of a POSIX search list stands for the current
    // directory: an unset PATH must not gain one.
    if (!oldPath.isEmpty()) {
        newPath += PlatformNames::pathListSeparator();
        newPath += oldPath;
    }
#endif
    return qputenv("PATH", newPath);
}

int launcherMain(int &argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_UseSoftwareOpenGL, true);

    // Relative to the directory the process was started in, so this comes
    // before the application directory becomes the current one.
    const QString iconPath = QFileInfo(QStringLiteral("./app.ico")).absoluteFilePath();
    {
        // Before anything runs from the installation: an upgrade that a
        // crash cut short is finished, forward or back, and logged. The GUI
        // application loads Qt's platform plugin, which on Windows is a file
        // of the installation too; one that the crash left missing must not
        // keep the launcher from putting it back.
        QCoreApplication core(argc, argv);
        QDir::setCurrent(QCoreApplication::applicationDirPath());
        CDebugLog::Instance()->Init();
        previousMessageHandler = qInstallMessageHandler(logMessageHandler);
        if (!finishInterruptedUpgrade()) {
            CDebugLog::Instance()->UnInit();
            return UPGRADE_OP_ROLLBACK_INCOMPLETE;
        }
    }

    CTVXApplication app(argc, argv);
    // Without the file the icon stays empty, as it is already: looking for
    // it would only load every image format plugin.
    if (QFileInfo::exists(iconPath))
        QApplication::setWindowIcon(QIcon(iconPath));

    if (!setLibrarySearchPath()) {
        qWarning().noquote() << QObject::tr("Set library search path failed!");
        return -1;
    }

    StartupOptions options;
    parseCommandLine(&options);

    QPluginLoader loader;
    int result = runMainFormPlugin(&loader, options.strExtraArg);
    switch (result) {
    case ResultRestart:
        QProcess::startDetached(QCoreApplication::applicationFilePath(), QStringList());
        break;
    case ResultUpgrade:
        handOverToUpgrader(loader);
        break;
    case ResultReload:
        loader.unload();
        result = runMainFormPlugin(&loader, std::string());
        if (result == ResultRestart)
            QProcess::startDetached(executablePathFromSystem(), QStringList());
        else if (result == ResultUpgrade)
            handOverToUpgrader(loader);
        break;
    default:
        break;
    }

    loader.unload();
    CDebugLog::Instance()->UnInit();
    return result;
}
