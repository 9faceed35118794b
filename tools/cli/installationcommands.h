#ifndef TVX_INSTALLATIONCOMMANDS_H
#define TVX_INSTALLATIONCOMMANDS_H

#include "clioptions.h"

#include <QString>

// channel show|set NAME and reports on|off: what the installation keeps
// about itself for rollouts and outcome reports. Each returns the exit status.
int runChannelShow(const QString &strAppDir);
int runChannelSet(const CliOptions &options, const QString &strAppDir);
int runReports(bool isOn, const QString &strAppDir);

#endif // TVX_INSTALLATIONCOMMANDS_H
