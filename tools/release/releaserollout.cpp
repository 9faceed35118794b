// Staged rollouts: which share of the installations a release reaches, on
// which channels, when it is halted, and what the installations reported.

#include "releasetool.h"
#include "releasetool_p.h"

#include "platform/readfile.h"
#include "upgrade/trust/rollout.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QUrlQuery>

#include <algorithm>

namespace ReleaseTool {

namespace {

constexpr qint64 maxScheduleBytes = 64 * 1024;
constexpr qint64 maxLogBytes = qint64(2) * 1024 * 1024 * 1024;

enum class Change { Set, Advance, Halt };

// "YYYY-MM-DDThh:mm:ssZ PERCENT" a line, by time; "#" starts a comment.
bool readSchedule(const QString &strPath, QVector<Trust::RolloutStep> &vecSteps, QString &strError)
{
    QByteArray content;
    if (!readFileBounded(strPath, maxScheduleBytes, content, strError))
        return false;
    static const QRegularExpression linePattern(
        QStringLiteral("^([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z)\\s+([0-9]{1,3})$"));
    const QStringList lines = QString::fromUtf8(content).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch match = linePattern.match(line);
        const QDateTime at = QDateTime::fromString(match.captured(1), Qt::ISODate);
        const int percent = match.captured(2).toInt();
        const QString where = QStringLiteral("%1 line %2").arg(strPath).arg(i + 1);
        if (!match.hasMatch() || !at.isValid() || percent > 100) {
            strError = QStringLiteral("%1: expected \"YYYY-MM-DDThh:mm:ssZ PERCENT\" (a whole number from 0 to "
                                      "100), got \"%2\"")
                           .arg(where, line);
            return false;
        }
        if (!vecSteps.isEmpty() && at.toSecsSinceEpoch() <= vecSteps.last().llAt) {
            strError = QStringLiteral("%1: the steps must come in order of time, each later than the one before")
                           .arg(where);
            return false;
        }
        vecSteps.append(Trust::RolloutStep{at.toSecsSinceEpoch(), percent});
    }
    if (vecSteps.isEmpty() || vecSteps.size() > 100) {
        strError = QStringLiteral("%1 holds %2 steps; a schedule has 1 to 100").arg(strPath).arg(vecSteps.size());
        return false;
    }
    return true;
}

// The latest earlier release of the module in the site's history that was
// not withdrawn, with its packets still on the site.
bool findPrevious(const QString &strRoot, const QJsonObject &manifest, const Trust::ReleaseModule &current,
                  Trust::PreviousRelease &previous)
{
    const QJsonArray history = manifest.value(QLatin1String("history")).toArray();
    for (int i = history.size() - 1; i >= 0; --i) {
        const QJsonObject entry = history.at(i).toObject();
        Trust::ReleaseModule candidate;
        QString error;
        if (entry.value(QLatin1String("ID")).toString() != current.strId || entry.value(QLatin1String("Withdrawn")).toBool()
            || !moduleFromManifest(entry, candidate, error) || candidate.baSha256 == current.baSha256
            || candidate.llReleaseDate >= current.llReleaseDate
            || !checkPacketFile(strRoot, candidate.strPacket, candidate.llBytes, candidate.baSha256, error))
            continue;
        previous.isSet = true;
        previous.strVersion = candidate.strVersion;
        previous.llReleaseDate = candidate.llReleaseDate;
        previous.strPacket = candidate.strPacket;
        previous.llBytes = candidate.llBytes;
        previous.baSha256 = candidate.baSha256;
        for (const DeltaPacket &delta : qAsConst(candidate.vecDeltas)) {
            if (checkPacketFile(strRoot, delta.strPacket, delta.llBytes, delta.baSha256, error))
                previous.vecDeltas.append(delta);
        }
        return true;
    }
    return false;
}

QString shareText(const Trust::ReleaseRollout &rollout)
{
    if (!rollout.isSet)
        return QStringLiteral("every installation");
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QString text = rollout.isHalted ? QStringLiteral("no installation that lacks it (halted)")
                                    : QStringLiteral("%1 % now (buckets below %1)").arg(Trust::rolloutPercent(rollout, now));
    if (rollout.vecSteps.size() > 1 || rollout.vecSteps.value(0).llAt != 0) {
        QStringList steps;
        for (const Trust::RolloutStep &step : rollout.vecSteps)
            steps << QStringLiteral("%1 % from %2")
                         .arg(step.nPercent)
                         .arg(QDateTime::fromSecsSinceEpoch(step.llAt, Qt::UTC).toString(Qt::ISODate));
        text += QStringLiteral("; schedule: ") + steps.join(QLatin1String(", "));
    }
    return text;
}

int changeRollout(const RolloutOptions &options, Change change)
{
    QJsonObject manifest;
    QString error;
    if (!readManifest(options.strRoot, manifest, error)) {
        printError(error);
        return 1;
    }
    QJsonArray modules = manifest.value(QLatin1String("modules")).toArray();
    int index = -1;
    for (int i = 0; i < modules.size(); ++i) {
        if (modules.at(i).toObject().value(QLatin1String("ID")).toString() == options.strModule)
            index = i;
    }
    if (index < 0) {
        printError(QStringLiteral("the site offers no module \"%1\"").arg(options.strModule));
        return 1;
    }
    QJsonObject entry = modules.at(index).toObject();
    Trust::ReleaseModule module;
    if (!moduleFromManifest(entry, module, error)) {
        printError(error);
        return 1;
    }
    for (const QString &channel : options.listChannels) {
        if (!Trust::isChannelName(channel)) {
            printError(QStringLiteral("--channel takes a name of 1 to 32 of a-z, 0-9, \".\", \"_\", \"-\", got \"%1\"")
                           .arg(channel));
            return 1;
        }
    }
    const Trust::ReleaseRollout before = module.rollout;
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    if (change == Change::Halt) {
        if (!module.rollout.isSet)
            module.rollout.vecSteps = {Trust::RolloutStep{0, 100}};
        module.rollout.isSet = true;
        module.rollout.isHalted = true;
    } else {
        Trust::ReleaseRollout rollout;
        rollout.isSet = true;
        if (options.hasPercent) {
            rollout.vecSteps = {Trust::RolloutStep{0, options.nPercent}};
        } else if (!readSchedule(options.strScheduleFile, rollout.vecSteps, error)) {
            printError(error);
            return 1;
        }
        if (change == Change::Advance) {
            const int offered = Trust::rolloutPercent(before, now);
            const int next = Trust::rolloutPercent(rollout, now);
            if (!before.isSet) {
                printError(QStringLiteral("%1 %2 has no rollout to advance: it is offered to every installation "
                                          "(\"rollout set\" starts one)")
                               .arg(module.strId, module.strVersion));
                return 1;
            }
            if (next < offered && !before.isHalted) {
                printError(QStringLiteral("advance never lowers the share: %1 %2 reaches %3 % now, the new rollout "
                                          "%4 %; use \"rollout set\" or \"rollout halt\"")
                               .arg(module.strId, module.strVersion)
                               .arg(offered)
                               .arg(next));
                return 1;
            }
        }
        module.rollout = rollout;
        if (change == Change::Set && !options.listChannels.isEmpty()) {
            module.listChannels = options.listChannels;
            // Stable is what every installation sees; listing it alone is
            // the same as listing nothing, and reads as before channels.
            if (module.listChannels == QStringList{Trust::stableChannel()})
                module.listChannels.clear();
        }
    }
    if (!module.previous.isSet && !findPrevious(options.strRoot, manifest, module, module.previous))
        printWarning(QStringLiteral("the site's history holds no earlier release of %1 with its packet: "
                                    "installations outside the rollout are offered nothing for it")
                         .arg(module.strId));

    const QString text = QStringLiteral("%1 %2: offered to %3%4%5\n")
                             .arg(module.strId, module.strVersion, shareText(module.rollout),
                                  module.listChannels.isEmpty()
                                      ? QString()
                                      : QStringLiteral(", on channel(s) %1 and to those following them")
                                            .arg(module.listChannels.join(QLatin1String(", "))),
                                  module.previous.isSet ? QStringLiteral("; the others are offered %1")
                                                              .arg(module.previous.strVersion)
                                                        : QString());
    if (options.isDryRun) {
        printOut(QStringLiteral("Would set the rollout of ") + text);
        return signSite(options.strRoot, options.listKeyFiles, options.strExpires, {}, options.strReportUrl, true,
                        true);
    }

    QByteArray oldManifest;
    if (!readFileBounded(manifestPath(options.strRoot), maxManifestBytes, oldManifest, error)) {
        printError(error);
        return 1;
    }
    for (const char *key : {"Channels", "Rollout", "Halted", "Previous"})
        entry.remove(QLatin1String(key));
    Trust::offerToJson(module, entry);
    modules.replace(index, entry);
    manifest.insert(QStringLiteral("modules"), modules);
    if (!writeManifest(options.strRoot, manifest, error)) {
        printError(error);
        return 1;
    }
    // The manifest and the signed document agree, or neither changed.
    const int signedResult =
        signSite(options.strRoot, options.listKeyFiles, options.strExpires, {}, options.strReportUrl, true, false);
    if (signedResult != 0) {
        QFile file(manifestPath(options.strRoot));
        if (!file.open(QIODevice::WriteOnly) || file.write(oldManifest) != oldManifest.size())
            printError(QStringLiteral("cannot restore %1").arg(manifestPath(options.strRoot)));
        return signedResult;
    }
    printOut(QStringLiteral("Rollout of ") + text + QStringLiteral("Now publish the site as usual.\n"));
    return 0;
}

// One outcome report as nginx logged it: "TIME QUERY" (the log format that
// publish writes), the query holding the report's fields.
struct Report
{
    QString strId;
    QString strModule;
    QString strVersion;
    int nBucket = -1;
    bool isReverted = false;
    bool isFailed = false;
    qint64 llDownloadMs = -1;
};

bool parseReport(const QString &strLine, Report &report)
{
    const QString query = strLine.section(QLatin1Char(' '), 1).trimmed();
    const QUrlQuery fields(query.startsWith(QLatin1Char('?')) ? query.mid(1) : query);
    const auto field = [&fields](const char *name) {
        return fields.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
    };
    bool isBucket = false;
    report.strId = field("i");
    report.strModule = field("m");
    report.strVersion = field("t");
    report.nBucket = field("b").toInt(&isBucket);
    if (field("v") != QLatin1String("1") || report.strId.isEmpty() || report.strModule.isEmpty()
        || report.strVersion.isEmpty() || !isBucket || report.nBucket < 0 || report.nBucket > 99)
        return false;
    report.isReverted = field("h") == QLatin1String("reverted");
    report.isFailed = !report.isReverted && (field("d") != QLatin1String("0") || field("a") != QLatin1String("0"));
    bool isNumber = false;
    const qint64 ms = field("dms").toLongLong(&isNumber);
    report.llDownloadMs = isNumber && ms >= 0 ? ms : -1;
    return true;
}

struct Tally
{
    QSet<QString> setSeen;
    int nReports = 0;
    int nSuccess = 0;
    int nReverted = 0;
    int nFailed = 0;
    QVector<qint64> vecDownloadMs;

