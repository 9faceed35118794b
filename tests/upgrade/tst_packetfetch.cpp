#include "upgrade/packetfetch.h"

#include "common/filetree.h"
#include "common/testserver.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

namespace {

const qint64 KiB = 1024;

QByteArray noise(qint64 size)
{
    QByteArray out(int(size), '\0');
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(out.data()), int(size / 4));
    return out;
}

} // namespace

// The one fetch path on its own, on the calling thread, against the
// development server: full packets and deltas are two sources of it.
class tst_PacketFetch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void fetch_data();
    void fetch();

private:
    QTemporaryDir m_root;
    QByteArray m_payload;
};

void tst_PacketFetch::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_payload = noise(256 * KiB);
    QVERIFY(FileTree::writeFile(m_root.filePath(QStringLiteral("packets/p.7z")), m_payload));
    QVERIFY(FileTree::writeFile(m_root.filePath(QStringLiteral("manifest.json")), "{\"modules\": []}\n"));
}

void tst_PacketFetch::fetch_data()
{
    QTest::addColumn<QStringList>("serverArguments");
    // signed, unsigned, other hash, shorter signed size, bound 100 KiB, 404, no retries (signed)
    QTest::addColumn<QString>("source");
    QTest::addColumn<qint64>("stopAt");        // > 0: a first fetch stopped there, its bytes kept
    QTest::addColumn<bool>("isTargetBlocked"); // a directory stands at the target
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("isPartKept");

    const QStringList none;
    const int fetched = int(FetchResult::Fetched);
    QTest::newRow("signed") << none << "signed" << 0LL << false << fetched << false;
    QTest::newRow("unsigned") << none << "unsigned" << 0LL << false << fetched << false;
    // Every cut resumes within the run; the hash follows the file across them.
    QTest::newRow("signed, cut every 48 KiB") << QStringList{"--drop-after-bytes", QString::number(48 * KiB)}
                                              << "signed" << 0LL << false << fetched << false;
    // The kept bytes are hashed from the file, behind the new ones.
    QTest::newRow("signed, stopped, then resumed") << QStringList{"--stall-after-bytes", QString::number(128 * KiB)}
                                                   << "signed" << 64 * KiB << false << fetched << false;
    QTest::newRow("signed with another hash") << none << "other hash" << 0LL << false
                                              << int(FetchResult::NotTrusted) << false;
    QTest::newRow("longer than signed") << none << "shorter signed size" << 0LL << false
                                        << int(FetchResult::NotTrusted) << false;
    QTest::newRow("unsigned beyond its bound") << none << "bound 100 KiB" << 0LL << false
                                               << int(FetchResult::TooLarge) << false;
    QTest::newRow("not found") << none << "404" << 0LL << false << int(FetchResult::NetworkFailed) << false;
    // Worth continuing in the next run.
    QTest::newRow("cut, no retries") << QStringList{"--drop-after-bytes", QString::number(48 * KiB)} << "no retries"
                                     << 0LL << false << int(FetchResult::NetworkFailed) << true;
    QTest::newRow("target not writable") << none << "signed" << 0LL << true << int(FetchResult::WriteFailed) << false;
}

void tst_PacketFetch::fetch()
{
    QFETCH(QStringList, serverArguments);
    QFETCH(QString, source);
    QFETCH(qint64, stopAt);
    QFETCH(bool, isTargetBlocked);
    QFETCH(int, result);
    QFETCH(bool, isPartKept);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    TestServer server;
    QVERIFY2(server.start(m_root.path(), QStringLiteral("key"), serverArguments), qPrintable(server.errorText()));
    const QString target = work.filePath(QStringLiteral("Tmp/p.7z"));
    QVERIFY(QDir().mkpath(isTargetBlocked ? target : work.filePath(QStringLiteral("Tmp"))));

    PacketSource packet;
    packet.strName = QStringLiteral("p.7z");
    packet.listUrls << server.url() + (source == "404" ? "/packets/missing.7z" : "/packets/p.7z");
    packet.baIdentity = "p 2.0";
    if (source != "unsigned" && !source.startsWith("bound")) {
        packet.llSignedBytes = m_payload.size() - (source == "shorter signed size" ? 1000 : 0);
        packet.baSignedSha256 = QCryptographicHash::hash(source == "other hash" ? m_payload.left(10) : m_payload,
                                                         QCryptographicHash::Sha256);
    }
    packet.llMaxBytes = source.startsWith("bound") ? 100 * KiB : -1;

    DownloadPolicy policy;
    policy.nBackoffBaseMs = 20;
    policy.nBackoffCapMs = 50;
    if (source == "no retries")
        policy.nMaxRetries = 0;
    std::atomic<bool> stop{false};
    bool isFirstRun = stopAt > 0;
    QVector<qint64> progress;
    CPacketFetch fetch(CInstallLayout(work.path()));
    fetch.setPolicy(policy);
    fetch.setStopFlag(&stop);
    fetch.setProgress([&](qint64 llInHand) {
        progress.append(llInHand);
        if (isFirstRun && llInHand >= stopAt)
            stop = true;
    });
    if (stopAt > 0) {
        QCOMPARE(fetch.fetch(packet, target), FetchResult::Stopped);
        QVERIFY(QFileInfo(fetch.partPath(packet.strName)).size() >= stopAt);
        server.stop();
        QVERIFY(server.start(m_root.path(), QStringLiteral("key")));
        packet.listUrls = QStringList{server.url() + "/packets/p.7z"};
        stop = false;
        isFirstRun = false;
        progress.clear();
    }

    const FetchResult got = fetch.fetch(packet, target);
    QVERIFY2(int(got) == result, qPrintable(fetch.errorString()));
    QCOMPARE(QFileInfo::exists(fetch.partPath(packet.strName)), isPartKept);
    if (got == FetchResult::Fetched) {
        QCOMPARE(FileTree::readFile(target), m_payload);
        QVERIFY(!QFileInfo::exists(fetch.statePath(packet.strName)));
        QCOMPARE(progress.last(), qint64(m_payload.size()));
        // A resumed fetch starts its progress at the bytes it kept.
        QCOMPARE(progress.first() > 0, stopAt > 0);
        QCOMPARE(fetch.outcome().llResumedBytes > 0, stopAt > 0);
    } else {
        QVERIFY(!fetch.errorString().isEmpty());
    }
    if (isTargetBlocked)
        QVERIFY2(fetch.errorString().contains(target), qPrintable(fetch.errorString()));
}

QTEST_GUILESS_MAIN(tst_PacketFetch)
#include "tst_packetfetch.moc"
