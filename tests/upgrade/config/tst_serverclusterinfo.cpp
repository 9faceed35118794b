#include "upgrade/config/serverclusterinfo.h"

#include "upgrade/config/aescipher.h"

#include "common/filesizelimit.h"
#include "common/filetree.h"
#include "common/messagecapture.h"

#include <QtTest>
#include <QtXml>

using FileTree::readFile;
using FileTree::writeFile;
using KelmGUI::KelmDomNodeResolve;

Q_DECLARE_METATYPE(ServerClusterInfo)

namespace {

ServerClusterInfo makeInfo(int current, const QVector<QPair<QString, QString>> &servers,
                           const QString &prefix = QStringLiteral("/api"),
                           const QString &path = QStringLiteral("/upgrade/query"),
                           const QString &key = QStringLiteral("s3cr3t"))
{
    ServerClusterInfo info;
    info.nCurrIndex = current;
    info.vecServers = servers;
    info.strPrefix = prefix;
    info.strPath = path;
    info.strKey = key;
    return info;
}

// current|name=url;...|prefix|path|key
QString describe(const ServerClusterInfo &info)
{
    QStringList servers;
    for (const auto &server : info.vecServers)
        servers << server.first + '=' + server.second;
    return QStringLiteral("%1|%2|%3|%4|%5")
        .arg(info.nCurrIndex)
        .arg(servers.join(';'), info.strPrefix, info.strPath, info.strKey);
}

QByteArray enc(const QString &value)
{
    QString text;
    encryptToHexText(value, text);
    return text.toLatin1();
}

// A cluster file put together from its parts; each test row changes one.
struct ClusterFile
{
    QByteArray root = "UpgradeServer";
    QByteArray upgrade = "<Upgrade key=\"" + enc("s3cr3t") + "\" prefix=\"" + enc("/api") + "\" path=\""
        + enc("/upgrade/query") + "\"/>";
    QByteArray current = "<CurrServer>main</CurrServer>";
    QByteArray servers = "<Servers><Server name=\"backup\" svrurl=\"" + enc("http://backup.example") + "\"/>"
                         "<Server name=\"main\" svrurl=\"" + enc("https://main.example:8443") + "\"/></Servers>";

    QByteArray bytes() const
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + root + ">" + upgrade + current + servers + "</" + root
            + ">\n";
    }
};

const QString validRecord =
    QStringLiteral("1|backup=http://backup.example;main=https://main.example:8443|/api|/upgrade/query|s3cr3t");

} // namespace

class tst_ServerClusterInfo : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void readAccepted_data();
    void readAccepted();
    void readFailures_data();
    void readFailures();
    void readStoredFile();
    void saveFailures_data();
    void saveFailures();
    void saveEmptyUrlOfOtherServer();
    void nodeOperations();
};

void tst_ServerClusterInfo::roundTrip_data()
{
    QTest::addColumn<ServerClusterInfo>("info");

    QTest::newRow("one server") << makeInfo(0, { { "main", "http://127.0.0.1:8080" } });
    QTest::newRow("current last")
        << makeInfo(2, { { "a", "http://a" }, { "b", "http://b" }, { "c", "https://c/x?y=1&z=2" } });
    QTest::newRow("markup and spaces")
        << makeInfo(0, { { " <main> & \"q\" ", "http://x/<>&\"'" }, { "\t", " " } }, "  ", "a\r\nb", "<&>");
    QTest::newRow("blank current name") << makeInfo(1, { { "a", "http://a" }, { "   ", "http://blank" } });
    QTest::newRow("non-ascii")
        << makeInfo(0, { { "主服务器", "https://升级.example/路径" }, { "é", "ü" } }, "前缀", "路径", "密钥");
    QTest::newRow("longest values")
        << makeInfo(0, { { "m", QString(1599, 'u') } }, QString(1599, 'p'), QString(799, QChar(0xe9)) + 'x',
                    QString(1599, 'k'));
}

