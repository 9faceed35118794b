#include <QtTest>
class tst_CopyDir : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_CopyDir)
#include "tst_copydir.moc"
