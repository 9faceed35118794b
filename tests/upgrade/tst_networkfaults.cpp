#include "upgrade/config/serverclusterinfo.h"
#include "upgrade/cupgrade.h"

#include "common/clusterfile.h"
#include "common/loopbackport.h"
#include "common/testserver.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

const qint64 MiB = 1024 * 1024;
const char key[] = "net-key";

QByteArray fileHash(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

// Short pauses: the table is about which attempts happen, not how long they wait.
DownloadPolicy quickPolicy()
{
    DownloadPolicy policy;
    policy.nBackoffBaseMs = 50;
    policy.nBackoffCapMs = 200;
    policy.nRetryAfterCapMs = 2000;
    policy.llUnsignedCapBytes = 4 * MiB;
    return policy;
}

} // namespace

class tst_NetworkFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void faults_data();
    void faults();

private:
    QTemporaryDir m_root;
};

void tst_NetworkFaults::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkpath(QStringLiteral("packets")));
    QRandomGenerator generator(12);
    const struct { const char *name; qint64 bytes; } payloads[] = {{"big.bin", 50 * MiB}, {"small.bin", MiB / 4}};
    for (const auto &payload : payloads) {
        QFile file(m_root.filePath(QLatin1String("packets/") + QLatin1String(payload.name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray block(int(MiB / 4), '\0');
        for (qint64 done = 0; done < payload.bytes; done += block.size()) {
            generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            QCOMPARE(file.write(block), qint64(block.size()));
        }
    }
    QFile manifest(m_root.filePath(QStringLiteral("manifest.json")));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    manifest.write("{\"modules\": []}\n");
    // A valid answer of 64 KiB: at 600 B/s it would take almost two minutes.
    QFile answer(m_root.filePath(QStringLiteral("slow.json")));
    QVERIFY(answer.open(QIODevice::WriteOnly));
    answer.write("{\"retcode\": 0, \"value\": {\"upgrade\": []}}" + QByteArray(64 * 1024, ' '));
}

void tst_NetworkFaults::faults_data()
{
    QTest::addColumn<QStringList>("serverArguments");
    QTest::addColumn<QString>("packet");
    QTest::addColumn<double>("dSize");
    QTest::addColumn<bool>("isMirrorOnly");       // the primary URL refuses connections
    QTest::addColumn<QStringList>("resumeArguments"); // non-empty: stop a stalled run first, resume on this server
    QTest::addColumn<int>("result");              // 10: arrived whole (the payload is no archive)
    QTest::addColumn<qint64>("maxReceived");      // bytes over the network, -1: any
    QTest::addColumn<int>("attempts");            // -1: any
    QTest::addColumn<bool>("isRangeLogged");      // the server saw a range request
    QTest::addColumn<int>("resumed");             // bytes kept from the stopped run: -1 any, 0 none, 1 some
    QTest::addColumn<int>("signature");           // 0 unsigned, 1 signed size and hash, 2 signed with another hash
    QTest::addColumn<int>("volumeMiB");           // > 0: Tmp on a tmpfs volume of this size (root only)

    const QStringList none;
    const QString big = QStringLiteral("big.bin");
    const QString small = QStringLiteral("small.bin");
    QTest::newRow("drop every 10 MiB") << QStringList{"--drop-after-bytes", QString::number(10 * MiB)} << big << 50.0
                                       << false << none << 10 << qint64(55 * MiB) << -1 << true << 0 << 0 << 0;
    QTest::newRow("503 twice, Retry-After 1") << QStringList{"--unavailable", "2", "--retry-after", "1"} << small
                                              << 0.25 << false << none << 10 << -1LL << 3 << false << 0 << 0 << 0;
    QTest::newRow("dead primary, mirror") << none << small << 0.25 << true << none << 10 << -1LL << -1 << false << 0 << 0 << 0;
    QTest::newRow("endless body") << QStringList{"--endless"} << small << 1.0 << false << none << 4
                                  << qint64(9 * MiB + MiB / 4) << 1 << false << -1 << 0 << 0;
    QTest::newRow("404 not retried") << none << QStringLiteral("missing.bin") << 1.0 << false << none << 4 << 0LL << 1
                                     << false << -1 << 0 << 0;
    QTest::newRow("stopped while stalled, resumed")
        << QStringList{"--stall-after-bytes", QString::number(8 * MiB)} << big << 50.0 << false
        << QStringList{"--quiet"} << 10 << qint64(43 * MiB) << 1 << true << 1 << 0 << 0;
    QTest::newRow("stopped, server ignores the range")
        << QStringList{"--stall-after-bytes", QString::number(8 * MiB)} << big << 50.0 << false
        << QStringList{"--ignore-ranges"} << 10 << qint64(51 * MiB) << 1 << true << 0 << 0 << 0;
    QTest::newRow("query dripped at 600 B/s")
        << QStringList{"--throttle-bytes-per-sec", "600", "--answer", m_root.filePath("slow.json")} << QString()
        << 0.0 << false << none << 4 << -1LL << -1 << false << -1 << 0 << 0;
    // Kept and resumed bytes count towards the signed hash exactly once.
    QTest::newRow("signed, drop every 10 MiB") << QStringList{"--drop-after-bytes", QString::number(10 * MiB)} << big
                                               << 50.0 << false << none << 10 << qint64(55 * MiB) << -1 << true << 0 << 1 << 0;
    QTest::newRow("signed, stopped while stalled, resumed")
        << QStringList{"--stall-after-bytes", QString::number(8 * MiB)} << big << 50.0 << false
        << QStringList{"--quiet"} << 10 << qint64(43 * MiB) << 1 << true << 1 << 1 << 0;
    QTest::newRow("signed with another hash, resumed")
        << QStringList{"--stall-after-bytes", QString::number(8 * MiB)} << big << 50.0 << false
        << QStringList{"--quiet"} << 15 << qint64(43 * MiB) << 1 << true << 1 << 2 << 0;
    // No usable "Size": the policy's cap (4 MiB here) bounds the body.
    QTest::newRow("endless body, size 0") << QStringList{"--endless"} << small << 0.0 << false << none << 4
                                          << qint64(4 * MiB) << 1 << false << -1 << 0 << 0;
    QTest::newRow("endless body, negative size") << QStringList{"--endless"} << small << -1.0 << false << none << 4
                                                 << qint64(4 * MiB) << 1 << false << -1 << 0 << 0;
    // At most half of the free space, announced size or not.
    QTest::newRow("unsigned, half a 24 MiB volume") << none << big << 50.0 << false << none << 4 << qint64(12 * MiB)
                                                    << 1 << false << -1 << 0 << 24;
    QTest::newRow("signed, larger than half a 24 MiB volume") << none << big << 50.0 << false << none << 7 << 0LL << 0
                                                              << false << -1 << 1 << 24;
}

void tst_NetworkFaults::faults()
{
    QFETCH(QStringList, serverArguments);
    QFETCH(QString, packet);
    QFETCH(double, dSize);
    QFETCH(bool, isMirrorOnly);
    QFETCH(QStringList, resumeArguments);
    QFETCH(int, result);
    QFETCH(qint64, maxReceived);
    QFETCH(int, attempts);
    QFETCH(bool, isRangeLogged);
    QFETCH(int, resumed);
    QFETCH(int, signature);
    QFETCH(int, volumeMiB);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QString tmpDir = work.filePath(QStringLiteral("Tmp"));
    if (volumeMiB > 0) {
#ifndef Q_OS_LINUX
        QSKIP("mounts a tmpfs");
#else
        if (::geteuid() != 0)
            QSKIP("needs root to mount a small tmpfs volume");
        QVERIFY(QDir().mkpath(work.filePath(QStringLiteral("volume"))));
        const QByteArray options = "size=" + QByteArray::number(volumeMiB) + "m";
        const QByteArray volume = QFile::encodeName(work.filePath("volume"));
        if (::mount("tmpfs", volume.constData(), "tmpfs", 0, options.constData()) != 0)
            QSKIP("cannot mount a tmpfs volume here");
        tmpDir = work.filePath(QStringLiteral("volume/Tmp"));
#endif
    }
#ifdef Q_OS_LINUX
    struct Unmount {
        QString path;
        bool isMounted;
        ~Unmount() { if (isMounted) ::umount2(QFile::encodeName(path).constData(), MNT_DETACH); }
    } unmount{work.filePath(QStringLiteral("volume")), volumeMiB > 0};
#endif
    const QString log = work.filePath(QStringLiteral("requests.log"));
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QLatin1String(key), serverArguments + QStringList{"--request-log", log}),
             qPrintable(server.errorText()));

    if (packet.isEmpty()) {
        // The query's deadline: 2 s per attempt, 4 s in all.
        CUpgrade upgrade;
        DownloadPolicy policy = DownloadPolicy::versionQuery();
        policy.llAttemptTimeoutMs = 2000;
        policy.llDeadlineMs = 4000;
        upgrade.setVersionQueryPolicy(policy);
        QVector<ModuleVersion> modules;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!upgrade.getVersionInfoFromServer(
            ScopedServerClusterFile::info(QStringLiteral("test"), server.hostAndPort(), QLatin1String(key)), modules));
        QVERIFY2(timer.elapsed() < 30000, "the query outlived its deadline by far");
        return;
    }

    ModuleVersion module;
    module.strId = QStringLiteral("net");
    module.dSize = dSize;
    module.strUrl = server.url() + QLatin1String("/packets/") + packet;
    if (isMirrorOnly) {
        module.listMirrors << module.strUrl;
        module.strUrl = QStringLiteral("http://127.0.0.1:%1/packets/%2").arg(unusedLoopbackPort()).arg(packet);
    }
    const QString source = m_root.filePath(QLatin1String("packets/") + packet);
    if (signature != 0) {
        module.llPacketBytes = QFileInfo(source).size();
        module.baPacketSha256 = fileHash(signature == 1 ? source : m_root.filePath("packets/small.bin"));
    }

    if (!resumeArguments.isEmpty()) {
        // A run stopped while the server stalls: the stop must not wait for it.
        CUpgrade first;
        first.setTmpDir(work.filePath(QStringLiteral("Tmp")));
        first.setDownloadPolicy(quickPolicy());
        first.setNeedUpgradeModule({module});
        first.setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
        first.start();
        const QString part = first.downloadDir() + QLatin1String("/") + packet + QLatin1String(".part");
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(part).size(), 8 * MiB, 60000);
        first.stopUpgrade();
        QVERIFY2(first.wait(5000), "the stop waited for the stalled server");
        QVERIFY(!QFileInfo::exists(first.tmpDir()));
        QCOMPARE(QFileInfo(part).size(), 8 * MiB);
        server.stop();
        QVERIFY(server.start(m_root.path(), QLatin1String(key), resumeArguments + QStringList{"--request-log", log}));
        module.strUrl = server.url() + QLatin1String("/packets/") + packet;
    }

    CUpgrade upgrade;
    upgrade.setTmpDir(tmpDir);
    upgrade.setDownloadPolicy(quickPolicy());
    QCOMPARE(int(upgrade.downloadUpgradePacket({module})), result);
    QCOMPARE(upgrade.packetReports().size(), 1);
    const PacketDownloadReport report = upgrade.packetReports().at(0);
    const QString local = upgrade.tmpDir() + QLatin1String("/") + packet;
    if (result == 10) {
        QCOMPARE(fileHash(local), fileHash(source));
        QCOMPARE(report.strUrl, isMirrorOnly ? module.listMirrors.at(0) : module.strUrl);
        QVERIFY(QDir(upgrade.downloadDir()).isEmpty());
    } else {
        QVERIFY(!QFileInfo::exists(upgrade.downloadDir() + QLatin1String("/") + packet + QLatin1String(".part"))
                || QFileInfo(upgrade.downloadDir() + QLatin1String("/") + packet + QLatin1String(".part")).size() == 0);
    }
    if (maxReceived >= 0)
        QVERIFY2(report.llReceivedBytes <= maxReceived, qPrintable(QString::number(report.llReceivedBytes)));
    if (attempts >= 0)
        QCOMPARE(report.nAttempts, attempts);
    if (resumed >= 0)
        QCOMPARE(report.llResumedBytes > 0, resumed > 0);

    QFile requests(log);
    QCOMPARE(requests.open(QIODevice::ReadOnly) && requests.readAll().contains("range=bytes="), isRangeLogged);
}

QTEST_GUILESS_MAIN(tst_NetworkFaults)
#include "tst_networkfaults.moc"
