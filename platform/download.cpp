#include "platform/download.h"

#include "platform/readfile.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QThread>

#include <limits>

namespace {

const QByteArray stateMagic("tarvex-partial-data 1");

qint64 envNumber(const char *name, qint64 minimum, bool &isSet)
{
    isSet = false;
    if (qEnvironmentVariableIsEmpty(name))
        return 0;
    bool ok = false;
    const qint64 value = qEnvironmentVariable(name).trimmed().toLongLong(&ok);
    if (!ok || value < minimum) {
        qInfo() << "ignoring " << name << " = " << qEnvironmentVariable(name);
        return 0;
    }
    isSet = true;
    return value;
}

// A strong ETag identifies the bytes; a weak one (W/) may not be used for a
// range, and then the date is the best we have.
QByteArray validatorOf(const HttpAnswerInfo &info)
{
    if (!info.etag.isEmpty() && !info.etag.startsWith("W/"))
        return info.etag;
    return info.lastModified;
}

QByteArray identityHash(const QByteArray &identity)
{
    return QCryptographicHash::hash(identity, QCryptographicHash::Sha256).toHex();
}

// True when the partial data belongs to this identity; validator is what
// the answer that started it said (possibly nothing).
bool readState(const QString &path, const QByteArray &identity, QByteArray &validator)
{
    validator.clear();
    if (path.isEmpty())
        return false;
    QByteArray content;
    QString error;
    if (!readFileBounded(path, 4096, content, error))
        return false;
    const QList<QByteArray> lines = content.split('\n');
    if (lines.size() < 3 || lines.at(0) != stateMagic || lines.at(1) != "identity " + identityHash(identity)
        || !lines.at(2).startsWith("validator "))
        return false;
    validator = lines.at(2).mid(10);
    return true;
}

bool writeState(const QString &path, const QByteArray &identity, const QByteArray &validator)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(stateMagic + "\nidentity " + identityHash(identity) + "\nvalidator " + validator + "\n");
    return file.commit();
}

// Sleeps in short slices; false when a stop came first.
bool pause(qint64 ms, const std::atomic<bool> *pStop)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        if (pStop && pStop->load())
            return false;
        QThread::msleep(ulong(qBound<qint64>(1, ms - timer.elapsed(), 100)));
    }
    return !(pStop && pStop->load());
}

// Exponential with "equal jitter": half the step is fixed, half random, so
// that clients cut off together do not come back together. The server's
// Retry-After takes the place of our own guess, up to the cap.
qint64 retryDelayMs(const DownloadPolicy &policy, int failuresInRow, const HttpAnswerInfo &info)
{
    if (info.llRetryAfterMs >= 0)
        return qMin<qint64>(info.llRetryAfterMs, policy.nRetryAfterCapMs);
    qint64 step = qMax(0, policy.nBackoffBaseMs);
    for (int i = 1; i < failuresInRow && step < policy.nBackoffCapMs; ++i)
        step *= 2;
    step = qMin<qint64>(step, policy.nBackoffCapMs);
    return step / 2 + (step > 1 ? qint64(QRandomGenerator::global()->bounded(double(step / 2 + 1))) : 0);
}

qint64 remainingMs(const DownloadPolicy &policy, const QElapsedTimer &timer)
{
    if (policy.llDeadlineMs <= 0)
        return std::numeric_limits<qint64>::max();
    return policy.llDeadlineMs - timer.elapsed();
}

// One request's bookkeeping, between CHttp and the receiver.
struct Attempt
{
    CHttp *http = nullptr;
    CDownloadReceiver *receiver = nullptr;
    const DownloadRequest *request = nullptr;
    qint64 llAskedFrom = 0;  // range start sent, 0 for none
    bool isStarted = false;
    qint64 llStart = 0;
    qint64 llReceived = 0;
    bool isRefused = false;  // by the receiver: final
    bool isTooLarge = false;
    bool isRangeMismatch = false;
    qint64 llRate = 0;
    const std::atomic<bool> *pStop = nullptr;
    QElapsedTimer pace;

    bool start()
    {
        const HttpAnswerInfo &info = http->answerInfo();
        if (info.status == 206) {
            // A range other than the one asked for would splice wrong bytes in.
            if (llAskedFrom == 0 || info.llRangeStart != llAskedFrom) {
                isRangeMismatch = true;
                return false;
            }
            llStart = llAskedFrom;
        } else {
            llStart = 0;
        }
        isStarted = true;
        if (!receiver->startAt(llStart)) {
            isRefused = true;
            return false;
        }
        if (llStart == 0 && !request->strStatePath.isEmpty()) {
            if (!writeState(request->strStatePath, request->baIdentity, validatorOf(info))) {
                qInfo() << "cannot write " << request->strStatePath << ": the download will not resume";
                removeDownloadState(request->strStatePath);
            }
        }
        return true;
    }

