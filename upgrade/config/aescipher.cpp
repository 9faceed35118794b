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

// Key and IV never stand in the binary as one piece of data: every call puts
// them together in its own storage and wipes them before it returns.
inline void assembleKey(unsigned char *key)
{
    qToBigEndian<quint32>(0x9257dd26u, key + 0);
    qToBigEndian<quint32>(0x7f83b135u, key + 4);
    qToBigEndian<quint32>(0x5ca3a0f3u, key + 8);
    qToBigEndian<quint32>(0x6e68b7f2u, key + 12);
    qToBigEndian<quint32>(0xf622caf3u, key + 16);
    qToBigEndian<quint32>(0x02e8f642u, key + 20);
    qToBigEndian<quint32>(0xe8990615u, key + 24);
    qToBigEndian<quint32>(0xeb32bbb5u, key + 28);
}

inline void assembleIv(unsigned char *iv)
{
    qToBigEndian<quint32>(0x70892e4du, iv + 0);
    qToBigEndian<quint32>(0x995f02f0u, iv + 4);
    qToBigEndian<quint32>(0x4fa58167u, iv + 8);
    qToBigEndian<quint32>(0x4d7b81c0u, iv + 12);
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
