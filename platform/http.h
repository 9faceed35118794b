#ifndef TVX_HTTP_H
#define TVX_HTTP_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <memory>

// Result of a request; 0 only for a 2xx answer.
enum HTTP_ERROR {
    HTTP_SUCCESS = 0,
    HTTP_INIT_FAILED = 1,     // no easy handle, or InitData() not called
    HTTP_REQUEST_FAILED = 2,  // connection, TLS, time-out, bad URL ...
    HTTP_STATUS_FAILED = 3,   // the server answered with a status outside 2xx
    HTTP_TOO_LARGE = 4,       // GetInfo: the answer exceeds the cap
    HTTP_WRITE_ABORTED = 5,   // DownloadFile: the callback took fewer bytes than given
    HTTP_CANCELLED = 6        // the stop flag of HttpLimits was set
};

// Write callback of DownloadFile: called once per block of body bytes, on the
// calling thread; returns the number of bytes accepted (size * count to go on).
typedef quint64 (*PFN_WRITE_DATA)(const void *data, quint64 size, quint64 count, void *userData);

struct DonwloadFileParam
{
    PFN_WRITE_DATA pfnWriteData = nullptr;
    void *pUserData = nullptr;
    void *pExtra = nullptr;
};

// Bounds and shape of the requests that follow setLimits(); the defaults
// leave a request unbounded in time (the low-speed limit still applies) and
// in body size (beyond GetInfo's own cap).
struct HttpLimits
{
    qint64 llTimeoutMs = 0;       // the whole request, connection included; 0: none
    qint64 llMaxBodyBytes = -1;   // DownloadFile: a longer body fails with HTTP_TOO_LARGE
    qint64 llMaxBytesPerSec = 0;  // receive rate, averaged by libcurl; 0: unlimited
    qint64 llRangeStart = 0;      // DownloadFile: ask for the body from this byte on
    QByteArray baIfRange;         // with a range: only while the resource has this validator
    // Looked at about once a second even while nothing arrives, so that a
    // stop never waits for a stalled server.
    const std::atomic<bool> *pStop = nullptr;
};

// What the last answer said beyond its body (the final one after redirects).
struct HttpAnswerInfo
{
    long status = 0;
    int curlCode = 0;           // CURLcode of the transfer
    QByteArray etag;            // as sent, quotes and W/ included
    QByteArray lastModified;
    qint64 llRangeStart = -1;   // first byte of a Content-Range, -1 without one
    qint64 llRetryAfterMs = -1; // Retry-After, seconds or a date, -1 without one
    qint64 llBodyBytes = 0;     // body bytes received
};

// HTTP and HTTPS client on libcurl, one easy handle per object. An object is
// used by one thread at a time; requests on it run one after the other.
//
// setTimeOut(a, b, c): a is the connect time-out in milliseconds, b the
// low-speed limit in bytes per second and c the low-speed time in seconds: a
// transfer that stays below b bytes/s for c seconds is given up, while a
// large one that keeps moving may take as long as it needs.
//
// TLS peer and host verification are always on. The CA store is the system's;
// the environment variable CURL_CA_BUNDLE names another bundle, as it does for
// the curl tool. Proxies come from the usual environment variables. Only http
// and https are spoken, redirects included, and at most MaxRedirects of them
// are followed.
class CHttp
{
public:
    CHttp();
    ~CHttp();

    // Creates the easy handle; 0 on success.
    int InitData();
    void setTimeOut(int connectTimeoutMs, int lowSpeedLimit, int lowSpeedTime);
    void setLimits(const HttpLimits &limits);

    // GET url with each entry of headers as one header line. GetResult()
    // then gives the body, or after a failure an error text.
    HTTP_ERROR GetInfo(const QString &url, const QStringList &headers);
    QString GetResult() const;
    // The body of the last GetInfo that succeeded as it came, empty after a
    // failure: a reader of megabytes of JSON needs no round trip through UTF-16.
    QByteArray resultBody() const;

    // GET url, streaming the body block by block to param.pfnWriteData.
    // An answer outside 2xx (an error page above all) fails before any of its
    // body reaches the callback; the bodies of followed redirects never do.
    HTTP_ERROR DownloadFile(const QString &url, const DonwloadFileParam &param);

    // Status of the last answer, 0 when none was received.
    long httpStatus() const;
    // Valid during a transfer (from inside the write callback) and after it.
    const HttpAnswerInfo &answerInfo() const;

    static constexpr qint64 MaxInfoSize = 16 * 1024 * 1024;
    static constexpr long MaxRedirects = 5;

private:
    Q_DISABLE_COPY(CHttp)
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // TVX_HTTP_H
