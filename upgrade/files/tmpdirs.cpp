#include "upgrade/files/tmpdirs.h"
