#ifndef TVX_TRUSTCOMMANDS_H
#define TVX_TRUSTCOMMANDS_H

#include <QString>

struct CliOptions;

// "trust add": 0, or UPGRADE_OP_WRITE_FILE_FAILED when the key file is no
// Ed25519 public key (or holds a private key), the trust state is damaged,
// or the trust file cannot be written.
int runTrustAdd(const CliOptions &options, const QString &strAppDir);
// "trust show": 0, or UPGRADE_OP_READ_SERVER_CFG_FAILED for an unreadable trust file.
int runTrustShow(const CliOptions &options, const QString &strAppDir);
// "trust remove": 0, or UPGRADE_OP_WRITE_FILE_FAILED when the key is not
// trusted, is the last one, or the trust file cannot be written.
int runTrustRemove(const CliOptions &options, const QString &strAppDir);
// "trust reset [--allow-unsigned]": 0, or UPGRADE_OP_WRITE_FILE_FAILED when
// a file cannot be written or removed. Logged in the print log either way.
int runTrustReset(const CliOptions &options, const QString &strAppDir);

#endif // TVX_TRUSTCOMMANDS_H
