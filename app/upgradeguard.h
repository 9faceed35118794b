#ifndef TVX_UPGRADEGUARD_H
#define TVX_UPGRADEGUARD_H

#include <QString>

// The launcher's part in crash-safe upgrades.

// Finishes an upgrade that an earlier run left interrupted, unless another
// upgrade operation is at work (it holds the installation's lock and
// finishes its own). Also takes the health file the upgrader watches, if
// this launcher is the upgraded one. False when the interrupted upgrade
// could not be finished, or its journal cannot be trusted: the installation
// may be a mix of two versions, and nothing may run from it; also when the
// program cannot tell its own directory (logged why).
bool finishInterruptedUpgrade();

// Tells a watching upgrader how far the main form got: "loaded",
// "load-failed", "returned". Nothing when no upgrader watches.
void reportMainFormState(const char *state);

// The hand-over: under the installation's lock, puts the staged upgrader in
// place with the old one kept, and passes the lock on to the upgrader that
// the caller starts next.
void prepareUpgraderHandOver();

#endif // TVX_UPGRADEGUARD_H
