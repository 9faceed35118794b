#include "updatepanel.h"

#include "releasenotes.h"
#include "updatetext.h"
#include "upgrade/transaction/heldback.h"

#include <QComboBox>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

// A QTimer takes an int of milliseconds: far checks are reached in steps.
constexpr qint64 maxTimerMs = 24LL * 3600 * 1000;
constexpr int sampleIntervalMs = 500;

QLabel *makeLabel(const char *name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

} // namespace

CUpdatePanel::CUpdatePanel(const QString &strSolutionInfoPath, QWidget *parent)
    : QWidget(parent)
    , m_pOwnController(new CUpgradeController(strSolutionInfoPath))
    , m_pController(m_pOwnController.get())
    , m_choices(m_pController->appDir())
{
    build();
}

CUpdatePanel::CUpdatePanel(CUpgradeController *pController, QWidget *parent)
    : QWidget(parent)
    , m_pController(pController)
    , m_choices(pController->appDir())
{
    build();
}

CUpdatePanel::~CUpdatePanel()
{
    // Its engine's thread must be gone before the widgets its signals reach.
    if (m_pOwnController)
        m_pOwnController->shutdown();
}

void CUpdatePanel::build()
{
    setObjectName(QStringLiteral("updatePanel"));
    setAccessibleName(tr("Software updates"));
    m_choices.load();
    m_pController->readInstalledModules();

    auto *layout = new QVBoxLayout(this);
    // Wrapped texts need a width to wrap at: some sixty characters of the
    // font in use, which scales with it.
    setMinimumWidth(fontMetrics().averageCharWidth() * 60);
    m_pNotice = makeLabel("noticeLabel", this);
    m_pNotice->setAccessibleName(tr("Message about the last update"));
    m_pNotice->setFrameShape(QFrame::StyledPanel);
    m_pNotice->setMargin(6);
    layout->addWidget(m_pNotice);

    m_pHeadline = makeLabel("headlineLabel", this);
    m_pHeadline->setAccessibleName(tr("Update status"));
    QFont font = m_pHeadline->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    m_pHeadline->setFont(font);
    layout->addWidget(m_pHeadline);

    m_pBody = makeLabel("bodyLabel", this);
    m_pBody->setAccessibleName(tr("Update details"));
    layout->addWidget(m_pBody);

    m_pHeld = makeLabel("heldBackLabel", this);
    m_pHeld->setAccessibleName(tr("Versions held back"));
    layout->addWidget(m_pHeld);

    m_pNotes = new QTextEdit(this);
    m_pNotes->setObjectName(QStringLiteral("notesView"));
    m_pNotes->setAccessibleName(tr("Release notes"));
    m_pNotes->setReadOnly(true);
    m_pNotes->setAcceptRichText(false);
    m_pNotes->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Tab leaves the notes instead of being typed into them.
    m_pNotes->setTabChangesFocus(true);
    layout->addWidget(m_pNotes, 1);

    m_pProgress = new QProgressBar(this);
    m_pProgress->setObjectName(QStringLiteral("progressBar"));
    m_pProgress->setAccessibleName(tr("Download progress"));
    m_pProgress->setRange(0, 100);
    layout->addWidget(m_pProgress);
    m_pProgressText = makeLabel("progressLabel", this);
    m_pProgressText->setAccessibleName(tr("Downloaded so far"));
    layout->addWidget(m_pProgressText);

    m_pDetails = makeLabel("detailsLabel", this);
    m_pDetails->setAccessibleName(tr("Technical details"));
    QFont small = m_pDetails->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    m_pDetails->setFont(small);
    layout->addWidget(m_pDetails);

    auto *buttons = new QHBoxLayout;
    auto addButton = [this, buttons](const QString &text, const QString &accessible, const char *name) {
        auto *button = new QPushButton(text, this);
        button->setObjectName(QLatin1String(name));
        button->setAccessibleName(accessible);
        buttons->addWidget(button);
        return button;
    };
    m_pCheck = addButton(tr("&Check for updates"), tr("Check for updates"), "checkButton");
    m_pInstall = addButton(tr("&Install now"), tr("Install now"), "installButton");
    m_pSkip = addButton(tr("&Skip this version"), tr("Skip this version"), "skipButton");
    m_pRemind = addButton(tr("Remind me &later"), tr("Remind me later"), "remindButton");
    m_pRemindDelay = new QComboBox(this);
    m_pRemindDelay->setObjectName(QStringLiteral("remindDelay"));
    m_pRemindDelay->setAccessibleName(tr("When to remind me"));
    m_pRemindDelay->addItem(tr("in an hour"), 3600);
    m_pRemindDelay->addItem(tr("tomorrow"), 24 * 3600);
    m_pRemindDelay->addItem(tr("in a week"), 7 * 24 * 3600);
    m_pRemindDelay->setCurrentIndex(1);
    buttons->addWidget(m_pRemindDelay);
    buttons->addStretch();
    m_pRestart = addButton(tr("&Restart now"), tr("Restart now to finish the update"), "restartButton");
    layout->addLayout(buttons);

    connect(m_pCheck, &QPushButton::clicked, this, &CUpdatePanel::checkNow);
    connect(m_pInstall, &QPushButton::clicked, this, &CUpdatePanel::installNow);
    connect(m_pSkip, &QPushButton::clicked, this, &CUpdatePanel::skipThisVersion);
    connect(m_pRemind, &QPushButton::clicked, this,
            [this] { remindLater(m_pRemindDelay->currentData().toLongLong()); });
    connect(m_pRestart, &QPushButton::clicked, this, [this] {
        // Only a staged upgrade is handed over; a click queued before a
        // state change must not hand over one that is gone.
        if (m_stage == StageReady && m_pController->isReadyToUpgrade())
            Q_EMIT restartRequested();
    });

    connect(m_pController, &CUpgradeController::checkFinished, this, &CUpdatePanel::onCheckFinished);
    connect(m_pController, &CUpgradeController::downloadFinished, this, &CUpdatePanel::onDownloadFinished);
    connect(m_pController, &CUpgradeController::progressChanged, this, &CUpdatePanel::onProgressChanged);

    m_checkTimer.setSingleShot(true);
    connect(&m_checkTimer, &QTimer::timeout, this, &CUpdatePanel::runAutomaticCheck);
    m_sampleTimer.setInterval(sampleIntervalMs);
    connect(&m_sampleTimer, &QTimer::timeout, this, &CUpdatePanel::sampleProgress);

    showStartNotices();
    setStage(StageIdle);
}

