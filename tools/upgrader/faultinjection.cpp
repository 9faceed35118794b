#include "faultinjection.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef TVX_FAULT_INJECTION
namespace {

// The (index+1)th file below dir in the walk of the safe copy: the same
// listing call and the same default order, directories entered where they
// stand among the files.
QString nthFileInCopyOrder(const QString &dir, int &index)
{
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isFile() || entry.isSymLink()) {
            if (index == 0)
                return entry.absoluteFilePath();
            --index;
        } else if (entry.isDir()) {
            const QString found = nthFileInCopyOrder(entry.absoluteFilePath(), index);
            if (!found.isEmpty())
                return found;
        }
    }
    return QString();
}

} // namespace
#endif

CFaultInjection::~CFaultInjection()
{
    undo();
}

bool CFaultInjection::prepare(const QString &strTmpDir, const QString &strPacketDir)
{
#ifndef TVX_FAULT_INJECTION
    Q_UNUSED(strTmpDir)
    Q_UNUSED(strPacketDir)
    return true;
#else
    if (!qEnvironmentVariableIsSet("TARVEX_UPGRADE_FAIL_AFTER"))
        return true;

    bool isNumber = false;
    int index = qEnvironmentVariableIntValue("TARVEX_UPGRADE_FAIL_AFTER", &isNumber);
    if (!isNumber || index < 0) {
        qWarning() << "TARVEX_UPGRADE_FAIL_AFTER is not a file count:"
                   << qEnvironmentVariable("TARVEX_UPGRADE_FAIL_AFTER");
        return false;
    }
    const int filesBefore = index;
    const QString target = nthFileInCopyOrder(strPacketDir, index);
    if (target.isEmpty()) {
        qWarning() << "TARVEX_UPGRADE_FAIL_AFTER:" << filesBefore << "files or fewer in" << strPacketDir
                   << ", no failure to inject";
        return false;
    }

    // Aside in the temporary directory, out of the copy's way, and removed
    // with it.
    const QString relative = QDir(strPacketDir).relativeFilePath(target);
    const QString stash = strTmpDir + QLatin1String("/InjectedFault/") + relative;
    if (!QDir().mkpath(QFileInfo(stash).absolutePath()) || !QFile::rename(target, stash)) {
        qWarning() << "TARVEX_UPGRADE_FAIL_AFTER: moving" << target << "aside failed";
        return false;
    }
    if (!QFile::link(QStringLiteral("."), target)) {
        qWarning() << "TARVEX_UPGRADE_FAIL_AFTER: linking" << target << "failed";
        QFile::rename(stash, target);
        return false;
    }
    m_strLinkPath = target;
    m_strStashPath = stash;
    qWarning() << "TARVEX_UPGRADE_FAIL_AFTER: the apply fails at" << relative << "after" << filesBefore << "files";
    return true;
#endif
}

void CFaultInjection::undo()
{
    if (!isActive())
        return;
    // Gone with the temporary directory after a rollback: nothing to undo.
    if (QFileInfo(m_strStashPath).exists()) {
        QFile::remove(m_strLinkPath);
        QFile::rename(m_strStashPath, m_strLinkPath);
    }
    m_strLinkPath.clear();
    m_strStashPath.clear();
}
