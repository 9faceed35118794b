#include "upgrade/files/archive.h"
