// Staged rollouts, halts, channels and outcome reports through the real
// programs: tarvex-release sets a rollout and signs it, the development
// server or nginx serves it, and tarvex-upgrade in a copy of an
// installation takes the release its bucket and channel give it, refuses
// what is not genuine, and reports how the upgrade went where it is asked to.
// A product's own main form, which knows the engine by its public API alone,
// reports as the tool does.

#include "common/processend.h"
#include "common/filetree.h"
#include "common/loopbackport.h"
#include "common/nginxsite.h"
#include "common/programcopy.h"
#include "common/testserver.h"
#include "common/toolrun.h"
#include "upgrade/trust/rollout.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;

namespace {

const char tokenKey[] = "tst-rollout-key";
const QString releaseTool = QStringLiteral(TVX_PUBLISHER_BIN_DIR "/") + PlatformNames::releaseToolFileName();
const QString builtTool = QStringLiteral(TVX_BIN_DIR "/") + PlatformNames::upgradeToolFileName();

enum Host { DevServer, Nginx };
enum Scenario {
    NoRollout,      // 2.0 to everyone, as before rollouts
    Quarter,        // 2.0 at 25 %
    Halted,         // 2.0 at 25 %, then halted
    Replayed,       // the 25 % document served again after the installation took the halt
    AlteredSig,     // the 25 % document with a signature byte changed
    Beta,           // 2.0 on the beta channel only
    Reports,        // 2.0 to everyone, reports to nginx
    ProductReports, // the same, downloaded and applied by a product's own main form
    AutoHalt        // 2.0 at 50 %, reports of reverts in the log halt it
};

Run run(const QString &program, const QStringList &arguments)
{
    return runTool(program, arguments);
}

// An installation id whose bucket for demo 2.0 is inside (below 25) or
// outside (50 and above) every share the rows use.
QString installationId(bool isInside)
{
    for (int i = 0;; ++i) {
        const QString id = QStringLiteral("%1").arg(i, 32, 16, QLatin1Char('0'));
        const int bucket = Trust::rolloutBucket(id, QStringLiteral("demo"), QStringLiteral("2.0"));
        if (isInside ? bucket < 25 : bucket >= 50)
            return id;
    }
}

QString reportLine(const QString &id, const char *health)
{
    return QStringLiteral("2026-12-08T10:00:00+00:00 v=1&i=%1&m=demo&f=1.0&t=2.0&b=%2&c=0&d=0&a=0&k=full&n=100"
                          "&dms=40&h=%3&why=&at=1\n")
        .arg(id)
        .arg(Trust::rolloutBucket(id, QStringLiteral("demo"), QStringLiteral("2.0")))
        .arg(QLatin1String(health));
}

} // namespace

class tst_StagedRollout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void rollout_data();
    void rollout();
    void cleanup();

private:
    QString path(const QString &relative) const { return m_work->filePath(relative); }
    QScopedPointer<QTemporaryDir> m_work;
    NginxSite m_nginx;
};

void tst_StagedRollout::initTestCase()
{
    QVERIFY2(QFileInfo(releaseTool).isExecutable(), "build the tarvex-release target first");
    QVERIFY2(QFileInfo(builtTool).isExecutable(), "build the tarvex-upgrade target first");
}

