// The update component with a real engine, real packets and the development
// server on 127.0.0.1, in the test's own application directory: what a user
// sees and chooses at each stage, the signals a product acts on, and what
// stays recorded for the next start. A signed site (tarvex-release) brings
// release notes and a delta.
//
// With TVX_TEST_SCREENSHOT_DIR set, the panel is saved there as PNG files
// at each stage, to look at (scripts/update-screenshots.sh).

#include "common/processend.h"
#include "updatedialog.h"
#include "updatepanel.h"
#include "updatetext.h"
#include "releasenotes.h"

#include "common/clusterfile.h"
#include "common/testserver.h"
#include "demofixture.h"
#include "platform/platformnames.h"
#include "upgrade/files/installlayout.h"
#include "upgrade/transaction/heldback.h"
#include "upgrade/trust/signature.h"
#include "upgrade/trust/truststore.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QTextEdit>
#include <QtTest>

using namespace DemoFixture;

namespace {

const QString releaseTool = QStringLiteral(TVX_PUBLISHER_BIN_DIR "/") + PlatformNames::releaseToolFileName();
const QByteArray notes = "# What is new\n- Faster start\n- **Safer** updates\n\nShown as text: <b>not bold</b>\n";

enum Case { OfferNotesDelta, Skip, RemindLater, NetworkError, DownloadError, HeldBack, Scheduled };

// Everything the panel shows at the moment, for the checks that no raw value leaks.
QString shownText(const QWidget &panel)
{
    QStringList texts;
    const QList<QLabel *> labels = panel.findChildren<QLabel *>();
    for (const QLabel *label : labels) {
        if (label->isVisibleTo(&panel))
            texts << label->text();
    }
    const QList<QTextEdit *> views = panel.findChildren<QTextEdit *>();
    for (const QTextEdit *view : views) {
        if (view->isVisibleTo(&panel))
            texts << view->toPlainText();
    }
    return texts.join(QLatin1Char('\n'));
}

void saveScreenshot(QWidget &widget, const QString &name)
{
    const QString dir = qEnvironmentVariable("TVX_TEST_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        widget.grab().save(dir + QLatin1Char('/') + name + QLatin1String(".png"));
}

int runProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    startProcess(process, program, arguments);
    if (!waitForProcessEnd(process, 300000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

} // namespace

class tst_UpdatePanel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void stages_data();
    void stages();
    void texts_data();
    void texts();
    void notesAreText_data();
    void notesAreText();

private:
    void serveUnsigned(const QByteArray &version = "2.0", qint64 releaseDate = newReleaseDate);
    void serveSigned();
    void startServer(const QString &root, const QStringList &arguments = QStringList());
    QJsonObject choices() const;

    QTemporaryDir m_keys;
    QScopedPointer<AppDirCleaner> m_cleaner;
    QScopedPointer<ScopedServerClusterFile> m_clusterFile;
    QScopedPointer<QTemporaryDir> m_site;
    QScopedPointer<ServerDir> m_serverDir;
    QScopedPointer<TestServer> m_server;
};

void tst_UpdatePanel::initTestCase()
{
    QVERIFY2(TestServer::isAvailable(), "build tarvex-upgrade-server first");
    QVERIFY(m_keys.isValid());
    QCOMPARE(runProgram(releaseTool, {"keygen", "--out", m_keys.filePath("release.key")}), 0);
}

void tst_UpdatePanel::init()
{
    m_cleaner.reset(new AppDirCleaner);
    m_clusterFile.reset(new ScopedServerClusterFile);
    m_server.reset(new TestServer);
    QVERIFY(FileTree::writeFile(solutionInfoPath(), solutionInfo("1.0", oldReleaseDate, 1)));
    QVERIFY(writeFiles(QCoreApplication::applicationDirPath(), oldModuleFiles()));
}

void tst_UpdatePanel::cleanup()
{
    m_server.reset();
    m_serverDir.reset();
    m_site.reset();
    // What the engine, the trust and the panel keep per installation.
    const CInstallLayout layout(QCoreApplication::applicationDirPath());
    for (const QString &file : {layout.updateUiFile(), layout.heldBackFile(), layout.trustFile(), layout.serialFile(),
                                layout.trustRecord()})
        QFile::remove(file);
    QDir(layout.downloadDir()).removeRecursively();
    m_clusterFile.reset();
    m_cleaner.reset();
}

void tst_UpdatePanel::startServer(const QString &root, const QStringList &arguments)
{
    QVERIFY2(m_server->start(root, QLatin1String(serverKey), arguments), qPrintable(m_server->errorText()));
    QVERIFY(m_clusterFile->write(ScopedServerClusterFile::info(QStringLiteral("test"), m_server->hostAndPort(),
                                                               QLatin1String(serverKey))));
}

void tst_UpdatePanel::serveUnsigned(const QByteArray &version, qint64 releaseDate)
{
    if (!m_serverDir)
        m_serverDir.reset(new ServerDir);
    QCOMPARE(m_serverDir->make(newModuleFiles()), QString());
    if (version != "2.0" || releaseDate != newReleaseDate) {
        const QString manifest = m_serverDir->root() + QLatin1String("/manifest.json");
        QVERIFY(FileTree::writeFile(manifest, FileTree::readFile(manifest)
                                                  .replace("\"2.0\"", "\"" + version + "\"")
                                                  .replace(QByteArray::number(newReleaseDate),
                                                           QByteArray::number(releaseDate))));
    }
    if (!m_server->isRunning())
        startServer(m_serverDir->root());
}

// Version 2.0 packed with a delta from 1.0 and notes, signed, and its key
// trusted by the installation.
void tst_UpdatePanel::serveSigned()
{
    m_site.reset(new QTemporaryDir);
    QVERIFY(m_site->isValid());
    const QString site = m_site->filePath("site");
    // A large file that stays the same: the delta leaves it out.
    QByteArray same(256 * 1024, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(same.data()), same.size() / 4);
    const QMap<QString, QByteArray> data{{QStringLiteral("Solutions/DemoModule/data.bin"), same}};
    QVERIFY(writeFiles(m_site->filePath("v1"), oldModuleFiles()) && writeFiles(m_site->filePath("v1"), data));
    // And a new one that the delta carries whole, large enough for the
    // throttled server to take a few seconds over it.
    QByteArray added(64 * 1024, '\0');
    QRandomGenerator(8).fillRange(reinterpret_cast<quint32 *>(added.data()), added.size() / 4);
    QVERIFY(writeFiles(m_site->filePath("v2"), newModuleFiles()) && writeFiles(m_site->filePath("v2"), data)
            && writeFiles(m_site->filePath("v2"), {{QStringLiteral("Solutions/DemoModule/added.bin"), added}}));
    QVERIFY(writeFiles(QCoreApplication::applicationDirPath(), data));
    QVERIFY(FileTree::writeFile(m_site->filePath("notes.md"), notes));
    QCOMPARE(runProgram(releaseTool, {"pack", "--root", site, "--tree", m_site->filePath("v2"), "--module", moduleId,
                                      "--version", "2.0", "--release-date", QString::number(newReleaseDate),
                                      "--notes", m_site->filePath("notes.md"), "--base-tree", m_site->filePath("v1"),
                                      "--base-version", "1.0"}),
             0);
    QCOMPARE(runProgram(releaseTool, {"sign", "--root", site, "--key", m_keys.filePath("release.key")}), 0);
    QByteArray publicKey;
    QString error;
    QVERIFY2(Trust::readPublicKeyPem(FileTree::readFile(m_keys.filePath("release.key.pub")), publicKey, error),
             qPrintable(error));
    Trust::CTrustStore store(QCoreApplication::applicationDirPath());
    QVERIFY2(store.load(error) && store.addKey(publicKey, error), qPrintable(error));
    startServer(site, {QStringLiteral("--throttle-bytes-per-sec"), QStringLiteral("16384")});
}

QJsonObject tst_UpdatePanel::choices() const
{
    const CInstallLayout layout(QCoreApplication::applicationDirPath());
    return QJsonDocument::fromJson(FileTree::readFile(layout.updateUiFile())).object();
}

void tst_UpdatePanel::stages_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("stage");              // where the scenario ends
    QTest::addColumn<QString>("headline");
    QTest::addColumn<QString>("shown");          // a part of what the panel shows then
    QTest::addColumn<QString>("details");        // the details line; empty: hidden
    QTest::addColumn<int>("available");          // updateAvailable() signals
    QTest::addColumn<int>("restarts");           // restartRequested() signals
    QTest::addColumn<QString>("recorded");       // a key of the stored choices that must be set

    QTest::newRow("offer, notes, delta, install, restart")
        << int(OfferNotesDelta) << int(CUpdatePanel::StageReady) << "The update is ready"
        << "Restart the application to finish updating to DemoModule 2.0." << QString() << 0 << 1 << "expected";
    QTest::newRow("skip this version until a newer one")
        << int(Skip) << int(CUpdatePanel::StageOffer) << "Version 3.0 is available" << "DemoModule 3.0 (you have 1.0)"
        << QString() << 0 << 0 << "skipped";
    QTest::newRow("remind me later")
        << int(RemindLater) << int(CUpdatePanel::StageDeferred) << "Not now" << "You will be reminded of this update"
        << QString() << 0 << 0 << "remindAfter";
    QTest::newRow("server not reachable")
        << int(NetworkError) << int(CUpdatePanel::StageFailed) << "Could not check for updates"
        << "The update server could not be reached. Check the internet connection, then try again."
        << "Details: UPGRADE_OP_NETWORK_FAILED (4)" << 0 << 0 << "lastCheck";
    QTest::newRow("packet gone before the download")
        << int(DownloadError) << int(CUpdatePanel::StageFailed) << "The update was not installed"
        << "The update server could not be reached." << "Details: UPGRADE_OP_NETWORK_FAILED (4)" << 0 << 0
        << "lastCheck";
    QTest::newRow("rolled back, told once, then held back")
        << int(HeldBack) << int(CUpdatePanel::StageUpToDate) << "Everything is up to date"
        << "DemoModule 2.0 is held back: it was rolled back after it was installed (the launcher did not start)."
        << QString() << 0 << 0 << "revertsAnnounced";
    QTest::newRow("scheduled check finds the update")
        << int(Scheduled) << int(CUpdatePanel::StageOffer) << "Version 2.0 is available" << "Download: "
        << QString() << 1 << 0 << "lastCheck";
}

void tst_UpdatePanel::stages()
{
    QFETCH(int, which);
    QFETCH(int, stage);
    QFETCH(QString, headline);
    QFETCH(QString, shown);
    QFETCH(QString, details);
    QFETCH(int, available);
    QFETCH(int, restarts);
    QFETCH(QString, recorded);
    const QString shotPrefix = QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(','), 0, 0)
                                   .replace(QLatin1Char(' '), QLatin1Char('-'));