void tst_ServerClusterInfo::roundTrip()
{
    QFETCH(ServerClusterInfo, info);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("UpgradeServerCluster.xml");
    {
        MessageCapture capture;
        QVERIFY(saveServerClusterInfo(info, path));
        QCOMPARE(capture.warnings(), QStringList());
    }

    ServerClusterInfo read;
    QVERIFY(readServerClusterInfo(path, read));
    QCOMPARE(describe(read), describe(info));

    // The file as another reader sees it: encrypted attributes in lower-case
    // hexadecimal, names and the current server in plain text.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QDomDocument document;
    QVERIFY(document.setContent(&file));
    const QDomElement root = document.documentElement();
    QCOMPARE(root.tagName(), QStringLiteral("UpgradeServer"));
    const QRegularExpression hex("^([0-9a-f]{32})+$");
    const QDomElement upgrade = root.firstChildElement("Upgrade");
    const QStringList attributes = { "key", "prefix", "path" };
    const QStringList values = { info.strKey, info.strPrefix, info.strPath };
    for (int i = 0; i < attributes.size(); ++i) {
        const QString text = upgrade.attribute(attributes.at(i));
        QVERIFY2(hex.match(text).hasMatch(), qPrintable(text));
        QCOMPARE(decryptFromHexText(text), values.at(i));
    }
    QCOMPARE(root.firstChildElement("CurrServer").text(), info.vecServers.at(info.nCurrIndex).first);
    QDomElement server = root.firstChildElement("Servers").firstChildElement();
    for (const auto &expected : qAsConst(info.vecServers)) {
        QCOMPARE(server.tagName(), QStringLiteral("Server"));
        QCOMPARE(server.attribute("name"), expected.first);
        QVERIFY(hex.match(server.attribute("svrurl")).hasMatch());
        QCOMPARE(decryptFromHexText(server.attribute("svrurl")), expected.second);
        server = server.nextSiblingElement();
    }
    QVERIFY(server.isNull());
}

void tst_ServerClusterInfo::readAccepted_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("record");

    QTest::newRow("valid") << ClusterFile().bytes() << validRecord;

    ClusterFile otherRoot;
    otherRoot.root = "Whatever";
    QTest::newRow("root of another name") << otherRoot.bytes() << validRecord;

    ClusterFile reordered;
    std::swap(reordered.upgrade, reordered.servers);
    QTest::newRow("elements in another order") << reordered.bytes() << validRecord;

    ClusterFile twice;
    twice.servers = "<Servers><Server name=\"main\" svrurl=\"" + enc("http://first") + "\"/><Server name=\"main\" svrurl=\""
        + enc("http://second") + "\"/><Server name=\"x\" svrurl=\"" + enc("http://x") + "\"/></Servers>";
    QTest::newRow("current name twice: the later one")
        << twice.bytes() << QStringLiteral("1|main=http://first;main=http://second;x=http://x|/api|/upgrade/query|s3cr3t");

    ClusterFile mixed;
    mixed.servers = "<Servers>\n<!-- spare --><Mirror name=\"m\" svrurl=\"" + enc("http://m") + "\"/>text<?pi?>"
        "<Server name=\"main\" svrurl=\"" + enc("http://main") + "\"/></Servers>";
    QTest::newRow("any element name, other nodes skipped")
        << mixed.bytes() << QStringLiteral("1|m=http://m;main=http://main|/api|/upgrade/query|s3cr3t");

    ClusterFile upper;
    upper.upgrade = "<Upgrade key=\"" + enc("s3cr3t").toUpper() + "\" prefix=\"" + enc("/api") + "\" path=\""
        + enc("/upgrade/query") + "\" extra=\"1\"/>";
    QTest::newRow("upper-case digits") << upper.bytes() << validRecord;

    ClusterFile notUtf8;
    QByteArray cipher;
    AES_Encrypt(QByteArray("http://\xff"), cipher);
    notUtf8.servers = "<Servers><Server name=\"main\" svrurl=\"" + cipher.toHex() + "\"/></Servers>";
    QTest::newRow("url not UTF-8")
        << notUtf8.bytes() << QStringLiteral("0|main=http://\ufffd|/api|/upgrade/query|s3cr3t");

    ClusterFile otherKey;
    otherKey.servers = "<Servers><Server name=\"main\" svrurl=\"00112233445566778899aabbccddeeff\"/></Servers>";
    ServerClusterInfo garbled;
    garbled.vecServers.append(qMakePair(QStringLiteral("main"), decryptFromHexText("00112233445566778899aabbccddeeff")));
    QTest::newRow("url made with another key")
        << otherKey.bytes()
        << QStringLiteral("0|main=%1|/api|/upgrade/query|s3cr3t").arg(garbled.vecServers.at(0).second);
}

