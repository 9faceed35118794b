#include "upgrade/packetfetch.h"

#include "upgrade/trust/packetverifier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// A download may take at most half of the free space: the rest is for the
// unpacked packet and the backup the apply makes. Bytes kept from an earlier
// run count as already taken. -1 when the volume does not say.
qint64 roomFor(const QString &strDir, qint64 llExisting)
{
    const QStorageInfo storage(strDir);
    if (!storage.isValid() || storage.bytesAvailable() < 0)
        return -1;
    return llExisting + storage.bytesAvailable() / 2;
}

// SHA-256 of the partial file on a thread of its own, reading it behind the
// writer. The receiving thread then does what curl -o does and no more:
// the hash costs it a counter, not a copy of every byte, and runs on the
// other core. The bytes are read back from the page cache, where they still
// are; they are also what 7z reads afterwards.
class CTrailingHash
{
public:
    ~CTrailingHash() { abandon(); }

    // Hashes strPath from its first byte; llWritten bytes are there already.
    bool start(const QString &strPath, qint64 llWritten, Trust::CPacketVerifier *pVerifier)
    {
        abandon();
        m_file.setFileName(strPath);
        if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return false;
        m_pVerifier = pVerifier;
        m_llWritten.store(llWritten);
        m_llNotified = 0;
        m_isClosing = false;
        m_isAbandoned = false;
        m_isFailed = false;
        try {
            m_worker = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            m_file.close();
            return false;
        }
        return true;
    }

    bool isRunning() const { return m_worker.joinable(); }

    // llWritten bytes of the file are written. The worker is woken for
    // every few MiB, not for every block: each wake-up is a context switch.
    void advance(qint64 llWritten)
    {
        m_llWritten.store(llWritten);
        if (llWritten - m_llNotified < wakeBytes)
            return;
        m_llNotified = llWritten;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
        }
        m_changed.notify_one();
    }

    // Waits until every written byte is hashed; false when one could not be read.
    bool finish()
    {
        stop(false);
        return !m_isFailed;
    }

    // Stops at once; what was hashed is of no use.
    void abandon() { stop(true); }

private:
    void stop(bool isAbandoned)
    {
        if (!m_worker.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_isClosing = true;
            m_isAbandoned = isAbandoned;
        }
        m_changed.notify_one();
        m_worker.join();
        m_file.close();
    }

    void run()
    {
        QByteArray buffer(1024 * 1024, Qt::Uninitialized);
        qint64 hashed = 0;
        for (;;) {
            qint64 target = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] {
                    return m_isAbandoned || m_isClosing || m_llWritten.load() - hashed >= wakeBytes;
                });
                if (m_isAbandoned || (m_isClosing && m_llWritten.load() == hashed))
                    return;
                target = m_llWritten.load();
            }
            while (hashed < target) {
                const qint64 got = m_file.read(buffer.data(), qMin<qint64>(buffer.size(), target - hashed));
                if (got <= 0) {
                    m_isFailed = true;
                    return;
                }
                m_pVerifier->update(buffer.constData(), got);
                hashed += got;
            }
        }
    }

    QFile m_file;
    Trust::CPacketVerifier *m_pVerifier = nullptr;
    std::thread m_worker;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    static constexpr qint64 wakeBytes = 4 * 1024 * 1024;
    std::atomic<qint64> m_llWritten{0};
    qint64 m_llNotified = 0; // the writer's own
    bool m_isClosing = false;
    bool m_isAbandoned = false;
    bool m_isFailed = false; // the worker's until it is joined
};

} // namespace

qint64 unsignedPacketBound(double dAnnouncedMiB, qint64 llCap)
{
    // Beyond a pebibyte a size is no size but a server that does not know.
    if (!(dAnnouncedMiB > 0) || !std::isfinite(dAnnouncedMiB) || dAnnouncedMiB > 1024.0 * 1024.0 * 1024.0)
        return llCap;
    return qint64(dAnnouncedMiB * 1024.0 * 1024.0 * 1.1) + 8 * 1024 * 1024;
}

struct CPacketFetch::Private : public CDownloadReceiver
{
    CInstallLayout layout;
    QString strDir;
    DownloadPolicy policy;
    int nConnectTimeoutMs = 20000;
    int nLowSpeedLimit = 512;
    int nLowSpeedTime = 20;
    const std::atomic<bool> *pStop = nullptr;
    Progress progress;

    QFile file;
    Trust::CPacketVerifier verifier;
    CTrailingHash hash;
    qint64 llInHand = 0;
    qint64 llMaxBytes = -1;
    DownloadOutcome outcome;
    QString strError;

