#ifndef TVX_TEST_DEMOFIXTURE_H
#define TVX_TEST_DEMOFIXTURE_H

// The pieces of the demo that the tests of the demo main form share: the
// solution information file of an installation with the demo module, and a
// server directory for tarvex-upgrade-server that offers a newer version of
// it as a real 7z packet.

#include "common/processend.h"
#include "common/filetree.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace DemoFixture {

const char moduleId[] = "DemoModule";
const char serverKey[] = "demo-test-key";
const qint64 oldReleaseDate = 202401150900;
const qint64 newReleaseDate = 202406010900;

// A path in the test's own application directory, where the main form looks
// for the installation.
inline QString appPath(const QString &relative)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
}

inline QString solutionInfoPath()
{
    return appPath(QStringLiteral("Solutions/SolutionInfo.xml"));
}

// Removes what a test put into the test's application directory, before and after.
class AppDirCleaner
{
public:
    AppDirCleaner() { clean(); }
    ~AppDirCleaner() { clean(); }
    static void clean()
    {
        for (const char *name : {"Solutions", "Tmp"})
            QDir(appPath(QLatin1String(name))).removeRecursively();
        // The update panel's record of choices, beside the server file.
        QFile::remove(appPath(QStringLiteral("Conf/System/UpdateUi.json")));
    }
};

inline QByteArray solutionInfo(const QByteArray &version, qint64 releaseDate, int state,
                               const QByteArray &desc = "The demo module")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SolutionInfo>\n"
           "    <SolutionS>\n"
           "        <Solution id=\"" + QByteArray(moduleId) + "\" name=\"Demo module\">\n"
           "            <Version>" + version + "</Version>\n"
           "            <ReleaseDate>" + QByteArray::number(releaseDate) + "</ReleaseDate>\n"
           "            <State>" + QByteArray::number(state) + "</State>\n"
           "            <Desc>" + desc + "</Desc>\n"
           "            <Size>1</Size>\n"
           "        </Solution>\n"
           "    </SolutionS>\n"
           "</SolutionInfo>\n";
}

// The module's files as version 1.0 installs them, below the application directory.
inline QMap<QString, QByteArray> oldModuleFiles()
{
    return {{QStringLiteral("Solutions/DemoModule/module.txt"), "DemoModule version 1.0\n"},
            {QStringLiteral("Solutions/DemoModule/readme.txt"), "The demo module, version 1.0.\n"}};
}

// Version 2.0: both files replaced, one added.
inline QMap<QString, QByteArray> newModuleFiles()
{
    return {{QStringLiteral("Solutions/DemoModule/module.txt"), "DemoModule version 2.0\n"},
            {QStringLiteral("Solutions/DemoModule/readme.txt"), "The demo module, version 2.0.\n"},
            {QStringLiteral("Solutions/DemoModule/whatsnew.txt"), "New in 2.0: this file.\n"}};
}

inline bool writeFiles(const QString &root, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!FileTree::writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

inline bool copyFile(const QString &source, const QString &target)
{
    QDir().mkpath(QFileInfo(target).absolutePath());
    return QFile::copy(source, target);
}

inline QString run7z(const QString &workDir, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    startProcess(process, QStringLiteral(TVX_SYSTEM_7Z), arguments);
    if (!waitForProcessEnd(process, 120000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        return QStringLiteral("7z %1 failed: %2").arg(arguments.join(QLatin1Char(' ')),
                                                      QString::fromLocal8Bit(process.readAll()));
    }
    return QString();
}

// A server root: packets/<packetName> made with "7z a" from files (relative
// path -> content; a value of "<dir>" makes a directory), and manifest.json
// offering version 2.0 of the module in it. sizeText is the manifest's
// "Size"; empty: the packet's real size.
class ServerDir
{
public:
    QString root() const { return m_dir.path(); }
    QString packetPath() const { return root() + QLatin1String("/packets/") + m_packetName; }

    // Empty on success, the reason otherwise.
    QString make(const QMap<QString, QByteArray> &files, const QString &sizeText = QString(),
                 const QStringList &extraFiles = QStringList())
    {
        if (!m_dir.isValid() || !QDir().mkpath(root() + QLatin1String("/packets")))
            return QStringLiteral("no server directory");
        QTemporaryDir staging;
        if (!staging.isValid())
            return QStringLiteral("no staging directory");
        QStringList tops;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = staging.filePath(it.key());
            const bool isMade = it.value() == "<dir>" ? QDir().mkpath(path) : FileTree::writeFile(path, it.value());
            if (!isMade)
                return QStringLiteral("cannot write %1").arg(path);
            const QString top = it.key().section(QLatin1Char('/'), 0, 0);
            if (!tops.contains(top))
                tops.append(top);
        }
        // Files to copy in as they are (the upgrader): "source=relative".
        for (const QString &extra : extraFiles) {
            const QString source = extra.section(QLatin1Char('='), 0, 0);
            const QString relative = extra.section(QLatin1Char('='), 1);
            if (!copyFile(source, staging.filePath(relative)))
                return QStringLiteral("cannot copy %1").arg(source);
            const QString top = relative.section(QLatin1Char('/'), 0, 0);
            if (!tops.contains(top))
                tops.append(top);
        }
        const QString error = run7z(staging.path(), QStringList{QStringLiteral("a"), QStringLiteral("-bd"),
                                                                 QStringLiteral("-y"), packetPath()} + tops);
        if (!error.isEmpty())
            return error;
        return writeManifest(sizeText);
    }

    QString writeManifest(const QString &sizeText = QString())
    {
        const QString size = sizeText.isEmpty()
                ? QString::number(double(QFileInfo(packetPath()).size()) / (1024.0 * 1024.0), 'f', 6)
                : sizeText;
        const QByteArray manifest = "{\"modules\": [{\"ID\": \"" + QByteArray(moduleId)
                + "\", \"Version\": \"2.0\", \"ReleaseDate\": " + QByteArray::number(newReleaseDate)
                + ", \"Size\": \"" + size.toUtf8()
                + "\", \"Desc\": \"Version 2.0 of the demo module, with a description long enough to be cut"
                  " off in the main form\", \"Packet\": \"" + m_packetName.toUtf8()
                + "\", \"IconUrl\": \"http://127.0.0.1/DemoModule.png\"}]}\n";
        return FileTree::writeFile(root() + QLatin1String("/manifest.json"), manifest)
                ? QString()
                : QStringLiteral("cannot write the manifest");
    }

private:
    QTemporaryDir m_dir;
    QString m_packetName = QStringLiteral("DemoModule-2.0.7z");
};

} // namespace DemoFixture

#endif // TVX_TEST_DEMOFIXTURE_H
