#include <QtTest>

class tst_FreeSpace : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_FreeSpace)
#include "tst_freespace.moc"
