// bench_trust [--modules N] [--repeat R] [--dir PATH]
// bench_trust [--modules N] --write-sites DIR
//
// The version check of N modules (default 10000) against the development
// server, signed against unsigned. Target: signed at most 1.2 times unsigned.
// (The signed download against curl is bench_download's.)
// 1. In this process, step by step: the query and reading of the answer,
//    unsigned, against the same with the signed release document in the
//    answer and its verification (signature, expiry, serial, every module
//    against the document) as Trust::checkRelease does it in one go.
// 2. As a user runs it: "tarvex-upgrade check", whole processes, of an
//    installation that trusts the release key against a server whose answer
//    carries the signed document, and of one without either. This is the
//    engine's own path, the document opened while the answer is read. Once
//    with the development server making each answer from its manifest, once
//    with the answers served as files, as nginx serves a published site.
//
// With --write-sites it only writes the two sites it would serve, for the
// development server (DIR/unsigned, DIR/signed), and the public key of the
// release (DIR/release.key.pub), so that an installation's whole check can
// be timed from outside against each.

#include "platform/http.h"
#include "upgrade/config/serverclusterinfo.h"
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
#include <QTemporaryDir>


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

// The check, unsigned and signed, on one site whose release.json comes and
// goes; or, with sitesDir, both sites written for a server of one's own.
bool benchCheck(const QString &root, int moduleCount, int repeat, const QString &sitesDir)
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
    const QByteArray manifest = QJsonDocument(QJsonObject{{"modules", modules}}).toJson();
    if (!sitesDir.isEmpty()) {
        QDir().mkpath(sitesDir + "/unsigned");
        QDir().mkpath(sitesDir + "/signed");
        const bool isWritten = writeAll(sitesDir + "/unsigned/manifest.json", manifest)
            && writeAll(sitesDir + "/signed/manifest.json", manifest)
            && writeAll(sitesDir + "/signed/release.json", Trust::envelopeToJson(envelope))
            && writeAll(sitesDir + "/release.key.pub", Trust::publicKeyToPem(publicKey));
        std::printf("%s: sites of %d modules in %s/unsigned and %s/signed, the key in %s/release.key.pub\n",
                    isWritten ? "written" : "not written", moduleCount, qPrintable(sitesDir), qPrintable(sitesDir),
                    qPrintable(sitesDir));
        return isWritten;
    }
    if (!writeAll(root + "/manifest.json", manifest))
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
            const qint64 cpuStart = Bench::processCpuNs();
            // The engine's query with the reading of the answer, the release included.
            CHttp http;
            http.InitData();
            const VersionRequest request = buildVersionRequest(info, 1);
            if (http.GetInfo(request.strUrl, QStringList{request.strHeader}) != HTTP_SUCCESS)
                return false;
            const qint64 fetchedNs = timer.nsecsElapsed();
            Trust::SignedEnvelope received;
            bool hasRelease = false;
            const QByteArray answerBytes = http.resultBody();
            (isSigned ? signedBytes : unsignedBytes) = answerBytes.size();
            if (!readVersionAnswer(answerBytes, vecServer, &received, &hasRelease)
                || hasRelease != isSigned)
                return false;
            const qint64 readNs = timer.nsecsElapsed();
            qint64 serial = 0;
            if (isSigned) {
                // The engine's own check (CReleaseQuery::checkReleaseTrust) on what the answer carried, keys in memory.
                const Trust::ReleaseCheck check = Trust::checkRelease(&received, keys, 0, QDateTime::currentDateTimeUtc(),
                                                                      vecServer, serial, error);
                if (check != Trust::ReleaseCheck::Accepted) {
                    std::fprintf(stderr, "signed check failed: %s\n", qPrintable(error));
                    return false;
                }
            }
            (isSigned ? signedNs : unsignedNs) << timer.nsecsElapsed();
            (isSigned ? signedCpuNs : unsignedCpuNs) << Bench::processCpuNs() - cpuStart;
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
    // engine's own CPU time (all its threads) does not.
    std::printf("  engine CPU time: unsigned %.1f ms, signed %.1f ms, ratio %.2f\n", Bench::median(unsignedCpuNs) / 1e6,
                Bench::median(signedCpuNs) / 1e6, double(Bench::median(signedCpuNs)) / double(Bench::median(unsignedCpuNs)));
    std::printf("check of %d modules (median of %d): unsigned %.1f ms (answer %d bytes), signed %.1f ms (answer %d "
                "bytes), ratio %.2f (target at most 1.2)\n",
                moduleCount, repeat, unsignedMs, unsignedBytes, signedMs, signedBytes, signedMs / unsignedMs);
    return true;
}

