// bench_resume [--size-mib N] [--cut-mib C] [--rate RATE] [--rate-seconds S] [--dir PATH]
//
// 1. Serves a packet of N MiB (default 1024) from the development upgrade
//    server, which drops the connection after every C MiB (default 100) of a
//    body, and fetches it with the engine's downloadUpgradePacket: prints the
//    bytes that crossed the network against the packet's size (target at
//    most 1.05) and the attempts it took. The reference is the same packet
//    uncut.
// 2. Fetches a packet of RATE x S bytes (default 1M for 10 s) with the
//    engine's rate limit set to RATE, and with "curl --limit-rate RATE" as
//    the reference: prints both averages against RATE (target within 10 %).
//
// The payloads are no archives: the engine streams them to disk exactly as
// packets, then 7z refuses them, which is the expected result here.

#include "upgrade/cupgrade.h"

#include "common/testserver.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool writePayload(const QString &path, qint64 bytes)
{
    QFile payload(path);
    if (!payload.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 * 1024 * 1024, '\0');
    QRandomGenerator generator(11);
    for (qint64 done = 0; done < bytes; done += block.size()) {
        generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        const int n = int(qMin<qint64>(block.size(), bytes - done));
        if (payload.write(block.constData(), n) != n)
            return false;
    }
    return true;
}

QByteArray fileHash(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

// One engine download; false unless the packet arrived whole.
bool fetch(const QString &tmpDir, const QString &url, double dSizeMiB, const DownloadPolicy &policy,
           const QString &source, PacketDownloadReport &report, double &seconds)
{
    CUpgrade engine;
    engine.setTmpDir(tmpDir);
    engine.setDownloadPolicy(policy);
    ModuleVersion module;
    module.strId = QStringLiteral("bench");
    module.strUrl = url;
    module.dSize = dSizeMiB;
    QElapsedTimer timer;
    timer.start();
    const UpgradeOpError result = engine.downloadUpgradePacket({module});
    seconds = timer.nsecsElapsed() / 1e9;
    const QString local = engine.tmpDir() + QDir::separator() + QFileInfo(source).fileName();
    const bool ok = result == UPGRADE_OP_DO7Z_FAILED && !engine.packetReports().isEmpty()
        && fileHash(local) == fileHash(source);
    if (ok)
        report = engine.packetReports().at(0);
    engine.removeTmpDir();
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    qint64 sizeMiB = 1024;
    qint64 cutMiB = 100;
    qint64 rate = 1024 * 1024;
    qint64 rateSeconds = 10;
    QString value;
    if (Bench::argValue(args, QStringLiteral("--size-mib"), value))
        sizeMiB = qMax<qint64>(1, value.toLongLong());
    if (Bench::argValue(args, QStringLiteral("--cut-mib"), value))
        cutMiB = qMax<qint64>(1, value.toLongLong());
    if (Bench::argValue(args, QStringLiteral("--rate"), value))
        rate = qMax<qint64>(1024, parseRate(value));
    if (Bench::argValue(args, QStringLiteral("--rate-seconds"), value))
        rateSeconds = qMax<qint64>(1, value.toLongLong());
    QTemporaryDir tmp(Bench::scratchTemplate(args, QStringLiteral("bench_resume")));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    qInstallMessageHandler(quiet);

    const qint64 bytes = sizeMiB * 1024 * 1024;
    const QString root = tmp.filePath(QStringLiteral("root"));
    QDir().mkpath(root + QLatin1String("/packets"));
    const QString big = root + QLatin1String("/packets/big.bin");
    const QString paced = root + QLatin1String("/packets/paced.bin");
    if (!writePayload(big, bytes) || !writePayload(paced, rate * rateSeconds))
        return 1;

    DownloadPolicy policy;
    policy.nBackoffBaseMs = 100;
    policy.nBackoffCapMs = 1000;

    // 1. Cut every cutMiB, and the same packet uncut.
    for (const bool cut : {false, true}) {
        TestServer server;
        QStringList serverArgs;
        if (cut)
            serverArgs << QStringLiteral("--drop-after-bytes") << QString::number(cutMiB * 1024 * 1024);
        if (!server.start(root, QStringLiteral("key"), serverArgs)) {
            std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
            return 1;
        }
        PacketDownloadReport report;
        double seconds = 0;
        if (!fetch(tmp.filePath(QStringLiteral("Tmp")), server.url() + QLatin1String("/packets/big.bin"),
                   double(sizeMiB), policy, big, report, seconds)) {
            std::fprintf(stderr, "the engine's download failed\n");
            return 1;
        }
        std::printf("%s: %lld MiB in %.2f s (%.0f MiB/s), %d attempts, transferred %.4f x the size%s\n",
                    cut ? qPrintable(QStringLiteral("cut every %1 MiB").arg(cutMiB)) : "uncut (reference)", sizeMiB,
                    seconds, sizeMiB / seconds, report.nAttempts, double(report.llReceivedBytes) / double(bytes),
                    cut ? " (target at most 1.05)" : "");
    }

    // 2. The rate limit, ours and curl's.
    TestServer server;
    if (!server.start(root, QStringLiteral("key"))) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return 1;
    }
    const QString url = server.url() + QLatin1String("/packets/paced.bin");
    QElapsedTimer timer;
    timer.start();
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("--limit-rate"), QString::number(rate),
                                        QStringLiteral("-o"), tmp.filePath(QStringLiteral("curl.out")), url});
    if (!curl.waitForFinished(-1) || curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed\n");
        return 1;
    }
    const double curlRate = double(rate * rateSeconds) / (timer.nsecsElapsed() / 1e9);

    policy.llMaxBytesPerSec = rate;
    PacketDownloadReport report;
    double seconds = 0;
    if (!fetch(tmp.filePath(QStringLiteral("Tmp")), url, double(rate * rateSeconds) / (1024.0 * 1024.0), policy,
               paced, report, seconds)) {
        std::fprintf(stderr, "the engine's paced download failed\n");
        return 1;
    }
    const double oursRate = double(rate * rateSeconds) / seconds;
    std::printf("rate limit %lld B/s over %lld s: engine %.0f B/s (%+.1f %%), curl --limit-rate %.0f B/s (%+.1f %%) "
                "(target within 10 %%)\n",
                rate, rateSeconds, oursRate, (oursRate / double(rate) - 1) * 100, curlRate,
                (curlRate / double(rate) - 1) * 100);
    return 0;
}
