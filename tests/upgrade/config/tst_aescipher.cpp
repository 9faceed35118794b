#include "platform/platformnames.h"
#include "upgrade/config/aescipher.h"

#include <QtTest>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace {

// The build's key and IV, written out here so that the known answers come
// from OpenSSL alone and a changed constant shows up as a failure.
const QByteArray key = QByteArray::fromHex("9257dd267f83b1355ca3a0f36e68b7f2f622caf302e8f642e8990615eb32bbb5");
const QByteArray iv = QByteArray::fromHex("70892e4d995f02f04fa581674d7b81c0");

struct ContextDeleter
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};

// One OpenSSL run: CBC with its standard padding, or ECB without padding.
QByteArray openssl(const EVP_CIPHER *cipher, bool encrypt, bool padding, const QByteArray &in)
{
    std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> context(EVP_CIPHER_CTX_new());
    if (!context)
        return "<no context>";
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    const auto *v = reinterpret_cast<const unsigned char *>(iv.constData());
    if (EVP_CipherInit_ex(context.get(), cipher, nullptr, k, v, encrypt ? 1 : 0) != 1)
        return "<no init>";
    EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0);
    QByteArray out(in.size() + 32, '\0');
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    int written = 0;
    int tail = 0;
    if (EVP_CipherUpdate(context.get(), o, &written, reinterpret_cast<const unsigned char *>(in.constData()), in.size()) != 1
        || EVP_CipherFinal_ex(context.get(), o + written, &tail) != 1)
        return "<failed>";
    out.resize(written + tail);
    return out;
}

QByteArray referenceEncrypt(const QByteArray &plain)
{
    return openssl(EVP_aes_256_cbc(), true, true, plain);
}

// Encrypts whole blocks as they are, to make cipher texts that decrypt to
// chosen bytes, padding tail included.
QByteArray rawEncrypt(const QByteArray &plain)
{
    return openssl(EVP_aes_256_cbc(), true, false, plain);
}

QByteArray blockDecrypt(const QByteArray &block)
{
    return openssl(EVP_aes_256_ecb(), false, false, block);
}

QByteArray randomBytes(QRandomGenerator &random, int size)
{
    QByteArray bytes(size, '\0');
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

QByteArray xorBytes(const QByteArray &a, const QByteArray &b)
{
    QByteArray out(qMin(a.size(), b.size()), '\0');
    for (int i = 0; i < out.size(); ++i)
        out[i] = char(a.at(i) ^ b.at(i));
    return out;
}

} // namespace

class tst_AesCipher : public QObject
{
    Q_OBJECT

private slots:
    void knownAnswers_data();
    void knownAnswers();
    void edgeCases_data();
    void edgeCases();
    void textForm_data();
    void textForm();
    void encryptToText_data();
    void encryptToText();
    void keyInNoBuiltBinary();
};

void tst_AesCipher::knownAnswers_data()
{
    QTest::addColumn<QByteArray>("plain");

    QRandomGenerator random(20240611);
    const QList<int> fixed = { 1, 2, 15, 16, 17, 31, 32, 33, 1583, 1584, 1585, 1598, 1599 };
    for (int size : fixed)
        QTest::addRow("%d bytes", size) << randomBytes(random, size);
    for (int i = 0; i < 60; ++i) {
        const int size = 1 + int(random.bounded(1599));
        QTest::addRow("random %d: %d bytes", i, size) << randomBytes(random, size);
    }
    QTest::newRow("text") << QByteArray("https://upgrade.example.com/api");
    QTest::newRow("ends in what looks like padding") << QByteArray("abc\x03\x03\x03");
    QTest::newRow("sixteen sixteens") << QByteArray(16, '\x10');
}

void tst_AesCipher::knownAnswers()
{
    QFETCH(QByteArray, plain);

    QByteArray cipher;
    QCOMPARE(AES_Encrypt(plain, cipher), 0);
    const QByteArray expected = referenceEncrypt(plain);
    QCOMPARE(cipher.size(), (plain.size() / 16 + 1) * 16);
    QCOMPARE(cipher.toHex(), expected.toHex());

    // The output is appended to, and the same input gives the same output.
    QByteArray again("prefix");
    QCOMPARE(AES_Encrypt(plain, again), 0);
    QCOMPARE(again, "prefix" + cipher);

    // Decryption of what OpenSSL made gives the input back, and OpenSSL
    // takes our padding for its own.
    QByteArray back;
    AES_Decrypt(expected, back);
    QCOMPARE(back.toHex(), plain.toHex());
    QCOMPARE(openssl(EVP_aes_256_cbc(), false, true, cipher).toHex(), plain.toHex());
}

