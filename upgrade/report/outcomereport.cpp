#include "upgrade/report/outcomereport.h"

#include "platform/http.h"
#include "platform/readfile.h"
#include "upgrade/files/durable.h"
#include "upgrade/files/installationinfo.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>

namespace OutcomeReports {

namespace {

QJsonObject reportToJson(const OutcomeReport &report)
{
    return QJsonObject{{QStringLiteral("i"), report.strReportId},   {QStringLiteral("m"), report.strModule},
                       {QStringLiteral("f"), report.strFrom},       {QStringLiteral("t"), report.strTo},
                       {QStringLiteral("b"), report.nBucket},       {QStringLiteral("c"), report.nCheck},
                       {QStringLiteral("d"), report.nDownload},     {QStringLiteral("a"), report.nApply},
                       {QStringLiteral("k"), report.strMethod},     {QStringLiteral("n"), double(report.llBytes)},
                       {QStringLiteral("dms"), double(report.llDownloadMs)},
                       {QStringLiteral("h"), report.strHealth},     {QStringLiteral("why"), report.strReason},
                       {QStringLiteral("at"), double(report.llAt)}};
}

OutcomeReport reportFromJson(const QJsonObject &object)
{
    OutcomeReport report;
    report.strReportId = object.value(QLatin1String("i")).toString().left(64);
    report.strModule = object.value(QLatin1String("m")).toString().left(200);
    report.strFrom = object.value(QLatin1String("f")).toString().left(100);
    report.strTo = object.value(QLatin1String("t")).toString().left(100);
    report.nBucket = object.value(QLatin1String("b")).toInt(-1);
    report.nCheck = object.value(QLatin1String("c")).toInt(-1);
    report.nDownload = object.value(QLatin1String("d")).toInt(-1);
    report.nApply = object.value(QLatin1String("a")).toInt(-1);
    report.strMethod = object.value(QLatin1String("k")).toString().left(8);
    report.llBytes = qint64(object.value(QLatin1String("n")).toDouble(-1));
    report.llDownloadMs = qint64(object.value(QLatin1String("dms")).toDouble(-1));
    report.strHealth = object.value(QLatin1String("h")).toString().left(16);
    report.strReason = object.value(QLatin1String("why")).toString().left(200);
    report.llAt = qint64(object.value(QLatin1String("at")).toDouble(0));
    return report;
}

} // namespace

QString reportId(const QString &strInstallationId, const QString &strModule, const QString &strVersion)
{
    // Counts one installation once per release, and tells nothing that
    // would link its reports across releases.
    const QByteArray input = "report\n" + strInstallationId.toUtf8() + '\n' + strModule.toUtf8() + '\n'
        + strVersion.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex().left(16));
}

QByteArray toQuery(const OutcomeReport &report)
{
    const auto build = [&report](const QString &strReason) {
        QUrlQuery query;
        const auto add = [&query](const char *key, const QString &value) {
            query.addQueryItem(QLatin1String(key), QString::fromLatin1(QUrl::toPercentEncoding(value)));
        };
        add("v", QStringLiteral("1"));
        add("i", report.strReportId);
        add("m", report.strModule);
        add("f", report.strFrom);
        add("t", report.strTo);
        add("b", QString::number(report.nBucket));
        add("c", QString::number(report.nCheck));
        add("d", QString::number(report.nDownload));
        add("a", QString::number(report.nApply));
        add("k", report.strMethod);
        add("n", QString::number(report.llBytes));
        add("dms", QString::number(report.llDownloadMs));
        add("h", report.strHealth);
        add("why", strReason);
        add("at", QString::number(report.llAt));
        return query.query(QUrl::FullyEncoded).toLatin1();
    };
    QString reason = report.strReason;
    QByteArray query = build(reason);
    while (query.size() > MaxQueryBytes && !reason.isEmpty()) {
        reason.chop(qMax(1, reason.size() / 4));
        query = build(reason);
    }
    return query.size() > MaxQueryBytes ? QByteArray() : query;
}

bool savePending(const CInstallLayout &layout, const PendingReports &pending, QString &strError)
{
    QJsonArray reports;
    for (const OutcomeReport &report : pending.vecReports.mid(0, MaxReports))
        reports.append(reportToJson(report));
    const QString path = layout.pendingReportFile();
    const QByteArray content =
        QJsonDocument(QJsonObject{{QStringLiteral("url"), pending.strUrl}, {QStringLiteral("reports"), reports}})
            .toJson(QJsonDocument::Compact);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !Durable::writeFileAtomically(path, content)) {
        strError = QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path));
        return false;
    }
    return true;
}