    void add(const Report &report)
    {
        setSeen.insert(report.strId);
        ++nReports;
        nReverted += report.isReverted ? 1 : 0;
        nFailed += report.isFailed ? 1 : 0;
        nSuccess += report.isReverted || report.isFailed ? 0 : 1;
        if (report.llDownloadMs >= 0)
            vecDownloadMs.append(report.llDownloadMs);
    }
    double badPercent() const { return nReports > 0 ? 100.0 * (nReverted + nFailed) / nReports : 0.0; }
    qint64 medianMs()
    {
        if (vecDownloadMs.isEmpty())
            return -1;
        std::sort(vecDownloadMs.begin(), vecDownloadMs.end());
        return vecDownloadMs.at(vecDownloadMs.size() / 2);
    }
    QJsonObject toJson()
    {
        return QJsonObject{{QStringLiteral("installations"), setSeen.size()},
                           {QStringLiteral("reports"), nReports},
                           {QStringLiteral("success"), nSuccess},
                           {QStringLiteral("reverted"), nReverted},
                           {QStringLiteral("failed"), nFailed},
                           {QStringLiteral("medianDownloadMs"), double(medianMs())}};
    }
    QString text()
    {
        const qint64 median = medianMs();
        return QStringLiteral("%1 installation(s), %2 success, %3 reverted, %4 failed, median download %5")
            .arg(setSeen.size())
            .arg(nSuccess)
            .arg(nReverted)
            .arg(nFailed)
            .arg(median < 0 ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(median));
    }
};

struct ReleaseTally
{
    Tally all;
    QMap<int, Tally> byRange; // first bucket of each range of ten
};

} // namespace

