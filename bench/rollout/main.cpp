// bench_rollout [--modules N] [--rolled-out K] [--repeat R] [--channels-in-rollout]
// bench_rollout --reports N [--threads T] [--dir PATH]
// bench_rollout [--modules N] [--rolled-out K] [--channels-in-rollout] --write-answers DIR
//
// 1. The check of N modules (default 10000) in this process, as the engine
//    makes it once the answer is in: the answer read, the signed document
//    opened and checked against it, and for the rollout the installation's
//    choice of release. Today's signed document against one where every
//    module names its channels (with --channels-in-rollout, only those in
//    a rollout) and K of them (default all) are in a rollout: a schedule of
//    three steps and the previous release.
//    Median of R runs (default 15), process CPU time. Target: at most 1.1.
// 2. With --reports, N outcome reports (default 10000) sent as installations
//    send them (OutcomeReports::send) to nginx on loopback, set up by
//    "tarvex-release publish" from a site signed with --report-url; T
//    threads (default 1) each send their share. Prints the rate nginx
//    sustained, the median time one report adds to an upgrade, and checks
//    that nginx logged each of them once.
// 3. With --write-answers, it writes the two answers of the first form
//    (DIR/today.json, DIR/rollout.json) and the release's public key
//    (DIR/release.key.pub), for the development server's --answer, so that
//    an installation's whole check can be timed from outside against each.

#include "platform/readfile.h"
#include "upgrade/report/outcomereport.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/rollout.h"
#include "upgrade/trust/signature.h"
#include "upgrade/versionquery.h"

#include "common/loopbackport.h"
#include "common/nginxsite.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <mutex>
#include <thread>

