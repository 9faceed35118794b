#include "app/copydir.h"
