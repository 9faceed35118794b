#include "app/pluginhost.h"

#include "common/messagecapture.h"
#include "platform/platformnames.h"
#include "platform/solutionsdir.h"
#include "testpluginrecord.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QPluginLoader>

// The plugin host inside this test process: its application directory is the
// test's own, where each case puts a plugin and takes it away again.
class tst_PluginHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void pluginPath();
    void nullLoader();
    void argumentsAndResult_data();
    void argumentsAndResult();
    void notUsable_data();
    void notUsable();
    void solutionsDirMissing();
    // Last: with Qt's default hints the plugin stays mapped under its path.
    void reloadAfterUnload();

private:
    static QString appFile(const char *name)
    {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
    }
    static QString solutionsDir()
    {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QGetSolutionsDirPath();
    }
    static bool installPlugin(const QString &source);
    static bool setResults(const QByteArray &results);
    static QVector<QJsonObject> runs();
    static void allowUnload(QPluginLoader &loader);
};

// Qt keeps plugins mapped after an unload by default; the cases here put
// different files at the same path one after another, and the system's
// loader would hand back whatever is still mapped under that name.
void tst_PluginHost::allowUnload(QPluginLoader &loader)
{
    loader.setLoadHints(QLibrary::LoadHints());
}

bool tst_PluginHost::installPlugin(const QString &source)
{
    return QDir().mkpath(solutionsDir()) && QFile::copy(source, mainFormPluginPath());
}

bool tst_PluginHost::setResults(const QByteArray &results)
{
    QFile file(appFile(TVX_TEST_PLUGIN_RESULTS_FILE));
    return file.open(QIODevice::WriteOnly) && file.write(results) == results.size();
}

QVector<QJsonObject> tst_PluginHost::runs()
{
    QVector<QJsonObject> entries;
    QFile file(appFile(TVX_TEST_PLUGIN_RECORD_FILE));
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            entries.append(QJsonDocument::fromJson(line).object());
    }
    return entries;
}

void tst_PluginHost::init()
{
    cleanup();
}

void tst_PluginHost::cleanup()
{
    // Whatever a case left in the application directory goes.
    QDir(solutionsDir()).removeRecursively();
    QFile::remove(appFile(TVX_TEST_PLUGIN_RESULTS_FILE));
    QFile::remove(appFile(TVX_TEST_PLUGIN_RECORD_FILE));
}

void tst_PluginHost::pluginPath()
{
    QCOMPARE(mainFormPluginPath(), QCoreApplication::applicationDirPath() + QDir::separator()
                                           + QStringLiteral("Solutions/") + PlatformNames::mainFormPluginFileName());
}

void tst_PluginHost::nullLoader()
{
    MessageCapture capture;
    QCOMPARE(runMainFormPlugin(nullptr, "crash"), -1);
    QVERIFY(capture.warnings().isEmpty());
}

void tst_PluginHost::argumentsAndResult_data()
{
    QTest::addColumn<QByteArray>("extraArg");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QString>("runArg");

    QTest::newRow("empty") << QByteArray() << QByteArray("0") << QStringLiteral("Tarvex");
    QTest::newRow("crash") << QByteArray("crash") << QByteArray("1") << QStringLiteral("Tarvex crash");
    QTest::newRow("taken as it is") << QByteArray(" two words ") << QByteArray("3")
                                    << QStringLiteral("Tarvex  two words ");
    QTest::newRow("-1 from the plugin") << QByteArray() << QByteArray("-1") << QStringLiteral("Tarvex");
    QTest::newRow("largest int") << QByteArray() << QByteArray("2147483647") << QStringLiteral("Tarvex");
}