namespace {

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

struct Site
{
    QByteArray baAnswer;
    Trust::KeyList keys;
};

// An answer of moduleCount modules with its signed document; with
// isRollout every module has a schedule, two channels and its previous release.
bool channelsInRolloutOnly = false;

bool makeSite(int moduleCount, int rolledOut, bool isRollout, const QByteArray &privatePem, const QByteArray &publicKey, Site &site)
{
    Trust::ReleaseDocument document;
    document.llSerial = 1;
    document.issued = QDateTime::currentDateTimeUtc().addSecs(-3600);
    document.expires = QDateTime::currentDateTimeUtc().addDays(1);
    QJsonArray upgrade;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (int i = 0; i < moduleCount; ++i) {
        const QString id = QStringLiteral("module-%1").arg(i);
        Trust::ReleaseModule module;
        module.strId = id;
        module.strVersion = QStringLiteral("2.%1").arg(i);
        module.llReleaseDate = 202400000000 + i;
        module.strDesc = QStringLiteral("Module %1").arg(i);
        module.strIconUrl = QStringLiteral("http://icons/%1.png").arg(id);
        module.strPacket = id + QLatin1String(".7z");
        module.llBytes = 1000 + i;
        module.baSha256 = QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha256);
        // Spread over the document, as releases come.
        const bool isRolledOut = isRollout && rolledOut > 0 && i % qMax(1, moduleCount / rolledOut) == 0;
        if (isRollout && (isRolledOut || !channelsInRolloutOnly))
            module.listChannels = QStringList{QStringLiteral("beta"), QStringLiteral("stable")};
        if (isRolledOut) {
            module.rollout.isSet = true;
            module.rollout.vecSteps = {Trust::RolloutStep{now - 7200, 5}, Trust::RolloutStep{now - 60, 25},
                                       Trust::RolloutStep{now + 86400, 100}};
            module.previous.isSet = true;
            module.previous.strVersion = QStringLiteral("1.%1").arg(i);
            module.previous.llReleaseDate = 202300000000 + i;
            module.previous.strPacket = id + QLatin1String("-1.7z");
            module.previous.llBytes = 900 + i;
            module.previous.baSha256 = QCryptographicHash::hash(id.toUtf8() + "-1", QCryptographicHash::Sha256);
        }
        document.vecModules.append(module);
        upgrade.append(QJsonObject{{"ID", id}, {"Version", module.strVersion}, {"ReleaseDate", double(module.llReleaseDate)},
                                   {"Desc", module.strDesc}, {"IconUrl", module.strIconUrl}, {"Size", "1.5"},
                                   {"Url", "http://127.0.0.1/packets/set/" + module.strPacket}});
    }
    Trust::SignedEnvelope envelope;
    envelope.baSigned = Trust::releaseDocumentToJson(document);
    Trust::SignatureEntry signature;
    QString error;
    if (!Trust::signBytes(privatePem, envelope.baSigned, signature.baSignature, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    signature.strKeyId = Trust::keyId(publicKey);
    envelope.vecSignatures.append(signature);
    site.keys.vecKeys = {Trust::TrustedKey{signature.strKeyId, publicKey}};
    QJsonObject answer{{"retcode", 0}, {"value", QJsonObject{{"upgrade", upgrade}}},
                       {"release", QJsonDocument::fromJson(Trust::envelopeToJson(envelope)).object()}};
    site.baAnswer = QJsonDocument(answer).toJson(QJsonDocument::Compact);
    return true;
}

// Where the time of the last check went, wall nanoseconds: reading the
// answer, opening the document, checking it, choosing the releases.
qint64 stepNs[4];

// One check as the engine makes it after the query: CPU nanoseconds.
qint64 check(const Site &site, bool isRollout, int &offered)
{
    const qint64 start = Bench::processCpuNs();
    QElapsedTimer step;
    step.start();
    QVector<ModuleVersion> modules;
    Trust::SignedEnvelope envelope;
    bool hasRelease = false;
    if (!readVersionAnswer(site.baAnswer, modules, &envelope, &hasRelease) || !hasRelease)
        return -1;
    stepNs[0] = step.nsecsElapsed();
    Trust::ReleaseDocument document;
    QString error;
    qint64 serial = 0;
    const bool isOpened = Trust::openRelease(&envelope, site.keys, document, error) == Trust::ReleaseCheck::Accepted;
    stepNs[1] = step.nsecsElapsed();
    if (!isOpened
        || Trust::checkOpenedRelease(document, 0, QDateTime::currentDateTimeUtc(), modules, serial, error)
            != Trust::ReleaseCheck::Accepted) {
        std::fprintf(stderr, "check failed: %s\n", qPrintable(error));
        return -1;
    }
    stepNs[2] = step.nsecsElapsed();
    if (isRollout) {
        QStringList log;
        Trust::applyRollout(document, Trust::RolloutIdentity{QStringLiteral("0123456789abcdef0123456789abcdef"),
                                                             QStringLiteral("beta")},
                            QDateTime::currentDateTimeUtc(), modules, log);
    }
    stepNs[3] = step.nsecsElapsed();
    offered = modules.size();
    return Bench::processCpuNs() - start;
}

// Today's signed answer and the one with channels and rollouts, signed by
// one new key, whose public half goes to publicKey.
bool makeSites(int moduleCount, int rolledOut, Site &today, Site &rollout, QByteArray &publicKey)
{
    QByteArray privatePem;
    QString error;
    return Trust::generateKeyPair(privatePem, publicKey, error)
        && makeSite(moduleCount, 0, false, privatePem, publicKey, today)
        && makeSite(moduleCount, rolledOut, true, privatePem, publicKey, rollout);
}

int benchCheck(int moduleCount, int rolledOut, int repeat)
{
    QByteArray publicKey;
    Site today;
    Site rollout;
    if (!makeSites(moduleCount, rolledOut, today, rollout, publicKey))
        return 1;
    QVector<qint64> todayNs;
    QVector<qint64> rolloutNs;
    QVector<qint64> todaySteps[4];
    QVector<qint64> rolloutSteps[4];
    int offered = 0;
    for (int r = 0; r < repeat; ++r) {
        todayNs << check(today, false, offered);
        for (int i = 0; i < 4; ++i)
            todaySteps[i] << stepNs[i] - (i > 0 ? stepNs[i - 1] : 0);
        rolloutNs << check(rollout, true, offered);
        for (int i = 0; i < 4; ++i)
            rolloutSteps[i] << stepNs[i] - (i > 0 ? stepNs[i - 1] : 0);
        if (todayNs.last() < 0 || rolloutNs.last() < 0)
            return 1;
    }
    const double todayMs = double(Bench::median(todayNs)) / 1e6;
    const double rolloutMs = double(Bench::median(rolloutNs)) / 1e6;
    std::printf("check of %d modules, median of %d, process CPU:\n"
                "  today's signed document:             %8.1f ms (answer %d bytes)\n"
                "  channels, %5d in a rollout:         %8.1f ms (answer %d bytes), %d offered\n"
                "  ratio: %.3f (target at most 1.1)\n",
                moduleCount, repeat, todayMs, today.baAnswer.size(), rolledOut, rolloutMs, rollout.baAnswer.size(),
                offered, rolloutMs / todayMs);
    std::printf("  steps, wall ms (today / rollout): read the answer %.1f / %.1f, open the document %.1f / %.1f, "
                "check it %.1f / %.1f, choose the releases %.1f / %.1f\n",
                Bench::median(todaySteps[0]) / 1e6, Bench::median(rolloutSteps[0]) / 1e6,
                Bench::median(todaySteps[1]) / 1e6, Bench::median(rolloutSteps[1]) / 1e6,
                Bench::median(todaySteps[2]) / 1e6, Bench::median(rolloutSteps[2]) / 1e6,
                Bench::median(todaySteps[3]) / 1e6, Bench::median(rolloutSteps[3]) / 1e6);
    return rolloutMs / todayMs <= 1.1 ? 0 : 2;
}

int writeAnswers(int moduleCount, int rolledOut, const QString &strDir)
{
    QByteArray publicKey;
    Site today;
    Site rollout;
    if (!makeSites(moduleCount, rolledOut, today, rollout, publicKey) || !QDir().mkpath(strDir))
        return 1;
    const QList<QPair<QString, QByteArray>> files{{QStringLiteral("today.json"), today.baAnswer},
                                                  {QStringLiteral("rollout.json"), rollout.baAnswer},
                                                  {QStringLiteral("release.key.pub"), Trust::publicKeyToPem(publicKey)}};
    for (const auto &file : files) {
        QFile out(strDir + QLatin1Char('/') + file.first);
        if (!out.open(QIODevice::WriteOnly) || out.write(file.second) != file.second.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.fileName()));
            return 1;
        }
    }
    std::printf("answers of %d modules, %d in a rollout, in %s/today.json and %s/rollout.json, the key in "
                "%s/release.key.pub\n",
                moduleCount, rolledOut, qPrintable(strDir), qPrintable(strDir), qPrintable(strDir));
    return 0;
}

