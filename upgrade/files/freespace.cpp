#include "upgrade/files/freespace.h"
