#ifndef TVX_PORTABLENAMES_H
#define TVX_PORTABLENAMES_H

#include <QString>

// One rule for the names of the files a packet carries, applied where a tree
// is packed (tarvex-release pack, its delta maker) and where a packet was
// unpacked, before it counts as staged. Every file travels under a name that
// means the same file on every installation, or the packet is refused: a
// name that Qt cannot read back unchanged would be skipped without a word by
// every later copy, and one that Windows cannot hold would be renamed or
// dropped there.
namespace PortableNames {

// Empty when strName, one path component, may travel; otherwise why not.
// A name from the server (isPlainServerFileName) passes this and more.
QString nameFault(const QString &strName);

// Checks the name of every entry below strDir (links are not followed).
// False when one is refused or the tree cannot be read; strError then names
// the first such entry relative to strDir, why, and how many more there are.
bool checkTree(const QString &strDir, QString &strError);

} // namespace PortableNames

#endif // TVX_PORTABLENAMES_H