int rolloutSet(const RolloutOptions &options)
{
    return changeRollout(options, Change::Set);
}

int rolloutAdvance(const RolloutOptions &options)
{
    return changeRollout(options, Change::Advance);
}

int rolloutHalt(const RolloutOptions &options)
{
    return changeRollout(options, Change::Halt);
}

int rolloutStatus(const RolloutStatusOptions &options)
{
    QFile log(options.strLogFile);
    if (!log.open(QIODevice::ReadOnly)) {
        printError(QStringLiteral("cannot read %1: %2 (the report log that publish configures is "
                                  "OUT/logs/reports.log)")
                       .arg(options.strLogFile, log.errorString()));
        return 1;
    }
    // The last report of an installation about a release counts: a retry
    // that got through twice is one installation.
    QMap<QPair<QString, QString>, QMap<QString, Report>> latest;
    int skipped = 0;
    qint64 bytes = 0;
    while (!log.atEnd() && bytes < maxLogBytes) {
        const QByteArray line = log.readLine(64 * 1024);
        bytes += line.size();
        Report report;
        if (!parseReport(QString::fromUtf8(line), report)) {
            skipped += line.trimmed().isEmpty() ? 0 : 1;
            continue;
        }
        latest[qMakePair(report.strModule, report.strVersion)][report.strId] = report;
    }
    QMap<QPair<QString, QString>, ReleaseTally> tallies;
    for (auto release = latest.cbegin(); release != latest.cend(); ++release) {
        ReleaseTally &tally = tallies[release.key()];
        for (const Report &report : release.value()) {
            tally.all.add(report);
            tally.byRange[report.nBucket / 10 * 10].add(report);
        }
    }

    QJsonArray releases;
    QString text;
    QStringList toHalt;
    for (auto it = tallies.begin(); it != tallies.end(); ++it) {
        ReleaseTally &tally = it.value();
        const bool isOverLimit = options.hasAutoHalt && tally.all.nReports >= options.nMinReports
            && tally.all.badPercent() > options.dAutoHaltAbove;
        QJsonObject release = tally.all.toJson();
        release.insert(QStringLiteral("module"), it.key().first);
        release.insert(QStringLiteral("version"), it.key().second);
        release.insert(QStringLiteral("badPercent"), tally.all.badPercent());
        text += QStringLiteral("%1 %2: %3\n").arg(it.key().first, it.key().second, tally.all.text());
        QJsonArray ranges;
        for (auto range = tally.byRange.begin(); range != tally.byRange.end(); ++range) {
            QJsonObject object = range.value().toJson();
            object.insert(QStringLiteral("firstBucket"), range.key());
            object.insert(QStringLiteral("lastBucket"), range.key() + 9);
            ranges.append(object);
            text += QStringLiteral("  buckets %1-%2: %3\n").arg(range.key()).arg(range.key() + 9).arg(range.value().text());
        }
        release.insert(QStringLiteral("buckets"), ranges);
        if (isOverLimit)
            toHalt << it.key().first + QLatin1Char(' ') + it.key().second;
        releases.append(release);
    }
    if (skipped > 0)
        printWarning(QStringLiteral("%1 line(s) of %2 are no outcome reports and were skipped")
                         .arg(skipped)
                         .arg(options.strLogFile));
    printOut(options.isJson ? QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("releases"), releases}})
                                                    .toJson(QJsonDocument::Compact))
                                  + QLatin1Char('\n')
                            : (text.isEmpty() ? QStringLiteral("No outcome reports in %1\n").arg(options.strLogFile)
                                              : text));
    if (!options.hasAutoHalt)
        return 0;

    // Only the release a module offers now is halted: the reports of an
    // older one say nothing about what installations are offered today.
    QJsonObject manifest;
    QString error;
    if (!readManifest(options.halt.strRoot, manifest, error)) {
        printError(error);
        return 1;
    }
    int result = 0;
    for (const QString &release : qAsConst(toHalt)) {
        const QString module = release.section(QLatin1Char(' '), 0, 0);
        const QString version = release.section(QLatin1Char(' '), 1);
        Trust::ReleaseModule current;
        for (const QJsonValue &value : manifest.value(QLatin1String("modules")).toArray()) {
            if (value.toObject().value(QLatin1String("ID")).toString() == module)
                moduleFromManifest(value.toObject(), current, error);
        }
        if (current.strVersion != version) {
            printOut(QStringLiteral("%1 %2 passed the limit but is no longer the site's release of %1\n")
                         .arg(module, version));
            continue;
        }
        if (current.rollout.isHalted) {
            printOut(QStringLiteral("%1 %2 passed the limit and is halted already\n").arg(module, version));
            continue;
        }
        const Tally tally = tallies.value(qMakePair(module, version)).all;
        printOut(QStringLiteral("Halting %1 %2: %3 % of %4 report(s) reverted or failed, above the limit of %5 %\n")
                     .arg(module, version)
                     .arg(tally.badPercent(), 0, 'f', 1)
                     .arg(tally.nReports)
                     .arg(options.dAutoHaltAbove));
        RolloutOptions halt = options.halt;
        halt.strModule = module;
        result = std::max(result, rolloutHalt(halt));
    }
    return result;
}

} // namespace ReleaseTool
