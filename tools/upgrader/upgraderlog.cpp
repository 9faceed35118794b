#include "upgraderlog.h"

#include "platform/printlog.h"

#include <QtGlobal>

#include <cstdlib>

namespace {

int printLogLevel(QtMsgType type)
{
    switch (type) {
    case QtInfoMsg: return 4;
    case QtWarningMsg: return 5;
    case QtCriticalMsg:
    case QtFatalMsg: return 6;
    case QtDebugMsg: break;
    }
    return 1;
}

void upgraderMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Unlike the launcher's handler this one keeps debug messages: the engine
    // reports the success of the apply as one, and a run of the upgrader
    // leaves nothing else behind to tell what it did.
    kelmlib::DPrintLog::instance()->Log(context.file, context.line, context.function, "Upgrade",
                                        printLogLevel(type), "%s", message.toUtf8().constData());
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

bool installUpgraderLog(const QString &strAppDir)
{
    const bool isOpen = kelmlib::DPrintLog::instance()->open(strAppDir + QLatin1String("/Log/Print.log"));
    qInstallMessageHandler(upgraderMessageHandler);
    return isOpen;
}
