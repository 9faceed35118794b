#include "platform/solutionsdir.h"

QString QGetSolutionsDirPath()
{
    return QStringLiteral("Solutions/");
}
