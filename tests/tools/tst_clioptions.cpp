#include "clioptions.h"

#include <QtTest>

class tst_CliOptions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void accepted_data();
    void accepted();
    void refused_data();
    void limitRate_data();
    void limitRate();
    void refused();
    void serversWrite();
};

Q_DECLARE_METATYPE(CliOptions::Command)

void tst_CliOptions::accepted_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CliOptions::Command>("command");
    QTest::addColumn<bool>("isJson");
    QTest::addColumn<QString>("solutionInfo");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("isShowKey");

    QTest::newRow("check") << QStringList{"check"} << CliOptions::CommandCheck << false << QString() << QString()
                           << false;
    QTest::newRow("check, both forms of a value")
        << QStringList{"check", "--json", "--solution-info=/x/S.xml"} << CliOptions::CommandCheck << true
        << QString("/x/S.xml") << QString() << false;
    QTest::newRow("download") << QStringList{"download", "--solution-info", "S.xml"} << CliOptions::CommandDownload
                              << false << QString("S.xml") << QString() << false;
    QTest::newRow("apply") << QStringList{"apply", "--json"} << CliOptions::CommandApply << true << QString()
                           << QString() << false;
    QTest::newRow("servers show") << QStringList{"servers", "show", "--file", "f.xml", "--show-key"}
                                  << CliOptions::CommandServersShow << false << QString() << QString("f.xml")
                                  << true;
    // Help wins over everything else, wrong arguments included.
    QTest::newRow("help after a command") << QStringList{"servers", "write", "--help"} << CliOptions::CommandHelp
                                          << false << QString() << QString() << false;
    QTest::newRow("help among wrong arguments") << QStringList{"frobnicate", "-h"} << CliOptions::CommandHelp
                                                << false << QString() << QString() << false;
}

void tst_CliOptions::accepted()
{
    QFETCH(QStringList, arguments);
    QFETCH(CliOptions::Command, command);

    CliOptions options;
    QString error;
    QVERIFY2(parseCliArguments(arguments, options, error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(options.command, command);
    QTEST(options.isJson, "isJson");
    QTEST(options.strSolutionInfoPath, "solutionInfo");
    QTEST(options.strServerFilePath, "file");
    QTEST(options.isShowKey, "isShowKey");
}

void tst_CliOptions::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("errorPart");

    const QStringList write{"servers", "write", "--server", "test=127.0.0.1:1", "--current", "test",
                            "--prefix", "/api", "--path", "/q", "--key", "k"};

    QTest::newRow("nothing") << QStringList() << "no command";
    QTest::newRow("unknown command") << QStringList{"upgrade"} << "unknown command";
    QTest::newRow("servers alone") << QStringList{"servers"} << "show";
    QTest::newRow("unknown servers command") << QStringList{"servers", "list"} << "unknown servers command";
    QTest::newRow("unknown option") << QStringList{"check", "--verbose"} << "unknown option --verbose";
    QTest::newRow("stray argument") << QStringList{"check", "S.xml"} << "unexpected argument";
    QTest::newRow("bare --") << QStringList{"check", "--"} << "unexpected argument";
    QTest::newRow("option of another command") << QStringList{"apply", "--solution-info", "S.xml"}
                                               << "does not apply to apply";
    QTest::newRow("key shown on check") << QStringList{"check", "--show-key"} << "does not apply";
    QTest::newRow("missing value") << QStringList{"check", "--solution-info"} << "needs a value";
    QTest::newRow("empty value") << QStringList{"download", "--solution-info="} << "non-empty";
    QTest::newRow("value for a flag") << QStringList{"check", "--json=yes"} << "takes no value";
    QTest::newRow("option twice") << QStringList{"check", "--json", "--json"} << "given twice";
    QTest::newRow("channel alone") << QStringList{"channel"} << "\"show\" or \"set NAME\"";
    QTest::newRow("channel set without a name") << QStringList{"channel", "set"} << "takes a name";
    QTest::newRow("channel with capitals") << QStringList{"channel", "set", "Beta"} << "got \"Beta\"";
    QTest::newRow("channel name too long") << QStringList{"channel", "set", QString(33, 'b')} << "1 to 32";
    QTest::newRow("channel name as an option") << QStringList{"channel", "set", "--json"} << "takes a name";
    QTest::newRow("two channel names") << QStringList{"channel", "set", "beta", "alpha"} << "unexpected argument";
    QTest::newRow("reports without on or off") << QStringList{"reports", "yes"} << "\"on\" or \"off\"";
    QTest::newRow("json on reports off") << QStringList{"reports", "off", "--json"} << "does not apply to reports off";
    QTest::newRow("write without server") << QStringList(write.mid(0, 2) + write.mid(4)) << "at least one --server";
    QTest::newRow("write without key") << QStringList(write.mid(0, write.size() - 2)) << "needs --key";
    QTest::newRow("write without prefix") << QStringList(write.mid(0, 6) + write.mid(8)) << "needs --prefix";
    QTest::newRow("server without =") << (QStringList(write) << "--server" << "test") << "--server needs NAME=HOST[:PORT]";
    QTest::newRow("server without name") << (QStringList(write) << "--server" << "=x") << "--server needs NAME=HOST[:PORT]";
    QTest::newRow("server without url") << (QStringList(write) << "--server" << "b=") << "--server needs NAME=HOST[:PORT]";
    QTest::newRow("server with a scheme") << (QStringList(write) << "--server" << "b=https://h:1") << "without a scheme";
    QTest::newRow("server twice") << (QStringList(write) << "--server" << "test=other:2") << "given twice";
    QTest::newRow("rate limit on check") << QStringList{"check", "--limit-rate", "1M"} << "does not apply";
    // Each of these would end up in a request URL or the server file as it stands.
    QTest::newRow("url with a space") << (QStringList(write) << "--server" << "b=host :1") << "--server holds a space";
    QTest::newRow("url with a newline") << (QStringList(write) << "--server" << "b=host\n:1")
                                        << "--server holds the control character U+000A";
    QTest::newRow("name with a tab") << (QStringList(write) << "--server" << "b\tc=host:1") << "U+0009";
    QTest::newRow("name with a no-break space") << (QStringList(write) << "--server" << QString("b\u00a0c=host:1"))
                                                << "holds a space (U+00A0)";
    QTest::newRow("prefix with a space") << QStringList(write).replaceInStrings("/api", "/a pi") << "--prefix holds";
    QTest::newRow("path with an escape") << QStringList(write).replaceInStrings("/q", "/q\x1b[2J") << "U+001B";
    QTest::newRow("path with DEL") << QStringList(write).replaceInStrings("/q", "/q\x7f") << "U+007F";
    QTest::newRow("key with a newline") << QStringList(write).replaceInStrings(QRegularExpression("^k$"), "k\n")
                                        << "--key holds the control character";
    QTest::newRow("key with a right-to-left override")
        << QStringList(write).replaceInStrings(QRegularExpression("^k$"), QString("k\u202e")) << "invisible character U+202E";
    QTest::newRow("current unknown") << QStringList{"servers", "write", "--server", "a=h:1", "--current", "b",
                                                    "--prefix", "/api", "--path", "/q", "--key", "k"}
                                     << "names none of the servers";
}

void tst_CliOptions::refused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, errorPart);

    CliOptions options;
    QString error;
    QVERIFY(!parseCliArguments(arguments, options, error));
    QVERIFY2(error.contains(errorPart), qPrintable(error));
    QVERIFY(!error.contains(QLatin1Char('\n')));
}