void tst_PluginHost::argumentsAndResult()
{
    QFETCH(QByteArray, extraArg);
    QFETCH(QByteArray, result);
    QFETCH(QString, runArg);

    QVERIFY(installPlugin(QStringLiteral(TVX_TEST_RESULT_PLUGIN)));
    QVERIFY(setResults(result));
    QPluginLoader loader;
    allowUnload(loader);
    MessageCapture capture;
    QCOMPARE(runMainFormPlugin(&loader, extraArg.toStdString()), result.toInt());
    QVERIFY(capture.warnings().isEmpty());
    // The caller unloads.
    QVERIFY(loader.isLoaded());
    QCOMPARE(QDir::fromNativeSeparators(loader.fileName()), QDir::fromNativeSeparators(mainFormPluginPath()));

    const QVector<QJsonObject> entries = runs();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().value(QStringLiteral("arg")).toString(), runArg);
    QVERIFY(loader.unload());
}

void tst_PluginHost::notUsable_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<bool>("loads");

    QTest::newRow("missing") << QString() << false;
    QTest::newRow("not a Qt plugin") << QStringLiteral(TVX_TEST_NOT_A_PLUGIN) << false;
    QTest::newRow("other interface") << QStringLiteral(TVX_TEST_OTHER_PLUGIN) << true;
}

void tst_PluginHost::notUsable()
{
    QFETCH(QString, plugin);
    QFETCH(bool, loads);

    if (!plugin.isEmpty())
        QVERIFY(installPlugin(plugin));
    QPluginLoader loader;
    allowUnload(loader);
    MessageCapture capture;
    QCOMPARE(runMainFormPlugin(&loader, "crash"), -1);

    // The path as it is logged; the loader's own text is not quoted.
    const QString path = MessageCapture::logged(mainFormPluginPath());
    const QString expected = loads
            ? QStringLiteral("qobject_cast plugin  \"%1\"  failed!").arg(path)
            : QStringLiteral("load plugin  \"%1\"  failed!, error= %2").arg(path, loader.errorString());
    QCOMPARE(capture.warnings(), QStringList{expected});
    // A plugin of another kind stays loaded until the caller unloads it.
    QCOMPARE(loader.isLoaded(), loads);
    loader.unload();
}

void tst_PluginHost::reloadAfterUnload()
{
    QVERIFY(installPlugin(QStringLiteral(TVX_TEST_RESULT_PLUGIN)));
    QVERIFY(setResults("3 3"));
    // The loader as the launcher uses it, Qt's default hints included.
    QPluginLoader loader;

    QCOMPARE(runMainFormPlugin(&loader, "crash"), 3);
    QVERIFY(loader.unload());
    // A fresh root object runs the second time.
    QCOMPARE(runMainFormPlugin(&loader, std::string()), 3);
    QVERIFY(loader.unload());

    const QVector<QJsonObject> entries = runs();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0).value(QStringLiteral("objectRuns")).toInt(), 1);
    QCOMPARE(entries.at(1).value(QStringLiteral("objectRuns")).toInt(), 1);
    QCOMPARE(entries.at(0).value(QStringLiteral("arg")).toString(), QStringLiteral("Tarvex crash"));
    QCOMPARE(entries.at(1).value(QStringLiteral("arg")).toString(), QStringLiteral("Tarvex"));
}

void tst_PluginHost::solutionsDirMissing()
{
    // The plugin lies directly in the application directory, not below
    // Solutions/: it is not looked for there.
    const QString stray = QCoreApplication::applicationDirPath() + QLatin1Char('/')
            + PlatformNames::mainFormPluginFileName();
    QVERIFY(QFile::copy(QStringLiteral(TVX_TEST_RESULT_PLUGIN), stray));
    QPluginLoader loader;
    allowUnload(loader);
    MessageCapture capture;
    const int result = runMainFormPlugin(&loader, std::string());
    QFile::remove(stray);
    QCOMPARE(result, -1);
    QVERIFY(capture.containsWarning(QStringLiteral("load plugin ")));
}

QTEST_GUILESS_MAIN(tst_PluginHost)
#include "tst_pluginhost.moc"
