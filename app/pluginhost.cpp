#include "app/pluginhost.h"

#include "app/iwidget.h"
#include "app/solutionlibraries.h"
#include "app/upgradeguard.h"
#include "platform/platformnames.h"
#include "platform/solutionsdir.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>

QString mainFormPluginPath()
{
    // The solutions directory ends with a separator: the file name follows directly.
    const QString solutionsDir = QGetSolutionsDirPath();
    return QCoreApplication::applicationDirPath() + QDir::separator() + solutionsDir
            + PlatformNames::mainFormPluginFileName();
}

int runMainFormPlugin(QPluginLoader *loader, std::string extraArg)
{
    if (!loader)
        return -1;

    const QString pluginPath = mainFormPluginPath();
    preloadSolutionLibraries(pluginPath, QFileInfo(pluginPath).absolutePath());
    loader->setFileName(pluginPath);
    QObject *object = loader->instance();
    if (!object) {
        qWarning() << "load plugin " << pluginPath << " failed!, error="
                   << loader->errorString().toUtf8().constData();
        reportMainFormState("load-failed");
        return -1;
    }

    IWidget *widget = qobject_cast<IWidget *>(object);
    if (!widget) {
        qWarning() << "qobject_cast plugin " << pluginPath << " failed!";
        reportMainFormState("load-failed");
        return -1;
    }

    std::string args = "Tarvex";
    if (!extraArg.empty()) {
        args += ' ';
        args += extraArg;
    }
    reportMainFormState("loaded");
    const int result = widget->Run(args);
    reportMainFormState("returned");
    return result;
}
