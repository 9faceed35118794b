// What a publisher does with releases once they are packed: look at what a
// site holds, and take a bad release back.

#include "releasetool.h"
#include "releasetool_p.h"

#include "upgrade/trust/rollout.h"
#include "upgrade/trust/truststore.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

namespace ReleaseTool {

namespace {

QJsonObject moduleJson(const QJsonObject &entry, const Trust::ReleaseModule &module)
{
    QJsonArray deltas;
    for (const DeltaPacket &delta : module.vecDeltas) {
        deltas.append(QJsonObject{{QStringLiteral("base"), delta.strBaseVersion},
                                  {QStringLiteral("packet"), delta.strPacket},
                                  {QStringLiteral("bytes"), double(delta.llBytes)}});
    }
    QJsonObject object{{QStringLiteral("id"), module.strId},
                       {QStringLiteral("version"), module.strVersion},
                       {QStringLiteral("releaseDate"), double(module.llReleaseDate)},
                       {QStringLiteral("packet"), module.strPacket},
                       {QStringLiteral("bytes"), double(module.llBytes)},
                       {QStringLiteral("sha256"), QString::fromLatin1(module.baSha256.toHex())},
                       {QStringLiteral("deltas"), deltas}};
    if (!module.listChannels.isEmpty())
        object.insert(QStringLiteral("channels"), QJsonArray::fromStringList(module.listChannels));
    if (module.rollout.isSet) {
        QJsonArray steps;
        for (const Trust::RolloutStep &step : module.rollout.vecSteps)
            steps.append(QJsonObject{{QStringLiteral("at"), double(step.llAt)}, {QStringLiteral("percent"), step.nPercent}});
        object.insert(QStringLiteral("rollout"),
                      QJsonObject{{QStringLiteral("percentNow"),
                                   Trust::rolloutPercent(module.rollout, QDateTime::currentSecsSinceEpoch())},
                                  {QStringLiteral("halted"), module.rollout.isHalted},
                                  {QStringLiteral("steps"), steps}});
    }
    if (module.previous.isSet)
        object.insert(QStringLiteral("previous"), module.previous.strVersion);
    Trust::KeyList rotation;
    QString error;
    if (entry.value(QLatin1String("Rotation")).isObject()
        && Trust::parseKeyList(QJsonDocument(entry.value(QLatin1String("Rotation")).toObject()).toJson(), rotation,
                               error))
        object.insert(QStringLiteral("rotation"), QJsonArray::fromStringList(keyIds(rotation)));
    return object;
}

QJsonObject keyListJson(const Trust::KeyList &keys)
{
    return QJsonObject{{QStringLiteral("keys"), QJsonArray::fromStringList(keyIds(keys))},
                       {QStringLiteral("threshold"), keys.nThreshold}};
}

// The site as one JSON object; show prints it or a text made from it.
bool describeSite(const QString &strRoot, QJsonObject &site, QString &strError)
{
    QJsonObject manifest;
    if (!readManifest(strRoot, manifest, strError))
        return false;
    Trust::SignedEnvelope envelope;
    Trust::ReleaseDocument document;
    const bool isSigned = QFileInfo::exists(releasePath(strRoot));
    if (isSigned && !readSignedRelease(strRoot, envelope, document, strError))
        return false;
    SiteTrust trust;
    if (!readSiteTrust(strRoot, trust, strError))
        return false;

    QJsonArray modules;
    for (const QJsonValue &value : manifest.value(QLatin1String("modules")).toArray()) {
        Trust::ReleaseModule module;
        if (!moduleFromManifest(value.toObject(), module, strError))
            return false;
        QJsonObject object = moduleJson(value.toObject(), module);
        const bool isSignedAsIs = std::any_of(document.vecModules.cbegin(), document.vecModules.cend(),
                                              [&](const Trust::ReleaseModule &m) { return isSameRelease(m, module); });
        object.insert(QStringLiteral("signed"), isSignedAsIs);
        modules.append(object);
    }
    QJsonArray history;
    for (const QJsonValue &value : manifest.value(QLatin1String("history")).toArray()) {
        const QJsonObject entry = value.toObject();
        history.append(QJsonObject{{QStringLiteral("id"), entry.value(QLatin1String("ID"))},
                                   {QStringLiteral("version"), entry.value(QLatin1String("Version"))},
                                   {QStringLiteral("releaseDate"), entry.value(QLatin1String("ReleaseDate"))},
                                   {QStringLiteral("withdrawn"), entry.value(QLatin1String("Withdrawn")).toBool()}});
    }
    site = QJsonObject{{QStringLiteral("site"), strRoot},
                       {QStringLiteral("modules"), modules},
                       {QStringLiteral("history"), history},
                       {QStringLiteral("release"), QJsonValue::Null},
                       {QStringLiteral("trust"), QJsonValue::Null}};
    if (isSigned) {
        QStringList signers;
        for (const Trust::SignatureEntry &signature : qAsConst(envelope.vecSignatures))
            signers << signature.strKeyId;
        site.insert(QStringLiteral("release"),
                    QJsonObject{{QStringLiteral("serial"), double(document.llSerial)},
                                {QStringLiteral("expires"), document.expires.toUTC().toString(Qt::ISODate)},
                                {QStringLiteral("expired"), document.expires <= QDateTime::currentDateTimeUtc()},
                                {QStringLiteral("signers"), QJsonArray::fromStringList(signers)},
                                {QStringLiteral("mirrors"), QJsonArray::fromStringList(document.listMirrors)},
                                {QStringLiteral("modules"), document.vecModules.size()}});
    }
    if (trust.isKnown) {
        QJsonObject object = keyListJson(trust.current);
        object.insert(QStringLiteral("since"), double(trust.llSince));
        if (trust.hasPrevious)
            object.insert(QStringLiteral("previous"), keyListJson(trust.previous));
        site.insert(QStringLiteral("trust"), object);
    }
    return true;
}

QString siteText(const QJsonObject &site)
{
    QString text = QStringLiteral("Site %1\n").arg(site.value(QLatin1String("site")).toString());
    for (const QJsonValue &value : site.value(QLatin1String("modules")).toArray()) {
        const QJsonObject module = value.toObject();
        text += QStringLiteral("  %1 %2, released %3: %4, %5 bytes, %6\n")
                    .arg(module.value(QLatin1String("id")).toString(), module.value(QLatin1String("version")).toString())
                    .arg(qint64(module.value(QLatin1String("releaseDate")).toDouble()))
                    .arg(module.value(QLatin1String("packet")).toString())
                    .arg(qint64(module.value(QLatin1String("bytes")).toDouble()))
                    .arg(module.value(QLatin1String("signed")).toBool()
                             ? QStringLiteral("signed")
                             : QStringLiteral("NOT signed as it stands: run \"tarvex-release sign\""));
        for (const QJsonValue &delta : module.value(QLatin1String("deltas")).toArray())
            text += QStringLiteral("    delta from %1: %2, %3 bytes\n")
                        .arg(delta.toObject().value(QLatin1String("base")).toString(),
                             delta.toObject().value(QLatin1String("packet")).toString())
                        .arg(qint64(delta.toObject().value(QLatin1String("bytes")).toDouble()));
        const QJsonObject rollout = module.value(QLatin1String("rollout")).toObject();
        if (!rollout.isEmpty())
            text += QStringLiteral("    rollout: %1%2\n")
                        .arg(rollout.value(QLatin1String("halted")).toBool()
                                 ? QStringLiteral("HALTED")
                                 : QStringLiteral("%1 % of installations now").arg(rollout.value(QLatin1String("percentNow")).toInt()),
                             module.contains(QLatin1String("previous"))
                                 ? QStringLiteral(", the others are offered %1")
                                       .arg(module.value(QLatin1String("previous")).toString())
                                 : QStringLiteral(", the others are offered nothing"));
        if (module.contains(QLatin1String("channels")))
            text += QStringLiteral("    channels: %1\n")
                        .arg(module.value(QLatin1String("channels")).toVariant().toStringList().join(QLatin1String(", ")));
        if (module.contains(QLatin1String("rotation")))
            text += QStringLiteral("    carries a key rotation to %1\n")
                        .arg(module.value(QLatin1String("rotation")).toVariant().toStringList().join(QLatin1String(", ")));
    }
    for (const QJsonValue &value : site.value(QLatin1String("history")).toArray()) {
        const QJsonObject entry = value.toObject();
        text += QStringLiteral("  earlier: %1 %2, released %3%4\n")
                    .arg(entry.value(QLatin1String("id")).toString(), entry.value(QLatin1String("version")).toString())
                    .arg(qint64(entry.value(QLatin1String("releaseDate")).toDouble()))
                    .arg(entry.value(QLatin1String("withdrawn")).toBool() ? QStringLiteral(" (withdrawn)") : QString());
    }
    const QJsonObject release = site.value(QLatin1String("release")).toObject();
    if (release.isEmpty()) {
        text += QStringLiteral("Not signed.\n");
    } else {
        text += QStringLiteral("Signed document: serial %1, %2 module(s), expires %3%4, signed by %5\n")
                    .arg(qint64(release.value(QLatin1String("serial")).toDouble()))
                    .arg(release.value(QLatin1String("modules")).toInt())
                    .arg(release.value(QLatin1String("expires")).toString(),
                         release.value(QLatin1String("expired")).toBool() ? QStringLiteral(" (EXPIRED)") : QString(),
                         release.value(QLatin1String("signers")).toVariant().toStringList().join(QLatin1String(", ")));
        const QStringList mirrors = release.value(QLatin1String("mirrors")).toVariant().toStringList();
        if (!mirrors.isEmpty())
            text += QStringLiteral("  mirrors: %1\n").arg(mirrors.join(QLatin1String(", ")));
    }
    const QJsonObject trust = site.value(QLatin1String("trust")).toObject();
    if (!trust.isEmpty()) {
        text += QStringLiteral("Trusted by installations on the last release: %1 (%2 needed), since serial %3\n")
                    .arg(trust.value(QLatin1String("keys")).toVariant().toStringList().join(QLatin1String(", ")))
                    .arg(trust.value(QLatin1String("threshold")).toInt())
                    .arg(qint64(trust.value(QLatin1String("since")).toDouble()));
        const QJsonObject previous = trust.value(QLatin1String("previous")).toObject();
        if (!previous.isEmpty())
            text += QStringLiteral("  before the rotation: %1 (%2 needed)\n")
                        .arg(previous.value(QLatin1String("keys")).toVariant().toStringList().join(QLatin1String(", ")))
                        .arg(previous.value(QLatin1String("threshold")).toInt());
    }
    return text;
}

bool extractPacket(const QString &strSevenZip, const QString &strPacket, const QString &strDir, QString &strError)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(strSevenZip, {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-bd"),
                                QStringLiteral("-o") + strDir, strPacket});
    if (!process.waitForFinished(60 * 60 * 1000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        strError = QStringLiteral("7z failed to unpack %1:\n%2").arg(strPacket, QString::fromLocal8Bit(process.readAll()));
        process.kill();
        process.waitForFinished(10000);
        return false;
    }
    return true;
}

} // namespace

int show(const QString &strRoot, bool isJson)
{
    QJsonObject site;
    QString error;
    if (!describeSite(strRoot, site, error)) {
        printError(error);
        return 1;
    }
    printOut(isJson ? QString::fromUtf8(QJsonDocument(site).toJson(QJsonDocument::Compact)) + QLatin1Char('\n')
                    : siteText(site));
    return 0;
}

int withdraw(const QString &strRoot, const QString &strModule, const QString &strReleaseDate, bool isDryRun)
{
    QJsonObject manifest;
    QString error;
    if (!readManifest(strRoot, manifest, error)) {
        printError(error);
        return 1;
    }
    QJsonArray modules = manifest.value(QLatin1String("modules")).toArray();
    QJsonArray history = manifest.value(QLatin1String("history")).toArray();
    int index = -1;
    for (int i = 0; i < modules.size(); ++i) {
        if (modules.at(i).toObject().value(QLatin1String("ID")).toString() == strModule)
            index = i;
    }
    if (index < 0) {
        printError(QStringLiteral("the site offers no module \"%1\"").arg(strModule));
        return 1;
    }
    const QJsonObject badEntry = modules.at(index).toObject();
    Trust::ReleaseModule bad;
    if (!moduleFromManifest(badEntry, bad, error)) {
        printError(error);
        return 1;
    }
    // The latest earlier release of other content that was not withdrawn
    // itself; the content that goes away is withdrawn wherever it appears.
    int previousIndex = -1;
    for (int i = 0; i < history.size(); ++i) {
        QJsonObject entry = history.at(i).toObject();
        if (entry.value(QLatin1String("ID")).toString() != strModule)
            continue;
        if (entry.value(QLatin1String("Sha256")) == badEntry.value(QLatin1String("Sha256"))) {
            entry.insert(QStringLiteral("Withdrawn"), true);
            history.replace(i, entry);
        } else if (!entry.value(QLatin1String("Withdrawn")).toBool()) {
            previousIndex = i;
        }
    }
    if (previousIndex < 0) {
        printError(QStringLiteral("the site's history holds no earlier release of %1 to go back to (pack keeps "
                                  "the releases it replaces; pack the good version again under a later date instead)")
                       .arg(strModule));
        return 1;
    }
    QJsonObject entry = history.at(previousIndex).toObject();
    Trust::ReleaseModule previous;
    if (!moduleFromManifest(entry, previous, error)
        || !checkPacketFile(strRoot, previous.strPacket, previous.llBytes, previous.baSha256, error)) {
        printError(QStringLiteral("cannot offer %1 %2 again: %3").arg(strModule, previous.strVersion, error));
        return 1;
    }

    // Later than the withdrawn release, or installations on it would stay.
    QDateTime badDate;
    parseReleaseDate(QString::number(bad.llReleaseDate), badDate);
    QDateTime date = QDateTime::currentDateTimeUtc();
    if (!strReleaseDate.isEmpty() && !parseReleaseDate(strReleaseDate, date)) {
        printError(QStringLiteral("--release-date takes YYYYMMDDhhmm, got \"%1\"").arg(strReleaseDate));
        return 1;
    }
    if (strReleaseDate.isEmpty() && badDate.isValid() && date <= badDate)
        date = badDate.addSecs(60);
    const qint64 llDate = date.toString(QStringLiteral("yyyyMMddhhmm")).toLongLong();
    if (llDate <= bad.llReleaseDate) {
        printError(QStringLiteral("--release-date %1 is not later than that of the withdrawn %2 (%3)")
                       .arg(strReleaseDate, bad.strVersion)
                       .arg(bad.llReleaseDate));
        return 1;
    }
    if (isDryRun) {
        printOut(QStringLiteral("Would withdraw %1 %2 (released %3) and offer %4 (released %5) again as of %6\n")
                     .arg(strModule, bad.strVersion)
                     .arg(bad.llReleaseDate)
                     .arg(previous.strVersion)
                     .arg(previous.llReleaseDate)
                     .arg(llDate));
        return 0;
    }

    // Deltas from the withdrawn version and from the previous one itself
    // (installations that reverted it, or never left it, already hold its
    // files), beside those the previous release had, while they are intact.
    const QString sevenZip = findSevenZip();
    QTemporaryDir scratch;
    if (sevenZip.isEmpty() || !scratch.isValid()) {
        printError(sevenZip.isEmpty() ? QStringLiteral("7z is not on PATH (Debian: p7zip-full)")
                                      : QStringLiteral("cannot create a temporary directory"));
        return 1;
    }
    const QString packetsDir = strRoot + QLatin1String("/packets");
    const QString badTree = scratch.filePath(QStringLiteral("withdrawn"));
    const QString goodTree = scratch.filePath(QStringLiteral("previous"));
    if (!extractPacket(sevenZip, packetsDir + QLatin1Char('/') + bad.strPacket, badTree, error)
        || !extractPacket(sevenZip, packetsDir + QLatin1Char('/') + previous.strPacket, goodTree, error)) {
        printError(error);
        return 1;
    }
    QVector<DeltaPacket> deltas;
    for (const DeltaPacket &delta : qAsConst(previous.vecDeltas)) {
        if (delta.strBaseVersion != bad.strVersion && delta.strBaseVersion != previous.strVersion
            && checkPacketFile(strRoot, delta.strPacket, delta.llBytes, delta.baSha256, error))
            deltas.append(delta);
    }
    QStringList bases{previous.strVersion};
    if (bad.strVersion != previous.strVersion)
        bases.prepend(bad.strVersion);
    QString report;
    for (const QString &base : qAsConst(bases)) {
        const DeltaRequest request{strModule, base == previous.strVersion ? goodTree : badTree, base, goodTree,
                             previous.strVersion};
        DeltaPacket delta;
        QString deltaReport;
        // A delta only saves bytes: without it the full packet serves all.
        if (packDeltaPacket(sevenZip, request, packetsDir, previous.llBytes, delta, deltaReport, error)) {
            deltas.append(delta);
            report += deltaReport;
        } else {
            printWarning(QStringLiteral("no delta from %1: %2").arg(base, error));
        }
    }

    entry.remove(QStringLiteral("Withdrawn"));
    // Offered to every installation again: the rollout of another release
    // does not apply to it.
    entry.remove(QStringLiteral("Rollout"));
    entry.remove(QStringLiteral("Halted"));
    entry.remove(QStringLiteral("Previous"));
    entry.insert(QStringLiteral("ReleaseDate"), double(llDate));
    entry.remove(QStringLiteral("Deltas"));
    if (!deltas.isEmpty())
        entry.insert(QStringLiteral("Deltas"), Trust::deltasToJson(deltas));
    modules.replace(index, entry);
    QJsonObject withdrawn = badEntry;
    withdrawn.insert(QStringLiteral("Withdrawn"), true);
    history.append(withdrawn);
    manifest.insert(QStringLiteral("modules"), modules);
    manifest.insert(QStringLiteral("history"), history);
    if (!writeManifest(strRoot, manifest, error)) {
        printError(error);
        return 1;
    }
    printOut(QStringLiteral("Withdrew %1 %2: %3 (%4) is offered again with release date %5.\n%6"
                            "Now sign and publish the site as usual.\n")
                 .arg(strModule, bad.strVersion, previous.strVersion, previous.strPacket)
                 .arg(llDate)
                 .arg(report));
    return 0;
}

} // namespace ReleaseTool
