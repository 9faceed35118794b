#include "upgrade/files/filenamerule.h"

#include "upgrade/files/installlayout.h"
#include "upgrade/files/portablenames.h"

namespace {

// Why the name is refused, or nothing. What any portable name must be is
// the packet's file-name rule; a name from the server must also be a
// single, short entry that the engine does not keep in Tmp itself.
QString refusal(const QString &strName)
{
    if (strName == QLatin1String(".") || strName == QLatin1String(".."))
        return QStringLiteral("it names a directory");
    const QString fault = PortableNames::nameFault(strName);
    if (!fault.isEmpty())
        return fault;
    int utf8Bytes = 0;
    for (const QChar c : strName)
        utf8Bytes += c.unicode() < 0x80 ? 1 : (c.unicode() < 0x800 || c.isSurrogate() ? 2 : 3);
    if (utf8Bytes > maxServerFileNameBytes)
        return QStringLiteral("the name is longer than %1 bytes").arg(maxServerFileNameBytes);
    if (CInstallLayout::isTmpEntryName(strName))
        return QStringLiteral("the upgrade keeps an entry of that name in Tmp");
    return QString();
}

} // namespace

bool isPlainServerFileName(const QString &strName, QString *pstrReason)
{
    const QString reason = refusal(strName);
    if (pstrReason)
        *pstrReason = reason;
    return reason.isEmpty();
}
