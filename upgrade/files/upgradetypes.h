#ifndef TVX_UPGRADETYPES_H
#define TVX_UPGRADETYPES_H

#include <QMetaType>
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// A delta packet offered by the signed release document: it turns the module
// as installed at strBaseVersion into this version.
struct DeltaPacket
{
    QString strBaseVersion;
    QString strPacket;   // file name, beside the full packet on the server
    qint64 llBytes = -1; // exact size
    QByteArray baSha256; // 32 bytes
};

// One module: an installed solution or one entry of the server's answer.
struct ModuleVersion
{
    QString strId;
    QString strVersion;
    QString strUrl;
    QString strDesc;
    qint64 llReleaseDate = 0; // the compared quantity: larger is newer
    double dSize = 0.0;       // packet size in megabytes
    int nState = 0;           // 0: takes no part in upgrades
    QString strIconUrl;

    // Beyond the original record: what the signed release document and the
    // answer's extra keys add. Untouched by the solution information file.
    QStringList listMirrors;   // "Mirrors": further URLs of the packet, tried in order after strUrl
    qint64 llPacketBytes = -1; // exact packet size in bytes from the signed document; -1 when unknown
    QByteArray baPacketSha256; // SHA-256 of the packet (32 bytes) from the signed document; empty when unknown
    QVector<DeltaPacket> vecDeltas; // only from an accepted signed document; empty otherwise
    // What is new in this version, as the publisher signed it: plain text or
    // a small Markdown subset, never HTML; empty without a signed document.
    QString strNotes;
};

// Result codes of the engine's operations; the numbers are part of the
// signals' contract and never change. Value 1 is not used.
enum UpgradeOpError {
    UPGRADE_OP_SUCCESS = 0,
    UPGRADE_OP_NO_MODULE_NEED_UPDATE = 2,
    UPGRADE_OP_TEST_CAN_UPGRADE_FAILED = 3,
    UPGRADE_OP_NETWORK_FAILED = 4,
    UPGRADE_OP_CREATE_DIR_FAILED = 5,
    UPGRADE_OP_READ_SERVER_CFG_FAILED = 6,
    UPGRADE_OP_WRITE_FILE_FAILED = 7,
    UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED = 8,
    UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED = 9,
    UPGRADE_OP_DO7Z_FAILED = 10,
    // Added after the original set; the numbers above keep their meaning.
    UPGRADE_OP_LOCKED = 11,                // another operation holds the installation's lock
    UPGRADE_OP_NOT_STAGED = 12,            // Tmp/Packet was never marked completely staged
    UPGRADE_OP_ROLLBACK_INCOMPLETE = 13,   // a rollback could not finish; Tmp and the journal are kept
    UPGRADE_OP_RELEASE_NOT_TRUSTED = 14,   // the signed release document is missing, unsigned, expired, old or disagrees
    UPGRADE_OP_PACKET_NOT_TRUSTED = 15,    // a packet's size or SHA-256 differs from the signed document
    UPGRADE_OP_INSECURE_TRANSPORT = 16     // a packet URL weaker than the query's transport (http behind https)
};

// "UPGRADE_OP_SUCCESS" ... for logs and the command-line tool; "" for an unknown value.
const char *upgradeOpErrorName(int value);

Q_DECLARE_METATYPE(ModuleVersion)
Q_DECLARE_METATYPE(UpgradeOpError)
Q_DECLARE_TYPEINFO(DeltaPacket, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(ModuleVersion, Q_MOVABLE_TYPE);

#endif // TVX_UPGRADETYPES_H
