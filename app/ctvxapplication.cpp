#include "app/ctvxapplication.h"
