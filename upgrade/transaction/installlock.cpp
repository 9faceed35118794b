#include "upgrade/transaction/installlock.h"

#include "upgrade/files/installlayout.h"

#include <QDir>

CInstallLock::CInstallLock(const QString &strAppDir)
    : m_strAppDir(QDir::cleanPath(QDir(strAppDir).absolutePath()))
    , m_strPath(lockFilePath(strAppDir))
{
}

CInstallLock::~CInstallLock()
{
    unlock();
}

QString CInstallLock::lockFilePath(const QString &strAppDir)
{
    return QDir(strAppDir).absoluteFilePath(CInstallLayout::lockFileName());
}

QString CInstallLock::refusalText() const
{
    if (!m_isHeldElsewhere) {
        return QStringLiteral("the installation %1 cannot be locked: %2")
            .arg(QDir::toNativeSeparators(m_strAppDir), m_strError);
    }
    return QStringLiteral("another upgrade operation%1 is working on this installation; try again when it "
                          "has ended")
        .arg(m_strOwner.isEmpty() ? QString() : QStringLiteral(" (process %1)").arg(m_strOwner));
}

qint64 CInstallLock::takeInheritedValue()
{
    bool isNumber = false;
    const qint64 value = qEnvironmentVariable(inheritedVariable()).toLongLong(&isNumber);
    // Not for the processes this one starts in turn.
    qunsetenv(inheritedVariable());
    return isNumber && value >= 0 ? value : -1;
}

QString CInstallLock::ownerFromText(const QByteArray &baText)
{
    const QByteArray text = baText.trimmed();
    bool isNumber = false;
    text.toLongLong(&isNumber);
    return isNumber ? QString::fromLatin1(text) : QString();
}
