#include "upgrade/trust/releasedocument.h"

#include "platform/beside.h"
#include "upgrade/files/filenamerule.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <cmath>

namespace Trust {

namespace {

const char releaseType[] = "tarvex-release";
const char timeFormat[] = "yyyy-MM-ddThh:mm:ssZ";

// JSON numbers are doubles: integers beyond 2^53 would not come back exactly.
constexpr double maxExactInteger = 9007199254740992.0;

int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// 64 hexadecimal digits into 32 bytes; anything else is no SHA-256.
bool readSha256(const QJsonValue &value, QByteArray &sha256)
{
    const QString hex = value.toString();
    if (hex.size() != 64)
        return false;
    char bytes[32];
    const QChar *digits = hex.constData();
    for (int i = 0; i < 32; ++i) {
        const int high = hexDigit(digits[2 * i]);
        const int low = hexDigit(digits[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = char(high << 4 | low);
    }
    sha256 = QByteArray(bytes, 32);
    return true;
}

bool readInteger(const QJsonValue &value, qint64 &number)
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

bool deltasFromJson(const QJsonValue &value, QVector<DeltaPacket> &vecDeltas)
{
    if (value.isUndefined())
        return true;
    if (!value.isArray())
        return false;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &entry : array) {
        const QJsonObject object = entry.toObject();
        DeltaPacket delta;
        delta.strBaseVersion = object.value(QLatin1String("Base")).toString();
        delta.strPacket = object.value(QLatin1String("Packet")).toString();
        if (delta.strBaseVersion.isEmpty() || !isPlainServerFileName(delta.strPacket)
            || !readSha256(object.value(QLatin1String("Sha256")), delta.baSha256)
            || !readInteger(object.value(QLatin1String("Bytes")), delta.llBytes)
            || delta.llBytes < 0)
            return false;
        vecDeltas.append(delta);
    }
    return true;
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
        modules.append(object);
    }
    QJsonObject root{{QStringLiteral("type"), QLatin1String(releaseType)},
                           {QStringLiteral("serial"), double(document.llSerial)},
                           {QStringLiteral("expires"), document.expires.toUTC().toString(QLatin1String(timeFormat))},
                           {QStringLiteral("modules"), modules}};
    // Without mirrors the document stays what it was before they existed.
    if (!document.listMirrors.isEmpty())
        root.insert(QStringLiteral("mirrors"), QJsonArray::fromStringList(document.listMirrors));
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool parseReleaseDocument(const QByteArray &baJson, ReleaseDocument &document, QString &strError)
{
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(baJson, &parseError);
    const QJsonObject root = json.object();
    if (!json.isObject() || root.value(QLatin1String("type")).toString() != QLatin1String(releaseType)) {
        strError = QStringLiteral("not a release document");
        return false;
    }
    if (!readInteger(root.value(QLatin1String("serial")), document.llSerial) || document.llSerial < 0) {
        strError = QStringLiteral("no valid \"serial\"");
        return false;
    }
    document.expires = QDateTime::fromString(root.value(QLatin1String("expires")).toString(), Qt::ISODate);
    if (!document.expires.isValid()) {
        strError = QStringLiteral("no valid \"expires\"");
        return false;
    }
    const QJsonValue modules = root.value(QLatin1String("modules"));
    if (!modules.isArray()) {
        strError = QStringLiteral("no \"modules\" list");
        return false;
    }
    document.listMirrors.clear();
    const QJsonValue mirrors = root.value(QLatin1String("mirrors"));
    if (!mirrors.isUndefined() && !mirrors.isArray()) {
        strError = QStringLiteral("\"mirrors\" is not a list");
        return false;
    }
    for (const QJsonValue &mirror : mirrors.toArray()) {
        if (!mirror.isString()) {
            strError = QStringLiteral("\"mirrors\" holds something else than a URL");
            return false;
        }
        document.listMirrors.append(mirror.toString());
    }
    document.vecModules.clear();
    const QJsonArray array = modules.toArray();
    document.vecModules.reserve(array.size());
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        ReleaseModule module;
        module.strId = object.value(QLatin1String("ID")).toString();
        module.strVersion = object.value(QLatin1String("Version")).toString();
        module.strDesc = object.value(QLatin1String("Desc")).toString();
        module.strIconUrl = object.value(QLatin1String("IconUrl")).toString();
        module.strPacket = object.value(QLatin1String("Packet")).toString();
        if (module.strId.isEmpty() || !isPlainServerFileName(module.strPacket)
            || !readSha256(object.value(QLatin1String("Sha256")), module.baSha256)
            || !readInteger(object.value(QLatin1String("ReleaseDate")), module.llReleaseDate)
            || !readInteger(object.value(QLatin1String("Bytes")), module.llBytes) || module.llBytes < 0) {
            strError = QStringLiteral("module entry %1 is incomplete").arg(document.vecModules.size());
            return false;
        }
        if (!deltasFromJson(object.value(QLatin1String("Deltas")), module.vecDeltas)) {
            strError = QStringLiteral("module entry %1 has an invalid delta").arg(document.vecModules.size());
            return false;
        }
        // Shown to the user: a bounded string of text, or nothing.
        const QJsonValue notes = object.value(QLatin1String("Notes"));
        if (!notes.isUndefined()
            && (!notes.isString() || !releaseNotesProblem(notes.toString()).isEmpty())) {
            strError = QStringLiteral("module entry %1 has invalid notes").arg(document.vecModules.size());
            return false;
        }
        module.strNotes = notes.toString();
        document.vecModules.append(module);
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