    // libcurl's own limit lets a burst through at the start; holding each
    // block until its time has come keeps the average where it is asked,
    // and TCP passes the wait on to the server.
    bool keepPace()
    {
        if (llRate <= 0)
            return true;
        if (!pace.isValid())
            pace.start();
        const qint64 dueNs = qint64(double(llReceived) * 1e9 / double(llRate));
        for (qint64 waitNs = dueNs - pace.nsecsElapsed(); waitNs > 0; waitNs = dueNs - pace.nsecsElapsed()) {
            if (pStop && pStop->load())
                return false;
            QThread::usleep(ulong(qMin<qint64>(waitNs / 1000 + 1, 100000)));
        }
        return true;
    }

    static quint64 receive(const void *data, quint64 size, quint64 count, void *userData)
    {
        Attempt *self = static_cast<Attempt *>(userData);
        const qint64 bytes = qint64(size * count);
        if (!self->isStarted && !self->start())
            return 0;
        const qint64 max = self->request->llMaxBytes;
        if (max >= 0 && bytes > max - self->llStart - self->llReceived) {
            self->isTooLarge = true;
            return 0;
        }
        if (!self->receiver->write(static_cast<const char *>(data), bytes)) {
            self->isRefused = true;
            return 0;
        }
        self->llReceived += bytes;
        return self->keepPace() ? quint64(bytes) : 0;
    }
};

} // namespace

DownloadPolicy DownloadPolicy::versionQuery()
{
    DownloadPolicy policy;
    policy.nMaxRetries = 2;
    policy.nMaxAttempts = 3;
    policy.llDeadlineMs = 60000;
    policy.llAttemptTimeoutMs = 30000;
    policy.nRetryAfterCapMs = 10000;
    policy.nBackoffCapMs = 5000;
    return policy;
}

void DownloadPolicy::readEnvironment()
{
    bool isSet = false;
    const qint64 retries = envNumber("TARVEX_DOWNLOAD_RETRIES", 0, isSet);
    if (isSet)
        nMaxRetries = int(qMin<qint64>(retries, 1000));
    const qint64 window = envNumber("TARVEX_DOWNLOAD_RETRY_WINDOW", 0, isSet);
    if (isSet)
        llRetryWindowMs = qMin<qint64>(window, 365LL * 24 * 3600) * 1000;
    const qint64 deadline = envNumber("TARVEX_DOWNLOAD_DEADLINE", 0, isSet);
    if (isSet)
        llDeadlineMs = qMin<qint64>(deadline, 365LL * 24 * 3600) * 1000;
    if (!qEnvironmentVariableIsEmpty("TARVEX_DOWNLOAD_LIMIT_RATE")) {
        const qint64 rate = parseRate(qEnvironmentVariable("TARVEX_DOWNLOAD_LIMIT_RATE"));
        if (rate < 0)
            qInfo() << "ignoring TARVEX_DOWNLOAD_LIMIT_RATE = " << qEnvironmentVariable("TARVEX_DOWNLOAD_LIMIT_RATE");
        else
            llMaxBytesPerSec = rate;
    }
}

qint64 parseRate(const QString &text)
{
    QString number = text.trimmed();
    double factor = 1;
    if (number.endsWith(QLatin1Char('k'), Qt::CaseInsensitive))
        factor = 1024;
    else if (number.endsWith(QLatin1Char('m'), Qt::CaseInsensitive))
        factor = 1024 * 1024;
    else if (number.endsWith(QLatin1Char('g'), Qt::CaseInsensitive))
        factor = 1024.0 * 1024 * 1024;
    if (factor > 1)
        number.chop(1);
    bool ok = false;
    const double value = number.toDouble(&ok) * factor;
    if (!ok || !(value >= 0) || value > 1e15)
        return -1;
    return qint64(value);
}

