#ifndef TVX_CUPGRADE_H
#define TVX_CUPGRADE_H

#include "platform/download.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/files/upgradetypes.h"
#include "upgrade/packetstager.h"
#include "upgrade/releasequery.h"

#include <QFile>
#include <QString>
#include <QUrl>
#include <QThread>
#include <QVector>

#include <atomic>

struct ServerClusterInfo;

// The online upgrade engine: each start runs the one operation chosen by the
// operation mode on a worker thread and reports it through a signal. The owner
// connects to the signals (queued), starts one operation at a time and waits
// for its signal before starting the next. The check is a CReleaseQuery, the
// download a CPacketStager; the engine gives them its settings and flags.
class CUpgrade : public QThread
{
    Q_OBJECT

public:
    enum OpMode {
        OP_MODE_NONE = 0,
        OP_MODE_GET_UPDATE_MODULE_VERSION = 1,
        OP_MODE_GET_UPGRADE_PACKET = 2,
        OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR = 3
    };

    CUpgrade();
    ~CUpgrade() override;

    void setOpMode(int nMode);
    void setLocalModuleVersion(const QVector<ModuleVersion> &vecModuleVersion);
    void setNeedUpgradeModule(const QVector<ModuleVersion> &vecModuleVersion);
    void setHttpTimeOut(const TimeOutParam &param);
    void setTmpDir(const QString &strDir);
    // The installed solution information file that the check read. A
    // download then stages it, updated with the new versions, into the
    // packet, so that the apply records what it installs. Cleared by
    // setLocalModuleVersion(): versions set by hand come from no file.
    void setSolutionInfoPath(const QString &strPath) { strSolutionInfoPath = strPath; }
    QString solutionInfoPath() const { return strSolutionInfoPath; }
    // Ends a download at its next block of data; the download, and every
    // later one of this object, gives 4. A check is not affected.
    void stopUpgrade();
    bool removeTmpDir();
    // Retries, deadlines and rate of the packet downloads and of the
    // version query; the defaults are DownloadPolicy() and
    // DownloadPolicy::versionQuery().
    void setDownloadPolicy(const DownloadPolicy &policy) { policyDownload = policy; }
    void setVersionQueryPolicy(const DownloadPolicy &policy) { policyQuery = policy; }
    DownloadPolicy downloadPolicy() const { return policyDownload; }
    DownloadPolicy versionQueryPolicy() const { return policyQuery; }
    // Partial packets wait here between runs: beside Tmp ("Tmp.download"),
    // since a failure removes Tmp.
    QString downloadDir() const;
    QVector<PacketDownloadReport> packetReports() const { return vecPacketReport; }
    // Packet bytes in hand during a download run; safe to read from any thread.
    qint64 bytesInHand() const { return llBytesInHand.load(); }

    int opMode() const { return nOpMode; }
    QString appDir() const { return strAppDir; }
    QString tmpDir() const { return strTmpDir; }
    QString packetDir() const { return strPacketDir; }
    QString backupDir() const { return strBackupDir; }
    // Where the download unpacks before the packet is complete.
    QString partialPacketDir() const;
    QString serverClusterCfgPath() const { return installLayout().serverClusterFile(); }
    QString sevenZipPath() const { return installLayout().sevenZip(); }
    // Every path of the installation and of this engine's temporary directory.
    CInstallLayout installLayout() const { return CInstallLayout(strAppDir, strTmpDir); }
    TimeOutParam httpTimeOut() const { return timeOut; }
    QVector<ModuleVersion> localModuleVersion() const { return vecLocalModuleVersion; }
    QVector<ModuleVersion> needUpgradeModule() const { return vecToUpgrade; }
    bool isStopRequested() const { return isStop.load(); }
    // Why the last apply, or the lock of a download or an apply, failed;
    // empty when it did not.
    QString errorString() const { return strError; }

    // Starts the upgrader with the temporary directory (empty: the default)
    // and the launcher's path, and asks the application to quit.
    static bool startUpgrade(const QString &strTmpDir);

