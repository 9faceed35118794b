#include "platform/http.h"

#include "common/filetree.h"
#include "common/testcerts.h"
#include "common/testserver.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const char key[] = "test-key";

QString token(const QString &pathPart)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((pathPart + QLatin1String(key)).toUtf8(), QCryptographicHash::Md5).toHex());
}

struct Received
{
    QByteArray data;
    int calls = 0;
    qint64 acceptUpTo = -1; // refuse the block that would pass this many bytes
};

quint64 receive(const void *data, quint64 size, quint64 count, void *userData)
{
    Received *received = static_cast<Received *>(userData);
    const quint64 bytes = size * count;
    ++received->calls;
    if (received->acceptUpTo >= 0 && received->data.size() + qint64(bytes) > received->acceptUpTo)
        return 0;
    received->data.append(static_cast<const char *>(data), int(bytes));
    return bytes;
}

} // namespace

class tst_Http : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void getInfo_data();
    void getInfo();
    void notInitialised();
    void serverError();
    void refusedConnection();
    void stalledAnswer_data();
    void stalledAnswer();
    void download_data();
    void download();
    void throttledDownload();
    void https_data();
    void https();
    void proxyFromEnvironment();

private:
    QString packetPath(const char *name) const { return m_root.filePath(QLatin1String("packets/") + QLatin1String(name)); }

    QTemporaryDir m_root;
    QTemporaryDir m_certDir;
    TestCerts m_certs;
    bool m_haveCerts = false;
    TestServer m_server;
    // A proxy configured on the machine must not come between us and 127.0.0.1.
    std::vector<std::unique_ptr<ScopedEnvironmentVariable>> m_proxyVariables;
};

