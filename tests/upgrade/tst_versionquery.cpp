#include <QtTest>

class tst_VersionQuery : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_VersionQuery)
#include "tst_versionquery.moc"
