#include "updatedialog.h"

#include "updatepanel.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

CUpdateDialog::CUpdateDialog(CUpgradeController *pController, QWidget *parent)
    : QDialog(parent)
    , m_pPanel(new CUpdatePanel(pController, this))
{
    build();
}

CUpdateDialog::CUpdateDialog(const QString &strSolutionInfoPath, QWidget *parent)
    : QDialog(parent)
    , m_pPanel(new CUpdatePanel(strSolutionInfoPath, this))
{
    build();
}

void CUpdateDialog::build()
{
    setWindowTitle(tr("Software update"));
    setAccessibleName(tr("Software update"));
    auto *layout = new QVBoxLayout(this);
    // Each stage has texts of its own length: the window grows to show them whole.
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    layout->addWidget(m_pPanel);
    auto *box = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *close = box->button(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setAccessibleName(tr("Close"));
    // Enter belongs to the panel's own buttons, not to Close.
    close->setAutoDefault(false);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(box);
    // Wrapped texts take more lines at a narrow width than the layout's
    // minimum knows: each stage's texts are shown whole.
    connect(m_pPanel, &CUpdatePanel::stageChanged, this, [this, layout] {
        layout->activate();
        const int needed = layout->totalHeightForWidth(width());
        if (needed > height())
            resize(width(), needed);
    });
    // The restart ends the product; the dialog goes first.
    connect(m_pPanel, &CUpdatePanel::restartRequested, this, &QDialog::accept);
}
