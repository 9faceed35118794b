#ifndef TVX_UPDATECHOICES_H
#define TVX_UPDATECHOICES_H

#include "upgrade/files/upgradetypes.h"

#include <QDateTime>
#include <QString>
#include <QVector>

// What the user chose about updates, and what the component has to tell at
// the next start, kept per installation in Conf/System/UpdateUi.json (the
// install layout's updateUiFile()). Written whole and atomically after each
// change; a file that cannot be read counts as no choices made.
class CUpdateChoices
{
public:
    // A module version, as the user skipped it or as an upgrade installs it.
    struct Release
    {
        QString strId;
        QString strVersion;
        qint64 llReleaseDate = 0;
        QString strNotes;
    };

    explicit CUpdateChoices(const QString &strAppDir);

    QString filePath() const { return m_strPath; }
    // Reads the file again; false (and nothing chosen) when it is missing or unreadable.
    bool load();
    bool save() const;

    // "Skip this version": the offer and any not newer are not shown again.
    void skip(const QVector<ModuleVersion> &vecOffered);
    bool isSkipped(const ModuleVersion &offered) const;
    // Drops the offers the user skipped; true when some were.
    bool removeSkipped(QVector<ModuleVersion> &vecOffered) const;

    // "Remind me later": no automatic check or offer before then.
    void setRemindAfter(const QDateTime &when) { m_remindAfter = when.toUTC(); }
    QDateTime remindAfter() const { return m_remindAfter; }

    void setLastCheck(const QDateTime &when) { m_lastCheck = when.toUTC(); }
    QDateTime lastCheck() const { return m_lastCheck; }

    // The versions a staged upgrade brings, with their notes, to say
    // "Updated to ..." once they are installed.
    void setExpected(const QVector<ModuleVersion> &vecStaged);
    QVector<Release> expected() const { return m_vecExpected; }
    void clearExpected() { m_vecExpected.clear(); }

    // Held-back versions the user was told about at a start.
    bool isRevertAnnounced(const QString &strId, qint64 llReleaseDate) const;
    void setRevertAnnounced(const QString &strId, qint64 llReleaseDate);

private:
    QString m_strPath;
    QVector<Release> m_vecSkipped;
    QDateTime m_remindAfter;
    QDateTime m_lastCheck;
    QVector<Release> m_vecExpected;
    QVector<Release> m_vecAnnounced;
};

#endif // TVX_UPDATECHOICES_H
