#include "releasetool.h"
#include "releasetool_p.h"

#include "deltapacker.h"
#include "platform/readfile.h"
#include "upgrade/files/filenamerule.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/files/portablenames.h"
#include "upgrade/trust/packetverifier.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/signature.h"
#include "upgrade/trust/truststore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QCoreApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ReleaseTool {

namespace {

constexpr qint64 maxKeyFileBytes = 64 * 1024;
constexpr int packTimeoutMs = 60 * 60 * 1000;

bool isKeyFileName(const QString &strPath)
{
    return QFileInfo(strPath).suffix() == QLatin1String("pub");
}

} // namespace

void printOut(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

// The private key must be the signer's alone: a key others can read is a
// key others may have copied.
bool readPrivateKey(const QString &strPath, QByteArray &pem, QString &strError)
{
    if (!readFileBounded(strPath, maxKeyFileBytes, pem, strError))
        return false;
    // A public key is no secret: say which file was meant before any talk of
    // its permissions.
    if (pem.contains("PUBLIC KEY") && !pem.contains("PRIVATE KEY")) {
        QString privateKey = strPath;
        if (isKeyFileName(strPath))
            privateKey.chop(4);
        strError = QStringLiteral("%1 is a public key; sign with the private key file (%2, made by \"tarvex-release "
                                  "keygen\" beside it)")
                       .arg(strPath, isKeyFileName(strPath) ? privateKey : QStringLiteral("the one without .pub"));
        return false;
    }
#ifndef Q_OS_WIN
    struct stat info {};
    if (::stat(QFile::encodeName(strPath).constData(), &info) == 0 && (info.st_mode & 077) != 0) {
        strError = QStringLiteral("private key %1 is readable or writable by others (mode %2); chmod 600 it")
                       .arg(strPath)
                       .arg(info.st_mode & 0777, 4, 8, QLatin1Char('0'));
        return false;
    }
#endif
    if (!pem.contains("PRIVATE KEY")) {
        strError = QStringLiteral("%1 is not a PEM private key").arg(strPath);
        return false;
    }
    return true;
}

bool readPublicKeyFile(const QString &strPath, QByteArray &publicKey, QString &strError)
{
    QByteArray pem;
    if (!readFileBounded(strPath, maxKeyFileBytes, pem, strError))
        return false;
    if (!Trust::readPublicKeyPem(pem, publicKey, strError)) {
        strError = strPath + QLatin1String(": ") + strError;
        return false;
    }
    return true;
}

bool hashFile(const QString &strPath, qint64 &bytes, QByteArray &sha256, QString &strError)
{
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly)) {
        strError = QStringLiteral("cannot read %1: %2").arg(strPath, file.errorString());
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        strError = QStringLiteral("cannot read %1: %2").arg(strPath, file.errorString());
        return false;
    }
    bytes = file.size();
    sha256 = hash.result();
    return true;
}

bool writeNewFile(const QString &strPath, const QByteArray &content, bool isPrivate, QString &strError)
{
#ifdef Q_OS_WIN
    QFile file(strPath);
    if (!file.open(QIODevice::NewOnly) || file.write(content) != content.size()) {
        strError = QStringLiteral("cannot write %1: %2").arg(strPath, file.errorString());
        return false;
    }
    Q_UNUSED(isPrivate);
    return true;
#else
    const mode_t mode = isPrivate ? 0600 : 0644;
    const int fd = ::open(QFile::encodeName(strPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        strError = QStringLiteral("cannot create %1: %2").arg(strPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // The umask may have taken bits away, never added them: set exactly.
    bool ok = ::fchmod(fd, mode) == 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size()
        && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        strError = QStringLiteral("cannot write %1").arg(strPath);
    return ok;
#endif
}

bool readJsonObject(const QString &strPath, QJsonObject &object, QString &strError)
{
    QByteArray content;
    if (!readFileBounded(strPath, maxManifestBytes, content, strError))
        return false;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    if (!document.isObject()) {
        strError = QStringLiteral("%1 is not a JSON object: %2").arg(strPath, parseError.errorString());
        return false;
    }
    object = document.object();
    return true;
}

// The tool names its packets more strictly than a document may.
bool deltasFromManifest(const QJsonValue &value, QVector<DeltaPacket> &vecDeltas)
{
    if (!Trust::deltasFromJson(value, vecDeltas))
        return false;
    return std::all_of(vecDeltas.cbegin(), vecDeltas.cend(),
                       [](const DeltaPacket &delta) {
                           return isSafeName(delta.strPacket) && isPlainServerFileName(delta.strPacket);
                       });
}

bool moduleFromManifest(const QJsonObject &entry, Trust::ReleaseModule &module, QString &strError)
{
    module.strId = entry.value(QLatin1String("ID")).toString();
    module.strVersion = entry.value(QLatin1String("Version")).toString();
    module.strDesc = entry.value(QLatin1String("Desc")).toString();
    module.strIconUrl = entry.value(QLatin1String("IconUrl")).toString();
    module.strNotes = entry.value(QLatin1String("Notes")).toString();
    module.strPacket = entry.value(QLatin1String("Packet")).toString();
    module.llReleaseDate = qint64(entry.value(QLatin1String("ReleaseDate")).toDouble(-1));
    module.llBytes = qint64(entry.value(QLatin1String("Bytes")).toDouble(-1));
    module.baSha256 = QByteArray::fromHex(entry.value(QLatin1String("Sha256")).toString().toLatin1());
    if (module.strId.isEmpty() || !isSafeName(module.strPacket) || !isPlainServerFileName(module.strPacket)
        || module.llBytes < 0 || module.baSha256.size() != 32 || module.llReleaseDate < 0) {
        strError = QStringLiteral("manifest entry of \"%1\" lacks its packet, size or SHA-256: make it with "
                                  "\"tarvex-release pack\"")
                       .arg(module.strId);
        return false;
    }
    if (!deltasFromManifest(entry.value(QLatin1String("Deltas")), module.vecDeltas)) {
        strError = QStringLiteral("manifest entry of \"%1\" has a delta without its base, packet, size or SHA-256")
                       .arg(module.strId);
        return false;
    }
    if (!Trust::offerFromJson(entry, module, strError)) {
        strError = QStringLiteral("manifest entry of \"%1\": %2 (set it with \"tarvex-release rollout\")")
                       .arg(module.strId, strError);
        return false;
    }
    return true;
}

// A packet on disk against its recorded size and hash, read once.
bool checkPacketFile(const QString &strRoot, const QString &strPacket, qint64 llBytes, const QByteArray &baSha256,
                     QString &strError)
{
    const QString path = strRoot + QLatin1String("/packets/") + strPacket;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        strError = QStringLiteral("packet %1 is missing").arg(path);
        return false;
    }
    Trust::CPacketVerifier verifier;
    verifier.reset(llBytes, baSha256);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0) {
            strError = QStringLiteral("cannot read %1").arg(path);
            return false;
        }
        if (got == 0 || !verifier.update(block.constData(), got))
            break;
    }
    if (!verifier.finish(strError)) {
        strError = QStringLiteral("packet %1 differs from what was recorded: %2").arg(path, strError);
        return false;
    }
    return true;
}