void tst_Http::initTestCase()
{
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY", "CURL_CA_BUNDLE"}) {
        m_proxyVariables.emplace_back(new ScopedEnvironmentVariable(name));
        m_proxyVariables.back()->unset();
    }

    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("packets")));
    QFile manifest(m_root.filePath(QStringLiteral("manifest.json")));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    manifest.write(R"({"modules": [{"ID": "A", "Version": "1.0", "ReleaseDate": 200, "Size": "1",)"
                   R"( "Desc": "module A", "IconUrl": "http://icons/a.png", "Packet": "small.bin"}]})");
    manifest.close();

    QByteArray small(100 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char &c : small)
        c = char(generator.bounded(256));
    QFile smallFile(packetPath("small.bin"));
    QVERIFY(smallFile.open(QIODevice::WriteOnly));
    QCOMPARE(smallFile.write(small), qint64(small.size()));
    smallFile.close();
    QFile empty(packetPath("empty.bin"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    // Sparse files: the size is what counts.
    QFile atCap(packetPath("cap.bin"));
    QVERIFY(atCap.open(QIODevice::WriteOnly));
    QVERIFY(atCap.resize(CHttp::MaxInfoSize));
    atCap.close();
    QFile overCap(packetPath("overcap.bin"));
    QVERIFY(overCap.open(QIODevice::WriteOnly));
    QVERIFY(overCap.resize(CHttp::MaxInfoSize + 1));
    overCap.close();

    // A link in packets/ that leads out of it is not followed.
    QVERIFY(QFile::link(m_root.filePath(QStringLiteral("manifest.json")), packetPath("outside.bin")));

    QVERIFY2(m_server.start(m_root.path(), QLatin1String(key)), qPrintable(m_server.errorText()));

    if (TestCerts::haveOpenSsl()) {
        QVERIFY(m_certDir.isValid());
        QVERIFY2(m_certs.create(m_certDir.path()), qPrintable(m_certs.errorText()));
        m_haveCerts = true;
    }
}

void tst_Http::getInfo_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("headers");
    QTest::addColumn<int>("error");
    QTest::addColumn<long>("status");
    QTest::addColumn<QString>("result");

    const QString query = QStringLiteral("/upgrade/query/-4711");
    const QString tokenHeader = QStringLiteral("token:") + token(query);

    QTest::newRow("query with token") << QString(QLatin1String("/api") + query) << QStringList{tokenHeader}
                                      << int(HTTP_SUCCESS) << 200L << QStringLiteral("\"retcode\":0");
    QTest::newRow("token among other headers")
        << QString(QLatin1String("/api") + query) << QStringList{QStringLiteral("X-Other: 1"), tokenHeader}
        << int(HTTP_SUCCESS) << 200L << QStringLiteral("\"ID\":\"A\"");
    QTest::newRow("query without token") << QString(QLatin1String("/api") + query) << QStringList()
                                         << int(HTTP_STATUS_FAILED) << 403L << QStringLiteral("HTTP status 403");
    QTest::newRow("token of another number")
        << QStringLiteral("/api/upgrade/query/4711") << QStringList{tokenHeader} << int(HTTP_STATUS_FAILED) << 403L
        << QStringLiteral("HTTP status 403");
    QTest::newRow("upper-case token")
        << QString(QLatin1String("/api") + query) << QStringList{tokenHeader.toUpper().replace(0, 6, QLatin1String("token:"))}
        << int(HTTP_STATUS_FAILED) << 403L << QStringLiteral("HTTP status 403");
    QTest::newRow("not found") << QStringLiteral("/nothing/here") << QStringList() << int(HTTP_STATUS_FAILED) << 404L
                               << QStringLiteral("HTTP status 404");
    QTest::newRow("packet outside the packets directory")
        << QStringLiteral("/packets/..%2Fmanifest.json") << QStringList() << int(HTTP_STATUS_FAILED) << 404L
        << QStringLiteral("HTTP status 404");
    QTest::newRow("link out of the packets directory")
        << QStringLiteral("/packets/outside.bin") << QStringList() << int(HTTP_STATUS_FAILED) << 404L
        << QStringLiteral("HTTP status 404");
    QTest::newRow("redirects within the bound")
        << QStringLiteral("/redirect/%1").arg(CHttp::MaxRedirects) << QStringList() << int(HTTP_SUCCESS) << 200L
        << QStringLiteral("redirected");
    QTest::newRow("one redirect too many")
        << QStringLiteral("/redirect/%1").arg(CHttp::MaxRedirects + 1) << QStringList() << int(HTTP_REQUEST_FAILED)
        << 302L << QStringLiteral("curl error 47");
    QTest::newRow("answer at the cap") << QStringLiteral("/packets/cap.bin") << QStringList() << int(HTTP_SUCCESS)
                                       << 200L << QString();
    QTest::newRow("answer that is no UTF-8") << QStringLiteral("/packets/small.bin") << QStringList()
                                             << int(HTTP_SUCCESS) << 200L << QString();
    QTest::newRow("answer over the cap") << QStringLiteral("/packets/overcap.bin") << QStringList()
                                         << int(HTTP_TOO_LARGE) << 200L << QStringLiteral("larger than");
    QTest::newRow("header line with a line break")
        << QString(QLatin1String("/api") + query) << QStringList{tokenHeader + QLatin1String("\r\nX-Injected: 1")}
        << int(HTTP_REQUEST_FAILED) << 0L << QStringLiteral("invalid header line");
}

void tst_Http::getInfo()
{
    if (QByteArray(QTest::currentDataTag()) == "link out of the packets directory")
        TVX_SKIP_WITHOUT_SYMLINKS();
    QFETCH(QString, path);
    QFETCH(QStringList, headers);
    QFETCH(int, error);
    QFETCH(long, status);
    QFETCH(QString, result);

    CHttp http;
    QCOMPARE(http.InitData(), 0);
    http.setTimeOut(5000, 512, 20);
    // The answer before must not show through a failure.
    QCOMPARE(http.GetInfo(m_server.url() + QLatin1String("/redirect/0"), QStringList()), HTTP_SUCCESS);
    QCOMPARE(int(http.GetInfo(m_server.url() + path, headers)), error);
    QCOMPARE(http.httpStatus(), status);
    QVERIFY2(http.GetResult().contains(result), qPrintable(http.GetResult().left(200)));
    if (path == QLatin1String("/packets/cap.bin"))
        QCOMPARE(http.GetResult().size(), int(CHttp::MaxInfoSize));
    if (error != int(HTTP_SUCCESS))
        QVERIFY(http.resultBody().isEmpty());
    else if (path.startsWith(QLatin1String("/packets/")))
        QCOMPARE(http.resultBody(), FileTree::readFile(packetPath(qPrintable(path.mid(9)))));
    else
        QCOMPARE(http.resultBody(), http.GetResult().toUtf8());
}

void tst_Http::notInitialised()
{
    CHttp http;
    QCOMPARE(http.GetInfo(m_server.url() + QLatin1String("/redirect/0"), QStringList()), HTTP_INIT_FAILED);
    QVERIFY(!http.GetResult().isEmpty());

    QCOMPARE(http.InitData(), 0);
    DonwloadFileParam noCallback;
    QCOMPARE(http.DownloadFile(m_server.url() + QLatin1String("/packets/small.bin"), noCallback), HTTP_INIT_FAILED);
}

void tst_Http::serverError()
{
    // A server whose answer cannot be read answers 500.
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QLatin1String(key),
                          {QStringLiteral("--answer"), m_root.filePath(QStringLiteral("missing.json"))}),
             qPrintable(server.errorText()));
    const QString query = QStringLiteral("/upgrade/query/1");
    CHttp http;
    QCOMPARE(http.InitData(), 0);
    QCOMPARE(http.GetInfo(server.url() + QLatin1String("/api") + query, {QStringLiteral("token:") + token(query)}),
             HTTP_STATUS_FAILED);
    QCOMPARE(http.httpStatus(), 500L);
    QCOMPARE(http.GetResult(), QStringLiteral("HTTP status 500"));
}

