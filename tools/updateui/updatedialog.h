#ifndef TVX_UPDATEDIALOG_H
#define TVX_UPDATEDIALOG_H

#include <QDialog>

class CUpdatePanel;
class CUpgradeController;

// The update panel in a window of its own, with a Close button: for a
// product that opens it from a menu or when a scheduled check found an
// update. Closing it while a download runs keeps the download going.
class CUpdateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateDialog(CUpgradeController *pController, QWidget *parent = nullptr);
    explicit CUpdateDialog(const QString &strSolutionInfoPath, QWidget *parent = nullptr);

    CUpdatePanel *panel() const { return m_pPanel; }

private:
    void build();

    CUpdatePanel *m_pPanel;
};

#endif // TVX_UPDATEDIALOG_H
