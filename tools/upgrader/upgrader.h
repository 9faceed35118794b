#ifndef TVX_UPGRADER_H
#define TVX_UPGRADER_H

#include <QStringList>

// Exit codes of the upgrader besides the apply's own UpgradeOpError (7 when
// the apply failed and the installation was rolled back).
enum UpgraderExitCode {
    UPGRADER_APPLIED = 0,
    UPGRADER_NOT_APPLIED = 1, // nothing was touched: see the log
    UPGRADER_REVERTED = 65,   // applied, failed its health check, the old version is back
    UPGRADER_USAGE = 64
};

// The upgrader: "Upgrade <tmpDir> <launcherPath>". Waits (bounded) for the
// launcher to exit, applies tmpDir/Packet over the launcher's directory with
// a backup and a rollback, and starts the launcher again, whatever happened.
//
// Finishes an interrupted upgrade first, under the installation's lock; a
// second upgrader is refused with UPGRADE_OP_LOCKED (11), an unmarked packet
// with UPGRADE_OP_NOT_STAGED (12). After the apply the restarted launcher is
// watched (healthwatch.h); a failing new version is reverted and held back.
//
// The apply awaits the health verdict: should this process die before it,
// whoever recovers next takes the upgrade back and holds it back.
//
// Environment: TARVEX_UPGRADE_WAIT_MS bounds the wait for the launcher
// (default 30000); TARVEX_UPGRADE_FAIL_AFTER injects a failure into the
// apply in builds for testing (see faultinjection.h).
int runUpgrader(const QStringList &arguments);

#endif // TVX_UPGRADER_H
