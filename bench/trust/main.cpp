// bench_trust [--modules N] [--size-mib N] [--rounds R] [--repeat R] [--dir PATH]
//
// 1. The version check of N modules (default 10000) against the development
//    server: the query and reading of the answer, unsigned, against the same
//    with the signed release document in the answer and its verification
//    (signature, expiry, serial, every module against the document). Target:
//    signed at most 1.2 times unsigned.
// 2. A packet of N MiB (default 1024) of random bytes, fetched by the engine
//    with its signed size and SHA-256 (hashed as it arrives), against
//    "curl -s -o", from the development server and from nginx serving the
//    site that "tarvex-release publish" wrote. The engine's figure leaves out
//    7z's refusal of the payload, timed on its own. Target: at least 0.9 of curl.

#include "platform/http.h"
#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/cupgrade.h"
#include "upgrade/files/archive.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/signature.h"
#include "upgrade/versionquery.h"

#include "common/testserver.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace {

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

ServerClusterInfo clusterInfo(const QString &hostAndPort)
{
    ServerClusterInfo info;
    info.vecServers.append(qMakePair(QStringLiteral("test"), hostAndPort));
    info.nCurrIndex = 0;
    info.strPrefix = QStringLiteral("/api");
    info.strPath = QStringLiteral("/upgrade/query");
    info.strKey = QStringLiteral("bench-key");
    return info;
}

// The check, unsigned and signed, on one site whose release.json comes and goes.
bool benchCheck(const QString &root, int moduleCount, int repeat)
{
    QJsonArray modules;
    Trust::ReleaseDocument document;
    document.llSerial = 1;
    document.expires = QDateTime::currentDateTimeUtc().addDays(1);
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
        document.vecModules.append(module);
        modules.append(QJsonObject{{"ID", id}, {"Version", module.strVersion}, {"ReleaseDate", double(module.llReleaseDate)},
                                   {"Desc", module.strDesc}, {"IconUrl", module.strIconUrl}, {"Size", "1.5"},
                                   {"Packet", module.strPacket}});
    }
    QByteArray privatePem;
    QByteArray publicKey;
    QString error;
    Trust::SignedEnvelope envelope;
    envelope.baSigned = Trust::releaseDocumentToJson(document);
    Trust::SignatureEntry signature;
    if (!Trust::generateKeyPair(privatePem, publicKey, error)
        || !Trust::signBytes(privatePem, envelope.baSigned, signature.baSignature, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    signature.strKeyId = Trust::keyId(publicKey);
    envelope.vecSignatures.append(signature);
    Trust::KeyList keys;
    keys.vecKeys.append(Trust::TrustedKey{signature.strKeyId, publicKey});
    if (!writeAll(root + "/manifest.json", QJsonDocument(QJsonObject{{"modules", modules}}).toJson()))
        return false;

    TestServer server;
    if (!server.start(root, QStringLiteral("bench-key"))) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return false;
    }
    const ServerClusterInfo info = clusterInfo(server.hostAndPort());
    QVector<qint64> unsignedNs;
    QVector<qint64> signedNs;
    QVector<qint64> unsignedFetchNs, signedFetchNs, unsignedReadNs, signedReadNs, unsignedCpuNs, signedCpuNs;
    int unsignedBytes = 0;
    int signedBytes = 0;
    for (int r = 0; r < repeat; ++r) {
        for (const bool isSigned : {false, true}) {
            if (isSigned)
                writeAll(root + "/release.json", Trust::envelopeToJson(envelope));
            else
                QFile::remove(root + "/release.json");
            QVector<ModuleVersion> vecServer;
            QElapsedTimer timer;
            timer.start();
            const qint64 cpuStart = Bench::threadCpuNs();
            // The engine's query with the reading of the answer, the release included.
            CHttp http;
            http.InitData();
            const VersionRequest request = buildVersionRequest(info, 1);
            if (http.GetInfo(request.strUrl, QStringList{request.strHeader}) != HTTP_SUCCESS)
                return false;
            const qint64 fetchedNs = timer.nsecsElapsed();
            Trust::SignedEnvelope received;
            bool hasRelease = false;
            const QByteArray answerBytes = http.GetResult().toUtf8();
            (isSigned ? signedBytes : unsignedBytes) = answerBytes.size();
            if (!readVersionAnswer(answerBytes, vecServer, &received, &hasRelease)
                || hasRelease != isSigned)
                return false;
            const qint64 readNs = timer.nsecsElapsed();
            qint64 serial = 0;
            if (isSigned) {
                // The engine's own check (checkReleaseTrust) on what the answer carried, keys in memory.
                const Trust::ReleaseCheck check = Trust::checkRelease(&received, keys, 0, QDateTime::currentDateTimeUtc(),
                                                                      vecServer, serial, error);
                if (check != Trust::ReleaseCheck::Accepted) {
                    std::fprintf(stderr, "signed check failed: %s\n", qPrintable(error));
                    return false;
                }
            }
            (isSigned ? signedNs : unsignedNs) << timer.nsecsElapsed();
            (isSigned ? signedCpuNs : unsignedCpuNs) << Bench::threadCpuNs() - cpuStart;
            (isSigned ? signedFetchNs : unsignedFetchNs) << fetchedNs;
            (isSigned ? signedReadNs : unsignedReadNs) << readNs - fetchedNs;
        }
    }
    const double unsignedMs = double(Bench::median(unsignedNs)) / 1e6;
    const double signedMs = double(Bench::median(signedNs)) / 1e6;
    std::printf("  request and answer: unsigned %.1f ms, signed %.1f ms; reading: unsigned %.1f ms, signed %.1f ms\n",
                Bench::median(unsignedFetchNs) / 1e6, Bench::median(signedFetchNs) / 1e6,
                Bench::median(unsignedReadNs) / 1e6, Bench::median(signedReadNs) / 1e6);
    // On a shared machine wall time swings with the other processes; the
    // engine's own CPU time does not.
    std::printf("  engine CPU time: unsigned %.1f ms, signed %.1f ms, ratio %.2f\n", Bench::median(unsignedCpuNs) / 1e6,
                Bench::median(signedCpuNs) / 1e6, double(Bench::median(signedCpuNs)) / double(Bench::median(unsignedCpuNs)));
    std::printf("check of %d modules (median of %d): unsigned %.1f ms (answer %d bytes), signed %.1f ms (answer %d "
                "bytes), ratio %.2f (target at most 1.2)\n",
                moduleCount, repeat, unsignedMs, unsignedBytes, signedMs, signedBytes, signedMs / unsignedMs);
    return true;
}

