#include "sitepublisher.h"

#include "releasetool.h"

#include "platform/readfile.h"
#include "s3client.h"

#include "upgrade/files/durable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

#include <cerrno>
#include <cstdio>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ReleaseTool {

namespace {

const QFileDevice::Permissions publicFile =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
const QFileDevice::Permissions publicDir = publicFile | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;

// One file of the published site, at its path relative to the site's root.
struct SiteFile
{
    QString strKey;
    QString strSource;
    qint64 llBytes = 0;
};

// Everything a publish puts out, read and checked before anything is
// written: the packets, each under the directory of its module's packet
// set, then the signed document and the answer.
struct SitePlan
{
    QVector<SiteFile> vecPackets;
    QByteArray baRelease; // empty: the site is not signed
    QByteArray baAnswer;
    int nModules = 0;
    QString strReportPath; // the path of the signed report URL; empty: no reports
};

QByteArray jsonString(const QString &text)
{
    // A one-element array gives the string with JSON's quoting, which is
    // also JavaScript's.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray fillTemplate(const QString &strName, const QVector<QPair<QByteArray, QByteArray>> &values)
{
    QFile file(QStringLiteral(":/release/") + strName);
    file.open(QIODevice::ReadOnly);
    QByteArray text = file.readAll();
    for (const auto &value : values)
        text.replace(value.first, value.second);
    return text;
}

// Replaces strPath at once: a reader (nginx's workers, which run as another
// user when it starts as root) sees the old file or the new one, complete
// and readable, never a moment without one. The release's metadata is also
// flushed; the configuration is rewritten only when it changed.
enum class Flush { No, Yes };

bool writeSiteFile(const QString &strPath, const QByteArray &content, QFileDevice::Permissions permissions,
                   Flush flush, QString &strError)
{
    if (flush == Flush::No) {
        QFile old(strPath);
        if (old.open(QIODevice::ReadOnly) && old.size() == content.size() && old.readAll() == content
            && old.permissions() == (permissions | QFile::ReadUser | QFile::WriteUser))
            return true;
    }
    QSaveFile file(strPath);
    file.setDirectWriteFallback(false);
    bool ok = file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
#ifndef Q_OS_WIN
    // The mode goes on before the name: the rename publishes the file as is.
    const mode_t mode = (permissions & QFile::ReadOther) ? 0644 : 0600;
    ok = ok && ::fchmod(file.handle(), mode) == 0;
#else
    Q_UNUSED(permissions);
#endif
    ok = ok && (flush == Flush::No || Durable::flush(file));
    if (!ok || !file.commit()) {
        strError = QStringLiteral("cannot write %1: %2").arg(strPath, file.errorString());
        file.cancelWriting();
        return false;
    }
    if (flush == Flush::Yes)
        Durable::syncDir(QFileInfo(strPath).absolutePath());
    return true;
}


// A hard link costs nothing where both trees share a file system; a copy
// does everywhere else. Either is a file of its own, unlike a symbolic link,
// which dangles as soon as the source moves.
bool linkOrCopy(const QString &strFrom, const QString &strTo, bool &isCopied, QString &strError)
{
    isCopied = false;
#ifndef Q_OS_WIN
    if (::link(QFile::encodeName(strFrom).constData(), QFile::encodeName(strTo).constData()) == 0) {
        QFile::setPermissions(strTo, publicFile);
        return true;
    }
#endif
    if (!QFile::copy(strFrom, strTo)) {
        strError = QStringLiteral("cannot copy %1 to %2").arg(strFrom, strTo);
        return false;
    }
    isCopied = true;
    QFile::setPermissions(strTo, publicFile);
    return true;
}

bool planSite(const QString &strRoot, const QString &strBaseUrl, SitePlan &plan, QString &strError)
{
    QJsonArray modules;
    if (!readManifestModules(strRoot, modules, strError))
        return false;
    Trust::SignedEnvelope envelope;
    Trust::ReleaseDocument document;
    const bool isSigned = QFileInfo::exists(releasePath(strRoot));
    QJsonObject release;
    if (isSigned) {
        if (!readSignedRelease(strRoot, envelope, document, strError))
            return false;
        // As it travels: the answer carries exactly these bytes' envelope.
        plan.baRelease = Trust::envelopeToJson(envelope);
        release = QJsonDocument::fromJson(plan.baRelease).object();
        if (document.vecModules.size() != modules.size()) {
            strError = QStringLiteral("the manifest lists %1 module(s), the signed document %2: run \"tarvex-release "
                                      "sign\" again (installations would refuse the answer)")
                           .arg(modules.size())
                           .arg(document.vecModules.size());
            return false;
        }
    }
    QJsonArray upgrade;
    for (const QJsonValue &value : qAsConst(modules)) {
        QJsonObject entry = value.toObject();
        Trust::ReleaseModule module;
        if (!moduleFromManifest(entry, module, strError))
            return false;
        if (isSigned
            && std::none_of(document.vecModules.cbegin(), document.vecModules.cend(),
                            [&](const Trust::ReleaseModule &m) { return isSameRelease(m, module); })) {
            strError = QStringLiteral("%1 %2 was packed after the site was signed: run \"tarvex-release sign\" again "
                                      "(installations would refuse the answer)")
                           .arg(module.strId, module.strVersion);
            return false;
        }
        const QString dir = QStringLiteral("packets/") + packetSetId(module) + QLatin1Char('/');
        QVector<QPair<QString, qint64>> files{{module.strPacket, module.llBytes}};
        for (const DeltaPacket &delta : qAsConst(module.vecDeltas))
            files.append({delta.strPacket, delta.llBytes});
        // Installations that a rollout leaves out find the previous release
        // beside the current one.
        if (module.previous.isSet)
            files.append({module.previous.strPacket, module.previous.llBytes});
        for (const DeltaPacket &delta : qAsConst(module.previous.vecDeltas))
            files.append({delta.strPacket, delta.llBytes});
        for (const auto &file : qAsConst(files)) {
            const QString source = QFileInfo(strRoot + QLatin1String("/packets/") + file.first).absoluteFilePath();
            const QFileInfo info(source);
            // A document that names a packet the site lacks is what a
            // publish must never put out.
            if (!info.isFile() || info.size() != file.second) {
                strError = QStringLiteral("packet %1 is missing or not the one packed (%2 bytes recorded): pack the "
                                          "module again")
                               .arg(source)
                               .arg(file.second);
                return false;
            }
            plan.vecPackets.append(SiteFile{dir + file.first, source, file.second});
        }
        entry.remove(QStringLiteral("Rotation"));
        // The document carries the offer; the answer needs none of it.
        for (const char *key : {"Channels", "Rollout", "Halted", "Previous"})
            entry.remove(QLatin1String(key));
        if (!entry.contains(QLatin1String("Url")) && !entry.contains(QLatin1String("OutUrl"))) {
            entry.insert(QStringLiteral("Url"), strBaseUrl + QLatin1Char('/') + dir + module.strPacket);
            QJsonArray mirrors;
            for (const QString &mirror : qAsConst(document.listMirrors))
                mirrors.append(mirror + QLatin1Char('/') + dir + module.strPacket);
            if (!mirrors.isEmpty())
                entry.insert(QStringLiteral("Mirrors"), mirrors);
        }
        upgrade.append(entry);
    }
    QJsonObject answer{{QStringLiteral("retcode"), 0},
                       {QStringLiteral("value"), QJsonObject{{QStringLiteral("upgrade"), upgrade}}}};
    if (isSigned)
        answer.insert(QStringLiteral("release"), release);
    plan.baAnswer = QJsonDocument(answer).toJson(QJsonDocument::Compact);
    plan.nModules = int(upgrade.size());
    if (!document.strReportUrl.isEmpty())
        plan.strReportPath = QUrl(document.strReportUrl).path();
    if (!isSigned)
        printWarning(QStringLiteral("%1 is not signed; installations that trust a key refuse it").arg(strRoot));
    return true;
}

#ifndef Q_OS_WIN
// Started as root, nginx serves as "nobody": every directory on the way to
// the site must let others through.
void warnIfHidden(const QString &strDir)
{
    for (QDir dir(strDir); !dir.isRoot(); dir.cdUp()) {
        struct stat info {};
        if (::stat(QFile::encodeName(dir.absolutePath()).constData(), &info) == 0 && (info.st_mode & S_IXOTH) == 0) {
            printWarning(QStringLiteral("%1 is closed to other users (mode %2): nginx's workers, which run as another "
                                        "user when nginx starts as root, answer 403; chmod o+x it")
                             .arg(dir.absolutePath())
                             .arg(info.st_mode & 0777, 4, 8, QLatin1Char('0')));
            return;
        }
    }
}
#endif

// The packet directories not yet in strSite, each filled under a temporary
// name and renamed into place whole. A directory already there holds the
// same content, since its name says what that is.
bool putPackets(const QString &strSite, const QVector<SiteFile> &vecPackets, int &nNew, qint64 &llCopied,
                QString &strError)
{
    nNew = 0;
    llCopied = 0;
    QMap<QString, QVector<SiteFile>> byDir;
    for (const SiteFile &file : vecPackets)
        byDir[file.strKey.section(QLatin1Char('/'), 0, 1)].append(file);
    for (auto it = byDir.cbegin(); it != byDir.cend(); ++it) {
        const QString dir = strSite + QLatin1Char('/') + it.key();
        if (QFileInfo(dir).isDir()) {
            for (const SiteFile &file : it.value()) {
                if (QFileInfo(strSite + QLatin1Char('/') + file.strKey).size() != file.llBytes) {
                    strError = QStringLiteral("%1 is incomplete or was changed by hand: remove that directory and "
                                              "publish again")
                                   .arg(dir);
                    return false;
                }
            }
            continue;
        }
        const QString staging = dir + QLatin1String(".new");
        if (QFileInfo::exists(staging) && !QDir(staging).removeRecursively()) {
            strError = QStringLiteral("cannot remove the leftover %1").arg(staging);
            return false;
        }
        if (!QDir().mkpath(staging)) {
            strError = QStringLiteral("cannot create %1").arg(staging);
            return false;
        }
        QFile::setPermissions(staging, publicDir);
        // On disk for good before the directory takes its name: only the
        // data copied here and the names need flushing, not the whole volume.
        for (const SiteFile &file : it.value()) {
            bool isCopied = false;
            const QString target = staging + QLatin1Char('/') + file.strKey.section(QLatin1Char('/'), 2);
            if (!linkOrCopy(file.strSource, target, isCopied, strError))
                return false;
            if (isCopied && !Durable::flushPath(target)) {
                strError = QStringLiteral("cannot flush %1 to disk").arg(target);
                return false;
            }
            llCopied += isCopied ? file.llBytes : 0;
        }
        if (!Durable::syncDir(staging) || !QDir().rename(staging, dir)) {
            strError = QStringLiteral("cannot rename %1 to %2").arg(staging, dir);
            return false;
        }
        nNew += it.value().size();
    }
    // The new names for good, once for all of them.
    if (nNew > 0 && !Durable::syncDir(strSite + QLatin1String("/packets"))) {
        strError = QStringLiteral("cannot flush %1/packets to disk").arg(strSite);
        return false;
    }
    return true;
}

QString defaultBaseUrl(const PublishOptions &options)
{
    return (options.strTlsCert.isEmpty() ? QLatin1String("http://") : QLatin1String("https://")) + options.strListen;
}

// How an installation reads the answer of a bucket at strBaseUrl. The engine
// asks HOST PREFIX PATH/NUMBER; storage ignores an unknown query parameter,
// so PREFIX ".../answer.json" and PATH "?n=" read the answer for any number
// (and a CDN may be told to ignore the parameter when it caches).
QString installationHint(const QString &strBaseUrl)
{
    const QUrl url(strBaseUrl);
    const QString host = url.port() > 0 ? QStringLiteral("%1:%2").arg(url.host()).arg(url.port()) : url.host();
    const bool isPlain = url.scheme() == QLatin1String("http");
    return QStringLiteral("Installations: tarvex-upgrade servers write --server %1=%2 --current %1 --prefix '%3/answer.json' "
                          "--path '?n=' --key ANY\n%4")
        .arg(isPlain ? QStringLiteral("test") : QStringLiteral("NAME"), host, url.path(),
             isPlain ? QStringLiteral("(plain http: only the server names \"test\" and \"inter\" are asked over http, "
                                      "every other name over https; storage checks no token)\n")
                     : QStringLiteral("(storage checks no token: any --key will do)\n"));
}

} // namespace

int publish(const PublishOptions &options)
{
    static const QRegularExpression listenPattern(QStringLiteral("^([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\]):([0-9]{1,5})$"));
    const QRegularExpressionMatch listen = listenPattern.match(options.strListen);
    if (!listen.hasMatch() || listen.captured(2).toInt() < 1 || listen.captured(2).toInt() > 65535) {
        printError(QStringLiteral("--listen takes HOST:PORT, got \"%1\"").arg(options.strListen));
        return 1;
    }
    // The prefix and path go into nginx's configuration and its regular
    // expression: plain URL path characters only.
    static const QRegularExpression pathPattern(QStringLiteral("^(/[A-Za-z0-9._~-]+)*$"));
    if (!pathPattern.match(options.strPrefix).hasMatch() || !pathPattern.match(options.strPath).hasMatch()
        || options.strPath.isEmpty()) {
        printError(QStringLiteral("--prefix and --path take /segment/... of letters, digits and \"._~-\""));
        return 1;
    }
    if (options.strKey.contains(QLatin1Char('\n'))) {
        printError(QStringLiteral("--key may not hold a line break"));
        return 1;
    }
    const QString baseUrl = options.strBaseUrl.isEmpty() ? defaultBaseUrl(options) : options.strBaseUrl;
    if (!isSiteUrl(baseUrl)) {
        printError(QStringLiteral("--base-url takes http(s)://HOST[:PORT][/PATH] without a trailing \"/\", got \"%1\"")
                       .arg(baseUrl));
        return 1;
    }
    // Installations refuse a plain-http packet behind an https query (16).
    if (!options.strTlsCert.isEmpty() && baseUrl.startsWith(QLatin1String("http:"))) {
        printError(QStringLiteral("--base-url %1 is plain http behind an https site: installations refuse such "
                                  "packets; give an https address")
                       .arg(baseUrl));
        return 1;
    }
    for (const QString &file : {options.strTlsCert, options.strTlsKey}) {
        if (!file.isEmpty() && !QFileInfo(file).isReadable()) {
            printError(QStringLiteral("cannot read %1").arg(file));
            return 1;
        }
    }
    SitePlan plan;
    QString error;
    if (!planSite(options.strRoot, baseUrl, plan, error)) {
        printError(error);
        return 1;
    }

    const QString out = QFileInfo(options.strOut).absoluteFilePath();
    const QString site = out + QLatin1String("/site");
    if (options.isDryRun) {
        int missing = 0;
        for (const SiteFile &file : qAsConst(plan.vecPackets))
            missing += QFileInfo::exists(site + QLatin1Char('/') + file.strKey) ? 0 : 1;
        printOut(QStringLiteral("Would publish %1 module(s) to %2: %3 of %4 packet file(s) new, then %5answer.json\n")
                     .arg(plan.nModules)
                     .arg(out)
                     .arg(missing)
                     .arg(plan.vecPackets.size())
                     .arg(plan.baRelease.isEmpty() ? QString() : QStringLiteral("release.json and ")));
        return 0;
    }
    for (const QString &dir : {out, site, site + QLatin1String("/packets"), out + QLatin1String("/logs"),
                               out + QLatin1String("/temp")}) {
        if (!QDir().mkpath(dir)) {
            printError(QStringLiteral("cannot create %1").arg(dir));
            return 1;
        }
        QFile::setPermissions(dir, publicDir);
    }
#ifndef Q_OS_WIN
    warnIfHidden(out);
#endif

    // The packets first, on disk for good, before anything names them.
    int newPackets = 0;
    qint64 copied = 0;
    if (!putPackets(site, plan.vecPackets, newPackets, copied, error)) {
        printError(error);
        return 1;
    }

    const bool isTls = !options.strTlsCert.isEmpty();
    const QString tlsDir = out + QLatin1String("/tls");
    if (isTls) {
        QByteArray cert, key;
        QFile certFile(options.strTlsCert), keyFile(options.strTlsKey);
        if (!QDir().mkpath(tlsDir) || !certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)
            || !writeSiteFile(tlsDir + QLatin1String("/server.pem"), certFile.read(1024 * 1024), publicFile,
                              Flush::No, error)
            || !writeSiteFile(tlsDir + QLatin1String("/server.key"), keyFile.read(1024 * 1024),
                              QFile::ReadOwner | QFile::WriteOwner, Flush::No, error)) {
            printError(error.isEmpty() ? QStringLiteral("cannot copy the certificate into %1").arg(tlsDir) : error);
            return 1;
        }
    }
    const QByteArray queryRegex = QRegularExpression::escape(options.strPrefix + options.strPath).toUtf8();
    QByteArray queryBody;
    QByteArray jsImport;
    if (options.strKey.isEmpty()) {
        queryBody = "        rewrite ^ /answer.json last;";
    } else {
        jsImport = "    js_import tvx_token from " + out.toUtf8() + "/token.js;\n";
        queryBody = "        js_content tvx_token.answer;";
    }
    // Outcome reports come as a query on the signed report URL's path: the
    // access log keeps them, one line each, for "rollout status".
    QByteArray reports;
    QByteArray reportsFormat;
    if (!plan.strReportPath.isEmpty() && pathPattern.match(plan.strReportPath).hasMatch()
        && !plan.strReportPath.startsWith(QLatin1String("/packets/"))) {
        reports = "    # Outcome reports of installations: logged for \"tarvex-release rollout status\",\n"
                  "    # at most 2 KiB each, and answered with nothing.\n"
                  "    location = " + plan.strReportPath.toUtf8() + " {\n"
                  "        if ($request_method !~ ^(GET|POST)$) {\n"
                  "            return 405;\n"
                  "        }\n"
                  "        client_max_body_size 2k;\n"
                  "        access_log logs/reports.log tvx_report;\n"
                  "        return 204;\n"
                  "    }\n";
        reportsFormat = "# One outcome report a line: the time and the report's fields.\n"
                        "log_format tvx_report '$time_iso8601 $args';\n";
    } else if (!plan.strReportPath.isEmpty()) {
        printWarning(QStringLiteral("the signed report URL's path %1 is not a plain path of this site: nginx is not "
                                    "set up to take the reports")
                         .arg(plan.strReportPath));
    }
    const QVector<QPair<QByteArray, QByteArray>> values{
        {"@REPORTS@", reports},
        {"@REPORTS_FORMAT@", reportsFormat},
        {"@DIR@", out.toUtf8()},
        {"@LISTEN@", options.strListen.toUtf8() + (isTls ? " ssl" : "")},
        {"@TLS@",
         isTls ? "    ssl_certificate " + tlsDir.toUtf8() + "/server.pem;\n    ssl_certificate_key " + tlsDir.toUtf8()
                     + "/server.key;\n    ssl_protocols TLSv1.2 TLSv1.3;\n"
               : QByteArray()},
        {"@QUERY_REGEX@", queryRegex},
        {"@QUERY_BODY@", queryBody},
        {"@JS_IMPORT@", jsImport},
        {"@TOKEN_MODULE_NOTE@",
         options.strKey.isEmpty() ? QByteArray("# No token check (published without --key).")
                                  : QByteArray("# The token check needs njs: load_module "
                                               "/usr/lib/nginx/modules/ngx_http_js_module.so; in the main context.")},
        {"@LOAD_MODULE@",
         options.strKey.isEmpty() ? QByteArray() : QByteArray("load_module /usr/lib/nginx/modules/ngx_http_js_module.so;")},
        {"@PREFIX_JSON@", jsonString(options.strPrefix)},
        {"@KEY_JSON@", jsonString(options.strKey)},
    };
    const QByteArray nginxConf = fillTemplate(QStringLiteral("nginx.conf.in"), values);
    const QByteArray serverConf = fillTemplate(QStringLiteral("server.conf.in"), values);
    // A configuration that cannot be read back counts as changed.
    QByteArray oldServerConf;
    QString readError;
    const bool isConfigChanged = !readFileBounded(out + QLatin1String("/server.conf"), 1024 * 1024, oldServerConf, readError)
        || oldServerConf != serverConf;
    if (!writeSiteFile(out + QLatin1String("/server.conf"), serverConf, publicFile, Flush::No, error)
        || !writeSiteFile(out + QLatin1String("/nginx.conf"), nginxConf, publicFile, Flush::No, error)
        || (!options.strKey.isEmpty()
            && !writeSiteFile(out + QLatin1String("/token.js"), fillTemplate(QStringLiteral("token.js.in"), values),
                              publicFile, Flush::No, error))) {
        printError(error);
        return 1;
    }
    if (options.strKey.isEmpty())
        QFile::remove(out + QLatin1String("/token.js"));

