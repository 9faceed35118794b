#include "app/commandline.h"

#include <QtTest>

class tst_CommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void nullOptions();
    void processArguments();
};

void tst_CommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("extraArg");

    const QString program = QStringLiteral("Tarvex");
    const QByteArray crash("crash");

    QTest::newRow("program only") << QStringList{program} << true << QByteArray();
    QTest::newRow("empty list") << QStringList() << true << QByteArray();
    QTest::newRow("-crash") << QStringList{program, QStringLiteral("-crash")} << true << crash;
    QTest::newRow("--crash") << QStringList{program, QStringLiteral("--crash")} << true << crash;
    QTest::newRow("-crash then words") << QStringList{program, QStringLiteral("-crash"), QStringLiteral("a"),
                                                      QStringLiteral("b")} << true << crash;
    QTest::newRow("words then -crash") << QStringList{program, QStringLiteral("a"), QStringLiteral("-crash")}
                                       << true << crash;
    QTest::newRow("words only") << QStringList{program, QStringLiteral("crash")} << true << QByteArray();
    QTest::newRow("-ur x -crash") << QStringList{program, QStringLiteral("-ur"), QStringLiteral("x"),
                                                 QStringLiteral("-crash")} << true << QByteArray();
    QTest::newRow("-crash -ur x") << QStringList{program, QStringLiteral("-crash"), QStringLiteral("-ur"),
                                                 QStringLiteral("x")} << true << QByteArray();
    QTest::newRow("-crash --ur=x") << QStringList{program, QStringLiteral("-crash"), QStringLiteral("--ur=x")}
                                   << true << QByteArray();
    QTest::newRow("-ur= empty value") << QStringList{program, QStringLiteral("-ur="), QStringLiteral("-crash")}
                                      << true << QByteArray();
    QTest::newRow("-ur last, no value") << QStringList{program, QStringLiteral("-crash"), QStringLiteral("-ur")}
                                        << false << QByteArray();
    QTest::newRow("-ur alone") << QStringList{program, QStringLiteral("-ur")} << false << QByteArray();
    QTest::newRow("-Crash") << QStringList{program, QStringLiteral("-Crash")} << false << QByteArray();
    QTest::newRow("-UR x") << QStringList{program, QStringLiteral("-UR"), QStringLiteral("x")} << false
                           << QByteArray();
    QTest::newRow("unknown option with -crash") << QStringList{program, QStringLiteral("-crash"),
                                                               QStringLiteral("-x")} << false << QByteArray();
    QTest::newRow("-crash with a value") << QStringList{program, QStringLiteral("-crash=1")} << false
                                         << QByteArray();
    QTest::newRow("no help option") << QStringList{program, QStringLiteral("-help")} << false << QByteArray();
    QTest::newRow("no version option") << QStringList{program, QStringLiteral("--version")} << false
                                       << QByteArray();
    QTest::newRow("after --") << QStringList{program, QStringLiteral("--"), QStringLiteral("-crash")} << true
                              << QByteArray();
}

void tst_CommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, result);
    QFETCH(QByteArray, extraArg);

    StartupOptions options;
    QCOMPARE(parseCommandLine(&options, arguments), result);
    QCOMPARE(QByteArray::fromStdString(options.strExtraArg), extraArg);
}

void tst_CommandLine::nullOptions()
{
    QVERIFY(!parseCommandLine(nullptr));
    QVERIFY(!parseCommandLine(nullptr, QStringList{QStringLiteral("Tarvex"), QStringLiteral("-crash")}));
}

void tst_CommandLine::processArguments()
{
    // Reads the process's own command line.
    StartupOptions options;
    const bool plain = QCoreApplication::arguments().size() == 1;
    if (!plain)
        QSKIP("the test was started with arguments");
    QVERIFY(parseCommandLine(&options));
    QVERIFY(options.strExtraArg.empty());
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
