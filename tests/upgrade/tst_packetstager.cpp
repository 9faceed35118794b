#include "platform/platformnames.h"
#include "upgrade/delta/delta.h"
#include "upgrade/packetstager.h"
#include "upgrade/transaction/staging.h"
#include "upgrade/trust/truststore.h"

#include "common/filetree.h"
#include "common/processend.h"
#include "common/messagecapture.h"
#include "common/testserver.h"

#include <QCryptographicHash>
#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;

namespace {

QByteArray sha256(const QByteArray &bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); }

QString sevenZip() { return QCoreApplication::applicationDirPath() + QLatin1Char('/') + PlatformNames::sevenZipFileName(); }

// An archive of every file below dir, made by the real 7z.
bool makeArchive(const QString &archive, const QString &dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    startProcess(p, sevenZip(), {QStringLiteral("a"), QStringLiteral("-mx0"), archive, QStringLiteral(".")});
    return waitForProcessEnd(p, 120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

// The download on the calling thread against the development server: module
// A from 1.0 to 2.0, its full packet a.7z and its delta a-1.0.7z, which keeps
// keep.txt from the installation and adds new.txt.
class tst_PacketStager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void stage_data();
    void stage();

private:
    QTemporaryDir m_site;
    TestServer m_server;
    QByteArray m_full;
    QByteArray m_delta;
    QByteArray m_publicKey;
};

void tst_PacketStager::initTestCase()
{
    QVERIFY(m_site.isValid());
    QTemporaryDir full;
    QTemporaryDir delta;
    QVERIFY(writeFile(full.filePath(QStringLiteral("mod/keep.txt")), "keep"));
    QVERIFY(writeFile(full.filePath(QStringLiteral("mod/new.txt")), "new"));
    Delta::Index index;
    index.strModule = QStringLiteral("A");
    index.strBase = QStringLiteral("1.0");
    index.strVersion = QStringLiteral("2.0");
    Delta::FileEntry keep;
    keep.strPath = QStringLiteral("mod/keep.txt");
    keep.baFrom = keep.baTo = sha256("keep");
    keep.llSize = 4;
    Delta::FileEntry added;
    added.action = Delta::FileEntry::Add;
    added.strPath = QStringLiteral("mod/new.txt");
    added.strData = QStringLiteral("data/new.txt");
    added.baTo = sha256("new");
    added.llSize = 3;
    index.vecFiles = {keep, added};
    QVERIFY(writeFile(delta.filePath(QStringLiteral("delta.json")), Delta::indexToJson(index)));
    QVERIFY(writeFile(delta.filePath(QStringLiteral("data/new.txt")), "new"));
    const QString packets = m_site.filePath(QStringLiteral("packets"));
    QVERIFY(makeArchive(packets + QLatin1String("/a.7z"), full.path()));
    QVERIFY(makeArchive(packets + QLatin1String("/a-1.0.7z"), delta.path()));
    m_full = readFile(packets + QLatin1String("/a.7z"));
    m_delta = readFile(packets + QLatin1String("/a-1.0.7z"));
    QByteArray privatePem;
    QString error;
    QVERIFY2(Trust::generateKeyPair(privatePem, m_publicKey, error), qPrintable(error));
    QVERIFY2(m_server.start(m_site.path(), QStringLiteral("key")), qPrintable(m_server.errorText()));
}

void tst_PacketStager::stage_data()
{
    QTest::addColumn<bool>("isDeltaOffered");
    QTest::addColumn<bool>("isDeltaIntact");  // its signed hash is its own
    QTest::addColumn<QByteArray>("installed"); // keep.txt as installed
    QTest::addColumn<bool>("isFullIntact");
    QTest::addColumn<bool>("isStopped");      // stopped as the run starts
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("isDelta");
    QTest::addColumn<QString>("fallback");    // the start of the reason; empty: none

    const int ok = int(UPGRADE_OP_SUCCESS);
    QTest::newRow("full packet") << false << true << QByteArray("keep") << true << false << ok << false << QString();
    QTest::newRow("delta") << true << true << QByteArray("keep") << true << false << ok << true << QString();
    QTest::newRow("delta not the signed one, full packet instead")
        << true << false << QByteArray("keep") << true << false << ok << false << QStringLiteral("not the signed delta");
    QTest::newRow("installed file changed, full packet instead")
        << true << true << QByteArray("edited") << true << false << ok << false << QStringLiteral("the rebuild failed");
    QTest::newRow("stopped") << true << true << QByteArray("keep") << true << true << int(UPGRADE_OP_NETWORK_FAILED)
                             << false << QString();
    QTest::newRow("full packet not the signed one")
        << false << true << QByteArray("keep") << false << false << int(UPGRADE_OP_PACKET_NOT_TRUSTED) << false
        << QString();
    QTest::newRow("neither the delta nor the full packet the signed one")
        << true << false << QByteArray("keep") << false << false << int(UPGRADE_OP_PACKET_NOT_TRUSTED) << false
        << QStringLiteral("not the signed delta");
}

void tst_PacketStager::stage()
{
    QFETCH(bool, isDeltaOffered);
    QFETCH(bool, isDeltaIntact);
    QFETCH(QByteArray, installed);
    QFETCH(bool, isFullIntact);
    QFETCH(bool, isStopped);
    QFETCH(int, result);
    QFETCH(bool, isDelta);
    QFETCH(QString, fallback);

    QTemporaryDir app;
    QVERIFY(app.isValid());
    QVERIFY(writeFile(app.filePath(QStringLiteral("mod/keep.txt")), installed));
    // Deltas and signed packets: the installation trusts a release key.
    Trust::CTrustStore store(app.path());
    QString error;
    QVERIFY2(store.load(error) && store.addKey(m_publicKey, error), qPrintable(error));

    ModuleVersion local;
    local.strId = QStringLiteral("A");
    local.strVersion = QStringLiteral("1.0");
    ModuleVersion module = local;
    module.strVersion = QStringLiteral("2.0");
    module.strUrl = m_server.url() + QLatin1String("/packets/a.7z");
    module.llPacketBytes = m_full.size();
    module.baPacketSha256 = sha256(isFullIntact ? m_full : QByteArray("other"));
    if (isDeltaOffered)
        module.vecDeltas.append(DeltaPacket{QStringLiteral("1.0"), QStringLiteral("a-1.0.7z"), m_delta.size(),
                                            sha256(isDeltaIntact ? m_delta : QByteArray("other"))});

    std::atomic<bool> stop{false};
    PacketStagerSettings settings;
    settings.strTmpDir = app.filePath(QStringLiteral("Tmp"));
    settings.layout = CInstallLayout(app.path(), settings.strTmpDir);
    settings.str7zPath = sevenZip();
    settings.vecLocal = {local};
    settings.queryUrl = QUrl(m_server.url());
    settings.pStop = &stop;
    CPacketStager stager(settings);
    qint64 llLastInHand = -1;
    stager.setProgress([&](qint64 llInHand, int) {
        llLastInHand = llInHand;
        if (isStopped)
            stop = true;
    });

    MessageCapture capture;
    QCOMPARE(int(stager.stage({module})), result);
    QCOMPARE(isPacketStaged(settings.strTmpDir), result == int(UPGRADE_OP_SUCCESS));
    const QVector<PacketDownloadReport> reports = stager.reports();
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().isDelta, isDelta);
    const QString reason = reports.first().strDeltaFallback;
    QVERIFY2(reason.startsWith(fallback) && fallback.isEmpty() == reason.isEmpty(), qPrintable(reason));
    QCOMPARE(reports.first().llDeltaBytes, isDeltaOffered ? m_delta.size() : qint64(-1));
    if (result != int(UPGRADE_OP_SUCCESS)) {
        // A failed run leaves no Tmp behind.
        QVERIFY(!QFileInfo::exists(settings.strTmpDir));
        return;
    }
    const QString packet = settings.layout.packetDir();
    QCOMPARE(readFile(packet + QLatin1String("/mod/keep.txt")), QByteArray("keep"));
    QCOMPARE(readFile(packet + QLatin1String("/mod/new.txt")), QByteArray("new"));
    QCOMPARE(reports.first().llReceivedBytes,
             qint64(isDelta ? m_delta.size() : m_full.size() + (isDeltaOffered ? m_delta.size() : 0)));
    QVERIFY(llLastInHand > 0);
}

QTEST_GUILESS_MAIN(tst_PacketStager)
#include "tst_packetstager.moc"