// The full packet and every delta packet of the module.
bool checkPacket(const QString &strRoot, const Trust::ReleaseModule &module, QString &strError)
{
    if (!checkPacketFile(strRoot, module.strPacket, module.llBytes, module.baSha256, strError))
        return false;
    for (const DeltaPacket &delta : module.vecDeltas) {
        if (!checkPacketFile(strRoot, delta.strPacket, delta.llBytes, delta.baSha256, strError))
            return false;
    }
    // Offered to the installations that the rollout leaves out: as much a
    // part of the release as its own packet.
    if (module.previous.isSet
        && !checkPacketFile(strRoot, module.previous.strPacket, module.previous.llBytes, module.previous.baSha256,
                            strError))
        return false;
    for (const DeltaPacket &delta : module.previous.vecDeltas) {
        if (!checkPacketFile(strRoot, delta.strPacket, delta.llBytes, delta.baSha256, strError))
            return false;
    }
    return true;
}

bool isSameDeltas(const QVector<DeltaPacket> &vecA, const QVector<DeltaPacket> &vecB)
{
    return std::equal(vecA.cbegin(), vecA.cend(), vecB.cbegin(), vecB.cend(),
                      [](const DeltaPacket &a, const DeltaPacket &b) {
                          return a.strBaseVersion == b.strBaseVersion && a.strPacket == b.strPacket
                              && a.llBytes == b.llBytes && a.baSha256 == b.baSha256;
                      });
}

