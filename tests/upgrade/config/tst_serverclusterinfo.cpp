#include <QtTest>

class tst_ServerClusterInfo : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_ServerClusterInfo)
#include "tst_serverclusterinfo.moc"
