#include "platform/debuglog.h"
#include "platform/logfile_p.h"

#include <QCoreApplication>
#include <QDir>

struct CDebugLog::Private
{
    TvxLog::LogFile file{"debug"};
};

CDebugLog::CDebugLog()
    : d(new Private)
{
}

CDebugLog::~CDebugLog() = default;

CDebugLog *CDebugLog::Instance()
{
    // Never destroyed, like the print log: usable until the very end.
    static CDebugLog *log = new CDebugLog;
    return log;
}

int CDebugLog::Init()
{
    if (d->file.isOpen())
        return 0;
    if (!d->file.open(TvxLog::logDirectory() + QLatin1String("/Debug.log")))
        return -1;
    write(QStringLiteral("debug log started: %1 pid %2, in %3")
              .arg(QCoreApplication::applicationFilePath())
              .arg(QCoreApplication::applicationPid())
              .arg(QDir::currentPath()));
    return 0;
}

int CDebugLog::UnInit()
{
    if (!d->file.isOpen())
        return -1;
    write(QStringLiteral("debug log stopped: pid %1").arg(QCoreApplication::applicationPid()));
    d->file.close();
    return 0;
}

bool CDebugLog::isInitialized() const
{
    return d->file.isOpen();
}

QString CDebugLog::filePath() const
{
    return d->file.filePath();
}

void CDebugLog::write(const QString &text)
{
    d->file.write(2, text.toStdString());
}
