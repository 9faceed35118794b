#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/releasequery.h"
#include "upgrade/transaction/heldback.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/truststore.h"

#include "common/clusterfile.h"
#include "common/messagecapture.h"
#include "common/testserver.h"

#include <QtTest>

namespace {

struct KeyPair
{
    QByteArray privatePem;
    QByteArray publicKey;
};

// The development server's answer offering module A 2.0, released at
// llDate, with a release document signed by signer (none: no document).
QByteArray answer(qint64 llDate, const KeyPair *signer)
{
    QByteArray out = R"({"retcode": 0, "value": {"upgrade": [{"ID": "A", "Version": "2.0", "ReleaseDate": )"
        + QByteArray::number(llDate) + R"(, "Desc": "d", "IconUrl": "i", "Url": "http://h/p/a.7z"}]})";
    if (signer) {
        Trust::ReleaseDocument document;
        document.llSerial = 1;
        document.expires = QDateTime::currentDateTimeUtc().addDays(1);
        document.strReportUrl = QStringLiteral("http://reports.example/outcome");
        Trust::ReleaseModule module;
        module.strId = QStringLiteral("A");
        module.strVersion = QStringLiteral("2.0");
        module.llReleaseDate = llDate;
        module.strDesc = QStringLiteral("d");
        module.strIconUrl = QStringLiteral("i");
        module.strPacket = QStringLiteral("a.7z");
        module.llBytes = 10;
        module.baSha256 = QByteArray(32, 'a');
        document.vecModules.append(module);
        Trust::SignedEnvelope envelope;
        envelope.baSigned = Trust::releaseDocumentToJson(document);
        Trust::SignatureEntry signature;
        QString error;
        if (!Trust::signBytes(signer->privatePem, envelope.baSigned, signature.baSignature, error))
            return QByteArray();
        signature.strKeyId = Trust::keyId(signer->publicKey);
        envelope.vecSignatures.append(signature);
        out += R"(, "release": )" + Trust::envelopeToJson(envelope);
    }
    return out + "}";
}

} // namespace

// The check on the calling thread, against the development server, for an
// installation in a temporary directory that has A 1.0, released at 100.
class tst_ReleaseQuery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void check_data();
    void check();

private:
    KeyPair m_trusted;
    KeyPair m_other;
};

void tst_ReleaseQuery::initTestCase()
{
    QString error;
    QVERIFY2(Trust::generateKeyPair(m_trusted.privatePem, m_trusted.publicKey, error), qPrintable(error));
    QVERIFY2(Trust::generateKeyPair(m_other.privatePem, m_other.publicKey, error), qPrintable(error));
}

void tst_ReleaseQuery::check_data()
{
    QTest::addColumn<QString>("cluster");  // "valid", "none", "wrong key"
    QTest::addColumn<bool>("isVerifying"); // the installation trusts m_trusted
    QTest::addColumn<QString>("signer");   // "trusted", "other" or "" (no document)
    QTest::addColumn<qint64>("offered");   // A 2.0's release date
    QTest::addColumn<qint64>("heldBack");  // release date of an A 2.0 held back; 0: none
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("isNeeded");    // A is in the need list
    QTest::addColumn<QString>("error");    // the start of errorString()

    const int ok = int(UPGRADE_OP_SUCCESS);
    const int untrusted = int(UPGRADE_OP_RELEASE_NOT_TRUSTED);
    const QString valid = QStringLiteral("valid");
    QTest::newRow("unverified, newer") << valid << false << QString() << qint64(200) << qint64(0) << ok << true
                                       << QString();
    QTest::newRow("nothing new") << valid << false << QString() << qint64(100) << qint64(0) << ok << false
                                 << QString();
    QTest::newRow("trusted") << valid << true << QStringLiteral("trusted") << qint64(200) << qint64(0) << ok << true
                             << QString();
    QTest::newRow("signed by another key") << valid << true << QStringLiteral("other") << qint64(200) << qint64(0)
                                           << untrusted << false << QStringLiteral("release not trusted: ");
    QTest::newRow("no document while verifying") << valid << true << QString() << qint64(200) << qint64(0)
                                                 << untrusted << false << QStringLiteral("release not trusted: ");
    QTest::newRow("held back") << valid << true << QStringLiteral("trusted") << qint64(200) << qint64(200) << ok
                               << false << QString();
    QTest::newRow("newer than the one held back") << valid << false << QString() << qint64(300) << qint64(200) << ok
                                                  << true << QString();
    QTest::newRow("no server cluster file") << QStringLiteral("none") << false << QString() << qint64(200) << qint64(0)
                                            << int(UPGRADE_OP_READ_SERVER_CFG_FAILED) << false
                                            << QStringLiteral("read upgrade server cluster info from cfg failed");
    QTest::newRow("token refused") << QStringLiteral("wrong key") << false << QString() << qint64(200) << qint64(0)
                                   << int(UPGRADE_OP_NETWORK_FAILED) << false
                                   << QStringLiteral("the version query http://");
}

