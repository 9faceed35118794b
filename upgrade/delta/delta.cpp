#include "upgrade/delta/delta.h"

namespace Delta {

bool isSafeRelativePath(const QString &strPath)
{
    Q_UNUSED(strPath)
    return false;
}

QByteArray indexToJson(const Index &index)
{
    Q_UNUSED(index)
    return {};
}

bool parseIndex(const QByteArray &baJson, Index &index, QString &strError)
{
    Q_UNUSED(baJson)
    Q_UNUSED(index)
    strError = QStringLiteral("not implemented");
    return false;
}

bool applyPatch(const QByteArray &baOld, const QByteArray &baPatch, qint64 llSize, QByteArray &baNew,
                QString &strError)
{
    Q_UNUSED(baOld)
    Q_UNUSED(baPatch)
    Q_UNUSED(llSize)
    Q_UNUSED(baNew)
    strError = QStringLiteral("not implemented");
    return false;
}

bool rebuild(const Index &index, const QString &strBaseDir, const QString &strPacketDir, const QString &strOutDir,
             QString &strError, const std::function<bool(int, int)> &pfnProgress)
{
    Q_UNUSED(index)
    Q_UNUSED(strBaseDir)
    Q_UNUSED(strPacketDir)
    Q_UNUSED(strOutDir)
    Q_UNUSED(pfnProgress)
    strError = QStringLiteral("not implemented");
    return false;
}

} // namespace Delta
