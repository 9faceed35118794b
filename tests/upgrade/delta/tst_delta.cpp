// Delta packets: the index refuses what could lead a rebuild astray, and
// packets made by the real tarvex-release from real trees rebuild the new
// tree byte for byte, or are refused when the patch, the base or a path is
// not what the packet was made for.

#include "common/processend.h"
#include "common/filetree.h"
#include "platform/platformnames.h"
#include "upgrade/delta/delta.h"
#include "upgrade/files/archive.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;

namespace {

const QString releaseTool = QStringLiteral(TVX_PUBLISHER_BIN_DIR "/") + PlatformNames::releaseToolFileName();

// Bytes that do not compress, like a built library.
QByteArray noise(int size, quint32 start)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(start);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QJsonObject validIndex()
{
    Delta::Index index{QStringLiteral("M"), QStringLiteral("1.0"), QStringLiteral("2.0"), {}};
    const QByteArray hash(32, 'h');
    index.vecFiles = {{Delta::FileEntry::Keep, QStringLiteral("same.txt"), hash, hash, 5, QString()},
                      {Delta::FileEntry::Patch, QStringLiteral("bin/lib.so"), QByteArray(32, 'o'), hash, 9,
                       QStringLiteral("patches/bin/lib.so.zst")},
                      {Delta::FileEntry::Add, QStringLiteral("sub/.new"), QByteArray(), hash, 0,
                       QStringLiteral("files/sub/.new")}};
    return QJsonDocument::fromJson(Delta::indexToJson(index)).object();
}

} // namespace

class tst_Delta : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parseIndex_data();
    void parseIndex();
    void rebuild_data();
    void rebuild();
};

void tst_Delta::parseIndex_data()
{
    QTest::addColumn<int>("entry"); // -1: the top level
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("value"); // undefined: the key is removed
    QTest::addColumn<bool>("isAccepted");

    const QJsonValue gone(QJsonValue::Undefined);
    QTest::newRow("as made") << 0 << "size" << QJsonValue(5) << true;
    QTest::newRow("path of 4096 characters") << 2 << "path" << QJsonValue(QString(4096, 'a')) << true;
    QTest::newRow("path of 4097 characters") << 2 << "path" << QJsonValue(QString(4097, 'a')) << false;
    QTest::newRow("path ..") << 0 << "path" << QJsonValue("..") << false;
    QTest::newRow("path a/../b") << 0 << "path" << QJsonValue("a/../b") << false;
    QTest::newRow("path ./a") << 0 << "path" << QJsonValue("./a") << false;
    QTest::newRow("path /abs") << 0 << "path" << QJsonValue("/abs") << false;
    QTest::newRow("path a//b") << 0 << "path" << QJsonValue("a//b") << false;
    QTest::newRow("path a/") << 0 << "path" << QJsonValue("a/") << false;
    QTest::newRow("path a\\b") << 0 << "path" << QJsonValue("a\\b") << false;
    QTest::newRow("path c:x") << 0 << "path" << QJsonValue("c:x") << false;
    QTest::newRow("path with NUL") << 0 << "path" << QJsonValue(QStringLiteral("a") + QChar(0) + "b") << false;
    QTest::newRow("path empty") << 0 << "path" << QJsonValue("") << false;
    QTest::newRow("path twice") << 0 << "path" << QJsonValue("bin/lib.so") << false;
    QTest::newRow("path Tmp/Journal") << 2 << "path" << QJsonValue("Tmp/Journal") << false;
    QTest::newRow("path .upgrade.lock in capitals") << 2 << "path" << QJsonValue(".UPGRADE.LOCK") << false;
    QTest::newRow("data ../x") << 1 << "data" << QJsonValue("../x") << false;
    QTest::newRow("add without data") << 2 << "data" << gone << false;
    QTest::newRow("patch without from") << 1 << "from" << gone << false;
    QTest::newRow("keep from another file") << 0 << "from" << QJsonValue(QString(64, 'a')) << false;
    QTest::newRow("no to") << 1 << "to" << gone << false;
    QTest::newRow("to of 63 digits") << 1 << "to" << QJsonValue(QString(63, 'a')) << false;
    QTest::newRow("to not hex") << 1 << "to" << QJsonValue(QString(64, 'g')) << false;
    QTest::newRow("size negative") << 1 << "size" << QJsonValue(-1) << false;
    QTest::newRow("size not whole") << 1 << "size" << QJsonValue(1.5) << false;
    QTest::newRow("size as text") << 1 << "size" << QJsonValue("9") << false;
    QTest::newRow("action delete") << 1 << "action" << QJsonValue("delete") << false;
    QTest::newRow("not a delta") << -1 << "type" << QJsonValue("tarvex-release") << false;
    QTest::newRow("no module") << -1 << "module" << gone << false;
}