bool runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s %s failed: %s\n", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))),
                     process.readAllStandardError().constData());
        return false;
    }
    return true;
}

// The whole check, as processes, unsigned and signed in turn; with
// isStatic the servers send answers made once beforehand.
bool benchProcesses(const QString &scratch, const QString &sites, int repeat, bool isStatic)
{
    const QByteArray solutionInfo = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SolutionInfo><SolutionS>"
                                    "<Solution id=\"module-5\" name=\"m\"><Version>1.0</Version>"
                                    "<ReleaseDate>202300000000</ReleaseDate><State>1</State><Desc>d</Desc>"
                                    "<Size>1</Size></Solution></SolutionS></SolutionInfo>\n";
    TestServer servers[2];
    QString tools[2];
    for (int i = 0; i < 2; ++i) {
        const QString kind = i == 0 ? QStringLiteral("unsigned") : QStringLiteral("signed");
        const QString site = sites + QLatin1Char('/') + kind;
        if (!servers[i].start(site, QStringLiteral("bench-key"))) {
            std::fprintf(stderr, "%s\n", qPrintable(servers[i].errorText()));
            return false;
        }
        if (isStatic) {
            CHttp http;
            http.InitData();
            const VersionRequest request = buildVersionRequest(clusterInfo(servers[i].hostAndPort()), 1);
            if (http.GetInfo(request.strUrl, QStringList{request.strHeader}) != HTTP_SUCCESS
                || !writeAll(site + QLatin1String("/answer.json"), http.resultBody())
                || !servers[i].start(site, QStringLiteral("bench-key"), {"--answer", site + "/answer.json"}))
                return false;
        }
        const QString app = scratch + QLatin1Char('/') + kind + (isStatic ? "-static" : "") + QLatin1String("-app");
        tools[i] = app + QLatin1String("/tarvex-upgrade");
        if (!QDir().mkpath(app + QLatin1String("/Solutions"))
            || !QFile::copy(QStringLiteral(TVX_BIN_DIR "/tarvex-upgrade"), tools[i])
            || !writeAll(app + QLatin1String("/Solutions/SolutionInfo.xml"), solutionInfo)
            || !runTool(tools[i], {"servers", "write", "--server", "test=" + servers[i].hostAndPort(), "--current",
                                   "test", "--prefix", "/api", "--path", "/upgrade/query", "--key", "bench-key"})
            || (i == 1 && !runTool(tools[i], {"trust", "add", "--public", sites + "/release.key.pub"})))
            return false;
    }
    QVector<qint64> ns[2];
    for (int r = 0; r < repeat; ++r) {
        for (int i = 0; i < 2; ++i) {
            QElapsedTimer timer;
            timer.start();
            if (!runTool(tools[i], {"check"}))
                return false;
            ns[i] << timer.nsecsElapsed();
        }
    }
    const double unsignedMs = double(Bench::median(ns[0])) / 1e6;
    const double signedMs = double(Bench::median(ns[1])) / 1e6;
    std::printf("tarvex-upgrade check, whole process, %s (median of %d): unsigned %.1f ms, signed %.1f ms, "
                "ratio %.2f (target at most 1.2)\n",
                isStatic ? "answers served as files" : "answers made by the development server", repeat, unsignedMs,
                signedMs, signedMs / unsignedMs);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int moduleCount = 10000;
    int repeat = 5;
    QString value;
    if (Bench::argValue(args, QStringLiteral("--modules"), value))
        moduleCount = qMax(1, value.toInt());
    if (Bench::argValue(args, QStringLiteral("--repeat"), value))
        repeat = qMax(1, value.toInt());
    QTemporaryDir tmp(Bench::scratchTemplate(args, QStringLiteral("bench_trust")));
    if (!tmp.isValid())
        return 1;
    qInstallMessageHandler(quiet);
    QString sitesDir;
    Bench::argValue(args, QStringLiteral("--write-sites"), sitesDir);

    QDir().mkpath(tmp.filePath("check"));
    if (!sitesDir.isEmpty())
        return benchCheck(tmp.filePath("check"), moduleCount, repeat, sitesDir) ? 0 : 1;
    const QString sites = tmp.filePath(QStringLiteral("sites"));
    return benchCheck(tmp.filePath("check"), moduleCount, repeat, QString())
            && benchCheck(tmp.filePath("check"), moduleCount, repeat, sites)
            && benchProcesses(tmp.path(), sites, repeat, false) && benchProcesses(tmp.path(), sites, repeat, true)
        ? 0
        : 1;
}
