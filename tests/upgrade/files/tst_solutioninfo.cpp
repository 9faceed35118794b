#include "upgrade/files/solutioninfo.h"

#include "common/filesizelimit.h"
#include "common/filetree.h"
#include "common/messagecapture.h"

#include <QtTest>
#include <QtXml>

using FileTree::readFile;
using FileTree::writeFile;
using KelmGUI::KelmDomNodeResolve;

namespace {

ModuleVersion record(const QString &id, const QString &version, qint64 releaseDate, int state)
{
    ModuleVersion module;
    module.strId = id;
    module.strVersion = version;
    module.llReleaseDate = releaseDate;
    module.nState = state;
    return module;
}

// id|version|url|desc|releaseDate|size|state|icon
QString describe(const ModuleVersion &module)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8")
        .arg(module.strId, module.strVersion, module.strUrl, module.strDesc)
        .arg(module.llReleaseDate)
        .arg(module.dSize)
        .arg(module.nState)
        .arg(module.strIconUrl);
}

QStringList describe(const QVector<ModuleVersion> &modules)
{
    QStringList out;
    for (const ModuleVersion &module : modules)
        out << describe(module);
    return out;
}

// The children of SolutionS as seen by a plain DOM parser, one line each:
// Name[attr=value;...](Child=text;...)
QStringList dumpSolutions(const QString &path)
{
    QFile file(path);
    QDomDocument document;
    if (!file.open(QIODevice::ReadOnly) || !document.setContent(&file))
        return { QStringLiteral("<unreadable>") };
    QStringList out;
    const QDomElement solutions = document.documentElement().firstChildElement("SolutionS");
    for (QDomElement module = solutions.firstChildElement(); !module.isNull(); module = module.nextSiblingElement()) {
        QStringList attributes;
        const QDomNamedNodeMap map = module.attributes();
        for (int i = 0; i < map.count(); ++i)
            attributes << map.item(i).nodeName() + '=' + map.item(i).nodeValue();
        attributes.sort();
        QStringList children;
        for (QDomElement child = module.firstChildElement(); !child.isNull(); child = child.nextSiblingElement())
            children << child.tagName() + '=' + child.text();
        out << QStringLiteral("%1[%2](%3)").arg(module.tagName(), attributes.join(';'), children.join(';'));
    }
    return out;
}

QByteArray solutions(const QByteArray &modules)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root><SolutionS>" + modules + "</SolutionS></Root>\n";
}

QByteArray fullModule(const QByteArray &id, const QByteArray &version, const QByteArray &date, const QByteArray &state)
{
    return "<Solution id=\"" + id + "\" name=\"" + id + " name\"><Version>" + version + "</Version><ReleaseDate>"
        + date + "</ReleaseDate><State>" + state + "</State><Desc>" + id + " desc</Desc><Size>3</Size></Solution>";
}

const QString sentinel = QStringLiteral("sentinel||||0|0|0|");

} // namespace

class tst_SolutionInfo : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void readStoredFile();
    void update_data();
    void update();
    void updateWithoutSolutionsNode();
    void merge_data();
    void merge();
};

