// bench_download [--size-mib N] [--rounds R] [--dir PATH]
//
// Serves a packet of N MiB (default 1024) of random bytes from the
// development upgrade server on 127.0.0.1 and fetches it R times (default 3),
// alternating "curl -s -o FILE URL" and the engine's downloadUpgradePacket.
// The payload is not an archive: the engine streams it to disk exactly as a
// packet, then 7z refuses it at once, and that refusal (timed on its own
// afterwards) is subtracted, so the figure is the download alone. Prints the
// best throughput of each, their ratio, and the engine's peak resident
// memory during its downloads (the peak is reset before each one).

#include "upgrade/cupgrade.h"
#include "upgrade/files/archive.h"

#include "common/testserver.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

// The engine's warnings about the refused payload are expected; the result
// code tells whether the download itself succeeded.
void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    qint64 sizeMiB = 1024;
    int rounds = 3;
    QString value;
    if (Bench::argValue(args, QStringLiteral("--size-mib"), value))
        sizeMiB = qMax<qint64>(1, value.toLongLong());
    if (Bench::argValue(args, QStringLiteral("--rounds"), value))
        rounds = qMax(1, value.toInt());
    QTemporaryDir tmp(Bench::scratchTemplate(args, QStringLiteral("bench_download")));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    qInstallMessageHandler(quiet);

    // The payload, written in blocks: this process never holds it whole.
    const qint64 bytes = sizeMiB * 1024 * 1024;
    QDir().mkpath(tmp.filePath(QStringLiteral("root/packets")));
    {
        QFile payload(tmp.filePath(QStringLiteral("root/packets/packet.7z")));
        if (!payload.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(4 * 1024 * 1024, '\0');
        QRandomGenerator generator(7);
        for (qint64 done = 0; done < bytes; done += block.size()) {
            generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            const int n = int(qMin<qint64>(block.size(), bytes - done));
            if (payload.write(block.constData(), n) != n)
                return 1;
        }
    }

    TestServer server;
    if (!server.start(tmp.filePath(QStringLiteral("root")), QStringLiteral("key"))) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return 1;
    }
    const QString url = server.url() + QLatin1String("/packets/packet.7z");
    std::printf("payload %lld MiB at %s\n", sizeMiB, qPrintable(url));

    double bestCurl = 1e300;
    double bestOurs = 1e300;
    qint64 peakKiB = 0;
    for (int round = 0; round < rounds; ++round) {
        const QString curlOut = tmp.filePath(QStringLiteral("curl.out"));
        QElapsedTimer timer;
        timer.start();
        QProcess curl;
        curl.start(QStringLiteral("curl"), { QStringLiteral("-s"), QStringLiteral("-o"), curlOut, url });
        if (!curl.waitForFinished(-1) || curl.exitCode() != 0 || QFileInfo(curlOut).size() != bytes) {
            std::fprintf(stderr, "curl failed\n");
            return 1;
        }
        const double curlSeconds = timer.nsecsElapsed() / 1e9;
        QFile::remove(curlOut);

        CUpgrade engine;
        engine.setTmpDir(tmp.filePath(QStringLiteral("Tmp")));
        ModuleVersion module;
        module.strId = QStringLiteral("packet");
        module.strUrl = url;
        module.dSize = double(sizeMiB);
        const bool isPeakReset = Bench::resetPeakMemory();
        timer.restart();
        const UpgradeOpError result = engine.downloadUpgradePacket({ module });
        const double totalSeconds = timer.nsecsElapsed() / 1e9;
        const qint64 peak = isPeakReset ? Bench::peakMemoryKiB() : -1;
        const QString local = engine.tmpDir() + QDir::separator() + QLatin1String("packet.7z");
        if (result != UPGRADE_OP_DO7Z_FAILED || QFileInfo(local).size() != bytes) {
            std::fprintf(stderr, "the engine's download failed (result %d)\n", int(result));
            return 1;
        }
        timer.restart();
        do7z(engine.sevenZipPath(), local, engine.packetDir());
        const double refusalSeconds = timer.nsecsElapsed() / 1e9;
        engine.removeTmpDir();

        const double oursSeconds = totalSeconds - refusalSeconds;
        std::printf("round %d: curl %.2f s (%.0f MiB/s); engine %.2f s (%.0f MiB/s; 7z refusal %.3f s subtracted), "
                    "peak %lld KiB\n",
                    round + 1, curlSeconds, sizeMiB / curlSeconds, oursSeconds, sizeMiB / oursSeconds, refusalSeconds,
                    peak);
        bestCurl = std::min(bestCurl, curlSeconds);
        bestOurs = std::min(bestOurs, oursSeconds);
        peakKiB = std::max(peakKiB, peak);
    }

    std::printf("best: curl %.0f MiB/s, engine %.0f MiB/s, ratio %.2f (target at least 0.9)\n", sizeMiB / bestCurl,
                sizeMiB / bestOurs, bestCurl / bestOurs);
    std::printf("engine peak resident memory %.1f MiB (target at most 64)\n", peakKiB / 1024.0);
    return 0;
}
