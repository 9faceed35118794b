#include <QtTest>

class tst_PrintLog : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_PrintLog)
#include "tst_printlog.moc"