void tst_SolutionInfo::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QStringList>("warnings"); // %1: the file's path

    QTest::newRow("no modules") << solutions("") << true << QStringList() << QStringList();
    QTest::newRow("all fields")
        << solutions("<Solution id=\"m1\" name=\"Module One\"><Version>1.2</Version>"
                     "<ReleaseDate>20240101</ReleaseDate><State>2</State><Desc>first</Desc>"
                     "<Size>12</Size></Solution>")
        << true << QStringList { "m1|1.2|Module One|first|20240101|12|2|" } << QStringList();
    QTest::newRow("children missing")
        << solutions("<Solution id=\"m1\"/>") << true << QStringList { "m1||||0|0|0|" } << QStringList();
    QTest::newRow("state conversions")
        << solutions("<Solution id=\"a\"><State>2</State></Solution><Solution id=\"b\"><State>7</State></Solution>"
                     "<Solution id=\"c\"><State>-1</State></Solution><Solution id=\"d\"><State>x</State></Solution>"
                     "<Solution id=\"e\"><State>3</State></Solution>")
        << true
        << QStringList { "a||||0|0|2|", "b||||0|0|0|", "c||||0|0|0|", "d||||0|0|0|", "e||||0|0|3|" }
        << QStringList();
    QTest::newRow("size conversions")
        << solutions("<Solution id=\"a\"><Size>12</Size></Solution><Solution id=\"b\"><Size>1.5</Size></Solution>"
                     "<Solution id=\"c\"><Size>-4</Size></Solution><Solution id=\"d\"><Size>99999999999</Size></Solution>")
        << true << QStringList { "a||||0|12|0|", "b||||0|0|0|", "c||||0|-4|0|", "d||||0|0|0|" } << QStringList();
    QTest::newRow("release date conversions")
        << solutions("<Solution id=\"a\"><ReleaseDate>-5</ReleaseDate></Solution>"
                     "<Solution id=\"b\"><ReleaseDate>9223372036854775807</ReleaseDate></Solution>"
                     "<Solution id=\"c\"><ReleaseDate>9223372036854775808</ReleaseDate></Solution>"
                     "<Solution id=\"d\"><ReleaseDate>12abc</ReleaseDate></Solution>")
        << true
        << QStringList { "a||||-5|0|0|", "b||||9223372036854775807|0|0|", "c||||0|0|0|", "d||||0|0|0|" }
        << QStringList();
    QTest::newRow("any element name, other nodes skipped")
        << QByteArray("<Other><!-- c --><SolutionS>text<Module id=\"a\"/><?pi x?><Solution id=\"b\"/>"
                      "<!-- d --></SolutionS></Other>")
        << true << QStringList { "a||||0|0|0|", "b||||0|0|0|" } << QStringList();
    QTest::newRow("document order, duplicates kept")
        << solutions("<Solution id=\"b\"/><Solution id=\"a\"/><Solution id=\"b\"><Version>2</Version></Solution>")
        << true << QStringList { "b||||0|0|0|", "a||||0|0|0|", "b|2|||0|0|0|" } << QStringList();
    QTest::newRow("module without id")
        << solutions("<Solution id=\"a\"/><Solution name=\"x\"><Version>1</Version></Solution><Solution id=\"c\"/>")
        << false << QStringList { "a||||0|0|0|" } << QStringList { "get Modul eVersion from file failed" };
    QTest::newRow("module with empty id")
        << solutions("<Solution id=\"\"/>") << false << QStringList()
        << QStringList { "get Modul eVersion from file failed" };
    QTest::newRow("no SolutionS")
        << QByteArray("<Root><Solutions/></Root>") << false << QStringList { sentinel }
        << QStringList { "get node SolutionS from file failed" };
    QTest::newRow("SolutionS deeper down")
        << QByteArray("<Root><X><SolutionS><Solution id=\"a\"/></SolutionS></X></Root>") << false
        << QStringList { sentinel } << QStringList { "get node SolutionS from file failed" };
    QTest::newRow("missing file")
        << QByteArray("<none>") << false << QStringList { sentinel } << QStringList { "load file  \"%1\"  failed!" };
    QTest::newRow("truncated")
        << solutions("<Solution id=\"a\"/>").left(40) << false << QStringList { sentinel }
        << QStringList { "load file  \"%1\"  failed!" };
    // Deep enough to overflow the stack of a recursive parser.
    QTest::newRow("nested 50,000 levels")
        << solutions(QByteArray("<Solution>").repeated(50000) + QByteArray("</Solution>").repeated(50000)) << false
        << QStringList { sentinel } << QStringList { "load file  \"%1\"  failed!" };
    QTest::newRow("nested 256 levels")
        << QByteArray("<Root><SolutionS><Solution id=\"a\">" + QByteArray("<X>").repeated(253)
                      + QByteArray("</X>").repeated(253) + "</Solution></SolutionS></Root>")
        << true << QStringList { "a||||0|0|0|" } << QStringList();
    // In UTF-16 a zero byte stands between '<' and '/': the depth check
    // must not take 300 modules for 300 levels.
    const QString wide = QString::fromLatin1("<Root><SolutionS>" + QByteArray("<Solution id=\"a\"/>").repeated(300)
                                             + "</SolutionS></Root>");
    QTest::newRow("300 modules in UTF-16")
        << "\xff\xfe" + QByteArray(reinterpret_cast<const char *>(wide.utf16()), wide.size() * 2) << true
        << QStringList(QVector<QString>(300, QStringLiteral("a||||0|0|0|")).toList()) << QStringList();
    QTest::newRow("nested 257 levels")
        << QByteArray("<Root><SolutionS><Solution id=\"a\">" + QByteArray("<X>").repeated(254)
                      + QByteArray("</X>").repeated(254) + "</Solution></SolutionS></Root>")
        << false << QStringList { sentinel } << QStringList { "load file  \"%1\"  failed!" };
}

