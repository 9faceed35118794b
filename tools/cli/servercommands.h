#ifndef TVX_SERVERCOMMANDS_H
#define TVX_SERVERCOMMANDS_H

#include <QString>

struct CliOptions;

// "servers show": 0, or UPGRADE_OP_READ_SERVER_CFG_FAILED when the file
// cannot be read.
int runServersShow(const CliOptions &options, const QString &strFilePath);
// "servers write": 0, or UPGRADE_OP_WRITE_FILE_FAILED when the file cannot
// be written; an existing file stays as it was then.
int runServersWrite(const CliOptions &options, const QString &strFilePath);

#endif // TVX_SERVERCOMMANDS_H