void tst_CliOptions::limitRate_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<qint64>("bytesPerSec"); // -1: refused

    QTest::newRow("plain bytes") << "1000" << qint64(1000);
    QTest::newRow("kibibytes") << "500K" << qint64(500 * 1024);
    QTest::newRow("mebibytes, lower case") << "1m" << qint64(1024 * 1024);
    QTest::newRow("fraction") << "2.5M" << qint64(5 * 512 * 1024);
    QTest::newRow("zero") << "0" << qint64(-1);
    QTest::newRow("negative") << "-1K" << qint64(-1);
    QTest::newRow("no number") << "fast" << qint64(-1);
    QTest::newRow("unknown unit") << "1T" << qint64(-1);
}

void tst_CliOptions::limitRate()
{
    QFETCH(QString, value);
    QFETCH(qint64, bytesPerSec);

    CliOptions options;
    QString error;
    QCOMPARE(parseCliArguments({"download", "--limit-rate", value}, options, error), bytesPerSec > 0);
    if (bytesPerSec > 0)
        QCOMPARE(options.llLimitRate, bytesPerSec);
    else
        QVERIFY2(error.contains("--limit-rate"), qPrintable(error));
}

void tst_CliOptions::serversWrite()
{
    CliOptions options;
    QString error;
    const QStringList arguments{"servers", "write", "--file", "c.xml", "--server", "test=127.0.0.1:8080",
                                "--server=inter=host:1=2", "--current", "inter", "--prefix", "/api",
                                "--path", "/upgrade/query", "--key", "a secret"};
    QVERIFY2(parseCliArguments(arguments, options, error), qPrintable(error));
    QCOMPARE(options.command, CliOptions::CommandServersWrite);
    QCOMPARE(options.strServerFilePath, QString("c.xml"));
    QCOMPARE(options.vecServers.size(), 2);
    QCOMPARE(options.vecServers.at(0), qMakePair(QString("test"), QString("127.0.0.1:8080")));
    // The name ends at the first '=', the URL keeps any further one.
    QCOMPARE(options.vecServers.at(1), qMakePair(QString("inter"), QString("host:1=2")));
    QCOMPARE(options.strCurrent, QString("inter"));
    QCOMPARE(options.strPrefix, QString("/api"));
    QCOMPARE(options.strPath, QString("/upgrade/query"));
    // A key is a secret, not part of a URL: it may hold spaces.
    QCOMPARE(options.strKey, QString("a secret"));
}

QTEST_GUILESS_MAIN(tst_CliOptions)
#include "tst_clioptions.moc"
