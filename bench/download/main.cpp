// bench_download [--size-mib N] [--rounds R] [--dir PATH]
// bench_download --fetch URL --out FILE [--sha256 HEX --bytes N]
//
// The first form serves a packet of N MiB (default 1024) of random bytes
// from the development upgrade server and from nginx (the site as
// "tarvex-release publish" lays it out) on 127.0.0.1, and fetches it R times
// (default 3) from each, in turn "curl -s -o FILE URL", the engine's one
// fetch path (CPacketFetch) unsigned, and the same with the packet's signed
// size and SHA-256, hashed as it arrives. Prints the best throughput of
// each, their ratios to curl, and the peak resident memory of the fetches
// (reset before each one).
//
// The second form is one fetch of URL to FILE through the same path, signed
// when --sha256 and --bytes are given, so that a timer outside can take the
// whole process against curl's.

#include "upgrade/packetfetch.h"

#include "common/filetree.h"
#include "common/nginxsite.h"
#include "common/testserver.h"

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
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// One fetch of url to target; bytes and sha256 make it signed. The engine's
// progress arithmetic runs on every block, as it does in a download.
bool fetchOnce(const QString &url, const QString &target, qint64 bytes, const QByteArray &sha256, QString &error)
{
    CPacketFetch fetch(CInstallLayout(QFileInfo(target).absolutePath()));
    double progress = 0;
    fetch.setProgress([&progress](qint64 llInHand) { progress = double(llInHand) * 80.0 / 1e9; });
    PacketSource source;
    source.strName = QFileInfo(target).fileName();
    source.listUrls = QStringList{url};
    source.baIdentity = url.toUtf8();
    source.llSignedBytes = sha256.isEmpty() ? -1 : bytes;
    source.baSignedSha256 = sha256;
    source.llMaxBytes = qint64(1) << 40;
    if (fetch.fetch(source, target) != FetchResult::Fetched) {
        error = fetch.errorString();
        return false;
    }
    return progress > 0;
}

struct Figures
{
    double curl = 1e300;
    double unsignedFetch = 1e300;
    double signedFetch = 1e300;
    qint64 peakKiB = -1;
};

// Rounds of curl, the unsigned and the signed fetch, in turn; the best of each.
bool measure(const QString &url, const QString &scratch, qint64 bytes, const QByteArray &sha256, int rounds,
             Figures &best)
{
    const QString out = scratch + QLatin1String("/fetched.bin");
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), out, url});
        if (!curl.waitForFinished(-1) || curl.exitCode() != 0 || QFileInfo(out).size() != bytes) {
            std::fprintf(stderr, "curl failed on %s\n", qPrintable(url));
            return false;
        }
        best.curl = std::min(best.curl, timer.nsecsElapsed() / 1e9);
        QFile::remove(out);

        for (const bool isSigned : {false, true}) {
            const bool isPeakReset = Bench::resetPeakMemory();
            QString error;
            timer.restart();
            const bool isFetched = fetchOnce(url, out, bytes, isSigned ? sha256 : QByteArray(), error);
            if (!isFetched || QFileInfo(out).size() != bytes) {
                std::fprintf(stderr, "the fetch of %s failed: %s\n", qPrintable(url), qPrintable(error));
                return false;
            }
            double &figure = isSigned ? best.signedFetch : best.unsignedFetch;
            figure = std::min(figure, timer.nsecsElapsed() / 1e9);
            if (isPeakReset)
                best.peakKiB = std::max(best.peakKiB, Bench::peakMemoryKiB());
            QFile::remove(out);
        }
    }
    return true;
}

void print(const char *host, qint64 sizeMiB, const Figures &f)
{
    std::printf("%s: curl %.0f MiB/s; fetch %.0f MiB/s unsigned (ratio %.2f), %.0f MiB/s with SHA-256 (ratio %.2f, "
                "target at least 0.95); peak resident memory %.1f MiB (target at most 64)\n",
                host, sizeMiB / f.curl, sizeMiB / f.unsignedFetch, f.curl / f.unsignedFetch, sizeMiB / f.signedFetch,
                f.curl / f.signedFetch, f.peakKiB / 1024.0);
}

