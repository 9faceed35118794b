#include "deltapacker.h"

#include "platform/readfile.h"
#include "upgrade/files/portablenames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <zstd.h>

#include <algorithm>
#include <memory>

namespace ReleaseTool {

namespace {

// Patches are made once and fetched by every installation: worth the time.
constexpr int compressionLevel = 19;

struct ZstdCCtxFree
{
    void operator()(ZSTD_CCtx *pContext) const { ZSTD_freeCCtx(pContext); }
};

bool writeWhole(const QString &strPath, const QByteArray &baContent, QString &strError)
{
    if (!QDir().mkpath(QFileInfo(strPath).absolutePath())) {
        strError = QStringLiteral("cannot create the directory of %1").arg(strPath);
        return false;
    }
    QFile file(strPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(baContent) != baContent.size()
        || !file.flush()) {
        strError = QStringLiteral("cannot write %1: %2").arg(strPath, file.errorString());
        return false;
    }
    return true;
}

// Every file of the tree, sorted, as "/"-separated relative paths. A link
// would come out of a delta as the file it points to, unlike from the full
// packet, so a tree with links gets no delta.
bool listTree(const QString &strTree, QStringList &listFiles, QString &strError)
{
    const QDir root(QFileInfo(strTree).absoluteFilePath());
    QDirIterator it(strTree, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink()) {
            strError = QStringLiteral("%1 is a link; a delta carries regular files only").arg(info.filePath());
            return false;
        }
        if (info.isDir())
            continue;
        if (!info.isFile()) {
            strError = QStringLiteral("%1 is not a regular file").arg(info.filePath());
            return false;
        }
        listFiles.append(root.relativeFilePath(info.absoluteFilePath()));
    }
    std::sort(listFiles.begin(), listFiles.end());
    return true;
}

} // namespace

bool makePatch(const QByteArray &baOld, const QByteArray &baNew, QByteArray &baPatch, QString &strError)
{
    const std::unique_ptr<ZSTD_CCtx, ZstdCCtxFree> context(ZSTD_createCCtx());
    if (!context) {
        strError = QStringLiteral("no memory for the encoder");
        return false;
    }
    // The window must reach from the end of the new file back to the start of
    // the old one, or long-distance matches into the old file are lost.
    const qint64 llSpan = qint64(baOld.size()) + baNew.size();
    int windowLog = ZSTD_cParam_getBounds(ZSTD_c_windowLog).lowerBound;
    while (windowLog < Delta::maxWindowLog && (qint64(1) << windowLog) < llSpan)
        ++windowLog;
    size_t code = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, compressionLevel);
    if (!ZSTD_isError(code))
        code = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    if (!ZSTD_isError(code))
        code = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    if (!ZSTD_isError(code) && !baOld.isEmpty())
        code = ZSTD_CCtx_refPrefix(context.get(), baOld.constData(), size_t(baOld.size()));
    if (!ZSTD_isError(code)) {
        baPatch.resize(int(ZSTD_compressBound(size_t(baNew.size()))));
        code = ZSTD_compress2(context.get(), baPatch.data(), size_t(baPatch.size()), baNew.constData(),
                              size_t(baNew.size()));
    }
    if (ZSTD_isError(code)) {
        strError = QStringLiteral("zstd: %1").arg(QLatin1String(ZSTD_getErrorName(code)));
        baPatch.clear();
        return false;
    }
    baPatch.resize(int(code));
    return true;
}

bool makeDeltaTree(const QString &strBaseTree, const QString &strNewTree, Delta::Index &index,
                   const QString &strOutDir, DeltaStats &stats, QString &strError)
{
    // Qt's listing leaves out names it cannot decode: the delta would lack
    // files that the full packet has.
    QStringList listFiles;
    if (!PortableNames::checkTree(strNewTree, strError)) {
        strError = QStringLiteral("%1 cannot be packed: %2").arg(strNewTree, strError);
        return false;
    }
    if (!listTree(strNewTree, listFiles, strError))
        return false;
    index.vecFiles.clear();
    for (const QString &strPath : qAsConst(listFiles)) {
        Delta::FileEntry entry;
        entry.strPath = strPath;
        if (!Delta::isSafeRelativePath(strPath)) {
            strError = QStringLiteral("%1 cannot travel in a delta: its name is not a plain relative path").arg(strPath);
            return false;
        }
        QByteArray baNew;
        if (!readFileBounded(strNewTree + QLatin1Char('/') + strPath, Delta::maxPatchedFileBytes, baNew, strError))
            return false;
        entry.baTo = QCryptographicHash::hash(baNew, QCryptographicHash::Sha256);
        entry.llSize = baNew.size();

        const QString strOldPath = strBaseTree + QLatin1Char('/') + strPath;
        const QFileInfo oldInfo(strOldPath);
        QByteArray baOld;
        const bool hasOld = oldInfo.isFile() && !oldInfo.isSymLink();
        if (hasOld && !readFileBounded(strOldPath, Delta::maxPatchedFileBytes, baOld, strError))
            return false;
        if (hasOld)
            entry.baFrom = QCryptographicHash::hash(baOld, QCryptographicHash::Sha256);

        QByteArray baData;
        if (hasOld && entry.baFrom == entry.baTo) {
            entry.action = Delta::FileEntry::Keep;
            ++stats.nKeep;
        } else {
            QByteArray baPatch;
            QByteArray baAlone;
            const bool canPatch = hasOld && baOld.size() <= Delta::maxPatchedFileBytes
                && baNew.size() <= Delta::maxPatchedFileBytes;
            if (canPatch
                && (!makePatch(baOld, baNew, baPatch, strError) || !makePatch(QByteArray(), baNew, baAlone, strError)))
                return false;
            // A rewritten file may compress better on its own: then it travels whole.
            if (canPatch && baPatch.size() < baAlone.size()) {
                entry.action = Delta::FileEntry::Patch;
                entry.strData = QLatin1String("patches/") + strPath + QLatin1String(".zst");
                baData = baPatch;
                ++stats.nPatch;
            } else {
                entry.action = Delta::FileEntry::Add;
                entry.strData = QLatin1String("files/") + strPath;
                entry.baFrom.clear();
                baData = baNew;
                ++stats.nAdd;
            }
            if (!Delta::isSafeRelativePath(entry.strData)) {
                strError = QStringLiteral("%1: the name is too long for a delta").arg(strPath);
                return false;
            }
            const QString strDataPath = strOutDir + QLatin1Char('/') + entry.strData;
            if (!writeWhole(strDataPath, baData, strError))
                return false;
            // An added file is unpacked with the mode it travels with.
            if (entry.action == Delta::FileEntry::Add)
                QFile::setPermissions(strDataPath, QFile::permissions(strNewTree + QLatin1Char('/') + strPath));
        }
        index.vecFiles.append(entry);
    }
    return writeWhole(strOutDir + QLatin1String("/delta.json"), Delta::indexToJson(index), strError);
}

} // namespace ReleaseTool
