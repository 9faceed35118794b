#include "upgrade/files/kelmdomnoderesolve.h"
