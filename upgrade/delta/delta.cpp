#include "upgrade/delta/delta.h"

#include "platform/readfile.h"
#include "upgrade/files/installlayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <openssl/evp.h>
#include <zstd.h>

#include <cmath>
#include <memory>

namespace Delta {

namespace {

const char indexType[] = "tarvex-delta";
constexpr int maxPathChars = 4096;
constexpr qint64 copyChunkBytes = 1024 * 1024;
// The decoder is fed this much at a time, so that it reads the frame header
// and applies the window bound before it sees the whole frame.
constexpr size_t feedBytes = 128 * 1024;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

const char *actionName(FileEntry::Action action)
{
    switch (action) {
    case FileEntry::Keep: return "keep";
    case FileEntry::Patch: return "patch";
    case FileEntry::Add: return "add";
    }
    return "";
}

// Exactly 64 hex digits; QByteArray::fromHex would skip anything else.
bool readSha256(const QJsonValue &value, QByteArray &baSha256)
{
    const QString strHex = value.toString();
    if (strHex.size() != 64)
        return false;
    for (const QChar c : strHex) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    baSha256 = QByteArray::fromHex(strHex.toLatin1());
    return true;
}

bool readSize(const QJsonValue &value, qint64 &llSize)
{
    // JSON numbers are doubles: beyond 2^53 they are no longer exact.
    if (!value.isDouble())
        return false;
    const double real = value.toDouble();
    if (real != std::trunc(real) || real < 0 || real > 9007199254740992.0)
        return false;
    llSize = qint64(real);
    return true;
}

// OpenSSL's SHA-256 uses the processor's hash instructions where there are
// any, several times faster than Qt's; a rebuild hashes every byte of the
// module twice.
class CSha256
{
public:
    CSha256() : m_pContext(EVP_MD_CTX_new())
    {
        m_isValid = m_pContext && EVP_DigestInit_ex(m_pContext, EVP_sha256(), nullptr) == 1;
    }
    ~CSha256() { EVP_MD_CTX_free(m_pContext); }
    void addData(const char *pData, qint64 llLength)
    {
        m_isValid = m_isValid && EVP_DigestUpdate(m_pContext, pData, size_t(llLength)) == 1;
    }
    // Empty when hashing failed, which then matches no expected hash.
    QByteArray result()
    {
        QByteArray baDigest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
        unsigned int length = 0;
        if (!m_isValid || EVP_DigestFinal_ex(m_pContext, reinterpret_cast<unsigned char *>(baDigest.data()), &length) != 1)
            return QByteArray();
        baDigest.resize(int(length));
        return baDigest;
    }
    static QByteArray hash(const QByteArray &baData)
    {
        CSha256 sha256;
        sha256.addData(baData.constData(), baData.size());
        return sha256.result();
    }

private:
    Q_DISABLE_COPY(CSha256)
    EVP_MD_CTX *m_pContext;
    bool m_isValid = false;
};

struct ZstdDCtxFree
{
    void operator()(ZSTD_DCtx *pContext) const { ZSTD_freeDCtx(pContext); }
};

// A file of rel under the canonical directory root, refused when a link on
// the way leads anywhere else or the path is not a regular file.
bool resolveInside(const QString &strRoot, const QString &strRel, QString &strResolved, QString &strError)
{
    const QFileInfo info(strRoot + QLatin1Char('/') + strRel);
    if (!info.exists()) {
        strError = info.isSymLink() ? QStringLiteral("is a dangling link") : QStringLiteral("is missing");
        return false;
    }
    strResolved = info.canonicalFilePath();
    if (!strResolved.startsWith(strRoot + QLatin1Char('/'), pathCase)) {
        strError = QStringLiteral("leads out of %1").arg(strRoot);
        return false;
    }
    if (!QFileInfo(strResolved).isFile()) {
        strError = QStringLiteral("is not a regular file");
        return false;
    }
    return true;
}

bool canonicalDir(const QString &strDir, QString &strCanonical)
{
    const QFileInfo info(strDir);
    strCanonical = info.canonicalFilePath();
    return info.isDir() && !strCanonical.isEmpty();
}

// Makes the directories of rel under out one by one, so that nothing on the
// way may be a link or a file.
bool makeParents(const QString &strOutDir, const QString &strRel, QString &strError)
{
    const QStringList parts = strRel.split(QLatin1Char('/'));
    QString strDir = strOutDir;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        strDir += QLatin1Char('/') + parts.at(i);
        const QFileInfo info(strDir);
        if (info.isSymLink() || (info.exists() && !info.isDir())) {
            strError = QStringLiteral("%1 is in the way").arg(strDir);
            return false;
        }
        if (!info.exists() && !QDir().mkdir(strDir)) {
            strError = QStringLiteral("cannot create %1").arg(strDir);
            return false;
        }
    }
    return true;
}

bool openNew(QFile &file, QFile::Permissions permissions, QString &strError)
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        strError = QStringLiteral("cannot create %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    // The new file keeps the mode of the one it comes from: an executable stays one.
    file.setPermissions(permissions | QFile::ReadOwner | QFile::WriteOwner);
    return true;
}

// Copies from into a new file at to, and tells the copy's SHA-256 and size.
bool copyHashed(const QString &strFrom, const QString &strTo, QByteArray &baSha256, qint64 &llBytes,
                QString &strError)
{
    QFile source(strFrom);
    QFile target(strTo);
    if (!source.open(QIODevice::ReadOnly)) {
        strError = QStringLiteral("cannot read %1: %2").arg(strFrom, source.errorString());
        return false;
    }
    if (!openNew(target, source.permissions(), strError))
        return false;
    CSha256 hash;
    QByteArray baChunk;
    llBytes = 0;
    for (;;) {
        baChunk = source.read(copyChunkBytes);
        if (baChunk.isEmpty())
            break;
        hash.addData(baChunk.constData(), baChunk.size());
        llBytes += baChunk.size();
        if (target.write(baChunk) != baChunk.size()) {
            strError = QStringLiteral("cannot write %1: %2").arg(strTo, target.errorString());
            return false;
        }
    }
    if (source.error() != QFileDevice::NoError) {
        strError = QStringLiteral("cannot read %1: %2").arg(strFrom, source.errorString());
        return false;
    }
    if (!target.flush()) {
        strError = QStringLiteral("cannot write %1: %2").arg(strTo, target.errorString());
        return false;
    }
    baSha256 = hash.result();
    return true;
}

bool rebuildFile(const FileEntry &entry, const QString &strBaseDir, const QString &strPacketDir,
                 const QString &strOutDir, QString &strError)
{
    if (!makeParents(strOutDir, entry.strPath, strError))
        return false;
    const QString strTarget = strOutDir + QLatin1Char('/') + entry.strPath;
    QString strSource;
    QString strReason;
    const bool isFromBase = entry.action != FileEntry::Add;
    if (!resolveInside(isFromBase ? strBaseDir : strPacketDir, isFromBase ? entry.strPath : entry.strData,
                       strSource, strReason)) {
        strError = QStringLiteral("%1 %2").arg(isFromBase ? QStringLiteral("base file") : QStringLiteral("data"),
                                               strReason);
        return false;
    }

    QByteArray baSha256;
    qint64 llBytes = 0;
    if (entry.action == FileEntry::Patch) {
        QByteArray baOld;
        if (!readFileBounded(strSource, maxPatchedFileBytes, baOld, strError))
            return false;
        if (CSha256::hash(baOld) != entry.baFrom) {
            strError = QStringLiteral("base file differs from the one the patch was made for");
            return false;
        }
        QString strPatch;
        QByteArray baPatch;
        if (!resolveInside(strPacketDir, entry.strData, strPatch, strReason)) {
            strError = QStringLiteral("patch %1").arg(strReason);
            return false;
        }
        QByteArray baNew;
        if (!readFileBounded(strPatch, maxPatchedFileBytes, baPatch, strError) || !applyPatch(baOld, baPatch, entry.llSize, baNew, strError))
            return false;
        baSha256 = CSha256::hash(baNew);
        llBytes = baNew.size();
        if (baSha256 == entry.baTo) {
            QFile target(strTarget);
            if (!openNew(target, QFile(strSource).permissions(), strError))
                return false;
            if (target.write(baNew) != baNew.size() || !target.flush()) {
                strError = QStringLiteral("cannot write %1: %2").arg(strTarget, target.errorString());
                return false;
            }
        }
    } else if (!copyHashed(strSource, strTarget, baSha256, llBytes, strError)) {
        return false;
    }
    // A kept file's result is its base: the one check covers both.
    if (llBytes != entry.llSize || baSha256 != entry.baTo) {
        strError = entry.action == FileEntry::Keep
            ? QStringLiteral("base file differs from the one the packet was made for")
            : QStringLiteral("result differs from the one the packet was made for");
        return false;
    }
    return true;
}

} // namespace