void tst_Http::refusedConnection()
{
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QLatin1String(key)), qPrintable(server.errorText()));
    const QString url = server.url() + QLatin1String("/redirect/0");
    server.stop(); // nobody listens on the port any more

    CHttp http;
    QCOMPARE(http.InitData(), 0);
    http.setTimeOut(5000, 512, 20);
    QCOMPARE(http.GetInfo(url, QStringList()), HTTP_REQUEST_FAILED);
    QVERIFY2(http.GetResult().startsWith(QLatin1String("curl error 7:")), qPrintable(http.GetResult()));
    QCOMPARE(http.httpStatus(), 0L);
}

void tst_Http::stalledAnswer_data()
{
    QTest::addColumn<QString>("stallAfter");
    QTest::addColumn<bool>("download");

    QTest::newRow("query, stalled before the body") << QStringLiteral("0") << false;
    QTest::newRow("query, stalled in the body") << QStringLiteral("20") << false;
    QTest::newRow("download, stalled in the body") << QStringLiteral("1000") << true;
}

void tst_Http::stalledAnswer()
{
    QFETCH(QString, stallAfter);
    QFETCH(bool, download);

    TestServer server;
    QVERIFY2(server.start(m_root.path(), QLatin1String(key), {QStringLiteral("--stall-after-bytes"), stallAfter}),
             qPrintable(server.errorText()));
    CHttp http;
    QCOMPARE(http.InitData(), 0);
    // Below 512 bytes/s for one second: given up.
    http.setTimeOut(5000, 512, 1);
    if (download) {
        Received received;
        DonwloadFileParam param;
        param.pfnWriteData = &receive;
        param.pUserData = &received;
        QCOMPARE(http.DownloadFile(server.url() + QLatin1String("/packets/small.bin"), param), HTTP_REQUEST_FAILED);
        QCOMPARE(received.data, FileTree::readFile(packetPath("small.bin")).left(stallAfter.toInt()));
    } else {
        const QString query = QStringLiteral("/upgrade/query/7");
        QCOMPARE(http.GetInfo(server.url() + QLatin1String("/api") + query, {QStringLiteral("token:") + token(query)}),
                 HTTP_REQUEST_FAILED);
    }
    QVERIFY2(http.GetResult().startsWith(QLatin1String("curl error 28:")), qPrintable(http.GetResult()));
    QCOMPARE(http.httpStatus(), 200L);
}