    if (which == OfferNotesDelta)
        serveSigned();
    if (which == HeldBack) {
        ModuleVersion failed;
        failed.strId = QLatin1String(moduleId);
        failed.strVersion = QStringLiteral("2.0");
        failed.llReleaseDate = newReleaseDate;
        QVERIFY(recordHeldBack(QCoreApplication::applicationDirPath(), {failed},
                               QStringLiteral("the launcher did not start")));
    }
    if (which == NetworkError)
        QVERIFY(m_clusterFile->write(ScopedServerClusterFile::info(QStringLiteral("test"), QStringLiteral("127.0.0.1:9"),
                                                                   QLatin1String(serverKey))));
    else if (which != OfferNotesDelta)
        serveUnsigned();
    if (QTest::currentTestFailed())
        return;

    QScopedPointer<CUpdateDialog> dialog(new CUpdateDialog(solutionInfoPath()));
    CUpdatePanel *panel = dialog->panel();
    QSignalSpy availableSpy(panel, &CUpdatePanel::updateAvailable);
    QSignalSpy restartSpy(panel, &CUpdatePanel::restartRequested);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.data()));
    auto *progress = panel->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(progress);
    // Nothing about progress before anything starts.
    QVERIFY(!progress->isVisible());

    if (which == HeldBack) {
        QVERIFY2(panel->notice().contains(QLatin1String("2.0 was installed but did not work")), qPrintable(panel->notice()));
        QVERIFY(panel->notice().contains(QLatin1String("Why: the launcher did not start.")));
        saveScreenshot(*dialog, QStringLiteral("rolled-back-notice"));
        // Told once.
        dialog.reset(new CUpdateDialog(solutionInfoPath()));
        panel = dialog->panel();
        QCOMPARE(panel->notice(), QString());
        dialog->show();
    }

    if (which == Scheduled) {
        panel->setAutomaticChecks(1, 0.5);
        QVERIFY(panel->nextAutomaticCheck().isValid());
    } else {
        auto *check = panel->findChild<QPushButton *>(QStringLiteral("checkButton"));
        QVERIFY(check && check->isVisible() && check->isEnabled());
        QTest::mouseClick(check, Qt::LeftButton);
        QCOMPARE(panel->stage(), CUpdatePanel::StageChecking);
    }
    const CUpdatePanel::Stage afterCheck = which == NetworkError ? CUpdatePanel::StageFailed
                                           : which == HeldBack    ? CUpdatePanel::StageUpToDate
                                                                  : CUpdatePanel::StageOffer;
    QTRY_COMPARE_WITH_TIMEOUT(panel->stage(), afterCheck, 60000);
    saveScreenshot(*dialog, shotPrefix + QLatin1String("-checked"));

    if (afterCheck == CUpdatePanel::StageOffer) {
        // Every offer: a date of the locale, a real size, no raw value.
        const QString text = shownText(*panel);
        QVERIFY2(text.contains(QLocale().toString(QDate(2024, 6, 1), QLocale::LongFormat)), qPrintable(text));
        QVERIFY2(!text.contains(QString::number(newReleaseDate)), qPrintable(text));
        QVERIFY2(!text.contains(QCoreApplication::applicationDirPath()), qPrintable(text));
    }

    if (which == OfferNotesDelta) {
        QCOMPARE(panel->offerModules().size(), 1);
        const qint64 deltaBytes = panel->offerModules().first().vecDeltas.value(0).llBytes;
        QVERIFY(deltaBytes > 0 && deltaBytes == panel->offerBytes());
        const QString text = shownText(*panel);
        QVERIFY2(text.contains(QStringLiteral("Download: %1, only the changes").arg(UpdateText::size(deltaBytes))),
                 qPrintable(text));
        QVERIFY2(text.contains(QLatin1String("Faster start")) && text.contains(QLatin1String("<b>not bold</b>")),
                 qPrintable(text));
        QTest::mouseClick(panel->findChild<QPushButton *>(QStringLiteral("installButton")), Qt::LeftButton);
        QCOMPARE(panel->stage(), CUpdatePanel::StageDownloading);
        QVERIFY(progress->isVisible());
        saveScreenshot(*dialog, QStringLiteral("download-started"));
        // Under way: the bytes of the delta, the speed and the time left.
        auto *progressText = panel->findChild<QLabel *>(QStringLiteral("progressLabel"));
        QTRY_VERIFY_WITH_TIMEOUT(progressText->text().contains(QLatin1String("/s")), 60000);
        const QString under = progressText->text();
        QVERIFY2(under.contains(QStringLiteral(" of %1, ").arg(UpdateText::size(deltaBytes))), qPrintable(under));
        QVERIFY2(under.endsWith(QLatin1String(" left")) || panel->stage() != CUpdatePanel::StageDownloading,
                 qPrintable(under));
        QVERIFY(progress->value() > 0);
        saveScreenshot(*dialog, QStringLiteral("download-under-way"));
        QTRY_COMPARE_WITH_TIMEOUT(panel->stage(), CUpdatePanel::StageReady, 60000);
        QCOMPARE(progress->value(), 100);
        QVERIFY(panel->controller()->packetReports().value(0).isDelta);
        saveScreenshot(*dialog, QStringLiteral("ready-to-restart"));
        QTest::mouseClick(panel->findChild<QPushButton *>(QStringLiteral("restartButton")), Qt::LeftButton);
    } else if (which == Skip) {
        QTest::mouseClick(panel->findChild<QPushButton *>(QStringLiteral("skipButton")), Qt::LeftButton);
        QCOMPARE(panel->stage(), CUpdatePanel::StageDeferred);
        QCOMPARE(panel->headline(), QStringLiteral("Version 2.0 skipped"));
        // Hidden from the next check, and after a start too.
        dialog.reset(new CUpdateDialog(solutionInfoPath()));
        panel = dialog->panel();
        QVERIFY(panel->checkNow());
        QTRY_COMPARE_WITH_TIMEOUT(panel->stage(), CUpdatePanel::StageUpToDate, 60000);
        saveScreenshot(*dialog, QStringLiteral("skipped-up-to-date"));
        // A newer release is offered again.
        serveUnsigned("3.0", newReleaseDate + 100);
        QVERIFY(panel->checkNow());
        QTRY_COMPARE_WITH_TIMEOUT(panel->stage(), CUpdatePanel::StageOffer, 60000);
    } else if (which == RemindLater) {
        panel->remindLater(3600);
        QCOMPARE(panel->stage(), CUpdatePanel::StageDeferred);
        panel->setAutomaticChecks(60);
        QVERIFY(panel->nextAutomaticCheck() >= QDateTime::currentDateTimeUtc().addSecs(3500));
    } else if (which == DownloadError) {
        QVERIFY(QFile::remove(m_serverDir->packetPath()));
        QVERIFY(panel->installNow());
        QTRY_COMPARE_WITH_TIMEOUT(panel->stage(), CUpdatePanel::StageFailed, 120000);
    } else if (which == Scheduled) {
        // The next one comes an interval after this one, within the jitter.
        const QDateTime next = panel->nextAutomaticCheck();
        const QDateTime last = QDateTime::fromString(choices().value("lastCheck").toString(), Qt::ISODate);
        QVERIFY2(next >= last.addSecs(1) && next <= last.addMSecs(1500),
                 qPrintable(next.toString(Qt::ISODateWithMs) + " " + last.toString(Qt::ISODateWithMs)));
    }

    saveScreenshot(*dialog, shotPrefix + QLatin1String("-end"));
    QCOMPARE(int(panel->stage()), stage);
    QCOMPARE(panel->headline(), headline);
    QString text = shownText(*panel);
    QVERIFY2(text.contains(shown), qPrintable(text));
    auto *detailsLabel = panel->findChild<QLabel *>(QStringLiteral("detailsLabel"));
    QCOMPARE(detailsLabel->isVisible() ? detailsLabel->text() : QString(), details);
    // The result's name shows in the details line only.
    if (!details.isEmpty())
        text.remove(details);
    QVERIFY2(!text.contains(QLatin1String("UPGRADE_OP")), qPrintable(text));
    QCOMPARE(availableSpy.count(), available);
    QCOMPARE(restartSpy.count(), restarts);
    const QJsonValue value = choices().value(recorded);
    QVERIFY2(!value.isUndefined() && !value.isNull() && value != QJsonValue(QString()) && value != QJsonArray(),
             qPrintable(recorded));

    if (which == OfferNotesDelta) {
        // The launcher and the upgrader put 2.0 in place; the next start says so.
        dialog.reset();
        QVERIFY(FileTree::writeFile(solutionInfoPath(), solutionInfo("2.0", newReleaseDate, 1)));
        CUpdatePanel next(solutionInfoPath());
        next.show();
        QCOMPARE(next.notice(), QStringLiteral("Updated to 2.0."));
        QVERIFY2(shownText(next).contains(QLatin1String("Safer updates")), qPrintable(shownText(next)));
        saveScreenshot(next, QStringLiteral("updated-to-2.0"));
        CUpdatePanel again(solutionInfoPath());
        QCOMPARE(again.notice(), QString());
    }
}

