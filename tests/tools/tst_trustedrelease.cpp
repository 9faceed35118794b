// Signed releases end to end: tarvex-release makes and signs a site, the
// development server or a real nginx serves it, and tarvex-upgrade in a copy
// of the installation must upgrade from it, or refuse it and leave the
// installation exactly as it was.

#include "common/programcopy.h"
#include "common/filetree.h"
#include "common/nginxsite.h"
#include "common/testcerts.h"
#include "common/testserver.h"

#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;

// Under Wine the Qt messages of the programs do not reach their standard
// error, QT_FORCE_STDERR_LOGGING or not; the exit codes still say it all.
#ifdef Q_OS_WIN
#  define TVX_EXPECT_NO_MESSAGES() QEXPECT_FAIL("", "Qt messages do not reach stderr under Wine", Continue)
#else
#  define TVX_EXPECT_NO_MESSAGES() do { } while (false)
#endif

namespace {

const char tokenKey[] = "tst-trust-key";
const QString releaseTool = QStringLiteral(TVX_PUBLISHER_BIN_DIR "/") + PlatformNames::releaseToolFileName();
const QString builtTool = QStringLiteral(TVX_BIN_DIR "/") + PlatformNames::upgradeToolFileName();

enum Tamper { None, PacketAltered, PacketGrown, ManifestAltered, UntrustedKey, Expired, RolledBack, Unsigned,
              TrustFileInPacket, SignedRotation, PlainHttpPacket, WrongToken };
enum Host { DevServer, HttpsDevServer, Nginx };

struct Run
{
    int exitCode = -1;
    QByteArray err;
};

} // namespace

class tst_TrustedRelease : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void upgrade_data();
    void upgrade();
    void releaseToolRefusesBadInput_data();
    void releaseToolRefusesBadInput();
    void cleanup();

private:
    Run run(const QString &program, const QStringList &arguments, const QStringList &environment = {});
    QString path(const QString &relative) const { return m_work->filePath(relative); }

    QScopedPointer<QTemporaryDir> m_work;
    NginxSite m_nginx;
};

Run tst_TrustedRelease::run(const QString &program, const QStringList &arguments, const QStringList &environment)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    Run result;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    else
        process.kill();
    result.err = process.readAllStandardError();
    return result;
}

void tst_TrustedRelease::initTestCase()
{
    QVERIFY2(QFileInfo(releaseTool).isExecutable(), "build the tarvex-release target first");
    QVERIFY2(QFileInfo(builtTool).isExecutable(), "build the tarvex-upgrade target first");
}

void tst_TrustedRelease::upgrade_data()
{
    QTest::addColumn<int>("host");
    QTest::addColumn<int>("tamper");
    QTest::addColumn<bool>("isTrusting");
    QTest::addColumn<int>("expected");

    QTest::newRow("signed, dev server") << int(DevServer) << int(None) << true << 0;
    QTest::newRow("signed, nginx with token") << int(Nginx) << int(None) << true << 0;
    QTest::newRow("unsigned, no trusted key") << int(DevServer) << int(Unsigned) << false << 0;
    QTest::newRow("packet altered after signing") << int(DevServer) << int(PacketAltered) << true << 15;
    QTest::newRow("packet altered, nginx") << int(Nginx) << int(PacketAltered) << true << 15;
    QTest::newRow("nginx, wrong token key") << int(Nginx) << int(WrongToken) << true << 4;
    QTest::newRow("packet past its signed size") << int(DevServer) << int(PacketGrown) << true << 15;
    QTest::newRow("manifest entry altered after signing") << int(DevServer) << int(ManifestAltered) << true << 14;
    QTest::newRow("key not trusted") << int(DevServer) << int(UntrustedKey) << true << 14;
    QTest::newRow("expired") << int(DevServer) << int(Expired) << true << 14;
    QTest::newRow("older document after a newer") << int(DevServer) << int(RolledBack) << true << 14;
    QTest::newRow("unsigned, key trusted") << int(DevServer) << int(Unsigned) << true << 14;
    QTest::newRow("signed key rotation in packet") << int(DevServer) << int(SignedRotation) << true << 0;
    QTest::newRow("unsigned trust file in packet") << int(DevServer) << int(TrustFileInPacket) << true << 15;
    QTest::newRow("plain-http packet behind https") << int(HttpsDevServer) << int(PlainHttpPacket) << true << 16;
    QTest::newRow("plain-http packet behind https, unsigned")
        << int(HttpsDevServer) << int(PlainHttpPacket) << false << 16;
}