void tst_SolutionInfo::read()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, result);
    QFETCH(QStringList, modules);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("SolutionInfo.xml");
    if (content != "<none>")
        QVERIFY(writeFile(path, content));
    const QByteArray before = readFile(path);

    QVector<ModuleVersion> list { record("sentinel", QString(), 0, 0) };
    MessageCapture capture;
    QCOMPARE(getModuleVersionFromSolutionInfoFile(path, list), result);
    QCOMPARE(describe(list), modules);
    for (QString &warning : warnings)
        warning.replace(QLatin1String("%1"), path);
    QCOMPARE(capture.warnings(), warnings);
    QCOMPARE(readFile(path), before);
}

void tst_SolutionInfo::readStoredFile()
{
    QVector<ModuleVersion> list;
    QVERIFY(getModuleVersionFromSolutionInfoFile(QStringLiteral(TVX_TEST_DATA_DIR "/solutioninfo_installed.xml"), list));
    QCOMPARE(describe(list),
             QStringList({ QStringLiteral("Kelm.Main|3.2.1|主界面|Main form & menus|202403150930|42|1|"),
                           QStringLiteral("Kelm.Report|1.0.0|Reports||202311020000|0|0|"),
                           QStringLiteral("Kelm.Tools|0.9|||-1|0|0|") }));
}

