#ifndef TVX_UPDATETEXT_H
#define TVX_UPDATETEXT_H

#include "upgrade/files/upgradetypes.h"

#include <QCoreApplication>
#include <QLocale>
#include <QString>

// The words the update component shows: sizes, dates, durations, progress
// and failures, in the user's language and locale. Nothing here shows a
// raw number of the engine's records, a result code's name outside the
// details line, or a path.
class UpdateText
{
    Q_DECLARE_TR_FUNCTIONS(UpdateText)

public:
    // Binary units, written as such: "888 bytes", "1.6 MiB". Empty for an
    // unknown (negative) size.
    static QString size(qint64 llBytes, const QLocale &locale = QLocale());
    // A release date as the engine compares it (YYYYMMDDhhmm), as a date of
    // the locale; empty when the number is no date.
    static QString releaseDate(qint64 llReleaseDate, const QLocale &locale = QLocale());
    // "about 5 seconds", "about 3 minutes", "about 2 hours".
    static QString duration(qint64 llSeconds);
    // "1.2 MiB of 3.4 MiB, 512 KiB/s, about 5 seconds left"; the speed and
    // the time left only when known (dBytesPerSecond > 0), the total only
    // when known (> 0).
    static QString progress(qint64 llBytes, qint64 llTotal, double dBytesPerSecond,
                            const QLocale &locale = QLocale());

    struct Failure
    {
        QString strWhat;     // what went wrong, in words
        QString strNextStep; // what the user can do
        QString strDetails;  // "Details: UPGRADE_OP_NETWORK_FAILED (4)", for support
    };
    // isDownload: the failure ended a download (else a check).
    static Failure failure(UpgradeOpError result, bool isDownload);
};

// What a module's upgrade will really download: the offered delta when the
// signed document has one for the installed version, else the full packet.
struct DownloadSize
{
    qint64 llBytes = -1;     // -1: unknown
    qint64 llFullBytes = -1; // the full packet; -1 when unknown
    bool isDelta = false;
};
DownloadSize downloadSize(const ModuleVersion &offered, const QString &strInstalledVersion);

#endif // TVX_UPDATETEXT_H
