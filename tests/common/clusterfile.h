#ifndef TVX_TEST_CLUSTERFILE_H
#define TVX_TEST_CLUSTERFILE_H

#include "upgrade/config/serverclusterinfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

// The engine reads its server list from <application dir>/Conf/System/
// UpgradeServerCluster.xml. Writes that file for a test and removes it, and
// the directories it had to create, on destruction.
class ScopedServerClusterFile
{
public:
    ScopedServerClusterFile() : m_appDir(QCoreApplication::applicationDirPath()) {}
    ~ScopedServerClusterFile() { remove(); }
    ScopedServerClusterFile(const ScopedServerClusterFile &) = delete;
    ScopedServerClusterFile &operator=(const ScopedServerClusterFile &) = delete;

    QString path() const { return m_appDir + QLatin1String("/Conf/System/UpgradeServerCluster.xml"); }

    // One server, current, with the given request settings.
    static ServerClusterInfo info(const QString &name, const QString &url, const QString &key,
                                  const QString &prefix = QStringLiteral("/api"),
                                  const QString &path = QStringLiteral("/upgrade/query"))
    {
        ServerClusterInfo info;
        info.vecServers.append(qMakePair(name, url));
        info.nCurrIndex = 0;
        info.strPrefix = prefix;
        info.strPath = path;
        info.strKey = key;
        return info;
    }

    bool write(const ServerClusterInfo &info)
    {
        for (const QString &dir : {QStringLiteral("Conf"), QStringLiteral("Conf/System")}) {
            const QString full = m_appDir + QLatin1Char('/') + dir;
            if (!QFileInfo::exists(full)) {
                if (!QDir().mkdir(full))
                    return false;
                m_createdDirs.prepend(full);
            }
        }
        return saveServerClusterInfo(info, path());
    }

    // Replaces the text of the file, for layouts the save operation refuses to write.
    bool replaceText(const QString &before, const QString &after)
    {
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QString text = QString::fromUtf8(file.readAll());
        file.close();
        if (!text.contains(before))
            return false;
        text.replace(before, after);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        return file.write(text.toUtf8()) >= 0;
    }

    void remove()
    {
        QFile::remove(path());
        for (const QString &dir : qAsConst(m_createdDirs))
            QDir().rmdir(dir);
        m_createdDirs.clear();
    }

private:
    QString m_appDir;
    QStringList m_createdDirs;
};

#endif // TVX_TEST_CLUSTERFILE_H