    bool isStopRequested() const { return pStop && pStop->load(); }
    void report()
    {
        if (progress)
            progress(llInHand);
    }

    bool startAt(qint64 llOffset) override
    {
        if (!file.isOpen() || llOffset < 0 || file.size() < llOffset)
            return false;
        // A range after a cut in this run continues what the hash has had;
        // anything else (a first answer, bytes kept from an earlier run, a
        // restart from zero) is hashed from the first byte, kept bytes
        // included, behind the transfer.
        if (hash.isRunning() && llOffset == llInHand && llOffset == file.size()) {
            report();
            return true;
        }
        hash.abandon();
        verifier.restart();
        // Truncating a file to zero, even an empty one, makes ext4 write it
        // all out when it is closed (auto_da_alloc, its guard for files
        // replaced by truncation). A download needs no such flush, and it
        // held up the end by half a second a GiB.
        if ((file.size() != llOffset && !file.resize(llOffset)) || !file.seek(llOffset)
            || (verifier.isExpecting() && !hash.start(file.fileName(), llOffset, &verifier))) {
            strError = QStringLiteral("cannot continue %1 at byte %2: %3")
                           .arg(file.fileName())
                           .arg(llOffset)
                           .arg(file.errorString());
            return false;
        }
        llInHand = llOffset;
        report();
        return true;
    }