void tst_ReleaseQuery::check()
{
    QFETCH(QString, cluster);
    QFETCH(bool, isVerifying);
    QFETCH(QString, signer);
    QFETCH(qint64, offered);
    QFETCH(qint64, heldBack);
    QFETCH(int, result);
    QFETCH(bool, isNeeded);
    QFETCH(QString, error);

    QTemporaryDir site;
    QTemporaryDir app;
    QVERIFY(site.isValid() && app.isValid());
    const QString answerFile = site.filePath(QStringLiteral("answer.json"));
    QFile file(answerFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(answer(offered, signer.isEmpty() ? nullptr : signer == QLatin1String("trusted") ? &m_trusted : &m_other));
    file.close();
    TestServer server;
    QVERIFY2(server.start(site.path(), QStringLiteral("key"), {QStringLiteral("--answer"), answerFile}),
             qPrintable(server.errorText()));

    const CInstallLayout layout(app.path());
    if (cluster != QLatin1String("none")) {
        QVERIFY(QDir().mkpath(QFileInfo(layout.serverClusterFile()).absolutePath()));
        const QString key = cluster == QLatin1String("wrong key") ? QStringLiteral("other") : QStringLiteral("key");
        QVERIFY(saveServerClusterInfo(ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(), key),
                                      layout.serverClusterFile()));
    }
    QString storeError;
    Trust::CTrustStore store(app.path());
    if (isVerifying)
        QVERIFY2(store.load(storeError) && store.addKey(m_trusted.publicKey, storeError), qPrintable(storeError));
    ModuleVersion installed;
    installed.strId = QStringLiteral("A");
    installed.strVersion = QStringLiteral("1.0");
    installed.llReleaseDate = 100;
    installed.nState = 1;
    if (heldBack > 0) {
        ModuleVersion failed = installed;
        failed.strVersion = QStringLiteral("2.0");
        failed.llReleaseDate = heldBack;
        QVERIFY(recordHeldBack(app.path(), {failed}, QStringLiteral("it did not start")));
    }

    ReleaseQuerySettings settings;
    settings.layout = layout;
    settings.vecLocal = {installed};
    CReleaseQuery query(settings);
    QVector<ModuleVersion> need;
    QVector<ModuleVersion> offer;
    MessageCapture capture;
    QCOMPARE(int(query.check(need, offer)), result);
    QCOMPARE(need.size(), isNeeded ? 1 : 0);
    // What an untrusted or failed check saw is offered to nobody.
    QCOMPARE(offer.isEmpty(), result != int(UPGRADE_OP_SUCCESS));
    QVERIFY2(query.errorString().startsWith(error) && error.isEmpty() == query.errorString().isEmpty(),
             qPrintable(query.errorString()));
    QCOMPARE(query.reportUrl().isEmpty(), !(isVerifying && result == int(UPGRADE_OP_SUCCESS)));
    // Packets are held to the transport of the query that was made.
    if (cluster != QLatin1String("none"))
        QCOMPARE(query.packetQueryUrl().scheme(), QStringLiteral("http"));
}

QTEST_GUILESS_MAIN(tst_ReleaseQuery)
#include "tst_releasequery.moc"