QString CUpdatePanel::headline() const
{
    return m_pHeadline->text();
}

QString CUpdatePanel::notice() const
{
    return m_pNotice->text();
}

QString CUpdatePanel::installedVersion(const QString &strId) const
{
    const QVector<ModuleVersion> vecInstalled = m_pController->installedModules();
    for (const ModuleVersion &installed : vecInstalled) {
        if (installed.strId == strId)
            return installed.strVersion;
    }
    return QString();
}

QString CUpdatePanel::moduleName(const QString &strId) const
{
    return strId;
}

qint64 CUpdatePanel::offerBytes() const
{
    qint64 llTotal = 0;
    for (const ModuleVersion &offered : m_vecOffer) {
        const DownloadSize size = downloadSize(offered, installedVersion(offered.strId));
        if (size.llBytes < 0)
            return -1;
        llTotal += size.llBytes;
    }
    return llTotal;
}

void CUpdatePanel::showStartNotices()
{
    QStringList notices;
    QVector<ModuleVersion> vecUpdated;
    const QVector<HeldBackModule> held = readHeldBack(m_pController->appDir());
    for (const HeldBackModule &entry : held) {
        if (m_choices.isRevertAnnounced(entry.strId, entry.llReleaseDate))
            continue;
        notices.append(tr("%1 %2 was installed but did not work, so the previous version was restored. "
                          "Why: %3. Version %2 will not be offered again; a newer version will be.")
                           .arg(moduleName(entry.strId), entry.strVersion, entry.strReason));
        m_choices.setRevertAnnounced(entry.strId, entry.llReleaseDate);
    }
    const QVector<CUpdateChoices::Release> expected = m_choices.expected();
    const QVector<ModuleVersion> vecInstalled = m_pController->installedModules();
    for (const CUpdateChoices::Release &release : expected) {
        for (const ModuleVersion &installed : vecInstalled) {
            if (installed.strId == release.strId && installed.strVersion == release.strVersion
                && installed.llReleaseDate == release.llReleaseDate) {
                notices.append(tr("Updated to %1.").arg(release.strVersion));
                ModuleVersion module;
                module.strId = release.strId;
                module.strVersion = release.strVersion;
                module.strNotes = release.strNotes;
                vecUpdated.append(module);
            }
        }
    }
    // Told once: installed, or rolled back and told above, or never applied
    // (a newer download records its own).
    if (!expected.isEmpty() && (!vecUpdated.isEmpty() || !held.isEmpty()))
        m_choices.clearExpected();
    if (!notices.isEmpty())
        m_choices.save();
    m_pNotice->setText(notices.join(QLatin1Char('\n')));
    m_pNotice->setVisible(!notices.isEmpty());
    showNotes(vecUpdated);
}

