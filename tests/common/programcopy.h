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

// Copies the program at built to target. Windows finds the DLLs a program
// loads beside it, so there they come along from the program's directory.
inline bool copyProgram(const QString &built, const QString &target)
{
    const QString targetDir = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(targetDir) || !QFile::copy(built, target))
        return false;
#ifdef Q_OS_WIN
    const QDir source = QFileInfo(built).absoluteDir();
    const QStringList libraries = source.entryList({QStringLiteral("*.dll")}, QDir::Files);
    for (const QString &library : libraries) {
        const QString copy = targetDir + QLatin1Char('/') + library;
        if (!QFileInfo::exists(copy) && !QFile::copy(source.filePath(library), copy))
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
