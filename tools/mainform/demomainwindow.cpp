#include "demomainwindow.h"

#include "elidedlabel.h"
#include "upgradecontroller.h"

#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

void clearGrid(QGridLayout *grid)
{
    while (QLayoutItem *item = grid->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

void addHeader(QGridLayout *grid, const QStringList &titles)
{
    for (int column = 0; column < titles.size(); ++column) {
        auto *label = new CElidedLabel(titles.at(column));
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
        grid->addWidget(label, 0, column);
    }
}

void addRow(QGridLayout *grid, const QStringList &cells)
{
    const int row = grid->rowCount();
    for (int column = 0; column < cells.size(); ++column)
        grid->addWidget(new CElidedLabel(cells.at(column)), row, column);
}

// The last column takes what is left, so that long descriptions are the
// texts that get cut.
void stretchLastColumn(QGridLayout *grid, int columns)
{
    for (int column = 0; column < columns; ++column)
        grid->setColumnStretch(column, column == columns - 1 ? 1 : 0);
}

QString stateText(int nState)
{
    return nState == 0 ? CDemoMainWindow::tr("no upgrades") : CDemoMainWindow::tr("upgrades (%1)").arg(nState);
}

} // namespace

CDemoMainWindow::CDemoMainWindow(CUpgradeController *pController, const QString &strArguments, QWidget *parent)
    : QWidget(parent)
    , m_pController(pController)
{
    setWindowTitle(tr("Tarvex demo main form"));

    auto *layout = new QVBoxLayout(this);
    auto *header = new CElidedLabel(tr("Started as \"%1\"; modules from %2")
                                        .arg(strArguments, pController->solutionInfoPath()));
    header->setObjectName(QStringLiteral("headerLabel"));
    layout->addWidget(header);

    auto *installedBox = new QGroupBox(tr("Installed modules"));
    m_pInstalledGrid = new QGridLayout(installedBox);
    m_pInstalledGrid->setObjectName(QStringLiteral("installedGrid"));
    layout->addWidget(installedBox);

    auto *needBox = new QGroupBox(tr("Modules that need an upgrade"));
    m_pNeedGrid = new QGridLayout(needBox);
    m_pNeedGrid->setObjectName(QStringLiteral("needGrid"));
    layout->addWidget(needBox);

    m_pProgress = new QProgressBar;
    m_pProgress->setObjectName(QStringLiteral("progressBar"));
    m_pProgress->setRange(0, 100);
    layout->addWidget(m_pProgress);

    m_pStatus = new CElidedLabel;
    m_pStatus->setObjectName(QStringLiteral("statusLabel"));
    layout->addWidget(m_pStatus);

    auto *buttons = new QHBoxLayout;
    auto addButton = [buttons](const QString &text, const char *name) {
        auto *button = new QPushButton(text);
        button->setObjectName(QLatin1String(name));
        buttons->addWidget(button);
        return button;
    };
    m_pCheck = addButton(tr("Check for updates"), "checkButton");
    m_pDownload = addButton(tr("Download"), "downloadButton");
    m_pUpgrade = addButton(tr("Upgrade and restart"), "upgradeButton");
    buttons->addStretch();
    QPushButton *restart = addButton(tr("Restart"), "restartButton");
    QPushButton *reload = addButton(tr("Reload"), "reloadButton");
    layout->addLayout(buttons);
    layout->addStretch();

    connect(m_pCheck, &QPushButton::clicked, m_pController, &CUpgradeController::check);
    connect(m_pDownload, &QPushButton::clicked, m_pController, &CUpgradeController::download);
    connect(m_pUpgrade, &QPushButton::clicked, this, [this] {
        // The button is only enabled then; a click queued before a state
        // change must not hand over a packet that is gone.
        if (m_pController->isReadyToUpgrade())
            Q_EMIT resultChosen(ResultUpgrade);
    });
    connect(restart, &QPushButton::clicked, this, [this] { Q_EMIT resultChosen(ResultRestart); });
    connect(reload, &QPushButton::clicked, this, [this] { Q_EMIT resultChosen(ResultReload); });

    connect(m_pController, &CUpgradeController::stateChanged, this, &CDemoMainWindow::refresh);
    connect(m_pController, &CUpgradeController::progressChanged, m_pProgress, &QProgressBar::setValue);

    m_lastState = m_pController->state();
    showInstalledModules();
    showNeedUpgrade();
    refresh();
    // Narrower than the long texts, which then show cut and as a tooltip.
    resize(640, sizeHint().height());
}

void CDemoMainWindow::refresh()
{
    m_pStatus->setText(m_pController->statusText());
    m_pProgress->setValue(m_pController->progress());
    m_pCheck->setEnabled(m_pController->canCheck());
    m_pDownload->setEnabled(m_pController->canDownload());
    m_pUpgrade->setEnabled(m_pController->isReadyToUpgrade());
    // Both lists change with the state only (a check reads the installed
    // modules again as it starts); status and progress change more often.
    if (m_pController->state() != m_lastState) {
        m_lastState = m_pController->state();
        showInstalledModules();
        showNeedUpgrade();
    }
}

void CDemoMainWindow::showInstalledModules()
{
    clearGrid(m_pInstalledGrid);
    const QVector<ModuleVersion> vecInstalled = m_pController->installedModules();
    if (vecInstalled.isEmpty()) {
        m_pInstalledGrid->addWidget(new CElidedLabel(tr("No modules recorded in %1")
                                                         .arg(m_pController->solutionInfoPath())), 0, 0);
        stretchLastColumn(m_pInstalledGrid, 1);
        return;
    }
    const QStringList titles{tr("Module"), tr("Version"), tr("Released"), tr("State"), tr("Description")};
    addHeader(m_pInstalledGrid, titles);
    for (const ModuleVersion &module : vecInstalled) {
        addRow(m_pInstalledGrid, {module.strId, module.strVersion, QString::number(module.llReleaseDate),
                                  stateText(module.nState), module.strDesc});
    }
    stretchLastColumn(m_pInstalledGrid, titles.size());
}

void CDemoMainWindow::showNeedUpgrade()
{
    clearGrid(m_pNeedGrid);
    const CUpgradeController::State state = m_pController->state();
    const QVector<ModuleVersion> vecNeedUpgrade = m_pController->needUpgrade();
    if (vecNeedUpgrade.isEmpty()) {
        QString text;
        if (state == CUpgradeController::StateChecking)
            text = tr("Checking...");
        else if (state == CUpgradeController::StateChecked)
            text = tr("None: every module is up to date.");
        else
            text = tr("Not known: check for updates first.");
        m_pNeedGrid->addWidget(new CElidedLabel(text), 0, 0);
        stretchLastColumn(m_pNeedGrid, 1);
        return;
    }
    const QStringList titles{tr("Module"), tr("Installed"), tr("Offered"), tr("Size"), tr("Description")};
    addHeader(m_pNeedGrid, titles);
    const QVector<ModuleVersion> vecInstalled = m_pController->installedModules();
    for (const ModuleVersion &offered : vecNeedUpgrade) {
        QString installedVersion = tr("(new)");
        for (const ModuleVersion &installed : vecInstalled) {
            if (installed.strId == offered.strId)
                installedVersion = installed.strVersion;
        }
        addRow(m_pNeedGrid, {offered.strId, installedVersion, offered.strVersion, describeSize(offered.dSize),
                             offered.strDesc});
    }
    stretchLastColumn(m_pNeedGrid, titles.size());
}
