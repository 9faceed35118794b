#include <QtTest>

class tst_CUpgrade : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_CUpgrade)
#include "tst_cupgrade.moc"
