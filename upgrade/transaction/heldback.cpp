#include "upgrade/transaction/heldback.h"

#include "platform/readfile.h"

#include "upgrade/files/durable.h"
#include "upgrade/files/installlayout.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

bool writeHeldBack(const QString &strAppDir, const QVector<HeldBackModule> &vecHeld)
{
    const QString path = heldBackFilePath(strAppDir);
    if (vecHeld.isEmpty())
        return !QFile::exists(path) || QFile::remove(path);
    QJsonArray modules;
    for (const HeldBackModule &held : vecHeld) {
        modules.append(QJsonObject{{QStringLiteral("id"), held.strId},
                                   {QStringLiteral("version"), held.strVersion},
                                   {QStringLiteral("releaseDate"), QString::number(held.llReleaseDate)},
                                   {QStringLiteral("reason"), held.strReason}});
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    return Durable::writeFileAtomically(path, QJsonDocument(QJsonObject{{QStringLiteral("heldBack"), modules}}).toJson());
}

} // namespace

QString heldBackFilePath(const QString &strAppDir)
{
    return QDir(strAppDir).absoluteFilePath(CInstallLayout::heldBackFileName());
}

QVector<HeldBackModule> readHeldBack(const QString &strAppDir)
{
    QVector<HeldBackModule> out;
    QByteArray content;
    QString error;
    if (!readFileBounded(heldBackFilePath(strAppDir), 1 << 20, content, error))
        return out;
    const QJsonArray modules = QJsonDocument::fromJson(content).object().value(QStringLiteral("heldBack")).toArray();
    for (const QJsonValue &value : modules) {
        const QJsonObject object = value.toObject();
        HeldBackModule held;
        held.strId = object.value(QStringLiteral("id")).toString();
        held.strVersion = object.value(QStringLiteral("version")).toString();
        held.llReleaseDate = object.value(QStringLiteral("releaseDate")).toString().toLongLong();
        held.strReason = object.value(QStringLiteral("reason")).toString();
        if (!held.strId.isEmpty())
            out.append(held);
    }
    return out;
}

bool recordHeldBack(const QString &strAppDir, const QVector<ModuleVersion> &vecModules, const QString &strReason)
{
    QVector<HeldBackModule> held = readHeldBack(strAppDir);
    for (const ModuleVersion &module : vecModules) {
        HeldBackModule entry{module.strId, module.strVersion, module.llReleaseDate, strReason};
        bool isReplaced = false;
        for (HeldBackModule &existing : held) {
            if (existing.strId == module.strId) {
                existing = entry;
                isReplaced = true;
            }
        }
        if (!isReplaced)
            held.append(entry);
    }
    if (!writeHeldBack(strAppDir, held)) {
        qWarning() << "record held-back versions in" << heldBackFilePath(strAppDir) << "failed";
        return false;
    }
    return true;
}

void filterHeldBack(const QString &strAppDir, QVector<ModuleVersion> &vecNeedUpgrade, QVector<HeldBackModule> *pHeld)
{
    QVector<HeldBackModule> held = readHeldBack(strAppDir);
    if (held.isEmpty())
        return;
    QVector<HeldBackModule> stillHeld;
    bool isChanged = false;
    for (const HeldBackModule &entry : qAsConst(held)) {
        bool isOvertaken = false;
        for (int i = vecNeedUpgrade.size() - 1; i >= 0; --i) {
            const ModuleVersion &offered = vecNeedUpgrade.at(i);
            if (offered.strId != entry.strId)
                continue;
            if (offered.llReleaseDate > entry.llReleaseDate) {
                isOvertaken = true;
            } else {
                if (pHeld)
                    pHeld->append(entry);
                qInfo() << "module" << entry.strId << entry.strVersion << "is held back:" << entry.strReason;
                vecNeedUpgrade.removeAt(i);
            }
        }
        if (isOvertaken) {
            qInfo() << "module" << entry.strId << "is offered in a release newer than the held-back"
                    << entry.strVersion << "; the hold is cleared";
            isChanged = true;
        } else {
            stillHeld.append(entry);
        }
    }
    if (isChanged)
        writeHeldBack(strAppDir, stillHeld);
}