void tst_AesCipher::edgeCases_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("code"); // AES_Encrypt only
    QTest::addColumn<QByteArray>("output");

    QRandomGenerator random(7);
    const QByteArray p1599 = randomBytes(random, 1599);

    QTest::newRow("encrypt 0 bytes") << true << QByteArray() << 1 << QByteArray();
    QTest::newRow("encrypt 15 bytes") << true << QByteArray(15, 'a') << 0 << referenceEncrypt(QByteArray(15, 'a'));
    QTest::newRow("encrypt 16 bytes") << true << QByteArray(16, 'a') << 0 << referenceEncrypt(QByteArray(16, 'a'));
    QTest::newRow("encrypt 1599 bytes") << true << p1599 << 0 << referenceEncrypt(p1599);
    QTest::newRow("encrypt 1600 bytes") << true << QByteArray(1600, 'a') << 2 << QByteArray();
    QTest::newRow("encrypt 5000 bytes") << true << QByteArray(5000, 'a') << 2 << QByteArray();

    QTest::newRow("decrypt 0 bytes") << false << QByteArray() << 0 << QByteArray();
    QTest::newRow("decrypt 1600 bytes") << false << referenceEncrypt(p1599) << 0 << p1599;
    QTest::newRow("decrypt 1601 bytes") << false << QByteArray(1601, 'a') << 0 << QByteArray();

    const QByteArray lastZero = QByteArray("fifteen bytes..") + '\0';
    QTest::newRow("last byte 0") << false << rawEncrypt(lastZero) << 0 << lastZero;
    const QByteArray badTail = QByteArray("thirteen byte") + "\x03\x02\x03";
    QTest::newRow("bad padding tail") << false << rawEncrypt(badTail) << 0 << badTail;
    const QByteArray twenty = QByteArray("twelve bytes") + QByteArray(20, '\x14');
    QTest::newRow("20 bytes of value 20") << false << rawEncrypt(twenty) << 0 << QByteArray("twelve bytes");
    const QByteArray whole = QByteArray(16, '\x10');
    QTest::newRow("a whole block of padding") << false << rawEncrypt(whole) << 0 << QByteArray();
    const QByteArray tooLong = QByteArray("fifteen bytes..") + '\x11';
    QTest::newRow("padding longer than the text") << false << rawEncrypt(tooLong) << 0 << tooLong;
    const QByteArray maximal = QByteArray(15, 'x') + '\xff';
    QTest::newRow("last byte 255") << false << rawEncrypt(maximal) << 0 << maximal;

    // 20 bytes: one block, then 4 bytes that are decrypted as a block
    // completed with zeros and chained with the first block as usual. The
    // first block is chosen so that the tail decrypts to "abcd".
    const QByteArray tail = QByteArray::fromHex("0123456789abcdef");
    const QByteArray tailBlock = tail.left(4) + QByteArray(12, '\0');
    const QByteArray first = xorBytes(blockDecrypt(tailBlock), QByteArray("abcd")) + randomBytes(random, 12);
    const QByteArray cipher20 = first + tail.left(4);
    const QByteArray plain20 = xorBytes(blockDecrypt(first), iv) + "abcd";
    QTest::newRow("20-byte cipher text") << false << cipher20 << 0 << plain20;
    // A single partial block is chained with the IV.
    const QByteArray five = QByteArray::fromHex("00112233aa");
    QTest::newRow("5-byte cipher text")
        << false << five << 0 << xorBytes(blockDecrypt(five + QByteArray(11, '\0')), iv).left(5);
}

void tst_AesCipher::edgeCases()
{
    QFETCH(bool, encrypt);
    QFETCH(QByteArray, input);
    QFETCH(int, code);
    QFETCH(QByteArray, output);

    QByteArray out;
    if (encrypt) {
        QCOMPARE(AES_Encrypt(input, out), code);
    } else {
        if (input.size() > 1600)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^AES_Decrypt cipher text too long"));
        AES_Decrypt(input, out);
    }
    QCOMPARE(out.toHex(), output.toHex());
}

