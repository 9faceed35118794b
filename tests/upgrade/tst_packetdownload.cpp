#include "platform/platformnames.h"
#include "upgrade/cupgrade.h"

#include "common/filetree.h"
#include "common/processend.h"
#include "common/messagecapture.h"
#include "common/testserver.h"

#include <QtTest>

#include <limits>

#ifdef Q_OS_WIN
#  include <winsock2.h>
#  include <ws2tcpip.h>
using Socket = SOCKET;
static const Socket noSocket = INVALID_SOCKET;
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <poll.h>
#  include <sys/socket.h>
#  include <unistd.h>
using Socket = int;
static const Socket noSocket = -1;
#endif

using FileTree::readFile;
using FileTree::snapshot;
using FileTree::writeFile;

namespace {

const qint64 MiB = 1024 * 1024;

QString sevenZip() { return QCoreApplication::applicationDirPath() + QLatin1Char('/') + PlatformNames::sevenZipFileName(); }

bool run7z(const QString &workDir, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    startProcess(p, sevenZip(), args);
    p.closeWriteChannel();
    if (!waitForProcessEnd(p, 120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("7z failed: %s", p.readAll().constData());
        return false;
    }
    return true;
}

QByteArray noise(qint64 size, quint32 salt)
{
    QByteArray out(int(size), '\0');
    QRandomGenerator generator(salt);
    generator.fillRange(reinterpret_cast<quint32 *>(out.data()), int(size / 4));
    return out;
}

// A stored (uncompressed) archive of one file, DIR/NAME, with a plain header
// and no times, so that its size depends on the content's size alone.
bool makeArchive(const QString &archive, const QString &dir, const QString &name, const QByteArray &content)
{
    QTemporaryDir src;
    return src.isValid() && writeFile(src.filePath(dir + QLatin1Char('/') + name), content)
        && (!QFileInfo::exists(archive) || QFile::remove(archive))
        && run7z(src.path(), { QStringLiteral("a"), QStringLiteral("-mx0"), QStringLiteral("-mhc=off"),
                               QStringLiteral("-mtm=off"), QStringLiteral("-mtc=off"), QStringLiteral("-mta=off"),
                               archive, dir });
}

// A stored archive of exactly `size` bytes: the header does not grow with
// the content at these sizes, so one correction hits the mark.
bool makeArchiveOfSize(const QString &archive, qint64 size)
{
    qint64 content = size - 200;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!makeArchive(archive, QStringLiteral("ten"), QStringLiteral("data.bin"), noise(content, 10)))
            return false;
        const qint64 got = QFileInfo(archive).size();
        if (got == size)
            return true;
        content += size - got;
    }
    return false;
}

ModuleVersion module(const QString &url, double dSize)
{
    ModuleVersion m;
    m.strId = QFileInfo(QUrl(url).path()).completeBaseName();
    m.strUrl = url;
    m.dSize = dSize;
    return m;
}

struct Status
{
    int error;
    bool isFinished;
    int progress;
};

QVector<Status> statuses(const QSignalSpy &spy)
{
    QVector<Status> out;
    for (const QList<QVariant> &args : spy)
        out.append({ int(args.at(0).value<UpgradeOpError>()), args.at(1).toBool(), args.at(2).toInt() });
    return out;
}

// A port on 127.0.0.1 where nothing answers, but every connection made to
// it waits in the backlog to be seen.
class Probe
{
public:
    Probe()
    {
#ifdef Q_OS_WIN
        WSADATA data;
        m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
#else
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_fd != noSocket && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0
            && ::listen(m_fd, 8) == 0
            && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~Probe()
    {
#ifdef Q_OS_WIN
        if (m_fd != noSocket)
            ::closesocket(m_fd);
        if (m_started)
            ::WSACleanup();
#else
        if (m_fd != noSocket)
            ::close(m_fd);
#endif
    }
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }
    bool isListening() const { return m_port != 0; }
    bool wasContacted() const
    {
        pollfd entry = { m_fd, POLLIN, 0 };
#ifdef Q_OS_WIN
        return ::WSAPoll(&entry, 1, 200) > 0;
#else
        return ::poll(&entry, 1, 200) > 0;
#endif
    }

private:
    Q_DISABLE_COPY(Probe)
    Socket m_fd = noSocket;
#ifdef Q_OS_WIN
    bool m_started = false;
#endif
    int m_port = 0;
};