void tst_Delta::parseIndex()
{
    QFETCH(int, entry);
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);
    QFETCH(bool, isAccepted);

    QJsonObject root = validIndex();
    QJsonArray files = root.value("files").toArray();
    QJsonObject target = entry < 0 ? root : files.at(entry).toObject();
    if (value.isUndefined())
        target.remove(key);
    else
        target.insert(key, value);
    if (entry < 0) {
        root = target;
    } else {
        files.replace(entry, target);
        root.insert("files", files);
    }

    Delta::Index index;
    QString error;
    const QByteArray json = QJsonDocument(root).toJson();
    QVERIFY2(Delta::parseIndex(json, index, error) == isAccepted, qPrintable(error));
    if (isAccepted) {
        QCOMPARE(index.vecFiles.size(), 3);
        QCOMPARE(QJsonDocument::fromJson(Delta::indexToJson(index)).object(), root);
    }
}

void tst_Delta::rebuild_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("error"); // empty: the rebuild succeeds

    QTest::newRow("unchanged") << "unchanged" << "";
    QTest::newRow("changed and new files") << "" << "";
    QTest::newRow("corrupt patch") << "corrupt patch" << "bin/lib.so (patch): ";
    QTest::newRow("patch of another length") << "short patch" << "bin/lib.so (patch): patch is not one frame";
    QTest::newRow("patched base changed by hand") << "base changed" << "bin/lib.so (patch): base file differs";
    QTest::newRow("kept base changed by hand") << "kept changed" << "same.txt (keep): base file differs";
    QTest::newRow("base file missing") << "base missing" << "bin/lib.so (patch): base file is missing";
    QTest::newRow("base link leads outside") << "base link" << "same.txt (keep): base file leads out of";
    QTest::newRow("index path escapes") << "escaping path" << "file entry 4 is invalid";
    QTest::newRow("index data escapes") << "escaping data" << "file entry 0 is invalid";
}

