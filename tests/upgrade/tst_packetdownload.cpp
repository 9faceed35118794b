#include <QtTest>

class tst_PacketDownload : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(tst_PacketDownload)
#include "tst_packetdownload.moc"
