#ifndef TVX_OUTCOMEREPORT_H
#define TVX_OUTCOMEREPORT_H

#include "upgrade/files/installlayout.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The outcome of one module's upgrade, as the installation reports it to the
// URL the signed release document names. Only what the publisher needs to
// judge the release: an id that stands for this installation and this
// release alone, versions, result codes, how the packet came and how long
// it took. Nothing about the user or the machine.
struct OutcomeReport
{
    QString strReportId;     // 16 hex digits from the installation id and the release
    QString strModule;
    QString strFrom;         // installed version before
    QString strTo;           // version offered
    int nBucket = -1;        // the installation's rollout bucket for the release
    int nCheck = 0;          // result codes as the engine gives them; -1: not reached
    int nDownload = -1;
    int nApply = -1;
    QString strMethod;       // "full" or "delta"; empty when nothing came
    qint64 llBytes = -1;     // bytes received over the network
    qint64 llDownloadMs = -1;
    QString strHealth;       // "healthy", "reverted" or empty: not watched
    QString strReason;       // why it was reverted, short
    qint64 llAt = 0;         // seconds since the epoch, when the report was made
};

// Reports made after a download, waiting for the apply and the health check
// to complete them; kept in the install layout's pending report file.
struct PendingReports
{
    QString strUrl;
    QVector<OutcomeReport> vecReports;
};

namespace OutcomeReports {

constexpr int MaxReports = 16;      // per upgrade
constexpr int MaxAttempts = 3;      // per report
constexpr int AttemptTimeoutMs = 2000;
constexpr int TotalTimeoutMs = 6000; // all reports of an upgrade together
constexpr int MaxQueryBytes = 2048; // nginx takes it in one header buffer

QString reportId(const QString &strInstallationId, const QString &strModule, const QString &strVersion);
// The report as the query of its request: v=1&i=...&m=...; at most
// MaxQueryBytes, the reason cut to fit.
QByteArray toQuery(const OutcomeReport &report);

bool savePending(const CInstallLayout &layout, const PendingReports &pending, QString &strError);
// False when there is none, or it cannot be read (it is removed then).
bool loadPending(const CInstallLayout &layout, PendingReports &pending);
void removePending(const CInstallLayout &layout);

// Sends each report to strUrl: a GET with the report as its query, each
// attempt bounded to AttemptTimeoutMs, at most MaxAttempts of them with a
// short pause between, all of them within TotalTimeoutMs. Never fails the
// caller: returns the number of reports the server took, and logs the others.
int send(const QString &strUrl, const QVector<OutcomeReport> &vecReports);

// The end of an upgrade: completes the pending reports with the apply's
// result and the health verdict (strHealth empty: not watched), sends them
// unless the installation turned reports off, and removes them either way.
// Returns the number sent.
int completePending(const CInstallLayout &layout, int nApply, const QString &strHealth, const QString &strReason);

} // namespace OutcomeReports

#endif // TVX_OUTCOMEREPORT_H
