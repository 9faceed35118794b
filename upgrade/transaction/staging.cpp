#include "upgrade/transaction/staging.h"

#include "platform/readfile.h"

#include "upgrade/files/tmpdirs.h"
#include "upgrade/files/durable.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString tmpPath(const QString &strTmpDir, const QString &name)
{
    return QDir(strTmpDir).absoluteFilePath(name);
}

} // namespace

bool markPacketStaged(const QString &strTmpDir, const QVector<ModuleVersion> &vecModules)
{
    if (!QFileInfo(tmpPath(strTmpDir, CInstallLayout::packetName())).isDir()) {
        qWarning() << "no packet to mark as staged in" << strTmpDir;
        return false;
    }
    QJsonArray modules;
    for (const ModuleVersion &module : vecModules) {
        modules.append(QJsonObject{{QStringLiteral("id"), module.strId},
                                   {QStringLiteral("version"), module.strVersion},
                                   {QStringLiteral("releaseDate"), QString::number(module.llReleaseDate)}});
    }
    // The unpacked files first: the mark must never reach the disk before them.
    Durable::syncVolume(strTmpDir);
    const QByteArray content = QJsonDocument(QJsonObject{{QStringLiteral("modules"), modules}}).toJson();
    if (!Durable::writeFileAtomically(tmpPath(strTmpDir, TmpNames::stagedMark()), content)) {
        qWarning() << "mark packet in" << strTmpDir << "as staged failed";
        return false;
    }
    return true;
}

bool isPacketStaged(const QString &strTmpDir)
{
    return QFileInfo(tmpPath(strTmpDir, TmpNames::stagedMark())).isFile()
        && QFileInfo(tmpPath(strTmpDir, CInstallLayout::packetName())).isDir();
}

QVector<ModuleVersion> stagedModules(const QString &strTmpDir)
{
    QVector<ModuleVersion> out;
    QByteArray content;
    QString error;
    if (!readFileBounded(tmpPath(strTmpDir, TmpNames::stagedMark()), 1 << 20, content, error))
        return out;
    const QJsonArray modules = QJsonDocument::fromJson(content).object().value(QStringLiteral("modules")).toArray();
    for (const QJsonValue &value : modules) {
        const QJsonObject object = value.toObject();
        ModuleVersion module;
        module.strId = object.value(QStringLiteral("id")).toString();
        module.strVersion = object.value(QStringLiteral("version")).toString();
        module.llReleaseDate = object.value(QStringLiteral("releaseDate")).toString().toLongLong();
        if (!module.strId.isEmpty())
            out.append(module);
    }
    return out;
}

bool clearStaging(const QString &strTmpDir)
{
    // The mark goes first: a packet half removed must not count as staged.
    const QString mark = tmpPath(strTmpDir, TmpNames::stagedMark());
    if (QFileInfo::exists(mark) && !QFile::remove(mark))
        return false;
    return removeDirTree(tmpPath(strTmpDir, CInstallLayout::packetName()))
        && removeDirTree(tmpPath(strTmpDir, TmpNames::partialPacket()));
}
