#include "upgrade/files/safecopy.h"