bool isSafeRelativePath(const QString &strPath)
{
    if (strPath.isEmpty() || strPath.size() > maxPathChars || strPath.contains(QLatin1Char('\\'))
        || strPath.contains(QLatin1Char(':')) || strPath.contains(QChar(0)))
        return false;
    // A leading "/" shows as an empty first part, "a//b" or "a/" as an empty one later.
    const QStringList parts = strPath.split(QLatin1Char('/'));
    for (const QString &strPart : parts) {
        if (strPart.isEmpty() || strPart == QLatin1String(".") || strPart == QLatin1String(".."))
            return false;
    }
    return true;
}

QByteArray indexToJson(const Index &index)
{
    QJsonArray files;
    for (const FileEntry &entry : index.vecFiles) {
        QJsonObject object{{QStringLiteral("path"), entry.strPath},
                           {QStringLiteral("action"), QLatin1String(actionName(entry.action))},
                           {QStringLiteral("to"), QString::fromLatin1(entry.baTo.toHex())},
                           {QStringLiteral("size"), double(entry.llSize)}};
        if (entry.action != FileEntry::Add)
            object.insert(QStringLiteral("from"), QString::fromLatin1(entry.baFrom.toHex()));
        if (entry.action != FileEntry::Keep)
            object.insert(QStringLiteral("data"), entry.strData);
        files.append(object);
    }
    const QJsonObject root{{QStringLiteral("type"), QLatin1String(indexType)},
                           {QStringLiteral("module"), index.strModule},
                           {QStringLiteral("base"), index.strBase},
                           {QStringLiteral("version"), index.strVersion},
                           {QStringLiteral("files"), files}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool parseIndex(const QByteArray &baJson, Index &index, QString &strError)
{
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(baJson, &parseError);
    const QJsonObject root = json.object();
    if (!json.isObject() || root.value(QLatin1String("type")).toString() != QLatin1String(indexType)) {
        strError = QStringLiteral("not a delta index");
        return false;
    }
    index.strModule = root.value(QLatin1String("module")).toString();
    index.strBase = root.value(QLatin1String("base")).toString();
    index.strVersion = root.value(QLatin1String("version")).toString();
    const QJsonValue files = root.value(QLatin1String("files"));
    if (index.strModule.isEmpty() || index.strBase.isEmpty() || index.strVersion.isEmpty() || !files.isArray()) {
        strError = QStringLiteral("no \"module\", \"base\", \"version\" or \"files\"");
        return false;
    }
    const QJsonArray array = files.toArray();
    index.vecFiles.clear();
    index.vecFiles.reserve(array.size());
    QSet<QString> setPaths;
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        FileEntry entry;
        entry.strPath = object.value(QLatin1String("path")).toString();
        entry.strData = object.value(QLatin1String("data")).toString();
        const QString strAction = object.value(QLatin1String("action")).toString();
        bool isValid = isSafeRelativePath(entry.strPath) && !setPaths.contains(entry.strPath)
            && readSha256(object.value(QLatin1String("to")), entry.baTo)
            && readSize(object.value(QLatin1String("size")), entry.llSize);
        if (strAction == QLatin1String("keep")) {
            entry.action = FileEntry::Keep;
            isValid = isValid && readSha256(object.value(QLatin1String("from")), entry.baFrom)
                && entry.baFrom == entry.baTo;
            entry.strData.clear();
        } else if (strAction == QLatin1String("patch")) {
            entry.action = FileEntry::Patch;
            isValid = isValid && readSha256(object.value(QLatin1String("from")), entry.baFrom)
                && isSafeRelativePath(entry.strData);
        } else if (strAction == QLatin1String("add")) {
            entry.action = FileEntry::Add;
            isValid = isValid && isSafeRelativePath(entry.strData);
        } else {
            isValid = false;
        }
        if (!isValid) {
            strError = QStringLiteral("file entry %1 is invalid").arg(index.vecFiles.size());
            return false;
        }
        // A delta makes the same tree a full packet brings: none of the
        // names the engine keeps.
        QString strReason;
        if (CInstallLayout::isReservedName(entry.strPath, &strReason)) {
            strError = QStringLiteral("file entry %1: \"%2\" %3").arg(index.vecFiles.size()).arg(entry.strPath, strReason);
            return false;
        }
        setPaths.insert(entry.strPath);
        index.vecFiles.append(entry);
    }
    return true;
}

bool applyPatch(const QByteArray &baOld, const QByteArray &baPatch, qint64 llSize, QByteArray &baNew,
                QString &strError)
{
    if (llSize < 0 || llSize > maxPatchedFileBytes) {
        strError = QStringLiteral("result size %1 out of range").arg(llSize);
        return false;
    }
    // The frame states its size: a patch for a result of another size is not
    // even started, and a short or long one cannot pass for it.
    const unsigned long long frameSize = ZSTD_getFrameContentSize(baPatch.constData(), size_t(baPatch.size()));
    if (frameSize != (unsigned long long)llSize
        || ZSTD_findFrameCompressedSize(baPatch.constData(), size_t(baPatch.size())) != size_t(baPatch.size())) {
        strError = QStringLiteral("patch is not one frame for %1 bytes").arg(llSize);
        return false;
    }
    const std::unique_ptr<ZSTD_DCtx, ZstdDCtxFree> context(ZSTD_createDCtx());
    if (!context) {
        strError = QStringLiteral("no memory for the decoder");
        return false;
    }
    const ZSTD_bounds bounds = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax);
    size_t code = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, qMin(maxWindowLog, bounds.upperBound));
    if (!ZSTD_isError(code))
        code = ZSTD_DCtx_refPrefix(context.get(), baOld.constData(), size_t(baOld.size()));
    baNew = QByteArray(int(llSize), Qt::Uninitialized);
    ZSTD_outBuffer output{baNew.data(), size_t(baNew.size()), 0};
    size_t fed = 0;
    size_t remaining = 1;
    while (!ZSTD_isError(code) && remaining != 0) {
        ZSTD_inBuffer input{baPatch.constData(), qMin(size_t(baPatch.size()), fed + feedBytes), fed};
        const size_t written = output.pos;
        remaining = ZSTD_decompressStream(context.get(), &output, &input);
        code = remaining;
        // No step forward with input and room to spare: the frame wants more than it declared.
        if (!ZSTD_isError(code) && remaining != 0 && input.pos == fed && output.pos == written) {
            strError = QStringLiteral("patch does not end where it should");
            baNew.clear();
            return false;
        }
        fed = input.pos;
    }
    if (ZSTD_isError(code)) {
        strError = QStringLiteral("corrupt patch: %1").arg(QLatin1String(ZSTD_getErrorName(code)));
        baNew.clear();
        return false;
    }
    if (output.pos != size_t(llSize) || fed != size_t(baPatch.size())) {
        strError = QStringLiteral("patch gives %1 bytes, not %2").arg(output.pos).arg(llSize);
        baNew.clear();
        return false;
    }
    return true;
}

