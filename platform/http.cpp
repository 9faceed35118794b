#include "platform/http.h"

#include <curl/curl.h>

#include <climits>
#include <ctime>
#include <mutex>

namespace {

struct SListDeleter
{
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using SListPtr = std::unique_ptr<curl_slist, SListDeleter>;

void globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isSuccessStatus(long status)
{
    return status >= 200 && status < 300;
}

bool headerIs(const QByteArray &line, const char *name, QByteArray &value)
{
    const int colon = line.indexOf(':');
    if (colon <= 0 || line.left(colon).trimmed().toLower() != name)
        return false;
    value = line.mid(colon + 1).trimmed();
    return true;
}

// "bytes 100-199/200" or "bytes 100-199/*": the first byte; -1 otherwise.
qint64 contentRangeStart(const QByteArray &value)
{
    if (!value.startsWith("bytes "))
        return -1;
    const int dash = value.indexOf('-');
    if (dash < 0)
        return -1;
    bool ok = false;
    const qint64 start = value.mid(6, dash - 6).trimmed().toLongLong(&ok);
    return ok && start >= 0 ? start : -1;
}

qint64 retryAfterMs(const QByteArray &value)
{
    bool ok = false;
    const qint64 seconds = value.toLongLong(&ok);
    if (ok)
        return seconds < 0 ? -1 : qMin<qint64>(seconds, 365LL * 24 * 3600) * 1000;
    const time_t when = curl_getdate(value.constData(), nullptr);
    if (when < 0)
        return -1;
    const time_t now = time(nullptr);
    return when > now ? qint64(when - now) * 1000 : 0;
}

} // namespace

struct CHttp::Private
{
    CURL *curl = nullptr;
    QString result;
    long status = 0;

    int connectTimeoutMs = 20000;
    int lowSpeedLimit = 512;
    int lowSpeedTime = 20;
    HttpLimits limits;
    HttpAnswerInfo info;

    // State of the request in progress; after a GetInfo that succeeded, its result.
    QByteArray body;
    bool isBodyResult = false;
    const DonwloadFileParam *download = nullptr;
    bool tooLarge = false;
    bool statusRefused = false;
    bool callbackRefused = false;
    bool cancelled = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    typedef size_t (*WriteFunction)(char *, size_t, size_t, void *);
    HTTP_ERROR perform(const QString &url, const QStringList &headers, WriteFunction write);
    HTTP_ERROR fail(HTTP_ERROR error, const QString &text)
    {
        result = text;
        return error;
    }