void tst_ServerClusterInfo::readAccepted()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, record);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("UpgradeServerCluster.xml");
    QVERIFY(writeFile(path, content));

    ServerClusterInfo info;
    MessageCapture capture;
    QVERIFY(readServerClusterInfo(path, info));
    QCOMPARE(describe(info), record);
    QCOMPARE(capture.warnings(), QStringList());
}

void tst_ServerClusterInfo::readFailures_data()
{
    QTest::addColumn<QByteArray>("content"); // "<none>": no such file
    QTest::addColumn<QStringList>("warnings"); // %1: the path

    QTest::newRow("missing file") << QByteArray("<none>") << QStringList { "load file  \"%1\"  failed!" };
    QTest::newRow("truncated") << ClusterFile().bytes().left(120) << QStringList { "load file  \"%1\"  failed!" };
    QTest::newRow("empty file") << QByteArray() << QStringList { "load file  \"%1\"  failed!" };

    ClusterFile noUpgrade;
    noUpgrade.upgrade = "<upgrade/>";
    QTest::newRow("no Upgrade") << noUpgrade.bytes() << QStringList { "get node Upgrade from file from  \"%1\"  failed" };

    const QStringList names = { "prefix", "key", "path" };
    for (const QString &name : names) {
        ClusterFile missing;
        QDomDocument document;
        QVERIFY(document.setContent(missing.upgrade));
        document.documentElement().removeAttribute(name);
        missing.upgrade = document.toByteArray(-1);
        QTest::addRow("no %s", qPrintable(name))
            << missing.bytes()
            << QStringList { "get node attribute name failed!",
                             QStringLiteral("get Node Upgrade Attribute %1 from  \"%2\"  failed").arg(name, "%1") };
        document.documentElement().setAttribute(name, QString());
        missing.upgrade = document.toByteArray(-1);
        QTest::addRow("empty %s", qPrintable(name))
            << missing.bytes()
            << QStringList { "get node attribute name failed!",
                             QStringLiteral("get Node Upgrade Attribute %1 from  \"%2\"  failed").arg(name, "%1") };
    }

    ClusterFile blankPrefix;
    blankPrefix.upgrade = "<Upgrade key=\"" + enc("s3cr3t") + "\" prefix=\"zz-zz\" path=\"" + enc("/q") + "\"/>";
    QTest::newRow("prefix without hexadecimal digits")
        << blankPrefix.bytes()
        << QStringList { "invalid ServerInfo something is empty", "Curr Server Info Invalid in  \"%1\"" };

    ClusterFile noCurrent;
    noCurrent.current = "<Current>main</Current>";
    QTest::newRow("no CurrServer") << noCurrent.bytes() << QStringList { "get node Upgrade from  \"%1\"  failed" };

    ClusterFile unknownCurrent;
    unknownCurrent.current = "<CurrServer>Main</CurrServer>";
    QTest::newRow("current matches no server")
        << unknownCurrent.bytes() << QStringList { "invalid ServerInfo", "Curr Server Info Invalid in  \"%1\"" };

    ClusterFile noServers;
    noServers.servers = "<Server name=\"main\" svrurl=\"" + enc("http://main") + "\"/>";
    QTest::newRow("no Servers") << noServers.bytes() << QStringList { "get node Servers from  \"%1\"  failed" };

    ClusterFile emptyServers;
    emptyServers.servers = "<Servers><!-- none --></Servers>";
    QTest::newRow("empty Servers")
        << emptyServers.bytes() << QStringList { "invalid ServerInfo", "Curr Server Info Invalid in  \"%1\"" };

    ClusterFile noName;
    noName.servers = "<Servers><Server svrurl=\"" + enc("http://a") + "\"/></Servers>";
    QTest::newRow("server without name")
        << noName.bytes() << QStringList { "set Server node attribute name from  \"%1\"  failed" };

    ClusterFile emptyName;
    emptyName.servers = "<Servers><Server name=\"main\" svrurl=\"" + enc("http://a") + "\"/><Server name=\"\" svrurl=\""
        + enc("http://b") + "\"/></Servers>";
    QTest::newRow("second server with empty name")
        << emptyName.bytes() << QStringList { "set Server node attribute name from  \"%1\"  failed" };

    ClusterFile noUrl;
    noUrl.servers = "<Servers><Server name=\"main\"/></Servers>";
    QTest::newRow("server without svrurl")
        << noUrl.bytes()
        << QStringList { "get node attribute name failed!", "set Server node attribute svrurl from  \"%1\"  failed" };

    ClusterFile emptyUrl;
    emptyUrl.servers = "<Servers><Server name=\"spare\" svrurl=\"\"/><Server name=\"main\" svrurl=\""
        + enc("http://main") + "\"/></Servers>";
    QTest::newRow("other server with empty svrurl")
        << emptyUrl.bytes()
        << QStringList { "get node attribute name failed!", "set Server node attribute svrurl from  \"%1\"  failed" };

    ClusterFile blankUrl;
    blankUrl.servers = "<Servers><Server name=\"main\" svrurl=\"--\"/></Servers>";
    QTest::newRow("current url decrypts to nothing")
        << blankUrl.bytes()
        << QStringList { "invalid ServerInfo something is empty", "Curr Server Info Invalid in  \"%1\"" };

    ClusterFile longUrl;
    longUrl.servers = "<Servers><Server name=\"main\" svrurl=\"" + QByteArray(3202, 'a') + "\"/></Servers>";
    QTest::newRow("url longer than 1600 bytes")
        << longUrl.bytes()
        << QStringList { "AES_Decrypt cipher text too long, size is 1601", "invalid ServerInfo something is empty",
                         "Curr Server Info Invalid in  \"%1\"" };
}

