#ifndef TVX_SOLUTIONLIBRARIES_H
#define TVX_SOLUTIONLIBRARIES_H

#include <QString>
#include <QStringList>

// Windows finds the libraries a plugin links in the solutions directory,
// which the launcher puts on PATH. The Linux loader never searches PATH, so
// there the libraries that the plugin at pluginPath needs (its DT_NEEDED
// entries, and theirs in turn) and that lie directly in solutionsDir are
// loaded first, dependencies before their dependents; the loader then finds
// each among the loaded libraries by its DT_SONAME. A library of that name
// that is loaded already is left as it is. Does nothing but on Linux.
void preloadSolutionLibraries(const QString &pluginPath, const QString &solutionsDir);

// The DT_NEEDED entries of the ELF file at path, in their order; empty when
// the file is no ELF file of this machine's class and byte order.
QStringList neededLibraries(const QString &path);

#endif // TVX_SOLUTIONLIBRARIES_H
