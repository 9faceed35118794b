#include "app/pluginhost.h"
