#include "app/logmessagehandler.h"

#include "platform/printlog.h"

#include <QByteArray>
#include <QString>

QtMessageHandler previousMessageHandler = nullptr;

namespace {

// Qt's own sources that would flood the log with harmless chatter.
const char *const quietSourceFiles[] = {
    "qobject.cpp",
    "qstylesheetstyle.cpp",
    "qwidget.cpp",
    "qwindowswindow.cpp",
    "qlayout.cpp",
    "qpnghandler.cpp",
    "qcssparser.cpp",
};

bool isQuietSource(const char *file)
{
    const QByteArray path = QByteArray(file).toLower();
    for (const char *name : quietSourceFiles) {
        if (path.contains(name))
            return true;
    }
    return false;
}

int printLogLevel(QtMsgType type)
{
    switch (type) {
    case QtWarningMsg:
        return 5;
    case QtCriticalMsg:
    case QtFatalMsg:
        return 6;
    case QtInfoMsg:
        return 4;
    case QtDebugMsg:
        break;
    }
    return 0;
}

} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = message.toUtf8();
    if (!context.function || !context.file)
        return;
    if (isQuietSource(context.file))
        return;

    if (const int level = printLogLevel(type)) {
        // The text is an argument, never the format: a "%" in it stays a "%".
        kelmlib::DPrintLog::instance()->Log(context.file, context.line, context.function, "", level,
                                           "%s", text.constData());
    }
    if (previousMessageHandler)
        previousMessageHandler(type, context, message);
}
