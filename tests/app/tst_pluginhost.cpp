#include <QtTest>
class tst_PluginHost : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_PluginHost)
#include "tst_pluginhost.moc"
