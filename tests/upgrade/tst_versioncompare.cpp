#include <QtTest>

class tst_VersionCompare : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_VersionCompare)
#include "tst_versioncompare.moc"
