#include "upgrade/versionquery.h"

#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/cupgrade.h"

#include "common/clusterfile.h"
#include "common/messagecapture.h"
#include "common/testcerts.h"
#include "common/testserver.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <memory>
#include <vector>

namespace {

ModuleVersion module(const QString &id, const QString &url, const QString &iconUrl, const QString &desc,
                     qint64 releaseDate, double size, const QString &version)
{
    ModuleVersion m;
    m.strId = id;
    m.strUrl = url;
    m.strIconUrl = iconUrl;
    m.strDesc = desc;
    m.llReleaseDate = releaseDate;
    m.dSize = size;
    m.strVersion = version;
    return m;
}

// One element with the usual keys; extra is spliced in after them and, being
// later, wins over a key of the same name.
QByteArray answerWith(const QByteArray &extra)
{
    return R"({"retcode": 0, "value": {"upgrade": [{"ID": "A", "Url": "http://h/a.7z", "IconUrl": "http://h/a.png",)"
           R"( "Desc": "desc", "ReleaseDate": 200, "Size": "1.5", "Version": "1.0")"
           + (extra.isEmpty() ? QByteArray() : QByteArray(", ") + extra) + "}]}}";
}

ModuleVersion usual()
{
    return module(QStringLiteral("A"), QStringLiteral("http://h/a.7z"), QStringLiteral("http://h/a.png"),
                  QStringLiteral("desc"), 200, 1.5, QStringLiteral("1.0"));
}

QByteArray nested(int levels, const QByteArray &innermost)
{
    return QByteArray(levels, '[') + innermost + QByteArray(levels, ']');
}

void compareModule(const ModuleVersion &actual, const ModuleVersion &expected)
{
    QCOMPARE(actual.strId, expected.strId);
    QCOMPARE(actual.strVersion, expected.strVersion);
    QCOMPARE(actual.strUrl, expected.strUrl);
    QCOMPARE(actual.strDesc, expected.strDesc);
    QCOMPARE(actual.llReleaseDate, expected.llReleaseDate);
    QCOMPARE(actual.dSize, expected.dSize);
    QCOMPARE(actual.nState, 0);
    QCOMPARE(actual.strIconUrl, expected.strIconUrl);
}

} // namespace

class tst_VersionQuery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void buildVersionRequest_data();
    void buildVersionRequest();
    void readVersionAnswer_data();
    void readVersionAnswer();
    void appendsToTheCallersList();
    void queryServer_data();
    void queryServer();
    void invalidServerInfo();

private:
    QTemporaryDir m_root;
    QTemporaryDir m_certDir;
    TestCerts m_certs;
    bool m_haveCerts = false;
    std::vector<std::unique_ptr<ScopedEnvironmentVariable>> m_environment;
};

void tst_VersionQuery::initTestCase()
{
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "CURL_CA_BUNDLE"}) {
        m_environment.emplace_back(new ScopedEnvironmentVariable(name));
        m_environment.back()->unset();
    }
    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("packets")));
    QFile manifest(m_root.filePath(QStringLiteral("manifest.json")));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    manifest.write(R"({"modules": [)"
                   R"({"ID": "A", "Version": "2.0", "ReleaseDate": 200, "Size": "12.5", "Desc": "Modul Größe",)"
                   R"( "IconUrl": "http://icons/a.png", "Packet": "a.7z"},)"
                   R"({"ID": "B", "Version": "3.1", "ReleaseDate": 300, "Size": "1", "Desc": "",)"
                   R"( "IconUrl": "http://icons/b.png", "Packet": "b.7z", "OutUrl": "http://elsewhere/b.7z"}]})");
    manifest.close();
    QFile retcode(m_root.filePath(QStringLiteral("retcode.json")));
    QVERIFY(retcode.open(QIODevice::WriteOnly));
    retcode.write(R"({"retcode": 5, "value": {"upgrade": []}})");
    retcode.close();

    if (TestCerts::haveOpenSsl()) {
        QVERIFY(m_certDir.isValid());
        QVERIFY2(m_certs.create(m_certDir.path()), qPrintable(m_certs.errorText()));
        m_haveCerts = true;
    }
}