    bool write(const char *data, qint64 llBytes) override
    {
        if (isStopRequested())
            return false;
        if (file.write(data, llBytes) != llBytes) {
            strError = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        llInHand += llBytes;
        if (hash.isRunning())
            hash.advance(llInHand);
        report();
        return true;
    }
};

CPacketFetch::CPacketFetch(const CInstallLayout &layout)
    : d(new Private)
{
    d->layout = layout;
    d->strDir = layout.downloadDir();
}

CPacketFetch::~CPacketFetch() = default;

void CPacketFetch::setPolicy(const DownloadPolicy &policy)
{
    d->policy = policy;
}

void CPacketFetch::setTimeOuts(int connectTimeoutMs, int lowSpeedLimit, int lowSpeedTime)
{
    d->nConnectTimeoutMs = connectTimeoutMs;
    d->nLowSpeedLimit = lowSpeedLimit;
    d->nLowSpeedTime = lowSpeedTime;
}

void CPacketFetch::setStopFlag(const std::atomic<bool> *pStop)
{
    d->pStop = pStop;
}

void CPacketFetch::setProgress(const Progress &progress)
{
    d->progress = progress;
}

const DownloadOutcome &CPacketFetch::outcome() const
{
    return d->outcome;
}

QString CPacketFetch::errorString() const
{
    return d->strError;
}

qint64 CPacketFetch::maxBytes() const
{
    return d->llMaxBytes;
}

QString CPacketFetch::partPath(const QString &strName) const
{
    return d->layout.downloadPart(strName);
}

QString CPacketFetch::statePath(const QString &strName) const
{
    return d->layout.downloadState(strName);
}

void CPacketFetch::discard(const QString &strName) const
{
    QFile::remove(partPath(strName));
    removeDownloadState(statePath(strName));
}

void CPacketFetch::removeObsolete(const QStringList &listNames) const
{
    const QString partSuffix = CInstallLayout::downloadPartSuffix();
    const QString stateSuffix = CInstallLayout::downloadStateSuffix();
    const QFileInfoList entries = QDir(d->strDir).entryInfoList({QLatin1Char('*') + partSuffix,
                                                                 QLatin1Char('*') + stateSuffix},
                                                                QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        QString name = entry.fileName();
        name.chop(name.endsWith(partSuffix) ? partSuffix.size() : stateSuffix.size());
        if (!listNames.contains(name))
            QFile::remove(entry.absoluteFilePath());
    }
}

FetchResult CPacketFetch::fetch(const PacketSource &source, const QString &strTargetPath)
{
    d->outcome = DownloadOutcome();
    d->strError.clear();
    d->llInHand = 0;
    d->llMaxBytes = -1;
    const QString part = partPath(source.strName);
    const QString state = statePath(source.strName);
    if (!QDir().mkpath(d->strDir)) {
        d->strError = QStringLiteral("cannot create %1").arg(d->strDir);
        return FetchResult::WriteFailed;
    }
    const bool isSigned = source.isSigned();
    const qint64 existing = QFileInfo(part).size();
    const qint64 room = roomFor(d->strDir, existing);
    if (isSigned && room >= 0 && source.llSignedBytes > room) {
        d->strError = QStringLiteral("%1 has %2 bytes; a download may take only half of the free space of %3, %4 bytes")
                          .arg(source.strName)
                          .arg(source.llSignedBytes)
                          .arg(d->strDir)
                          .arg(room);
        return FetchResult::NoRoom;
    }
    if (d->file.isOpen())
        d->file.close();
    d->file.setFileName(part);
    // Unbuffered: each block goes to disk as it comes, and a failed write
    // shows in the callback instead of at close.
    if (!d->file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        d->strError = QStringLiteral("cannot write %1: %2").arg(part, d->file.errorString());
        return FetchResult::WriteFailed;
    }

    DownloadRequest request;
    request.listUrls = source.listUrls;
    request.strStatePath = state;
    request.baIdentity = source.baIdentity;
    request.llExistingBytes = d->file.size();
    request.llExactBytes = isSigned ? source.llSignedBytes : -1;
    const qint64 bound = isSigned ? source.llSignedBytes : source.llMaxBytes;
    request.llMaxBytes = bound < 0 ? room : (room < 0 ? bound : qMin(bound, room));
    d->llMaxBytes = request.llMaxBytes;
    d->verifier.reset(isSigned ? source.llSignedBytes : -1, isSigned ? source.baSignedSha256 : QByteArray());

    const bool isDownloaded = downloadResumable(request, d->policy, d->nConnectTimeoutMs, d->nLowSpeedLimit,
                                          d->nLowSpeedTime, *d, d->pStop, d->outcome);
    bool isHashRead = true;
    if (isDownloaded)
        isHashRead = d->hash.finish();
    else
        d->hash.abandon();
    d->file.close();
    const DownloadOutcome &outcome = d->outcome;

    // The signed size bounds the transfer itself, so a longer body may be
    // cut by the client before the verifier sees its extra byte.
    if (d->verifier.isOverflowed()
        || (!isDownloaded && outcome.error == HTTP_TOO_LARGE && isSigned
            && request.llMaxBytes == source.llSignedBytes)) {
        discard(source.strName);
        d->strError = QStringLiteral("%1 goes past its signed size %2").arg(outcome.strUrl).arg(source.llSignedBytes);
        return FetchResult::NotTrusted;
    }
    if (!isDownloaded) {
        const bool isEmpty = QFileInfo(part).size() == 0;
        if (outcome.isStopped || d->isStopRequested()) {
            if (isEmpty)
                discard(source.strName);
            d->strError = QStringLiteral("stopped");
            return FetchResult::Stopped;
        }
        // Bytes beyond the bound are no packet worth continuing, and nothing
        // at all is not worth keeping.
        if (outcome.error == HTTP_TOO_LARGE || isEmpty)
            discard(source.strName);
        if (outcome.error == HTTP_TOO_LARGE) {
            d->strError = QStringLiteral("%1 is larger than %2 bytes%3")
                              .arg(outcome.strUrl)
                              .arg(request.llMaxBytes)
                              .arg(request.llMaxBytes == room ? QStringLiteral(", half of the free space")
                                                              : QString());
            return FetchResult::TooLarge;
        }
        if (d->strError.isEmpty())
            d->strError = QStringLiteral("cannot get %1: %2").arg(outcome.strUrl, outcome.strError);
        return FetchResult::NetworkFailed;
    }
    // Checked before anything reads the file. Bytes that are not the signed
    // packet are no start to continue from either.
    if (!isHashRead) {
        d->strError = QStringLiteral("cannot read %1 back to hash it").arg(part);
        return FetchResult::WriteFailed;
    }
    QString verifyError;
    if (!d->verifier.finish(verifyError)) {
        discard(source.strName);
        d->strError = QStringLiteral("%1: %2").arg(outcome.strUrl, verifyError);
        return FetchResult::NotTrusted;
    }

    // A file of the same name, an earlier module's packet, gives way. A
    // whole packet is no partial data to continue from: it goes if it
    // cannot take its place.
    const QFileInfo target(strTargetPath);
    if ((target.exists() || target.isSymLink()) && !QFile::remove(strTargetPath)) {
        discard(source.strName);
        d->strError = QStringLiteral("cannot replace %1").arg(strTargetPath);
        return FetchResult::WriteFailed;
    }
    if (!QFile::rename(part, strTargetPath)) {
        discard(source.strName);
        d->strError = QStringLiteral("cannot move %1 to %2").arg(part, strTargetPath);
        return FetchResult::WriteFailed;
    }
    removeDownloadState(state);
    return FetchResult::Fetched;
}