void tst_SolutionInfo::update_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVector<ModuleVersion>>("records");
    QTest::addColumn<QString>("destination"); // same, other, directory, full
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("dump"); // of the destination when the update succeeds
    QTest::addColumn<QStringList>("warnings"); // %1: source, %2: destination

    const QByteArray two = solutions(fullModule("m1", "1.0", "100", "0") + fullModule("m2", "1.5", "150", "2"));
    const QString m2 = QStringLiteral("Solution[id=m2;name=m2 name](Version=1.5;ReleaseDate=150;State=2;Desc=m2 desc;Size=3)");

    QTest::newRow("update a module")
        << two << QVector<ModuleVersion> { record("m1", "2.0", 200, 1) } << "same" << true
        << QStringList { "Solution[id=m1;name=m1 name](Version=2.0;ReleaseDate=200;State=1;Desc=m1 desc;Size=3)", m2 }
        << QStringList();
    QTest::newRow("append a module")
        << two << QVector<ModuleVersion> { record("m3", "3.0", -7, 3) } << "same" << true
        << QStringList { "Solution[id=m1;name=m1 name](Version=1.0;ReleaseDate=100;State=0;Desc=m1 desc;Size=3)", m2,
                         "Solution[id=m3](Version=3.0;ReleaseDate=-7;State=3)" }
        << QStringList();
    QTest::newRow("ids match case-sensitively")
        << solutions("<Solution id=\"abc\"><Version>1</Version><ReleaseDate>1</ReleaseDate><State>1</State></Solution>")
        << QVector<ModuleVersion> { record("ABC", "2", 2, 2) } << "same" << true
        << QStringList { "Solution[id=abc](Version=1;ReleaseDate=1;State=1)",
                         "Solution[id=ABC](Version=2;ReleaseDate=2;State=2)" }
        << QStringList();
    QTest::newRow("first of two equal ids")
        << solutions("<Module id=\"d\"><State>1</State><Version>1</Version><ReleaseDate>1</ReleaseDate></Module>"
                     "<Solution id=\"d\"><Version>1</Version><ReleaseDate>1</ReleaseDate><State>1</State></Solution>")
        << QVector<ModuleVersion> { record("d", "2", 2, 2) } << "same" << true
        << QStringList { "Module[id=d](State=2;Version=2;ReleaseDate=2)",
                         "Solution[id=d](Version=1;ReleaseDate=1;State=1)" }
        << QStringList();
    QTest::newRow("new id twice")
        << solutions("") << QVector<ModuleVersion> { record("n", "1", 1, 0), record("n", "2", 2, 3) } << "same"
        << true << QStringList { "Solution[id=n](Version=2;ReleaseDate=2;State=3)" } << QStringList();
    QTest::newRow("no records")
        << two << QVector<ModuleVersion>() << "same" << true
        << QStringList { "Solution[id=m1;name=m1 name](Version=1.0;ReleaseDate=100;State=0;Desc=m1 desc;Size=3)", m2 }
        << QStringList();
    QTest::newRow("to another file")
        << two << QVector<ModuleVersion> { record("m2", "1.6", 160, 0), record("x", "", 0, 0) } << "other" << true
        << QStringList { "Solution[id=m1;name=m1 name](Version=1.0;ReleaseDate=100;State=0;Desc=m1 desc;Size=3)",
                         "Solution[id=m2;name=m2 name](Version=1.6;ReleaseDate=160;State=0;Desc=m2 desc;Size=3)",
                         "Solution[id=x](Version=;ReleaseDate=0;State=0)" }
        << QStringList();
    QTest::newRow("no Desc or Size needed")
        << solutions("<Solution id=\"a\"><Version>1</Version><ReleaseDate>1</ReleaseDate><State>1</State></Solution>")
        << QVector<ModuleVersion> { record("a", "9", 9223372036854775807LL, 0) } << "same" << true
        << QStringList { "Solution[id=a](Version=9;ReleaseDate=9223372036854775807;State=0)" } << QStringList();

    QTest::newRow("Version missing")
        << solutions("<Solution id=\"a\"><ReleaseDate>1</ReleaseDate><State>1</State></Solution>")
        << QVector<ModuleVersion> { record("a", "2", 2, 2) } << "same" << false << QStringList()
        << QStringList { "get ChildNode Version faield", "update ModuleVersion To Solution  \"a\"" };
    QTest::newRow("ReleaseDate missing")
        << solutions("<Solution id=\"a\"><Version>1</Version><State>1</State></Solution>")
        << QVector<ModuleVersion> { record("a", "2", 2, 2) } << "same" << false << QStringList()
        << QStringList { "get ChildNode ReleaseDate faield", "update ModuleVersion To Solution  \"a\"" };
    QTest::newRow("State missing")
        << solutions("<Solution id=\"a\"><Version>1</Version><ReleaseDate>1</ReleaseDate></Solution>")
        << QVector<ModuleVersion> { record("a", "2", 2, 2) } << "same" << false << QStringList()
        << QStringList { "get ChildNode State faield", "update ModuleVersion To Solution  \"a\"" };
    QTest::newRow("failure after good records")
        << solutions(fullModule("m1", "1", "1", "1") + "<Solution id=\"bad\"/>")
        << QVector<ModuleVersion> { record("m1", "2", 2, 2), record("new", "1", 1, 1), record("bad", "2", 2, 2) }
        << "same" << false << QStringList()
        << QStringList { "get ChildNode Version faield", "update ModuleVersion To Solution  \"bad\"" };
    QTest::newRow("version not storable")
        << two << QVector<ModuleVersion> { record("m1", QStringLiteral("1\x01"), 2, 2) } << "same" << false
        << QStringList() << QStringList { "set node version faield", "update ModuleVersion To Solution  \"m1\"" };
    QTest::newRow("id not storable")
        << two << QVector<ModuleVersion> { record(QStringLiteral("a\uffff"), "1", 2, 2) } << "same" << false
        << QStringList() << QStringList { "set attribute id faield", "update ModuleVersion To Solution  \"a\\uFFFF\"" };
    QTest::newRow("no SolutionS")
        << QByteArray("<Root/>") << QVector<ModuleVersion> { record("a", "1", 1, 1) } << "same" << false
        << QStringList() << QStringList { "get node SolutionS from file failed" };
    QTest::newRow("source missing")
        << QByteArray("<none>") << QVector<ModuleVersion> { record("a", "1", 1, 1) } << "other" << false
        << QStringList() << QStringList { "load  \"%1\"  failed" };
    QTest::newRow("source malformed")
        << QByteArray("<Root><SolutionS></Root>") << QVector<ModuleVersion> { record("a", "1", 1, 1) } << "same"
        << false << QStringList() << QStringList { "load  \"%1\"  failed" };
    QTest::newRow("destination is a directory")
        << two << QVector<ModuleVersion> { record("m1", "2", 2, 2) } << "directory" << false << QStringList()
        << QStringList { "SaveXML file  \"%2\"  failed" };
    QTest::newRow("disk full")
        << two << QVector<ModuleVersion> { record("m1", "2", 2, 2) } << "full" << false << QStringList()
        << QStringList { "SaveXML file  \"%2\"  failed" };
}

