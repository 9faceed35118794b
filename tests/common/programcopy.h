#ifndef TVX_TEST_PROGRAMCOPY_H
#define TVX_TEST_PROGRAMCOPY_H

#include "platform/platformnames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// Puts built programs into a throw-away installation.
namespace ProgramCopy {

#ifdef Q_OS_WIN
// Copies the DLLs of sourceDir that targetDir lacks.
inline bool copyLibraries(const QDir &source, const QString &targetDir)
{
    if (!QDir().mkpath(targetDir))
        return false;
    const QStringList libraries = source.entryList({QStringLiteral("*.dll")}, QDir::Files);
    for (const QString &library : libraries) {
        const QString copy = targetDir + QLatin1Char('/') + library;
        if (!QFileInfo::exists(copy) && !QFile::copy(source.filePath(library), copy))
            return false;
    }
    return true;
}
#endif

// Copies the program at built to target. Windows finds the DLLs a program
// loads beside it, so there they come along from the program's directory,
// and so do Qt's plugins, which it looks for in folders beside the program
// (a GUI program does not start without its platform plugin).
inline bool copyProgram(const QString &built, const QString &target)
{
    const QString targetDir = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(targetDir) || !QFile::copy(built, target))
        return false;
#ifdef Q_OS_WIN
    const QDir source = QFileInfo(built).absoluteDir();
    if (!copyLibraries(source, targetDir))
        return false;
    for (const QString &plugins : {QStringLiteral("platforms"), QStringLiteral("styles"),
                                   QStringLiteral("imageformats")}) {
        if (source.exists(plugins) && !copyLibraries(QDir(source.filePath(plugins)), targetDir + '/' + plugins))
            return false;
    }
#endif
    return true;
}

// Puts 7z into dir, where the engine looks for it.
inline bool installSevenZip(const QString &dir)
{
    const QString target = dir + QLatin1Char('/') + PlatformNames::sevenZipFileName();
#ifdef Q_OS_WIN
    // Links need a privilege on Windows; the one beside the test is a copy.
    return QFile::copy(QCoreApplication::applicationDirPath() + QLatin1Char('/') + PlatformNames::sevenZipFileName(),
                       target);
#else
    return QFile::link(QStringLiteral(TVX_SYSTEM_7Z), target);
#endif
}

} // namespace ProgramCopy

#endif // TVX_TEST_PROGRAMCOPY_H