void tst_AesCipher::textForm_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("value");

    QString hello;
    QCOMPARE(encryptToHexText(QStringLiteral("héllo"), hello), 0);
    QTest::newRow("lower case") << hello << QStringLiteral("héllo");
    QTest::newRow("upper case") << hello.toUpper() << QStringLiteral("héllo");
    QString spaced;
    for (int i = 0; i < hello.size(); i += 4)
        spaced += hello.mid(i, 4) + QStringLiteral(" -\n");
    QTest::newRow("non-hexadecimal characters between") << spaced << QStringLiteral("héllo");
    QTest::newRow("no hexadecimal digit") << QStringLiteral("xyz!") << QString();
    QTest::newRow("empty") << QString() << QString();

    // Odd: the first digit is a byte of its own, then 16 bytes: 17 bytes in all.
    const QByteArray oddBytes = QByteArray(1, '\x05') + QByteArray::fromHex(hello.toLatin1());
    const QByteArray oddPlain = xorBytes(blockDecrypt(oddBytes.left(16)), iv)
        + xorBytes(blockDecrypt(oddBytes.mid(16) + QByteArray(15, '\0')), oddBytes.left(16)).left(1);
    QTest::newRow("odd number of digits") << QStringLiteral("5") + hello << QString::fromUtf8(oddPlain);

    QByteArray notUtf8;
    QCOMPARE(AES_Encrypt(QByteArray("ok\xff\xfe"), notUtf8), 0);
    QTest::newRow("not UTF-8") << QString::fromLatin1(notUtf8.toHex()) << QString::fromUtf8("ok\xff\xfe");
}

void tst_AesCipher::textForm()
{
    QFETCH(QString, text);
    QFETCH(QString, value);

    QCOMPARE(decryptFromHexText(text), value);
}

void tst_AesCipher::encryptToText_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("digits");

    QTest::newRow("one character") << QStringLiteral("a") << 0 << 32;
    QTest::newRow("16 characters") << QString(16, QLatin1Char('a')) << 0 << 64;
    QTest::newRow("1599 bytes") << QString(1599, QLatin1Char('a')) << 0 << 3200;
    QTest::newRow("1600 bytes") << QString(1600, QLatin1Char('a')) << 2 << 0;
    // 800 characters of two UTF-8 bytes each: the limit is on bytes.
    QTest::newRow("800 two-byte characters") << QString(800, QChar(0xe9)) << 2 << 0;
    QTest::newRow("799 two-byte characters") << QString(799, QChar(0xe9)) << 0 << 3200;
    QTest::newRow("empty") << QString() << 1 << 0;
}

void tst_AesCipher::encryptToText()
{
    QFETCH(QString, value);
    QFETCH(int, code);
    QFETCH(int, digits);

    QString text = QStringLiteral("untouched");
    QCOMPARE(encryptToHexText(value, text), code);
    if (code != 0) {
        QCOMPARE(text, QStringLiteral("untouched"));
        return;
    }
    QCOMPARE(text.size(), digits);
    QVERIFY(QRegularExpression("^[0-9a-f]+$").match(text).hasMatch());
    QCOMPARE(decryptFromHexText(text), value);
}

// The key must never be one piece of data a reader of the binary can pick
// out: the optimiser is free to fold a per-call assembly into one constant.
void tst_AesCipher::keyInNoBuiltBinary()
{
    const QDir bin(QStringLiteral(TVX_BIN_DIR));
    QStringList files;
    QDirIterator programs(bin.path(), QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (programs.hasNext())
        files << programs.next();
    QDirIterator libraries(bin.absoluteFilePath(QStringLiteral("../lib")), {QStringLiteral("*.a"), QStringLiteral("*.so*")},
                           QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (libraries.hasNext())
        files << libraries.next();
    QVERIFY(files.contains(bin.filePath(PlatformNames::launcherFileName())));
    QVERIFY(files.contains(bin.filePath(PlatformNames::upgradeToolFileName())));
    QVERIFY(std::any_of(files.cbegin(), files.cend(),
                        [](const QString &file) { return file.endsWith(QLatin1String("libtvx_config.a")); }));

    QStringList holding;
    for (const QString &path : qAsConst(files)) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        if (file.readAll().contains(key))
            holding << path;
    }
    QVERIFY2(holding.isEmpty(), qPrintable(holding.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(tst_AesCipher)
#include "tst_aescipher.moc"
