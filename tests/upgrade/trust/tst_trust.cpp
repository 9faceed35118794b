// The release trust library on its own: signatures and thresholds, the
// release document against an answer, key rotation, the packet verifier's
// restarts and resumes, and the transport rule.

#include "upgrade/trust/packetverifier.h"
#include "upgrade/trust/releasedocument.h"
#include "upgrade/trust/transport.h"
#include "upgrade/trust/truststore.h"

#include <QtTest>

using namespace Trust;

namespace {

struct Key
{
    QByteArray privatePem;
    QByteArray publicKey;
    TrustedKey trusted() const { return TrustedKey{keyId(publicKey), publicKey}; }
};

Key newKey()
{
    Key key;
    QString error;
    if (!generateKeyPair(key.privatePem, key.publicKey, error))
        qFatal("%s", qPrintable(error));
    return key;
}

SignatureEntry signWith(const Key &key, const QByteArray &bytes)
{
    SignatureEntry entry{keyId(key.publicKey), QByteArray()};
    QString error;
    signBytes(key.privatePem, bytes, entry.baSignature, error);
    return entry;
}

ReleaseDocument document(qint64 serial, const QDateTime &expires)
{
    ReleaseDocument doc;
    doc.llSerial = serial;
    doc.expires = expires;
    for (const char *id : {"a", "b"}) {
        ReleaseModule module;
        module.strId = QLatin1String(id);
        module.strVersion = QStringLiteral("2.0");
        module.llReleaseDate = 202501010000;
        module.strDesc = QStringLiteral("Desc %1").arg(QLatin1String(id));
        module.strIconUrl = QStringLiteral("i.png");
        module.strPacket = QStringLiteral("%1-2.0.7z").arg(QLatin1String(id));
        module.llBytes = 10;
        module.baSha256 = QByteArray(32, id[0]);
        doc.vecModules.append(module);
    }
    doc.vecModules[1].vecDeltas = {DeltaPacket{QStringLiteral("1.0"), QStringLiteral("b-1.0-2.0.delta.7z"), 4,
                                               QByteArray(32, 'd')}};
    return doc;
}

QVector<ModuleVersion> answerOf(const ReleaseDocument &doc)
{
    QVector<ModuleVersion> answer;
    for (const ReleaseModule &module : doc.vecModules) {
        ModuleVersion record;
        record.strId = module.strId;
        record.strVersion = module.strVersion;
        record.llReleaseDate = module.llReleaseDate;
        record.strDesc = module.strDesc;
        record.strIconUrl = module.strIconUrl;
        record.strUrl = QStringLiteral("https://host/packets/") + module.strPacket;
        answer.append(record);
    }
    return answer;
}

} // namespace

class tst_Trust : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checkRelease_data();
    void checkRelease();
    void rotation_data();
    void rotation();
    void packetVerifier_data();
    void packetVerifier();
    void compressedBomb_data();
    void compressedBomb();
    void transport_data();
    void transport();
};

