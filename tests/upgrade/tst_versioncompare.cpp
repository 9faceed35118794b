#include "upgrade/cupgrade.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/truststore.h"

#include "common/clusterfile.h"
#include "common/messagecapture.h"
#include "common/testserver.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <memory>
#include <vector>

namespace {

typedef QVector<ModuleVersion> Modules;

ModuleVersion installed(const char *id, qint64 releaseDate, int state)
{
    ModuleVersion m;
    m.strId = QString::fromLatin1(id);
    m.strVersion = QStringLiteral("installed");
    m.strUrl = QStringLiteral("name of ") + m.strId;
    m.llReleaseDate = releaseDate;
    m.nState = state;
    m.dSize = 3;
    return m;
}

ModuleVersion offered(const char *id, qint64 releaseDate, const char *tag = "")
{
    ModuleVersion m;
    m.strId = QString::fromLatin1(id);
    m.strVersion = QStringLiteral("server");
    m.strUrl = QStringLiteral("http://server/") + m.strId + QLatin1String(tag) + QLatin1String(".7z");
    m.strIconUrl = QStringLiteral("http://server/icon.png");
    m.strDesc = QString::fromLatin1(tag);
    m.llReleaseDate = releaseDate;
    m.dSize = 12.5;
    return m;
}

// Compact form of a list for comparisons: "id/date/url/state" per record.
QStringList describe(const Modules &modules)
{
    QStringList out;
    for (const ModuleVersion &m : modules)
        out << QStringLiteral("%1/%2/%3/%4/%5/%6/%7/%8")
                   .arg(m.strId, QString::number(m.llReleaseDate), m.strUrl, QString::number(m.nState),
                        m.strVersion, m.strDesc, QString::number(m.dSize), m.strIconUrl);
    return out;
}

} // namespace

class tst_VersionCompare : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void getUpdateModuleInfo_data();
    void getUpdateModuleInfo();
    void needListIsAppendedTo();
    void check_data();
    void check();
    void needListKeptOnFailure();
    void signedAnswer_data();
    void signedAnswer();

private:
    QString writeManifest(const QByteArray &modules);

    QTemporaryDir m_root;
    std::vector<std::unique_ptr<ScopedEnvironmentVariable>> m_environment;
};

void tst_VersionCompare::initTestCase()
{
    for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        m_environment.emplace_back(new ScopedEnvironmentVariable(name));
        m_environment.back()->unset();
    }
    QVERIFY(m_root.isValid());
}

void tst_VersionCompare::getUpdateModuleInfo_data()
{
    QTest::addColumn<Modules>("local");
    QTest::addColumn<Modules>("server");
    QTest::addColumn<Modules>("need");

    QTest::newRow("newer on the server") << Modules{installed("A", 100, 1)} << Modules{offered("A", 200)}
                                         << Modules{offered("A", 200)};
    QTest::newRow("state 0 takes no part") << Modules{installed("A", 100, 0)} << Modules{offered("A", 200)}
                                           << Modules();
    QTest::newRow("states 2 and 3 pass") << Modules{installed("A", 100, 2), installed("B", 100, 3)}
                                         << Modules{offered("A", 200), offered("B", 200)}
                                         << Modules{offered("A", 200), offered("B", 200)};
    QTest::newRow("equal dates") << Modules{installed("A", 200, 2)} << Modules{offered("A", 200)} << Modules();
    QTest::newRow("older on the server: no downgrade") << Modules{installed("A", 300, 1)}
                                                       << Modules{offered("A", 200)} << Modules();
    QTest::newRow("ids differ in case") << Modules{installed("A", 100, 1)} << Modules{offered("a", 200)}
                                        << Modules();
    QTest::newRow("installed order") << Modules{installed("A", 100, 1), installed("B", 100, 1)}
                                     << Modules{offered("B", 300), offered("A", 200)}
                                     << Modules{offered("A", 200), offered("B", 300)};
    QTest::newRow("server order for one id")
        << Modules{installed("A", 100, 1)} << Modules{offered("A", 300, "x"), offered("B", 900), offered("A", 200, "y")}
        << Modules{offered("A", 300, "x"), offered("A", 200, "y")};
    QTest::newRow("one id twice on the server, one of them older")
        << Modules{installed("A", 250, 1)} << Modules{offered("A", 300, "x"), offered("A", 200, "y")}
        << Modules{offered("A", 300, "x")};
    QTest::newRow("one id installed twice")
        << Modules{installed("A", 100, 1), installed("A", 150, 2)} << Modules{offered("A", 200)}
        << Modules{offered("A", 200), offered("A", 200)};
    QTest::newRow("installed twice, once with state 0")
        << Modules{installed("A", 100, 0), installed("A", 150, 2)} << Modules{offered("A", 200)}
        << Modules{offered("A", 200)};
    QTest::newRow("offered but not installed") << Modules{installed("A", 100, 1)}
                                               << Modules{offered("Z", 200), offered("A", 50)} << Modules();
    QTest::newRow("nothing installed") << Modules() << Modules{offered("A", 200)} << Modules();
    QTest::newRow("nothing offered") << Modules{installed("A", 100, 1)} << Modules() << Modules();
    QTest::newRow("negative and extreme dates")
        << Modules{installed("A", -5, 1), installed("B", std::numeric_limits<qint64>::max(), 1),
                   installed("C", std::numeric_limits<qint64>::min(), 1)}
        << Modules{offered("A", -4), offered("B", std::numeric_limits<qint64>::max()), offered("C", 0)}
        << Modules{offered("A", -4), offered("C", 0)};
    QTest::newRow("empty id matches empty id") << Modules{installed("", 1, 1)} << Modules{offered("", 2)}
                                               << Modules{offered("", 2)};
}