// Packs the contents of strDir with 7z into strPacketPath, replacing it.
bool packDirectory(const QString &strSevenZip, const QString &strDir, const QString &strPacketPath, QString &strError)
{
    // "7z a" adds to an existing archive: always start from nothing.
    const QString partPath = strPacketPath + QLatin1String(".part");
    QFile::remove(partPath);
    QProcess process;
    process.setWorkingDirectory(QFileInfo(strDir).absoluteFilePath());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(strSevenZip, {QStringLiteral("a"), QStringLiteral("-t7z"), QStringLiteral("-bd"), QStringLiteral("-y"),
                                QFileInfo(partPath).absoluteFilePath(), QStringLiteral(".")});
    if (!process.waitForFinished(packTimeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        strError = QStringLiteral("7z failed to pack %1:\n%2").arg(strDir, QString::fromLocal8Bit(process.readAll()));
        process.kill();
        process.waitForFinished(10000);
        QFile::remove(partPath);
        return false;
    }
    QFile::remove(strPacketPath);
    if (!QFile::rename(partPath, strPacketPath)) {
        strError = QStringLiteral("cannot move the packet to %1").arg(strPacketPath);
        QFile::remove(partPath);
        return false;
    }
    QFile::setPermissions(strPacketPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    return true;
}

bool packDeltaPacket(const QString &strSevenZip, const DeltaRequest &request, const QString &strPacketsDir,
                     qint64 llFullBytes, DeltaPacket &delta, QString &strReport, QString &strError)
{
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        strError = QStringLiteral("cannot create a temporary directory: %1").arg(scratch.errorString());
        return false;
    }
    delta.strBaseVersion = request.strBaseVersion;
    delta.strPacket = request.strModule + QLatin1Char('-') + request.strBaseVersion + QLatin1Char('-') + request.strVersion
        + QLatin1String(".delta.7z");
    QString reason;
    if (!isPlainServerFileName(delta.strPacket, &reason)) {
        strError = QStringLiteral("clients would refuse the delta packet name %1: %2").arg(delta.strPacket, reason);
        return false;
    }
    Delta::Index index;
    index.strModule = request.strModule;
    index.strBase = request.strBaseVersion;
    index.strVersion = request.strVersion;
    ReleaseTool::DeltaStats stats;
    if (!makeDeltaTree(request.strBaseTree, request.strTree, index, scratch.path(), stats, strError))
        return false;
    const QString path = strPacketsDir + QLatin1Char('/') + delta.strPacket;
    if (!packDirectory(strSevenZip, scratch.path(), path, strError)
        || !hashFile(path, delta.llBytes, delta.baSha256, strError))
        return false;
    strReport = QStringLiteral("Delta %1 from %2: %3 bytes (%4 kept, %5 patched, %6 added), %7 bytes saved against "
                               "the full packet\n")
                    .arg(path, request.strBaseVersion)
                    .arg(delta.llBytes)
                    .arg(stats.nKeep)
                    .arg(stats.nPatch)
                    .arg(stats.nAdd)
                    .arg(llFullBytes - delta.llBytes);
    return true;
}

QString findSevenZip()
{
#ifdef Q_OS_WIN
    // Windows has no 7z on PATH by default: the one beside the tool comes first.
    const QString beside = QStandardPaths::findExecutable(QStringLiteral("7z"), {QCoreApplication::applicationDirPath()});
    if (!beside.isEmpty())
        return beside;
#endif
    return QStandardPaths::findExecutable(QStringLiteral("7z"));
}

bool readManifest(const QString &strRoot, QJsonObject &manifest, QString &strError)
{
    QJsonArray modules;
    if (!readManifestModules(strRoot, modules, strError))
        return false;
    return readJsonObject(manifestPath(strRoot), manifest, strError);
}

bool writeManifest(const QString &strRoot, const QJsonObject &manifest, QString &strError)
{
    return Trust::writeFileDurably(manifestPath(strRoot), QJsonDocument(manifest).toJson(), strError);
}

bool parseReleaseDate(const QString &strDate, QDateTime &date)
{
    static const QRegularExpression datePattern(QStringLiteral("^[0-9]{12}$"));
    date = QDateTime::fromString(strDate, QStringLiteral("yyyyMMddhhmm"));
    date.setTimeSpec(Qt::UTC);
    return datePattern.match(strDate).hasMatch() && date.isValid();
}

void printError(const QString &strText)
{
    std::fputs(("tarvex-release: " + strText + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
}

void printWarning(const QString &strText)
{
    printError(QLatin1String("warning: ") + strText);
}

QString manifestPath(const QString &strRoot)
{
    return strRoot + QLatin1String("/manifest.json");
}

QString releasePath(const QString &strRoot)
{
    return strRoot + QLatin1String("/release.json");
}

// The tool's own syntax for what it is given and what it makes of it;
// the names of packets must also pass the clients' rule for names from a
// server (isPlainServerFileName), which is checked where they are made and read.
bool isSafeName(const QString &strName)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+-]*$"));
    return strName.size() <= 200 && pattern.match(strName).hasMatch();
}

bool isSameRelease(const Trust::ReleaseModule &a, const Trust::ReleaseModule &b)
{
    return a.strId == b.strId && a.strVersion == b.strVersion && a.llReleaseDate == b.llReleaseDate
        && a.strDesc == b.strDesc && a.strIconUrl == b.strIconUrl && a.strPacket == b.strPacket && a.llBytes == b.llBytes
        && a.baSha256 == b.baSha256 && isSameDeltas(a.vecDeltas, b.vecDeltas) && a.strNotes == b.strNotes
        && isSameOffer(a, b);
}

bool isSameOffer(const Trust::ReleaseModule &a, const Trust::ReleaseModule &b)
{
    QJsonObject offerA;
    QJsonObject offerB;
    Trust::offerToJson(a, offerA);
    Trust::offerToJson(b, offerB);
    return offerA == offerB;
}

bool readSignedRelease(const QString &strRoot, Trust::SignedEnvelope &envelope, Trust::ReleaseDocument &document,
                       QString &strError)
{
    QByteArray content;
    if (!QFileInfo::exists(releasePath(strRoot))) {
        strError = QStringLiteral("site %1 is not signed: run \"tarvex-release sign\"").arg(strRoot);
        return false;
    }
    if (!readFileBounded(releasePath(strRoot), maxManifestBytes, content, strError)
        || !Trust::envelopeFromJson(content, envelope, strError)
        || !Trust::parseReleaseDocument(envelope.baSigned, document, strError)) {
        strError = QStringLiteral("%1: %2").arg(releasePath(strRoot), strError);
        return false;
    }
    return true;
}

QString packetSetId(const Trust::ReleaseModule &module)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(module.strPacket.toUtf8() + ' ' + module.baSha256.toHex() + '\n');
    for (const DeltaPacket &delta : module.vecDeltas)
        hash.addData(delta.strPacket.toUtf8() + ' ' + delta.baSha256.toHex() + '\n');
    // The previous release lies beside the current one, where installations
    // outside a rollout look for it.
    if (module.previous.isSet) {
        hash.addData("previous " + module.previous.strPacket.toUtf8() + ' ' + module.previous.baSha256.toHex() + '\n');
        for (const DeltaPacket &delta : module.previous.vecDeltas)
            hash.addData(delta.strPacket.toUtf8() + ' ' + delta.baSha256.toHex() + '\n');
    }
    // 128 bits: no two packet sets of one site will ever share a name.
    return QString::fromLatin1(hash.result().toHex().left(32));
}