void tst_Trust::checkRelease_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("expected");

    QTest::newRow("accepted") << "" << int(ReleaseCheck::Accepted);
    QTest::newRow("no document") << "missing" << int(ReleaseCheck::Missing);
    QTest::newRow("signed by an unknown key") << "other key" << int(ReleaseCheck::Untrusted);
    QTest::newRow("signature of other bytes") << "byte flipped" << int(ReleaseCheck::Untrusted);
    QTest::newRow("right id, wrong signature") << "forged id" << int(ReleaseCheck::Untrusted);
    QTest::newRow("threshold 2, one key signs twice") << "one key twice" << int(ReleaseCheck::Untrusted);
    QTest::newRow("threshold 2, two keys") << "two keys" << int(ReleaseCheck::Accepted);
    QTest::newRow("expired a second ago") << "expired" << int(ReleaseCheck::Expired);
    QTest::newRow("serial below the last") << "rolled back" << int(ReleaseCheck::RolledBack);
    QTest::newRow("same serial again") << "same serial" << int(ReleaseCheck::Accepted);
    QTest::newRow("date differs") << "date" << int(ReleaseCheck::Disagrees);
    QTest::newRow("description differs") << "desc" << int(ReleaseCheck::Disagrees);
    QTest::newRow("packet name differs") << "packet" << int(ReleaseCheck::Disagrees);
    QTest::newRow("packet name percent-encoded") << "encoded" << int(ReleaseCheck::Accepted);
    QTest::newRow("module not signed") << "extra module" << int(ReleaseCheck::Disagrees);
    QTest::newRow("module offered twice") << "twice" << int(ReleaseCheck::Disagrees);
    QTest::newRow("signed module not offered") << "dropped" << int(ReleaseCheck::Disagrees);
    QTest::newRow("not a release document") << "garbage" << int(ReleaseCheck::Malformed);
    QTest::newRow("delta named with a path") << "delta name" << int(ReleaseCheck::Malformed);
    QTest::newRow("delta named like the journal") << "delta journal" << int(ReleaseCheck::Malformed);
    QTest::newRow("delta named as a stream") << "delta stream" << int(ReleaseCheck::Malformed);
    QTest::newRow("packet named as a device") << "device" << int(ReleaseCheck::Malformed);
    QTest::newRow("delta hash short") << "delta hash" << int(ReleaseCheck::Malformed);
    QTest::newRow("delta size negative") << "delta size" << int(ReleaseCheck::Malformed);
    QTest::newRow("delta without base") << "delta base" << int(ReleaseCheck::Malformed);
    QTest::newRow("mirrors signed") << "mirrors" << int(ReleaseCheck::Accepted);
    QTest::newRow("mirrors not a list") << "mirrors text" << int(ReleaseCheck::Malformed);
}

void tst_Trust::checkRelease()
{
    QFETCH(QString, change);
    QFETCH(int, expected);
    static const Key key = newKey();
    static const Key second = newKey();
    static const Key other = newKey();
    const QDateTime now = QDateTime::currentDateTimeUtc();

    KeyList keys;
    keys.vecKeys = {key.trusted(), second.trusted()};
    ReleaseDocument doc = document(5, change == "expired" ? now.addSecs(-1) : now.addDays(1));
    QVector<ModuleVersion> answer = answerOf(doc);
    DeltaPacket &delta = doc.vecModules[1].vecDeltas[0];
    if (change == "delta name")
        delta.strPacket = QStringLiteral("../b.delta.7z");
    if (change == "delta journal")
        delta.strPacket = QStringLiteral("Journal");
    if (change == "delta stream")
        delta.strPacket = QStringLiteral("b.delta.7z:hidden");
    if (change == "device")
        doc.vecModules[0].strPacket = QStringLiteral("aux.7z");
    if (change == "delta hash")
        delta.baSha256.chop(1);
    if (change == "delta size")
        delta.llBytes = -4;
    if (change == "delta base")
        delta.strBaseVersion.clear();
    if (change == "mirrors")
        doc.listMirrors = QStringList{QStringLiteral("https://mirror.example/site")};
    SignedEnvelope envelope;
    envelope.baSigned = change == "garbage" ? QByteArray("{}") : releaseDocumentToJson(doc);
    if (change == "mirrors text")
        envelope.baSigned.replace("\"modules\":", "\"mirrors\":\"https://m\",\"modules\":");
    envelope.vecSignatures = {signWith(change == "other key" ? other : key, envelope.baSigned)};
    if (change == "byte flipped")
        envelope.baSigned[10] = envelope.baSigned.at(10) == ' ' ? 'x' : ' ';
    if (change == "forged id") {
        envelope.vecSignatures = {signWith(other, envelope.baSigned)};
        envelope.vecSignatures[0].strKeyId = keyId(key.publicKey);
    }
    if (change == "one key twice" || change == "two keys") {
        keys.nThreshold = 2;
        envelope.vecSignatures.append(signWith(change == "two keys" ? second : key, envelope.baSigned));
    }
    if (change == "date")
        answer[1].llReleaseDate += 1;
    if (change == "desc")
        answer[0].strDesc += QLatin1Char(' ');
    if (change == "packet")
        answer[0].strUrl = QStringLiteral("https://host/packets/other.7z");
    if (change == "encoded")
        answer[0].strUrl = QStringLiteral("https://host/packets/%61-2.0.7z");
    if (change == "extra module")
        answer[1].strId = QStringLiteral("c");
    if (change == "twice")
        answer[1] = answer[0];
    if (change == "dropped")
        answer.removeLast();
    const qint64 lastSerial = change == "rolled back" ? 6 : (change == "same serial" ? 5 : 0);

    qint64 serial = -1;
    QString error;
    const ReleaseCheck check = Trust::checkRelease(change == "missing" ? nullptr : &envelope, keys, lastSerial, now,
                                                   answer, serial, error);
    QVERIFY2(int(check) == expected, qPrintable(QString::fromLatin1(releaseCheckName(check)) + ": " + error));
    if (check == ReleaseCheck::Accepted) {
        QCOMPARE(serial, qint64(5));
        QCOMPARE(answer.at(1).llPacketBytes, qint64(10));
        QCOMPARE(answer.at(1).baPacketSha256, QByteArray(32, 'b'));
        QVERIFY(answer.at(0).vecDeltas.isEmpty());
        QCOMPARE(answer.at(1).vecDeltas.size(), 1);
        QCOMPARE(answer.at(1).vecDeltas.at(0).strPacket, QStringLiteral("b-1.0-2.0.delta.7z"));
        QCOMPARE(answer.at(1).vecDeltas.at(0).llBytes, qint64(4));
        QCOMPARE(answer.at(1).vecDeltas.at(0).baSha256, QByteArray(32, 'd'));
        ReleaseDocument parsed;
        QVERIFY(parseReleaseDocument(envelope.baSigned, parsed, error));
        QCOMPARE(parsed.listMirrors, doc.listMirrors);
    }

    // What travels is what was signed, byte for byte.
    SignedEnvelope back;
    QVERIFY(envelopeFromJson(envelopeToJson(envelope), back, error));
    QCOMPARE(back.baSigned, envelope.baSigned);
}

