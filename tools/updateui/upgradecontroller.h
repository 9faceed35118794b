#ifndef TVX_UPGRADECONTROLLER_H
#define TVX_UPGRADECONTROLLER_H

#include "upgrade/cupgrade.h"
#include "upgrade/files/upgradetypes.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <memory>

class CUpgrade;

// The main form's side of the upgrade engine: one engine, owned here on the
// caller's thread, driven as an embedding caller drives it (queued signals,
// one operation at a time, each waited for), with the state the main form
// and the unattended run show and act on. No widgets.
//
// check -> Checked (the modules that need an upgrade) -> download ->
// Ready (packet downloaded and unpacked, new versions staged into it): the
// launcher's hand-over (result code 2) can apply it.
class CUpgradeController : public QObject
{
    Q_OBJECT

public:
    enum State {
        StateIdle,        // nothing started, or a check that did not start
        StateChecking,
        StateChecked,     // needUpgrade() holds the result, possibly empty
        StateDownloading,
        StateReady,       // a complete packet is staged under the temporary directory
        StateFailed,      // lastResult() says why
        StateShutDown     // shutdown(): nothing starts any more
    };
    Q_ENUM(State)

    // strSolutionInfoPath: the installed solution information file, below
    // the application directory.
    explicit CUpgradeController(const QString &strSolutionInfoPath, QObject *parent = nullptr);
    ~CUpgradeController() override;

    QString solutionInfoPath() const { return m_strSolutionInfoPath; }
    QString appDir() const;
    QString tmpDir() const;
    // Packet bytes received so far in the running download.
    qint64 bytesInHand() const;

    // Reads the installed modules again; false (and an empty list) when the
    // file cannot be read.
    bool readInstalledModules();
    QVector<ModuleVersion> installedModules() const { return m_vecInstalled; }
    QVector<ModuleVersion> needUpgrade() const { return m_vecNeedUpgrade; }
    QVector<ModuleVersion> serverModules() const { return m_vecServerModules; }
    // How each packet of the last download came.
    QVector<PacketDownloadReport> packetReports() const;

    State state() const { return m_state; }
    bool isBusy() const { return m_state == StateChecking || m_state == StateDownloading; }
    bool canCheck() const { return !isBusy() && m_state != StateShutDown; }
    bool canDownload() const { return m_state == StateChecked && !m_vecNeedUpgrade.isEmpty(); }
    bool isReadyToUpgrade() const { return m_state == StateReady; }
    // The result of the last check or download; UPGRADE_OP_SUCCESS before any.
    UpgradeOpError lastResult() const { return m_lastResult; }
    // One line for the user about the state, the last failure included.
    QString statusText() const { return m_strStatus; }
    // Download progress in percent, 0 to 100, never decreasing during a
    // download; 100 only once the packet is ready.
    int progress() const { return m_nProgress; }

    // Start the check or the download; false when nothing was started
    // (statusText() says why, and no finished signal follows).
    bool check();
    bool download();
    // The download of part of the last check's result: its modules with
    // the ids of vecModules (a user may have skipped the others).
    bool download(const QVector<ModuleVersion> &vecModules);

    // Stops a download, waits for the engine's thread, and refuses anything
    // afterwards. The engine must not be running when its owner goes.
    void shutdown();

Q_SIGNALS:
    // Also when only statusText() changed.
    void stateChanged(CUpgradeController::State state);
    void progressChanged(int nProgress);
    void checkFinished(UpgradeOpError result);
    void downloadFinished(UpgradeOpError result);

private:
    void onCheckFinished(UpgradeOpError upgradeOpErr, const QVector<ModuleVersion> &vecNeedUpgrade,
                         const QVector<ModuleVersion> &vecServerModuleVersion);
    void onPacketStatus(UpgradeOpError upgradeOpErr, bool isFinished, int nProgress);
    void setState(State state, const QString &strStatus);
    void setProgress(int nProgress);
    void fail(UpgradeOpError result, const QString &strStatus);

    QString m_strSolutionInfoPath;
    std::unique_ptr<CUpgrade> m_pUpgrade;
    // Counts the starts of the engine's thread, from that thread.
    std::atomic<int> m_nEngineStarts{0};
    State m_state = StateIdle;
    UpgradeOpError m_lastResult = UPGRADE_OP_SUCCESS;
    QString m_strStatus;
    int m_nProgress = 0;
    QVector<ModuleVersion> m_vecInstalled;
    QVector<ModuleVersion> m_vecNeedUpgrade;
    QVector<ModuleVersion> m_vecServerModules;
};

// "UPGRADE_OP_NETWORK_FAILED (4)"
QString describeResult(UpgradeOpError result);
// "12.5 MB", "0.3 KB"; "?" for a size that is not a finite, non-negative number.
QString describeSize(double dSizeMegabytes);

#endif // TVX_UPGRADECONTROLLER_H
