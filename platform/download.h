#ifndef TVX_DOWNLOAD_H
#define TVX_DOWNLOAD_H

#include "platform/http.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

// How hard a transfer is tried. A failure counts as transient when another
// attempt may well succeed: no connection, a reset or cut connection, a
// time-out, an answer of 408, 429 or 5xx. Anything else (404, 403, a body
// beyond its bound, a receiver that refuses the data) is final for the URL.
struct DownloadPolicy
{
    int nMaxRetries = 5;              // per URL, transient failures in a row without a byte of progress
    int nMaxAttempts = 100;           // requests in all, every URL together
    qint64 llRetryWindowMs = 300000;  // no retry once this long has passed without progress
    qint64 llDeadlineMs = 0;          // the whole transfer, retries included; 0: none
    qint64 llAttemptTimeoutMs = 0;    // one request; 0: none (the low-speed limit still applies)
    int nBackoffBaseMs = 1000;        // first pause, doubled for each failure in a row
    int nBackoffCapMs = 30000;        // longest pause
    int nRetryAfterCapMs = 60000;     // a server's Retry-After is honoured up to this
    qint64 llMaxBytesPerSec = 0;      // receive rate; 0: unlimited
    // The bound on an unsigned packet whose announced size is missing, zero,
    // negative or unreadable: a server that does not say must not fill the disk.
    qint64 llUnsignedCapBytes = qint64(1) << 30;

    // The version query: an answer of at most 16 MiB must not take long. It
    // fails within 60 seconds in all: 30 per attempt, at most 3 attempts.
    static DownloadPolicy versionQuery();
    // Changes from the environment, for unattended runs: TARVEX_DOWNLOAD_RETRIES,
    // TARVEX_DOWNLOAD_RETRY_WINDOW (seconds), TARVEX_DOWNLOAD_DEADLINE
    // (seconds), TARVEX_DOWNLOAD_LIMIT_RATE (a rate as parseRate takes it).
    // An unreadable value is logged and ignored.
    void readEnvironment();
};

// "500K", "1M", "2.5M", "64k", "1000": bytes per second (K and M are 1024
// and 1024 * 1024). -1 when the text is no rate.
qint64 parseRate(const QString &text);

// Where a transfer's bytes go. startAt comes before the first byte of
// every answer: 0 when the body starts over from its beginning, N when it
// continues a range from byte N (the receiver holds N bytes already).
// false from either ends the transfer for good.
class CDownloadReceiver
{
public:
    virtual ~CDownloadReceiver() = default;
    virtual bool startAt(qint64 llOffset) = 0;
    virtual bool write(const char *data, qint64 llBytes) = 0;
};

struct DownloadRequest
{
    QStringList listUrls;      // in the order they are tried: the first, then mirrors
    // The partial data's companion file, holding the validator of the answer
    // that started it and the identity below; empty: no resume.
    QString strStatePath;
    QByteArray baIdentity;     // what the bytes belong to; another identity starts over
    qint64 llExistingBytes = 0;  // bytes the receiver holds from an earlier transfer
    qint64 llExactBytes = -1;    // the body's size when known for sure (then a range needs no validator)
    qint64 llMaxBytes = -1;      // bound on the whole body; -1: none
};

struct DownloadOutcome
{
    HTTP_ERROR error = HTTP_INIT_FAILED;
    QString strError;          // the last failure's text
    QString strUrl;            // the URL that delivered (or was tried last)
    qint64 llResumedBytes = 0; // bytes of the earlier transfer that were kept
    qint64 llReceivedBytes = 0; // body bytes that crossed the network
    int nAttempts = 0;
    bool isStopped = false;
};

// Fetches one resource into a receiver: resumes with a range request where
// the server allows it and the resource is unchanged, retries transient
// failures with exponential backoff and jitter (and the server's
// Retry-After), and falls back to the next URL when one fails for good or
// runs out of retries. Runs on the calling thread; pStop ends it within a second.
bool downloadResumable(const DownloadRequest &request, const DownloadPolicy &policy, int connectTimeoutMs,
                       int lowSpeedLimit, int lowSpeedTime, CDownloadReceiver &receiver,
                       const std::atomic<bool> *pStop, DownloadOutcome &outcome);

// GetInfo with the policy's deadline and retries; text as GetResult gives it.
HTTP_ERROR getInfoWithRetries(CHttp &http, const QString &url, const QStringList &headers,
                              const DownloadPolicy &policy, const std::atomic<bool> *pStop);

// True when a failure of this kind is worth another attempt.
bool isTransientFailure(HTTP_ERROR error, const HttpAnswerInfo &info);

// Removes the companion file of partial data.
bool removeDownloadState(const QString &strStatePath);

#endif // TVX_DOWNLOAD_H
