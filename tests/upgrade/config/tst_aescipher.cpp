#include <QtTest>

class tst_AesCipher : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_AesCipher)
#include "tst_aescipher.moc"
