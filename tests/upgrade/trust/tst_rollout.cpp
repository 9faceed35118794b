// Staged rollouts and channels as an installation reads them from the signed
// document: which release of a module it is offered for its bucket, its
// channel and its clock, how the buckets split a fleet, and which documents
// are refused before any of that.

#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/rollout.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>

using namespace Trust;

namespace {

// The moment the rows' times count from, on whole seconds.
const QDateTime base = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);

// "@+3600" and "@-60" stand for times relative to base, as text; "#+3600"
// for the same as seconds since the epoch.
QByteArray withTimes(QByteArray json)
{
    static const QRegularExpression pattern(QStringLiteral("([@#])([+-][0-9]+)"));
    QString text = QString::fromUtf8(json);
    for (QRegularExpressionMatch match = pattern.match(text); match.hasMatch(); match = pattern.match(text)) {
        const QDateTime time = base.addSecs(match.captured(2).toLongLong());
        text.replace(match.capturedStart(), match.capturedLength(),
                     match.captured(1) == QLatin1String("@") ? time.toString(Qt::ISODate)
                                                             : QString::number(time.toSecsSinceEpoch()));
    }
    return text.toUtf8();
}

// A signed document's bytes with module "demo" 2.0 and its previous 1.0,
// the module's extra keys given as JSON members.
QByteArray documentJson(const QByteArray &moduleExtra, const QByteArray &rootExtra = QByteArray())
{
    const QByteArray sha2(64, 'b');
    const QByteArray sha1(64, 'a');
    return withTimes("{\"type\": \"tarvex-release\", \"serial\": 7, \"issued\": \"@-3600\", "
                     "\"expires\": \"@+2592000\"" + rootExtra + ", \"modules\": [{\"ID\": \"demo\", \"Version\": "
                     "\"2.0\", \"ReleaseDate\": 202502010000, \"Desc\": \"d\", \"IconUrl\": \"i.png\", \"Packet\": "
                     "\"demo-2.0.7z\", \"Bytes\": 200, \"Sha256\": \"" + sha2 + "\"" + moduleExtra + "}]}");
}

const QByteArray previous = ", \"Previous\": [\"1.0\", 202401010000, \"demo-1.0.7z\", 100, \"" + QByteArray(64, 'a')
    + "\", [{\"Base\": \"0.9\", \"Packet\": \"demo-0.9-1.0.delta.7z\", \"Bytes\": 9, \"Sha256\": \""
    + QByteArray(64, 'c') + "\"}]]";

// Without the signing time the document names first: as documents were
// signed before it was recorded.
QByteArray withoutIssued(QByteArray json)
{
    static const QRegularExpression pattern(QStringLiteral("\"issued\": \"[^\"]*\", "));
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(json));
    return json.remove(match.capturedStart(), match.capturedLength());
}

// An installation id whose bucket for demo 2.0 is nBucket.
QString idInBucket(int nBucket)
{
    for (int i = 0;; ++i) {
        const QString id = QStringLiteral("%1").arg(i, 32, 16, QLatin1Char('0'));
        if (rolloutBucket(id, QStringLiteral("demo"), QStringLiteral("2.0")) == nBucket)
            return id;
    }
}

ModuleVersion answerModule()
{
    ModuleVersion module;
    module.strId = QStringLiteral("demo");
    module.strVersion = QStringLiteral("2.0");
    module.llReleaseDate = 202502010000;
    module.strUrl = QStringLiteral("http://h/packets/set2/demo-2.0.7z");
    module.listMirrors = QStringList{QStringLiteral("http://m/packets/set2/demo-2.0.7z"), QStringLiteral("http://m/odd?x=1")};
    module.llPacketBytes = 200;
    module.baPacketSha256 = QByteArray(32, '\xbb');
    return module;
}

} // namespace

class tst_Rollout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void offer_data();
    void offer();
    void refused_data();
    void refused();
    void fleetSplit_data();
    void fleetSplit();
    void bucketsDifferAcrossReleases();
    void documentWithoutRolloutIsUnchanged();
};

