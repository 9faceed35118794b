// The demo main form's window, offscreen, under the launcher's own
// application object: long texts are cut and show whole as its tooltip, and
// its update panel leads through check, download and the hand-over against
// the development upgrade server.
//
// With TVX_TEST_SCREENSHOT_DIR set, the window is saved there as PNG files
// at each step, to look at.

#include "demomainwindow.h"
#include "elidedlabel.h"
#include "updatepanel.h"
#include "updatetext.h"
#include "upgradecontroller.h"

#include "app/ctvxapplication.h"
#include "common/clusterfile.h"
#include "common/testserver.h"
#include "demofixture.h"

#include <QGridLayout>
#include <QHelpEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QToolTip>
#include <QtTest>

using namespace DemoFixture;

namespace {

const QByteArray longDescription =
    "The demo module of the upgrade loop, with a description far longer than the column it is shown in; "
    "point at it to read all of it";

CElidedLabel *labelWithText(const QWidget &window, const QString &text)
{
    const QList<CElidedLabel *> labels = window.findChildren<CElidedLabel *>();
    for (CElidedLabel *label : labels) {
        if (label->text() == text)
            return label;
    }
    return nullptr;
}

void saveScreenshot(QWidget &window, const char *name)
{
    const QString dir = qEnvironmentVariable("TVX_TEST_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        window.grab().save(dir + QLatin1Char('/') + QLatin1String(name) + QLatin1String(".png"));
}

} // namespace

class tst_DemoMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void longTextIsCutAndShownAsTooltip();
    void checkThatCannotStart();
    void checkDownloadAndHandOver();

private:
    QScopedPointer<AppDirCleaner> m_cleaner;
};

void tst_DemoMainWindow::init()
{
    m_cleaner.reset(new AppDirCleaner);
    QVERIFY(FileTree::writeFile(solutionInfoPath(), solutionInfo("1.0", oldReleaseDate, 1, longDescription)));
}

void tst_DemoMainWindow::cleanup()
{
    QToolTip::hideText();
    m_cleaner.reset();
}

void tst_DemoMainWindow::longTextIsCutAndShownAsTooltip()
{
    CUpgradeController controller(solutionInfoPath());
    QVERIFY(controller.readInstalledModules());
    CDemoMainWindow window(&controller, QStringLiteral("Tarvex"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    saveScreenshot(window, "installed");

    // The layout gave the description less room than its text: the label
    // paints it cut but keeps the whole text, which the application object
    // measures against the label's width.
    CElidedLabel *description = labelWithText(window, QString::fromUtf8(longDescription));
    QVERIFY(description);
    QVERIFY(description->isVisible());
    QVERIFY2(description->width() < description->fontMetrics().horizontalAdvance(description->text()),
             qPrintable(QString::number(description->width())));
    QVERIFY(description->width() > 0);
    QVERIFY(description->shownText().endsWith(QChar(0x2026)));
    QVERIFY(window.width() < description->fontMetrics().horizontalAdvance(description->text()));

    const QPoint inside(description->width() / 2, description->height() / 2);
    QHelpEvent help(QEvent::ToolTip, inside, description->mapToGlobal(inside));
    QApplication::sendEvent(description, &help);
    QTRY_COMPARE(QToolTip::text(), description->text());

    // A text that fits is painted whole.
    CElidedLabel *id = labelWithText(window, QLatin1String(moduleId));
    QVERIFY(id);
    QCOMPARE(id->shownText(), id->text());
}

void tst_DemoMainWindow::checkThatCannotStart()
{
    CUpgradeController controller(solutionInfoPath());
    CDemoMainWindow window(&controller, QStringLiteral("Tarvex"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CUpdatePanel *panel = window.updatePanel();
    auto *check = window.findChild<QPushButton *>(QStringLiteral("checkButton"));
    auto *install = window.findChild<QPushButton *>(QStringLiteral("installButton"));
    auto *restart = window.findChild<QPushButton *>(QStringLiteral("restartButton"));
    QVERIFY(check && install && restart);
    QVERIFY(check->isEnabled());
    QVERIFY(!install->isVisible());
    QVERIFY(!restart->isVisible());

    // Nothing starts and no signal will come: the window must not wait.
    QVERIFY(QFile::remove(solutionInfoPath()));
    QTest::mouseClick(check, Qt::LeftButton);
    QCOMPARE(panel->stage(), CUpdatePanel::StageFailed);
    QCOMPARE(panel->headline(), QStringLiteral("Could not check for updates"));
    QVERIFY(check->isEnabled());
    QVERIFY(!install->isVisible());
    QVERIFY(!restart->isVisible());
}

void tst_DemoMainWindow::checkDownloadAndHandOver()
{
    ServerDir serverDir;
    QCOMPARE(serverDir.make(newModuleFiles()), QString());
    TestServer server;
    QVERIFY2(server.start(serverDir.root(), QLatin1String(serverKey)), qPrintable(server.errorText()));
    ScopedServerClusterFile clusterFile;
    QVERIFY(clusterFile.write(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(),
                                                            QLatin1String(serverKey))));

    CUpgradeController controller(solutionInfoPath());
    CDemoMainWindow window(&controller, QStringLiteral("Tarvex"));
    QSignalSpy chosen(&window, &CDemoMainWindow::resultChosen);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CUpdatePanel *panel = window.updatePanel();
    auto *check = window.findChild<QPushButton *>(QStringLiteral("checkButton"));
    auto *install = window.findChild<QPushButton *>(QStringLiteral("installButton"));
    auto *restart = window.findChild<QPushButton *>(QStringLiteral("restartButton"));
    auto *progress = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(check && install && restart && progress);
    // The installed module's date as a date, its state in words.
    QVERIFY(labelWithText(window, UpdateText::releaseDate(oldReleaseDate)));
    QVERIFY(labelWithText(window, QStringLiteral("updated online")));

    QTest::mouseClick(check, Qt::LeftButton);
    QVERIFY(!check->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(install->isVisible(), 60000);
    QCOMPARE(panel->headline(), QStringLiteral("Version 2.0 is available"));
    QVERIFY(!restart->isVisible());
    saveScreenshot(window, "checked");

    QTest::mouseClick(install, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(restart->isVisible(), 60000);
    QCOMPARE(progress->value(), 100);
    QVERIFY(!install->isVisible());
    saveScreenshot(window, "ready");

    QTest::mouseClick(restart, Qt::LeftButton);
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.at(0).at(0).toInt(), int(CDemoMainWindow::ResultUpgrade));
}

int main(int argc, char *argv[])
{
    // The launcher's application object: its tooltips for cut texts are
    // what the window relies on.
    CTVXApplication app(argc, argv);
    tst_DemoMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_demomainwindow.moc"