void tst_SolutionInfo::update()
{
    QFETCH(QByteArray, content);
    QFETCH(QVector<ModuleVersion>, records);
    QFETCH(QString, destination);
    QFETCH(bool, result);
    QFETCH(QStringList, dump);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("SolutionInfo.xml");
    if (content != "<none>")
        QVERIFY(writeFile(source, content));
    QString target = source;
    if (destination == "other")
        target = dir.filePath("Packet/SolutionInfo.xml");
    else if (destination == "directory")
        target = dir.filePath("Packet");
    if (destination != "same" && destination != "full")
        QVERIFY(QDir().mkpath(dir.filePath("Packet")));
    const QByteArray sourceBefore = readFile(source);
    const QByteArray targetBefore = readFile(target);

    bool updated;
    MessageCapture capture;
    if (destination == "full") {
        FileSizeLimit limit(16);
        if (!limit.isActive())
            QSKIP("cannot cap the file size here");
        updated = updateSolutionInfoFile(source, target, records);
    } else {
        updated = updateSolutionInfoFile(source, target, records);
    }
    QCOMPARE(updated, result);
    for (QString &warning : warnings)
        warning.replace(QLatin1String("%1"), source).replace(QLatin1String("%2"), target);
    const QStringList captured = capture.warnings();
    QCOMPARE(captured, warnings);

    if (!result) {
        QCOMPARE(readFile(source), sourceBefore);
        QCOMPARE(readFile(target), targetBefore);
        return;
    }
    QCOMPARE(dumpSolutions(target), dump);
    if (target != source)
        QCOMPARE(readFile(source), sourceBefore);

    // Writing the records one by one through updateModuleVersionToSolution
    // gives the same document as the file update.
    KelmDomNodeResolve root;
    QVERIFY(root.LoadXML(source));
    KelmDomNodeResolve solutionsNode = root.FindChildByNodeName("SolutionS");
    for (const ModuleVersion &module : qAsConst(records))
        QVERIFY(updateModuleVersionToSolution(solutionsNode, module));
    const QString oneByOne = dir.filePath("onebyone.xml");
    QVERIFY(root.SaveXML(oneByOne));
    QCOMPARE(dumpSolutions(oneByOne), dump);
}