void tst_Rollout::offer_data()
{
    QTest::addColumn<QByteArray>("extra");     // the module's keys beyond those of every document
    QTest::addColumn<int>("bucket");
    QTest::addColumn<QString>("channel");      // the installation's
    QTest::addColumn<qint64>("clock");         // the installation's clock, seconds from base
    QTest::addColumn<QString>("offered");      // version, or empty for nothing

    const QByteArray p = previous;
    QTest::newRow("no rollout: everyone") << QByteArray() << 99 << "stable" << 0ll << "2.0";
    QTest::newRow("25 %, last bucket inside") << "\"Rollout\": 25" + p << 24 << "stable" << 0ll << "2.0";
    QTest::newRow("25 %, first bucket outside") << "\"Rollout\": 25" + p << 25 << "stable" << 0ll
                                                << "1.0";
    QTest::newRow("25 %, outside, no previous") << QByteArray("\"Rollout\": 25") << 60 << "stable"
                                                << 0ll << "";
    QTest::newRow("0 % is nobody") << "\"Rollout\": 0" + p << 0 << "stable" << 0ll << "1.0";
    QTest::newRow("100 % is everyone") << "\"Rollout\": 100" + p << 99 << "stable" << 0ll << "2.0";
    QTest::newRow("halted at 100 %") << "\"Rollout\": 100, \"Halted\": true" + p << 0 << "stable"
                                     << 0ll << "1.0";
    QTest::newRow("halted without a share") << "\"Halted\": true" + p << 0 << "stable" << 0ll << "1.0";
    QTest::newRow("halted, no previous") << QByteArray("\"Rollout\": 100, \"Halted\": true") << 0
                                         << "stable" << 0ll << "";
    const QByteArray steps = "\"Rollout\": [[#-100, 10], [#+3600, 50]]" + p;
    QTest::newRow("schedule, first step") << steps << 30 << "stable" << 0ll << "1.0";
    QTest::newRow("schedule, a second before the next step") << steps << 30 << "stable" << 3599ll << "1.0";
    QTest::newRow("schedule, at the next step") << steps << 30 << "stable" << 3600ll << "2.0";
    QTest::newRow("schedule, inside the first step") << steps << 9 << "stable" << 0ll << "2.0";
    QTest::newRow("schedule, before its first step")
        << "\"Rollout\": [[#+100, 100]]" + p << 0 << "stable" << 0ll << "1.0";
    // The document was signed at -3600: what was due then is due.
    QTest::newRow("clock a year behind the signing")
        << "\"Rollout\": [[#-3600, 50]]" + p << 30 << "stable" << -31536000ll
        << "2.0";
    QTest::newRow("clock ahead, within the document's time")
        << "\"Rollout\": [[#+864000, 100]]" + p << 99 << "stable" << 1728000ll
        << "2.0";
    // Expiry at +30 days: a step after it is never reached, whatever the clock.
    QTest::newRow("clock a year ahead, step after the expiry")
        << "\"Rollout\": [[#+3456000, 100]]" + p << 0 << "stable"
        << 31536000ll << "1.0";
    QTest::newRow("beta release, stable installation") << "\"Channels\": [\"beta\"]" + p << 0 << "stable" << 0ll
                                                       << "1.0";
    QTest::newRow("beta release, beta installation") << "\"Channels\": [\"beta\"]" + p << 99 << "beta" << 0ll
                                                     << "2.0";
    QTest::newRow("beta release, nightly installation") << "\"Channels\": [\"beta\"]" + p << 0 << "nightly" << 0ll
                                                        << "1.0";
    QTest::newRow("stable release, beta installation") << "\"Channels\": [\"stable\"]" + p << 0 << "beta" << 0ll
                                                       << "2.0";
    QTest::newRow("beta and stable, stable installation") << "\"Channels\": [\"beta\", \"stable\"]" + p << 0
                                                          << "stable" << 0ll << "2.0";
    QTest::newRow("beta at 25 %, beta installation outside")
        << "\"Channels\": [\"beta\"], \"Rollout\": 25" + p << 25 << "beta" << 0ll << "1.0";
    QTest::newRow("beta only, no previous") << QByteArray("\"Channels\": [\"beta\"]") << 0 << "stable" << 0ll << "";
}

