#include "upgrade/files/installationinfo.h"

#include "platform/readfile.h"
#include "upgrade/files/durable.h"
#include "upgrade/files/installlayout.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

bool isInstallationId(const QString &strId)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{32}$"));
    return pattern.match(strId).hasMatch();
}

bool isChannel(const QString &strName)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9][a-z0-9._-]{0,31}$"));
    return pattern.match(strName).hasMatch();
}

} // namespace

QString newInstallationId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof(words)).toHex());
}

bool saveInstallationInfo(const QString &strAppDir, const InstallationInfo &info, QString &strError)
{
    const QString path = CInstallLayout(strAppDir).installationFile();
    const QJsonObject object{{QStringLiteral("id"), info.strId},
                             {QStringLiteral("channel"), info.strChannel},
                             {QStringLiteral("reports"), info.isReporting}};
    if (!QDir().mkpath(QFileInfo(path).absolutePath())
        || !Durable::writeFileAtomically(path, QJsonDocument(object).toJson())) {
        strError = QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path));
        return false;
    }
    return true;
}

bool loadInstallationInfo(const QString &strAppDir, InstallationInfo &info, QString &strError)
{
    info = InstallationInfo();
    const QString path = CInstallLayout(strAppDir).installationFile();
    QByteArray content;
    QString readError;
    if (readFileBounded(path, 64 * 1024, content, readError)) {
        const QJsonObject object = QJsonDocument::fromJson(content).object();
        info.strId = object.value(QLatin1String("id")).toString();
        const QString channel = object.value(QLatin1String("channel")).toString();
        if (isChannel(channel))
            info.strChannel = channel;
        info.isReporting = object.value(QLatin1String("reports")).toBool(true);
        if (isInstallationId(info.strId))
            return true;
    }
    // Made once: from here on the installation keeps its buckets.
    info.strId = newInstallationId();
    return saveInstallationInfo(strAppDir, info, strError);
}
