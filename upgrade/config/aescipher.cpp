#include "upgrade/config/aescipher.h"

#include <QDebug>
#include <QtEndian>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace {

// The working storage of one call; it sets the limits: plain texts of 1 to
// 1599 bytes, cipher texts of at most 1600.
constexpr int BufferSize = 1600;
constexpr int BlockSize = 16;
constexpr int KeySize = 32;

// Key and IV never stand in the binary as one piece of data: each word is
// kept XOR-ed with a mask that is read through a volatile, so the optimiser
// cannot fold the two back into the key. Every call puts the words together
// in its own storage and wipes them before it returns.
constexpr quint32 MaskedWords[] = {
    0xa547af1eu, 0x821202b4u, 0xdf1c4b69u, 0xe24dc066u, 0xeac7bc7au, 0x5f255138u, 0xccc66f30u, 0x4118db10u, // key
    0x5f4d46c2u, 0x1c746fe1u, 0xeb9007d5u, 0xa79f4f90u, // IV
};
const volatile quint32 WordMasks[] = {
    0x37107238u, 0xfd91b381u, 0x83bfeb9au, 0x8c257794u, 0x1ce57689u, 0x5dcda77au, 0x245f6925u, 0xaa2a60a5u,
    0x2fc4688fu, 0x852b6d11u, 0xa43586b2u, 0xeae4ce50u,
};
static_assert(sizeof(MaskedWords) == sizeof(WordMasks), "one mask per word");
static_assert(sizeof(MaskedWords) == KeySize + BlockSize, "key and IV words");

void assembleWords(unsigned char *out, int first, int bytes)
{
    for (int i = 0; i < bytes / 4; ++i)
        qToBigEndian<quint32>(MaskedWords[first + i] ^ WordMasks[first + i], out + 4 * i);
}

inline void assembleKey(unsigned char *key)
{
    assembleWords(key, 0, KeySize);
}

inline void assembleIv(unsigned char *iv)
{
    assembleWords(iv, KeySize / 4, BlockSize);
}

struct CipherContextDeleter
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};

// Plain AES-256-CBC over whole blocks: OpenSSL's padding is off, since the
// padding is ours.
bool cbcTransform(bool encrypt, const unsigned char *key, const unsigned char *iv,
                  const unsigned char *in, unsigned char *out, int length)
{
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> context(EVP_CIPHER_CTX_new());
    if (!context)
        return false;
    if (EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key, iv, encrypt ? 1 : 0) != 1)
        return false;
    EVP_CIPHER_CTX_set_padding(context.get(), 0);

    int written = 0;
    if (EVP_CipherUpdate(context.get(), out, &written, in, length) != 1)
        return false;
    int tail = 0;
    if (EVP_CipherFinal_ex(context.get(), out + written, &tail) != 1)
        return false;
    return written + tail == length;
}

// The storage of one call: the text zero-filled behind its bytes (so that a
// partial last block is taken as its own bytes followed by zeros), the key
// and the IV. Everything is wiped when the call returns, whichever way.
struct CallBuffers
{
    explicit CallBuffers(const QByteArray &in)
    {
        std::memset(input, 0, sizeof(input));
        std::memcpy(input, in.constData(), size_t(in.size()));
        std::memset(output, 0, sizeof(output));
        assembleIv(iv);
        assembleKey(key);
    }
    ~CallBuffers()
    {
        OPENSSL_cleanse(key, sizeof(key));
        OPENSSL_cleanse(iv, sizeof(iv));
        OPENSSL_cleanse(input, sizeof(input));
        OPENSSL_cleanse(output, sizeof(output));
    }
    Q_DISABLE_COPY(CallBuffers)

    unsigned char input[BufferSize];
    unsigned char output[BufferSize];
    unsigned char iv[BlockSize];
    unsigned char key[KeySize];
};

} // namespace

int AES_Encrypt(const QByteArray &in, QByteArray &out)
{
    const int length = in.size();
    if (length <= 0)
        return 1;
    if (length >= BufferSize)
        return 2;

    CallBuffers buffers(in);

    // Always at least one byte of padding: a whole block when the length is
    // already a multiple of the block size.
    const int padding = BlockSize - length % BlockSize;
    std::memset(buffers.input + length, padding, size_t(padding));
    const int total = length + padding;

    if (!cbcTransform(true, buffers.key, buffers.iv, buffers.input, buffers.output, total)) {
        qWarning() << "AES_Encrypt cipher failed";
        return 3;
    }
    out.append(reinterpret_cast<const char *>(buffers.output), total);
    return 0;
}

void AES_Decrypt(const QByteArray &in, QByteArray &out)
{
    const int length = in.size();
    if (length <= 0)
        return;
    // AES_Encrypt never makes more than 1600 bytes; a longer text is not ours.
    if (length > BufferSize) {
        qWarning() << "AES_Decrypt cipher text too long, size is" << length;
        return;
    }

    CallBuffers buffers(in);
    const unsigned char *output = buffers.output;

    const int blocks = (length + BlockSize - 1) / BlockSize * BlockSize;
    if (!cbcTransform(false, buffers.key, buffers.iv, buffers.input, buffers.output, blocks)) {
        qWarning() << "AES_Decrypt cipher failed";
        return;
    }

    // A failed padding check is no error: the bytes are returned whole. The
    // check never looks beyond the decrypted bytes.
    int keep = length;
    const int padding = output[length - 1];
    if (padding != 0 && padding <= length) {
        bool padded = true;
        for (int i = length - padding; i < length; ++i) {
            if (output[i] != padding) {
                padded = false;
                break;
            }
        }
        if (padded)
            keep = length - padding;
    }
    out.append(reinterpret_cast<const char *>(output), keep);
}

int encryptToHexText(const QString &value, QString &text)
{
    QByteArray cipher;
    const int code = AES_Encrypt(value.toUtf8(), cipher);
    if (code == 0)
        text = QString::fromLatin1(cipher.toHex());
    return code;
}

QString decryptFromHexText(const QString &text)
{
    QByteArray plain;
    AES_Decrypt(QByteArray::fromHex(text.toUtf8()), plain);
    return QString::fromUtf8(plain);
}