void tst_Rollout::offer()
{
    QFETCH(QByteArray, extra);
    QFETCH(int, bucket);
    QFETCH(QString, channel);
    QFETCH(qint64, clock);
    QFETCH(QString, offered);

    ReleaseDocument document;
    QString error;
    QVERIFY2(parseReleaseDocument(documentJson(extra.isEmpty() ? extra : ", " + extra), document, error),
             qPrintable(error));
    // What is signed is read back the same after a round through the writer.
    ReleaseDocument again;
    QVERIFY(parseReleaseDocument(releaseDocumentToJson(document), again, error));
    QCOMPARE(releaseDocumentToJson(again), releaseDocumentToJson(document));

    QVector<ModuleVersion> answer{answerModule()};
    QStringList log;
    applyRollout(document, RolloutIdentity{idInBucket(bucket), channel}, base.addSecs(clock), answer, log);
    if (offered.isEmpty()) {
        QVERIFY(answer.isEmpty());
        QCOMPARE(log.size() - (clock < -3600 || clock > 2592000 ? 1 : 0), 1);
        return;
    }
    QCOMPARE(answer.size(), 1);
    const ModuleVersion &module = answer.first();
    QCOMPARE(module.strVersion, offered);
    if (offered == QLatin1String("1.0")) {
        // Beside the current packet, on the server and its mirrors; the
        // size, hash and deltas of the release it is.
        QCOMPARE(module.strUrl, QStringLiteral("http://h/packets/set2/demo-1.0.7z"));
        QCOMPARE(module.listMirrors, QStringList{QStringLiteral("http://m/packets/set2/demo-1.0.7z")});
        QCOMPARE(module.llReleaseDate, 202401010000ll);
        QCOMPARE(module.llPacketBytes, 100ll);
        QCOMPARE(module.baPacketSha256, QByteArray(32, '\xaa'));
        QCOMPARE(module.vecDeltas.size(), 1);
        QCOMPARE(module.vecDeltas.first().strBaseVersion, QStringLiteral("0.9"));
    } else {
        QCOMPARE(module.strUrl, answerModule().strUrl);
        QCOMPARE(module.llPacketBytes, 200ll);
    }
    // A clock outside the document's time is said in the log.
    const bool isClamped = clock < -3600 || clock > 2592000;
    QCOMPARE(log.join(QLatin1Char('\n')).contains(QLatin1String("lies outside")), isClamped);
}

void tst_Rollout::refused_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QByteArray>("rootExtra");
    QTest::addColumn<QString>("message");

    QTest::newRow("a tenth of a percent") << QByteArray("\"Rollout\": 0.1") << QByteArray() << "Rollout";
    QTest::newRow("above 100") << QByteArray("\"Rollout\": 101") << QByteArray() << "Rollout";
    QTest::newRow("negative") << QByteArray("\"Rollout\": -1") << QByteArray() << "Rollout";
    QTest::newRow("percent as text") << QByteArray("\"Rollout\": \"25\"") << QByteArray() << "Rollout";
    QTest::newRow("percent in an object") << QByteArray("\"Rollout\": {\"Percent\": 25}") << QByteArray() << "Rollout";
    QTest::newRow("steps out of order") << QByteArray("\"Rollout\": [[1900000100, 5], [1900000000, 9]]")
                                        << QByteArray() << "Rollout";
    QTest::newRow("two steps at one time") << QByteArray("\"Rollout\": [[1900000000, 5], [1900000000, 9]]")
                                           << QByteArray() << "Rollout";
    QTest::newRow("no steps") << QByteArray("\"Rollout\": []") << QByteArray() << "Rollout";
    QTest::newRow("step time as text") << QByteArray("\"Rollout\": [[\"2030-01-01T00:00:00Z\", 5]]")
                                       << QByteArray() << "Rollout";
    QTest::newRow("step time with a fraction") << QByteArray("\"Rollout\": [[1900000000.5, 5]]")
                                               << QByteArray() << "Rollout";
    QTest::newRow("step without its percent") << QByteArray("\"Rollout\": [[1900000000]]")
                                              << QByteArray() << "Rollout";
    QTest::newRow("step percent above 100") << QByteArray("\"Rollout\": [[1900000000, 200]]")
                                            << QByteArray() << "Rollout";
    QTest::newRow("halted as text") << QByteArray("\"Rollout\": 5, \"Halted\": \"yes\"") << QByteArray()
                                    << "Rollout";
    QTest::newRow("channels as text") << QByteArray("\"Channels\": \"beta\"") << QByteArray() << "Channels";
    QTest::newRow("channel with capitals") << QByteArray("\"Channels\": [\"Beta\"]") << QByteArray() << "Channels";
    QTest::newRow("no channels") << QByteArray("\"Channels\": []") << QByteArray() << "Channels";
    QTest::newRow("channel twice") << QByteArray("\"Channels\": [\"beta\", \"beta\"]") << QByteArray() << "Channels";
    QTest::newRow("previous without hash") << QByteArray("\"Previous\": [\"1.0\", 1, \"demo-1.0.7z\", 1]")
                                           << QByteArray() << "Previous";
    QTest::newRow("previous packet leaving its directory")
        << "\"Previous\": [\"1.0\", 1, \"../x.7z\", 1, \"" + QByteArray(64, 'a') + "\"]" << QByteArray() << "Previous";
    QTest::newRow("previous as an object")
        << "\"Previous\": {\"Version\": \"1.0\", \"ReleaseDate\": 1, \"Packet\": \"demo-1.0.7z\", \"Bytes\": 1, "
           "\"Sha256\": \"" + QByteArray(64, 'a') + "\"}"
        << QByteArray() << "Previous";
    QTest::newRow("previous with a bad delta")
        << "\"Previous\": [\"1.0\", 1, \"demo-1.0.7z\", 1, \"" + QByteArray(64, 'a') + "\", [{\"Base\": \"0.9\"}]]"
        << QByteArray() << "Previous";
    QTest::newRow("report URL of another scheme") << QByteArray() << QByteArray(", \"reports\": \"ftp://h/r\"")
                                                  << "reports";
    QTest::newRow("report URL with a user") << QByteArray() << QByteArray(", \"reports\": \"http://u:p@h/r\"")
                                            << "reports";
    QTest::newRow("signing time without zone") << QByteArray()
                                               << QByteArray(", \"issued\": \"2030-01-01T00:00:00\"") << "issued";
}