void tst_Http::download_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("acceptUpTo");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("expectedFile");
    QTest::addColumn<QByteArray>("expectedData");

    QTest::newRow("packet") << QStringLiteral("/packets/small.bin") << qint64(-1) << int(HTTP_SUCCESS)
                            << QStringLiteral("small.bin") << QByteArray();
    QTest::newRow("empty packet") << QStringLiteral("/packets/empty.bin") << qint64(-1) << int(HTTP_SUCCESS)
                                  << QString() << QByteArray();
    QTest::newRow("only the final body of a redirect")
        << QStringLiteral("/redirect/2") << qint64(-1) << int(HTTP_SUCCESS) << QString() << QByteArray("redirected\n");
    QTest::newRow("missing packet: no error page in the file")
        << QStringLiteral("/packets/missing.bin") << qint64(-1) << int(HTTP_STATUS_FAILED) << QString()
        << QByteArray();
    QTest::newRow("forbidden: no error page in the file")
        << QStringLiteral("/api/upgrade/query/1") << qint64(-1) << int(HTTP_STATUS_FAILED) << QString()
        << QByteArray();
    QTest::newRow("receiver refuses a block")
        << QStringLiteral("/packets/small.bin") << qint64(1) << int(HTTP_WRITE_ABORTED) << QString() << QByteArray();
}

void tst_Http::download()
{
    QFETCH(QString, path);
    QFETCH(qint64, acceptUpTo);
    QFETCH(int, error);
    QFETCH(QString, expectedFile);
    QFETCH(QByteArray, expectedData);

    CHttp http;
    QCOMPARE(http.InitData(), 0);
    http.setTimeOut(5000, 512, 20);
    Received received;
    received.acceptUpTo = acceptUpTo;
    DonwloadFileParam param;
    param.pfnWriteData = &receive;
    param.pUserData = &received;
    QCOMPARE(int(http.DownloadFile(m_server.url() + path, param)), error);
    const QByteArray expected = expectedFile.isEmpty()
                                    ? expectedData
                                    : FileTree::readFile(m_root.filePath(QLatin1String("packets/") + expectedFile));
    QCOMPARE(received.data, expected);
    if (error == HTTP_STATUS_FAILED)
        QCOMPARE(received.calls, 0);
    if (error != HTTP_SUCCESS)
        QVERIFY(!http.GetResult().isEmpty());
}

void tst_Http::throttledDownload()
{
    // Slow but moving above the low-speed limit: the transfer takes its time and succeeds.
    {
        TestServer server;
        QVERIFY2(server.start(m_root.path(), QLatin1String(key),
                              {QStringLiteral("--throttle-bytes-per-sec"), QStringLiteral("200000")}),
                 qPrintable(server.errorText()));
        CHttp http;
        QCOMPARE(http.InitData(), 0);
        http.setTimeOut(5000, 512, 1);
        Received received;
        DonwloadFileParam param;
        param.pfnWriteData = &receive;
        param.pUserData = &received;
        QCOMPARE(http.DownloadFile(server.url() + QLatin1String("/packets/small.bin"), param), HTTP_SUCCESS);
        QCOMPARE(received.data, FileTree::readFile(packetPath("small.bin")));
        QVERIFY(received.calls > 1);
    }
    // Moving, but below the limit: given up.
    {
        TestServer server;
        QVERIFY2(server.start(m_root.path(), QLatin1String(key),
                              {QStringLiteral("--throttle-bytes-per-sec"), QStringLiteral("100")}),
                 qPrintable(server.errorText()));
        CHttp http;
        QCOMPARE(http.InitData(), 0);
        http.setTimeOut(5000, 512, 1);
        Received received;
        DonwloadFileParam param;
        param.pfnWriteData = &receive;
        param.pUserData = &received;
        QCOMPARE(http.DownloadFile(server.url() + QLatin1String("/packets/small.bin"), param), HTTP_REQUEST_FAILED);
        QVERIFY2(http.GetResult().startsWith(QLatin1String("curl error 28:")), qPrintable(http.GetResult()));
    }
}

