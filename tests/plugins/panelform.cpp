// A product's main form that embeds the update panel: the whole of it.
#include "app/iwidget.h"
#include "platform/solutionsdir.h"
#include "updatepanel.h"
#include <QApplication>
#include <QVBoxLayout>

class PanelForm : public QObject, public IWidget
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IWidget_iid)
    Q_INTERFACES(IWidget)

public:
    int Run(const std::string &) override
    {
        QWidget window;
        window.setWindowTitle(tr("Product"));
        auto *panel = new CUpdatePanel(QApplication::applicationDirPath() + '/' + QGetSolutionsDirPath()
                                       + "SolutionInfo.xml");
        (new QVBoxLayout(&window))->addWidget(panel);
        panel->setAutomaticChecks(24 * 3600); // daily, with a random delay of up to six hours
        connect(panel, &CUpdatePanel::restartRequested, [] { QApplication::exit(2); }); // 2: hand over
        window.show();
        return QApplication::exec();
    }
};

#include "panelform.moc"
