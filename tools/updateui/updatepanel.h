#ifndef TVX_UPDATEPANEL_H
#define TVX_UPDATEPANEL_H

#include "updatechoices.h"
#include "upgradecontroller.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTextEdit;

// The update screen a product's main form embeds: it checks (on request and
// on a schedule), offers what is new with its notes and the real download
// size, downloads with progress, and hands the staged upgrade to the
// launcher when the user restarts. It tells at a start what the last
// upgrade did: "Updated to 2.0" with the notes, or that a version was
// rolled back and why. The user's choices (skip a version, remind later)
// are kept per installation.
//
//     CUpdatePanel panel(solutionInfoPath);
//     QObject::connect(&panel, &CUpdatePanel::restartRequested, [] { QApplication::exit(2); });
//
// The engine runs on its own thread; the panel's controller stops it when
// the panel goes.
class CUpdatePanel : public QWidget
{
    Q_OBJECT

public:
    enum Stage {
        StageIdle,        // nothing checked yet (a notice of the last start may show)
        StageChecking,
        StageUpToDate,    // nothing to offer; held-back versions are named
        StageOffer,       // offerModules() holds what the user may install
        StageDownloading,
        StageReady,       // staged: restartRequested() installs it
        StageFailed,      // failure() says what went wrong and what to do
        StageDeferred     // the user skipped the offer or asked to be reminded later
    };
    Q_ENUM(Stage)

    // A controller of its own for the installation of strSolutionInfoPath.
    explicit CUpdatePanel(const QString &strSolutionInfoPath, QWidget *parent = nullptr);
    // Over the caller's controller, which must outlive the panel.
    explicit CUpdatePanel(CUpgradeController *pController, QWidget *parent = nullptr);
    ~CUpdatePanel() override;

    CUpgradeController *controller() const { return m_pController; }
    Stage stage() const { return m_stage; }
    QVector<ModuleVersion> offerModules() const { return m_vecOffer; }
    // The bytes the offer will download, deltas counted as such; -1 when unknown.
    qint64 offerBytes() const;
    UpgradeOpError lastResult() const { return m_lastResult; }
    QString headline() const;
    // The message of the last start ("Updated to 2.0", a rollback); empty when none.
    QString notice() const;

    // Checks by themselves every nIntervalSeconds after the last check, plus
    // a random delay of up to dJitter of the interval so that a fleet of
    // installations does not ask at the same moment. A "remind me later"
    // moves the next check to the chosen time. 0 turns them off.
    void setAutomaticChecks(int nIntervalSeconds, double dJitter = 0.25);
    QDateTime nextAutomaticCheck() const { return m_nextCheck; }

public Q_SLOTS:
    // False when nothing started (the panel says why).
    bool checkNow();
    bool installNow();
    void skipThisVersion();
    void remindLater(qint64 llSeconds);

Q_SIGNALS:
    void stageChanged(CUpdatePanel::Stage stage);
    // A check found an offer the user did not skip: a product may open the
    // update dialog for it.
    void updateAvailable();
    // The user chose to restart into the staged upgrade: the main form ends
    // with the launcher's result code 2.
    void restartRequested();

private:
    void build();
    void showStartNotices();
    void onCheckFinished(UpgradeOpError result);
    void onDownloadFinished(UpgradeOpError result);
    void onProgressChanged(int nProgress);
    void sampleProgress();
    void setStage(Stage stage);
    void showFailure(UpgradeOpError result, bool isDownload);
    void showOffer();
    void showHeldBack();
    void showNotes(const QVector<ModuleVersion> &vecModules);
    void scheduleNextCheck();
    void armCheckTimer();
    void runAutomaticCheck();
    QString installedVersion(const QString &strId) const;
    QString moduleName(const QString &strId) const;

    std::unique_ptr<CUpgradeController> m_pOwnController;
    CUpgradeController *m_pController = nullptr;
    CUpdateChoices m_choices;
    Stage m_stage = StageIdle;
    UpgradeOpError m_lastResult = UPGRADE_OP_SUCCESS;
    QVector<ModuleVersion> m_vecOffer;
    bool m_isAutomaticCheck = false;
    int m_nIntervalSeconds = 0;
    double m_dJitter = 0.25;
    QDateTime m_nextCheck;
    QTimer m_checkTimer;
    QTimer m_sampleTimer;
    QElapsedTimer m_downloadClock;
    qint64 m_llTotalBytes = -1;
    qint64 m_llLastBytes = 0;
    qint64 m_llLastSampleMs = 0;
    double m_dBytesPerSecond = 0;

    QLabel *m_pNotice = nullptr;
    QLabel *m_pHeadline = nullptr;
    QLabel *m_pBody = nullptr;
    QLabel *m_pHeld = nullptr;
    QTextEdit *m_pNotes = nullptr;
    QProgressBar *m_pProgress = nullptr;
    QLabel *m_pProgressText = nullptr;
    QLabel *m_pDetails = nullptr;
    QPushButton *m_pCheck = nullptr;
    QPushButton *m_pInstall = nullptr;
    QPushButton *m_pSkip = nullptr;
    QPushButton *m_pRemind = nullptr;
    QComboBox *m_pRemindDelay = nullptr;
    QPushButton *m_pRestart = nullptr;
};

#endif // TVX_UPDATEPANEL_H