// Removes, when it ends, what a test put into the test's own application directory.
class AppDirEntryRemover
{
public:
    explicit AppDirEntryRemover(const QString &name)
        : m_path(QCoreApplication::applicationDirPath() + QLatin1Char('/') + name) { QDir(m_path).removeRecursively(); }
    ~AppDirEntryRemover() { QDir(m_path).removeRecursively(); }
    QString path() const { return m_path; }

private:
    Q_DISABLE_COPY(AppDirEntryRemover)
    QString m_path;
};

} // namespace

class tst_PacketDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void progressSequenceThroughEngine();
    void progressAgainstAnnouncedSizes_data();
    void progressAgainstAnnouncedSizes();
    void sameFileNameTwice();
    void urlWithoutFileName_data();
    void urlWithoutFileName();
    void hostileFileName_data();
    void hostileFileName();
    void notFoundOnSecondOfThree();
    void stopDuringFirstOfThree();
    void failedUnpack();
    void emptyListThroughEngine();
    void directoriesNotCreatable_data();
    void directoriesNotCreatable();
    void packetFileNotWritable();
    void upgradeTestFails();
    void applyThroughEngine();
    void applyWithoutPacketThroughEngine();

private:
    QString packetUrl(const QString &name) const { return m_server.url() + QLatin1String("/packets/") + name; }

    QTemporaryDir m_rootA;
    QTemporaryDir m_rootB;
    TestServer m_server;
    TestServer m_serverB;
    QScopedPointer<QTemporaryDir> m_work;
    QString m_tmpDir;
};

void tst_PacketDownload::initTestCase()
{
    QVERIFY(m_rootA.isValid());
    QVERIFY(m_rootB.isValid());
    const QString packetsA = m_rootA.filePath(QStringLiteral("packets"));
    const QString packetsB = m_rootB.filePath(QStringLiteral("packets"));
    QVERIFY(QDir().mkpath(packetsA));
    QVERIFY(QDir().mkpath(packetsB));

    QVERIFY(makeArchiveOfSize(packetsA + QLatin1String("/ten.7z"), 10 * MiB));
    QVERIFY(makeArchive(packetsA + QLatin1String("/big.7z"), QStringLiteral("big"), QStringLiteral("data.bin"),
                        noise(5 * MiB / 2, 2)));
    QVERIFY(makeArchive(packetsA + QLatin1String("/small.7z"), QStringLiteral("small"), QStringLiteral("a.txt"), "A"));
    QVERIFY(makeArchive(packetsB + QLatin1String("/small.7z"), QStringLiteral("small"), QStringLiteral("a.txt"),
                        "the other server's a.txt"));
    QVERIFY(writeFile(packetsA + QLatin1String("/notarchive.7z"), QByteArray(4096, 'n')));
    QVERIFY(writeFile(packetsA + QLatin1String("/Packet"), "named like the packet directory"));

    QVERIFY2(m_server.start(m_rootA.path(), QStringLiteral("key")), qPrintable(m_server.errorText()));
    QVERIFY2(m_serverB.start(m_rootB.path(), QStringLiteral("key")), qPrintable(m_serverB.errorText()));
}

void tst_PacketDownload::init()
{
    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    m_tmpDir = m_work->filePath(QStringLiteral("Tmp"));
}

void tst_PacketDownload::cleanup()
{
    m_work.reset();
}

