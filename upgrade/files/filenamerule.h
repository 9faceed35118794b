#ifndef TVX_FILENAMERULE_H
#define TVX_FILENAMERULE_H

#include <QString>

// The one rule for a file name that comes from a server (a packet's, a delta
// packet's) before the engine creates a file of that name, and for the names
// the publisher gives its packets: a name every platform stores as it is,
// directly inside the engine's own directories, and none the engine keeps
// there itself.
//
// Refused: "." and "..", every name the rule for the files a packet carries
// refuses (PortableNames::nameFault: empty, a path separator, ":", control
// characters, < > " | ? *, a trailing dot or space, Windows device names with
// or without an extension, broken UTF-16), more than maxServerFileNameBytes
// bytes in UTF-8, and the names the engine keeps in Tmp.
//
// pstrReason, when given, receives why a name is refused.
bool isPlainServerFileName(const QString &strName, QString *pstrReason = nullptr);

// One portable limit: below NAME_MAX (255 bytes) on POSIX and 255 UTF-16
// units on Windows, with room for the suffix of the partial data kept beside
// a packet (".state").
constexpr int maxServerFileNameBytes = 240;

#endif // TVX_FILENAMERULE_H