bool isTransientFailure(HTTP_ERROR error, const HttpAnswerInfo &info)
{
    if (error == HTTP_STATUS_FAILED)
        return info.status == 408 || info.status == 429 || (info.status >= 500 && info.status < 600);
    if (error != HTTP_REQUEST_FAILED)
        return false;
    switch (info.curlCode) {
    case 6:  // CURLE_COULDNT_RESOLVE_HOST: hotel networks lose their DNS for a moment
    case 7:  // CURLE_COULDNT_CONNECT
    case 16: // CURLE_HTTP2
    case 18: // CURLE_PARTIAL_FILE: the connection ended inside the body
    case 28: // CURLE_OPERATION_TIMEDOUT, the low-speed limit included
    case 35: // CURLE_SSL_CONNECT_ERROR
    case 52: // CURLE_GOT_NOTHING
    case 55: // CURLE_SEND_ERROR
    case 56: // CURLE_RECV_ERROR
    case 92: // CURLE_HTTP2_STREAM
        return true;
    default:
        return false;
    }
}

bool removeDownloadState(const QString &strStatePath)
{
    return strStatePath.isEmpty() || !QFile::exists(strStatePath) || QFile::remove(strStatePath);
}

HTTP_ERROR getInfoWithRetries(CHttp &http, const QString &url, const QStringList &headers,
                              const DownloadPolicy &policy, const std::atomic<bool> *pStop)
{
    QElapsedTimer timer;
    timer.start();
    for (int attempt = 1;; ++attempt) {
        HttpLimits limits;
        limits.pStop = pStop;
        limits.llMaxBytesPerSec = policy.llMaxBytesPerSec;
        const qint64 left = remainingMs(policy, timer);
        limits.llTimeoutMs = policy.llAttemptTimeoutMs > 0 ? qMin(policy.llAttemptTimeoutMs, left) : left;
        if (limits.llTimeoutMs == std::numeric_limits<qint64>::max())
            limits.llTimeoutMs = 0;
        http.setLimits(limits);
        const HTTP_ERROR error = http.GetInfo(url, headers);
        if (error == HTTP_SUCCESS || !isTransientFailure(error, http.answerInfo()) || attempt > policy.nMaxRetries
            || attempt >= policy.nMaxAttempts)
            return error;
        const qint64 delay = retryDelayMs(policy, attempt, http.answerInfo());
        // A pause that runs into the deadline only delays the failure.
        if (delay + 1000 >= remainingMs(policy, timer))
            return error;
        qInfo() << "get " << url << " failed: " << http.GetResult() << ", retrying in " << delay << " ms";
        if (!pause(delay, pStop))
            return error;
    }
}

