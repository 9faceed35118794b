#include "app/logmessagehandler.h"