    // Mode bodies and their steps; they run on the worker thread.
    UpgradeOpError getUpdateModuleVersion(const QVector<ModuleVersion> &vecLocal,
                                          QVector<ModuleVersion> &vecNeedUpgrade,
                                          QVector<ModuleVersion> &vecServerModuleVersion);
    static bool getUpdateModuleInfo(const QVector<ModuleVersion> &vecLocal,
                                    const QVector<ModuleVersion> &vecServerModuleVersion,
                                    QVector<ModuleVersion> &vecNeedUpgrade);
    bool getVersionInfoFromServer(const ServerClusterInfo &info, QVector<ModuleVersion> &vecServerModuleVersion);
    UpgradeOpError getUpgradePacket(const QVector<ModuleVersion> &vecModules);
    UpgradeOpError downloadUpgradePacket(const QVector<ModuleVersion> &vecModules);
    bool createTmpDirForUpgrade();
    // The write callback for CHttp::DownloadFile into fileDownload, with
    // the engine as context; the engine's own downloads go through CPacketFetch.
    static quint64 writeDownloadData(const void *data, quint64 size, quint64 count, void *context);
    bool testCanUpgrade();
    UpgradeOpError upgradeTmpDirToDstDir();
    void updateTmpSubDirs();
    // Where the last accepted document asks outcome reports to go; empty for none.
    QString reportUrl() const { return releaseQuery.reportUrl(); }

Q_SIGNALS:
    void signalGetUpdateModuleVersionFinish(UpgradeOpError upgradeOpErr, QVector<ModuleVersion> vecNeedUpgrade,
                                            QVector<ModuleVersion> vecServerModuleVersion);
    void signalGetUpgradePacketStatus(UpgradeOpError upgradeOpErr, bool isFinished, int progess);
    void signalUpgradeFinish(UpgradeOpError upgradeOpErr);

public:
    void run() override;

private:
    // Modes 2 and 3 hold the installation's lock throughout, and finish an
    // interrupted upgrade first: 11 while another process holds it.
    UpgradeOpError runLocked(UpgradeOpError (CUpgrade::*operation)(), bool *pHasRun);
    UpgradeOpError getUpgradePacketOfNeed() { return getUpgradePacket(vecToUpgrade); }
    // The check's and the download's settings as this engine holds them now.
    CReleaseQuery &syncedReleaseQuery(const QVector<ModuleVersion> &vecLocal);
    PacketStagerSettings packetStagerSettings() const;
    // The download, and with isMarking the mark and the clean-up after a failure.
    UpgradeOpError stagePackets(const QVector<ModuleVersion> &vecModules, bool isMarking);
    // The progress of writeDownloadData.
    void showDownloadProgress(double dBase, double dBytes);
    // The bytes in hand, and the signal when the percent (-1: none) moved on.
    void showDownloadProgress(qint64 llInHand, int nPercent);

    QString strAppDir;
    QString strTmpDir;
    QString strPacketDir;
    QString strBackupDir;
    int nOpMode = OP_MODE_NONE;
    QVector<ModuleVersion> vecLocalModuleVersion;
    QVector<ModuleVersion> vecToUpgrade;
    std::atomic<bool> isStop{false};
    // Set by the destructor only: it ends a check too.
    std::atomic<bool> isQuitting{false};
    QString strSolutionInfoPath;
    QString strError;
    QFile fileDownload;
    DownloadProgress progressDownload; // of writeDownloadData; a download run keeps its own
    TimeOutParam timeOut;
    CReleaseQuery releaseQuery; // keeps the last answer's signed document and URLs
    DownloadPolicy policyDownload;
    DownloadPolicy policyQuery = DownloadPolicy::versionQuery();
    QVector<PacketDownloadReport> vecPacketReport;
    std::atomic<qint64> llBytesInHand{0};
};

#endif // TVX_CUPGRADE_H