    // The metadata last: from this rename on, clients see the new release,
    // and every packet it names is there.
    if ((!plan.baRelease.isEmpty()
         && !writeSiteFile(site + QLatin1String("/release.json"), plan.baRelease, publicFile, Flush::Yes, error))
        || !writeSiteFile(site + QLatin1String("/answer.json"), plan.baAnswer, publicFile, Flush::Yes, error)) {
        printError(error);
        return 1;
    }
    printOut(QStringLiteral("Published %1 module(s) to %2: %3 new packet file(s), %4 byte(s) copied, the others "
                            "linked\n")
                 .arg(plan.nModules)
                 .arg(out)
                 .arg(newPackets)
                 .arg(copied));
    printOut(QStringLiteral("Run: nginx -p %1 -c nginx.conf%2\nQuery: %3://%4%5%6/NUMBER\n")
                 .arg(out,
                      isConfigChanged && QFileInfo::exists(out + QLatin1String("/nginx.pid"))
                          ? QStringLiteral(" (the configuration changed: nginx -p %1 -c nginx.conf -s reload)").arg(out)
                          : QString(),
                      isTls ? QStringLiteral("https") : QStringLiteral("http"), options.strListen, options.strPrefix,
                      options.strPath));
    return 0;
}

int publishToS3(const PublishOptions &options)
{
    if (!isSiteUrl(options.strS3Endpoint)) {
        printError(QStringLiteral("--s3 takes the storage's address, http(s)://HOST[:PORT], got \"%1\"")
                       .arg(options.strS3Endpoint));
        return 1;
    }
    static const QRegularExpression bucketPattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{1,62}$"));
    if (!bucketPattern.match(options.strBucket).hasMatch()) {
        printError(QStringLiteral("--bucket takes a bucket name (letters, digits, \".\", \"_\", \"-\"), got \"%1\"")
                       .arg(options.strBucket));
        return 1;
    }
    if (!isSiteUrl(options.strBaseUrl)) {
        printError(QStringLiteral("--base-url takes the address installations read the bucket at (anonymously, or "
                                  "through a CDN), http(s)://HOST[:PORT][/PATH], got \"%1\"")
                       .arg(options.strBaseUrl));
        return 1;
    }
    CS3Client::Credentials credentials;
    QString error;
    SitePlan plan;
    if (!CS3Client::credentialsFromEnvironment(credentials, error)
        || !planSite(options.strRoot, options.strBaseUrl, plan, error)) {
        printError(error);
        return 1;
    }
    CS3Client client(options.strS3Endpoint, options.strBucket, credentials);
    bool isCreated = false;
    if (!client.ensureBucket(options.isDryRun, isCreated, error)) {
        printError(error);
        return 1;
    }
    if (isCreated)
        printOut(QStringLiteral("%1 bucket %2, readable by everyone\n")
                     .arg(options.isDryRun ? QStringLiteral("Would create the") : QStringLiteral("Created the"),
                          options.strBucket));

    // Packets first: an object appears whole or not at all, and one that is
    // there under its name already holds that content.
    int sent = 0;
    qint64 bytes = 0;
    for (const SiteFile &file : qAsConst(plan.vecPackets)) {
        qint64 present = -1;
        if (!isCreated && !client.objectSize(file.strKey, present, error)) {
            printError(error);
            return 1;
        }
        if (present == file.llBytes)
            continue;
        ++sent;
        bytes += file.llBytes;
        if (!options.isDryRun
            && !client.putFile(file.strKey, file.strSource, "application/x-7z-compressed",
                               "public, max-age=31536000, immutable", error)) {
            printError(error);
            return 1;
        }
    }
    if (options.isDryRun) {
        printOut(QStringLiteral("Would upload %1 of %2 packet file(s) (%3 bytes) to %4/%5, then %6answer.json\n")
                     .arg(sent)
                     .arg(plan.vecPackets.size())
                     .arg(bytes)
                     .arg(options.strS3Endpoint, options.strBucket,
                          plan.baRelease.isEmpty() ? QString() : QStringLiteral("release.json and ")));
        return 0;
    }
    // The metadata last, and never cached on the way: it is what changes.
    if ((!plan.baRelease.isEmpty()
         && !client.putBytes(QStringLiteral("release.json"), plan.baRelease, "application/json", "no-cache", error))
        || !client.putBytes(QStringLiteral("answer.json"), plan.baAnswer, "application/json", "no-cache", error)) {
        printError(error);
        return 1;
    }
    printOut(QStringLiteral("Published %1 module(s) to %2/%3: %4 packet file(s) uploaded (%5 bytes), then the "
                            "answer\nAnswer: %6/answer.json\n")
                 .arg(plan.nModules)
                 .arg(options.strS3Endpoint, options.strBucket)
                 .arg(sent)
                 .arg(bytes)
                 .arg(options.strBaseUrl));
    printOut(installationHint(options.strBaseUrl));
    return 0;
}

} // namespace ReleaseTool