void tst_Http::https_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("test CA, 127.0.0.1") << QStringLiteral("server") << QStringLiteral("127.0.0.1") << true << true;
    QTest::newRow("test CA, localhost") << QStringLiteral("server") << QStringLiteral("localhost") << true << true;
    QTest::newRow("test CA not trusted") << QStringLiteral("server") << QStringLiteral("127.0.0.1") << false << false;
    QTest::newRow("another CA") << QStringLiteral("other") << QStringLiteral("127.0.0.1") << true << false;
    QTest::newRow("host name does not match") << QStringLiteral("wrong") << QStringLiteral("127.0.0.1") << true
                                              << false;
}

void tst_Http::https()
{
    QFETCH(QString, certificate);
    QFETCH(QString, host);
    QFETCH(bool, trustTestCa);
    QFETCH(bool, succeeds);
    if (!m_haveCerts)
        QSKIP("the openssl tool is needed to make the test certificates");

    const QString cert = certificate == QLatin1String("server") ? m_certs.serverCert
                         : certificate == QLatin1String("other") ? m_certs.otherCert
                                                                  : m_certs.wrongHostCert;
    const QString certKey = certificate == QLatin1String("server") ? m_certs.serverKey
                            : certificate == QLatin1String("other") ? m_certs.otherKey
                                                                     : m_certs.wrongHostKey;
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QLatin1String(key),
                          {QStringLiteral("--cert"), cert, QStringLiteral("--cert-key"), certKey}),
             qPrintable(server.errorText()));
    QVERIFY(server.url().startsWith(QLatin1String("https://127.0.0.1:")));

    ScopedEnvironmentVariable caBundle("CURL_CA_BUNDLE");
    if (trustTestCa)
        caBundle.set(QFile::encodeName(m_certs.caFile));

    QString url = server.url() + QLatin1String("/redirect/0");
    url.replace(QLatin1String("127.0.0.1"), host);
    CHttp http;
    QCOMPARE(http.InitData(), 0);
    http.setTimeOut(5000, 512, 20);
    const HTTP_ERROR error = http.GetInfo(url, QStringList());
    if (succeeds) {
        QCOMPARE(error, HTTP_SUCCESS);
        QCOMPARE(http.GetResult(), QStringLiteral("redirected\n"));
    } else {
        QCOMPARE(error, HTTP_REQUEST_FAILED);
        QCOMPARE(http.httpStatus(), 0L);
        QVERIFY2(http.GetResult().startsWith(QLatin1String("curl error 60:")), qPrintable(http.GetResult()));
    }
}

void tst_Http::proxyFromEnvironment()
{
    TestServer deadProxy;
    QVERIFY2(deadProxy.start(m_root.path(), QLatin1String(key)), qPrintable(deadProxy.errorText()));
    const QByteArray proxyUrl = deadProxy.url().toLatin1();
    deadProxy.stop();

    const QString url = m_server.url() + QLatin1String("/redirect/0");
    ScopedEnvironmentVariable httpProxy("http_proxy", proxyUrl);
    {
        CHttp http;
        QCOMPARE(http.InitData(), 0);
        QCOMPARE(http.GetInfo(url, QStringList()), HTTP_REQUEST_FAILED);
        QVERIFY2(http.GetResult().startsWith(QLatin1String("curl error 7:")), qPrintable(http.GetResult()));
    }
    ScopedEnvironmentVariable noProxy("no_proxy", "127.0.0.1");
    {
        CHttp http;
        QCOMPARE(http.InitData(), 0);
        QCOMPARE(http.GetInfo(url, QStringList()), HTTP_SUCCESS);
    }
}

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