void tst_StagedRollout::rollout_data()
{
    QTest::addColumn<int>("host");
    QTest::addColumn<int>("scenario");
    QTest::addColumn<bool>("isInside");   // the installation's bucket lies inside the rollout
    QTest::addColumn<QString>("channel");  // the installation's, set with tarvex-upgrade channel set
    QTest::addColumn<bool>("isReporting");
    QTest::addColumn<int>("expected");     // exit status of the download
    QTest::addColumn<QString>("installed"); // version of demo afterwards

    QTest::newRow("no rollout") << int(DevServer) << int(NoRollout) << false << "stable" << true << 0 << "2.0";
    QTest::newRow("25 %, inside") << int(DevServer) << int(Quarter) << true << "stable" << true << 0 << "2.0";
    QTest::newRow("25 %, outside: the previous release") << int(DevServer) << int(Quarter) << false << "stable"
                                                         << true << 0 << "1.0";
    QTest::newRow("25 %, outside, nginx") << int(Nginx) << int(Quarter) << false << "stable" << true << 0 << "1.0";
    QTest::newRow("halted, inside") << int(DevServer) << int(Halted) << true << "stable" << true << 0 << "1.0";
    QTest::newRow("older document replayed after the halt") << int(DevServer) << int(Replayed) << true << "stable"
                                                            << true << 14 << "0.5";
    QTest::newRow("signature altered") << int(DevServer) << int(AlteredSig) << true << "stable" << true << 14 << "0.5";
    QTest::newRow("beta release, stable installation") << int(DevServer) << int(Beta) << true << "stable" << true << 0
                                                       << "1.0";
    QTest::newRow("beta release, beta installation") << int(DevServer) << int(Beta) << false << "beta" << true << 0
                                                     << "2.0";
    QTest::newRow("reports on") << int(Nginx) << int(Reports) << true << "stable" << true << 0 << "2.0";
    QTest::newRow("reports off") << int(Nginx) << int(Reports) << true << "stable" << false << 0 << "2.0";
    QTest::newRow("reports from a product's own form") << int(Nginx) << int(ProductReports) << true << "stable"
                                                       << true << 0 << "2.0";
    QTest::newRow("reports of reverts halt the release, inside") << int(Nginx) << int(AutoHalt) << true << "stable"
                                                                 << true << 0 << "1.0";
    QTest::newRow("reports of reverts halt the release, outside") << int(Nginx) << int(AutoHalt) << false << "stable"
                                                                  << true << 0 << "1.0";
}