int fetchMode(const QStringList &args)
{
    QString url, out, hex, bytes;
    if (!Bench::argValue(args, QStringLiteral("--fetch"), url)
        || !Bench::argValue(args, QStringLiteral("--out"), out)) {
        std::fprintf(stderr, "--fetch URL needs --out FILE\n");
        return 2;
    }
    Bench::argValue(args, QStringLiteral("--sha256"), hex);
    Bench::argValue(args, QStringLiteral("--bytes"), bytes);
    QString error;
    if (!fetchOnce(url, out, bytes.toLongLong(), QByteArray::fromHex(hex.toLatin1()), error)) {
        std::fprintf(stderr, "the fetch failed: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    qInstallMessageHandler(quiet);
    if (args.contains(QStringLiteral("--fetch")))
        return fetchMode(args);

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
    // nginx started as root serves as "nobody".
    QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                          | QFile::ExeOther);

    // The payload, written in blocks and hashed on the way: this process
    // never holds it whole.
    const qint64 bytes = sizeMiB * 1024 * 1024;
    const QString site = tmp.filePath(QStringLiteral("site"));
    QDir().mkpath(site + QLatin1String("/packets"));
    const QString payloadPath = site + QLatin1String("/packets/packet.7z");
    QCryptographicHash hash(QCryptographicHash::Sha256);
    {
        QFile payload(payloadPath);
        if (!payload.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(4 * 1024 * 1024, '\0');
        QRandomGenerator generator(7);
        for (qint64 done = 0; done < bytes; done += block.size()) {
            generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            const int n = int(qMin<qint64>(block.size(), bytes - done));
            hash.addData(block.constData(), n);
            if (payload.write(block.constData(), n) != n)
                return 1;
        }
    }
    const QByteArray sha256 = hash.result();
    QFile::setPermissions(payloadPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QFile manifest(site + QLatin1String("/manifest.json"));
    if (!manifest.open(QIODevice::WriteOnly)
        || manifest.write(QJsonDocument(QJsonObject{{"modules", QJsonArray{QJsonObject{
                                                                     {"ID", "packet"}, {"Version", "1"},
                                                                     {"ReleaseDate", 1.0}, {"IconUrl", "i"},
                                                                     {"Packet", "packet.7z"}, {"Bytes", double(bytes)},
                                                                     {"Sha256", QString::fromLatin1(sha256.toHex())}}}}})
                              .toJson())
            < 0)
        return 1;
    manifest.close();
    std::printf("payload %lld MiB, SHA-256 %s\n", sizeMiB, sha256.toHex().constData());

    TestServer server;
    if (!server.start(site, QStringLiteral("bench-key"))) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return 1;
    }
    Figures dev;
    if (!measure(server.url() + QLatin1String("/packets/packet.7z"), tmp.path(), bytes, sha256, rounds, dev))
        return 1;
    server.stop();
    print("development server", sizeMiB, dev);

    if (const char *missing = NginxSite::missing()) {
        std::printf("nginx: skipped, %s\n", missing);
        return 0;
    }
    NginxSite nginx;
    if (!nginx.start(QStringLiteral(TVX_PUBLISHER_BIN_DIR "/tarvex-release"), site, tmp.filePath(QStringLiteral("pub")),
                     QStringLiteral("bench-key"))) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    // The site keeps each packet under a directory named for its release.
    const QJsonArray offered = QJsonDocument::fromJson(FileTree::readFile(tmp.filePath(QStringLiteral("pub/site/answer.json"))))
                                   .object()
                                   .value(QLatin1String("value"))
                                   .toObject()
                                   .value(QLatin1String("upgrade"))
                                   .toArray();
    const QString url = offered.first().toObject().value(QLatin1String("Url")).toString();
    if (url.isEmpty()) {
        std::fprintf(stderr, "the published answer names no packet URL\n");
        return 1;
    }
    Figures viaNginx;
    if (!measure(url, tmp.path(), bytes, sha256, rounds, viaNginx))
        return 1;
    print("nginx", sizeMiB, viaNginx);
    std::printf("to time it from outside: %s --fetch %s --out FILE --sha256 %s --bytes %lld\n",
                qPrintable(QCoreApplication::applicationFilePath()), qPrintable(url), sha256.toHex().constData(),
                bytes);
    return 0;
}
