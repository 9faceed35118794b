#ifndef TVX_PACKETFETCH_H
#define TVX_PACKETFETCH_H

#include "platform/download.h"
#include "upgrade/files/installlayout.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

// One packet file as the server offers it: a full packet or a delta.
struct PacketSource
{
    QString strName;         // its file name; isPlainServerFileName must have passed it
    QStringList listUrls;    // the primary URL, then the mirrors, in the order they are tried
    QByteArray baIdentity;   // the release the bytes belong to: partial data of another one starts over
    // Signed: the exact size and SHA-256 it is held to, byte by byte as it arrives.
    qint64 llSignedBytes = -1;
    QByteArray baSignedSha256;
    // Unsigned: the bound on its body (unsignedPacketBound); ignored when signed.
    qint64 llMaxBytes = -1;

    bool isSigned() const { return llSignedBytes >= 0 && baSignedSha256.size() == 32; }
};

// How a fetch ended. Partial data stays for the next run only when it is
// worth continuing: after a stop, or a network failure with bytes in hand.
enum class FetchResult {
    Fetched,       // complete (and verified when signed), at the target path
    Stopped,       // the stop flag ended it
    NotTrusted,    // past its signed size, or not its signed SHA-256
    TooLarge,      // an unsigned body beyond its bound
    NoRoom,        // a signed packet larger than the disk space a download may use
    NetworkFailed, // every URL failed
    WriteFailed    // the partial data or the target could not be written
};

// The one path a packet file takes from the server to its place: the
// partial data in the download directory (NAME.part with NAME.state, kept
// between runs), resumed where the server allows it, bounded, hashed on a
// second thread as it arrives, then renamed onto the target. Full packets
// and deltas are two sources of the same fetch. Runs on the calling thread.
class CPacketFetch
{
public:
    // Bytes of the packet in hand, those kept from an earlier run included;
    // called whenever the number changes (it may go back to 0 when the
    // server cannot continue a range).
    using Progress = std::function<void(qint64 llBytesInHand)>;

    // The partial data lies in layout's download directory.
    explicit CPacketFetch(const CInstallLayout &layout);
    ~CPacketFetch();
    CPacketFetch(const CPacketFetch &) = delete;
    CPacketFetch &operator=(const CPacketFetch &) = delete;

    void setPolicy(const DownloadPolicy &policy);
    // As CHttp::setTimeOut takes them.
    void setTimeOuts(int connectTimeoutMs, int lowSpeedLimit, int lowSpeedTime);
    void setStopFlag(const std::atomic<bool> *pStop);
    void setProgress(const Progress &progress);

    // Fetches source to strTargetPath; a file already there gives way.
    FetchResult fetch(const PacketSource &source, const QString &strTargetPath);
    // The last fetch's transfer (URL, attempts, bytes) and, unless it
    // ended Fetched, why.
    const DownloadOutcome &outcome() const;
    QString errorString() const;
    // The bound the last fetch held the body to: the signed size, the
    // unsigned bound, or half of the free space, whichever was lowest.
    qint64 maxBytes() const;

    QString partPath(const QString &strName) const;
    QString statePath(const QString &strName) const;
    // Removes the partial data of strName.
    void discard(const QString &strName) const;
    // Removes the partial data of every name that is not in listNames.
    void removeObsolete(const QStringList &listNames) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The bound on an unsigned packet's body: its announced size (in MiB, as
// "Size" gives it) with 10 % and 8 MiB to spare, since publishers announce
// sizes loosely; llCap when the size is missing, zero, negative, unreadable
// or absurd.
qint64 unsignedPacketBound(double dAnnouncedMiB, qint64 llCap);

#endif // TVX_PACKETFETCH_H
