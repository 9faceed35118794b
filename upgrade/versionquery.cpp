#include "upgrade/versionquery.h"

#include "platform/beside.h"
#include "upgrade/config/serverclusterinfo.h"

#include <QCryptographicHash>
#include <QDebug>

#include <json/json.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

namespace {

// Every reader below tests the type before converting: jsoncpp's own
// conversions throw for several types, and nothing may leave the worker thread.

const Json::Value &member(const Json::Value &object, const char *key)
{
    if (!object.isObject())
        return Json::Value::nullSingleton();
    const Json::Value *found = object.find(key, key + qstrlen(key));
    return found ? *found : Json::Value::nullSingleton();
}

QString readString(const Json::Value &value)
{
    switch (value.type()) {
    case Json::stringValue: {
        const char *begin = nullptr;
        const char *end = nullptr;
        if (!value.getString(&begin, &end) || end - begin > std::numeric_limits<int>::max())
            return QString();
        return QString::fromUtf8(begin, int(end - begin));
    }
    case Json::booleanValue:
        return value.asBool() ? QStringLiteral("true") : QStringLiteral("false");
    default:
        return QString();
    }
}

qint64 readReleaseDate(const Json::Value &value)
{
    switch (value.type()) {
    case Json::intValue:
        return value.asInt64();
    case Json::uintValue:
        // Above the signed range: the nearest value we can hold.
        return value.isInt64() ? value.asInt64() : std::numeric_limits<qint64>::max();
    case Json::realValue: {
        // Truncated toward zero; out of range saturates instead of being undefined.
        const double real = std::trunc(value.asDouble());
        if (std::isnan(real))
            return 0;
        if (real >= 9223372036854775808.0)
            return std::numeric_limits<qint64>::max();
        if (real < -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return qint64(real);
    }
    case Json::booleanValue:
        return value.asBool() ? 1 : 0;
    default:
        return 0;
    }
}

double readSize(const Json::Value &value)
{
    if (!value.isString())
        return 0.0;
    bool ok = false;
    const double size = readString(value).toDouble(&ok);
    // "inf" and "nan" convert, but are no size.
    return ok && std::isfinite(size) ? size : 0.0;
}

// {"signed": BASE64, "signatures": [{"keyid": ID, "sig": BASE64}]}
bool readReleaseEnvelope(const Json::Value &release, Trust::SignedEnvelope &envelope)
{
    const Json::Value &signedValue = member(release, "signed");
    const Json::Value &signatures = member(release, "signatures");
    if (!signedValue.isString() || !signatures.isArray())
        return false;
    const char *begin = nullptr;
    const char *end = nullptr;
    if (!signedValue.getString(&begin, &end) || end - begin > std::numeric_limits<int>::max()
        || !Trust::unpackSignedBytes(QByteArray::fromRawData(begin, int(end - begin)), envelope.baSigned))
        return false;
    envelope.vecSignatures.clear();
    for (Json::ArrayIndex i = 0; i < signatures.size(); ++i) {
        const Json::Value &keyId = member(signatures[i], "keyid");
        const Json::Value &sig = member(signatures[i], "sig");
        if (!keyId.isString() || !sig.isString())
            return false;
        const auto signature = QByteArray::fromBase64Encoding(readString(sig).toLatin1(),
                                                              QByteArray::AbortOnBase64DecodingErrors);
        if (!signature)
            return false;
        envelope.vecSignatures.append(Trust::SignatureEntry{readString(keyId), *signature});
    }
    return true;
}

// "Mirrors" is no key of the original answer: a server that gets it wrong
// still delivers from the primary URL, so a bad value is logged and dropped,
// never a reason to refuse the answer. Which of the URLs may be used is
// decided where the packet is fetched.
QStringList readMirrors(const Json::Value &value, const QString &strId)
{
    constexpr Json::ArrayIndex MaxMirrors = 16;
    QStringList mirrors;
    if (value.isNull())
        return mirrors;
    if (!value.isArray()) {
        qWarning() << "ignoring \"Mirrors\" of " << strId << ": not an array";
        return mirrors;
    }
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        const QString mirror = value[i].isString() ? readString(value[i]) : QString();
        if (mirror.isEmpty() || i >= MaxMirrors) {
            qWarning() << "ignoring \"Mirrors\" entry " << i << " of " << strId;
            continue;
        }
        mirrors << mirror;
    }
    return mirrors;
}

// The answer's text as the classic reader reads it: the builder is laxer by
// default, and these settings restore its grammar exactly, so that a
// malformed answer is not taken as valid. Throws as jsoncpp does.
bool parseJson(const char *begin, const char *end, Json::Value &root)
{
    // The builder's reader takes a number with a leading '+', which the
    // classic one refuses; outside strings a '+' belongs to an exponent.
    bool isInString = false;
    for (const char *p = begin; p != end; ++p) {
        if (isInString) {
            if (*p == '\\' && p + 1 != end)
                ++p;
            else if (*p == '"')
                isInString = false;
        } else if (*p == '"') {
            isInString = true;
        } else if (*p == '/' && p + 1 != end && (p[1] == '/' || p[1] == '*')) {
            // Comments, which the classic reader allows, may say anything.
            const bool isLine = p[1] == '/';
            for (p += 2; p != end; ++p) {
                if (isLine ? *p == '\n' : (*p == '*' && p + 1 != end && p[1] == '/'))
                    break;
            }
            if (p == end)
                break;
            if (!isLine)
                ++p;
        } else if (*p == '+' && (p == begin || (p[-1] != 'e' && p[-1] != 'E'))) {
            return false;
        }
    }
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowTrailingCommas"] = false;
    builder["skipBom"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(begin, end, &root, &errors);
}

// Where the value of the top-level member strKey of a JSON object stands,
// found from the structure alone: strings are skipped with their escapes,
// brackets counted, nothing decoded. A first look that a full reading
// confirms; false where the text is not that simple.
bool findTopLevelMember(const QByteArray &json, const QByteArray &key, int &nBegin, int &nEnd)
{
    const char *p = json.constData();
    const int n = json.size();
    int i = 0;
    const auto skipSpace = [&] {
        while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\n' || p[i] == '\r'))
            ++i;
    };
    const auto skipString = [&] {
        for (++i; i < n; ++i) {
            if (p[i] == '\\')
                ++i;
            else if (p[i] == '"')
                return ++i <= n;
        }
        return false;
    };
    const auto skipValue = [&] {
        if (i < n && p[i] == '"')
            return skipString();
        if (i < n && (p[i] == '{' || p[i] == '[')) {
            for (int depth = 0; i < n;) {
                if (p[i] == '"') {
                    if (!skipString())
                        return false;
                    continue;
                }
                if (p[i] == '{' || p[i] == '[')
                    ++depth;
                else if ((p[i] == '}' || p[i] == ']') && --depth == 0)
                    return ++i <= n;
                ++i;
            }
            return false;
        }
        const int start = i;
        while (i < n && p[i] != ',' && p[i] != '}' && p[i] != ']' && p[i] != ' ' && p[i] != '\n' && p[i] != '\r'
               && p[i] != '\t')
            ++i;
        return i > start;
    };
    bool isFound = false;
    skipSpace();
    if (i >= n || p[i++] != '{')
        return false;
    for (;;) {
        skipSpace();
        if (i < n && p[i] == '}')
            return isFound;
        if (i >= n || p[i] != '"')
            return false;
        const int keyBegin = i + 1;
        if (!skipString())
            return false;
        const int keyEnd = i - 1;
        skipSpace();
        if (i >= n || p[i++] != ':')
            return false;
        skipSpace();
        const int valueBegin = i;
        if (!skipValue())
            return false;
        // The last of several equal keys counts, as for the reader.
        if (keyEnd - keyBegin == key.size() && std::memcmp(p + keyBegin, key.constData(), size_t(key.size())) == 0) {
            nBegin = valueBegin;
            nEnd = i;
            isFound = true;
        }
        skipSpace();
        if (i < n && p[i] == ',')
            ++i;
        else if (i >= n || p[i] != '}')
            return false;
    }
}

bool isErrorRetcode(const Json::Value &retcode)
{
    if (retcode.type() != Json::intValue && retcode.type() != Json::uintValue)
        return false;
    return retcode.isInt() && retcode.asInt() != 0;
}

} // namespace

VersionRequest buildVersionRequest(const ServerClusterInfo &info, qint64 number)
{
    VersionRequest request;
    if (info.nCurrIndex < 0 || info.nCurrIndex >= info.vecServers.size())
        return request;
    const QPair<QString, QString> &server = info.vecServers.at(info.nCurrIndex);
    request.strPathPart = info.strPath + QStringLiteral("/%1").arg(number);
    const bool isPlain = server.first == QLatin1String("test") || server.first == QLatin1String("inter");
    const QLatin1String scheme = isPlain ? QLatin1String("http://") : QLatin1String("https://");
    request.strUrl = scheme + server.second + info.strPrefix + request.strPathPart;
    request.strToken = QString::fromLatin1(
        QCryptographicHash::hash((request.strPathPart + info.strKey).toUtf8(), QCryptographicHash::Md5).toHex());
    request.strHeader = QLatin1String("token:") + request.strToken;
    return request;
}

bool readVersionAnswer(const QByteArray &answer, QVector<ModuleVersion> &vecServerModuleVersion)
{
    return readVersionAnswer(answer, vecServerModuleVersion, nullptr, nullptr);
}

bool readVersionAnswer(const QByteArray &answer, QVector<ModuleVersion> &vecServerModuleVersion,
                       Trust::SignedEnvelope *pRelease, bool *pHasRelease)
{
    if (pHasRelease)
        *pHasRelease = false;
    try {
        Json::Value root;
        if (!parseJson(answer.constData(), answer.constData() + answer.size(), root)) {
            qWarning() << "parse json failed!";
            return false;
        }

        if (isErrorRetcode(member(root, "retcode"))) {
            qWarning() << "get json error failed!";
            return false;
        }

        const Json::Value &value = member(root, "value");
        if (!value.isNull() && !value.isObject()) {
            qWarning() << "json format error failed!";
            return false;
        }
        const Json::Value &upgrade = member(value, "upgrade");
        if (!upgrade.isNull() && !upgrade.isArray()) {
            qWarning() << "json format error failed!";
            return false;
        }

        // The signed document's bytes are unpacked on a second thread while
        // the modules are read: for thousands of modules both take milliseconds.
        const Json::Value *release = pRelease && pHasRelease ? &member(root, "release") : nullptr;
        std::future<bool> envelope;
        if (release && !release->isNull())
            envelope = startBeside([release, pRelease] { return readReleaseEnvelope(*release, *pRelease); });

        const Json::ArrayIndex count = upgrade.isArray() ? upgrade.size() : 0;
        ModuleVersion moduleVersion;
        for (Json::ArrayIndex i = 0; i < count; ++i) {
            const Json::Value &element = upgrade[i];
            if (!element.isNull() && !element.isObject()) {
                qWarning() << "json format error failed!";
                return false;
            }
            moduleVersion.strId = readString(member(element, "ID"));
            if (moduleVersion.strId.isEmpty()) {
                qWarning() << "json format error failed!";
                return false;
            }
            QString strUrl = readString(member(element, "OutUrl"));
            if (strUrl.isEmpty())
                strUrl = readString(member(element, "Url"));
            if (strUrl.isEmpty()) {
                qWarning() << "json format error failed!";
                return false;
            }
            moduleVersion.strUrl = strUrl;
            moduleVersion.strIconUrl = readString(member(element, "IconUrl"));
            if (moduleVersion.strIconUrl.isEmpty()) {
                qWarning() << "json format error failed!";
                return false;
            }
            moduleVersion.strDesc = readString(member(element, "Desc"));
            moduleVersion.llReleaseDate = readReleaseDate(member(element, "ReleaseDate"));
            moduleVersion.dSize = readSize(member(element, "Size"));
            moduleVersion.strVersion = readString(member(element, "Version"));
            moduleVersion.listMirrors = readMirrors(member(element, "Mirrors"), moduleVersion.strId);
            vecServerModuleVersion.append(moduleVersion);
        }
        if (envelope.valid() && !(*pHasRelease = envelope.get()))
            qWarning() << "the signed release document of the answer is malformed";
        return true;
    } catch (const Json::Exception &) {
        // jsoncpp throws for nesting deeper than its limit instead of failing the parse.
        qWarning() << "parse json failed!";
        return false;
    } catch (const std::exception &) {
        qWarning() << "parse json failed!";
        return false;
    }
}

bool findReleaseEnvelope(const QByteArray &answer, Trust::SignedEnvelope &envelope)
{
    int begin = 0;
    int end = 0;
    if (!findTopLevelMember(answer, QByteArrayLiteral("release"), begin, end))
        return false;
    try {
        Json::Value release;
        return parseJson(answer.constData() + begin, answer.constData() + end, release)
            && readReleaseEnvelope(release, envelope);
    } catch (const std::exception &) {
        return false;
    }
}
