#include <QtTest>

class tst_Http : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