void tst_VersionCompare::getUpdateModuleInfo()
{
    QFETCH(Modules, local);
    QFETCH(Modules, server);
    QFETCH(Modules, need);

    Modules result;
    QVERIFY(CUpgrade::getUpdateModuleInfo(local, server, result));
    QCOMPARE(describe(result), describe(need));
}

void tst_VersionCompare::needListIsAppendedTo()
{
    Modules result{offered("X", 1)};
    QVERIFY(CUpgrade::getUpdateModuleInfo(Modules{installed("A", 1, 1)}, Modules{offered("A", 2)}, result));
    QCOMPARE(describe(result), describe(Modules{offered("X", 1), offered("A", 2)}));
}

QString tst_VersionCompare::writeManifest(const QByteArray &modules)
{
    const QString path = m_root.filePath(QStringLiteral("manifest.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write("{\"modules\": [" + modules + "]}");
    return path;
}

void tst_VersionCompare::check_data()
{
    QTest::addColumn<QString>("clusterFile"); // "none", "valid", "unknown current", "wrong key"
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("needIds");
    QTest::addColumn<QStringList>("serverIds");
    QTest::addColumn<QString>("warning");

    const QByteArray good = R"({"ID": "B", "ReleaseDate": 300, "IconUrl": "i", "Packet": "b.7z"},)"
                            R"({"ID": "A", "ReleaseDate": 200, "IconUrl": "i", "Packet": "a.7z"},)"
                            R"({"ID": "C", "ReleaseDate": 500, "IconUrl": "i", "Packet": "c.7z"},)"
                            R"({"ID": "D", "ReleaseDate": 1, "IconUrl": "i", "Packet": "d.7z"})";
    const QString cfgFailed = QStringLiteral("read upgrade server cluster info from cfg failed");
    const QString networkFailed = QStringLiteral("getVersionInfoFromServer failed");

    QTest::newRow("modules to upgrade") << QStringLiteral("valid") << good << int(UPGRADE_OP_SUCCESS)
                                        << QStringList{QStringLiteral("A"), QStringLiteral("B")}
                                        << QStringList{QStringLiteral("B"), QStringLiteral("A"), QStringLiteral("C"),
                                                       QStringLiteral("D")}
                                        << QString();
    QTest::newRow("nothing offered") << QStringLiteral("valid") << QByteArray() << int(UPGRADE_OP_SUCCESS)
                                     << QStringList() << QStringList() << QString();
    QTest::newRow("no server cluster file") << QStringLiteral("none") << good << int(UPGRADE_OP_READ_SERVER_CFG_FAILED)
                                            << QStringList() << QStringList() << cfgFailed;
    QTest::newRow("current server not among the servers")
        << QStringLiteral("unknown current") << good << int(UPGRADE_OP_READ_SERVER_CFG_FAILED) << QStringList()
        << QStringList() << cfgFailed;
    QTest::newRow("token refused") << QStringLiteral("wrong key") << good << int(UPGRADE_OP_NETWORK_FAILED)
                                   << QStringList() << QStringList() << networkFailed;
    QTest::newRow("second of three modules unreadable")
        << QStringLiteral("valid")
        << QByteArray(R"({"ID": "A", "ReleaseDate": 200, "IconUrl": "i", "Packet": "a.7z"},)"
                      R"({"ID": "B", "ReleaseDate": 300, "Packet": "b.7z"},)"
                      R"({"ID": "C", "ReleaseDate": 500, "IconUrl": "i", "Packet": "c.7z"})")
        << int(UPGRADE_OP_NETWORK_FAILED) << QStringList() << QStringList{QStringLiteral("A")} << networkFailed;
}

void tst_VersionCompare::check()
{
    QFETCH(QString, clusterFile);
    QFETCH(QByteArray, manifest);
    QFETCH(int, result);
    QFETCH(QStringList, needIds);
    QFETCH(QStringList, serverIds);
    QFETCH(QString, warning);

    QVERIFY(!writeManifest(manifest).isEmpty());
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QStringLiteral("key")), qPrintable(server.errorText()));

    ScopedServerClusterFile cluster;
    if (clusterFile != QLatin1String("none")) {
        const QString key = clusterFile == QLatin1String("wrong key") ? QStringLiteral("other") : QStringLiteral("key");
        QVERIFY(cluster.write(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(), key)));
        if (clusterFile == QLatin1String("unknown current"))
            QVERIFY(cluster.replaceText(QStringLiteral(">test<"), QStringLiteral(">nobody<")));
    }

    CUpgrade upgrade;
    QSignalSpy spy(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish);
    upgrade.setLocalModuleVersion(Modules{installed("A", 100, 1), installed("B", 100, 2), installed("C", 100, 0),
                                          installed("E", 100, 1)});
    upgrade.setOpMode(CUpgrade::OP_MODE_GET_UPDATE_MODULE_VERSION);
    MessageCapture capture;
    upgrade.start();
    QVERIFY(upgrade.wait(60000));

    QCOMPARE(spy.count(), 1);
    const QList<QVariant> arguments = spy.takeFirst();
    QCOMPARE(int(arguments.at(0).value<UpgradeOpError>()), result);
    const Modules need = arguments.at(1).value<Modules>();
    const Modules offeredModules = arguments.at(2).value<Modules>();
    QStringList ids;
    for (const ModuleVersion &m : need)
        ids << m.strId;
    QCOMPARE(ids, needIds);
    ids.clear();
    for (const ModuleVersion &m : offeredModules)
        ids << m.strId;
    QCOMPARE(ids, serverIds);
    // The need list holds the server's records.
    for (const ModuleVersion &m : need) {
        QCOMPARE(m.strUrl, server.url() + QLatin1String("/packets/") + m.strId.toLower() + QLatin1String(".7z"));
        QCOMPARE(m.nState, 0);
    }
    // An installation that trusts no release key is told so once per check.
    if (warning.isEmpty())
        QCOMPARE(capture.warnings(),
                 QStringList{QStringLiteral("updates are not verified: the installation trusts no release key")});
    else
        QCOMPARE(capture.warnings().last(), warning);
}

