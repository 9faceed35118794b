#ifndef TVX_LAUNCHER_H
#define TVX_LAUNCHER_H

// The launcher's whole start-up and main sequence; returns the exit code:
// the result code of the last run of the main form plugin, or -1 when the
// library search path cannot be set.
int launcherMain(int &argc, char **argv);

// Puts the solutions library directory in front of PATH. True when the
// variable was set.
bool setLibrarySearchPath();

#endif // TVX_LAUNCHER_H
