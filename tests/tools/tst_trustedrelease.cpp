// Signed releases end to end: tarvex-release makes and signs a site, the
// development server or a real nginx serves it, and tarvex-upgrade in a copy
// of the installation must upgrade from it, or refuse it and leave the
// installation exactly as it was.

#include "common/processend.h"
#include "common/programcopy.h"
#include "common/filetree.h"
#include "common/nginxsite.h"
#include "common/testcerts.h"
#include "common/testserver.h"
#include "common/toolrun.h"
#include "upgrade/files/tmpdirs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QtTest>

#include <cstdio>

#ifdef Q_OS_UNIX
#  include <sys/stat.h>
#endif

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
              TrustFileInPacket, SignedRotation, PlainHttpPacket, WrongToken, BadName, GzipPacket,
              EngineNamesInPacket };
enum Host { DevServer, HttpsDevServer, Nginx };

// The bytes of the path as they are, whatever Qt would make of them.
bool writeRawFile(const QByteArray &path)
{
#ifdef Q_OS_UNIX
    for (int slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0755);
#endif
    FILE *file = std::fopen(path.constData(), "wb");
    return file && std::fputs("data\n", file) >= 0 && std::fclose(file) == 0;
}

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
    void damagedTrust_data();
    void damagedTrust();
    void cleanup();

private:
    Run run(const QString &program, const QStringList &arguments, const QStringList &environment = {});
    // Version 1.0 of "demo" under app, with the tool and 7z.
    void makeInstallation(const QString &app);
    QString path(const QString &relative) const { return m_work->filePath(relative); }

    QScopedPointer<QTemporaryDir> m_work;
    NginxSite m_nginx;
};

Run tst_TrustedRelease::run(const QString &program, const QStringList &arguments, const QStringList &environment)
{
    return runTool(program, arguments, environmentWith(environment));
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
    QTest::newRow("journal and lock in a signed packet") << int(DevServer) << int(EngineNamesInPacket) << true << 15;
    QTest::newRow("journal and lock in an unsigned packet") << int(DevServer) << int(EngineNamesInPacket) << false << 4;
    QTest::newRow("plain-http packet behind https") << int(HttpsDevServer) << int(PlainHttpPacket) << true << 16;
    QTest::newRow("plain-http packet behind https, unsigned")
        << int(HttpsDevServer) << int(PlainHttpPacket) << false << 16;
    // Past pack's refusal, made by hand: refused after unpacking, never staged without the file.
    QTest::newRow("packet with a Latin-1 name") << int(DevServer) << int(BadName) << true << 10;
    QTest::newRow("packet with a Latin-1 name, unsigned") << int(DevServer) << int(BadName) << false << 10;
    QTest::newRow("gzip packet") << int(DevServer) << int(GzipPacket) << true << 10;
    QTest::newRow("gzip packet, unsigned") << int(DevServer) << int(GzipPacket) << false << 10;
}