void CUpdatePanel::setStage(Stage stage)
{
    m_stage = stage;
    const bool isBusy = stage == StageChecking || stage == StageDownloading;
    m_pCheck->setVisible(stage != StageOffer && stage != StageReady && stage != StageDownloading);
    m_pCheck->setEnabled(!isBusy && m_pController->canCheck());
    const bool isOffer = stage == StageOffer;
    m_pInstall->setVisible(isOffer);
    m_pSkip->setVisible(isOffer);
    m_pRemind->setVisible(isOffer);
    m_pRemindDelay->setVisible(isOffer);
    m_pRestart->setVisible(stage == StageReady);
    // Nothing about progress before the work starts.
    const bool isProgress = stage == StageDownloading || stage == StageReady;
    m_pProgress->setVisible(isProgress);
    m_pProgressText->setVisible(isProgress);
    m_pDetails->setVisible(stage == StageFailed);
    m_pHeld->setVisible(!m_pHeld->text().isEmpty() && (stage == StageUpToDate || stage == StageOffer));

    switch (stage) {
    case StageIdle:
        m_pHeadline->setText(m_pNotice->text().isEmpty() ? tr("Updates") : tr("The last update"));
        m_pBody->setText(tr("Check whether a newer version is available."));
        break;
    case StageChecking:
        m_pHeadline->setText(tr("Checking for updates..."));
        m_pBody->clear();
        break;
    case StageDownloading:
        m_pHeadline->setText(tr("Downloading the update..."));
        break;
    default:
        break;
    }
    if (isOffer)
        m_pInstall->setFocus();
    else if (stage == StageReady)
        m_pRestart->setFocus();
    Q_EMIT stageChanged(stage);
}

bool CUpdatePanel::checkNow()
{
    m_isAutomaticCheck = false;
    if (!m_pController->check()) {
        if (m_pController->state() == CUpgradeController::StateFailed) {
            showFailure(m_pController->lastResult(), false);
        } else {
            m_pHeadline->setText(tr("Updates are managed elsewhere"));
            m_pBody->setText(tr("The toolbox of this installation takes care of its updates."));
            setStage(StageIdle);
        }
        return false;
    }
    m_pNotice->hide();
    m_pNotes->hide();
    setStage(StageChecking);
    return true;
}

