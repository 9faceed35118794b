#ifndef TVX_CUPGRADE_H
#define TVX_CUPGRADE_H

#include "platform/download.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/signature.h"

#include <QFile>
#include <QString>
#include <QUrl>
#include <QThread>
#include <QVector>

#include <atomic>

class CPacketFetch;
struct ServerClusterInfo;

struct TimeOutParam
{
    int nTimeOut1 = 20000;
    int nTimeOut2 = 512;
    int nTimeOut3 = 20;
};

// How one packet arrived in the last download run.
struct PacketDownloadReport
{
    QString strId;
    QString strUrl;             // the URL that served it (or was tried last)
    qint64 llResumedBytes = 0;  // bytes kept from an earlier, interrupted run
    qint64 llReceivedBytes = 0; // bytes that crossed the network in this run
    int nAttempts = 0;
    bool isDelta = false;       // made from the delta packet, not the full one
    qint64 llFullBytes = -1;    // the full packet's signed size; -1 when unknown
    qint64 llDeltaBytes = -1;   // the offered delta's signed size; -1 when none was offered
    QString strDeltaFallback;   // why an offered delta was not used; empty otherwise
};

// The online upgrade engine: each start runs the one operation chosen by the
// operation mode on a worker thread and reports it through a signal. The owner
// connects to the signals (queued), starts one operation at a time and waits
// for its signal before starting the next.
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
    QString serverClusterCfgPath() const { return strServerClusterCfgPath; }
    QString sevenZipPath() const { return str7zPath; }
    // Every path of the installation and of this engine's temporary directory.
    CInstallLayout installLayout() const { return CInstallLayout(strAppDir, strTmpDir); }
    TimeOutParam httpTimeOut() const;
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
    void emitDownloadProgress();

    // Delta packets: the one the signed document offers for the installed
    // version of the module, or null; and its attempt, which leaves the new
    // files of the module in the partial packet directory or, on Fallback,
    // nothing of itself behind (the report says why).
    const DeltaPacket *offeredDelta(const ModuleVersion &module) const;
    enum class DeltaResult { Staged, Fallback, Stopped };
    DeltaResult stageDelta(const ModuleVersion &module, const DeltaPacket &delta, const QStringList &listPacketUrls,
                           PacketDownloadReport &report);
    bool testCanUpgrade();
    UpgradeOpError upgradeTmpDirToDstDir();
    void updateTmpSubDirs();
    // Makes a downloaded packet one that the apply and the upgrader accept:
    // the solution information staged into it, then the mark.
    UpgradeOpError markDownloadStaged(const QVector<ModuleVersion> &vecModules);

    // Release trust: the signed document of the last answer against the
    // installation's keys, and the packets against what was signed.
    UpgradeOpError checkReleaseTrust(QVector<ModuleVersion> &vecServerModuleVersion);
    // The installation's share of an accepted document: its channel and its
    // buckets in each rollout decide which release of a module it is offered.
    void chooseRollout(const Trust::ReleaseDocument &document, QVector<ModuleVersion> &vecServerModuleVersion);
    // Where the last accepted document asks outcome reports to go; empty for none.
    QString reportUrl() const { return strReportUrl; }
    UpgradeOpError checkPacketSources(const QVector<ModuleVersion> &vecModules, bool isVerifying);
    QUrl packetQueryUrl() const;
    UpgradeOpError checkStagedTrustFile();
    // The staged tree takes none of the names the engine keeps (the install
    // layout's rule): 15 when packets are verified, 4 otherwise.
    UpgradeOpError checkStagedTree(bool isVerifying);
    QString lastQueryUrl() const { return strQueryUrl; }

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
    void setUpFetch(CPacketFetch &fetch);
    // dDownloadedSize is dBase + dBytes; the progress signal follows.
    void showDownloadProgress(double dBase, double dBytes);

    QString strAppDir;
    QString strTmpDir;
    QString strServerClusterCfgPath;
    QString str7zPath;
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
    double dTotalSize = 0;
    double dDownloadedSize = 0;
    int nFinishedCount = 0;
    int nModuleCount = 0;
    int nLastProgress = 0;
    int nTimeOut1 = 20000;
    int nTimeOut2 = 512;
    int nTimeOut3 = 20;
    QString strQueryUrl;
    Trust::SignedEnvelope releaseEnvelope;
    bool hasReleaseEnvelope = false;
    Trust::OpenedRelease openedRelease; // opened while the answer was read
    QString strReportUrl;
    DownloadPolicy policyDownload;
    DownloadPolicy policyQuery = DownloadPolicy::versionQuery();
    QVector<PacketDownloadReport> vecPacketReport;
    std::atomic<qint64> llBytesInHand{0};
};

#endif // TVX_CUPGRADE_H