void tst_Trust::rotation_data()
{
    QTest::addColumn<QString>("signer");
    QTest::addColumn<bool>("isAccepted");
    QTest::newRow("signed by the trusted key") << "old" << true;
    QTest::newRow("signed by the new key only") << "new" << false;
    QTest::newRow("unsigned") << "" << false;
    QTest::newRow("empty key list") << "old, empty" << false;
}

void tst_Trust::rotation()
{
    QFETCH(QString, signer);
    QFETCH(bool, isAccepted);
    QTemporaryDir app;
    const Key oldKey = newKey();
    const Key newer = newKey();
    CTrustStore store(app.path());
    QString error;
    QVERIFY2(store.load(error) && store.addKey(oldKey.publicKey, error), qPrintable(error));

    KeyList next;
    if (!signer.contains("empty"))
        next.vecKeys = {newer.trusted()};
    SignedEnvelope envelope;
    envelope.baSigned = keyListToJson(next);
    if (!signer.isEmpty())
        envelope.vecSignatures = {signWith(signer.startsWith("old") ? oldKey : newer, envelope.baSigned)};
    QCOMPARE(store.isSignedRotation(envelopeToJson(envelope), error), isAccepted);

    // The serial survives a reload; a trust file that does not parse is an
    // error, never an installation without keys.
    QVERIFY(store.saveLastSerial(42, error));
    CTrustStore reloaded(app.path());
    QVERIFY2(reloaded.load(error), qPrintable(error));
    QCOMPARE(reloaded.lastSerial(), qint64(42));
    QFile file(store.trustFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write("{") == 1);
    file.close();
    CTrustStore damaged(app.path());
    QVERIFY(!damaged.load(error));
}

void tst_Trust::packetVerifier_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("isValid");

    // Sizes around the verifier's 1 MiB chunks.
    for (const int size : {0, 1, 1024 * 1024 - 1, 1024 * 1024, 3 * 1024 * 1024 + 7}) {
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes in blocks").arg(size))) << size << "blocks" << true;
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes resumed").arg(size))) << size << "resume" << true;
    }
    QTest::newRow("restarted from zero") << 70000 << "restart" << true;
    QTest::newRow("one byte short") << 70000 << "short" << false;
    QTest::newRow("one byte over") << 70000 << "over" << false;
    QTest::newRow("one byte changed") << 70000 << "changed" << false;
    QTest::newRow("finished twice") << 70000 << "twice" << false;
}