    static size_t writeInfo(char *data, size_t size, size_t count, void *userData);
    static size_t readHeader(char *data, size_t size, size_t count, void *userData);
    static int progress(void *userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static size_t writeDownload(char *data, size_t size, size_t count, void *userData);
};

size_t CHttp::Private::writeInfo(char *data, size_t size, size_t count, void *userData)
{
    Private *d = static_cast<Private *>(userData);
    const size_t bytes = size * count;
    // A server must not make us hold more than the cap, whatever it announced.
    if (bytes > size_t(MaxInfoSize) || qint64(bytes) > MaxInfoSize - d->body.size()) {
        d->tooLarge = true;
        return 0;
    }
    d->body.append(data, int(bytes));
    d->info.llBodyBytes += qint64(bytes);
    return bytes;
}

size_t CHttp::Private::readHeader(char *data, size_t size, size_t count, void *userData)
{
    Private *d = static_cast<Private *>(userData);
    const size_t bytes = size * count;
    const QByteArray line = QByteArray(data, int(qMin<size_t>(bytes, 16 * 1024))).trimmed();
    // Each answer of a redirect chain starts with its status line; only the
    // last one's headers describe the body.
    if (line.startsWith("HTTP/")) {
        d->info = HttpAnswerInfo();
        const QList<QByteArray> parts = line.split(' ');
        d->info.status = parts.size() > 1 ? parts.at(1).toLong() : 0;
        return bytes;
    }
    QByteArray value;
    if (headerIs(line, "etag", value))
        d->info.etag = value;
    else if (headerIs(line, "last-modified", value))
        d->info.lastModified = value;
    else if (headerIs(line, "content-range", value))
        d->info.llRangeStart = contentRangeStart(value);
    else if (headerIs(line, "retry-after", value))
        d->info.llRetryAfterMs = retryAfterMs(value);
    return bytes;
}

int CHttp::Private::progress(void *userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    Private *d = static_cast<Private *>(userData);
    if (d->limits.pStop && d->limits.pStop->load()) {
        d->cancelled = true;
        return 1;
    }
    return 0;
}

size_t CHttp::Private::writeDownload(char *data, size_t size, size_t count, void *userData)
{
    Private *d = static_cast<Private *>(userData);
    const size_t bytes = size * count;
    if (bytes == 0)
        return 0;
    // Redirect bodies never come here; the first block of any other answer
    // does, with its status known: an error page must not reach the file.
    long status = 0;
    curl_easy_getinfo(d->curl, CURLINFO_RESPONSE_CODE, &status);
    if (!isSuccessStatus(status)) {
        d->statusRefused = true;
        return 0;
    }
    if (d->limits.llMaxBodyBytes >= 0 && qint64(bytes) > d->limits.llMaxBodyBytes - d->info.llBodyBytes) {
        d->tooLarge = true;
        return 0;
    }
    d->info.llBodyBytes += qint64(bytes);
    const quint64 accepted = d->download->pfnWriteData(data, 1, bytes, d->download->pUserData);
    if (accepted != bytes) {
        d->callbackRefused = true;
        return 0;
    }
    return bytes;
}

HTTP_ERROR CHttp::Private::perform(const QString &url, const QStringList &headers, WriteFunction write)
{
    result.clear();
    status = 0;
    body.clear();
    isBodyResult = false;
    tooLarge = false;
    statusRefused = false;
    callbackRefused = false;
    cancelled = false;
    info = HttpAnswerInfo();
    errorBuffer[0] = '\0';

    if (!curl)
        return fail(HTTP_INIT_FAILED, QStringLiteral("the HTTP client is not initialised"));

    const QByteArray urlBytes = url.toUtf8();
    if (urlBytes.isEmpty() || urlBytes.contains('\0'))
        return fail(HTTP_REQUEST_FAILED, QStringLiteral("invalid URL"));

    SListPtr headerList;
    for (const QString &header : headers) {
        const QByteArray line = header.toUtf8();
        // One entry is one header line: a line break would smuggle in more.
        if (line.contains('\r') || line.contains('\n') || line.contains('\0'))
            return fail(HTTP_REQUEST_FAILED, QStringLiteral("invalid header line"));
        curl_slist *appended = curl_slist_append(headerList.get(), line.constData());
        if (!appended)
            return fail(HTTP_REQUEST_FAILED, QStringLiteral("out of memory"));
        headerList.release();
        headerList.reset(appended);
    }

    // Start from the defaults every time: nothing of an earlier request leaks
    // into this one, while the connection cache is kept.
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect never leaves https for plain http: the transport a request
    // started on is the weakest it may end on.
    const bool isHttps = urlBytes.left(8).toLower() == "https://";
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, isHttps ? "https" : "http,https");
    // Large receive blocks: fewer callbacks and writes on fast links.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // libcurl leaves CURL_CA_BUNDLE to the curl tool; honour it here the same way.
    const QByteArray caBundle = qgetenv("CURL_CA_BUNDLE");
    if (!caBundle.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caBundle.constData());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(qMax(0, connectTimeoutMs)));
    if (lowSpeedLimit > 0 && lowSpeedTime > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, long(lowSpeedLimit));
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(lowSpeedTime));
    }
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Tarvex");
    if (headerList)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Private::readHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Private::progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    if (limits.llTimeoutMs > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(qMin<qint64>(limits.llTimeoutMs, LONG_MAX)));
    if (limits.llMaxBytesPerSec > 0)
        curl_easy_setopt(curl, CURLOPT_MAX_RECV_SPEED_LARGE, curl_off_t(limits.llMaxBytesPerSec));
    QByteArray range;
    if (write == &Private::writeInfo) {
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(MaxInfoSize));
    } else {
        // An announced length beyond the bound fails before the first byte;
        // the write callback holds an unannounced one to it.
        if (limits.llMaxBodyBytes >= 0)
            curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limits.llMaxBodyBytes));
        if (limits.llRangeStart > 0) {
            range = QByteArray::number(limits.llRangeStart) + '-';
            curl_easy_setopt(curl, CURLOPT_RANGE, range.constData());
        }
    }

    if (progress(this, 0, 0, 0, 0) != 0)
        return fail(HTTP_CANCELLED, QStringLiteral("stopped"));
    const CURLcode code = curl_easy_perform(curl);
    info.curlCode = int(code);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    // The list must outlive the transfer; drop it from the handle before it goes.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);

    info.status = status;
    if (cancelled) {
        body.clear();
        return fail(HTTP_CANCELLED, QStringLiteral("stopped"));
    }
    const bool tooLargeAnswer = tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    if (statusRefused || (status != 0 && !isSuccessStatus(status) && (code == CURLE_OK || tooLargeAnswer))) {
        body.clear();
        return fail(HTTP_STATUS_FAILED, QStringLiteral("HTTP status %1").arg(status));
    }
    if (tooLargeAnswer) {
        body.clear();
        const qint64 cap = download ? limits.llMaxBodyBytes : MaxInfoSize;
        return fail(HTTP_TOO_LARGE, QStringLiteral("the answer is larger than %1 bytes").arg(cap));
    }
    if (callbackRefused)
        return fail(HTTP_WRITE_ABORTED, QStringLiteral("the receiver refused the data"));
    if (code != CURLE_OK) {
        body.clear();
        const QString message = errorBuffer[0] ? QString::fromUtf8(errorBuffer)
                                               : QString::fromUtf8(curl_easy_strerror(code));
        QString text = QStringLiteral("curl error %1: %2").arg(int(code)).arg(message);
        if (status != 0)
            text += QStringLiteral(" (HTTP status %1)").arg(status);
        return fail(HTTP_REQUEST_FAILED, text);
    }
    return HTTP_SUCCESS;
}

