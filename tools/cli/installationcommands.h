#ifndef TVX_INSTALLATIONCOMMANDS_H
#define TVX_INSTALLATIONCOMMANDS_H

#include "clioptions.h"

#include <QString>

// channel show|set NAME and reports on|off: what the installation keeps
// about itself for rollouts and outcome reports. Each returns the exit status.
int runChannelShow(const QString &strAppDir);
int runChannelSet(const CliOptions &options, const QString &strAppDir);
int runReports(bool isOn, const QString &strAppDir);

struct CommandReport;
class CUpgrade;
// After a download: the outcome of each module it was for, kept for the
// apply to complete and send, or sent at once when the download failed.
// Nothing when reports are off or the signed document names no report URL.
void recordDownloadOutcome(const CUpgrade &upgrade, const CommandReport &report, qint64 llDownloadMs);

#endif // TVX_INSTALLATIONCOMMANDS_H
