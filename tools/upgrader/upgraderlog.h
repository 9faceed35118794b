#ifndef TVX_UPGRADERLOG_H
#define TVX_UPGRADERLOG_H

#include <QString>

// Sends every Qt message of the upgrader to the product's print log of the
// installation in strAppDir (Log/Print.log there), not beside the upgrader:
// the upgrader runs from a subdirectory of the installation.
bool installUpgraderLog(const QString &strAppDir);

#endif // TVX_UPGRADERLOG_H
