#ifndef TVX_DELTA_DELTA_H
#define TVX_DELTA_DELTA_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

// A delta packet turns a module as installed at one version into the next
// one, file by file. delta.json lists every file of the new tree and how to
// make it from the old tree and the packet's data files.
namespace Delta {

struct FileEntry
{
    enum Action { Keep, Patch, Add };
    Action action = Keep;
    QString strPath;
    QByteArray baFrom; // SHA-256 of the base file (Keep, Patch), 32 bytes
    QByteArray baTo;   // SHA-256 of the result, 32 bytes
    qint64 llSize = 0; // bytes of the result
    QString strData;   // inside the packet: the patch (Patch) or the whole file (Add)
};

struct Index
{
    QString strModule, strBase, strVersion;
    QVector<FileEntry> vecFiles;
};

// Relative, "/"-separated, non-empty, no "." or ".." component, no "\", ":"
// or NUL, no leading "/", at most 4096 characters.
bool isSafeRelativePath(const QString &strPath);

QByteArray indexToJson(const Index &index);
bool parseIndex(const QByteArray &baJson, Index &index, QString &strError);

// Decodes one patch against the old bytes; refuses a result that is not exactly llSize bytes.
bool applyPatch(const QByteArray &baOld, const QByteArray &baPatch, qint64 llSize, QByteArray &baNew,
                QString &strError);

// Writes the new version of every file of the index into strOutDir (created; must be empty): keep
// copies the base file, patch decodes against it, add copies from the packet. Each base file's SHA-256 is
// checked before use, each result's after it is written; links are never followed out of strBaseDir or
// strPacketDir. pfnProgress (may be empty) gets (files done, files total) and may return false to stop.
// On false, strError says which file and why; strOutDir may hold partial output for the caller to remove.
bool rebuild(const Index &index, const QString &strBaseDir, const QString &strPacketDir, const QString &strOutDir,
             QString &strError, const std::function<bool(int, int)> &pfnProgress = {});

// The largest window a patch may need, as a power of two; the decoder refuses more.
constexpr int maxWindowLog = 31;
// Old and new file are held whole while patching; larger files travel whole.
constexpr qint64 maxPatchedFileBytes = qint64(1) << 30;

} // namespace Delta

#endif // TVX_DELTA_DELTA_H
