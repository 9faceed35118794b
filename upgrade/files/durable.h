#ifndef TVX_DURABLE_H
#define TVX_DURABLE_H

#include <QByteArray>
#include <QString>

// What a crash must not undo goes through here: written, flushed, and the
// directory that names it flushed too.
namespace Durable {

bool syncDir(const QString &strDir);
// Every dirty block of the volume that holds strPath; cheaper than syncing
// thousands of files one by one, and the only way to make renames durable
// across many directories at once.
void syncVolume(const QString &strPath);
// Replaces strPath atomically: a reader sees the old content or the new one.
bool writeFileAtomically(const QString &strPath, const QByteArray &content);

} // namespace Durable

#endif // TVX_DURABLE_H