void tst_VersionCompare::needListKeptOnFailure()
{
    // A failed check leaves the need list as it came; a successful one replaces it.
    QVERIFY(!writeManifest(R"({"ID": "A", "ReleaseDate": 200, "IconUrl": "i", "Packet": "a.7z"})").isEmpty());
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QStringLiteral("key")), qPrintable(server.errorText()));
    CUpgrade upgrade;
    const Modules local{installed("A", 100, 1)};
    Modules need{offered("X", 1)};
    Modules offeredModules;
    {
        MessageCapture capture;
        QCOMPARE(upgrade.getUpdateModuleVersion(local, need, offeredModules), UPGRADE_OP_READ_SERVER_CFG_FAILED);
    }
    QCOMPARE(describe(need), describe(Modules{offered("X", 1)}));
    QVERIFY(offeredModules.isEmpty());

    ScopedServerClusterFile cluster;
    QVERIFY(cluster.write(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(),
                                                        QStringLiteral("key"))));
    QCOMPARE(upgrade.getUpdateModuleVersion(local, need, offeredModules), UPGRADE_OP_SUCCESS);
    QCOMPARE(need.size(), 1);
    QCOMPARE(need.first().strId, QStringLiteral("A"));
    QCOMPARE(need.first().llReleaseDate, qint64(200));
}

