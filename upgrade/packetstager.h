#ifndef TVX_PACKETSTAGER_H
#define TVX_PACKETSTAGER_H

#include "upgrade/files/installlayout.h"
#include "upgrade/files/upgradetypes.h"
#include "upgrade/releasequery.h"

#include <QDir>
#include <QString>
#include <QUrl>
#include <QVector>

#include <atomic>
#include <functional>

class CPacketFetch;

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

// The percent a download run shows: 20 once every module is in (the
// integer quotient), 80 in proportion to the bytes received against the
// announced total.
struct DownloadProgress
{
    double dTotalSize = 0;
    double dDownloadedSize = 0;
    int nFinishedCount = 0;
    int nModuleCount = 0;
    int nLastProgress = 0;

    void start(const QVector<ModuleVersion> &vecModules);
    // dDownloadedSize becomes dBase + dBytes. True, with the percent, when
    // it moved on by more than 5 since the last one shown.
    bool advance(double dBase, double dBytes, int &nPercent);
};

// Everything a download depends on, given by the caller rather than found.
struct PacketStagerSettings
{
    CInstallLayout layout; // the installation, its download directory and the partial packet
    // The temporary directory the packet is staged in, as the caller set it:
    // empty refuses the download, where the layout would take the default one.
    QString strTmpDir;
    QString str7zPath;
    TimeOutParam timeOut;
    DownloadPolicy policy;
    QVector<ModuleVersion> vecLocal; // the installed versions, which a delta is made against
    QString strSolutionInfoPath;     // staged into the packet with the new versions; empty: none
    QUrl queryUrl;                   // the query's transport: no packet comes over a weaker one
    const std::atomic<bool> *pStop = nullptr; // ends the download at its next block; null: nothing does
};

// The download, one module after the other on the calling thread: each
// module's packet made from its delta or, failing that, fetched in full,
// unpacked, checked, staged as Tmp/Packet and marked.
class CPacketStager
{
public:
    // The packet bytes in hand, and the percent done when it moved on by
    // more than 5 since the last call that gave one (-1 otherwise).
    using Progress = std::function<void(qint64 llBytesInHand, int nPercent)>;

    explicit CPacketStager(const PacketStagerSettings &settings);

    void setProgress(const Progress &progress) { m_progress = progress; }

    // The download, then the mark; on failure Tmp goes (unless an unfinished
    // transaction needs it) and the download directory when it is empty.
    UpgradeOpError stage(const QVector<ModuleVersion> &vecModules);
    // Every module's packet into Tmp/Packet, checked, not yet marked.
    UpgradeOpError download(const QVector<ModuleVersion> &vecModules);
    // Makes a downloaded packet one that the apply and the upgrader accept:
    // the solution information staged into it, then the mark.
    UpgradeOpError markStaged(const QVector<ModuleVersion> &vecModules);
    bool createTmpDir();

    // How each packet of the last run arrived, in module order.
    QVector<PacketDownloadReport> reports() const { return m_vecReports; }

    // The delta the signed document offers for the installed version of the
    // module, or null.
    static const DeltaPacket *offeredDelta(const QVector<ModuleVersion> &vecLocal, const ModuleVersion &module);
    // Removes strTmpDir, unless an unfinished transaction still needs it.
    static bool removeTmpDir(const QString &strTmpDir);

private:
    enum class DeltaResult { Staged, Fallback, Stopped };
    // Leaves the new files of the module in the partial packet directory
    // or, on Fallback, nothing of itself behind (the report says why).
    DeltaResult stageDelta(const ModuleVersion &module, const DeltaPacket &delta, const QStringList &listPacketUrls,
                           PacketDownloadReport &report);
    UpgradeOpError checkPacketSources(const QVector<ModuleVersion> &vecModules, bool isVerifying);
    UpgradeOpError checkStagedTrustFile();
    // The staged tree takes none of the names the engine keeps (the install
    // layout's rule): 15 when packets are verified, 4 otherwise.
    UpgradeOpError checkStagedTree(bool isVerifying);
    void setUpFetch(CPacketFetch &fetch);
    void showProgress(double dBase, double dBytes);
    // strTmpDir's Packet and Backup, named as the apply names them.
    QString tmpSubDir(const QString &strName) const { return m_settings.strTmpDir + QDir::separator() + strName; }
    bool isStopRequested() const { return m_settings.pStop && m_settings.pStop->load(); }

    PacketStagerSettings m_settings;
    Progress m_progress;
    DownloadProgress m_downloadProgress;
    QVector<PacketDownloadReport> m_vecReports;
};

#endif // TVX_PACKETSTAGER_H
