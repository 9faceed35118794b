#include "app/launcher.h"

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // Answered before anything of the launcher's start runs: no recovery, no
    // GUI, no plugin.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Tarvex %s\n", TVX_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("Usage: Tarvex [-crash]\n"
                    "Starts the main form plugin of Solutions/; -crash hands \"crash\" on to it.\n"
                    "Tarvex --version prints the version.\n");
        return 0;
    }
    return launcherMain(argc, argv);
}