void tst_PacketDownload::progressSequenceThroughEngine()
{
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    engine.setNeedUpgradeModule({ module(packetUrl(QStringLiteral("ten.7z")), 10) });
    engine.setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
    QSignalSpy spy(&engine, &CUpgrade::signalGetUpgradePacketStatus);
    engine.start();
    QVERIFY(engine.wait(120000));

    const QVector<Status> all = statuses(spy);
    QVERIFY(all.size() >= 2);
    int last = 0;
    for (int i = 0; i < all.size() - 1; ++i) {
        QCOMPARE(all.at(i).error, int(UPGRADE_OP_SUCCESS));
        QVERIFY(!all.at(i).isFinished);
        QVERIFY2(all.at(i).progress - last >= 6, qPrintable(QString::number(all.at(i).progress)));
        QVERIFY(all.at(i).progress <= 80);
        last = all.at(i).progress;
    }
    QVERIFY(last >= 75);
    QCOMPARE(all.last().error, int(UPGRADE_OP_SUCCESS));
    QVERIFY(all.last().isFinished);
    QCOMPARE(all.last().progress, 100);

    // Staged: the packet file, what it held, and the empty backup directory.
    QCOMPARE(QFileInfo(m_tmpDir + QLatin1String("/ten.7z")).size(), 10 * MiB);
    QVERIFY(QFileInfo(m_tmpDir + QLatin1String("/Packet/ten/data.bin")).size() > 10 * MiB - 300);
    QVERIFY(QFileInfo(m_tmpDir + QLatin1String("/Backup")).isDir());
}

void tst_PacketDownload::progressAgainstAnnouncedSizes_data()
{
    QTest::addColumn<QString>("packet");
    QTest::addColumn<double>("dSize");
    QTest::addColumn<int>("minSignals");
    QTest::addColumn<int>("maxSignals");
    QTest::addColumn<int>("highest");

    QTest::newRow("all sizes 0") << "big.7z" << 0.0 << 0 << 0 << 0;
    QTest::newRow("negative size") << "big.7z" << -3.0 << 0 << 0 << 0;
    // 2.5 MiB announced as 1: past 80 and past 100, not limited.
    QTest::newRow("larger than announced") << "big.7z" << 1.0 << 2 << 100 << 190;
    // Far beyond the int range: it stops at its end, once.
    QTest::newRow("far larger than announced") << "small.7z" << 1e-12 << 1 << 1 << std::numeric_limits<int>::max();
}

void tst_PacketDownload::progressAgainstAnnouncedSizes()
{
    QFETCH(QString, packet);
    QFETCH(double, dSize);
    QFETCH(int, minSignals);
    QFETCH(int, maxSignals);
    QFETCH(int, highest);

    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    QSignalSpy spy(&engine, &CUpgrade::signalGetUpgradePacketStatus);
    QCOMPARE(engine.getUpgradePacket({ module(packetUrl(packet), dSize), module(packetUrl(packet), dSize) }),
             UPGRADE_OP_SUCCESS);
    const QVector<Status> all = statuses(spy);
    QVERIFY2(all.size() >= minSignals && all.size() <= maxSignals, qPrintable(QString::number(all.size())));
    int last = 0;
    for (const Status &status : all) {
        QVERIFY(!status.isFinished);
        QVERIFY(status.progress - qint64(last) > 5);
        last = status.progress;
    }
    if (highest > 0)
        QVERIFY2(last >= highest, qPrintable(QString::number(last)));
}

void tst_PacketDownload::sameFileNameTwice()
{
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    const QString second = m_serverB.url() + QLatin1String("/packets/small.7z");
    QCOMPARE(engine.getUpgradePacket({ module(packetUrl(QStringLiteral("small.7z")), 0), module(second, 0) }),
             UPGRADE_OP_SUCCESS);
    // The second download reused the file after the first was unpacked; the
    // later packet wins where both hold the same file.
    QCOMPARE(readFile(m_tmpDir + QLatin1String("/small.7z")), readFile(m_rootB.filePath(QStringLiteral("packets/small.7z"))));
    QCOMPARE(readFile(m_tmpDir + QLatin1String("/Packet/small/a.txt")), QByteArray("the other server's a.txt"));
}

void tst_PacketDownload::urlWithoutFileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("trailing slash") << "/packets/";
    QTest::newRow("no path") << "";
}