void tst_SolutionInfo::updateWithoutSolutionsNode()
{
    KelmDomNodeResolve none;
    MessageCapture capture;
    QVERIFY(!updateModuleVersionToSolution(none, record("a", "1", 1, 1)));
    QCOMPARE(capture.warnings(), QStringList { "Create ChildNode Version faield" });
}

void tst_SolutionInfo::merge_data()
{
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QByteArray>("newer"); // "<none>": no such file
    QTest::addColumn<bool>("diskFull");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("dump"); // of the installed file after a merge
    QTest::addColumn<QStringList>("warnings"); // %1: installed file, %2: newer file

    QTest::newRow("states, versions and new modules")
        << solutions(fullModule("a", "1", "10", "0") + fullModule("b", "1", "11", "2") + fullModule("c", "1", "12", "3"))
        << solutions(fullModule("a", "2", "20", "3") + fullModule("b", "2", "21", "0") + fullModule("d", "1", "5", "2"))
        << false << int(UPGRADE_OP_SUCCESS)
        << QStringList { "Solution[id=a;name=a name](Version=2;ReleaseDate=20;State=1;Desc=a desc;Size=3)",
                         "Solution[id=b;name=b name](Version=2;ReleaseDate=21;State=2;Desc=b desc;Size=3)",
                         "Solution[id=c;name=c name](Version=1;ReleaseDate=12;State=3;Desc=c desc;Size=3)",
                         "Solution[id=d](Version=1;ReleaseDate=5;State=2)" }
        << QStringList();
    QTest::newRow("new module twice")
        << solutions("")
        << solutions(fullModule("e", "1", "1", "1") + fullModule("e", "2", "2", "0"))
        << false << int(UPGRADE_OP_SUCCESS)
        << QStringList { "Solution[id=e](Version=2;ReleaseDate=2;State=0)" } << QStringList();
    QTest::newRow("installed module twice")
        << solutions(fullModule("a", "1", "1", "0") + fullModule("a", "1", "1", "2"))
        << solutions(fullModule("a", "5", "5", "2"))
        << false << int(UPGRADE_OP_SUCCESS)
        << QStringList { "Solution[id=a;name=a name](Version=1;ReleaseDate=1;State=2;Desc=a desc;Size=3)",
                         "Solution[id=a;name=a name](Version=1;ReleaseDate=1;State=2;Desc=a desc;Size=3)" }
        << QStringList();
    QTest::newRow("nothing newer, values rewritten as read")
        << solutions(fullModule("a", "1", "x", "7")) << solutions("") << false << int(UPGRADE_OP_SUCCESS)
        << QStringList { "Solution[id=a;name=a name](Version=1;ReleaseDate=0;State=0;Desc=a desc;Size=3)" }
        << QStringList();

    QTest::newRow("newer file missing")
        << solutions(fullModule("a", "1", "1", "0")) << QByteArray("<none>") << false
        << int(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED) << QStringList()
        << QStringList { "load file  \"%2\"  failed!", "getModuleVersionFromSolutionInfoFile from  \"%2\"  failed!" };
    QTest::newRow("both files unreadable: the newer one is reported")
        << QByteArray("<Root><SolutionS>") << QByteArray("<none>") << false
        << int(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED) << QStringList()
        << QStringList { "load file  \"%2\"  failed!", "getModuleVersionFromSolutionInfoFile from  \"%2\"  failed!" };
    QTest::newRow("newer module without id")
        << solutions(fullModule("a", "1", "1", "0")) << solutions("<Solution><Version>2</Version></Solution>") << false
        << int(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED) << QStringList()
        << QStringList { "get Modul eVersion from file failed",
                         "getModuleVersionFromSolutionInfoFile from  \"%2\"  failed!" };
    QTest::newRow("installed file malformed")
        << QByteArray("<Root><SolutionS>") << solutions(fullModule("a", "1", "1", "0")) << false
        << int(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED) << QStringList()
        << QStringList { "load file  \"%1\"  failed!", "getModuleVersionFromSolutionInfoFile from  \"%1\"  failed!" };
    QTest::newRow("newer file nested 50,000 levels")
        << solutions(fullModule("a", "1", "1", "0"))
        << solutions(QByteArray("<Solution>").repeated(50000) + QByteArray("</Solution>").repeated(50000)) << false
        << int(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED) << QStringList()
        << QStringList { "load file  \"%2\"  failed!", "getModuleVersionFromSolutionInfoFile from  \"%2\"  failed!" };
    QTest::newRow("installed file without SolutionS")
        << QByteArray("<Root/>") << solutions(fullModule("a", "1", "1", "0")) << false
        << int(UPGRADE_OP_GET_UPDATE_MODULE_INFO_FAILED) << QStringList()
        << QStringList { "get node SolutionS from file failed",
                         "getModuleVersionFromSolutionInfoFile from  \"%1\"  failed!" };
    QTest::newRow("installed module without Version")
        << solutions("<Solution id=\"a\"><ReleaseDate>1</ReleaseDate><State>0</State></Solution>")
        << solutions(fullModule("b", "1", "1", "0")) << false << int(UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED)
        << QStringList()
        << QStringList { "get ChildNode Version faield", "update ModuleVersion To Solution  \"a\"",
                         "upgrade info to solution info file  \"%1\"  failed!" };
    QTest::newRow("installed file cannot be replaced")
        << solutions(fullModule("a", "1", "1", "0")) << solutions(fullModule("a", "2", "2", "0")) << true
        << int(UPGRADE_OP_UPDATE_SOLUTION_INFO_FAILED) << QStringList()
        << QStringList { "SaveXML file  \"%1\"  failed", "upgrade info to solution info file  \"%1\"  failed!" };
}