void tst_TrustedRelease::makeInstallation(const QString &app)
{
    QVERIFY(ProgramCopy::copyProgram(builtTool, app + "/" + PlatformNames::upgradeToolFileName()));
    QVERIFY(ProgramCopy::installSevenZip(app));
    QVERIFY(writeFile(app + "/Solutions/SolutionInfo.xml",
                      "<?xml version=\"1.0\"?>\n<Solution><SolutionS><Solution id=\"demo\" name=\"Demo\">"
                      "<Version>1.0</Version><ReleaseDate>202401010000</ReleaseDate><State>2</State>"
                      "<Desc>Demo</Desc><Size>1</Size></Solution></SolutionS></Solution>\n"));
    QVERIFY(writeFile(app + "/Solutions/demo.txt", "demo version 1\n"));
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
#ifdef Q_OS_WIN
    if (tamper == BadName)
        QSKIP("Windows cannot hold a name that is not valid UTF-16");
    if (tamper == GzipPacket)
        QSKIP("The 7z.exe shipped on Windows is the 7z-only build: it can neither make nor open a gzip packet");
#endif

    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    // nginx started as root serves as "nobody", which must reach the site.
    QFile::setPermissions(m_work->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                              | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    const QString app = path("app");
    const QString tool = app + "/" + PlatformNames::upgradeToolFileName();
    makeInstallation(app);

    // The publisher's side.
    const QString site = path("site");
    QVERIFY(QDir().mkpath(path("keys")));
    QCOMPARE(run(releaseTool, {"keygen", "--out", path("keys/release.key")}).exitCode, 0);
    QCOMPARE(run(releaseTool, {"keygen", "--out", path("keys/other.key")}).exitCode, 0);
    QVERIFY(writeFile(path("tree/Solutions/demo.txt"), "demo version 2\n"));
    // pack refuses such a file: it goes into the packet behind its back.
    if (tamper == TrustFileInPacket)
        QVERIFY(writeFile(path("extra/Conf/System/TrustedKeys.json"), readFile(path("keys/other.key.pub"))));
    if (tamper == SignedRotation) {
        QCOMPARE(run(releaseTool, {"rotate", "--key", path("keys/release.key"), "--public", path("keys/other.key.pub"),
                                   "--out", path("tree/Conf/System/TrustedKeys.json")})
                     .exitCode,
                 0);
    }
    QVERIFY(writeFile(path("notes.md"), "# Demo 2.0\r\n- signed notes\r\n"));
    QCOMPARE(run(releaseTool, {"pack", "--root", site, "--tree", path("tree"), "--module", "demo", "--version", "2.0",
                               "--release-date", "202501010000", "--desc", "Demo", "--notes", path("notes.md")})
                 .exitCode,
             0);
    if (tamper == TrustFileInPacket) {
        const QString packet = site + "/packets/demo-2.0.7z";
        const QByteArray before = readFile(packet);
        QProcess add;
        add.setWorkingDirectory(path("extra"));
        startProcess(add, TVX_SYSTEM_7Z, {"a", packet, "Conf"});
        QVERIFY(waitForProcessEnd(add, 60000) && add.exitCode() == 0);
        const QByteArray after = readFile(packet);
        const auto hex = [](const QByteArray &bytes) {
            return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        };
        QVERIFY(writeFile(site + "/manifest.json",
                          readFile(site + "/manifest.json")
                              .replace(hex(before), hex(after))
                              .replace("\"Bytes\": " + QByteArray::number(before.size()) + ",",
                                       "\"Bytes\": " + QByteArray::number(after.size()) + ",")));
    }
    if (tamper == BadName || tamper == GzipPacket || tamper == EngineNamesInPacket) {
        // What pack refuses, made by hand in the packet's place, with its
        // size and hash in the manifest.
        const QString packet = site + "/packets/demo-2.0.7z";
        QStringList content{tamper == GzipPacket ? "Solutions/demo.txt" : "Solutions"};
        if (tamper == BadName)
            QVERIFY(writeRawFile(QFile::encodeName(path("tree/Solutions/caf")) + "\xe9.txt"));
        if (tamper == EngineNamesInPacket) {
            QVERIFY(writeFile(path("tree/Tmp/Journal"), "TVXJ 2\nP\nC\n")
                    && writeFile(path("tree/.upgrade.lock"), "1\n"));
            content << "Tmp" << ".upgrade.lock";
        }
        QProcess sevenZip;
        sevenZip.setWorkingDirectory(path("tree"));
        startProcess(sevenZip, TVX_SYSTEM_7Z,
                     QStringList{"a", tamper == GzipPacket ? "-tgzip" : "-t7z", packet + ".new"} + content);
        QVERIFY(waitForProcessEnd(sevenZip, 60000) && sevenZip.exitCode() == 0);
        QVERIFY(QFile::remove(packet) && QFile::rename(packet + ".new", packet));
        const QByteArray bytes = readFile(packet);
        QJsonObject manifest = QJsonDocument::fromJson(readFile(site + "/manifest.json")).object();
        QJsonObject entry = manifest.value("modules").toArray().at(0).toObject();
        entry.insert("Bytes", double(bytes.size()));
        entry.insert("Sha256", QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
        manifest.insert("modules", QJsonArray{entry});
        QVERIFY(writeFile(site + "/manifest.json", QJsonDocument(manifest).toJson()));
    }
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
    // The notes come with a document the installation verified, never without.
    if (check.exitCode == 0)
        QCOMPARE(QByteArray(check.out).replace("\r\n", "\n")
                     .contains("What is new in demo 2.0:\n  # Demo 2.0\n  - signed notes\n"),
                 isTrusting); // Windows ends the lines it prints with CRLF
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
        const QMap<int, QByteArray> messages{{16, "refused"}, {4, "403"}, {14, "not trusted"}, {15, "not trusted"},
                                             {10, tamper == BadName ? "Solutions/caf\\xe9.txt: the name is not valid UTF-8"
                                                                    : "as [7z] archive"}};
        const QByteArray message = tamper == EngineNamesInPacket ? QByteArray("is reserved") : messages.value(expected);
        QVERIFY2(download.err.contains(message), download.err.constData());
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

// Also after a failed row, so that no nginx of one row outlives it, nor a
// name that QTemporaryDir cannot decode and so cannot remove.
void tst_TrustedRelease::cleanup()
{
    m_nginx.stop();
    if (m_work)
        QVERIFY(removeDirTree(m_work->path()));
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
    // Each part is short enough for the tool, their packet name too long for clients.
    QTest::newRow("packet name clients refuse") << QStringList{"pack", "--root", "@/site", "--tree", "@/tree", "--module",
                                                              QString(150, 'm'), "--version", QString(150, '1'),
                                                              "--release-date", "202501010000"}
                                                << QByteArray("clients would refuse the packet name");
    QTest::newRow("tree holding Tmp/Journal") << QStringList{"pack", "--root", "@/site", "--tree", "@/installed",
                                                             "--module", "m", "--version", "1", "--release-date",
                                                             "202501010000"}
                                              << QByteArray("\"Tmp\" is reserved for the engine's temporary directory");
    QTest::newRow("tree holding .upgrade.lock") << QStringList{"pack", "--root", "@/site", "--tree", "@/locked",
                                                               "--module", "m", "--version", "1", "--release-date",
                                                               "202501010000"}
                                                << QByteArray("\".upgrade.lock\" is reserved");
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
    // Every file or none: for the full packet and the delta alike, with the name and why.
    const QStringList pack{"pack", "--root", "@/site", "--module", "m", "--version", "2", "--release-date",
                           "202501010000", "--tree"};
    QTest::newRow("tree with a Latin-1 name") << (QStringList(pack) << "@/names/latin1")
                                              << QByteArray("Solutions/caf\\xe9.txt: the name is not valid UTF-8");
    QTest::newRow("tree with a Latin-1 directory, delta")
        << (QStringList(pack) << "@/names/dir" << "--base-tree" << "@/tree" << "--base-version" << "1")
        << QByteArray("Solutions/\\xe9t\\xe9: the name is not valid UTF-8");
    QTest::newRow("tree with a colon") << (QStringList(pack) << "@/names/colon")
                                       << QByteArray("a:b.txt: the name holds \":\", which Windows file names cannot");
    QTest::newRow("tree with a device name") << (QStringList(pack) << "@/names/device")
                                             << QByteArray("Aux.txt: the name is a device name on Windows");
    QTest::newRow("tree with a device name before a space") << (QStringList(pack) << "@/names/port")
                                                            << QByteArray("COM0 .dll: the name is a device name");
    QTest::newRow("tree with a control character") << (QStringList(pack) << "@/names/control")
                                                   << QByteArray("bell\\x07.txt: the name holds a control character");
    QTest::newRow("tree with a trailing dot") << (QStringList(pack) << "@/names/dot")
                                              << QByteArray("readme.: the name ends with a dot or a space");
    // Release notes that installations would refuse never reach the manifest.
    QTest::newRow("notes not UTF-8") << (QStringList(pack) << "@/tree" << "--notes" << "@/notes/latin1.txt")
                                     << QByteArray("is not UTF-8 text");
    QTest::newRow("notes too long") << (QStringList(pack) << "@/tree" << "--notes" << "@/notes/long.txt")
                                    << QByteArray("more than 16384");
    QTest::newRow("notes with a control character") << (QStringList(pack) << "@/tree" << "--notes" << "@/notes/escape.txt")
                                                    << QByteArray("control character U+001b");
    QTest::newRow("notes missing") << (QStringList(pack) << "@/tree" << "--notes" << "@/notes/none.txt")
                                   << QByteArray("--notes: ");
}

void tst_TrustedRelease::releaseToolRefusesBadInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
#ifdef Q_OS_WIN
    if (QByteArray(QTest::currentDataTag()) == "key readable by others")
        QSKIP("Windows files have no permission bits for others");
    if (QByteArray(QTest::currentDataTag()).startsWith("tree with"))
        QSKIP("Windows cannot hold these names to begin with");
#endif
    QTemporaryDir dir;
    const auto removeNames = qScopeGuard([&dir] { removeDirTree(dir.path()); });
#ifndef Q_OS_WIN
    for (const char *name : {"latin1/Solutions/caf\xe9.txt", "dir/Solutions/\xe9t\xe9/x.txt", "colon/Solutions/a:b.txt",
                             "device/Solutions/Aux.txt", "port/Solutions/COM0 .dll", "control/Solutions/bell\x07.txt",
                             "dot/Solutions/readme."})
        QVERIFY(writeRawFile(QFile::encodeName(dir.filePath("names/")) + name));
#endif
    QVERIFY(writeFile(dir.filePath("tree/file.txt"), "content\n"));
    QVERIFY(writeFile(dir.filePath("notes/latin1.txt"), "Caf\xe9 au lait\n")
            && writeFile(dir.filePath("notes/long.txt"), QByteArray(16385, 'n'))
            && writeFile(dir.filePath("notes/escape.txt"), "red \x1b[31m text\n"));
    QVERIFY(QFile::setPermissions(dir.filePath("tree/file.txt"), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(writeFile(dir.filePath("site/manifest.json"), "{\"modules\": []}\n"));
    QVERIFY(writeFile(dir.filePath("installed/Tmp/Journal"), "TVXJ 2\n") && writeFile(dir.filePath("installed/a"), "a"));
    QVERIFY(writeFile(dir.filePath("locked/.upgrade.lock"), "1\n") && writeFile(dir.filePath("locked/a"), "a"));
    QCOMPARE(run(releaseTool, {"keygen", "--out", dir.filePath("good.key")}).exitCode, 0);
    QVERIFY(QFile::copy(dir.filePath("good.key"), dir.filePath("open.key")));
    QVERIFY(QFile::setPermissions(dir.filePath("open.key"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    arguments.replaceInStrings("@", dir.path());
    const Run result = run(releaseTool, arguments);
    QVERIFY(result.exitCode != 0);
    QVERIFY2(result.err.contains(message), result.err.constData());
    QCOMPARE(readFile(dir.filePath("site/manifest.json")), QByteArray("{\"modules\": []}\n"));
    QVERIFY(!QFileInfo::exists(dir.filePath("site/packets")));
}

void tst_TrustedRelease::damagedTrust_data()
{
    QTest::addColumn<QString>("files"); // "|"-separated
    QTest::addColumn<QByteArray>("content"); // written over each file; null: deleted
    QTest::addColumn<QByteArray>("message"); // empty: no refusal
    QTest::addColumn<bool>("isAllowingUnsigned"); // how trust reset is run then

    const QString serial = "Conf/System/ReleaseSerial.json", keys = "Conf/System/TrustedKeys.json";
    const QByteArray damaged = "ReleaseSerial.json is damaged";
    QTest::newRow("serial garbage") << serial << QByteArray("garbage") << damaged << false;
    QTest::newRow("serial empty") << serial << QByteArray("") << damaged << false;
    QTest::newRow("serial negative") << serial << QByteArray("{\"serial\": -1}") << damaged << false;
    QTest::newRow("serial not whole") << serial << QByteArray("{\"serial\": 1.5}") << damaged << true;
    QTest::newRow("serial as text") << serial << QByteArray("{\"serial\": \"9\"}") << damaged << false;
    QTest::newRow("serial deleted") << serial << QByteArray() << QByteArray("ReleaseSerial.json is missing") << false;
    QTest::newRow("serial and record deleted") << serial + "|.upgrade.trust" << QByteArray()
                                               << QByteArray("which record the releases accepted, are missing") << false;
    QTest::newRow("record damaged") << ".upgrade.trust" << QByteArray("{\"serial\": 1}")
                                    << QByteArray(".upgrade.trust is damaged") << false;
    QTest::newRow("trust file deleted") << keys << QByteArray() << QByteArray("TrustedKeys.json is missing") << false;
    QTest::newRow("trust file empty") << keys << QByteArray("") << QByteArray("TrustedKeys.json: ") << true;
    QTest::newRow("trust and serial file deleted") << keys + "|" + serial << QByteArray()
                                                   << QByteArray("TrustedKeys.json is missing") << false;
    // The serial file still holds the serial; the next check writes the record again.
    QTest::newRow("record deleted") << ".upgrade.trust" << QByteArray() << QByteArray() << false;
}

// After a signed upgrade, a damaged or lost part of the trust state refuses
// every check; "trust add" cannot paper over it, "trust reset" can, and
// leaves a line in the log.
void tst_TrustedRelease::damagedTrust()
{
    QFETCH(QString, files);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, message);
    QFETCH(bool, isAllowingUnsigned);
    m_work.reset(new QTemporaryDir);
    const QString app = path("app");
    const QString tool = app + "/" + PlatformNames::upgradeToolFileName();
    makeInstallation(app);
    QVERIFY(writeFile(path("tree/Solutions/demo.txt"), "demo version 2\n"));
    QCOMPARE(run(releaseTool, {"keygen", "--out", path("release.key")}).exitCode, 0);
    QCOMPARE(run(releaseTool, {"pack", "--root", path("site"), "--tree", path("tree"), "--module", "demo", "--version",
                               "2.0", "--release-date", "202501010000", "--desc", "Demo"})
                 .exitCode,
             0);
    QCOMPARE(run(releaseTool, {"sign", "--root", path("site"), "--key", path("release.key")}).exitCode, 0);
    QCOMPARE(run(tool, {"trust", "add", "--public", path("release.key.pub")}).exitCode, 0);
    TestServer server;
    QVERIFY2(server.start(path("site"), tokenKey), qPrintable(server.errorText()));
    QCOMPARE(run(tool, {"servers", "write", "--server", "test=" + server.hostAndPort(), "--current", "test", "--prefix",
                        "/api", "--path", "/upgrade/query", "--key", tokenKey})
                 .exitCode,
             0);
    QCOMPARE(run(tool, {"download"}).exitCode, 0);
    QCOMPARE(run(tool, {"apply"}).exitCode, 0);
    for (const QString &file : files.split('|'))
        QVERIFY(content.isNull() ? QFile::remove(app + "/" + file) : writeFile(app + "/" + file, content));

    const Run check = run(tool, {"check"});
    QCOMPARE(check.exitCode, message.isEmpty() ? 0 : 14);
    if (!message.isEmpty())
        TVX_EXPECT_NO_MESSAGES();
    QVERIFY2(check.err.contains(message) && check.err.contains("trust reset") != message.isEmpty(), check.err.constData());
    if (message.isEmpty()) {
        QVERIFY(QFileInfo::exists(app + "/.upgrade.trust"));
        return;
    }
    const Run add = run(tool, {"trust", "add", "--public", path("release.key.pub")});
    QVERIFY2(add.exitCode == 7 && add.err.contains("trust reset"), add.err.constData());
    const QStringList reset{"trust", "reset"};
    QCOMPARE(run(tool, isAllowingUnsigned ? reset + QStringList{"--allow-unsigned"} : reset).exitCode, 0);
    QVERIFY(readFile(app + "/Log/Print.log").contains("trust reset"));
    if (!isAllowingUnsigned && files.contains("TrustedKeys")) {
        // No key left to verify with: refused until one is added.
        QCOMPARE(run(tool, {"check"}).exitCode, 14);
        QCOMPARE(run(tool, {"trust", "add", "--public", path("release.key.pub")}).exitCode, 0);
    }
    const Run verified = run(tool, {"check"});
    QCOMPARE(verified.exitCode, 0);
    if (isAllowingUnsigned)
        TVX_EXPECT_NO_MESSAGES();
    QCOMPARE(verified.err.contains("updates are not verified"), isAllowingUnsigned);
}

QTEST_GUILESS_MAIN(tst_TrustedRelease)
#include "tst_trustedrelease.moc"