void tst_TrustedRelease::upgrade()
{
    QFETCH(int, host);
    QFETCH(int, tamper);
    QFETCH(bool, isTrusting);
    QFETCH(int, expected);
    if (host == Nginx && NginxSite::missing())
        QSKIP(NginxSite::missing());
    if (host == HttpsDevServer && !TestCerts::haveOpenSsl())
        QSKIP("the openssl program is needed for the test certificates");

    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    // nginx started as root serves as "nobody", which must reach the site.
    QFile::setPermissions(m_work->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                              | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    const QString app = path("app");
    const QString tool = app + "/" + PlatformNames::upgradeToolFileName();
    QVERIFY(ProgramCopy::copyProgram(builtTool, tool));
    QVERIFY(ProgramCopy::installSevenZip(app));
    QVERIFY(writeFile(app + "/Solutions/SolutionInfo.xml",
                      "<?xml version=\"1.0\"?>\n<Solution><SolutionS><Solution id=\"demo\" name=\"Demo\">"
                      "<Version>1.0</Version><ReleaseDate>202401010000</ReleaseDate><State>2</State>"
                      "<Desc>Demo</Desc><Size>1</Size></Solution></SolutionS></Solution>\n"));
    QVERIFY(writeFile(app + "/Solutions/demo.txt", "demo version 1\n"));

    // The publisher's side.
    const QString site = path("site");
    QVERIFY(QDir().mkpath(path("keys")));
    QCOMPARE(run(releaseTool, {"keygen", "--out", path("keys/release.key")}).exitCode, 0);
    QCOMPARE(run(releaseTool, {"keygen", "--out", path("keys/other.key")}).exitCode, 0);
    QVERIFY(writeFile(path("tree/Solutions/demo.txt"), "demo version 2\n"));
    if (tamper == TrustFileInPacket)
        QVERIFY(writeFile(path("tree/Conf/System/TrustedKeys.json"), readFile(path("keys/other.key.pub"))));
    if (tamper == SignedRotation) {
        QCOMPARE(run(releaseTool, {"rotate", "--key", path("keys/release.key"), "--public", path("keys/other.key.pub"),
                                   "--out", path("tree/Conf/System/TrustedKeys.json")})
                     .exitCode,
                 0);
    }
    QCOMPARE(run(releaseTool, {"pack", "--root", site, "--tree", path("tree"), "--module", "demo", "--version", "2.0",
                               "--release-date", "202501010000", "--desc", "Demo"})
                 .exitCode,
             0);
    const QString key = path(tamper == UntrustedKey ? "keys/other.key" : "keys/release.key");
    QStringList signArguments{"sign", "--root", site, "--key", key};
    if (tamper == Expired)
        signArguments << "--expires" << "2001-01-01T00:00:00Z";
    if (tamper != Unsigned && tamper != PlainHttpPacket)
        QCOMPARE(run(releaseTool, signArguments).exitCode, 0);
    if (tamper == PlainHttpPacket && isTrusting)
        QCOMPARE(run(releaseTool, signArguments).exitCode, 0);
    const QByteArray firstRelease = readFile(site + "/release.json");
    if (tamper == RolledBack)
        QCOMPARE(run(releaseTool, signArguments).exitCode, 0);
    if (isTrusting)
        QCOMPARE(run(tool, {"trust", "add", "--public", path("keys/release.key.pub")}).exitCode, 0);

    const QString packet = site + "/packets/demo-2.0.7z";
    if (tamper == PacketAltered) {
        QByteArray bytes = readFile(packet);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x55);
        QVERIFY(writeFile(packet, bytes));
    } else if (tamper == PacketGrown) {
        QVERIFY(writeFile(packet, readFile(packet) + QByteArray(4096, 'x')));
    } else if (tamper == ManifestAltered) {
        const QByteArray manifest = readFile(site + "/manifest.json");
        QVERIFY(manifest.contains("\"2.0\""));
        QVERIFY(writeFile(site + "/manifest.json", QByteArray(manifest).replace("\"2.0\"", "\"2.1\"")));
    } else if (tamper == PlainHttpPacket) {
        const QByteArray manifest = readFile(site + "/manifest.json");
        QVERIFY(writeFile(site + "/manifest.json",
                          QByteArray(manifest).replace("\"Packet\"",
                                                       "\"Url\": \"http://127.0.0.1:9/packets/demo-2.0.7z\", \"Packet\"")));
    }

    TestServer server;
    TestCerts certs;
    QStringList environment;
    QString hostAndPort;
    QString serverName = QStringLiteral("test");
    if (host == Nginx) {
        QVERIFY(m_nginx.start(releaseTool, site, path("published"), tokenKey));
        hostAndPort = m_nginx.hostAndPort();
    } else {
        QStringList extra;
        if (host == HttpsDevServer) {
            QVERIFY(QDir().mkpath(path("certs")) && certs.create(path("certs")));
            extra << "--cert" << certs.serverCert << "--cert-key" << certs.serverKey;
            environment << "CURL_CA_BUNDLE=" + certs.caFile;
            serverName = QStringLiteral("secure");
        }
        QVERIFY2(server.start(site, tokenKey, extra), qPrintable(server.errorText()));
        hostAndPort = server.hostAndPort();
    }
    QCOMPARE(run(tool, {"servers", "write", "--server", serverName + "=" + hostAndPort, "--current", serverName,
                        "--prefix", "/api", "--path", "/upgrade/query", "--key",
                        tamper == WrongToken ? QStringLiteral("not-the-key") : QString::fromLatin1(tokenKey)})
                 .exitCode,
             0);
    // A check accepts a genuine document and records its serial; what the
    // download then refuses must leave everything else as it was.
    const Run check = run(tool, {"check"}, environment);
    if (tamper == RolledBack) {
        QCOMPARE(check.exitCode, 0);
        QVERIFY(writeFile(site + "/release.json", firstRelease));
    }

    const QMap<QString, QByteArray> before = FileTree::snapshot(app);
    const Run download = run(tool, {"download"}, environment);
    QVERIFY2(download.exitCode == expected, download.err.constData());
    if (expected != 0) {
        QVERIFY(!QFileInfo::exists(app + "/Tmp"));
        QCOMPARE(FileTree::snapshot(app), before);
        TVX_EXPECT_NO_MESSAGES();
        QVERIFY2(download.err.contains(expected == 16 ? "refused" : (expected == 4 ? "403" : "not trusted")),
                 download.err.constData());
    } else {
        if (!isTrusting)
            TVX_EXPECT_NO_MESSAGES();
        QCOMPARE(download.err.contains("updates are not verified"), !isTrusting);
        const Run apply = run(tool, {"apply"});
        QVERIFY2(apply.exitCode == 0, apply.err.constData());
        QCOMPARE(readFile(app + "/Solutions/demo.txt"), QByteArray("demo version 2\n"));
        if (tamper == SignedRotation)
            QCOMPARE(readFile(app + "/Conf/System/TrustedKeys.json"), readFile(path("tree/Conf/System/TrustedKeys.json")));
    }
}