void tst_SolutionInfo::merge()
{
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, newer);
    QFETCH(bool, diskFull);
    QFETCH(int, result);
    QFETCH(QStringList, dump);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(dir.filePath("app")));
    QVERIFY(QDir().mkpath(dir.filePath("new")));
    const QString installedPath = dir.filePath("app/SolutionInfo.xml");
    const QString newDir = dir.filePath("new");
    const QString newerPath = newDir + "/SolutionInfo.xml";
    QVERIFY(writeFile(installedPath, installed));
    if (newer != "<none>")
        QVERIFY(writeFile(newerPath, newer));
    // A file of another name beside it is not what the merge reads.
    QVERIFY(writeFile(newDir + "/Other.xml", solutions(fullModule("z", "9", "9", "9"))));
    const QByteArray installedBefore = readFile(installedPath);
    const QByteArray newerBefore = readFile(newerPath);

    UpgradeOpError merged;
    MessageCapture capture;
    if (diskFull) {
        FileSizeLimit limit(16);
        if (!limit.isActive())
            QSKIP("cannot cap the file size here");
        merged = upgradeInfoToSolutionInfoFile(newDir, installedPath);
    } else {
        merged = upgradeInfoToSolutionInfoFile(newDir, installedPath);
    }
    QCOMPARE(int(merged), result);
    for (QString &warning : warnings)
        warning = MessageCapture::logged(warning.replace(QLatin1String("%1"), installedPath)
                                             .replace(QLatin1String("%2"), newDir + QDir::separator() + "SolutionInfo.xml"));
    QCOMPARE(capture.warnings(), warnings);

    QCOMPARE(readFile(newerPath), newerBefore);
    if (result == UPGRADE_OP_SUCCESS)
        QCOMPARE(dumpSolutions(installedPath), dump);
    else
        QCOMPARE(readFile(installedPath), installedBefore);
}

QTEST_GUILESS_MAIN(tst_SolutionInfo)
#include "tst_solutioninfo.moc"
