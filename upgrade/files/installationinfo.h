#ifndef TVX_INSTALLATIONINFO_H
#define TVX_INSTALLATIONINFO_H

#include <QString>

// What an installation keeps about itself for staged rollouts and outcome
// reports, in the install layout's installation file: a random id made
// once, the release channel it follows, and whether it sends reports.
// {"id": 32 hex digits, "channel": NAME, "reports": true|false}
struct InstallationInfo
{
    QString strId;
    QString strChannel = QStringLiteral("stable");
    bool isReporting = true;
};

// Reads the installation's record; a missing one, or one without a valid
// id, gets a new random id and is written back at once, so that the id
// stays the same from then on. A channel name that is not valid reads as
// "stable". False, with the reason, only when a new record cannot be kept:
// info then holds an id for this run alone.
bool loadInstallationInfo(const QString &strAppDir, InstallationInfo &info, QString &strError);
bool saveInstallationInfo(const QString &strAppDir, const InstallationInfo &info, QString &strError);
// A new random id: 128 bits, lower-case hex.
QString newInstallationId();

#endif // TVX_INSTALLATIONINFO_H
