#include <QtTest>

class tst_TmpDirs : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_TmpDirs)
#include "tst_tmpdirs.moc"
