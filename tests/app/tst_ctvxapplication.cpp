#include <QtTest>
class tst_CTVXApplication : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_CTVXApplication)
#include "tst_ctvxapplication.moc"