void tst_Trust::packetVerifier()
{
    QFETCH(int, size);
    QFETCH(QString, how);
    QFETCH(bool, isValid);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7 + i / 251);
    const QByteArray sha = QCryptographicHash::hash(data, QCryptographicHash::Sha256);

    CPacketVerifier verifier;
    verifier.reset(size, sha);
    if (how == "restart") {
        // A first attempt with other bytes, abandoned: nothing of it may count.
        QVERIFY(verifier.update("garbage", 7));
        verifier.reset(size, sha);
    }
    if (how == "resume") {
        // The bytes already on disk go in first, in one piece.
        QVERIFY(verifier.update(data.constData(), size / 2));
        QVERIFY(verifier.update(data.constData() + size / 2, size - size / 2));
    } else {
        QByteArray fed = data;
        if (how == "changed")
            fed[size / 2] = char(fed.at(size / 2) ^ 1);
        if (how == "short")
            fed.chop(1);
        if (how == "over")
            fed.append('x');
        bool isGoing = true;
        for (int at = 0; at < fed.size() && isGoing; at += 16384)
            isGoing = verifier.update(fed.constData() + at, qMin(16384, fed.size() - at));
        QCOMPARE(isGoing, how != "over");
        QCOMPARE(verifier.isOverflowed(), how == "over");
    }
    QString error;
    bool ok = verifier.finish(error);
    if (how == "twice")
        ok = verifier.finish(error);
    QVERIFY2(ok == isValid, qPrintable(error));
}

void tst_Trust::compressedBomb_data()
{
    QTest::addColumn<QByteArray>("packed"); // before base64
    QTest::addColumn<QByteArray>("expected"); // empty: refused

    const QByteArray doc = "{\"serial\": 1}";
    const auto announcing = [](QByteArray packed, quint32 announced) {
        for (int i = 0; i < 4; ++i)
            packed[i] = char(announced >> (24 - 8 * i));
        return packed;
    };
    QTest::newRow("exact") << qCompress(doc) << doc;
    QTest::newRow("the most a document may have") << qCompress(QByteArray(16 << 20, 'x')) << QByteArray(16 << 20, 'x');
    QTest::newRow("one byte beyond it") << qCompress(QByteArray((16 << 20) + 1, 'x')) << QByteArray();
    // Refused at the byte past the announced length, not after the whole stream.
    QTest::newRow("8 MiB announcing 100 bytes") << announcing(qCompress(QByteArray(8 << 20, '\0')), 100) << QByteArray();
    QTest::newRow("one byte more than announced") << announcing(qCompress(doc), quint32(doc.size() - 1)) << QByteArray();
    QTest::newRow("one byte less than announced") << announcing(qCompress(doc), quint32(doc.size() + 1)) << QByteArray();
    QTest::newRow("stream cut short") << qCompress(doc).chopped(3) << QByteArray();
    QTest::newRow("bytes after the stream") << qCompress(doc) + "x" << QByteArray();
}

void tst_Trust::compressedBomb()
{
    QFETCH(QByteArray, packed);
    QFETCH(QByteArray, expected);
    QByteArray out;
    QCOMPARE(unpackSignedBytes(packed.toBase64(), out), !expected.isEmpty());
    QCOMPARE(out, expected);
    QVERIFY(!unpackSignedBytes("not base64 !", out));
}

void tst_Trust::transport_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("packet");
    QTest::addColumn<bool>("isAllowed");
    QTest::newRow("https, https") << "https://h/api/q/1" << "https://h/p.7z" << true;
    QTest::newRow("https, http") << "https://h/api/q/1" << "http://h/p.7z" << false;
    QTest::newRow("HTTPS, HTTP") << "HTTPS://h/api/q/1" << "HTTP://h/p.7z" << false;
    QTest::newRow("https, ftp") << "https://h/api/q/1" << "ftp://h/p.7z" << false;
    QTest::newRow("http, http") << "http://h/api/q/1" << "http://h/p.7z" << true;
    QTest::newRow("http, https") << "http://h/api/q/1" << "https://h/p.7z" << true;
    QTest::newRow("no query known") << "" << "http://h/p.7z" << true;
}

void tst_Trust::transport()
{
    QFETCH(QString, query);
    QFETCH(QString, packet);
    QFETCH(bool, isAllowed);
    QCOMPARE(isTransportAllowed(QUrl(query), QUrl(packet)), isAllowed);
}

QTEST_GUILESS_MAIN(tst_Trust)
#include "tst_trust.moc"
