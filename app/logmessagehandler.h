#ifndef TVX_LOGMESSAGEHANDLER_H
#define TVX_LOGMESSAGEHANDLER_H

#include <QtGlobal>

// The handler that was installed before logMessageHandler; written once at
// start-up, before any other thread exists, and only read afterwards.
extern QtMessageHandler previousMessageHandler;

// The process's Qt message handler: writes warning, critical, fatal and info
// messages with their source location to the print log, silences a few noisy
// Qt source files, ignores messages without a location, and passes every
// message it does not ignore on to previousMessageHandler.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

#endif // TVX_LOGMESSAGEHANDLER_H