CHttp::CHttp()
    : d(new Private)
{
}

CHttp::~CHttp()
{
    if (d->curl)
        curl_easy_cleanup(d->curl);
}

int CHttp::InitData()
{
    if (d->curl)
        return 0;
    globalInit();
    d->curl = curl_easy_init();
    return d->curl ? 0 : -1;
}

void CHttp::setTimeOut(int connectTimeoutMs, int lowSpeedLimit, int lowSpeedTime)
{
    d->connectTimeoutMs = connectTimeoutMs;
    d->lowSpeedLimit = lowSpeedLimit;
    d->lowSpeedTime = lowSpeedTime;
}

void CHttp::setLimits(const HttpLimits &limits)
{
    d->limits = limits;
}

const HttpAnswerInfo &CHttp::answerInfo() const
{
    return d->info;
}

HTTP_ERROR CHttp::GetInfo(const QString &url, const QStringList &headers)
{
    d->download = nullptr;
    const HTTP_ERROR error = d->perform(url, headers, &Private::writeInfo);
    d->isBodyResult = error == HTTP_SUCCESS;
    if (!d->isBodyResult)
        d->body.clear();
    return error;
}

QString CHttp::GetResult() const
{
    return d->isBodyResult ? QString::fromUtf8(d->body.constData(), d->body.size()) : d->result;
}

QByteArray CHttp::resultBody() const
{
    return d->isBodyResult ? d->body : QByteArray();
}

HTTP_ERROR CHttp::DownloadFile(const QString &url, const DonwloadFileParam &param)
{
    if (!param.pfnWriteData) {
        d->isBodyResult = false;
        d->result = QStringLiteral("no write callback");
        return HTTP_INIT_FAILED;
    }
    d->download = &param;
    QStringList headers;
    if (d->limits.llRangeStart > 0 && !d->limits.baIfRange.isEmpty()) {
        headers << QStringLiteral("If-Range: ") + QString::fromLatin1(d->limits.baIfRange);
        // Some servers (object storage among them) ignore If-Range and send
        // the range of whatever the resource is now. If-Match makes them
        // answer 412 instead when an ETag no longer matches.
        if (d->limits.baIfRange.startsWith('"'))
            headers << QStringLiteral("If-Match: ") + QString::fromLatin1(d->limits.baIfRange);
    }
    const HTTP_ERROR error = d->perform(url, headers, &Private::writeDownload);
    d->download = nullptr;
    return error;
}

long CHttp::httpStatus() const
{
    return d->status;
}