bool isSiteUrl(const QString &strUrl)
{
    static const QRegularExpression pattern(
        QStringLiteral("^https?://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?(/[A-Za-z0-9._~!$&'()*+,;=:@%-]+)*$"));
    return strUrl.size() <= 1000 && pattern.match(strUrl).hasMatch();
}

bool readManifestModules(const QString &strRoot, QJsonArray &modules, QString &strError)
{
    if (!QFileInfo(strRoot).isDir()) {
        strError = QStringLiteral("site %1 does not exist").arg(strRoot);
        return false;
    }
    if (!QFileInfo::exists(manifestPath(strRoot))) {
        strError = QStringLiteral("site %1 has no manifest.json: add modules with \"tarvex-release pack\" first")
                       .arg(strRoot);
        return false;
    }
    QJsonObject manifest;
    if (!readJsonObject(manifestPath(strRoot), manifest, strError))
        return false;
    if (!manifest.value(QLatin1String("modules")).isArray()) {
        strError = QStringLiteral("%1 has no \"modules\" list").arg(manifestPath(strRoot));
        return false;
    }
    modules = manifest.value(QLatin1String("modules")).toArray();
    return true;
}

int keygen(const QString &strOut)
{
    const QString publicPath = strOut + QLatin1String(".pub");
    for (const QString &path : {strOut, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            printError(QStringLiteral("%1 exists; a key is never overwritten").arg(path));
            return 1;
        }
    }
    QByteArray privatePem;
    QByteArray publicKey;
    QString error;
    if (!Trust::generateKeyPair(privatePem, publicKey, error) || !writeNewFile(strOut, privatePem, true, error)
        || !writeNewFile(publicPath, Trust::publicKeyToPem(publicKey), false, error)) {
        printError(error);
        return 1;
    }
    printOut(QStringLiteral("Wrote the private key %1 (mode 0600) and the public key %2; key id %3\n")
                 .arg(strOut, publicPath, Trust::keyId(publicKey)));
    return 0;
}

namespace {

// Release notes as installations will take them: UTF-8 text within the
// bound, line feeds only. Installations refuse a document with anything else.
bool readNotesFile(const QString &strPath, QString &strNotes)
{
    QByteArray content;
    QString error;
    if (!readFileBounded(strPath, qint64(Trust::maxReleaseNotesChars) * 4, content, error)) {
        printError(QStringLiteral("--notes: %1").arg(error));
        return false;
    }
    QTextCodec::ConverterState state;
    strNotes = QTextCodec::codecForName("UTF-8")->toUnicode(content.constData(), content.size(), &state);
    if (state.invalidChars > 0) {
        printError(QStringLiteral("--notes: %1 is not UTF-8 text").arg(strPath));
        return false;
    }
    strNotes.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (strNotes.startsWith(QChar(0xfeff)))
        strNotes.remove(0, 1);
    strNotes = strNotes.trimmed();
    const QString problem = Trust::releaseNotesProblem(strNotes);
    if (!problem.isEmpty()) {
        printError(QStringLiteral("--notes: %1 holds %2; installations would refuse the release").arg(strPath, problem));
        return false;
    }
    return true;
}

} // namespace

