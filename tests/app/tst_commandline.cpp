#include <QtTest>
class tst_CommandLine : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