void tst_Delta::rebuild()
{
    QFETCH(QString, change);
    QFETCH(QString, error);
#ifdef Q_OS_WIN
    if (change == "base link")
        QSKIP("links need privileges on Windows");
#endif
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString oldTree = work.filePath("old"), newTree = work.filePath("new"), base = work.filePath("base");
    const QString site = work.filePath("site"), unpacked = work.filePath("unpacked"), out = work.filePath("out");

    // A library rebuilt with a few bytes changed, a resource edited, one
    // file unchanged, one gone and two new ones, one of them hidden.
    const QByteArray library = noise(200000, 7);
    const QByteArray resource = QByteArray("<RCC><qresource prefix=\"/\">\n").repeated(60) + "</RCC>\n";
    QVERIFY(writeFile(oldTree + "/bin/lib.so", library) && writeFile(oldTree + "/conf/app.qrc", resource)
            && writeFile(oldTree + "/same.txt", "same\n") && writeFile(oldTree + "/gone.txt", "gone\n"));
    QByteArray newLibrary = library, newResource = resource;
    if (change != "unchanged") {
        newLibrary.replace(100000, 4, "\x01\x02\x03\x04");
        newResource.replace(40, 1, "q");
    }
    QVERIFY(writeFile(newTree + "/bin/lib.so", newLibrary) && writeFile(newTree + "/conf/app.qrc", newResource)
            && writeFile(newTree + "/same.txt", "same\n"));
    if (change != "unchanged")
        QVERIFY(writeFile(newTree + "/sub/new.txt", "new\n") && writeFile(newTree + "/.hidden", noise(3000, 8)));

    QProcess pack;
    // The publisher finds 7z on PATH: the one the tests use.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", QFileInfo(TVX_SYSTEM_7Z).absolutePath() + QDir::listSeparator()
                                   + environment.value("PATH"));
    pack.setProcessEnvironment(environment);
    startProcess(pack, releaseTool,
                 {"pack", "--root", site, "--tree", newTree, "--module", "M", "--version", "2.0", "--release-date",
                  "202401010000", "--base-tree", oldTree, "--base-version", "1.0"});
    QVERIFY(waitForProcessEnd(pack, 120000));
    QVERIFY2(pack.exitCode() == 0, pack.readAllStandardError().constData());
    QVERIFY(pack.readAllStandardOutput().contains("bytes saved against the full packet"));
    QVERIFY(do7z(TVX_SYSTEM_7Z, site + "/packets/M-1.0-2.0.delta.7z", unpacked));

    // The installation at 1.0, then what the row does to it or to the packet.
    QVERIFY(QDir().mkpath(base));
    for (const QString &file : QStringList{"bin/lib.so", "conf/app.qrc", "same.txt", "gone.txt"}) {
        QVERIFY(QDir().mkpath(QFileInfo(base + "/" + file).path()));
        QVERIFY(QFile::copy(oldTree + "/" + file, base + "/" + file));
    }
    const QString patch = unpacked + "/patches/bin/lib.so.zst";
    QByteArray json = readFile(unpacked + "/delta.json");
    if (change == "corrupt patch") {
        QByteArray bytes = readFile(patch);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x55);
        QVERIFY(QFile::remove(patch) && writeFile(patch, bytes));
    }
    if (change == "short patch")
        QVERIFY(QFile::resize(patch, QFileInfo(patch).size() - 1));
    if (change == "base changed")
        QVERIFY(writeFile(base + "/bin/lib.so", newLibrary));
    if (change == "kept changed")
        QVERIFY(writeFile(base + "/same.txt", "sane\n"));
    if (change == "base missing")
        QVERIFY(QFile::remove(base + "/bin/lib.so"));
    if (change == "base link") {
        QVERIFY(QFile::remove(base + "/same.txt"));
        QVERIFY(QFile::link(oldTree + "/same.txt", base + "/same.txt"));
    }
    if (change == "escaping path")
        json.replace("\"sub/new.txt\"", "\"../new.txt\"");
    if (change == "escaping data")
        json.replace("\"files/.hidden\"", "\"../../old/gone.txt\"");

    Delta::Index index;
    QString reason;
    int done = 0, total = -1;
    const bool isRebuilt = Delta::parseIndex(json, index, reason)
        && Delta::rebuild(index, base, unpacked, out, reason, [&](int n, int of) {
               done = n;
               total = of;
               return true;
           });
    if (!error.isEmpty()) {
        QVERIFY2(!isRebuilt && reason.contains(error), qPrintable(reason));
        return;
    }
    QVERIFY2(isRebuilt, qPrintable(reason));
    QCOMPARE(done, total);
    QCOMPARE(index.vecFiles.size(), change == "unchanged" ? 3 : 5);
    QCOMPARE(FileTree::hashTree(out), FileTree::hashTree(newTree));
}

QTEST_GUILESS_MAIN(tst_Delta)
#include "tst_delta.moc"