void tst_PacketDownload::urlWithoutFileName()
{
    QFETCH(QString, path);
    Probe probe;
    QVERIFY(probe.isListening());
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    MessageCapture capture;
    QCOMPARE(engine.getUpgradePacket({ module(probe.url(path), 1) }), UPGRADE_OP_NETWORK_FAILED);
    QVERIFY(capture.warnings().isEmpty());
    QVERIFY(!probe.wasContacted());
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::hostileFileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("dot dot") << "/packets/%2e%2e" << "..";
    QTest::newRow("dot") << "/packets/%2E" << ".";
    QTest::newRow("backslash") << "/packets/..%5cevil.7z" << "..\\evil.7z";
    QTest::newRow("nul") << "/packets/evil%00.7z" << QString(QStringLiteral("evil") + QChar(0) + QStringLiteral(".7z"));
    QTest::newRow("the packet directory") << "/packets/Packet" << "Packet";
    QTest::newRow("the backup directory") << "/packets/Backup" << "Backup";
    QTest::newRow("the backup directory in other letter case") << "/packets/bACKUP" << "bACKUP";
    QTest::newRow("a file stream on Windows") << "/packets/evil.7z%3A$DATA" << "evil.7z:$DATA";
    QTest::newRow("a device on Windows") << "/packets/CON.7z" << "CON.7z";
    QTest::newRow("a device in other letter case") << "/packets/com1" << "com1";
    QTest::newRow("the console's input") << "/packets/CONIN$" << "CONIN$";
    QTest::newRow("a device with spaces before its extension") << "/packets/nul%20%20.7z" << "nul  .7z";
    QTest::newRow("a trailing dot Windows drops") << "/packets/Backup." << "Backup.";
    QTest::newRow("a line break") << "/packets/a%0Ab.7z" << "a\nb.7z";
    QTest::newRow("the journal") << "/packets/journal" << "journal";
    // Leaves no room for the ".state" beside its partial data.
    const QString tooLong = QString(241 - 3, QLatin1Char('p')) + QLatin1String(".7z");
    QTest::newRow("longer than 240 bytes") << "/packets/" + tooLong << tooLong;
    const QString longest = QString(255 - 3, QLatin1Char('p')) + QLatin1String(".7z");
    QTest::newRow("longer than a file name can be") << "/packets/p" + longest << "p" + longest;
#ifndef Q_OS_WIN
    // Two bytes each in UTF-8: short in characters, too long in bytes.
    const QString wide = QString(128, QChar(0x00e9)) + QLatin1String(".7z");
    QTest::newRow("too long in bytes") << "/packets/" + QString::fromLatin1(QUrl::toPercentEncoding(wide)) << wide;
#endif
}

void tst_PacketDownload::hostileFileName()
{
    QFETCH(QString, path);
    QFETCH(QString, fileName);
    QCOMPARE(QUrl(QLatin1String("http://h") + path, QUrl::TolerantMode).fileName(), fileName);

    Probe probe;
    QVERIFY(probe.isListening());
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    MessageCapture capture;
    // Second in the list: the first is downloaded and unpacked before.
    QCOMPARE(engine.getUpgradePacket({ module(packetUrl(QStringLiteral("small.7z")), 0), module(probe.url(path), 1) }),
             UPGRADE_OP_NETWORK_FAILED);
    const QStringList warnings = capture.warnings();
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QLatin1String("packet file name ")), qPrintable(warnings.first()));
    QVERIFY(!probe.wasContacted());
    // Nothing left beside the temporary directory, which is gone.
    QCOMPARE(QDir(m_work->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList());
}