void tst_ServerClusterInfo::readFailures()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("UpgradeServerCluster.xml");
    if (content != "<none>")
        QVERIFY(writeFile(path, content));

    ServerClusterInfo info;
    MessageCapture capture;
    QVERIFY(!readServerClusterInfo(path, info));
    for (QString &warning : warnings)
        warning.replace(QLatin1String("%1"), path);
    QCOMPARE(capture.warnings(), warnings);
}

void tst_ServerClusterInfo::readStoredFile()
{
    // Written by saveServerClusterInfo with this build's key and IV: files in
    // the field must stay readable.
    ServerClusterInfo info;
    QVERIFY(readServerClusterInfo(QStringLiteral(TVX_TEST_DATA_DIR "/upgradeservercluster_saved.xml"), info));
    QCOMPARE(describe(info),
             QStringLiteral("1|backup=http://backup.example/upgrade;main=https://upgrade.example:8443|/api/v1"
                            "|/upgrade/query|shared-secret-42"));

    // The record read before is replaced, not added to.
    QVERIFY(readServerClusterInfo(QStringLiteral(TVX_TEST_DATA_DIR "/upgradeservercluster_saved.xml"), info));
    QCOMPARE(info.vecServers.size(), 2);
    QCOMPARE(info.nCurrIndex, 1);
}