void tst_StagedRollout::rollout()
{
    QFETCH(int, host);
    QFETCH(int, scenario);
    QFETCH(bool, isInside);
    QFETCH(QString, channel);
    QFETCH(bool, isReporting);
    QFETCH(int, expected);
    QFETCH(QString, installed);
    if (host == Nginx && NginxSite::missing())
        QSKIP(NginxSite::missing());

    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    // nginx started as root serves as "nobody", which must reach the site.
    QFile::setPermissions(m_work->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                              | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);

    // An installation of demo 0.5 with its own id and channel.
    const QString app = path("app");
    const QString tool = app + "/" + PlatformNames::upgradeToolFileName();
    QVERIFY(ProgramCopy::copyProgram(builtTool, tool));
    QVERIFY(ProgramCopy::installSevenZip(app));
    QVERIFY(writeFile(app + "/Solutions/SolutionInfo.xml",
                      "<?xml version=\"1.0\"?>\n<Solution><SolutionS><Solution id=\"demo\" name=\"Demo\">"
                      "<Version>0.5</Version><ReleaseDate>202301010000</ReleaseDate><State>2</State>"
                      "<Desc>Demo</Desc><Size>1</Size></Solution></SolutionS></Solution>\n"));
    QVERIFY(writeFile(app + "/Solutions/demo.txt", "demo 0.5\n"));
    QVERIFY(writeFile(app + "/Conf/System/Installation.json",
                      QJsonDocument(QJsonObject{{"id", installationId(isInside)}}).toJson()));
    if (channel != QLatin1String("stable"))
        QCOMPARE(run(tool, {"channel", "set", channel}).exitCode, 0);
    QCOMPARE(QString::fromUtf8(run(tool, {"channel", "show"}).out.trimmed()), channel);
    if (!isReporting)
        QCOMPARE(run(tool, {"reports", "off"}).exitCode, 0);

    // The publisher: 1.0, then 2.0, signed with the offer of the row.
    const QString site = path("site");
    const QString key = path("release.key");
    QCOMPARE(run(releaseTool, {"keygen", "--out", key}).exitCode, 0);
    for (const QString version : {"1.0", "2.0"}) {
        QVERIFY(writeFile(path("tree" + version + "/Solutions/demo.txt"), "demo " + version.toUtf8() + "\n"));
        QCOMPARE(run(releaseTool, {"pack", "--root", site, "--tree", path("tree" + version), "--module", "demo",
                                   "--version", version, "--release-date",
                                   version == QLatin1String("1.0") ? "202401010000" : "202501010000"})
                     .exitCode,
                 0);
    }
    const int port = unusedLoopbackPort();
    const QString reportUrl = QStringLiteral("http://127.0.0.1:%1/reports").arg(port);
    const QStringList signing{"--root", site, "--module", "demo", "--key", key};
    if (scenario == NoRollout || scenario == Reports || scenario == ProductReports)
        QCOMPARE(run(releaseTool, {"sign", "--root", site, "--key", key, "--report-url", reportUrl}).exitCode, 0);
    else if (scenario == Beta)
        QCOMPARE(run(releaseTool, QStringList{"rollout", "set", "--percent", "100", "--channel", "beta"} + signing)
                     .exitCode,
                 0);
    else
        QCOMPARE(run(releaseTool, QStringList{"rollout", "set", "--percent", scenario == AutoHalt ? "50" : "25",
                                              "--report-url", reportUrl} + signing)
                     .exitCode,
                 0);
    const QByteArray quarterDocument = readFile(site + "/release.json");
    if (scenario == Halted || scenario == Replayed) {
        const Run halt = run(releaseTool, QStringList{"rollout", "halt"} + signing);
        QCOMPARE(halt.exitCode, 0);
        QVERIFY2(halt.out.contains("the others are offered 1.0"), halt.out.constData());
    }
    if (scenario == AlteredSig) {
        QJsonObject envelope = QJsonDocument::fromJson(quarterDocument).object();
        QByteArray sig = envelope.value("signatures").toArray().at(0).toObject().value("sig").toString().toLatin1();
        QByteArray raw = QByteArray::fromBase64(sig);
        raw[5] = char(raw.at(5) ^ 0x01);
        QVERIFY(writeFile(site + "/release.json", QByteArray(quarterDocument).replace(sig, raw.toBase64())));
    }
    if (scenario == AutoHalt) {
        // Three of four installations inside reverted: above 30 %, enough reports.
        QVERIFY(writeFile(path("reports.log"), (reportLine("a1", "reverted") + reportLine("a2", "reverted")
                                                 + reportLine("a3", "reverted") + reportLine("a4", "healthy"))
                                                    .toUtf8()));
        const QStringList status{"rollout", "status", "--log", path("reports.log"), "--auto-halt-above", "30",
                                 "--min-reports", "4", "--root", site, "--key", key};
        const Run halt = run(releaseTool, status);
        QVERIFY2(halt.exitCode == 0, halt.err.constData());
        QVERIFY2(halt.out.contains("Halting demo 2.0: 75.0 % of 4 report(s)"), halt.out.constData());
        // Run again, it finds the release halted and signs nothing.
        const QByteArray halted = readFile(site + "/release.json");
        QVERIFY(run(releaseTool, status).out.contains("halted already"));
        QCOMPARE(readFile(site + "/release.json"), halted);
        const Run json = run(releaseTool, {"rollout", "status", "--log", path("reports.log"), "--json"});
        const QJsonObject release =
            QJsonDocument::fromJson(json.out).object().value("releases").toArray().at(0).toObject();
        QCOMPARE(release.value("installations").toInt(), 4);
        QCOMPARE(release.value("reverted").toInt(), 3);
        QCOMPARE(release.value("medianDownloadMs").toInt(), 40);
    }
    QCOMPARE(run(tool, {"trust", "add", "--public", key + ".pub"}).exitCode, 0);

    TestServer server;
    QString hostAndPort;
    if (host == Nginx) {
        m_nginx.setPort(port);
        QVERIFY(m_nginx.start(releaseTool, site, path("published"), tokenKey));
        hostAndPort = m_nginx.hostAndPort();
    } else {
        QVERIFY2(server.start(site, tokenKey), qPrintable(server.errorText()));
        hostAndPort = server.hostAndPort();
    }
    QCOMPARE(run(tool, {"servers", "write", "--server", "test=" + hostAndPort, "--current", "test", "--prefix", "/api",
                        "--path", "/upgrade/query", "--key", tokenKey})
                 .exitCode,
             0);
    if (scenario == Replayed) {
        // The halt is taken, and its serial kept; the older document then
        // comes back, as a stale mirror or an attacker would serve it.
        QCOMPARE(run(tool, {"check"}).exitCode, 0);
        QVERIFY(writeFile(site + "/release.json", quarterDocument));
    }

    if (scenario == ProductReports) {
        const QString launcher = app + "/" + PlatformNames::launcherFileName();
        QVERIFY(ProgramCopy::copyProgram(QStringLiteral(TVX_BIN_DIR "/") + PlatformNames::launcherFileName(), launcher));
        QVERIFY(QFile::copy(QStringLiteral(TVX_PRODUCT_FORM), app + "/Solutions/" + PlatformNames::mainFormPluginFileName()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TARVEX_PRODUCT_STEPS", "check,download,apply");
        env.insert("TARVEX_PRODUCT_RECORD", path("records.txt"));
        QProcess product;
        product.setProcessEnvironment(env);
        product.setWorkingDirectory(app);
        startProcess(product, launcher, QStringList());
        QVERIFY(waitForProcessEnd(product, 300000));
        QCOMPARE(readFile(path("records.txt")), QByteArray("check=0 download=0 apply=0\n"));
    }
    const QMap<QString, QByteArray> before = FileTree::snapshot(app);
    const Run download = scenario == ProductReports ? Run{0, {}, {}} : run(tool, {"download"});
    QVERIFY2(download.exitCode == expected, download.err.constData());
    // Qt's messages reach no standard error under Wine: there the result
    // codes and the files tell.
#ifndef Q_OS_WIN
    const bool isLogged = true;
#else
    const bool isLogged = false;
#endif
    if (expected != 0) {
        QVERIFY2(!isLogged || download.err.contains("not trusted"), download.err.constData());
        QCOMPARE(FileTree::snapshot(app), before);
        return;
    }
    if (isLogged && installed != QLatin1String("2.0"))
        QVERIFY2(download.err.contains("rollout: demo 2.0 is not offered"), download.err.constData());
    const Run apply = scenario == ProductReports ? Run{0, {}, {}} : run(tool, {"apply"});
    QVERIFY2(apply.exitCode == 0, apply.err.constData());
    QCOMPARE(readFile(app + "/Solutions/demo.txt"), "demo " + installed.toUtf8() + "\n");
    // The same installation checks again: nothing more for it.
    QCOMPARE(run(tool, {"download"}).exitCode, 2);

    if (scenario == Reports || scenario == ProductReports) {
        const QString log = path("published/logs/reports.log");
        if (isReporting) {
            QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains("&t=2.0&"), 10000);
            const QByteArray line = readFile(log);
            QCOMPARE(line.count('\n'), 1);
            for (const char *field : {"m=demo", "f=0.5", "d=0", "a=0", "k=full", "v=1"})
                QVERIFY2(line.contains(field), line.constData());
            // Nothing that names the installation itself.
            QVERIFY(!line.contains(installationId(isInside).toLatin1()));
            const Run status = run(releaseTool, {"rollout", "status", "--log", log});
            QVERIFY2(status.out.contains("demo 2.0: 1 installation(s), 1 success, 0 reverted, 0 failed"),
                     status.out.constData());
        } else {
            QCOMPARE(readFile(log), QByteArray());
        }
        QVERIFY(!QFileInfo::exists(app + "/Conf/System/PendingReport.json"));
    }
}

void tst_StagedRollout::cleanup()
{
    m_nginx.stop();
    m_nginx.setPort(0);
    m_work.reset();
}

QTEST_GUILESS_MAIN(tst_StagedRollout)
#include "tst_stagedrollout.moc"