void tst_PacketDownload::notFoundOnSecondOfThree()
{
    Probe probe;
    QVERIFY(probe.isListening());
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    const QString missing = packetUrl(QStringLiteral("missing.7z"));
    MessageCapture capture;
    QCOMPARE(engine.getUpgradePacket({ module(packetUrl(QStringLiteral("small.7z")), 1), module(missing, 1),
                                       module(probe.url(QStringLiteral("/three.7z")), 1) }),
             UPGRADE_OP_NETWORK_FAILED);
    QCOMPARE(capture.warnings(), QStringList{ QLatin1String("get  \"") + missing + QLatin1String("\"  failed") });
    QVERIFY(!probe.wasContacted());
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::stopDuringFirstOfThree()
{
    Probe probe;
    QVERIFY(probe.isListening());
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    const QString first = packetUrl(QStringLiteral("ten.7z"));
    engine.setNeedUpgradeModule({ module(first, 10), module(probe.url(QStringLiteral("/two.7z")), 10),
                                  module(probe.url(QStringLiteral("/three.7z")), 10) });
    engine.setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
    // The first progress report asks to stop, from the worker thread, while
    // the first packet still has megabytes to come.
    connect(&engine, &CUpgrade::signalGetUpgradePacketStatus, &engine,
            [&engine](UpgradeOpError, bool isFinished, int) {
                if (!isFinished)
                    engine.stopUpgrade();
            },
            Qt::DirectConnection);
    QSignalSpy spy(&engine, &CUpgrade::signalGetUpgradePacketStatus);
    MessageCapture capture;
    engine.start();
    QVERIFY(engine.wait(120000));

    const QVector<Status> all = statuses(spy);
    QCOMPARE(all.size(), 2);
    QVERIFY(!all.first().isFinished);
    QCOMPARE(all.last().error, int(UPGRADE_OP_NETWORK_FAILED));
    QVERIFY(all.last().isFinished);
    QCOMPARE(all.last().progress, 100);
    QCOMPARE(capture.warnings(), QStringList{ QLatin1String("get  \"") + first + QLatin1String("\"  failed") });
    QVERIFY(!probe.wasContacted());
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::failedUnpack()
{
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    MessageCapture capture;
    QCOMPARE(engine.getUpgradePacket({ module(packetUrl(QStringLiteral("notarchive.7z")), 0) }),
             UPGRADE_OP_DO7Z_FAILED);
    const QString local = m_tmpDir + QDir::separator() + QLatin1String("notarchive.7z");
    // It names the directory that 7z really writes to.
    const QString expected = QLatin1String("do7z  \"") + local + QLatin1String("\"  to  \"")
        + engine.partialPacketDir() + QLatin1String("\"  failed!");
    QVERIFY2(capture.warnings().contains(MessageCapture::logged(expected)),
             qPrintable(capture.warnings().join(QLatin1Char('\n'))));
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::emptyListThroughEngine()
{
    QVERIFY(writeFile(m_tmpDir + QLatin1String("/Packet/left-over"), "from an earlier run"));
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    engine.setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
    QSignalSpy spy(&engine, &CUpgrade::signalGetUpgradePacketStatus);
    MessageCapture capture;
    engine.start();
    QVERIFY(engine.wait(60000));
    const QVector<Status> all = statuses(spy);
    QCOMPARE(all.size(), 1);
    QCOMPARE(all.first().error, int(UPGRADE_OP_NO_MODULE_NEED_UPDATE));
    QVERIFY(all.first().isFinished);
    QCOMPARE(all.first().progress, 100);
    QCOMPARE(capture.warnings(), QStringList{ QStringLiteral("no module need update") });
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::directoriesNotCreatable_data()
{
    QTest::addColumn<QString>("blocked");
    QTest::addColumn<QStringList>("warnings");
    QTest::newRow("no temporary directory set") << ""
        << QStringList{ QStringLiteral("tmp dir is null"), QStringLiteral("createTmpDirForUpgrade failed") };
    QTest::newRow("temporary directory is a file") << "Tmp"
        << QStringList{ QStringLiteral("createTmpDirForUpgrade failed") };
    QTest::newRow("packet directory is a file") << "Tmp/Packet" << QStringList{ QStringLiteral("mkdir ") };
}

void tst_PacketDownload::directoriesNotCreatable()
{
    QFETCH(QString, blocked);
    QFETCH(QStringList, warnings);
    CUpgrade engine;
    if (blocked.isEmpty()) {
        engine.setTmpDir(QString());
    } else {
        engine.setTmpDir(m_tmpDir);
        QVERIFY(writeFile(m_work->filePath(blocked), "in the way"));
    }
    // The current directory is one of our own, so that what the test was
    // started in neither matters nor suffers.
    const QString cwd = m_work->filePath(QStringLiteral("cwd"));
    QVERIFY(writeFile(cwd + QLatin1String("/sub/file"), "stay"));
    const QMap<QString, QByteArray> cwdBefore = snapshot(cwd);
    const QString started = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd));

    MessageCapture capture;
    const UpgradeOpError result = engine.getUpgradePacket({ module(packetUrl(QStringLiteral("small.7z")), 0) });
    QVERIFY(QDir::setCurrent(started));
    QCOMPARE(result, UPGRADE_OP_CREATE_DIR_FAILED);
    const QStringList got = capture.warnings();
    QCOMPARE(got.size(), warnings.size());
    for (int i = 0; i < got.size(); ++i)
        QVERIFY2(got.at(i).startsWith(warnings.at(i)), qPrintable(got.at(i)));
    // An empty temporary directory must not stand for the current one.
    QCOMPARE(snapshot(cwd), cwdBefore);
}

void tst_PacketDownload::packetFileNotWritable()
{
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    MessageCapture capture;
    // A directory stands where its local file goes.
    QVERIFY(writeFile(m_tmpDir + QLatin1String("/small.7z/inside"), "in the way"));
    QCOMPARE(engine.getUpgradePacket({ module(packetUrl(QStringLiteral("small.7z")), 0) }),
             UPGRADE_OP_WRITE_FILE_FAILED);
    QVERIFY(capture.warnings().isEmpty());
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::upgradeTestFails()
{
    QVERIFY(writeFile(m_tmpDir + QLatin1String("/Backup"), "in the way of the backup directory"));
    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    MessageCapture capture;
    QCOMPARE(engine.getUpgradePacket({ module(packetUrl(QStringLiteral("small.7z")), 0) }),
             UPGRADE_OP_TEST_CAN_UPGRADE_FAILED);
    const QStringList warnings = capture.warnings();
    QCOMPARE(warnings.size(), 2);
    QVERIFY(warnings.first().startsWith(QLatin1String("mkdir ")));
    QCOMPARE(warnings.last(), QStringLiteral("test can upgrade failed!"));
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::applyThroughEngine()
{
    AppDirEntryRemover probe(QStringLiteral("tvx-apply-probe"));
    QVERIFY(writeFile(m_tmpDir + QLatin1String("/Packet/tvx-apply-probe/new.txt"), "applied"));
    QVERIFY(writeFile(probe.path() + QLatin1String("/old.txt"), "old"));
    QVERIFY(writeFile(m_tmpDir + QLatin1String("/Packet/tvx-apply-probe/old.txt"), "replaced"));
    QVERIFY(writeFile(m_tmpDir + QLatin1String("/Staged"), "{}"));

    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    engine.setOpMode(CUpgrade::OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR);
    QSignalSpy spy(&engine, &CUpgrade::signalUpgradeFinish);
    engine.start();
    QVERIFY(engine.wait(60000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(int(spy.first().first().value<UpgradeOpError>()), int(UPGRADE_OP_SUCCESS));
    QCOMPARE(readFile(probe.path() + QLatin1String("/new.txt")), QByteArray("applied"));
    QCOMPARE(readFile(probe.path() + QLatin1String("/old.txt")), QByteArray("replaced"));
    QVERIFY(!QFileInfo::exists(m_tmpDir));
}

void tst_PacketDownload::applyWithoutPacketThroughEngine()
{
    QVERIFY(writeFile(m_tmpDir + QLatin1String("/ten.7z"), "archive"));
    const QString appDir = QCoreApplication::applicationDirPath();
    const QMap<QString, QByteArray> before = snapshot(appDir);

    CUpgrade engine;
    engine.setTmpDir(m_tmpDir);
    engine.setOpMode(CUpgrade::OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR);
    QSignalSpy spy(&engine, &CUpgrade::signalUpgradeFinish);
    MessageCapture capture;
    engine.start();
    QVERIFY(engine.wait(60000));
    QCOMPARE(spy.count(), 1);
    // Without a packet marked as completely staged nothing is tried.
    QCOMPARE(int(spy.first().first().value<UpgradeOpError>()), int(UPGRADE_OP_NOT_STAGED));
    QCOMPARE(snapshot(appDir), before);
    // Nothing was touched: the temporary directory stays.
    QVERIFY(QFileInfo::exists(m_tmpDir + QLatin1String("/ten.7z")));
}

QTEST_GUILESS_MAIN(tst_PacketDownload)
#include "tst_packetdownload.moc"