void tst_ServerClusterInfo::saveFailures_data()
{
    QTest::addColumn<ServerClusterInfo>("info");
    QTest::addColumn<QString>("target"); // file, directory, full
    QTest::addColumn<QStringList>("warnings"); // %1: the path

    const QVector<QPair<QString, QString>> two = { { "a", "http://a" }, { "b", "http://b" } };
    const QStringList invalid = { "invalid ServerInfo", "current serverClusterInfo invaild!" };
    const QStringList empty = { "invalid ServerInfo something is empty", "current serverClusterInfo invaild!" };

    QTest::newRow("no current server") << makeInfo(-1, two) << "file" << invalid;
    QTest::newRow("current index past the end") << makeInfo(2, two) << "file" << invalid;
    QTest::newRow("no servers") << makeInfo(0, {}) << "file" << invalid;
    QTest::newRow("current url empty") << makeInfo(1, { { "a", "http://a" }, { "b", "" } }) << "file" << empty;
    QTest::newRow("current name empty") << makeInfo(0, { { "", "http://a" } }) << "file" << empty;
    QTest::newRow("prefix empty") << makeInfo(0, two, "") << "file" << empty;
    QTest::newRow("path empty") << makeInfo(0, two, "/api", "") << "file" << empty;
    QTest::newRow("key empty") << makeInfo(0, two, "/api", "/q", "") << "file" << empty;

    QTest::newRow("key of 1600 bytes")
        << makeInfo(0, two, "/api", "/q", QString(1600, 'k')) << "file"
        << QStringList { "AES_Encrypt attribute value failed! code is  2",
                         "setNodeAttributeEncrypt node  \"Upgrade\"  attribute  \"key\"  failed!",
                         "set Node Upgrade Attribute key failed!" };
    QTest::newRow("prefix of 800 two-byte characters")
        << makeInfo(0, two, QString(800, QChar(0xe9))) << "file"
        << QStringList { "AES_Encrypt attribute value failed! code is  2",
                         "setNodeAttributeEncrypt node  \"Upgrade\"  attribute  \"prefix\"  failed!",
                         "set Node Upgrade Attribute prefix failed!" };
    QTest::newRow("path of 1600 bytes")
        << makeInfo(0, two, "/api", QString(1600, 'p')) << "file"
        << QStringList { "AES_Encrypt attribute value failed! code is  2",
                         "setNodeAttributeEncrypt node  \"Upgrade\"  attribute  \"path\"  failed!",
                         "set Node Upgrade Attribute path failed!" };
    QTest::newRow("other url of 1600 bytes")
        << makeInfo(0, { { "a", "http://a" }, { "b", QString(1600, 'u') } }) << "file"
        << QStringList { "AES_Encrypt attribute value failed! code is  2", "set Server node attribute svrurl failed!" };
    QTest::newRow("current name not storable")
        << makeInfo(0, { { QStringLiteral("a\x01"), "http://a" } }) << "file"
        << QStringList { "set node  \"CurrServer\"  value failed!", "set node CurrServer value failed!" };
    QTest::newRow("other name not storable")
        << makeInfo(0, { { "a", "http://a" }, { QString(QChar(0xfffe)), "http://b" } }) << "file"
        << QStringList { "set Server node attribute name failed!" };
    QTest::newRow("path is a directory")
        << makeInfo(0, two) << "directory" << QStringList { "save Server Cluster Info to file  \"%1\"  failed!" };
    QTest::newRow("disk full")
        << makeInfo(0, two) << "full" << QStringList { "save Server Cluster Info to file  \"%1\"  failed!" };
}