int run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int benchReports(const QStringList &args, int reportCount, int threadCount)
{
    if (NginxSite::missing()) {
        std::fprintf(stderr, "%s\n", NginxSite::missing());
        return 1;
    }
    QTemporaryDir dir(Bench::scratchTemplate(args, QStringLiteral("bench_rollout")));
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                          | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    const QString tool = QStringLiteral(TVX_PUBLISHER_BIN_DIR "/tarvex-release");
    const int port = unusedLoopbackPort();
    const QString reportUrl = QStringLiteral("http://127.0.0.1:%1/reports").arg(port);
    QFile tree(dir.filePath("tree/Solutions/demo.txt"));
    if (!QDir().mkpath(dir.filePath("tree/Solutions")) || !tree.open(QIODevice::WriteOnly) || tree.write("demo\n") != 5)
        return 1;
    tree.close();
    if (run(tool, {"keygen", "--out", dir.filePath("release.key")}) != 0
        || run(tool, {"pack", "--root", dir.filePath("site"), "--tree", dir.filePath("tree"), "--module", "demo",
                      "--version", "1.0", "--release-date", "202401010000"}) != 0
        || run(tool, {"sign", "--root", dir.filePath("site"), "--key", dir.filePath("release.key"), "--report-url",
                      reportUrl}) != 0)
        return 1;
    NginxSite nginx;
    nginx.setPort(port);
    if (!nginx.start(tool, dir.filePath("site"), dir.filePath("published"), QStringLiteral("bench-key")))
        return 1;

    QVector<OutcomeReport> reports(reportCount);
    for (int i = 0; i < reportCount; ++i) {
        OutcomeReport &report = reports[i];
        report.strReportId = OutcomeReports::reportId(QString::number(i), QStringLiteral("demo"), QStringLiteral("2.0"));
        report.strModule = QStringLiteral("demo");
        report.strFrom = QStringLiteral("1.0");
        report.strTo = QStringLiteral("2.0");
        report.nBucket = i % 100;
        report.nDownload = 0;
        report.nApply = 0;
        report.strMethod = QStringLiteral("delta");
        report.llBytes = 123456;
        report.llDownloadMs = 840;
        report.strHealth = i % 10 == 0 ? QStringLiteral("reverted") : QStringLiteral("healthy");
        report.strReason = i % 10 == 0 ? QStringLiteral("the launcher crashed (signal 11)") : QString();
        report.llAt = QDateTime::currentSecsSinceEpoch();
    }
    QVector<qint64> perReportNs;
    std::mutex mutex;
    int sent = 0;
    QElapsedTimer wall;
    wall.start();
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            QVector<qint64> times;
            int mine = 0;
            for (int i = t; i < reportCount; i += threadCount) {
                QElapsedTimer one;
                one.start();
                mine += OutcomeReports::send(reportUrl, {reports.at(i)});
                times << one.nsecsElapsed();
            }
            std::lock_guard<std::mutex> lock(mutex);
            perReportNs += times;
            sent += mine;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    nginx.stop();
    QByteArray log;
    QString error;
    readFileBounded(dir.filePath("published/logs/reports.log"), qint64(1) << 30, log, error);
    std::printf("%d outcome reports to nginx on loopback, %d thread(s): %d taken, %d logged, %.2f s, %.0f reports/s; "
                "one report adds %.2f ms (median) to an upgrade\n",
                reportCount, threadCount, sent, int(log.count('\n')), seconds, reportCount / seconds,
                double(Bench::median(perReportNs)) / 1e6);
    return sent == reportCount && log.count('\n') == reportCount ? 0 : 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help"))) {
        std::printf("Usage: bench_rollout [--modules N] [--rolled-out K] [--repeat R] [--channels-in-rollout]\n"
                    "       bench_rollout --reports N [--threads T] [--dir PATH]\n"
                    "       bench_rollout [--modules N] [--rolled-out K] [--channels-in-rollout] --write-answers DIR\n"
                    "The check of N modules (default 10000) with channels, K of them (default all) in a rollout,\n"
                    "against today's signed check (median of R runs, default 15; target at most 1.1), or N\n"
                    "outcome reports sent to\n"
                    "nginx on loopback by T threads (default 1), or the two answers of the check written to DIR\n"
                    "for the development server's --answer.\n");
        return 0;
    }
    if (args.contains(QStringLiteral("--version"))) {
        std::printf("bench_rollout 1\n");
        return 0;
    }
    QString value;
    if (Bench::argValue(args, QStringLiteral("--reports"), value)) {
        QString threads = QStringLiteral("1");
        Bench::argValue(args, QStringLiteral("--threads"), threads);
        return benchReports(args, qMax(1, value.toInt()), qBound(1, threads.toInt(), 64));
    }
    int modules = 10000;
    int repeat = 15;
    if (Bench::argValue(args, QStringLiteral("--modules"), value))
        modules = qMax(1, value.toInt());
    channelsInRolloutOnly = args.contains(QStringLiteral("--channels-in-rollout"));
    int rolledOut = modules;
    if (Bench::argValue(args, QStringLiteral("--rolled-out"), value))
        rolledOut = qBound(0, value.toInt(), modules);
    if (Bench::argValue(args, QStringLiteral("--repeat"), value))
        repeat = qMax(1, value.toInt());
    if (Bench::argValue(args, QStringLiteral("--write-answers"), value))
        return writeAnswers(modules, rolledOut, value);
    return benchCheck(modules, rolledOut, repeat);
}
