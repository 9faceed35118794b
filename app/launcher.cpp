#include "app/launcher.h"

int launcherMain(int &, char **)
{
    return 0;
}

bool setLibrarySearchPath()
{
    return false;
}
