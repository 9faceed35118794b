#include <QtTest>

class tst_SafeCopy : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_SafeCopy)
#include "tst_safecopy.moc"
