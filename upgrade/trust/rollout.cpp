#include "upgrade/trust/rollout.h"

#include <QCryptographicHash>
#include <QHash>
#include <QtEndian>

#include <algorithm>

namespace Trust {

QString stableChannel()
{
    return QStringLiteral("stable");
}

int rolloutBucket(const QString &strInstallationId, const QString &strModuleId, const QString &strVersion)
{
    // A separator that no id holds keeps ("ab", "c") apart from ("a", "bc").
    const QByteArray input = strInstallationId.toUtf8() + '\n' + strModuleId.toUtf8() + '\n' + strVersion.toUtf8();
    const QByteArray digest = QCryptographicHash::hash(input, QCryptographicHash::Sha256);
    // 64 bits modulo 100: the bias is below 10^-17.
    return int(qFromBigEndian<quint64>(digest.constData()) % 100);
}

QDateTime rolloutClock(const ReleaseDocument &document, const QDateTime &now, bool *pIsClamped)
{
    QDateTime clock = now.toUTC();
    bool isClamped = false;
    if (document.issued.isValid() && clock < document.issued) {
        clock = document.issued.toUTC();
        isClamped = true;
    }
    if (document.expires.isValid() && clock > document.expires) {
        clock = document.expires.toUTC();
        isClamped = true;
    }
    if (pIsClamped)
        *pIsClamped = isClamped;
    return clock;
}

int rolloutPercent(const ReleaseRollout &rollout, qint64 llAt)
{
    if (!rollout.isSet)
        return 100;
    if (rollout.isHalted)
        return 0;
    int percent = 0;
    for (const RolloutStep &step : rollout.vecSteps) {
        if (step.llAt > llAt)
            break;
        percent = step.nPercent;
    }
    return percent;
}

bool isOfferedOnChannel(const ReleaseModule &module, const QString &strChannel)
{
    if (module.listChannels.isEmpty())
        return true;
    return module.listChannels.contains(stableChannel())
        || module.listChannels.contains(strChannel.isEmpty() ? stableChannel() : strChannel);
}

Offer chooseOffer(const ReleaseModule &module, const RolloutIdentity &identity, const QDateTime &clock,
                  QString &strWhy)
{
    strWhy.clear();
    if (!isOfferedOnChannel(module, identity.strChannel)) {
        strWhy = QStringLiteral("released on %1 only, this installation follows %2")
                     .arg(module.listChannels.join(QLatin1String(", ")),
                          identity.strChannel.isEmpty() ? stableChannel() : identity.strChannel);
    } else if (module.rollout.isSet) {
        const int percent = rolloutPercent(module.rollout, clock.toSecsSinceEpoch());
        const int bucket = rolloutBucket(identity.strInstallationId, module.strId, module.strVersion);
        if (bucket >= percent)
            strWhy = module.rollout.isHalted
                ? QStringLiteral("its rollout is halted")
                : QStringLiteral("its rollout reaches buckets below %1, this installation is in bucket %2")
                      .arg(percent)
                      .arg(bucket);
    }
    if (strWhy.isEmpty())
        return Offer::Current;
    return module.previous.isSet ? Offer::Previous : Offer::Nothing;
}

namespace {

// The URL of a packet beside the one that strUrl names: the same place with
// the last segment replaced. Empty when strUrl does not plainly end in the
// name of the packet it serves.
QString besidePacket(const QString &strUrl, const QString &strPacket, const QString &strOther)
{
    const QString tail = QLatin1Char('/') + strPacket;
    if (!strUrl.endsWith(tail) || strUrl.contains(QLatin1Char('?')) || strUrl.contains(QLatin1Char('#')))
        return QString();
    return strUrl.left(strUrl.size() - strPacket.size()) + strOther;
}

} // namespace

void applyRollout(const ReleaseDocument &document, const RolloutIdentity &identity, const QDateTime &now,
                  QVector<ModuleVersion> &vecAnswer, QStringList &listLog)
{
    // Nothing to choose in a document without channels or rollouts: the
    // check of ten thousand modules pays for one pass over them.
    const bool isChoosing = std::any_of(document.vecModules.cbegin(), document.vecModules.cend(),
                                        [](const ReleaseModule &m) { return m.rollout.isSet || !m.listChannels.isEmpty(); });
    if (!isChoosing)
        return;
    QHash<QString, int> signedById;
    signedById.reserve(document.vecModules.size());
    for (int i = 0; i < document.vecModules.size(); ++i)
        signedById.insert(document.vecModules.at(i).strId, i);
    bool isClamped = false;
    const QDateTime clock = rolloutClock(document, now, &isClamped);
    if (isClamped)
        listLog << QStringLiteral("the clock (%1) lies outside the signed document's time (%2 to %3): schedules are "
                                  "read at %4")
                       .arg(now.toUTC().toString(Qt::ISODate), document.issued.toUTC().toString(Qt::ISODate),
                            document.expires.toUTC().toString(Qt::ISODate), clock.toString(Qt::ISODate));

    QVector<ModuleVersion> offered;
    offered.reserve(vecAnswer.size());
    for (ModuleVersion &module : vecAnswer) {
        const int index = signedById.value(module.strId, -1);
        if (index < 0) {
            offered.append(std::move(module));
            continue;
        }
        const ReleaseModule &release = document.vecModules.at(index);
        QString why;
        Offer offer = chooseOffer(release, identity, clock, why);
        if (offer == Offer::Current) {
            offered.append(std::move(module));
            continue;
        }
        const PreviousRelease &previous = release.previous;
        const QString url = offer == Offer::Previous ? besidePacket(module.strUrl, release.strPacket, previous.strPacket)
                                                     : QString();
        if (offer == Offer::Previous && url.isEmpty()) {
            offer = Offer::Nothing;
            why += QStringLiteral("; the answer's URL does not end in the packet's name, so the previous release "
                                  "cannot be found beside it");
        }
        if (offer == Offer::Nothing) {
            listLog << QStringLiteral("%1 %2 is not offered: %3").arg(module.strId, module.strVersion, why);
            continue;
        }
        listLog << QStringLiteral("%1 %2 is not offered (%3): %4 is offered instead")
                       .arg(module.strId, module.strVersion, why, previous.strVersion);
        QStringList mirrors;
        for (const QString &mirror : qAsConst(module.listMirrors)) {
            const QString beside = besidePacket(mirror, release.strPacket, previous.strPacket);
            if (!beside.isEmpty())
                mirrors << beside;
        }
        module.strVersion = previous.strVersion;
        module.llReleaseDate = previous.llReleaseDate;
        module.strUrl = url;
        module.listMirrors = mirrors;
        module.llPacketBytes = previous.llBytes;
        module.baPacketSha256 = previous.baSha256;
        module.dSize = double(previous.llBytes) / (1024.0 * 1024.0);
        module.vecDeltas = previous.vecDeltas;
        offered.append(std::move(module));
    }
    vecAnswer = std::move(offered);
}

} // namespace Trust