void tst_UpdatePanel::texts_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");

    const QLocale c = QLocale::c();
    QTest::newRow("bytes") << UpdateText::size(888, c) << "888 bytes";
    QTest::newRow("one byte") << UpdateText::size(1, c) << "1 byte";
    QTest::newRow("KiB") << UpdateText::size(1536, c) << "1.5 KiB";
    QTest::newRow("MiB, not MB") << UpdateText::size(1677722, c) << "1.6 MiB";
    QTest::newRow("unknown size") << UpdateText::size(-1, c) << "";
    QTest::newRow("date") << UpdateText::releaseDate(202401150900, QLocale(QLocale::English, QLocale::UnitedStates))
                          << "Monday, January 15, 2024";
    QTest::newRow("German date") << UpdateText::releaseDate(202401150900, QLocale(QLocale::German, QLocale::Germany))
                                 << "Montag, 15. Januar 2024";
    QTest::newRow("no date") << UpdateText::releaseDate(202413450900, c) << "";
    QTest::newRow("progress before the speed") << UpdateText::progress(1048576, 4194304, 0, c) << "1.0 MiB of 4.0 MiB";
    QTest::newRow("progress") << UpdateText::progress(1048576, 4194304, 524288, c)
                              << "1.0 MiB of 4.0 MiB, 512.0 KiB/s, about 6 seconds left";
    QTest::newRow("minutes left") << UpdateText::progress(0, 100 * 1048576, 524288, c)
                                  << "0 bytes of 100.0 MiB, 512.0 KiB/s, about 3 minutes left";
    QTest::newRow("total unknown") << UpdateText::progress(2048, -1, 0, c) << "2.0 KiB";
    for (int code : {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 2, 99}) {
        const UpdateText::Failure failure = UpdateText::failure(UpgradeOpError(code), true);
        const QString words = failure.strWhat + failure.strNextStep;
        // In words, with a next step, the name in the details only.
        QTest::newRow(qPrintable(QStringLiteral("failure %1").arg(code)))
            << QString::number(!failure.strWhat.isEmpty() && !failure.strNextStep.isEmpty()
                               && !words.contains(QLatin1String("UPGRADE_OP")) && !words.contains(QString::number(code))
                               && failure.strDetails.startsWith(QLatin1String("Details: ")))
            << "1";
    }
}

