#include "report.h"

#include "upgrade/config/serverclusterinfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <limits>

class tst_Report : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void moduleFields_data();
    void moduleFields();
    void documentShape();
    void needUpgradeText();
    void serverListMasksKey();
};

void tst_Report::moduleFields_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("releaseDate");
    QTest::addColumn<double>("size");
    QTest::addColumn<QByteArray>("rawReleaseDate");
    QTest::addColumn<QByteArray>("rawSize");

    QTest::newRow("plain") << "demo" << qint64(20240101120000) << 12.5 << QByteArray("20240101120000")
                           << QByteArray("12.5");
    // Beyond 2^53 a double would round the date.
    QTest::newRow("largest date") << "x" << std::numeric_limits<qint64>::max() << 1.0
                                  << QByteArray("9223372036854775807") << QByteArray("1");
    QTest::newRow("smallest date") << "x" << std::numeric_limits<qint64>::min() << 0.0
                                   << QByteArray("-9223372036854775808") << QByteArray("0");
    QTest::newRow("2^53 + 1") << "x" << qint64(9007199254740993) << 0.1 << QByteArray("9007199254740993")
                              << QByteArray("0.1");
    // Texts from the server, quoted and escaped.
    QTest::newRow("quotes and escapes") << "a\"b\\c\nd\te\x01" << qint64(1) << 1.0 << QByteArray("1")
                                        << QByteArray("1");
    QTest::newRow("not ASCII") << QString::fromUtf8("模块 é") << qint64(1) << 1.0 << QByteArray("1")
                               << QByteArray("1");
    // "inf" reads as a number; JSON has none such.
    QTest::newRow("infinite size") << "x" << qint64(1) << std::numeric_limits<double>::infinity() << QByteArray("1")
                                   << QByteArray("null");
    QTest::newRow("not a number") << "x" << qint64(1) << std::numeric_limits<double>::quiet_NaN()
                                  << QByteArray("1") << QByteArray("null");
}

void tst_Report::moduleFields()
{
    QFETCH(QString, text);
    QFETCH(qint64, releaseDate);
    QFETCH(double, size);
    QFETCH(QByteArray, rawReleaseDate);
    QFETCH(QByteArray, rawSize);

    ModuleVersion module;
    module.strId = text;
    module.strVersion = text;
    module.strUrl = text;
    module.strDesc = text;
    module.llReleaseDate = releaseDate;
    module.dSize = size;
    module.nState = 3;
    module.strIconUrl = text;
    CommandReport report;
    report.vecServerModuleVersion = {module};

    const QByteArray json = reportToJson(report);
    QVERIFY2(json.contains("\"releaseDate\": " + rawReleaseDate + ",\n"), json.constData());
    QVERIFY2(json.contains("\"size\": " + rawSize + ",\n"), json.constData());

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonObject object = document.object().value("serverModules").toArray().at(0).toObject();
    for (const char *key : {"id", "version", "url", "desc", "iconUrl"})
        QCOMPARE(object.value(key).toString(), text);
    QCOMPARE(object.value("state").toInt(), 3);
}

void tst_Report::documentShape()
{
    CommandReport report;
    report.result = UPGRADE_OP_DO7Z_FAILED;
    ModuleVersion module;
    module.strId = "a";
    report.vecNeedUpgrade = {module, module};

    QJsonObject object = QJsonDocument::fromJson(reportToJson(report)).object();
    QStringList keys = object.keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{"needUpgrade", "result", "resultName", "serverModules"}));
    QCOMPARE(object.value("result").toInt(), 10);
    QCOMPARE(object.value("resultName").toString(), QString("UPGRADE_OP_DO7Z_FAILED"));
    QCOMPARE(object.value("needUpgrade").toArray().size(), 2);
    QCOMPARE(object.value("serverModules").toArray().size(), 0);
    QStringList moduleKeys = object.value("needUpgrade").toArray().at(1).toObject().keys();
    moduleKeys.sort();
    QCOMPARE(moduleKeys, (QStringList{"desc", "iconUrl", "id", "releaseDate", "size", "state", "url", "version"}));

    report.hasProgress = true;
    report.nProgress = 42;
    object = QJsonDocument::fromJson(reportToJson(report)).object();
    QCOMPARE(object.value("progress").toInt(), 42);
}

void tst_Report::needUpgradeText()
{
    CommandReport report;
    QCOMPARE(::needUpgradeText(report), QString("No module needs an upgrade.\n"));

    ModuleVersion installed;
    installed.strId = "a";
    installed.strVersion = "1.0";
    ModuleVersion offeredA = installed;
    offeredA.strVersion = "2.0";
    offeredA.dSize = 1.5;
    ModuleVersion offeredB;
    offeredB.strId = "b";
    offeredB.strVersion = "3";
    offeredB.dSize = 1024;
    report.vecInstalled = {installed};
    report.vecNeedUpgrade = {offeredA, offeredB};
    // A module the installation does not list says so instead of guessing.
    QCOMPARE(::needUpgradeText(report), QString("2 modules need an upgrade:\n"
                                                "  a  1.0 -> 2.0  (1.5 MB)\n"
                                                "  b  ? -> 3  (1024 MB)\n"));
}

void tst_Report::serverListMasksKey()
{
    ServerClusterInfo info;
    info.vecServers = {{"test", "127.0.0.1:1"}, {"main", "example.com"}};
    info.nCurrIndex = 1;
    info.strPrefix = "/api";
    info.strPath = "/q";
    info.strKey = "secret";

    const QString masked = serverClusterText(info, "f.xml", false);
    QVERIFY(!masked.contains("secret"));
    QVERIFY(masked.contains("key:     ********\n"));
    QVERIFY(masked.contains("server:  * main example.com\n"));
    QVERIFY(masked.contains("server:    test 127.0.0.1:1\n"));
    QVERIFY(masked.contains("current: main\n"));
    QVERIFY(serverClusterText(info, "f.xml", true).contains("key:     secret\n"));
    QVERIFY(!serverClusterToJson(info, "f.xml", false).contains("secret"));
    QCOMPARE(QJsonDocument::fromJson(serverClusterToJson(info, "f.xml", true)).object().value("key").toString(),
             QString("secret"));
}

QTEST_GUILESS_MAIN(tst_Report)
#include "tst_report.moc"
