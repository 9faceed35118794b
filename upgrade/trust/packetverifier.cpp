#include "upgrade/trust/packetverifier.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace Trust {

namespace {

// Bytes are handed to the hashing thread in chunks of this size, and at most
// this many bytes wait for it: the download never holds more than that.
constexpr int chunkBytes = 1024 * 1024;
constexpr qint64 maxQueuedBytes = 16 * 1024 * 1024;

} // namespace

// SHA-256 on a thread of its own: on a fast link, hashing in the thread that
// receives would slow the download by the time the hash takes.
struct CPacketVerifier::Digest
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool isValid = false; // touched by the worker only while it runs
    QByteArray chunk;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    bool isClosing = false;
    std::thread worker;

    ~Digest()
    {
        stop();
        EVP_MD_CTX_free(context);
    }

    void start()
    {
        stop();
        chunk.clear();
        isClosing = false;
        isValid = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
        try {
            worker = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            // No thread: push() hashes in place.
        }
    }

    void push(const char *data, qint64 length)
    {
        if (!worker.joinable()) {
            if (isValid && EVP_DigestUpdate(context, data, size_t(length)) != 1)
                isValid = false;
            return;
        }
        while (length > 0) {
            const int take = int(qMin<qint64>(length, chunkBytes - chunk.size()));
            chunk.append(data, take);
            data += take;
            length -= take;
            if (chunk.size() == chunkBytes)
                flushChunk();
        }
    }

    void flushChunk()
    {
        if (chunk.isEmpty())
            return;
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return queuedBytes < maxQueuedBytes; });
        queuedBytes += chunk.size();
        queue.push_back(std::move(chunk));
        chunk = QByteArray();
        chunk.reserve(chunkBytes);
        changed.notify_all();
    }

    // Waits until every byte is hashed; the context is then the caller's.
    void stop()
    {
        if (!worker.joinable())
            return;
        flushChunk();
        {
            std::lock_guard<std::mutex> lock(mutex);
            isClosing = true;
        }
        changed.notify_all();
        worker.join();
    }

    void run()
    {
        for (;;) {
            QByteArray block;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return isClosing || !queue.empty(); });
                if (queue.empty())
                    return;
                block = std::move(queue.front());
                queue.pop_front();
            }
            if (isValid && EVP_DigestUpdate(context, block.constData(), size_t(block.size())) != 1)
                isValid = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                queuedBytes -= block.size();
            }
            changed.notify_all();
        }
    }
};

CPacketVerifier::CPacketVerifier()
    : m_digest(new Digest)
{
}

CPacketVerifier::~CPacketVerifier() = default;

void CPacketVerifier::reset(qint64 llBytes, const QByteArray &baSha256)
{
    m_digest->stop();
    m_llExpected = llBytes;
    m_baSha256 = baSha256;
    m_llBytes = 0;
    m_isOverflowed = false;
    if (m_llExpected >= 0)
        m_digest->start();
}

bool CPacketVerifier::update(const char *data, qint64 length)
{
    if (length < 0 || m_isOverflowed)
        return false;
    m_llBytes += length;
    if (m_llExpected < 0)
        return true;
    if (m_llBytes > m_llExpected) {
        m_isOverflowed = true;
        return false;
    }
    m_digest->push(data, length);
    return true;
}

bool CPacketVerifier::finish(QString &strError)
{
    if (m_llExpected < 0)
        return true;
    m_digest->stop();
    if (m_isOverflowed || m_llBytes != m_llExpected) {
        strError = QStringLiteral("size %1%2, signed %3")
                       .arg(m_isOverflowed ? QStringLiteral("above ") : QString())
                       .arg(m_llBytes)
                       .arg(m_llExpected);
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool isValid = m_digest->isValid && EVP_DigestFinal_ex(m_digest->context, digest, &digestLength) == 1;
    // A second finish() without a reset() fails: the hash is spent.
    m_digest->isValid = false;
    if (!isValid) {
        strError = QStringLiteral("SHA-256 could not be computed");
        return false;
    }
    const QByteArray actual(reinterpret_cast<const char *>(digest), int(digestLength));
    if (actual != m_baSha256) {
        strError = QStringLiteral("SHA-256 %1, signed %2")
                       .arg(QString::fromLatin1(actual.toHex()), QString::fromLatin1(m_baSha256.toHex()));
        return false;
    }
    return true;
}

} // namespace Trust
