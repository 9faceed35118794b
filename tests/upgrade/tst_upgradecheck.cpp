#include <QtTest>

class tst_UpgradeCheck : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_UpgradeCheck)
#include "tst_upgradecheck.moc"