bool rebuild(const Index &index, const QString &strBaseDir, const QString &strPacketDir, const QString &strOutDir,
             QString &strError, const std::function<bool(int, int)> &pfnProgress)
{
    QString strBase;
    QString strPacket;
    if (!canonicalDir(strBaseDir, strBase) || !canonicalDir(strPacketDir, strPacket)) {
        strError = QStringLiteral("no directory %1 or %2").arg(strBaseDir, strPacketDir);
        return false;
    }
    const QFileInfo outInfo(strOutDir);
    if (outInfo.isSymLink() || !QDir().mkpath(strOutDir)
        || !QDir(strOutDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty()) {
        strError = QStringLiteral("%1 is not a new empty directory").arg(strOutDir);
        return false;
    }
    const QString strOut = QDir::cleanPath(outInfo.absoluteFilePath());
    const int total = index.vecFiles.size();
    for (int i = 0; i < total; ++i) {
        const FileEntry &entry = index.vecFiles.at(i);
        QString strReason;
        // Checked again: an index put together by hand never went through parseIndex.
        if (!isSafeRelativePath(entry.strPath)
            || (entry.action != FileEntry::Keep && !isSafeRelativePath(entry.strData))) {
            strError = QStringLiteral("%1: unsafe path").arg(entry.strPath);
            return false;
        }
        if (!rebuildFile(entry, strBase, strPacket, strOut, strReason)) {
            strError = QStringLiteral("%1 (%2): %3")
                           .arg(entry.strPath, QLatin1String(actionName(entry.action)), strReason);
            return false;
        }
        if (pfnProgress && !pfnProgress(i + 1, total)) {
            strError = QStringLiteral("stopped after %1 of %2 files").arg(i + 1).arg(total);
            return false;
        }
    }
    return true;
}

} // namespace Delta
