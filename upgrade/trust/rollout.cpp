#include "upgrade/trust/rollout.h"

#include <QHash>
#include <QtEndian>

#include <algorithm>

#include <openssl/sha.h>

namespace Trust {

namespace {

enum class Reason { None, Channel, Halted, Outside };

// The bucket of one installation in many releases: its id's bytes once,
// one hash object for all of them.
class CBucketHasher
{
public:
    explicit CBucketHasher(const QString &strInstallationId)
        : m_baInput(strInstallationId.toUtf8() + '\n')
        , m_nPrefix(m_baInput.size())
    {
    }

    int bucket(const QString &strModuleId, const QString &strVersion)
    {
        m_baInput.truncate(m_nPrefix);
        m_baInput += strModuleId.toUtf8();
        m_baInput += '\n';
        m_baInput += strVersion.toUtf8();
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char *>(m_baInput.constData()), std::size_t(m_baInput.size()), digest);
        // 64 bits modulo 100: the bias is below 10^-17.
        return int(qFromBigEndian<quint64>(digest) % 100);
    }

private:
    QByteArray m_baInput;
    int m_nPrefix;
};

} // namespace

QString stableChannel()
{
    return QStringLiteral("stable");
}

int rolloutBucket(const QString &strInstallationId, const QString &strModuleId, const QString &strVersion)
{
    return CBucketHasher(strInstallationId).bucket(strModuleId, strVersion);
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

namespace {

// Why the installation is not offered the module's current release, or
// None; the bucket and share it was judged by.
Reason judge(const ReleaseModule &module, const RolloutIdentity &identity, qint64 llClock, CBucketHasher &hasher,
             int &nBucket, int &nPercent)
{
    nBucket = -1;
    nPercent = 100;
    if (!isOfferedOnChannel(module, identity.strChannel))
        return Reason::Channel;
    if (!module.rollout.isSet)
        return Reason::None;
    if (module.rollout.isHalted)
        return Reason::Halted;
    nPercent = rolloutPercent(module.rollout, llClock);
    // Everyone or no one needs no bucket.
    if (nPercent >= 100)
        return Reason::None;
    nBucket = nPercent <= 0 ? 100 : hasher.bucket(module.strId, module.strVersion);
    return nBucket < nPercent ? Reason::None : Reason::Outside;
}

QString reasonText(Reason reason, const ReleaseModule &module, const RolloutIdentity &identity, int nBucket,
                   int nPercent)
{
    switch (reason) {
    case Reason::Channel:
        return QStringLiteral("released on %1 only, this installation follows %2")
            .arg(module.listChannels.join(QLatin1String(", ")),
                 identity.strChannel.isEmpty() ? stableChannel() : identity.strChannel);
    case Reason::Halted:
        return QStringLiteral("its rollout is halted");
    case Reason::Outside:
        return nBucket >= 100 ? QStringLiteral("its rollout reaches no installation yet")
                              : QStringLiteral("its rollout reaches buckets below %1, this installation is in bucket %2")
                                    .arg(nPercent)
                                    .arg(nBucket);
    case Reason::None:
        break;
    }
    return QString();
}

} // namespace

Offer chooseOffer(const ReleaseModule &module, const RolloutIdentity &identity, const QDateTime &clock,
                  QString &strWhy)
{
    CBucketHasher hasher(identity.strInstallationId);
    int bucket = -1;
    int percent = 100;
    const Reason reason = judge(module, identity, clock.toSecsSinceEpoch(), hasher, bucket, percent);
    strWhy = reasonText(reason, module, identity, bucket, percent);
    if (reason == Reason::None)
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
    // The answer lists the modules in the document's order, as the
    // publisher wrote both: an index is needed only when it does not.
    QHash<QString, int> signedById;
    const auto signedIndex = [&](int nAnswerIndex, const QString &strId) {
        if (nAnswerIndex < document.vecModules.size() && document.vecModules.at(nAnswerIndex).strId == strId)
            return nAnswerIndex;
        if (signedById.isEmpty()) {
            signedById.reserve(document.vecModules.size());
            for (int i = 0; i < document.vecModules.size(); ++i)
                signedById.insert(document.vecModules.at(i).strId, i);
        }
        return signedById.value(strId, -1);
    };
    bool isClamped = false;
    const QDateTime clock = rolloutClock(document, now, &isClamped);
    if (isClamped)
        listLog << QStringLiteral("the clock (%1) lies outside the signed document's time (%2 to %3): schedules are "
                                  "read at %4")
                       .arg(now.toUTC().toString(Qt::ISODate), document.issued.toUTC().toString(Qt::ISODate),
                            document.expires.toUTC().toString(Qt::ISODate), clock.toString(Qt::ISODate));

    // Ten thousand modules outside a rollout are not ten thousand lines
    // of log: the first ones say why, a count says the rest.
    constexpr int maxLoggedModules = 20;
    int changed = 0;
    CBucketHasher hasher(identity.strInstallationId);
    const qint64 llClock = clock.toSecsSinceEpoch();
    // Kept in place: the modules offered move up over those dropped.
    int kept = 0;
    const auto keep = [&vecAnswer, &kept](int nIndex) {
        if (nIndex != kept)
            vecAnswer[kept] = std::move(vecAnswer[nIndex]);
        ++kept;
    };
    for (int i = 0; i < vecAnswer.size(); ++i) {
        ModuleVersion &module = vecAnswer[i];
        const int index = signedIndex(i, module.strId);
        if (index < 0) {
            keep(i);
            continue;
        }
        const ReleaseModule &release = document.vecModules.at(index);
        int bucket = -1;
        int percent = 100;
        const Reason reason = judge(release, identity, llClock, hasher, bucket, percent);
        if (reason == Reason::None) {
            keep(i);
            continue;
        }
        Offer offer = release.previous.isSet ? Offer::Previous : Offer::Nothing;
        const bool isLogged = ++changed <= maxLoggedModules;
        QString why = isLogged ? reasonText(reason, release, identity, bucket, percent) : QString();
        const PreviousRelease &previous = release.previous;
        const QString url = offer == Offer::Previous ? besidePacket(module.strUrl, release.strPacket, previous.strPacket)
                                                     : QString();
        if (offer == Offer::Previous && url.isEmpty()) {
            offer = Offer::Nothing;
            why += QStringLiteral("; the answer's URL does not end in the packet's name, so the previous release "
                                  "cannot be found beside it");
        }
        if (offer == Offer::Nothing) {
            if (isLogged)
                listLog << QStringLiteral("%1 %2 is not offered: %3").arg(module.strId, module.strVersion, why);
            continue;
        }
        if (isLogged)
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
        keep(i);
    }
    if (changed > maxLoggedModules)
        listLog << QStringLiteral("%1 more modules are offered another release than their current one, or none")
                       .arg(changed - maxLoggedModules);
    vecAnswer.resize(kept);
}

} // namespace Trust