// Also after a failed row, so that no nginx of one row outlives it.
void tst_TrustedRelease::cleanup()
{
    m_nginx.stop();
}

void tst_TrustedRelease::releaseToolRefusesBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("missing tree") << QStringList{"pack", "--root", "@/site", "--tree", "@/none", "--module", "m",
                                                 "--version", "1", "--release-date", "202501010000"}
                                  << QByteArray("tree");
    QTest::newRow("bad release date") << QStringList{"pack", "--root", "@/site", "--tree", "@/tree", "--module", "m",
                                                     "--version", "1", "--release-date", "2025"}
                                      << QByteArray("--release-date");
    QTest::newRow("bad key file") << QStringList{"sign", "--root", "@/site", "--key", "@/tree/file.txt"}
                                  << QByteArray("not a PEM private key");
    QTest::newRow("key readable by others") << QStringList{"sign", "--root", "@/site", "--key", "@/open.key"}
                                            << QByteArray("readable or writable by others");
    QTest::newRow("site without manifest") << QStringList{"publish", "--root", "@/tree", "--out", "@/out", "--prefix",
                                                          "/api", "--path", "/q"}
                                           << QByteArray("no manifest.json");
    QTest::newRow("verify unsigned site") << QStringList{"verify", "--root", "@/site", "--public", "@/good.key.pub"}
                                          << QByteArray("not signed");
    QTest::newRow("bad public key") << QStringList{"verify", "--root", "@/site", "--public", "@/tree/file.txt"}
                                    << QByteArray("not a PEM Ed25519 key");
}

void tst_TrustedRelease::releaseToolRefusesBadInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
#ifdef Q_OS_WIN
    if (QByteArray(QTest::currentDataTag()) == "key readable by others")
        QSKIP("Windows files have no permission bits for others");
#endif
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("tree/file.txt"), "content\n"));
    QVERIFY(QFile::setPermissions(dir.filePath("tree/file.txt"), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(writeFile(dir.filePath("site/manifest.json"), "{\"modules\": []}\n"));
    QCOMPARE(run(releaseTool, {"keygen", "--out", dir.filePath("good.key")}).exitCode, 0);
    QVERIFY(QFile::copy(dir.filePath("good.key"), dir.filePath("open.key")));
    QVERIFY(QFile::setPermissions(dir.filePath("open.key"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    arguments.replaceInStrings("@", dir.path());
    const Run result = run(releaseTool, arguments);
    QVERIFY(result.exitCode != 0);
    QVERIFY2(result.err.contains(message), result.err.constData());
}

QTEST_GUILESS_MAIN(tst_TrustedRelease)
#include "tst_trustedrelease.moc"
