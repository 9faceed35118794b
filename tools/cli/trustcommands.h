#ifndef TVX_TRUSTCOMMANDS_H
#define TVX_TRUSTCOMMANDS_H

#include <QString>

struct CliOptions;

// "trust add": 0, or UPGRADE_OP_WRITE_FILE_FAILED when the key file is no
// Ed25519 public key or the trust file cannot be written.
int runTrustAdd(const CliOptions &options, const QString &strAppDir);
// "trust show": 0, or UPGRADE_OP_READ_SERVER_CFG_FAILED for an unreadable trust file.
int runTrustShow(const CliOptions &options, const QString &strAppDir);

#endif // TVX_TRUSTCOMMANDS_H
