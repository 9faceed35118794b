#include "s3client.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <QUrl>

#include <curl/curl.h>

#include <cstring>
#include <mutex>

namespace ReleaseTool {

namespace {

constexpr int maxAttempts = 4;
constexpr qint64 maxAnswerBytes = 64 * 1024;

struct SListDeleter
{
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

// Worth another attempt: no connection, a cut one, a time-out, or a server
// that says it is busy.
bool isTransient(int curlCode, long status)
{
    if (curlCode == CURLE_OK)
        return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
    return curlCode == CURLE_COULDNT_CONNECT || curlCode == CURLE_OPERATION_TIMEDOUT || curlCode == CURLE_SEND_ERROR
        || curlCode == CURLE_RECV_ERROR || curlCode == CURLE_GOT_NOTHING || curlCode == CURLE_SSL_CONNECT_ERROR
        || curlCode == CURLE_PARTIAL_FILE || curlCode == CURLE_COULDNT_RESOLVE_HOST;
}

} // namespace

struct CS3Client::Private
{
    QByteArray endpoint;
    QByteArray bucket;
    QByteArray accessKey;
    QByteArray secretKey;
    QByteArray sessionToken;
    QByteArray sigv4;
    CURL *curl = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    // The request in progress.
    QByteArray answer;
    QFile *file = nullptr;
    QByteArray bytes;
    qint64 offset = 0;
    bool isReadFailed = false;

    static size_t write(char *data, size_t size, size_t count, void *userData)
    {
        Private *d = static_cast<Private *>(userData);
        const size_t length = size * count;
        if (d->answer.size() < maxAnswerBytes)
            d->answer.append(data, int(qMin<qint64>(qint64(length), maxAnswerBytes - d->answer.size())));
        return length;
    }

    static size_t read(char *buffer, size_t size, size_t count, void *userData)
    {
        Private *d = static_cast<Private *>(userData);
        const qint64 room = qint64(size * count);
        if (d->file) {
            const qint64 got = d->file->read(buffer, room);
            if (got < 0) {
                d->isReadFailed = true;
                return CURL_READFUNC_ABORT;
            }
            return size_t(got);
        }
        const qint64 got = qMin<qint64>(room, d->bytes.size() - d->offset);
        std::memcpy(buffer, d->bytes.constData() + d->offset, size_t(got));
        d->offset += got;
        return size_t(got);
    }

    // One request, tried again while it fails in a way that may pass. The
    // status of the last answer, 0 when none came (strError says why).
    long request(const char *method, const QString &strKey, const QList<QByteArray> &headers, qint64 llUpload,
                 qint64 *pContentLength, QString &strError)
    {
        long status = 0;
        for (int attempt = 1; attempt <= maxAttempts; ++attempt) {
            if (attempt > 1)
                QThread::msleep(1000UL << (attempt - 2));
            answer.clear();
            offset = 0;
            isReadFailed = false;
            if (file && !file->seek(0)) {
                strError = QStringLiteral("cannot read %1: %2").arg(file->fileName(), file->errorString());
                return 0;
            }
            int code = CURLE_OK;
            status = once(method, strKey, headers, llUpload, pContentLength, code);
            if (code == CURLE_OK && status >= 200 && status < 300)
                return status;
            strError = code != CURLE_OK
                ? QStringLiteral("%1 %2: %3").arg(QLatin1String(method), url(strKey),
                                                 QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(CURLcode(code))))
                : QStringLiteral("%1 %2: HTTP status %3 %4")
                      .arg(QLatin1String(method), url(strKey))
                      .arg(status)
                      .arg(QString::fromUtf8(answer.left(400)).simplified());
            if (isReadFailed) {
                strError = QStringLiteral("cannot read %1: %2").arg(file->fileName(), file->errorString());
                return 0;
            }
            if (!isTransient(code, status))
                return code == CURLE_OK ? status : 0;
        }
        return 0;
    }

    QString url(const QString &strKey) const
    {
        QByteArray path = endpoint + '/' + bucket;
        if (!strKey.isEmpty())
            path += '/' + QUrl::toPercentEncoding(strKey, "/");
        return QString::fromUtf8(path);
    }

    long once(const char *method, const QString &strKey, const QList<QByteArray> &headers, qint64 llUpload,
              qint64 *pContentLength, int &code)
    {
        errorBuffer[0] = '\0';
        curl_easy_reset(curl);
        const QByteArray target = url(strKey).toUtf8();
        curl_easy_setopt(curl, CURLOPT_URL, target.constData());
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 20000L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "tarvex-release");
        // As for the engine: libcurl leaves CURL_CA_BUNDLE to the curl tool.
        const QByteArray caBundle = qgetenv("CURL_CA_BUNDLE");
        if (!caBundle.isEmpty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, caBundle.constData());
        curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.constData());
        // Set apart: an access key may hold a colon, where a "user:password"
        // string would be split.
        curl_easy_setopt(curl, CURLOPT_USERNAME, accessKey.constData());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, secretKey.constData());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Private::write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);

        std::unique_ptr<curl_slist, SListDeleter> list;
        QList<QByteArray> lines = headers;
        // Required by S3 servers with Signature V4; the body is not hashed
        // twice (TLS and the clients' SHA-256 guard it).
        lines << "x-amz-content-sha256: UNSIGNED-PAYLOAD";
        if (!sessionToken.isEmpty())
            lines << "x-amz-security-token: " + sessionToken;
        for (const QByteArray &line : qAsConst(lines)) {
            curl_slist *appended = curl_slist_append(list.get(), line.constData());
            if (appended) {
                list.release();
                list.reset(appended);
            }
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
        if (qstrcmp(method, "HEAD") == 0) {
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        } else if (qstrcmp(method, "PUT") == 0) {
            curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(llUpload));
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Private::read);
            curl_easy_setopt(curl, CURLOPT_READDATA, this);
            // Fewer, larger reads and sends.
            curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 1024L * 1024L);
        }
        code = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t length = -1;
        if (pContentLength && curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
            *pContentLength = qint64(length);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        return status;
    }
};