struct Fetch
{
    double curlSeconds = 1e300;
    double engineSeconds = 1e300;
};

bool fetch(const QString &url, const QString &scratch, qint64 bytes, const QByteArray &sha256, int rounds, Fetch &best)
{
    for (int round = 0; round < rounds; ++round) {
        const QString curlOut = scratch + "/curl.out";
        QElapsedTimer timer;
        timer.start();
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), curlOut, url});
        if (!curl.waitForFinished(-1) || curl.exitCode() != 0 || QFileInfo(curlOut).size() != bytes) {
            std::fprintf(stderr, "curl failed on %s\n", qPrintable(url));
            return false;
        }
        best.curlSeconds = std::min(best.curlSeconds, timer.nsecsElapsed() / 1e9);
        QFile::remove(curlOut);

        CUpgrade engine;
        engine.setTmpDir(scratch + "/Tmp");
        ModuleVersion module;
        module.strId = QStringLiteral("packet");
        module.strUrl = url;
        module.dSize = double(bytes) / 1048576.0;
        module.llPacketBytes = bytes;
        module.baPacketSha256 = sha256;
        timer.restart();
        const UpgradeOpError result = engine.downloadUpgradePacket({module});
        const double total = timer.nsecsElapsed() / 1e9;
        // Verified, then refused by 7z: the payload is no archive.
        if (result != UPGRADE_OP_DO7Z_FAILED) {
            std::fprintf(stderr, "the engine's download failed (result %d)\n", int(result));
            return false;
        }
        timer.restart();
        do7z(engine.sevenZipPath(), engine.tmpDir() + "/packet.7z", engine.packetDir());
        best.engineSeconds = std::min(best.engineSeconds, total - timer.nsecsElapsed() / 1e9);
        engine.removeTmpDir();
    }
    return true;
}