// The signed document is opened on a second thread from a first look at the
// answer; only the envelope the full reading finds counts.
void tst_VersionCompare::signedAnswer_data()
{
    QTest::addColumn<QByteArray>("answer"); // @ the trusted release, # one signed by another key
    QTest::addColumn<int>("result");

    const QByteArray modules = R"("retcode": 0, "value": {"upgrade": [{"ID": "A", "Version": "2.0", )"
                               R"("ReleaseDate": 200, "Desc": "d", "IconUrl": "i", "Url": "http://h/p/a.7z"}]})";
    const int accepted = int(UPGRADE_OP_SUCCESS);
    const int refused = int(UPGRADE_OP_RELEASE_NOT_TRUSTED);
    QTest::newRow("release last") << "{" + modules + R"(, "release": @})" << accepted;
    QTest::newRow("release first") << R"({"release": @, )" + modules + "}" << accepted;
    QTest::newRow("twice, the trusted one last") << R"({"release": #, )" + modules + R"(, "release": @})" << accepted;
    QTest::newRow("twice, the other one last") << R"({"release": @, )" + modules + R"(, "release": #})" << refused;
    // The first look matches the key's bytes, the reader its decoded text.
    QTest::newRow("the other one last, its key escaped")
        << R"({"release": @, )" + modules + R"(, "rel\u0065ase": #})" << refused;
    QTest::newRow("only inside the value")
        << QByteArray(R"({"retcode": 0, "value": {"release": @, "upgrade": []}})") << refused;
    QTest::newRow("a text that looks like one")
        << QByteArray(R"({"retcode": 0, "note": "\"release\": {\"signed\": 1}", "value": {"upgrade": []}})")
        << refused;
}

void tst_VersionCompare::signedAnswer()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, result);

    Trust::ReleaseDocument document;
    document.llSerial = 1;
    document.expires = QDateTime::currentDateTimeUtc().addDays(1);
    Trust::ReleaseModule module;
    module.strId = QStringLiteral("A");
    module.strVersion = QStringLiteral("2.0");
    module.llReleaseDate = 200;
    module.strDesc = QStringLiteral("d");
    module.strIconUrl = QStringLiteral("i");
    module.strPacket = QStringLiteral("a.7z");
    module.llBytes = 10;
    module.baSha256 = QByteArray(32, 'a');
    document.vecModules.append(module);
    QByteArray releases[2];
    QByteArray trustedKey;
    for (QByteArray &release : releases) {
        QByteArray privatePem;
        QString error;
        Trust::SignedEnvelope envelope;
        envelope.baSigned = Trust::releaseDocumentToJson(document);
        Trust::SignatureEntry signature;
        QVERIFY(Trust::generateKeyPair(privatePem, trustedKey, error));
        QVERIFY(Trust::signBytes(privatePem, envelope.baSigned, signature.baSignature, error));
        signature.strKeyId = Trust::keyId(trustedKey);
        envelope.vecSignatures.append(signature);
        release = Trust::envelopeToJson(envelope);
    }
    QFile file(m_root.filePath(QStringLiteral("answer.json")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(answer.replace('#', releases[0]).replace('@', releases[1]));
    file.close();
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QStringLiteral("key"), {QStringLiteral("--answer"), file.fileName()}),
             qPrintable(server.errorText()));

    ScopedServerClusterFile cluster;
    QVERIFY(cluster.write(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(),
                                                        QStringLiteral("key"))));
    const QString appDir = QCoreApplication::applicationDirPath();
    // Gone before the cluster file's directories are.
    struct TrustFiles {
        QString appDir;
        ~TrustFiles()
        {
            QFile::remove(appDir + QLatin1Char('/') + Trust::trustFileRelativePath());
            QFile::remove(appDir + QLatin1Char('/') + Trust::serialFileRelativePath());
            QFile::remove(appDir + QLatin1Char('/') + Trust::trustRecordRelativePath());
        }
    } trustFiles{appDir};
    Trust::CTrustStore store(appDir);
    QString error;
    QVERIFY2(store.load(error) && store.addKey(trustedKey, error), qPrintable(error));

    CUpgrade upgrade;
    Modules need;
    Modules offeredModules;
    MessageCapture capture;
    QCOMPARE(int(upgrade.getUpdateModuleVersion(Modules{installed("A", 100, 1)}, need, offeredModules)), result);
    QCOMPARE(need.size(), result == int(UPGRADE_OP_SUCCESS) ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_VersionCompare)
#include "tst_versioncompare.moc"
