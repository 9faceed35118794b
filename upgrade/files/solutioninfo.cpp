#include "upgrade/files/solutioninfo.h"
