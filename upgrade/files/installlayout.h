#ifndef TVX_INSTALLLAYOUT_H
#define TVX_INSTALLLAYOUT_H

#include <QString>
#include <QStringList>

// Every path that the upgrade keeps under an installation, in one value: the
// engine, the transaction, the launcher, the upgrader and the command line
// all take their paths from here.
//
// The temporary directory is <application directory>/Tmp unless a caller
// chose another one; the download directory is always named after it
// (<Tmp>.download), beside it.
class CInstallLayout
{
public:
    CInstallLayout() = default;
    // strTmpDir empty: the default <strAppDir>/Tmp.
    explicit CInstallLayout(const QString &strAppDir, const QString &strTmpDir = QString());

    QString appDir() const { return m_strAppDir; }
    QString tmpDir() const { return m_strTmpDir; }

    // In the temporary directory.
    QString packetDir() const { return tmpPath(packetName()); }               // the staged tree
    QString partialPacketDir() const { return tmpPath(partialPacketName()); } // unpacking goes here first
    QString backupDir() const { return tmpPath(backupName()); }               // replaced files during an apply
    QString stagedMark() const { return tmpPath(stagedMarkName()); }          // Packet is complete
    QString journal() const { return tmpPath(journalName()); }                // an apply in progress
    QString health() const { return tmpPath(healthName()); }                  // what the restarted launcher reached
    QString deltaDir() const { return tmpPath(deltaName()); }                 // a delta, unpacked and rebuilt
    QString upgraderNew() const { return tmpPath(upgraderNewName()); }        // the staged upgrader, being copied
    QString upgraderOld() const { return tmpPath(upgraderOldName()); }        // the upgrader it replaced
    // Partial packets between runs: a failed run removes Tmp, not this.
    QString downloadDir() const;
    // In the download directory: the bytes of the packet file strPacket
    // received so far, and what they belong to and how to continue them.
    QString downloadPart(const QString &strPacket) const { return downloadPath(strPacket + downloadPartSuffix()); }
    QString downloadState(const QString &strPacket) const { return downloadPath(strPacket + downloadStateSuffix()); }

    // In the application directory.
    QString upgraderDir() const { return appPath(upgraderDirName()); }
    QString upgraderProgram() const;
    QString lockFile() const { return appPath(lockFileName()); }
    QString trustRecord() const { return appPath(trustRecordName()); }
    QString serverClusterFile() const { return appPath(serverClusterFileName()); }
    QString trustFile() const { return appPath(trustFileName()); }
    QString serialFile() const { return appPath(serialFileName()); }
    QString heldBackFile() const { return appPath(heldBackFileName()); }
    // The update component's record: the user's choices and what to tell at the next start.
    QString updateUiFile() const { return appPath(updateUiFileName()); }
    QString installationFile() const { return appPath(installationFileName()); } // id, channel, reports
    QString pendingReportFile() const { return appPath(pendingReportFileName()); } // an outcome not sent yet
    QString sevenZip() const;

    // A path below the installation, the staged tree and the backup.
    QString installed(const QString &strRelative) const { return appPath(strRelative); }
    QString staged(const QString &strRelative) const { return packetDir() + QLatin1Char('/') + strRelative; }
    QString backup(const QString &strRelative) const { return backupDir() + QLatin1Char('/') + strRelative; }

    static QString tmpName() { return QStringLiteral("Tmp"); }
    static QString packetName() { return QStringLiteral("Packet"); }
    static QString partialPacketName() { return QStringLiteral("Packet.partial"); }
    static QString backupName() { return QStringLiteral("Backup"); }
    static QString stagedMarkName() { return QStringLiteral("Staged"); }
    static QString journalName() { return QStringLiteral("Journal"); }
    static QString healthName() { return QStringLiteral("Health"); }
    static QString deltaName() { return QStringLiteral("Delta"); }
    static QString upgraderNewName() { return QStringLiteral("Upgrade.new"); }
    static QString upgraderOldName() { return QStringLiteral("Upgrade.old"); }
    static QString downloadPartSuffix() { return QStringLiteral(".part"); }
    static QString downloadStateSuffix() { return QStringLiteral(".state"); }
    static QString upgraderDirName() { return QStringLiteral("Upgrade"); }
    static QString lockFileName() { return QStringLiteral(".upgrade.lock"); }
    static QString trustRecordName() { return QStringLiteral(".upgrade.trust"); } // this installation verifies
    static QString serverClusterFileName() { return QStringLiteral("Conf/System/UpgradeServerCluster.xml"); }
    static QString trustFileName() { return QStringLiteral("Conf/System/TrustedKeys.json"); }
    static QString serialFileName() { return QStringLiteral("Conf/System/ReleaseSerial.json"); }
    static QString heldBackFileName() { return QStringLiteral("Conf/System/HeldBack.json"); }
    static QString updateUiFileName() { return QStringLiteral("Conf/System/UpdateUi.json"); }
    static QString installationFileName() { return QStringLiteral("Conf/System/Installation.json"); }
    static QString pendingReportFileName() { return QStringLiteral("Conf/System/PendingReport.json"); }

    // The one rule for names that no packet, delta index or staged tree may
    // hold, and that no journal may name: the installation itself, a path
    // that is absolute or leaves it, the temporary and download directories,
    // the lock file, the trust record, the serial, held-back, update choice,
    // installation and pending report files. Compared as Windows file
    // systems compare names (letter case, trailing dots and spaces, streams),
    // with either separator. pReason, when given, says why, as a predicate of
    // the name ("is reserved for the installation's lock file").
    //
    // The trusted keys are not reserved: a packet may rotate them, and the
    // staging accepts that file only as a rotation signed by the keys
    // trusted now.
    static bool isReservedName(const QString &strRelative, QString *pReason = nullptr);
    // The same, and this layout's own temporary and download directories
    // where a caller put them elsewhere inside the installation.
    bool isReservedPath(const QString &strRelative, QString *pReason = nullptr) const;
    // Looks through the tree at strRoot for an entry that isReservedPath()
    // refuses; descends only where one can be. strError names the first and
    // says why ("\"Tmp/Journal\" is reserved for ...").
    bool checkTree(const QString &strRoot, QString &strError) const;

    // Why strAppDir, as the application reports its own directory, cannot be
    // an installation's; empty when it can. Qt names /proc/PID when the
    // executable's path is too long for the system to tell.
    static QString appDirProblem(const QString &strAppDir);

    // The names the engine keeps directly in the temporary directory; a
    // packet file from the server may take none of them.
    static bool isTmpEntryName(const QString &strName);

private:
    QString tmpPath(const QString &strName) const;
    QString downloadPath(const QString &strName) const { return downloadDir() + QLatin1Char('/') + strName; }
    QString appPath(const QString &strRelative) const;
    bool findReserved(const QString &strDir, const QStringList &listParts, QString &strError) const;

    QString m_strAppDir;
    QString m_strTmpDir;
    QStringList m_listTmpParts; // the temporary directory below the installation, folded; empty for the default
};

#endif // TVX_INSTALLLAYOUT_H