void tst_UpdatePanel::texts()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

void tst_UpdatePanel::notesAreText_data()
{
    QTest::addColumn<QString>("notes");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("listItems");

    QTest::newRow("plain text") << "One line\nand its continuation" << "One line and its continuation" << 1 << 0;
    QTest::newRow("heading and list") << "# New\n- one\n* two\n\nAfter." << "New\none\ntwo\nAfter." << 4 << 2;
    QTest::newRow("bold") << "a **b** c **d" << "a b c **d" << 1 << 0;
    QTest::newRow("HTML stays text") << "<h1>x</h1><img src=\"http://e/x.png\">"
                                     << "<h1>x</h1><img src=\"http://e/x.png\">" << 1 << 0;
    QTest::newRow("not a heading") << "#hashtag" << "#hashtag" << 1 << 0;
    QTest::newRow("empty") << "" << "" << 1 << 0;
}

void tst_UpdatePanel::notesAreText()
{
    QFETCH(QString, notes);
    QFETCH(QString, plain);
    QFETCH(int, blocks);
    QFETCH(int, listItems);
    QTextDocument document;
    renderReleaseNotes(&document, notes);
    QCOMPARE(document.toPlainText(), plain);
    QCOMPARE(document.blockCount(), blocks);
    int items = 0;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
        items += block.textList() ? 1 : 0;
    QCOMPARE(items, listItems);
    // No image, link or anchor came from the text.
    QVERIFY(!document.toHtml().contains(QLatin1String("<img")));
    QVERIFY(!document.toHtml().contains(QLatin1String("<a ")));
}

QTEST_MAIN(tst_UpdatePanel)
#include "tst_updatepanel.moc"
