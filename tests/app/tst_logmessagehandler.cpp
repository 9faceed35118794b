#include <QtTest>
class tst_LogMessageHandler : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_LogMessageHandler)
#include "tst_logmessagehandler.moc"
