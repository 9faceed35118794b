#include "demomainwindow.h"

#include "elidedlabel.h"
#include "updatepanel.h"
#include "updatetext.h"
#include "upgradecontroller.h"

#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

CDemoMainWindow::CDemoMainWindow(CUpgradeController *pController, const QString &strArguments, QWidget *parent)
    : QWidget(parent)
    , m_pController(pController)
{
    setWindowTitle(tr("Tarvex demo"));

    auto *layout = new QVBoxLayout(this);
    if (!strArguments.isEmpty()) {
        auto *header = new CElidedLabel(tr("Started with \"%1\"").arg(strArguments));
        header->setObjectName(QStringLiteral("headerLabel"));
        layout->addWidget(header);
    }

    auto *installedBox = new QGroupBox(tr("Installed modules"));
    m_pInstalledGrid = new QGridLayout(installedBox);
    m_pInstalledGrid->setObjectName(QStringLiteral("installedGrid"));
    layout->addWidget(installedBox);

    m_pPanel = new CUpdatePanel(pController);
    layout->addWidget(m_pPanel, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    auto addButton = [this, buttons](const QString &text, const QString &accessible, const char *name) {
        auto *button = new QPushButton(text, this);
        button->setObjectName(QLatin1String(name));
        button->setAccessibleName(accessible);
        buttons->addWidget(button);
        return button;
    };
    QPushButton *restart = addButton(tr("Res&tart the demo"), tr("Restart the demo"), "demoRestartButton");
    QPushButton *reload = addButton(tr("Rel&oad the main form"), tr("Reload the main form"), "reloadButton");
    layout->addLayout(buttons);

    connect(m_pPanel, &CUpdatePanel::restartRequested, this, [this] { Q_EMIT resultChosen(ResultUpgrade); });
    connect(restart, &QPushButton::clicked, this, [this] { Q_EMIT resultChosen(ResultRestart); });
    connect(reload, &QPushButton::clicked, this, [this] { Q_EMIT resultChosen(ResultReload); });
    // A check reads the installed modules again.
    connect(m_pPanel, &CUpdatePanel::stageChanged, this, &CDemoMainWindow::showInstalledModules);

    showInstalledModules();
    // Narrower than the long texts, which then show cut and as a tooltip.
    resize(640, sizeHint().height());
}

void CDemoMainWindow::showInstalledModules()
{
    // Rebuilt only when a check read other versions than those shown.
    QStringList shown;
    const QVector<ModuleVersion> vecCurrent = m_pController->installedModules();
    for (const ModuleVersion &module : vecCurrent)
        shown << module.strId + QLatin1Char(' ') + module.strVersion + QLatin1Char(' ') + module.strDesc;
    if (m_pInstalledGrid->count() > 0 && shown == m_listShown)
        return;
    m_listShown = shown;
    while (QLayoutItem *item = m_pInstalledGrid->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QVector<ModuleVersion> vecInstalled = m_pController->installedModules();
    if (vecInstalled.isEmpty()) {
        m_pInstalledGrid->addWidget(new CElidedLabel(tr("No modules are recorded in this installation.")), 0, 0);
        m_pInstalledGrid->setColumnStretch(0, 1);
        return;
    }
    const QStringList titles{tr("Module"), tr("Version"), tr("Released"), tr("Updates"), tr("Description")};
    for (int column = 0; column < titles.size(); ++column) {
        auto *label = new CElidedLabel(titles.at(column));
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
        m_pInstalledGrid->addWidget(label, 0, column);
    }
    for (const ModuleVersion &module : vecInstalled) {
        const int row = m_pInstalledGrid->rowCount();
        const QStringList cells{module.strId, module.strVersion, UpdateText::releaseDate(module.llReleaseDate),
                                module.nState == 0 ? tr("not updated") : tr("updated online"), module.strDesc};
        for (int column = 0; column < cells.size(); ++column)
            m_pInstalledGrid->addWidget(new CElidedLabel(cells.at(column)), row, column);
    }
    // The description takes what is left, so that long ones are the texts that get cut.
    for (int column = 0; column < titles.size(); ++column)
        m_pInstalledGrid->setColumnStretch(column, column == titles.size() - 1 ? 1 : 0);
}
