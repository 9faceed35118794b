#include <QtTest>

class tst_Archive : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_Archive)
#include "tst_archive.moc"
