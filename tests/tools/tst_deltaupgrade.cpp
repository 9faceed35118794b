// Delta upgrades end to end: tarvex-release packs version 2 of a module with
// a delta from version 1, signs and publishes it, a real nginx serves the
// site, and tarvex-upgrade in a copy of the installation downloads and
// applies it. Whether the delta or the full packet came, the module must
// end byte for byte as version 2, and nothing may be written outside it.

#include "common/processend.h"
#include "common/filetree.h"
#include "common/nginxsite.h"
#include "platform/platformnames.h"

#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;

namespace {

const char tokenKey[] = "tst-delta-key";
const QString releaseTool = QStringLiteral(TVX_PUBLISHER_BIN_DIR "/") + PlatformNames::releaseToolFileName();
const QString deltaName = QStringLiteral("demo-1.0-2.0.delta.7z");

enum Case { Changes, InstalledEdited, DeltaAltered, PatchCorrupt, EscapingPath, DeltaMissing, Untrusted, Large,
            JournalPath, LockPath };

using Tree = QMap<QString, QByteArray>;

QByteArray randomBytes(QRandomGenerator &random, int size)
{
    QVector<quint32> words((size + 3) / 4);
    random.fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QByteArray changedSlightly(QByteArray bytes)
{
    for (int offset : {17, bytes.size() / 2, bytes.size() - 5})
        bytes[offset] = char(bytes.at(offset) ^ 0x5a);
    return bytes;
}

// Version 1 and version 2 of the module, relative to the installation.
void makeTrees(bool isLarge, Tree &v1, Tree &v2)
{
    QRandomGenerator random(isLarge ? 20 : 1);
    const QString dir = QStringLiteral("Solutions/demo/");
    if (isLarge) {
        for (int i = 0; i < 200; ++i) {
            const QString name = dir + QStringLiteral("data/f%1.bin").arg(i, 3, 10, QLatin1Char('0'));
            v1[name] = randomBytes(random, 100 * 1024);
            v2[name] = i % 20 == 7 ? changedSlightly(v1[name]) : v1[name];
        }
        v2[dir + "data/new1.bin"] = randomBytes(random, 50 * 1024);
        v2[dir + "data/new2.bin"] = randomBytes(random, 50 * 1024);
        return;
    }
    v1[dir + "readme.txt"] = QByteArray("demo version 1\n").repeated(200);
    v2[dir + "readme.txt"] = QByteArray("demo version 2\n").repeated(200);
    v1[dir + "lib/libdemo.so"] = randomBytes(random, 64 * 1024);
    v2[dir + "lib/libdemo.so"] = changedSlightly(v1[dir + "lib/libdemo.so"]);
    v1[dir + "same.dat"] = v2[dir + "same.dat"] = randomBytes(random, 16 * 1024);
    v1[dir + ".hidden"] = v2[dir + ".hidden"] = "hidden\n";
    v2[dir + "new/added.txt"] = "new in version 2\n";
}

bool writeTree(const QString &root, const Tree &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (!writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

class tst_DeltaUpgrade : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void upgrade_data();
    void upgrade();
    void cleanup();

private:
    int run(const QString &program, const QStringList &arguments, QByteArray *pOut = nullptr,
            QByteArray *pErr = nullptr);
    bool repackDelta(int which);
    QString path(const QString &relative) const { return m_work->filePath(relative); }

    QScopedPointer<QTemporaryDir> m_work;
    NginxSite m_nginx;
};

int tst_DeltaUpgrade::run(const QString &program, const QStringList &arguments, QByteArray *pOut, QByteArray *pErr)
{
    QProcess process;
    startProcess(process, program, arguments);
    int code = -1;
    if (waitForProcessEnd(process, 300000) && process.exitStatus() == QProcess::NormalExit)
        code = process.exitCode();
    else
        process.kill();
    if (pOut)
        *pOut = process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    if (pErr)
        *pErr = err;
    else if (code != 0)
        qWarning() << program << arguments << err;
    return code;
}

// A delta that is correctly signed but bad inside: unpacked, spoiled, packed
// again with 7z, and its size and hash in the manifest brought in line.
bool tst_DeltaUpgrade::repackDelta(int which)
{
    const QString packet = path("site/packets/") + deltaName;
    const QString dir = path("repack");
    const QByteArray old = readFile(packet);
    if (run(TVX_SYSTEM_7Z, {"x", packet, "-o" + dir}) != 0)
        return false;
    const QString patch = dir + "/patches/Solutions/demo/lib/libdemo.so.zst";
    const QString index = dir + "/delta.json";
    if (which == PatchCorrupt)
        writeFile(patch, changedSlightly(readFile(patch)));
    else
        writeFile(index, readFile(index).replace("\"Solutions/demo/new/added.txt\"",
                                                 which == JournalPath ? "\"Tmp/Journal\""
                                                     : which == LockPath ? "\".upgrade.lock\"" : "\"../escaped.txt\""));
    QFile::remove(packet);
    if (run(TVX_SYSTEM_7Z, {"a", "-mx1", packet, index, dir + "/patches", dir + "/files"}) != 0)
        return false;
    const QByteArray bytes = readFile(packet);
    return writeFile(path("site/manifest.json"),
                     readFile(path("site/manifest.json"))
                         .replace(sha256Hex(old), sha256Hex(bytes))
                         .replace("\"Bytes\": " + QByteArray::number(old.size()) + ",",
                                  "\"Bytes\": " + QByteArray::number(bytes.size()) + ","));
}

void tst_DeltaUpgrade::upgrade_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QByteArray>("fallback"); // in the reason; empty: no delta was refused

    QTest::newRow("changed, new and unchanged files") << int(Changes) << "delta" << QByteArray();
    QTest::newRow("installed file edited by hand") << int(InstalledEdited) << "full" << QByteArray("base file");
    QTest::newRow("delta altered on the server") << int(DeltaAltered) << "full" << QByteArray("not the signed delta");
    QTest::newRow("corrupt patch in a signed delta") << int(PatchCorrupt) << "full" << QByteArray("rebuild failed");
    QTest::newRow("escaping path in a signed delta") << int(EscapingPath) << "full" << QByteArray("index is refused");
    QTest::newRow("the journal's name in a signed delta") << int(JournalPath) << "full" << QByteArray("is reserved");
    QTest::newRow("the lock file's name in a signed delta") << int(LockPath) << "full" << QByteArray("is reserved");
    QTest::newRow("delta missing on the server") << int(DeltaMissing) << "full" << QByteArray("404");
    QTest::newRow("no trusted key") << int(Untrusted) << "full" << QByteArray();
    QTest::newRow("20 MB in 200 files, 10 changed, 2 new") << int(Large) << "delta" << QByteArray();
}

void tst_DeltaUpgrade::upgrade()
{
    QFETCH(int, which);
    QFETCH(QString, method);
    QFETCH(QByteArray, fallback);
    if (NginxSite::missing())
        QSKIP(NginxSite::missing());

    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    QFile::setPermissions(m_work->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                              | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    Tree v1, v2;
    makeTrees(which == Large, v1, v2);
    QVERIFY(writeTree(path("v1"), v1) && writeTree(path("v2"), v2));

    const QString app = path("app");
    const QString tool = app + "/" + PlatformNames::upgradeToolFileName();
    QVERIFY(writeTree(app, v1));
    QVERIFY(QFile::copy(QStringLiteral(TVX_BIN_DIR "/") + PlatformNames::upgradeToolFileName(), tool));
    QVERIFY(QFile::link(TVX_SYSTEM_7Z, app + "/7z"));
    QVERIFY(writeFile(app + "/Solutions/SolutionInfo.xml",
                      "<?xml version=\"1.0\"?>\n<Solution><SolutionS><Solution id=\"demo\" name=\"Demo\">"
                      "<Version>1.0</Version><ReleaseDate>202401010000</ReleaseDate><State>2</State>"
                      "<Desc>Demo</Desc><Size>1</Size></Solution></SolutionS></Solution>\n"));
    if (which == InstalledEdited)
        QVERIFY(writeFile(app + "/Solutions/demo/lib/libdemo.so", v1["Solutions/demo/lib/libdemo.so"] + "!"));

    const QString site = path("site");
    QCOMPARE(run(releaseTool, {"keygen", "--out", path("release.key")}), 0);
    QCOMPARE(run(releaseTool, {"pack", "--root", site, "--tree", path("v2"), "--module", "demo", "--version", "2.0",
                               "--release-date", "202501010000", "--desc", "Demo", "--base-tree", path("v1"),
                               "--base-version", "1.0"}),
             0);
    QVERIFY(QFileInfo::exists(site + "/packets/" + deltaName));
    if (which == PatchCorrupt || which == EscapingPath || which == JournalPath || which == LockPath)
        QVERIFY(repackDelta(which));
    QCOMPARE(run(releaseTool, {"sign", "--root", site, "--key", path("release.key")}), 0);
    const qint64 signedDeltaBytes = QFileInfo(site + "/packets/" + deltaName).size();
    if (which != Untrusted)
        QCOMPARE(run(tool, {"trust", "add", "--public", path("release.key.pub")}), 0);
    if (which == DeltaAltered)
        QVERIFY(writeFile(site + "/packets/" + deltaName, changedSlightly(readFile(site + "/packets/" + deltaName))));

    QVERIFY(m_nginx.start(releaseTool, site, path("published"), tokenKey));
    // publish refuses a site that lacks a packet it names: the delta goes
    // missing on the server afterwards.
    if (which == DeltaMissing) {
        QDirIterator published(path("published/site/packets"), {deltaName}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(published.hasNext());
        QVERIFY(QFile::remove(published.next()));
    }
    QCOMPARE(run(tool, {"servers", "write", "--server", "test=" + m_nginx.hostAndPort(), "--current", "test",
                        "--prefix", "/api", "--path", "/upgrade/query", "--key", tokenKey}),
             0);

    QByteArray out, err;
    QCOMPARE(run(tool, {"download", "--json"}, &out, &err), 0);
    const QJsonArray packets = QJsonDocument::fromJson(out).object().value("packets").toArray();
    QCOMPARE(packets.size(), 1);
    const QJsonObject packet = packets.at(0).toObject();
    QCOMPARE(packet.value("method").toString(), method);
    const qint64 full = qint64(packet.value("bytesFull").toDouble());
    const qint64 delta = qint64(packet.value("bytesDelta").toDouble());
    const qint64 received = qint64(packet.value("bytesReceived").toDouble());
    const qint64 fullSize = QFileInfo(site + "/packets/demo-2.0.7z").size();
    QCOMPARE(full, which == Untrusted ? -1 : fullSize);
    QCOMPARE(delta, which == Untrusted ? -1 : signedDeltaBytes);
    if (method == "delta") {
        QCOMPARE(received, delta);
        QCOMPARE(qint64(packet.value("bytesSaved").toDouble()), full - delta);
    } else {
        QCOMPARE(qint64(packet.value("bytesSaved").toDouble()), 0);
        QVERIFY(received >= fullSize);
    }
    if (which == Large)
        QVERIFY2(received * 10 <= full, qPrintable(QStringLiteral("%1 of %2 bytes").arg(received).arg(full)));
    const QString reason = packet.value("deltaFallback").toString();
    QVERIFY2(fallback.isEmpty() ? reason.isEmpty() : reason.contains(QString::fromLatin1(fallback)), qPrintable(reason));
    QCOMPARE(err.contains("not used"), !fallback.isEmpty());

    QCOMPARE(run(tool, {"apply"}), 0);
    QCOMPARE(FileTree::hashTree(app + "/Solutions/demo"), FileTree::hashTree(path("v2/Solutions/demo")));
    QVERIFY(!QFileInfo::exists(app + "/Tmp.download"));
    QVERIFY(!QFileInfo::exists(path("escaped.txt")));
    QVERIFY(!QFileInfo::exists(app + "/Tmp"));
}

void tst_DeltaUpgrade::cleanup()
{
    m_nginx.stop();
}

QTEST_GUILESS_MAIN(tst_DeltaUpgrade)
#include "tst_deltaupgrade.moc"