bool downloadResumable(const DownloadRequest &request, const DownloadPolicy &policy, int connectTimeoutMs,
                       int lowSpeedLimit, int lowSpeedTime, CDownloadReceiver &receiver,
                       const std::atomic<bool> *pStop, DownloadOutcome &outcome)
{
    outcome = DownloadOutcome();
    QElapsedTimer timer;
    timer.start();
    qint64 lastProgressMs = 0;

    QByteArray validator;
    const bool isSameIdentity = readState(request.strStatePath, request.baIdentity, validator);
    const bool canResumeEarlier = request.llExistingBytes > 0 && isSameIdentity
        && (!validator.isEmpty() || request.llExactBytes >= 0)
        && (request.llExactBytes < 0 || request.llExistingBytes < request.llExactBytes)
        && (request.llMaxBytes < 0 || request.llExistingBytes <= request.llMaxBytes);
    qint64 position = canResumeEarlier ? request.llExistingBytes : 0;
    bool isEarlierKept = canResumeEarlier;

    for (int urlIndex = 0; urlIndex < request.listUrls.size(); ++urlIndex) {
        const QString &url = request.listUrls.at(urlIndex);
        outcome.strUrl = url;
        int failuresInRow = 0;
        for (;;) {
            if (pStop && pStop->load()) {
                outcome.isStopped = true;
                outcome.error = HTTP_CANCELLED;
                outcome.strError = QStringLiteral("stopped");
                return false;
            }
            const qint64 left = remainingMs(policy, timer);
            if (left <= 0 || outcome.nAttempts >= policy.nMaxAttempts) {
                qInfo() << "giving up " << url << " after " << outcome.nAttempts << " attempts";
                return false;
            }
            ++outcome.nAttempts;

            CHttp http;
            if (http.InitData() != 0) {
                outcome.error = HTTP_INIT_FAILED;
                outcome.strError = QStringLiteral("the HTTP client is not initialised");
                return false;
            }
            http.setTimeOut(connectTimeoutMs, lowSpeedLimit, lowSpeedTime);
            HttpLimits limits;
            limits.pStop = pStop;
            limits.llTimeoutMs = policy.llAttemptTimeoutMs > 0 ? qMin(policy.llAttemptTimeoutMs, left)
                                                               : (policy.llDeadlineMs > 0 ? left : 0);
            // Without a way to tell the bytes unchanged, a range could splice
            // two versions of the packet together: then start over.
            const bool isRange = position > 0 && (!validator.isEmpty() || request.llExactBytes >= 0);
            limits.llRangeStart = isRange ? position : 0;
            limits.baIfRange = isRange ? validator : QByteArray();
            // Held to the bound here when the body is whole; a range's own
            // length is checked against it in the receiving callback.
            limits.llMaxBodyBytes = isRange ? -1 : request.llMaxBytes;
            http.setLimits(limits);

            Attempt attempt;
            attempt.http = &http;
            attempt.receiver = &receiver;
            attempt.request = &request;
            attempt.llAskedFrom = limits.llRangeStart;
            attempt.llRate = policy.llMaxBytesPerSec;
            attempt.pStop = pStop;
            DonwloadFileParam param;
            param.pfnWriteData = &Attempt::receive;
            param.pUserData = &attempt;
            HTTP_ERROR error = http.DownloadFile(url, param);
            const HttpAnswerInfo info = http.answerInfo();
            // A body that is empty never reached the callback.
            if (error == HTTP_SUCCESS && !attempt.isStarted && !attempt.start())
                error = HTTP_WRITE_ABORTED;

            outcome.llReceivedBytes += attempt.llReceived;
            outcome.error = error;
            outcome.strError = http.GetResult();
            if (attempt.isStarted) {
                if (attempt.llStart == 0 || !isEarlierKept) {
                    isEarlierKept = false;
                    outcome.llResumedBytes = 0;
                } else {
                    outcome.llResumedBytes = request.llExistingBytes;
                }
                if (attempt.llStart == 0)
                    validator = validatorOf(info);
                position = attempt.llStart + attempt.llReceived;
            }
            if (attempt.llReceived > 0) {
                failuresInRow = 0;
                lastProgressMs = timer.elapsed();
            }
            if (error == HTTP_SUCCESS)
                return true;

            if (error == HTTP_CANCELLED || (pStop && pStop->load())) {
                outcome.isStopped = true;
                return false;
            }
            if (attempt.isRefused) {
                outcome.strError = QStringLiteral("the receiver refused the data");
                return false;
            }
            if (attempt.isTooLarge || error == HTTP_TOO_LARGE) {
                outcome.error = HTTP_TOO_LARGE;
                outcome.strError = QStringLiteral("the body is larger than %1 bytes").arg(request.llMaxBytes);
                qInfo() << "get " << url << " failed: " << outcome.strError;
                position = 0;
                break;
            }
            ++failuresInRow;
            // The range no longer fits the resource (416), the resource is
            // no longer the one the partial data came from (412 to If-Match),
            // or the server answered another range: the partial data is obsolete.
            if (attempt.isRangeMismatch
                || (error == HTTP_STATUS_FAILED && (info.status == 416 || (info.status == 412 && isRange)))) {
                qInfo() << "get " << url << ": range from " << limits.llRangeStart
                           << " refused, starting over from zero";
                position = 0;
                validator.clear();
                isEarlierKept = false;
                outcome.llResumedBytes = 0;
                removeDownloadState(request.strStatePath);
                if (failuresInRow <= policy.nMaxRetries)
                    continue;
                break;
            }
            if (!isTransientFailure(error, info)) {
                qInfo() << "get " << url << " failed for good: " << outcome.strError;
                break;
            }
            if (failuresInRow > policy.nMaxRetries) {
                qInfo() << "get " << url << " failed " << failuresInRow << " times in a row: " << outcome.strError;
                break;
            }
            if (timer.elapsed() - lastProgressMs > policy.llRetryWindowMs) {
                qInfo() << "get " << url << " made no progress for " << (timer.elapsed() - lastProgressMs)
                           << " ms: " << outcome.strError;
                break;
            }
            const qint64 delay = retryDelayMs(policy, failuresInRow, info);
            if (delay >= remainingMs(policy, timer)) {
                qInfo() << "get " << url << " failed and the deadline is near: " << outcome.strError;
                return false;
            }
            qInfo() << "get " << url << " failed at byte " << position << ": " << outcome.strError
                       << ", retrying in " << delay << " ms";
            if (!pause(delay, pStop)) {
                outcome.isStopped = true;
                outcome.error = HTTP_CANCELLED;
                return false;
            }
        }
    }
    return false;
}