int pack(const PackOptions &options)
{
    const QFileInfo tree(options.strTree);
    if (!tree.isDir() || QDir(options.strTree).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        printError(QStringLiteral("tree %1 is missing, not a directory or empty").arg(options.strTree));
        return 1;
    }
    // Every file or none: 7z would pack a name that installations cannot
    // unpack, or Qt cannot read, and they would refuse the packet.
    QString nameError;
    if (!PortableNames::checkTree(options.strTree, nameError)) {
        printError(QStringLiteral("tree %1 cannot be packed: %2").arg(options.strTree, nameError));
        return 1;
    }
    // An installation keeps these names for itself; an installed tree packed
    // by mistake would carry its journal, lock and serial into every client.
    if (!CInstallLayout().checkTree(options.strTree, nameError)) {
        printError(QStringLiteral("tree %1 cannot be packed: %2; pack the product's own files only")
                       .arg(options.strTree, nameError));
        return 1;
    }
    if (!isSafeName(options.strModule) || !isSafeName(options.strVersion)) {
        printError(QStringLiteral("--module and --version take letters, digits, \".\", \"_\", \"+\" and \"-\""));
        return 1;
    }
    QDateTime releaseDate;
    if (!parseReleaseDate(options.strReleaseDate, releaseDate)) {
        printError(QStringLiteral("--release-date takes YYYYMMDDhhmm, got \"%1\"").arg(options.strReleaseDate));
        return 1;
    }
    if (options.strBaseTree.isEmpty() != options.strBaseVersion.isEmpty()) {
        printError(QStringLiteral("--base-tree and --base-version go together"));
        return 1;
    }
    if (!options.strBaseTree.isEmpty()
        && (!QFileInfo(options.strBaseTree).isDir() || !isSafeName(options.strBaseVersion)
            || options.strBaseVersion == options.strVersion)) {
        printError(QStringLiteral("--base-tree must be a directory and --base-version another version than --version"));
        return 1;
    }
    QString notes;
    if (!options.strNotesFile.isEmpty() && !readNotesFile(options.strNotesFile, notes))
        return 1;
    const QString sevenZip = findSevenZip();
    if (sevenZip.isEmpty()) {
        printError(QStringLiteral("7z is not on PATH (Debian: p7zip-full)"));
        return 1;
    }
    QJsonObject manifest;
    QString error;
    if (QFileInfo::exists(manifestPath(options.strRoot)) && !readManifest(options.strRoot, manifest, error)) {
        printError(error);
        return 1;
    }
    QJsonArray modules = manifest.value(QLatin1String("modules")).toArray();

    // Installations take a module only when its release date is later than
    // the installed one: an earlier date would never reach those already on
    // the current release, and would silently replace it for the others.
    const qint64 llDate = options.strReleaseDate.toLongLong();
    QJsonObject current;
    for (const QJsonValue &value : qAsConst(modules)) {
        if (value.toObject().value(QLatin1String("ID")).toString() == options.strModule)
            current = value.toObject();
    }
    const qint64 llCurrentDate = qint64(current.value(QLatin1String("ReleaseDate")).toDouble(-1));
    const QString currentVersion = current.value(QLatin1String("Version")).toString();
    const bool isSameRelease = currentVersion == options.strVersion && llCurrentDate == llDate;
    if (!current.isEmpty() && llDate <= llCurrentDate && !isSameRelease && !options.isAllowOlder) {
        printError(QStringLiteral("--release-date %1 is not later than that of %2 %3 (%4), the module's current "
                                  "release: installations take only a later date. Give a later date, or "
                                  "--allow-older to replace it all the same")
                       .arg(options.strReleaseDate, options.strModule, currentVersion)
                       .arg(llCurrentDate));
        return 1;
    }

    // A key rotation in the tree must be one that installations accept, now
    // and after the release that brings it.
    const QString trustFile = options.strTree + QLatin1Char('/') + Trust::trustFileRelativePath();
    Trust::KeyList rotation;
    const bool hasRotation = QFileInfo::exists(trustFile);
    if (hasRotation && !checkRotationFile(options.strRoot, trustFile, rotation, error)) {
        printError(error);
        return 1;
    }

    const QString packetsDir = options.strRoot + QLatin1String("/packets");
    const QString packetName = options.strModule + QLatin1Char('-') + options.strVersion + QLatin1String(".7z");
    QString reason;
    if (!isPlainServerFileName(packetName, &reason)) {
        printError(QStringLiteral("clients would refuse the packet name %1: %2").arg(packetName, reason));
        return 1;
    }
    const QString packetPath = packetsDir + QLatin1Char('/') + packetName;
    if (options.isDryRun) {
        printOut(QStringLiteral("Would pack %1 into %2 and %3 %4 %5 (release date %6) in %7\n")
                     .arg(options.strTree, packetPath,
                          current.isEmpty() ? QStringLiteral("add") : QStringLiteral("replace"), options.strModule,
                          options.strVersion, options.strReleaseDate, manifestPath(options.strRoot)));
        if (!options.strBaseTree.isEmpty())
            printOut(QStringLiteral("Would make a delta from %1 (%2)\n").arg(options.strBaseVersion, options.strBaseTree));
        if (hasRotation)
            printOut(QStringLiteral("The tree carries a key rotation to %1 key(s)\n").arg(rotation.vecKeys.size()));
        return 0;
    }
    if (!QDir().mkpath(packetsDir)) {
        printError(QStringLiteral("cannot create %1").arg(packetsDir));
        return 1;
    }
    qint64 bytes = 0;
    QByteArray sha256;
    if (!packDirectory(sevenZip, options.strTree, packetPath, error) || !hashFile(packetPath, bytes, sha256, error)) {
        printError(error);
        return 1;
    }

    // The entry's deltas stay while the full packet is the same one; a new
    // build of the module makes them all obsolete.
    QVector<DeltaPacket> deltas;
    if (currentVersion == options.strVersion
        && current.value(QLatin1String("Sha256")).toString() == QString::fromLatin1(sha256.toHex()))
        deltasFromManifest(current.value(QLatin1String("Deltas")), deltas);
    QString deltaReport;
    if (!options.strBaseTree.isEmpty()) {
        DeltaPacket delta;
        const DeltaRequest request{options.strModule, options.strBaseTree, options.strBaseVersion, options.strTree,
                             options.strVersion};
        if (!packDeltaPacket(sevenZip, request, packetsDir, bytes, delta, deltaReport, error)) {
            printError(error);
            return 1;
        }
        deltas.erase(std::remove_if(deltas.begin(), deltas.end(),
                                    [&](const DeltaPacket &d) { return d.strBaseVersion == delta.strBaseVersion; }),
                     deltas.end());
        deltas.append(delta);
    }

    QJsonObject entry{{QStringLiteral("ID"), options.strModule},
                      {QStringLiteral("Version"), options.strVersion},
                      {QStringLiteral("ReleaseDate"), double(llDate)},
                      {QStringLiteral("Desc"), options.strDesc},
                      {QStringLiteral("IconUrl"), options.strIconUrl.isEmpty()
                           ? QStringLiteral("icons/%1.png").arg(options.strModule) : options.strIconUrl},
                      {QStringLiteral("Size"), QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 6)},
                      {QStringLiteral("Packet"), packetName},
                      {QStringLiteral("Bytes"), double(bytes)},
                      {QStringLiteral("Sha256"), QString::fromLatin1(sha256.toHex())}};
    if (!deltas.isEmpty())
        entry.insert(QStringLiteral("Deltas"), Trust::deltasToJson(deltas));
    if (!notes.isEmpty())
        entry.insert(QStringLiteral("Notes"), notes);
    if (hasRotation)
        entry.insert(QStringLiteral("Rotation"), QJsonDocument::fromJson(Trust::keyListToJson(rotation)).object());
    bool isReplaced = false;
    for (int i = 0; i < modules.size(); ++i) {
        if (modules.at(i).toObject().value(QLatin1String("ID")).toString() == options.strModule) {
            modules.replace(i, entry);
            isReplaced = true;
        }
    }
    if (!isReplaced)
        modules.append(entry);
    // The release it replaces stays known, for withdraw; a version packed
    // again replaces its own packet, so only another version is worth keeping.
    if (isReplaced && currentVersion != options.strVersion) {
        QJsonArray history = manifest.value(QLatin1String("history")).toArray();
        history.append(current);
        manifest.insert(QStringLiteral("history"), history);
    }
    manifest.insert(QStringLiteral("modules"), modules);
    if (!writeManifest(options.strRoot, manifest, error)) {
        printError(error);
        return 1;
    }
    printOut(QStringLiteral("Packed %1 (%2 bytes, SHA-256 %3) and %4 %5 in %6\n")
                 .arg(packetPath)
                 .arg(bytes)
                 .arg(QString::fromLatin1(sha256.toHex()), isReplaced ? QStringLiteral("replaced") : QStringLiteral("added"),
                      options.strModule, manifestPath(options.strRoot)));
    printOut(deltaReport);
    return 0;
}

