#ifndef TVX_SOLUTIONSDIR_H
#define TVX_SOLUTIONSDIR_H

#include <QString>

// The solutions directory, relative to the application directory and ending
// in a separator: callers append file names to it directly.
QString QGetSolutionsDirPath();

#endif // TVX_SOLUTIONSDIR_H