void CUpdatePanel::runAutomaticCheck()
{
    // A far check is reached in steps; a timer may also fire a little early.
    if (QDateTime::currentDateTimeUtc().msecsTo(m_nextCheck) > 1000) {
        armCheckTimer();
        return;
    }
    // Not in the middle of what the user is doing or looking at, and not
    // again at once after a check that could not start: an interval later.
    const bool isBusy = m_stage == StageChecking || m_stage == StageDownloading || m_stage == StageReady
        || m_stage == StageOffer || !m_pController->canCheck();
    if (isBusy || !checkNow()) {
        m_nextCheck = QDateTime::currentDateTimeUtc().addSecs(m_nIntervalSeconds);
        armCheckTimer();
        return;
    }
    m_isAutomaticCheck = true;
}

void CUpdatePanel::onCheckFinished(UpgradeOpError result)
{
    const bool isAutomatic = m_isAutomaticCheck;
    m_isAutomaticCheck = false;
    m_lastResult = result;
    m_choices.setLastCheck(QDateTime::currentDateTimeUtc());
    m_choices.save();
    scheduleNextCheck();
    if (result != UPGRADE_OP_SUCCESS) {
        showFailure(result, false);
        return;
    }
    m_vecOffer = m_pController->needUpgrade();
    const bool isSkipped = m_choices.removeSkipped(m_vecOffer);
    showHeldBack();
    if (m_vecOffer.isEmpty()) {
        m_pHeadline->setText(tr("Everything is up to date"));
        const QLocale locale;
        m_pBody->setText(isSkipped ? tr("Checked %1. Versions you skipped are not offered again until a newer "
                                        "one is released.")
                                         .arg(locale.toString(QDateTime::currentDateTime(), QLocale::ShortFormat))
                                   : tr("Checked %1.")
                                         .arg(locale.toString(QDateTime::currentDateTime(), QLocale::ShortFormat)));
        m_pNotes->hide();
        setStage(StageUpToDate);
        return;
    }
    showOffer();
    setStage(StageOffer);
    if (isAutomatic)
        Q_EMIT updateAvailable();
}

void CUpdatePanel::showHeldBack()
{
    QStringList lines;
    const QVector<HeldBackModule> held = readHeldBack(m_pController->appDir());
    const QVector<ModuleVersion> vecServer = m_pController->serverModules();
    for (const HeldBackModule &entry : held) {
        for (const ModuleVersion &offered : vecServer) {
            if (offered.strId == entry.strId && offered.llReleaseDate <= entry.llReleaseDate) {
                lines.append(tr("%1 %2 is held back: it was rolled back after it was installed (%3). It will not "
                                "be offered again; a newer version will be.")
                                 .arg(moduleName(entry.strId), entry.strVersion, entry.strReason));
                break;
            }
        }
    }
    m_pHeld->setText(lines.join(QLatin1Char('\n')));
}

void CUpdatePanel::showOffer()
{
    const QLocale locale;
    m_pHeadline->setText(m_vecOffer.size() == 1
                             ? tr("Version %1 is available").arg(m_vecOffer.first().strVersion)
                             : tr("%1 updates are available").arg(m_vecOffer.size()));
    QStringList lines;
    for (const ModuleVersion &offered : m_vecOffer) {
        const QString installed = installedVersion(offered.strId);
        const QString date = UpdateText::releaseDate(offered.llReleaseDate, locale);
        QString line = installed.isEmpty()
                ? tr("%1 %2 (new)").arg(moduleName(offered.strId), offered.strVersion)
                : tr("%1 %2 (you have %3)").arg(moduleName(offered.strId), offered.strVersion, installed);
        if (!date.isEmpty())
            line = tr("%1, released %2").arg(line, date);
        lines.append(line);
        const DownloadSize size = downloadSize(offered, installed);
        if (size.llBytes < 0)
            lines.append(tr("Download size not known."));
        else if (size.isDelta && size.llFullBytes > size.llBytes)
            lines.append(tr("Download: %1, only the changes (the full version is %2; this saves %3).")
                             .arg(UpdateText::size(size.llBytes, locale), UpdateText::size(size.llFullBytes, locale),
                                  UpdateText::size(size.llFullBytes - size.llBytes, locale)));
        else if (size.isDelta)
            lines.append(tr("Download: %1, only the changes.").arg(UpdateText::size(size.llBytes, locale)));
        else
            lines.append(tr("Download: %1.").arg(UpdateText::size(size.llBytes, locale)));
        if (!offered.strDesc.isEmpty())
            lines.append(offered.strDesc);
    }
    m_pBody->setText(lines.join(QLatin1Char('\n')));
    showNotes(m_vecOffer);
}