int sign(const QString &strRoot, const QStringList &listKeyFiles, const QString &strExpires,
         const QStringList &listMirrors, const QString &strReportUrl, bool isDryRun)
{
    return signSite(strRoot, listKeyFiles, strExpires, listMirrors, strReportUrl, false, isDryRun);
}

int signSite(const QString &strRoot, const QStringList &listKeyFiles, const QString &strExpires,
             const QStringList &listMirrors, const QString &strReportUrl, bool isKeepingSettings, bool isDryRun)
{
    QString error;
    QVector<QByteArray> privateKeys;
    for (const QString &keyFile : listKeyFiles) {
        QByteArray pem;
        if (!readPrivateKey(keyFile, pem, error)) {
            printError(error);
            return 1;
        }
        privateKeys.append(pem);
    }
    QDateTime expires = QDateTime::currentDateTimeUtc().addDays(30);
    if (!strExpires.isEmpty()) {
        static const QRegularExpression pattern(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"));
        expires = QDateTime::fromString(strExpires, Qt::ISODate);
        if (!pattern.match(strExpires).hasMatch() || !expires.isValid()) {
            printError(QStringLiteral("--expires takes YYYY-MM-DDThh:mm:ssZ, got \"%1\"").arg(strExpires));
            return 1;
        }
        if (expires <= QDateTime::currentDateTimeUtc())
            std::fprintf(stderr, "tarvex-release: warning: the document expires in the past; clients refuse it\n");
    }
    for (const QString &mirror : listMirrors) {
        if (!isSiteUrl(mirror)) {
            printError(QStringLiteral("--mirror takes the root of a copy of the site, http(s)://HOST[:PORT][/PATH] "
                                      "without a trailing \"/\", got \"%1\"")
                           .arg(mirror));
            return 1;
        }
    }
    if (!strReportUrl.isEmpty() && !Trust::isReportUrl(strReportUrl)) {
        printError(QStringLiteral("--report-url takes an http(s) URL with a host, got \"%1\"").arg(strReportUrl));
        return 1;
    }
    QJsonArray modules;
    if (!readManifestModules(strRoot, modules, error)) {
        printError(error);
        return 1;
    }

    Trust::ReleaseDocument document;
    document.expires = expires;
    document.issued = QDateTime::currentDateTimeUtc();
    document.listMirrors = listMirrors;
    document.strReportUrl = strReportUrl;
    // A release that carries a key rotation changes what installations
    // trust once they took it.
    Trust::KeyList rotation;
    bool hasRotation = false;
    for (const QJsonValue &value : qAsConst(modules)) {
        const QJsonValue carried = value.toObject().value(QLatin1String("Rotation"));
        if (carried.isObject() && !hasRotation)
            hasRotation = Trust::parseKeyList(QJsonDocument(carried.toObject()).toJson(), rotation, error);
    }
    for (const QJsonValue &value : qAsConst(modules)) {
        Trust::ReleaseModule module;
        // What is signed is the packet as it is on disk now, not only what
        // the manifest says about it.
        if (!moduleFromManifest(value.toObject(), module, error) || !checkPacket(strRoot, module, error)) {
            printError(error);
            return 1;
        }
        document.vecModules.append(module);
    }

    // The serial grows with every release, even if the previous document
    // can no longer be verified (its key may be gone).
    document.llSerial = 1;
    if (QFileInfo::exists(releasePath(strRoot))) {
        QByteArray content;
        Trust::SignedEnvelope previous;
        Trust::ReleaseDocument previousDocument;
        if (!readFileBounded(releasePath(strRoot), maxManifestBytes, content, error)
            || !Trust::envelopeFromJson(content, previous, error)
            || !Trust::parseReleaseDocument(previous.baSigned, previousDocument, error)) {
            printError(QStringLiteral("the previous %1 is unreadable (%2); move it away to start at serial 1")
                           .arg(releasePath(strRoot), error));
            return 1;
        }
        document.llSerial = previousDocument.llSerial + 1;
        // A re-signing for a rollout changes the offer, not where the site
        // lies or where reports go.
        if (isKeepingSettings) {
            document.listMirrors = previousDocument.listMirrors;
            if (document.strReportUrl.isEmpty())
                document.strReportUrl = previousDocument.strReportUrl;
        }
    }

    Trust::SignedEnvelope envelope;
    envelope.baSigned = Trust::releaseDocumentToJson(document);
    QStringList ids;
    Trust::KeyList signers;
    for (const QByteArray &pem : qAsConst(privateKeys)) {
        QByteArray publicKey;
        Trust::SignatureEntry entry;
        if (!Trust::readPublicKeyPem(pem, publicKey, error)
            || !Trust::signBytes(pem, envelope.baSigned, entry.baSignature, error)) {
            printError(error);
            return 1;
        }
        entry.strKeyId = Trust::keyId(publicKey);
        ids << entry.strKeyId;
        signers.vecKeys.append(Trust::TrustedKey{entry.strKeyId, publicKey});
        envelope.vecSignatures.append(entry);
    }
    SiteTrust trust;
    if (!readSiteTrust(strRoot, trust, error)) {
        printError(error);
        return 1;
    }
    warnAboutTrust(strRoot, trust, ids, hasRotation);
    if (isDryRun) {
        printOut(QStringLiteral("Would sign %1: serial %2, %3 module(s), expires %4, key(s) %5\n")
                     .arg(releasePath(strRoot))
                     .arg(document.llSerial)
                     .arg(document.vecModules.size())
                     .arg(expires.toUTC().toString(Qt::ISODate), ids.join(QLatin1String(", "))));
        return 0;
    }
    if (!Trust::writeFileDurably(releasePath(strRoot), Trust::envelopeToJson(envelope), error)) {
        printError(error);
        return 1;
    }
    QFile::setPermissions(releasePath(strRoot),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    // The first signature tells which keys the fleet was given; a rotation
    // in the release replaces them for those that take it.
    // A release without the rotation ends its transition: installations
    // still on the old keys are no longer waited for.
    SiteTrust next = trust;
    bool isTrustChanged = !trust.isKnown || (trust.hasPrevious && !hasRotation);
    next.hasPrevious = trust.hasPrevious && hasRotation;
    if (!next.isKnown) {
        next.isKnown = true;
        next.current = signers;
        next.llSince = document.llSerial;
    }
    if (hasRotation && (keyIds(rotation) != keyIds(next.current) || rotation.nThreshold != next.current.nThreshold)) {
        next.previous = next.current;
        next.hasPrevious = true;
        next.current = rotation;
        next.llSince = document.llSerial;
        isTrustChanged = true;
    }
    if (isTrustChanged && !writeSiteTrust(strRoot, next, error)) {
        printError(error);
        return 1;
    }
    printOut(QStringLiteral("Signed %1: serial %2, %3 module(s), expires %4, key(s) %5\n")
                 .arg(releasePath(strRoot))
                 .arg(document.llSerial)
                 .arg(document.vecModules.size())
                 .arg(expires.toUTC().toString(Qt::ISODate), ids.join(QLatin1String(", "))));
    if (!document.strReportUrl.isEmpty())
        printOut(QStringLiteral("Installations report the outcome of each upgrade to %1\n").arg(document.strReportUrl));
    return 0;
}

int verify(const QString &strRoot, const QStringList &listPublicFiles)
{
    QString error;
    Trust::KeyList keys;
    for (const QString &publicFile : listPublicFiles) {
        QByteArray publicKey;
        if (!readPublicKeyFile(publicFile, publicKey, error)) {
            printError(error);
            return 1;
        }
        keys.vecKeys.append(Trust::TrustedKey{Trust::keyId(publicKey), publicKey});
    }
    QJsonArray manifestModules;
    if (!readManifestModules(strRoot, manifestModules, error)) {
        printError(error);
        return 1;
    }
    QByteArray content;
    Trust::SignedEnvelope envelope;
    Trust::ReleaseDocument document;
    if (!QFileInfo::exists(releasePath(strRoot))) {
        printError(QStringLiteral("site %1 is not signed: run \"tarvex-release sign\"").arg(strRoot));
        return 1;
    }
    if (!readFileBounded(releasePath(strRoot), maxManifestBytes, content, error)
        || !Trust::envelopeFromJson(content, envelope, error) || !Trust::isSignedBy(envelope, keys, error)
        || !Trust::parseReleaseDocument(envelope.baSigned, document, error)) {
        printError(QStringLiteral("%1: %2").arg(releasePath(strRoot), error));
        return 1;
    }
    int faults = 0;
    if (document.expires <= QDateTime::currentDateTimeUtc()) {
        printError(QStringLiteral("the document expired at %1").arg(document.expires.toUTC().toString(Qt::ISODate)));
        ++faults;
    }
    // The manifest feeds the answers: it must say what was signed.
    QVector<Trust::ReleaseModule> fromManifest;
    for (const QJsonValue &value : qAsConst(manifestModules)) {
        Trust::ReleaseModule module;
        if (!moduleFromManifest(value.toObject(), module, error)) {
            printError(error);
            ++faults;
            continue;
        }
        fromManifest.append(module);
    }
    if (fromManifest.size() != document.vecModules.size()) {
        printError(QStringLiteral("the manifest lists %1 modules, the signed document %2")
                       .arg(fromManifest.size())
                       .arg(document.vecModules.size()));
        ++faults;
    }
    for (const Trust::ReleaseModule &module : qAsConst(document.vecModules)) {
        const auto same = std::find_if(fromManifest.cbegin(), fromManifest.cend(),
                                       [&](const Trust::ReleaseModule &m) { return isSameRelease(m, module); });
        if (same == fromManifest.cend()) {
            printError(QStringLiteral("the manifest entry of %1 differs from the signed one").arg(module.strId));
            ++faults;
        }
        if (!checkPacket(strRoot, module, error)) {
            printError(error);
            ++faults;
        }
    }
    if (faults > 0)
        return 1;
    printOut(QStringLiteral("%1: serial %2, %3 module(s), expires %4: signature and every packet verified\n")
                 .arg(releasePath(strRoot))
                 .arg(document.llSerial)
                 .arg(document.vecModules.size())
                 .arg(document.expires.toUTC().toString(Qt::ISODate)));
    return 0;
}

int rotate(const QStringList &listKeyFiles, const QStringList &listPublicFiles, int nThreshold, const QString &strOut)
{
    QString error;
    Trust::KeyList keys;
    keys.nThreshold = nThreshold;
    for (const QString &publicFile : listPublicFiles) {
        QByteArray publicKey;
        if (!readPublicKeyFile(publicFile, publicKey, error)) {
            printError(error);
            return 1;
        }
        keys.vecKeys.append(Trust::TrustedKey{Trust::keyId(publicKey), publicKey});
    }
    if (nThreshold < 1 || nThreshold > keys.vecKeys.size()) {
        printError(QStringLiteral("--threshold must lie between 1 and the number of --public keys"));
        return 1;
    }
    Trust::SignedEnvelope envelope;
    envelope.baSigned = Trust::keyListToJson(keys);
    for (const QString &keyFile : listKeyFiles) {
        QByteArray pem;
        QByteArray publicKey;
        Trust::SignatureEntry entry;
        if (!readPrivateKey(keyFile, pem, error) || !Trust::readPublicKeyPem(pem, publicKey, error)
            || !Trust::signBytes(pem, envelope.baSigned, entry.baSignature, error)) {
            printError(error);
            return 1;
        }
        entry.strKeyId = Trust::keyId(publicKey);
        envelope.vecSignatures.append(entry);
    }
    if (!Trust::writeFileDurably(strOut, Trust::envelopeToJson(envelope), error)) {
        printError(error);
        return 1;
    }
    printOut(QStringLiteral("Wrote the key rotation %1: %2 key(s), %3 signature(s) needed; pack it as %4\n")
                 .arg(strOut)
                 .arg(keys.vecKeys.size())
                 .arg(nThreshold)
                 .arg(Trust::trustFileRelativePath()));
    return 0;
}

} // namespace ReleaseTool