void tst_ServerClusterInfo::saveFailures()
{
    QFETCH(ServerClusterInfo, info);
    QFETCH(QString, target);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("UpgradeServerCluster.xml");
    if (target == "directory")
        QVERIFY(QDir().mkdir(path));
    else
        QVERIFY(writeFile(path, ClusterFile().bytes()));
    const QByteArray before = readFile(path);

    bool saved;
    MessageCapture capture;
    if (target == "full") {
        FileSizeLimit limit(16);
        if (!limit.isActive())
            QSKIP("cannot cap the file size here");
        saved = saveServerClusterInfo(info, path);
    } else {
        saved = saveServerClusterInfo(info, path);
    }
    QVERIFY(!saved);
    for (QString &warning : warnings)
        warning.replace(QLatin1String("%1"), path);
    QCOMPARE(capture.warnings(), warnings);
    QCOMPARE(readFile(path), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList { "UpgradeServerCluster.xml" });
}

void tst_ServerClusterInfo::saveEmptyUrlOfOtherServer()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("UpgradeServerCluster.xml");
    QVERIFY(saveServerClusterInfo(makeInfo(0, { { "a", "http://a" }, { "spare", "" } }), path));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QDomDocument document;
    QVERIFY(document.setContent(&file));
    const QDomElement spare = document.documentElement().firstChildElement("Servers").lastChildElement();
    QCOMPARE(spare.attribute("name"), QStringLiteral("spare"));
    QVERIFY(spare.hasAttribute("svrurl"));
    QCOMPARE(spare.attribute("svrurl"), QString());

    ServerClusterInfo info;
    MessageCapture capture;
    QVERIFY(!readServerClusterInfo(path, info));
    QCOMPARE(capture.warnings(),
             QStringList({ "get node attribute name failed!",
                           QStringLiteral("set Server node attribute svrurl from  \"%1\"  failed").arg(path) }));
}

void tst_ServerClusterInfo::nodeOperations()
{
    MessageCapture capture;
    KelmDomNodeResolve none;
    QString value = QStringLiteral("kept");
    QVERIFY(!getNodeAttributeDecrypt(none, "a", value));
    QVERIFY(!setNodeAttributeEncrypt(none, "a", "v"));
    QVERIFY(!setChildNodeAttributeEncrypt(none, "Child", "a", "v"));
    QVERIFY(!setChildNodeValue(none, "Child", "v"));
    QCOMPARE(value, QStringLiteral("kept"));
    QCOMPARE(capture.warnings(),
             QStringList({ "nameNode not exist!", "nameNode not exist!", "create node failed!", "create node failed!" }));
    capture.clear();

    KelmDomNodeResolve root;
    QVERIFY(root.CreateRootNode("Root"));
    QVERIFY(setChildNodeAttributeEncrypt(root, "Child", "a", "first"));
    QVERIFY(setChildNodeAttributeEncrypt(root, "Child", "b", QString()));
    QVERIFY(setChildNodeValue(root, "Child", "text"));
    QCOMPARE(root.GetChildNodeCount(), 1);
    KelmDomNodeResolve child = root.FindChildByNodeName("Child");
    QCOMPARE(child.GetNodeValue(), QStringLiteral("text"));
    QVERIFY(getNodeAttributeDecrypt(child, "a", value));
    QCOMPARE(value, QStringLiteral("first"));
    // An empty value is stored as an empty text, which does not read back.
    QCOMPARE(child.GetAttribute("b", QStringLiteral("absent")), QString());
    QVERIFY(!getNodeAttributeDecrypt(child, "b", value));
    QCOMPARE(value, QStringLiteral("first"));
    QCOMPARE(capture.warnings(), QStringList { "get node attribute name failed!" });
    capture.clear();

    // Names the document cannot carry.
    QVERIFY(!setChildNodeValue(root, "bad name", "v"));
    QVERIFY(!setChildNodeAttributeEncrypt(root, "Child", "bad name", "v"));
    QCOMPARE(capture.warnings(),
             QStringList({ "create node failed!", "set node attribute name failed!",
                           "setNodeAttributeEncrypt node  \"Child\"  attribute  \"bad name\"  failed!" }));
}

QTEST_GUILESS_MAIN(tst_ServerClusterInfo)
#include "tst_serverclusterinfo.moc"