void CUpdatePanel::showNotes(const QVector<ModuleVersion> &vecModules)
{
    QString notes;
    for (const ModuleVersion &module : vecModules) {
        if (module.strNotes.isEmpty())
            continue;
        // Several modules' notes, each under its own heading.
        if (vecModules.size() > 1)
            notes += QStringLiteral("# %1 %2\n").arg(moduleName(module.strId), module.strVersion);
        notes += module.strNotes + QLatin1String("\n\n");
    }
    renderReleaseNotes(m_pNotes->document(), notes.trimmed());
    m_pNotes->setVisible(!notes.isEmpty());
}

bool CUpdatePanel::installNow()
{
    if (m_stage != StageOffer)
        return false;
    if (!m_pController->download(m_vecOffer)) {
        showFailure(m_pController->lastResult(), true);
        return false;
    }
    m_llTotalBytes = offerBytes();
    m_llLastBytes = 0;
    m_llLastSampleMs = 0;
    m_dBytesPerSecond = 0;
    m_downloadClock.start();
    m_pProgress->setValue(0);
    m_pProgressText->setText(tr("Starting the download..."));
    m_pBody->clear();
    m_pHeld->clear();
    m_sampleTimer.start();
    setStage(StageDownloading);
    return true;
}

void CUpdatePanel::onProgressChanged(int nProgress)
{
    if (m_stage == StageDownloading)
        m_pProgress->setValue(qMax(m_pProgress->value(), nProgress));
}

void CUpdatePanel::sampleProgress()
{
    if (m_stage != StageDownloading)
        return;
    const qint64 llBytes = m_pController->bytesInHand();
    const qint64 llNowMs = m_downloadClock.elapsed();
    if (llNowMs > m_llLastSampleMs && llBytes >= m_llLastBytes) {
        // Smoothed, so that the time left does not jump with every block.
        const double dSample = double(llBytes - m_llLastBytes) * 1000.0 / double(llNowMs - m_llLastSampleMs);
        m_dBytesPerSecond = m_dBytesPerSecond > 0 ? 0.7 * m_dBytesPerSecond + 0.3 * dSample : dSample;
    }
    m_llLastBytes = llBytes;
    m_llLastSampleMs = llNowMs;
    if (llBytes <= 0)
        return;
    m_pProgressText->setText(UpdateText::progress(llBytes, m_llTotalBytes, m_dBytesPerSecond));
    // The engine counts percent against full packets; a delta's own bytes
    // tell where it stands. 100 is kept for a staged packet.
    if (m_llTotalBytes > 0)
        m_pProgress->setValue(qMax(m_pProgress->value(), int(qMin<qint64>(99, llBytes * 100 / m_llTotalBytes))));
}