bool loadPending(const CInstallLayout &layout, PendingReports &pending)
{
    pending = PendingReports();
    QByteArray content;
    QString error;
    if (!QFileInfo::exists(layout.pendingReportFile()))
        return false;
    if (!readFileBounded(layout.pendingReportFile(), 256 * 1024, content, error)) {
        qWarning().noquote() << "outcome report dropped:" << error;
        removePending(layout);
        return false;
    }
    const QJsonObject object = QJsonDocument::fromJson(content).object();
    pending.strUrl = object.value(QLatin1String("url")).toString();
    const QJsonArray reports = object.value(QLatin1String("reports")).toArray();
    for (int i = 0; i < reports.size() && i < MaxReports; ++i)
        pending.vecReports.append(reportFromJson(reports.at(i).toObject()));
    if (pending.strUrl.isEmpty() || pending.vecReports.isEmpty()) {
        qWarning() << "outcome report dropped: the pending report is damaged";
        removePending(layout);
        return false;
    }
    return true;
}

void removePending(const CInstallLayout &layout)
{
    QFile::remove(layout.pendingReportFile());
}

int send(const QString &strUrl, const QVector<OutcomeReport> &vecReports)
{
    // A server that takes every connection and answers none must not keep
    // the user waiting for the program to end.
    QDeadlineTimer deadline(TotalTimeoutMs);
    int sent = 0;
    int dropped = 0;
    for (const OutcomeReport &report : vecReports.mid(0, MaxReports)) {
        if (deadline.hasExpired()) {
            ++dropped;
            continue;
        }
        const QByteArray query = toQuery(report);
        if (query.isEmpty()) {
            qWarning() << "outcome report of" << report.strModule << "not sent: it does not fit" << MaxQueryBytes
                       << "bytes";
            continue;
        }
        const QString url = strUrl + (strUrl.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?'))
            + QString::fromLatin1(query);
        QString lastError;
        bool isSent = false;
        for (int attempt = 1; attempt <= MaxAttempts && !isSent && !deadline.hasExpired(); ++attempt) {
            const int timeoutMs = int(qBound<qint64>(1, deadline.remainingTime(), AttemptTimeoutMs));
            CHttp http;
            http.InitData();
            http.setTimeOut(timeoutMs, 1, 2);
            HttpLimits limits;
            limits.llTimeoutMs = timeoutMs;
            http.setLimits(limits);
            const HTTP_ERROR error = http.GetInfo(url, QStringList());
            isSent = error == HTTP_SUCCESS;
            lastError = QStringLiteral("%1 (HTTP status %2)").arg(int(error)).arg(http.httpStatus());
            // A server that refuses the report will refuse it again.
            if (!isSent && http.httpStatus() >= 400 && http.httpStatus() < 500)
                break;
            if (!isSent && attempt < MaxAttempts)
                QThread::msleep(ulong(qBound<qint64>(0, deadline.remainingTime(), 200 * attempt)));
        }
        if (isSent)
            ++sent;
        else
            qWarning().noquote() << "outcome report of" << report.strModule << report.strTo << "not sent to"
                                 << strUrl << "- error" << lastError;
    }
    if (dropped > 0)
        qWarning().noquote() << dropped << "outcome report(s) not sent to" << strUrl << "- out of time";
    return sent;
}

int completePending(const CInstallLayout &layout, int nApply, const QString &strHealth, const QString &strReason)
{
    PendingReports pending;
    if (!loadPending(layout, pending))
        return 0;
    removePending(layout);
    InstallationInfo info;
    QString error;
    loadInstallationInfo(layout.appDir(), info, error);
    if (!info.isReporting)
        return 0;
    for (OutcomeReport &report : pending.vecReports) {
        qInfo().noquote() << "outcome report:" << report.strModule << report.strFrom << "->" << report.strTo << "apply"
                          << nApply << (strHealth.isEmpty() ? QStringLiteral("(health not watched)") : strHealth);
        report.nApply = nApply;
        report.strHealth = strHealth;
        report.strReason = strReason;
        report.llAt = QDateTime::currentSecsSinceEpoch();
    }
    return send(pending.strUrl, pending.vecReports);
}

} // namespace OutcomeReports
