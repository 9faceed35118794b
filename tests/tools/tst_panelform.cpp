// A product's main form of a few lines (tests/plugins/panelform.cpp),
// loaded as the launcher loads it, clicked through as a user would: it
// checks, offers 2.0, downloads it and ends with the hand-over code, the
// packet staged for the upgrader. The launcher and the upgrader take it
// from there (tst_demoloop).

#include "app/iwidget.h"
#include "common/clusterfile.h"
#include "common/testserver.h"
#include "demofixture.h"
#include "upgrade/files/installlayout.h"

#include <QLabel>
#include <QPluginLoader>
#include <QPushButton>
#include <QtTest>

using namespace DemoFixture;

class tst_PanelForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void upgradesThroughThePanel();
};

void tst_PanelForm::upgradesThroughThePanel()
{
    QVERIFY2(TestServer::isAvailable(), "build tarvex-upgrade-server first");
    AppDirCleaner cleaner;
    QVERIFY(FileTree::writeFile(solutionInfoPath(), solutionInfo("1.0", oldReleaseDate, 1)));
    ServerDir serverDir;
    QCOMPARE(serverDir.make(newModuleFiles()), QString());
    TestServer server;
    QVERIFY2(server.start(serverDir.root(), QLatin1String(serverKey)), qPrintable(server.errorText()));
    ScopedServerClusterFile clusterFile;
    QVERIFY(clusterFile.write(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(),
                                                            QLatin1String(serverKey))));

#ifdef Q_OS_WIN
    // The DLLs the form imports and this program does not (libcurl among
    // them) lie beside the built launcher, as in an installation.
    qputenv("PATH", QDir::toNativeSeparators(QStringLiteral(TVX_BIN_DIR)).toLocal8Bit() + ';' + qgetenv("PATH"));
#endif
    QPluginLoader loader(QStringLiteral(TVX_PANEL_FORM));
    auto *form = qobject_cast<IWidget *>(loader.instance());
    QVERIFY2(form, qPrintable(loader.errorString()));

    // The user, from inside the form's event loop: check, install, restart.
    // The plugin has its own copy of the panel's class: found by name.
    QStringList seen;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget *panel = nullptr;
        for (QWidget *widget : QApplication::allWidgets())
            panel = widget->objectName() == QLatin1String("updatePanel") ? widget : panel;
        if (!panel)
            return;
        if (panel->findChild<QLabel *>(QStringLiteral("detailsLabel"))->isVisible())
            QApplication::exit(-1);
        const QString headline = panel->findChild<QLabel *>(QStringLiteral("headlineLabel"))->text();
        for (const char *name : {"checkButton", "installButton", "restartButton"}) {
            auto *button = panel->findChild<QPushButton *>(QLatin1String(name));
            if (button->isVisible() && button->isEnabled()) {
                if (seen.isEmpty() || seen.last() != headline)
                    seen << headline;
                QTest::mouseClick(button, Qt::LeftButton);
                return;
            }
        }
    });
    // A form that never gets there ends the test all the same.
    QTimer::singleShot(120000, [] { QApplication::exit(-2); });
    user.start(100);
    const int result = form->Run("");
    user.stop();
    QCOMPARE(result, 2);
    QCOMPARE(seen, QStringList({"Updates", "Version 2.0 is available", "The update is ready"}));
    QVERIFY(QFileInfo::exists(CInstallLayout(QCoreApplication::applicationDirPath()).stagedMark()));
    QVERIFY(loader.unload());
    QDir(appPath(QStringLiteral("Tmp"))).removeRecursively();
}

QTEST_MAIN(tst_PanelForm)
#include "tst_panelform.moc"