void tst_Rollout::refused()
{
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, rootExtra);
    QFETCH(QString, message);
    QByteArray json = documentJson(extra.isEmpty() ? extra : ", " + extra, rootExtra);
    // The row's own signing time is the one read.
    if (rootExtra.contains("issued"))
        json = withoutIssued(json);
    ReleaseDocument document;
    QString error;
    QVERIFY(!parseReleaseDocument(json, document, error));
    QVERIFY2(error.contains(message), qPrintable(error));
}

void tst_Rollout::fleetSplit_data()
{
    QTest::addColumn<int>("percent");
    QTest::newRow("1 %") << 1;
    QTest::newRow("10 %") << 10;
    QTest::newRow("25 %") << 25;
    QTest::newRow("50 %") << 50;
    QTest::newRow("90 %") << 90;
}

void tst_Rollout::fleetSplit()
{
    QFETCH(int, percent);
    ReleaseDocument document;
    QString error;
    QVERIFY(parseReleaseDocument(documentJson(", \"Rollout\": " + QByteArray::number(percent) + previous),
                                 document, error));
    constexpr int fleet = 10000;
    int inside = 0;
    QRandomGenerator random(20261208);
    for (int i = 0; i < fleet; ++i) {
        quint32 words[4];
        random.fillRange(words);
        const QString id = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), 16).toHex());
        QString why;
        inside += chooseOffer(document.vecModules.first(), RolloutIdentity{id, QString()}, base, why) == Offer::Current;
    }
    // Within two points of the share asked for.
    QVERIFY2(qAbs(inside - fleet * percent / 100) <= fleet * 2 / 100,
             qPrintable(QStringLiteral("%1 of %2 inside").arg(inside).arg(fleet)));
}

void tst_Rollout::bucketsDifferAcrossReleases()
{
    // The early quarter of one release is not the early quarter of the
    // next: about a sixteenth of the fleet is early for both.
    int both = 0;
    int first = 0;
    for (int i = 0; i < 10000; ++i) {
        const QString id = QStringLiteral("installation-%1").arg(i);
        const bool isEarly = rolloutBucket(id, QStringLiteral("demo"), QStringLiteral("2.0")) < 25;
        first += isEarly;
        both += isEarly && rolloutBucket(id, QStringLiteral("demo"), QStringLiteral("3.0")) < 25;
    }
    QVERIFY2(both > 450 && both < 800, qPrintable(QStringLiteral("%1 of %2").arg(both).arg(first)));
}

void tst_Rollout::documentWithoutRolloutIsUnchanged()
{
    // Written before rollouts existed: no new key comes out of a document
    // that uses none, and every installation is offered every release.
    ReleaseDocument document;
    QString error;
    const QByteArray json = withoutIssued(documentJson(QByteArray()));
    QVERIFY2(parseReleaseDocument(json, document, error), qPrintable(error));
    QVERIFY(!document.issued.isValid());
    const QByteArray written = releaseDocumentToJson(document);
    for (const char *key : {"issued", "reports", "Channels", "Rollout", "Previous"})
        QVERIFY2(!written.contains(key), key);
    QVector<ModuleVersion> answer{answerModule()};
    QStringList log;
    applyRollout(document, RolloutIdentity{idInBucket(99), QStringLiteral("beta")}, base.addYears(5), answer, log);
    QCOMPARE(answer.size(), 1);
    QCOMPARE(answer.first().strVersion, QStringLiteral("2.0"));
    QVERIFY(log.isEmpty());
}

QTEST_GUILESS_MAIN(tst_Rollout)
#include "tst_rollout.moc"
