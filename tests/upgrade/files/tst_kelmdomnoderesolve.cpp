#include <QtTest>

class tst_KelmDomNodeResolve : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_KelmDomNodeResolve)
#include "tst_kelmdomnoderesolve.moc"
