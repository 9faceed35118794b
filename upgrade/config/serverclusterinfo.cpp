#include "upgrade/config/serverclusterinfo.h"