void printFetch(const char *host, qint64 sizeMiB, const Fetch &f)
{
    std::printf("%s: curl %.0f MiB/s, engine with SHA-256 %.0f MiB/s, ratio %.2f (target at least 0.9)\n", host,
                sizeMiB / f.curlSeconds, sizeMiB / f.engineSeconds, f.curlSeconds / f.engineSeconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int moduleCount = 10000;
    qint64 sizeMiB = 1024;
    int rounds = 2;
    int repeat = 5;
    QString value;
    if (Bench::argValue(args, QStringLiteral("--modules"), value))
        moduleCount = qMax(1, value.toInt());
    if (Bench::argValue(args, QStringLiteral("--size-mib"), value))
        sizeMiB = qMax<qint64>(1, value.toLongLong());
    if (Bench::argValue(args, QStringLiteral("--rounds"), value))
        rounds = qMax(1, value.toInt());
    if (Bench::argValue(args, QStringLiteral("--repeat"), value))
        repeat = qMax(1, value.toInt());
    QTemporaryDir tmp(Bench::scratchTemplate(args, QStringLiteral("bench_trust")));
    if (!tmp.isValid())
        return 1;
    qInstallMessageHandler(quiet);
    // nginx started as root serves as "nobody".
    QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                          | QFile::ExeOther);

    QDir().mkpath(tmp.filePath("check"));
    if (!benchCheck(tmp.filePath("check"), moduleCount, repeat))
        return 1;

    // The payload, written in blocks and hashed on the way.
    const qint64 bytes = sizeMiB * 1024 * 1024;
    const QString site = tmp.filePath("site");
    QDir().mkpath(site + "/packets");
    QCryptographicHash hash(QCryptographicHash::Sha256);
    {
        QFile payload(site + "/packets/packet.7z");
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
    QFile::setPermissions(site + "/packets/packet.7z", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    writeAll(site + "/manifest.json",
             QJsonDocument(QJsonObject{{"modules", QJsonArray{QJsonObject{{"ID", "packet"}, {"Version", "1"},
                                                                          {"ReleaseDate", 1.0}, {"IconUrl", "i"},
                                                                          {"Packet", "packet.7z"}}}}})
                 .toJson());

    TestServer server;
    if (!server.start(site, QStringLiteral("bench-key"))) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return 1;
    }
    Fetch dev;
    if (!fetch(server.url() + "/packets/packet.7z", tmp.path(), bytes, sha256, rounds, dev))
        return 1;
    server.stop();
    printFetch("development server", sizeMiB, dev);

    const QString nginx = QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"});
    if (nginx.isEmpty()) {
        std::printf("nginx: not installed, skipped\n");
        return 0;
    }
    const int port = freeLoopbackPort();
    const QString out = tmp.filePath("published");
    QProcess publish;
    publish.start(QStringLiteral(TVX_PUBLISHER_BIN_DIR "/tarvex-release"),
                  {"publish", "--root", site, "--out", out, "--prefix", "/api", "--path", "/upgrade/query", "--listen",
                   QStringLiteral("127.0.0.1:%1").arg(port)});
    if (!publish.waitForFinished(600000) || publish.exitCode() != 0) {
        std::fprintf(stderr, "publish failed: %s\n", publish.readAllStandardError().constData());
        return 1;
    }
    QProcess nginxProcess;
    nginxProcess.start(nginx, {"-p", out, "-c", "nginx.conf", "-g", "daemon off;"});
    QThread::msleep(500);
    Fetch viaNginx;
    const bool ok = fetch(QStringLiteral("http://127.0.0.1:%1/packets/packet.7z").arg(port), tmp.path(), bytes, sha256,
                          rounds, viaNginx);
    nginxProcess.terminate();
    nginxProcess.waitForFinished(10000);
    if (!ok)
        return 1;
    printFetch("nginx", sizeMiB, viaNginx);
    return 0;
}
