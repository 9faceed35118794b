#include <QtTest>

class tst_SolutionInfo : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_SolutionInfo)
#include "tst_solutioninfo.moc"