void CUpdatePanel::onDownloadFinished(UpgradeOpError result)
{
    m_sampleTimer.stop();
    m_lastResult = result;
    if (result != UPGRADE_OP_SUCCESS) {
        showFailure(result, true);
        return;
    }
    // What came over the network, deltas as deltas.
    qint64 llReceived = 0;
    const QVector<PacketDownloadReport> reports = m_pController->packetReports();
    for (const PacketDownloadReport &report : reports)
        llReceived += report.llReceivedBytes + report.llResumedBytes;
    m_pProgress->setValue(100);
    m_pProgressText->setText(tr("Downloaded %1.").arg(UpdateText::size(llReceived)));
    m_choices.setExpected(m_pController->needUpgrade());
    m_choices.save();
    QStringList versions;
    for (const ModuleVersion &module : m_pController->needUpgrade())
        versions.append(tr("%1 %2").arg(moduleName(module.strId), module.strVersion));
    m_pHeadline->setText(tr("The update is ready"));
    m_pBody->setText(tr("Restart the application to finish updating to %1.")
                         .arg(QLocale().createSeparatedList(versions)));
    setStage(StageReady);
}

void CUpdatePanel::showFailure(UpgradeOpError result, bool isDownload)
{
    m_lastResult = result;
    const UpdateText::Failure failure = UpdateText::failure(result, isDownload);
    m_pHeadline->setText(isDownload ? tr("The update was not installed") : tr("Could not check for updates"));
    m_pBody->setText(failure.strWhat + QLatin1Char(' ') + failure.strNextStep);
    m_pDetails->setText(failure.strDetails);
    m_pNotes->hide();
    setStage(StageFailed);
}

void CUpdatePanel::skipThisVersion()
{
    if (m_stage != StageOffer)
        return;
    m_choices.skip(m_vecOffer);
    m_choices.save();
    QStringList versions;
    for (const ModuleVersion &module : qAsConst(m_vecOffer))
        versions.append(module.strVersion);
    m_pHeadline->setText(tr("Version %1 skipped").arg(QLocale().createSeparatedList(versions)));
    m_pBody->setText(tr("It will not be offered again. You will be told when a newer version is released."));
    m_vecOffer.clear();
    m_pNotes->hide();
    setStage(StageDeferred);
}

void CUpdatePanel::remindLater(qint64 llSeconds)
{
    if (m_stage != StageOffer)
        return;
    const QDateTime when = QDateTime::currentDateTimeUtc().addSecs(qBound<qint64>(60, llSeconds, 365LL * 24 * 3600));
    m_choices.setRemindAfter(when);
    m_choices.save();
    m_pHeadline->setText(tr("Not now"));
    m_pBody->setText(tr("You will be reminded of this update after %1.")
                         .arg(QLocale().toString(when.toLocalTime(), QLocale::ShortFormat)));
    m_pNotes->hide();
    setStage(StageDeferred);
    scheduleNextCheck();
}

void CUpdatePanel::setAutomaticChecks(int nIntervalSeconds, double dJitter)
{
    m_nIntervalSeconds = qMax(0, nIntervalSeconds);
    m_dJitter = qBound(0.0, dJitter, 1.0);
    scheduleNextCheck();
}

void CUpdatePanel::scheduleNextCheck()
{
    m_checkTimer.stop();
    if (m_nIntervalSeconds <= 0) {
        m_nextCheck = QDateTime();
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime last = m_choices.lastCheck();
    QDateTime next = last.isValid() && last <= now ? last.addSecs(m_nIntervalSeconds) : now;
    const qint64 llJitterMs = qint64(double(m_nIntervalSeconds) * 1000.0 * m_dJitter);
    if (llJitterMs > 0)
        next = next.addMSecs(qint64(QRandomGenerator::global()->bounded(double(llJitterMs))));
    if (m_choices.remindAfter().isValid() && next < m_choices.remindAfter())
        next = m_choices.remindAfter();
    m_nextCheck = next;
    armCheckTimer();
}

void CUpdatePanel::armCheckTimer()
{
    const qint64 llMs = QDateTime::currentDateTimeUtc().msecsTo(m_nextCheck);
    m_checkTimer.start(int(qBound<qint64>(0, llMs, maxTimerMs)));
}