void tst_VersionQuery::buildVersionRequest_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("key");
    QTest::addColumn<qint64>("number");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("token");

    // The tokens are the MD5 sums of path part + key made with md5sum.
    QTest::newRow("test: http, negative number")
        << QStringLiteral("test") << QStringLiteral("/api") << QStringLiteral("/upgrade/query") << QStringLiteral("k")
        << qint64(-12) << QStringLiteral("http://srv.example:8080/api/upgrade/query/-12")
        << QStringLiteral("1f8cb06725a66267e2aa975d556f5a95");
    QTest::newRow("inter: http") << QStringLiteral("inter") << QStringLiteral("/p") << QStringLiteral("/q")
                                 << QStringLiteral("key") << qint64(123)
                                 << QStringLiteral("http://srv.example:8080/p/q/123")
                                 << QStringLiteral("fefb6a769d0ef4e61beed1c0473ba049");
    QTest::newRow("Test: https, letter case counts")
        << QStringLiteral("Test") << QStringLiteral("/p") << QStringLiteral("/q") << QStringLiteral("key") << qint64(123)
        << QStringLiteral("https://srv.example:8080/p/q/123") << QStringLiteral("fefb6a769d0ef4e61beed1c0473ba049");
    QTest::newRow("INTER: https") << QStringLiteral("INTER") << QStringLiteral("/p") << QStringLiteral("/q")
                                  << QStringLiteral("key") << qint64(123)
                                  << QStringLiteral("https://srv.example:8080/p/q/123")
                                  << QStringLiteral("fefb6a769d0ef4e61beed1c0473ba049");
    QTest::newRow("other name: https, smallest number")
        << QStringLiteral("prod") << QStringLiteral("/api") << QStringLiteral("/upgrade/query")
        << QStringLiteral("secret") << std::numeric_limits<qint64>::min()
        << QStringLiteral("https://srv.example:8080/api/upgrade/query/-9223372036854775808")
        << QStringLiteral("a7a499de7214d1c2dbddab19ddee2f1b");
}

void tst_VersionQuery::buildVersionRequest()
{
    QFETCH(QString, name);
    QFETCH(QString, prefix);
    QFETCH(QString, path);
    QFETCH(QString, key);
    QFETCH(qint64, number);
    QFETCH(QString, url);
    QFETCH(QString, token);

    ServerClusterInfo info = ScopedServerClusterFile::info(name, QStringLiteral("srv.example:8080"), key, prefix, path);
    info.vecServers.prepend(qMakePair(QStringLiteral("test"), QStringLiteral("first.example")));
    info.nCurrIndex = 1;
    const VersionRequest request = ::buildVersionRequest(info, number);
    QCOMPARE(request.strUrl, url);
    QCOMPARE(request.strPathPart, path + QLatin1Char('/') + QString::number(number));
    QCOMPARE(request.strToken, token);
    QCOMPARE(request.strHeader, QStringLiteral("token:") + token);
}

