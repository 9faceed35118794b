#include "updatechoices.h"

#include "platform/readfile.h"
#include "upgrade/files/durable.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/trust/releasedocument.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

// A few entries per module; the notes are the largest part.
constexpr qint64 maxFileBytes = 4 * 1024 * 1024;
constexpr int maxEntries = 1000;

QJsonArray releasesToJson(const QVector<CUpdateChoices::Release> &vecReleases)
{
    QJsonArray array;
    for (const CUpdateChoices::Release &release : vecReleases) {
        QJsonObject object{{QStringLiteral("id"), release.strId},
                           {QStringLiteral("version"), release.strVersion},
                           {QStringLiteral("releaseDate"), QString::number(release.llReleaseDate)}};
        if (!release.strNotes.isEmpty())
            object.insert(QStringLiteral("notes"), release.strNotes);
        array.append(object);
    }
    return array;
}

// The file is the installation's own, yet a user or a tool may have edited
// it: whatever does not read as a release is left out.
QVector<CUpdateChoices::Release> releasesFromJson(const QJsonValue &value)
{
    QVector<CUpdateChoices::Release> vecReleases;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &entry : array) {
        if (vecReleases.size() >= maxEntries)
            break;
        const QJsonObject object = entry.toObject();
        CUpdateChoices::Release release;
        bool isNumber = false;
        release.strId = object.value(QLatin1String("id")).toString();
        release.strVersion = object.value(QLatin1String("version")).toString();
        release.llReleaseDate = object.value(QLatin1String("releaseDate")).toString().toLongLong(&isNumber);
        release.strNotes = object.value(QLatin1String("notes")).toString();
        if (release.strId.isEmpty() || !isNumber || !Trust::releaseNotesProblem(release.strNotes).isEmpty())
            continue;
        vecReleases.append(release);
    }
    return vecReleases;
}

QDateTime timeFromJson(const QJsonValue &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODate).toUTC();
}

QString timeToJson(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

} // namespace

CUpdateChoices::CUpdateChoices(const QString &strAppDir)
    : m_strPath(CInstallLayout(strAppDir).updateUiFile())
{
}

bool CUpdateChoices::load()
{
    m_vecSkipped.clear();
    m_remindAfter = QDateTime();
    m_lastCheck = QDateTime();
    m_vecExpected.clear();
    m_vecAnnounced.clear();
    if (!QFileInfo::exists(m_strPath))
        return false;
    QByteArray content;
    QString error;
    if (!readFileBounded(m_strPath, maxFileBytes, content, error)) {
        qWarning() << "read the update choices failed:" << error;
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (!document.isObject()) {
        qWarning() << "the update choices in" << m_strPath << "are no JSON object; starting afresh";
        return false;
    }
    const QJsonObject root = document.object();
    m_vecSkipped = releasesFromJson(root.value(QLatin1String("skipped")));
    m_remindAfter = timeFromJson(root.value(QLatin1String("remindAfter")));
    m_lastCheck = timeFromJson(root.value(QLatin1String("lastCheck")));
    m_vecExpected = releasesFromJson(root.value(QLatin1String("expected")));
    m_vecAnnounced = releasesFromJson(root.value(QLatin1String("revertsAnnounced")));
    return true;
}

bool CUpdateChoices::save() const
{
    const QJsonObject root{{QStringLiteral("skipped"), releasesToJson(m_vecSkipped)},
                           {QStringLiteral("remindAfter"), timeToJson(m_remindAfter)},
                           {QStringLiteral("lastCheck"), timeToJson(m_lastCheck)},
                           {QStringLiteral("expected"), releasesToJson(m_vecExpected)},
                           {QStringLiteral("revertsAnnounced"), releasesToJson(m_vecAnnounced)}};
    if (!QDir().mkpath(QFileInfo(m_strPath).absolutePath())
        || !Durable::writeFileAtomically(m_strPath, QJsonDocument(root).toJson())) {
        qWarning() << "save the update choices in" << m_strPath << "failed";
        return false;
    }
    return true;
}

void CUpdateChoices::skip(const QVector<ModuleVersion> &vecOffered)
{
    for (const ModuleVersion &offered : vecOffered) {
        auto it = std::remove_if(m_vecSkipped.begin(), m_vecSkipped.end(),
                                 [&](const Release &release) { return release.strId == offered.strId; });
        m_vecSkipped.erase(it, m_vecSkipped.end());
        m_vecSkipped.append(Release{offered.strId, offered.strVersion, offered.llReleaseDate, QString()});
    }
}

bool CUpdateChoices::isSkipped(const ModuleVersion &offered) const
{
    // A newer release than the skipped one is offered again.
    for (const Release &release : m_vecSkipped) {
        if (release.strId == offered.strId && offered.llReleaseDate <= release.llReleaseDate)
            return true;
    }
    return false;
}

bool CUpdateChoices::removeSkipped(QVector<ModuleVersion> &vecOffered) const
{
    const int before = vecOffered.size();
    vecOffered.erase(std::remove_if(vecOffered.begin(), vecOffered.end(),
                                    [this](const ModuleVersion &offered) { return isSkipped(offered); }),
                     vecOffered.end());
    return vecOffered.size() != before;
}

void CUpdateChoices::setExpected(const QVector<ModuleVersion> &vecStaged)
{
    m_vecExpected.clear();
    for (const ModuleVersion &module : vecStaged)
        m_vecExpected.append(Release{module.strId, module.strVersion, module.llReleaseDate, module.strNotes});
}

bool CUpdateChoices::isRevertAnnounced(const QString &strId, qint64 llReleaseDate) const
{
    for (const Release &release : m_vecAnnounced) {
        if (release.strId == strId && release.llReleaseDate == llReleaseDate)
            return true;
    }
    return false;
}

void CUpdateChoices::setRevertAnnounced(const QString &strId, qint64 llReleaseDate)
{
    if (!isRevertAnnounced(strId, llReleaseDate) && m_vecAnnounced.size() < maxEntries)
        m_vecAnnounced.append(Release{strId, QString(), llReleaseDate, QString()});
}
