#ifndef TVX_DURABLE_H
#define TVX_DURABLE_H

#include <QByteArray>
#include <QString>

class QFileDevice;

// What a crash must not undo goes through here: written, flushed, and the
// directory that names it flushed too.
namespace Durable {

bool syncDir(const QString &strDir);
// The file's data on the disk: Qt's buffer written, then the system's.
bool flush(QFileDevice &file);
// The same for a file that is not open.
bool flushPath(const QString &strPath);
// Renames from to to, past the system's cache on Windows; POSIX makes it
// durable with syncDir() or syncVolume(). Never replaces on Windows.
bool rename(const QString &strFrom, const QString &strTo);
// Appends content to strPath and flushes it.
bool append(const QString &strPath, const QByteArray &content);
// Every dirty block of the volume that holds strPath; cheaper than syncing
// thousands of files one by one, and the only way to make renames durable
// across many directories at once.
void syncVolume(const QString &strPath);
// Replaces strPath atomically: a reader sees the old content or the new one.
bool writeFileAtomically(const QString &strPath, const QByteArray &content);

} // namespace Durable

#endif // TVX_DURABLE_H