void tst_VersionQuery::readVersionAnswer_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<ModuleVersion>("last"); // the last record appended

    const ModuleVersion none;
    const QString parseFailed = QStringLiteral("parse json failed!");
    const QString formatError = QStringLiteral("json format error failed!");
    const QString retcodeError = QStringLiteral("get json error failed!");
    auto with = [](void (*change)(ModuleVersion &)) {
        ModuleVersion m = usual();
        change(m);
        return m;
    };

    // The document as a whole.
    QTest::newRow("{}") << QByteArray("{}") << true << 0 << QString() << none;
    QTest::newRow("no value") << QByteArray(R"({"retcode": 0})") << true << 0 << QString() << none;
    QTest::newRow("no upgrade") << QByteArray(R"({"value": {}})") << true << 0 << QString() << none;
    QTest::newRow("null value") << QByteArray(R"({"value": null})") << true << 0 << QString() << none;
    QTest::newRow("null upgrade") << QByteArray(R"({"value": {"upgrade": null}})") << true << 0 << QString() << none;
    QTest::newRow("empty upgrade") << QByteArray(R"({"value": {"upgrade": []}})") << true << 0 << QString() << none;
    QTest::newRow("root is an array") << QByteArray("[1, 2]") << true << 0 << QString() << none;
    QTest::newRow("root is a number") << QByteArray("5") << true << 0 << QString() << none;
    QTest::newRow("not JSON") << QByteArray("<html>502</html>") << false << 0 << parseFailed << none;
    QTest::newRow("empty answer") << QByteArray() << false << 0 << parseFailed << none;
    // Malformations the classic reader refuses, and the laxities it keeps.
    QTest::newRow("trailing comma in upgrade")
        << QByteArray(R"({"value": {"upgrade": [{"ID": "a", "Url": "u", "IconUrl": "i"},]}})") << false << 0
        << parseFailed << none;
    QTest::newRow("trailing comma in an object") << QByteArray(R"({"retcode": 0,})") << false << 0 << parseFailed
                                                 << none;
    QTest::newRow("trailing comma in a module") << answerWith(R"("Extra": [1,])") << false << 0 << parseFailed
                                                << none;
    QTest::newRow("empty array element") << QByteArray("[1,,2]") << false << 0 << parseFailed << none;
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF{}") << false << 0 << parseFailed << none;
    QTest::newRow("single quotes") << QByteArray("{'value': {}}") << false << 0 << parseFailed << none;
    QTest::newRow("NaN") << QByteArray(R"({"retcode": NaN})") << false << 0 << parseFailed << none;
    QTest::newRow("leading plus") << QByteArray(R"({"retcode": +0})") << false << 0 << parseFailed << none;
    QTest::newRow("leading plus in a module") << answerWith(R"("Extra": [+1])") << false << 0 << parseFailed
                                              << none;
    QTest::newRow("plus in an exponent and a string") << answerWith(R"("Extra": [1e+2, "+1"])") << true << 1
                                                      << QString() << usual();
    QTest::newRow("comments") << QByteArray("// c+\n{\"value\": /* +c */ {}}") << true << 0 << QString() << none;
    QTest::newRow("duplicate key: the last one") << QByteArray(R"({"retcode": 3, "retcode": 0})") << true << 0
                                                 << QString() << none;
    QTest::newRow("1000 levels") << nested(999, "1") << true << 0 << QString() << none;
    QTest::newRow("1001 levels") << nested(1000, "1") << false << 0 << parseFailed << none;
    QTest::newRow("1001 levels of objects")
        << QByteArray(R"({"a":)").repeated(1000) + "1" + QByteArray(1000, '}') << false << 0 << parseFailed << none;
    QTest::newRow("1000 levels inside a module")
        << answerWith(R"("Desc": )" + nested(995, "\"x\"")) << true << 1 << QString()
        << with([](ModuleVersion &m) { m.strDesc.clear(); });
    QTest::newRow("1001 levels inside a module")
        << answerWith(R"("Desc": )" + nested(996, "\"x\"")) << false << 0 << parseFailed << none;

    // retcode
    QTest::newRow("retcode 0") << answerWith(QByteArray()) << true << 1 << QString() << usual();
    QTest::newRow("retcode 3") << QByteArray(R"({"retcode": 3, "value": {"upgrade": []}})") << false << 0
                               << retcodeError << none;
    QTest::newRow("retcode -1") << QByteArray(R"({"retcode": -1})") << false << 0 << retcodeError << none;
    QTest::newRow("retcode as a string") << QByteArray(R"({"retcode": "3"})") << true << 0 << QString() << none;
    QTest::newRow("retcode as a real") << QByteArray(R"({"retcode": 3.5})") << true << 0 << QString() << none;
    QTest::newRow("retcode beyond 32 bits") << QByteArray(R"({"retcode": 4294967296})") << true << 0 << QString()
                                            << none;
    QTest::newRow("retcode null") << QByteArray(R"({"retcode": null})") << true << 0 << QString() << none;

    // value and upgrade of the wrong type
    QTest::newRow("value is an array") << QByteArray(R"({"value": []})") << false << 0 << formatError << none;
    QTest::newRow("value is a string") << QByteArray(R"({"value": "x"})") << false << 0 << formatError << none;
    QTest::newRow("upgrade is an object") << QByteArray(R"({"value": {"upgrade": {}}})") << false << 0
                                          << formatError << none;
    QTest::newRow("upgrade is a number") << QByteArray(R"({"value": {"upgrade": 1}})") << false << 0 << formatError
                                         << none;
    QTest::newRow("element is a number") << QByteArray(R"({"value": {"upgrade": [1]}})") << false << 0
                                         << formatError << none;
    QTest::newRow("element is null") << QByteArray(R"({"value": {"upgrade": [null]}})") << false << 0
                                     << formatError << none;

    // The keys that must not be empty.
    QTest::newRow("ID empty") << answerWith(R"("ID": "")") << false << 0 << formatError << none;
    QTest::newRow("ID a number") << answerWith(R"("ID": 7)") << false << 0 << formatError << none;
    QTest::newRow("ID an object") << answerWith(R"("ID": {"a": 1})") << false << 0 << formatError << none;
    QTest::newRow("ID true") << answerWith(R"("ID": true)") << true << 1 << QString()
                             << with([](ModuleVersion &m) { m.strId = QStringLiteral("true"); });
    QTest::newRow("IconUrl missing")
        << QByteArray(R"({"value": {"upgrade": [{"ID": "A", "Url": "u"}]}})") << false << 0 << formatError << none;
    QTest::newRow("IconUrl an array") << answerWith(R"("IconUrl": ["x"])") << false << 0 << formatError << none;

    // OutUrl and Url
    QTest::newRow("OutUrl before Url") << answerWith(R"("OutUrl": "http://out/a.7z")") << true << 1 << QString()
                                       << with([](ModuleVersion &m) { m.strUrl = QStringLiteral("http://out/a.7z"); });
    QTest::newRow("empty OutUrl: Url") << answerWith(R"("OutUrl": "")") << true << 1 << QString() << usual();
    QTest::newRow("OutUrl a number: Url") << answerWith(R"("OutUrl": 5)") << true << 1 << QString() << usual();
    QTest::newRow("OutUrl false") << answerWith(R"("OutUrl": false)") << true << 1 << QString()
                                  << with([](ModuleVersion &m) { m.strUrl = QStringLiteral("false"); });
    QTest::newRow("both URLs empty") << answerWith(R"("Url": "")") << false << 0 << formatError << none;
    QTest::newRow("Url null, no OutUrl") << answerWith(R"("Url": null)") << false << 0 << formatError << none;

    // ReleaseDate
    QTest::newRow("ReleaseDate absent")
        << QByteArray(R"({"value": {"upgrade": [{"ID": "A", "Url": "u", "IconUrl": "i"}]}})") << true << 1
        << QString() << module(QStringLiteral("A"), QStringLiteral("u"), QStringLiteral("i"), QString(), 0, 0.0, QString());
    QTest::newRow("ReleaseDate null") << answerWith(R"("ReleaseDate": null)") << true << 1 << QString()
                                      << with([](ModuleVersion &m) { m.llReleaseDate = 0; });
    QTest::newRow("ReleaseDate 64-bit") << answerWith(R"("ReleaseDate": 20231231235959123)") << true << 1
                                        << QString()
                                        << with([](ModuleVersion &m) { m.llReleaseDate = 20231231235959123LL; });
    QTest::newRow("ReleaseDate negative") << answerWith(R"("ReleaseDate": -5)") << true << 1 << QString()
                                          << with([](ModuleVersion &m) { m.llReleaseDate = -5; });
    QTest::newRow("ReleaseDate real") << answerWith(R"("ReleaseDate": 12.9)") << true << 1 << QString()
                                      << with([](ModuleVersion &m) { m.llReleaseDate = 12; });
    QTest::newRow("ReleaseDate negative real") << answerWith(R"("ReleaseDate": -12.9)") << true << 1 << QString()
                                               << with([](ModuleVersion &m) { m.llReleaseDate = -12; });
    QTest::newRow("ReleaseDate huge real") << answerWith(R"("ReleaseDate": 1e300)") << true << 1 << QString()
                                           << with([](ModuleVersion &m) {
                                                  m.llReleaseDate = std::numeric_limits<qint64>::max();
                                              });
    QTest::newRow("ReleaseDate hugely negative real")
        << answerWith(R"("ReleaseDate": -1e300)") << true << 1 << QString()
        << with([](ModuleVersion &m) { m.llReleaseDate = std::numeric_limits<qint64>::min(); });
    QTest::newRow("ReleaseDate above 64 bits signed")
        << answerWith(R"("ReleaseDate": 18446744073709551615)") << true << 1 << QString()
        << with([](ModuleVersion &m) { m.llReleaseDate = std::numeric_limits<qint64>::max(); });
    QTest::newRow("ReleaseDate true") << answerWith(R"("ReleaseDate": true)") << true << 1 << QString()
                                      << with([](ModuleVersion &m) { m.llReleaseDate = 1; });
    QTest::newRow("ReleaseDate false") << answerWith(R"("ReleaseDate": false)") << true << 1 << QString()
                                       << with([](ModuleVersion &m) { m.llReleaseDate = 0; });
    QTest::newRow("ReleaseDate string") << answerWith(R"("ReleaseDate": "300")") << true << 1 << QString()
                                        << with([](ModuleVersion &m) { m.llReleaseDate = 0; });
    QTest::newRow("ReleaseDate array") << answerWith(R"("ReleaseDate": [300])") << true << 1 << QString()
                                       << with([](ModuleVersion &m) { m.llReleaseDate = 0; });

    // Size
    QTest::newRow("Size string 12.5") << answerWith(R"("Size": "12.5")") << true << 1 << QString()
                                      << with([](ModuleVersion &m) { m.dSize = 12.5; });
    QTest::newRow("Size number 12") << answerWith(R"("Size": 12)") << true << 1 << QString()
                                    << with([](ModuleVersion &m) { m.dSize = 0.0; });
    QTest::newRow("Size decimal comma") << answerWith(R"("Size": "12,5")") << true << 1 << QString()
                                        << with([](ModuleVersion &m) { m.dSize = 0.0; });
    QTest::newRow("Size text") << answerWith(R"("Size": "big")") << true << 1 << QString()
                               << with([](ModuleVersion &m) { m.dSize = 0.0; });
    QTest::newRow("Size nan") << answerWith(R"("Size": "nan")") << true << 1 << QString()
                              << with([](ModuleVersion &m) { m.dSize = 0.0; });
    QTest::newRow("Size inf") << answerWith(R"("Size": "inf")") << true << 1 << QString()
                              << with([](ModuleVersion &m) { m.dSize = 0.0; });
    QTest::newRow("Size true") << answerWith(R"("Size": true)") << true << 1 << QString()
                               << with([](ModuleVersion &m) { m.dSize = 0.0; });

    // The other strings
    QTest::newRow("Desc a number, Version false") << answerWith(R"("Desc": 5, "Version": false)") << true << 1
                                                  << QString() << with([](ModuleVersion &m) {
                                                         m.strDesc.clear();
                                                         m.strVersion = QStringLiteral("false");
                                                     });
    QTest::newRow("UTF-8 text") << answerWith("\"Desc\": \"Gr\xc3\xb6\xc3\x9f" "e \xe2\x9c\x93\"") << true << 1
                                << QString()
                                << with([](ModuleVersion &m) { m.strDesc = QStringLiteral("Größe ✓"); });
    QTest::newRow("escaped NUL in Desc") << answerWith(R"("Desc": "a\u0000b")") << true << 1 << QString()
                                         << with([](ModuleVersion &m) {
                                                m.strDesc = QString::fromUtf8("a\0b", 3);
                                            });

    // Mirrors: an extra key that never makes the answer fail.
    QTest::newRow("Mirrors") << answerWith(R"("Mirrors": ["http://m1/a.7z", "https://m2/a.7z"])") << true << 1
                             << QString() << with([](ModuleVersion &m) {
                                    m.listMirrors = QStringList{"http://m1/a.7z", "https://m2/a.7z"};
                                });
    QTest::newRow("Mirrors not an array") << answerWith(R"("Mirrors": "http://m1/a.7z")") << true << 1
                                          << QStringLiteral("ignoring \"Mirrors\" of  \"A\" : not an array")
                                          << usual();
    QTest::newRow("Mirrors entry not a string")
        << answerWith(R"("Mirrors": [5, "http://m2/a.7z"])") << true << 1
        << QStringLiteral("ignoring \"Mirrors\" entry  0  of  \"A\"")
        << with([](ModuleVersion &m) { m.listMirrors = QStringList{"http://m2/a.7z"}; });

    // Several elements
    QTest::newRow("second of three fails")
        << QByteArray(R"({"value": {"upgrade": [)"
                      R"({"ID": "A", "Url": "http://h/a.7z", "IconUrl": "http://h/a.png", "Desc": "desc",)"
                      R"( "ReleaseDate": 200, "Size": "1.5", "Version": "1.0"},)"
                      R"({"ID": "B", "Url": "http://h/b.7z"},)"
                      R"({"ID": "C", "Url": "http://h/c.7z", "IconUrl": "http://h/c.png"}]}})")
        << false << 1 << formatError << usual();
    QTest::newRow("no value leaks into the next element")
        << QByteArray(R"({"value": {"upgrade": [)"
                      R"({"ID": "A", "Url": "http://h/a.7z", "IconUrl": "http://h/a.png", "Desc": "desc",)"
                      R"( "ReleaseDate": 200, "Size": "1.5", "Version": "1.0"},)"
                      R"({"ID": "B", "Url": "http://h/b.7z", "IconUrl": "http://h/b.png"}]}})")
        << true << 2 << QString()
        << module(QStringLiteral("B"), QStringLiteral("http://h/b.7z"), QStringLiteral("http://h/b.png"), QString(),
                  0, 0.0, QString());
}

void tst_VersionQuery::readVersionAnswer()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, ok);
    QFETCH(int, count);
    QFETCH(QString, warning);
    QFETCH(ModuleVersion, last);

    MessageCapture capture;
    QVector<ModuleVersion> modules;
    QCOMPARE(::readVersionAnswer(answer, modules), ok);
    QCOMPARE(modules.size(), count);
    QCOMPARE(capture.warnings(), warning.isEmpty() ? QStringList() : QStringList{warning});
    if (count > 0) {
        compareModule(modules.last(), last);
        QCOMPARE(modules.last().listMirrors, last.listMirrors);
    }
}

void tst_VersionQuery::appendsToTheCallersList()
{
    QVector<ModuleVersion> modules{module(QStringLiteral("old"), QString(), QString(), QString(), 1, 0, QString())};
    QVERIFY(::readVersionAnswer(answerWith(QByteArray()), modules));
    QCOMPARE(modules.size(), 2);
    QCOMPARE(modules.first().strId, QStringLiteral("old"));
    compareModule(modules.last(), usual());
}

void tst_VersionQuery::queryServer_data()
{
    QTest::addColumn<bool>("https");
    QTest::addColumn<QStringList>("serverArguments");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("warning");

    const QString key = QStringLiteral("s3cret");
    const QString prefix = QStringLiteral("/api");
    const QString path = QStringLiteral("/upgrade/query");
    QTest::newRow("test over http") << false << QStringList() << QStringLiteral("test") << key << prefix << path
                                    << true << QString();
    QTest::newRow("inter over http") << false << QStringList() << QStringLiteral("inter") << key << prefix << path
                                     << true << QString();
    QTest::newRow("other prefix and path")
        << false << QStringList{QStringLiteral("--prefix"), QStringLiteral("/v2"), QStringLiteral("--path"),
                                QStringLiteral("/check")}
        << QStringLiteral("test") << key << QStringLiteral("/v2") << QStringLiteral("/check") << true << QString();
    QTest::newRow("wrong key: refused by the server")
        << false << QStringList() << QStringLiteral("test") << QStringLiteral("guess") << prefix << path << false
        << QStringLiteral("HTTP status 403");
    QTest::newRow("Test asks https of an http server") << false << QStringList() << QStringLiteral("Test") << key
                                                       << prefix << path << false << QStringLiteral("curl error");
    QTest::newRow("error retcode") << false << QStringList{QStringLiteral("--answer"), QStringLiteral("retcode.json")}
                                   << QStringLiteral("test") << key << prefix << path << false
                                   << QStringLiteral("get json error failed!");
    QTest::newRow("prod over https") << true << QStringList() << QStringLiteral("prod") << key << prefix << path
                                     << true << QString();
    QTest::newRow("test asks http of an https server") << true << QStringList() << QStringLiteral("test") << key
                                                       << prefix << path << false << QStringLiteral("curl error");
}

void tst_VersionQuery::queryServer()
{
    QFETCH(bool, https);
    QFETCH(QStringList, serverArguments);
    QFETCH(QString, name);
    QFETCH(QString, key);
    QFETCH(QString, prefix);
    QFETCH(QString, path);
    QFETCH(bool, ok);
    QFETCH(QString, warning);

    ScopedEnvironmentVariable caBundle("CURL_CA_BUNDLE");
    if (https) {
        if (!m_haveCerts)
            QSKIP("the openssl tool is needed to make the test certificates");
        serverArguments << QStringLiteral("--cert") << m_certs.serverCert << QStringLiteral("--cert-key")
                        << m_certs.serverKey;
        caBundle.set(QFile::encodeName(m_certs.caFile));
    }
    for (QString &argument : serverArguments) {
        if (argument.endsWith(QLatin1String(".json")))
            argument = m_root.filePath(argument);
    }
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QStringLiteral("s3cret"), serverArguments), qPrintable(server.errorText()));

    CUpgrade upgrade;
    const ServerClusterInfo info = ScopedServerClusterFile::info(name, server.hostAndPort(), key, prefix, path);
    MessageCapture capture;
    QVector<ModuleVersion> modules;
    QCOMPARE(upgrade.getVersionInfoFromServer(info, modules), ok);
    if (!ok) {
        QVERIFY(modules.isEmpty());
        QVERIFY2(capture.containsWarning(warning), qPrintable(capture.warnings().join(QLatin1Char('\n'))));
        return;
    }
    QVERIFY2(capture.warnings().isEmpty(), qPrintable(capture.warnings().join(QLatin1Char('\n'))));
    QCOMPARE(modules.size(), 2);
    compareModule(modules.at(0), module(QStringLiteral("A"), server.url() + QLatin1String("/packets/a.7z"),
                                        QStringLiteral("http://icons/a.png"), QStringLiteral("Modul Größe"), 200,
                                        12.5, QStringLiteral("2.0")));
    compareModule(modules.at(1), module(QStringLiteral("B"), QStringLiteral("http://elsewhere/b.7z"),
                                        QStringLiteral("http://icons/b.png"), QString(), 300, 1.0,
                                        QStringLiteral("3.1")));
}

void tst_VersionQuery::invalidServerInfo()
{
    CUpgrade upgrade;
    ServerClusterInfo info = ScopedServerClusterFile::info(QStringLiteral("test"), QStringLiteral("127.0.0.1:1"),
                                                           QStringLiteral("k"));
    info.nCurrIndex = 1;
    MessageCapture capture;
    QVector<ModuleVersion> modules;
    QVERIFY(!upgrade.getVersionInfoFromServer(info, modules));
    QCOMPARE(capture.warnings(), (QStringList{QStringLiteral("invalid ServerInfo"),
                                              QStringLiteral("Curr Server Info Invalid")}));
}

QTEST_GUILESS_MAIN(tst_VersionQuery)
#include "tst_versionquery.moc"
