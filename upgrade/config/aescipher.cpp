#include "upgrade/config/aescipher.h"
