#include <QtTest>

class tst_StartUpgrade : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_StartUpgrade)
#include "tst_startupgrade.moc"