CS3Client::CS3Client(const QString &strEndpoint, const QString &strBucket, const Credentials &credentials)
    : d(new Private)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    d->endpoint = strEndpoint.toUtf8();
    while (d->endpoint.endsWith('/'))
        d->endpoint.chop(1);
    d->bucket = strBucket.toUtf8();
    d->accessKey = credentials.strAccessKey.toUtf8();
    d->secretKey = credentials.strSecretKey.toUtf8();
    d->sessionToken = credentials.baSessionToken;
    d->sigv4 = "aws:amz:" + credentials.strRegion.toUtf8() + ":s3";
    d->curl = curl_easy_init();
}

CS3Client::~CS3Client()
{
    if (d->curl)
        curl_easy_cleanup(d->curl);
}

bool CS3Client::credentialsFromEnvironment(Credentials &credentials, QString &strError)
{
    credentials.strAccessKey = qEnvironmentVariable("AWS_ACCESS_KEY_ID");
    credentials.strSecretKey = qEnvironmentVariable("AWS_SECRET_ACCESS_KEY");
    credentials.baSessionToken = qgetenv("AWS_SESSION_TOKEN");
    for (const char *name : {"AWS_REGION", "AWS_DEFAULT_REGION"}) {
        if (!qEnvironmentVariableIsEmpty(name)) {
            credentials.strRegion = qEnvironmentVariable(name);
            break;
        }
    }
    if (credentials.strAccessKey.isEmpty() || credentials.strSecretKey.isEmpty()) {
        strError = QStringLiteral("set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY to the storage's access key and "
                                  "secret (and AWS_REGION, default us-east-1)");
        return false;
    }
    static const QRegularExpression regionPattern(QStringLiteral("^[a-z0-9-]{1,40}$"));
    if (!regionPattern.match(credentials.strRegion).hasMatch()) {
        strError = QStringLiteral("AWS_REGION \"%1\" is no region name").arg(credentials.strRegion);
        return false;
    }
    return true;
}

bool CS3Client::ensureBucket(bool isDryRun, bool &isCreated, QString &strError)
{
    isCreated = false;
    if (!d->curl) {
        strError = QStringLiteral("libcurl cannot start");
        return false;
    }
    const long status = d->request("HEAD", QString(), {}, 0, nullptr, strError);
    if (status == 200)
        return true;
    if (status != 404) {
        if (status == 403)
            strError += QStringLiteral(" (check AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_REGION)");
        return false;
    }
    if (isDryRun) {
        isCreated = true;
        return true;
    }
    const long created = d->request("PUT", QString(), {"x-amz-acl: public-read"}, 0, nullptr, strError);
    isCreated = created == 200;
    return isCreated;
}

bool CS3Client::objectSize(const QString &strKey, qint64 &llBytes, QString &strError)
{
    llBytes = -1;
    qint64 length = -1;
    const long status = d->request("HEAD", strKey, {}, 0, &length, strError);
    if (status == 200)
        llBytes = length;
    return status == 200 || status == 404;
}

bool CS3Client::putFile(const QString &strKey, const QString &strPath, const QByteArray &baContentType,
                        const QByteArray &baCacheControl, QString &strError)
{
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly)) {
        strError = QStringLiteral("cannot read %1: %2").arg(strPath, file.errorString());
        return false;
    }
    if (file.size() > MaxObjectBytes) {
        strError = QStringLiteral("%1 is larger than the %2 bytes one upload may carry").arg(strPath).arg(MaxObjectBytes);
        return false;
    }
    d->file = &file;
    const long status = d->request("PUT", strKey,
                                   {"Content-Type: " + baContentType, "Cache-Control: " + baCacheControl}, file.size(),
                                   nullptr, strError);
    d->file = nullptr;
    return status == 200;
}

bool CS3Client::putBytes(const QString &strKey, const QByteArray &baContent, const QByteArray &baContentType,
                         const QByteArray &baCacheControl, QString &strError)
{
    d->bytes = baContent;
    const long status = d->request("PUT", strKey,
                                   {"Content-Type: " + baContentType, "Cache-Control: " + baCacheControl},
                                   baContent.size(), nullptr, strError);
    d->bytes.clear();
    return status == 200;
}

} // namespace ReleaseTool
