#include "upgrade/trust/releasedocument.h"

#include "platform/beside.h"
#include "upgrade/files/filenamerule.h"
#include "upgrade/trust/jsonview.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <cmath>

namespace Trust {

namespace {

const char releaseType[] = "tarvex-release";
const char timeFormat[] = "yyyy-MM-ddThh:mm:ssZ";

// JSON numbers are doubles: integers beyond 2^53 would not come back exactly.
constexpr double maxExactInteger = 9007199254740992.0;

// The readers below serve two kinds of value: the signed document through
// CJsonView, read fast and once, and the publisher's manifest through
// QJsonValue. These give both the same shape.
CJsonView member(const CJsonView &object, const char *pKey) { return object.value(pKey); }
QJsonValue member(const QJsonObject &object, const char *pKey) { return object.value(QLatin1String(pKey)); }
const CJsonView &asArray(const CJsonView &value) { return value; }
QJsonArray asArray(const QJsonValue &value) { return value.toArray(); }
const CJsonView &asObject(const CJsonView &value) { return value; }
QJsonObject asObject(const QJsonValue &value) { return value.toObject(); }

// 64 hexadecimal digits into 32 bytes; anything else is no SHA-256.
// -1 for what is no hexadecimal digit; a table: ten thousand modules bring
// twenty thousand hashes.
struct HexTable
{
    signed char digit[256];
    constexpr HexTable() : digit()
    {
        for (int i = 0; i < 256; ++i)
            digit[i] = -1;
        for (int i = 0; i < 10; ++i)
            digit['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            digit['a' + i] = static_cast<signed char>(10 + i);
            digit['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr HexTable hexTable;

int hexDigit(char c)
{
    return hexTable.digit[static_cast<unsigned char>(c)];
}

bool decodeSha256(const QByteArray &hex, QByteArray &sha256)
{
    if (hex.size() != 64)
        return false;
    char bytes[32];
    for (int i = 0; i < 32; ++i) {
        const int high = hexDigit(hex.at(2 * i));
        const int low = hexDigit(hex.at(2 * i + 1));
        if (high < 0 || low < 0)
            return false;
        bytes[i] = char(high << 4 | low);
    }
    sha256 = QByteArray(bytes, 32);
    return true;
}

bool readSha256(const CJsonView &value, QByteArray &sha256)
{
    return decodeSha256(value.utf8(), sha256);
}

bool readSha256(const QJsonValue &value, QByteArray &sha256)
{
    return decodeSha256(value.toString().toUtf8(), sha256);
}

template <typename Value>
bool readInteger(const Value &value, qint64 &number)
{
    if (!value.isDouble())
        return false;
    const double real = value.toDouble();
    if (real != std::trunc(real) || std::fabs(real) > maxExactInteger)
        return false;
    number = qint64(real);
    return true;
}

// The file name the download will give the packet. Parsing ten thousand
// URLs costs more than the rest of the check: a URL that plainly ends in
// "/" + the expected name, with nothing a parser would decode or cut, has it.
QString packetFileName(const QString &strUrl, const QString &strExpected)
{
    const int schemeEnd = strUrl.indexOf(QLatin1String("://"));
    const int pathStart = schemeEnd > 0 ? strUrl.indexOf(QLatin1Char('/'), schemeEnd + 3) : -1;
    const int nameStart = strUrl.size() - strExpected.size();
    const bool isPlain = pathStart >= 0 && pathStart < nameStart && strUrl.at(nameStart - 1) == QLatin1Char('/')
        && strUrl.endsWith(strExpected) && !strUrl.contains(QLatin1Char('%')) && !strUrl.contains(QLatin1Char('?'))
        && !strUrl.contains(QLatin1Char('#')) && !strUrl.contains(QLatin1Char('\\'));
    return isPlain ? strExpected : QUrl(strUrl, QUrl::TolerantMode).fileName();
}

QString timeText(const QDateTime &time)
{
    return time.toUTC().toString(QLatin1String(timeFormat));
}

template <typename Value>
bool readTime(const Value &value, QDateTime &time)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"));
    const QString text = value.toString();
    time = QDateTime::fromString(text, Qt::ISODate);
    return pattern.match(text).hasMatch() && time.isValid();
}

template <typename Value>
bool readPercent(const Value &value, int &nPercent)
{
    // Whole numbers only: "0.1" is no share of 100 buckets, and must not
    // quietly become 0.
    qint64 number = -1;
    if (!readInteger(value, number) || number < 0 || number > 100)
        return false;
    nPercent = int(number);
    return true;
}

template <typename Value>
bool readDeltas(const Value &value, QVector<DeltaPacket> &vecDeltas);

template <typename Value>
bool readPrevious(const Value &value, PreviousRelease &previous)
{
    // [VERSION, RELEASEDATE, PACKET, BYTES, SHA256] and optionally DELTAS:
    // a record per module that a rollout leaves on its previous release.
    const auto array = asArray(value);
    previous.strVersion = array.at(0).toString();
    previous.strPacket = array.at(2).toString();
    previous.vecDeltas.clear();
    previous.isSet = value.isArray() && (array.size() == 5 || array.size() == 6) && !previous.strVersion.isEmpty()
        && isPlainServerFileName(previous.strPacket) && readSha256(array.at(4), previous.baSha256)
        && readInteger(array.at(1), previous.llReleaseDate) && readInteger(array.at(3), previous.llBytes)
        && previous.llBytes >= 0 && (array.size() == 5 || (array.at(5).isArray() && readDeltas(array.at(5), previous.vecDeltas)));
    return previous.isSet;
}

} // namespace

QString releaseNotesProblem(const QString &strNotes)
{
    if (strNotes.size() > maxReleaseNotesChars)
        return QStringLiteral("release notes of %1 characters, more than %2").arg(strNotes.size()).arg(maxReleaseNotesChars);
    for (const QChar c : strNotes) {
        const ushort u = c.unicode();
        if ((u < 0x20 && u != '\n' && u != '\t') || u == 0x7f)
            return QStringLiteral("release notes with the control character U+%1").arg(u, 4, 16, QLatin1Char('0'));
    }
    return QString();
}

bool isChannelName(const QString &strName)
{
    // By hand: a regular expression for each of ten thousand modules costs
    // more than the rest of their offer.
    if (strName.isEmpty() || strName.size() > 32)
        return false;
    for (int i = 0; i < strName.size(); ++i) {
        const ushort c = strName.at(i).unicode();
        const bool isLetterOrDigit = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!isLetterOrDigit && (i == 0 || (c != '.' && c != '_' && c != '-')))
            return false;
    }
    return true;
}

bool isReportUrl(const QString &strUrl)
{
    if (strUrl.size() > 1000 || !(strUrl.startsWith(QLatin1String("http://")) || strUrl.startsWith(QLatin1String("https://"))))
        return false;
    const QUrl url(strUrl, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() && url.userInfo().isEmpty() && url.fragment().isEmpty();
}

void offerToJson(const ReleaseModule &module, QJsonObject &object)
{
    if (!module.listChannels.isEmpty())
        object.insert(QStringLiteral("Channels"), QJsonArray::fromStringList(module.listChannels));
    const QVector<RolloutStep> &steps = module.rollout.vecSteps;
    if (module.rollout.isSet && steps.size() == 1 && steps.first().llAt == 0) {
        object.insert(QStringLiteral("Rollout"), steps.first().nPercent);
    } else if (module.rollout.isSet && !steps.isEmpty()) {
        QJsonArray array;
        for (const RolloutStep &step : steps)
            array.append(QJsonArray{double(step.llAt), step.nPercent});
        object.insert(QStringLiteral("Rollout"), array);
    }
    if (module.rollout.isHalted)
        object.insert(QStringLiteral("Halted"), true);
    if (module.previous.isSet) {
        QJsonArray previous{module.previous.strVersion, double(module.previous.llReleaseDate),
                            module.previous.strPacket, double(module.previous.llBytes),
                            QString::fromLatin1(module.previous.baSha256.toHex())};
        if (!module.previous.vecDeltas.isEmpty())
            previous.append(deltasToJson(module.previous.vecDeltas));
        object.insert(QStringLiteral("Previous"), previous);
    }
}

namespace {

template <typename Object>
bool readOffer(const Object &object, ReleaseModule &module, QString &strError)
{
    constexpr int maxChannels = 16;
    constexpr int maxSteps = 100;
    module.listChannels.clear();
    module.rollout = ReleaseRollout();
    module.previous = PreviousRelease();
    const auto channels = member(object, "Channels");
    if (!channels.isUndefined()) {
        const auto array = asArray(channels);
        for (const auto &channel : array) {
            const QString name = channel.toString();
            if (!isChannelName(name) || module.listChannels.contains(name)) {
                strError = QStringLiteral("\"Channels\" of %1 holds an invalid or repeated name").arg(module.strId);
                return false;
            }
            module.listChannels.append(name);
        }
        if (!channels.isArray() || array.isEmpty() || array.size() > maxChannels) {
            strError = QStringLiteral("\"Channels\" of %1 is not a list of 1 to %2 names").arg(module.strId).arg(maxChannels);
            return false;
        }
    }
    const auto rollout = member(object, "Rollout");
    const auto halted = member(object, "Halted");
    module.rollout.isSet = !rollout.isUndefined() || !halted.isUndefined();
    module.rollout.isHalted = halted.toBool(false);
    bool isValid = halted.isUndefined() || halted.isBool();
    if (rollout.isDouble()) {
        RolloutStep step;
        isValid = isValid && readPercent(rollout, step.nPercent);
        module.rollout.vecSteps.append(step);
    } else if (!rollout.isUndefined()) {
        const auto array = asArray(rollout);
        isValid = isValid && rollout.isArray() && !array.isEmpty() && array.size() <= maxSteps;
        if (isValid)
            module.rollout.vecSteps.reserve(array.size());
        for (int i = 0; isValid && i < array.size(); ++i) {
            // [seconds since 1970-01-01T00:00:00Z, percent]: compact, and
            // read without any date parsing for ten thousand modules.
            const auto entry = asArray(array.at(i));
            RolloutStep step;
            isValid = entry.size() == 2 && readInteger(entry.at(0), step.llAt) && step.llAt >= 0
                && readPercent(entry.at(1), step.nPercent);
            // By time, so that the last step not after a moment holds for it.
            isValid = isValid && (i == 0 || step.llAt > module.rollout.vecSteps.last().llAt);
            module.rollout.vecSteps.append(step);
        }
    } else if (module.rollout.isSet) {
        // Halted alone: whatever share it had, it reaches no one new.
        module.rollout.vecSteps.append(RolloutStep{0, 100});
    }
    if (!isValid) {
        strError = QStringLiteral("\"Rollout\" of %1 is not a whole percentage 0..100 or [[SECONDS, 0..100], ...] "
                                  "by time, or \"Halted\" is not true or false")
                       .arg(module.strId);
        return false;
    }
    const auto previous = member(object, "Previous");
    if (!previous.isUndefined() && !readPrevious(previous, module.previous)) {
        strError = QStringLiteral("\"Previous\" of %1 is not [VERSION, RELEASEDATE, PACKET, BYTES, SHA256, "
                                  "(DELTAS)]")
                       .arg(module.strId);
        return false;
    }
    return true;
}

template <typename Value>
bool readDeltas(const Value &value, QVector<DeltaPacket> &vecDeltas)
{
    if (value.isUndefined())
        return true;
    if (!value.isArray())
        return false;
    const auto array = asArray(value);
    for (const auto &entry : array) {
        const auto object = asObject(entry);
        DeltaPacket delta;
        delta.strBaseVersion = member(object, "Base").toString();
        delta.strPacket = member(object, "Packet").toString();
        if (delta.strBaseVersion.isEmpty() || !isPlainServerFileName(delta.strPacket)
            || !readSha256(member(object, "Sha256"), delta.baSha256)
            || !readInteger(member(object, "Bytes"), delta.llBytes)
            || delta.llBytes < 0)
            return false;
        vecDeltas.append(delta);
    }
    return true;
}

} // namespace

bool offerFromJson(const QJsonObject &object, ReleaseModule &module, QString &strError)
{
    return readOffer(object, module, strError);
}

bool deltasFromJson(const QJsonValue &value, QVector<DeltaPacket> &vecDeltas)
{
    return readDeltas(value, vecDeltas);
}

QJsonArray deltasToJson(const QVector<DeltaPacket> &vecDeltas)
{
    QJsonArray deltas;
    for (const DeltaPacket &delta : vecDeltas) {
        deltas.append(QJsonObject{{QStringLiteral("Base"), delta.strBaseVersion},
                                  {QStringLiteral("Packet"), delta.strPacket},
                                  {QStringLiteral("Bytes"), double(delta.llBytes)},
                                  {QStringLiteral("Sha256"), QString::fromLatin1(delta.baSha256.toHex())}});
    }
    return deltas;
}

QByteArray releaseDocumentToJson(const ReleaseDocument &document)
{
    QJsonArray modules;
    for (const ReleaseModule &module : document.vecModules) {
        QJsonObject object{{QStringLiteral("ID"), module.strId},
                           {QStringLiteral("Version"), module.strVersion},
                           {QStringLiteral("ReleaseDate"), double(module.llReleaseDate)},
                           {QStringLiteral("Desc"), module.strDesc},
                           {QStringLiteral("IconUrl"), module.strIconUrl},
                           {QStringLiteral("Packet"), module.strPacket},
                           {QStringLiteral("Bytes"), double(module.llBytes)},
                           {QStringLiteral("Sha256"), QString::fromLatin1(module.baSha256.toHex())}};
        // Without deltas the document stays what it was before they existed.
        if (!module.vecDeltas.isEmpty())
            object.insert(QStringLiteral("Deltas"), deltasToJson(module.vecDeltas));
        if (!module.strNotes.isEmpty())
            object.insert(QStringLiteral("Notes"), module.strNotes);
        offerToJson(module, object);
        modules.append(object);
    }
    QJsonObject root{{QStringLiteral("type"), QLatin1String(releaseType)},
                           {QStringLiteral("serial"), double(document.llSerial)},
                           {QStringLiteral("expires"), document.expires.toUTC().toString(QLatin1String(timeFormat))},
                           {QStringLiteral("modules"), modules}};
    // Without mirrors the document stays what it was before they existed.
    if (!document.listMirrors.isEmpty())
        root.insert(QStringLiteral("mirrors"), QJsonArray::fromStringList(document.listMirrors));
    if (document.issued.isValid())
        root.insert(QStringLiteral("issued"), timeText(document.issued));
    if (!document.strReportUrl.isEmpty())
        root.insert(QStringLiteral("reports"), document.strReportUrl);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool parseReleaseDocument(const QByteArray &baJson, ReleaseDocument &document, QString &strError)
{
    CJsonText json;
    const CJsonView root = json.parse(baJson) ? CJsonView(&json, 0) : CJsonView();
    if (!root.isObject() || root.value("type").toString() != QLatin1String(releaseType)) {
        strError = QStringLiteral("not a release document");
        return false;
    }
    if (!readInteger(root.value("serial"), document.llSerial) || document.llSerial < 0) {
        strError = QStringLiteral("no valid \"serial\"");
        return false;
    }
    document.expires = QDateTime::fromString(root.value("expires").toString(), Qt::ISODate);
    if (!document.expires.isValid()) {
        strError = QStringLiteral("no valid \"expires\"");
        return false;
    }
    const CJsonView issued = root.value("issued");
    document.issued = QDateTime();
    if (!issued.isUndefined() && !readTime(issued, document.issued)) {
        strError = QStringLiteral("no valid \"issued\"");
        return false;
    }
    const CJsonView reports = root.value("reports");
    document.strReportUrl = reports.toString();
    if (!reports.isUndefined() && !isReportUrl(document.strReportUrl)) {
        strError = QStringLiteral("\"reports\" is no http(s) URL");
        return false;
    }
    const CJsonView modules = root.value("modules");
    if (!modules.isArray()) {
        strError = QStringLiteral("no \"modules\" list");
        return false;
    }
    document.listMirrors.clear();
    const CJsonView mirrors = root.value("mirrors");
    if (!mirrors.isUndefined() && !mirrors.isArray()) {
        strError = QStringLiteral("\"mirrors\" is not a list");
        return false;
    }
    for (const CJsonView &mirror : mirrors) {
        if (!mirror.isString()) {
            strError = QStringLiteral("\"mirrors\" holds something else than a URL");
            return false;
        }
        document.listMirrors.append(mirror.toString());
    }
    document.vecModules.clear();
    const CJsonView &array = modules;
    document.vecModules.reserve(array.size());
    for (const CJsonView &object : array) {
        ReleaseModule module;
        module.strId = object.value("ID").toString();
        module.strVersion = object.value("Version").toString();
        module.strDesc = object.value("Desc").toString();
        module.strIconUrl = object.value("IconUrl").toString();
        module.strPacket = object.value("Packet").toString();
        if (module.strId.isEmpty() || !isPlainServerFileName(module.strPacket)
            || !readSha256(object.value("Sha256"), module.baSha256)
            || !readInteger(object.value("ReleaseDate"), module.llReleaseDate)
            || !readInteger(object.value("Bytes"), module.llBytes) || module.llBytes < 0) {
            strError = QStringLiteral("module entry %1 is incomplete").arg(document.vecModules.size());
            return false;
        }
        if (!readDeltas(object.value("Deltas"), module.vecDeltas)) {
            strError = QStringLiteral("module entry %1 has an invalid delta").arg(document.vecModules.size());
            return false;
        }
        // Shown to the user: a bounded string of text, or nothing.
        const CJsonView notes = object.value("Notes");
        if (!notes.isUndefined()
            && (!notes.isString() || !releaseNotesProblem(notes.toString()).isEmpty())) {
            strError = QStringLiteral("module entry %1 has invalid notes").arg(document.vecModules.size());
            return false;
        }
        module.strNotes = notes.toString();
        // The eight keys every entry has, and its deltas: an entry with no
        // other key offers itself to everyone, as before rollouts, and costs
        // no further look-ups.
        const int plainKeys = 8 + (module.vecDeltas.isEmpty() && !object.contains("Deltas") ? 0 : 1)
            + (notes.isUndefined() ? 0 : 1);
        if (object.size() > plainKeys && !readOffer(object, module, strError))
            return false;
        document.vecModules.append(std::move(module));
    }
    return true;
}

bool OpenedRelease::isFor(const SignedEnvelope &other, const KeyList &otherKeys) const
{
    if (!isOpened || envelope.baSigned != other.baSigned || envelope.vecSignatures.size() != other.vecSignatures.size()
        || keys.nThreshold != otherKeys.nThreshold || keys.vecKeys.size() != otherKeys.vecKeys.size())
        return false;
    for (int i = 0; i < envelope.vecSignatures.size(); ++i) {
        if (envelope.vecSignatures.at(i).strKeyId != other.vecSignatures.at(i).strKeyId
            || envelope.vecSignatures.at(i).baSignature != other.vecSignatures.at(i).baSignature)
            return false;
    }
    for (int i = 0; i < keys.vecKeys.size(); ++i) {
        if (keys.vecKeys.at(i).strId != otherKeys.vecKeys.at(i).strId
            || keys.vecKeys.at(i).baPublicKey != otherKeys.vecKeys.at(i).baPublicKey)
            return false;
    }
    return true;
}

const char *releaseCheckName(ReleaseCheck check)
{
    switch (check) {
    case ReleaseCheck::Accepted: return "accepted";
    case ReleaseCheck::Missing: return "no signed release document";
    case ReleaseCheck::Malformed: return "malformed release document";
    case ReleaseCheck::Untrusted: return "not signed by a trusted key";
    case ReleaseCheck::Expired: return "expired";
    case ReleaseCheck::RolledBack: return "serial lower than the last accepted";
    case ReleaseCheck::Disagrees: return "module list disagrees with the signed document";
    }
    return "";
}

ReleaseCheck openRelease(const SignedEnvelope *pEnvelope, const KeyList &keys, ReleaseDocument &document,
                         QString &strError)
{
    if (!pEnvelope) {
        strError = QStringLiteral("the answer carries no signed release document");
        return ReleaseCheck::Missing;
    }
    // Nothing of a document without a valid signature is used. The parse
    // still runs on a second thread beside the check of the signature: for
    // thousands of modules each takes milliseconds, and the parser takes any
    // bytes (the answer itself was parsed before anything was verified).
    QString parseError;
    std::future<bool> parsed =
        startBeside([&] { return parseReleaseDocument(pEnvelope->baSigned, document, parseError); });
    const bool isSigned = isSignedBy(*pEnvelope, keys, strError);
    const bool isParsed = parsed.get();
    if (!isSigned) {
        document = ReleaseDocument();
        return ReleaseCheck::Untrusted;
    }
    if (!isParsed) {
        strError = parseError;
        return ReleaseCheck::Malformed;
    }
    return ReleaseCheck::Accepted;
}

ReleaseCheck checkRelease(const SignedEnvelope *pEnvelope, const KeyList &keys, qint64 llLastSerial,
                          const QDateTime &now, QVector<ModuleVersion> &vecAnswer, qint64 &llSerial,
                          QString &strError)
{
    ReleaseDocument document;
    const ReleaseCheck opened = openRelease(pEnvelope, keys, document, strError);
    if (opened != ReleaseCheck::Accepted)
        return opened;
    return checkOpenedRelease(document, llLastSerial, now, vecAnswer, llSerial, strError);
}

ReleaseCheck checkOpenedRelease(const ReleaseDocument &document, qint64 llLastSerial, const QDateTime &now,
                                QVector<ModuleVersion> &vecAnswer, qint64 &llSerial, QString &strError)
{
    if (!(now < document.expires)) {
        strError = QStringLiteral("expired at %1").arg(document.expires.toUTC().toString(Qt::ISODate));
        return ReleaseCheck::Expired;
    }
    if (document.llSerial < llLastSerial) {
        strError = QStringLiteral("serial %1, last accepted %2").arg(document.llSerial).arg(llLastSerial);
        return ReleaseCheck::RolledBack;
    }

    QHash<QString, int> signedById;
    signedById.reserve(document.vecModules.size());
    for (int i = 0; i < document.vecModules.size(); ++i) {
        if (signedById.contains(document.vecModules.at(i).strId)) {
            strError = QStringLiteral("module %1 signed twice").arg(document.vecModules.at(i).strId);
            return ReleaseCheck::Malformed;
        }
        signedById.insert(document.vecModules.at(i).strId, i);
    }
    if (vecAnswer.size() != document.vecModules.size()) {
        strError = QStringLiteral("the answer offers %1 modules, the document %2")
                       .arg(vecAnswer.size())
                       .arg(document.vecModules.size());
        return ReleaseCheck::Disagrees;
    }
    QVector<bool> isSeen(document.vecModules.size(), false);
    for (ModuleVersion &module : vecAnswer) {
        const int index = signedById.value(module.strId, -1);
        if (index < 0 || isSeen.at(index)) {
            strError = QStringLiteral("module %1 is not in the document, or offered twice").arg(module.strId);
            return ReleaseCheck::Disagrees;
        }
        isSeen[index] = true;
        const ReleaseModule &signedModule = document.vecModules.at(index);
        const char *field = nullptr;
        if (module.strVersion != signedModule.strVersion)
            field = "Version";
        else if (module.llReleaseDate != signedModule.llReleaseDate)
            field = "ReleaseDate";
        else if (module.strDesc != signedModule.strDesc)
            field = "Desc";
        else if (module.strIconUrl != signedModule.strIconUrl)
            field = "IconUrl";
        else if (packetFileName(module.strUrl, signedModule.strPacket) != signedModule.strPacket)
            field = "Packet";
        if (field) {
            strError = QStringLiteral("%1 of module %2 differs").arg(QLatin1String(field), module.strId);
            return ReleaseCheck::Disagrees;
        }
        module.llPacketBytes = signedModule.llBytes;
        module.baPacketSha256 = signedModule.baSha256;
        module.vecDeltas = signedModule.vecDeltas;
        module.strNotes = signedModule.strNotes;
    }
    llSerial = document.llSerial;
    return ReleaseCheck::Accepted;
}

} // namespace Trust
