#ifndef TVX_LAUNCHER_H
#define TVX_LAUNCHER_H

// The launcher's whole start-up and main sequence; returns the exit code.
int launcherMain(int &argc, char **argv);
// Puts the solutions library directory in front of PATH.
bool setLibrarySearchPath();

#endif // TVX_LAUNCHER_H
