#include "upgrade/files/kelmdomnoderesolve.h"

#include "common/filesizelimit.h"
#include "common/filetree.h"

#include <QtTest>

using FileTree::readFile;
using FileTree::writeFile;
using KelmGUI::KelmDomNodeResolve;

class tst_KelmDomNodeResolve : public QObject
{
    Q_OBJECT

private slots:
    void loadFailureKeepsDocument_data();
    void loadFailureKeepsDocument();
    void doctypeStringsAreNoNesting_data();
    void doctypeStringsAreNoNesting();
    void roundTrip_data();
    void roundTrip();
    void refusedValues_data();
    void refusedValues();
    void onlyElementsAreChildren();
    void childWalk();
    void childrenShareDocument();
    void noElement();
    void saveFailureKeepsFile_data();
    void saveFailureKeepsFile();
    void saveWritesUtf8Declaration();
};

void tst_KelmDomNodeResolve::loadFailureKeepsDocument_data()
{
    QTest::addColumn<QByteArray>("content"); // written unless "<dir>" or "<none>"

    QTest::newRow("missing file") << QByteArray("<none>");
    QTest::newRow("directory") << QByteArray("<dir>");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("truncated") << QByteArray("<Root><SolutionS><Solution id=\"a\">");
    QTest::newRow("mismatched tags") << QByteArray("<Root><A></B></Root>");
    QTest::newRow("two roots") << QByteArray("<A/><B/>");
    QTest::newRow("comment only") << QByteArray("<?xml version=\"1.0\"?><!-- nothing -->");
    QTest::newRow("binary") << QByteArray("\x00\x01\x02\xff\xfe", 5);
    QTest::newRow("unquoted attribute") << QByteArray("<Root a=1/>");
    QByteArray bomb = "<!DOCTYPE Root [<!ENTITY e0 \"lol\">";
    for (int i = 1; i < 10; ++i)
        bomb += "<!ENTITY e" + QByteArray::number(i) + " \"" + QByteArray("&e" + QByteArray::number(i - 1) + ";").repeated(10) + "\">";
    bomb += "]><Root>&e9;</Root>";
    QTest::newRow("entity expansion bomb") << bomb;
    // Deep enough to overflow the stack of a recursive parser, also where a
    // strict reader would stop early, or where an entity holds the elements.
    const QByteArray deep = QByteArray("<A>").repeated(50000) + QByteArray("</A>").repeated(50000);
    QTest::newRow("nested 50,000 levels") << "<Root>" + deep + "</Root>";
    QTest::newRow("nested 50,000 levels after an undeclared entity") << "<Root>&x;" + deep + "</Root>";
    QTest::newRow("nested 257 levels") << QByteArray("<A>").repeated(257) + QByteArray("</A>").repeated(257);
    const QString deepText = QString::fromLatin1("<Root>" + deep + "</Root>");
    QTest::newRow("nested 50,000 levels in UTF-16")
        << "\xff\xfe" + QByteArray(reinterpret_cast<const char *>(deepText.utf16()), deepText.size() * 2);
    QTest::newRow("nested 300 levels in an entity")
        << "<!DOCTYPE Root [<!ENTITY e \"" + QByteArray("<A>").repeated(300) + QByteArray("</A>").repeated(300)
               + "\">]><Root>&e;</Root>";
}

void tst_KelmDomNodeResolve::loadFailureKeepsDocument()
{
    QFETCH(QByteArray, content);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString good = dir.filePath("good.xml");
    QVERIFY(writeFile(good, "<Root><Child>text</Child></Root>"));
    const QString bad = dir.filePath("bad.xml");
    if (content == "<dir>")
        QVERIFY(QDir().mkdir(bad));
    else if (content != "<none>")
        QVERIFY(writeFile(bad, content));

    KelmDomNodeResolve node;
    QVERIFY(node.LoadXML(good));
    const KelmDomNodeResolve child = node.FindChildByNodeName("Child");

    QVERIFY(!node.LoadXML(bad));
    QCOMPARE(node.GetNodeName(), QStringLiteral("Root"));
    QCOMPARE(node.GetChildNodeCount(), 1);
    QCOMPARE(node.FindChildByNodeName("Child").GetNodeValue(), QStringLiteral("text"));
    QCOMPARE(child.GetNodeValue(), QStringLiteral("text"));

    KelmDomNodeResolve fresh;
    QVERIFY(!fresh.LoadXML(bad));
    QVERIFY(fresh.GetNodeName().isEmpty());
}

// Markup characters in the quoted strings of a DOCTYPE nest only among
// themselves: neither a '<' in a system literal nor a flat entity of many
// elements makes the document too deep.
void tst_KelmDomNodeResolve::doctypeStringsAreNoNesting_data()
{
    QTest::addColumn<QByteArray>("doctype");
    QTest::newRow("300 '<' in a system literal")
        << "<!DOCTYPE Root SYSTEM \"" + QByteArray("<").repeated(300) + "\">";
    QTest::newRow("300 sibling elements in an entity")
        << "<!DOCTYPE Root [<!ENTITY e \"" + QByteArray("<A/>").repeated(300) + "\">]>";
    QTest::newRow("200 levels in an entity, closed")
        << "<!DOCTYPE Root [<!ENTITY e \"" + QByteArray("<A>").repeated(200) + QByteArray("</A>").repeated(200)
               + "\">]>";
}

void tst_KelmDomNodeResolve::doctypeStringsAreNoNesting()
{
    QFETCH(QByteArray, doctype);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The document itself nests 200 levels: together with what the DOCTYPE
    // held before, that went past the limit.
    const QString path = dir.filePath("doctype.xml");
    QVERIFY(writeFile(path, doctype + "<Root>" + QByteArray("<B>").repeated(200) + QByteArray("</B>").repeated(200)
                                + "<Child>text</Child></Root>"));
    KelmDomNodeResolve node;
    QVERIFY(node.LoadXML(path));
    QCOMPARE(node.FindChildByNodeName("Child").GetNodeValue(), QStringLiteral("text"));
}

void tst_KelmDomNodeResolve::roundTrip_data()
{
    QTest::addColumn<QString>("value");

    QTest::newRow("plain") << QStringLiteral("1.0.2");
    QTest::newRow("empty") << QString();
    QTest::newRow("surrounding spaces") << QStringLiteral("  a b  ");
    QTest::newRow("spaces only") << QStringLiteral("   ");
    QTest::newRow("tab and line feed only") << QStringLiteral("\t\n ");
    QTest::newRow("no-break space only") << QStringLiteral("\u00a0");
    QTest::newRow("line ends") << QStringLiteral("a\r\nb\rc\nd\te");
    QTest::newRow("markup") << QStringLiteral("<a href=\"x\">&amp; 'q'</a>");
    QTest::newRow("cdata end") << QStringLiteral("]]> ]]>");
    QTest::newRow("non-ascii") << QStringLiteral("模块 é ß");
    QTest::newRow("surrogate pair") << QString::fromUtf8("\xf0\x9f\x98\x80 x");
}

void tst_KelmDomNodeResolve::roundTrip()
{
    QFETCH(QString, value);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("doc.xml");

    {
        KelmDomNodeResolve root;
        QVERIFY(root.CreateRootNode("Root"));
        KelmDomNodeResolve list = root.CreateChildNode("List");
        QCOMPARE(list.GetNodeName(), QStringLiteral("List"));
        for (int i = 0; i < 3; ++i) {
            KelmDomNodeResolve item = list.CreateChildNode(i == 1 ? QStringLiteral("模块") : QStringLiteral("Item"));
            QVERIFY(!item.GetNodeName().isEmpty());
            QVERIFY(item.SetAttribute("index", QString::number(i)));
            QVERIFY(item.SetAttribute("value", value));
            KelmDomNodeResolve leaf = item.CreateChildNode("Leaf");
            QVERIFY(leaf.SetNodeValue(value));
        }
        QVERIFY(root.SaveXML(path));
    }

    KelmDomNodeResolve root;
    QVERIFY(root.LoadXML(path));
    QCOMPARE(root.GetNodeName(), QStringLiteral("Root"));
    QCOMPARE(root.GetChildNodeCount(), 1);
    const KelmDomNodeResolve list = root.FindChildByNodeName("List");
    QCOMPARE(list.GetChildNodeCount(), 3);
    for (int i = 0; i < 3; ++i) {
        const KelmDomNodeResolve item = list.GetChild(i);
        QCOMPARE(item.GetNodeName(), i == 1 ? QStringLiteral("模块") : QStringLiteral("Item"));
        QCOMPARE(item.GetAttribute("index", QString()), QString::number(i));
        QCOMPARE(item.GetAttribute("value", QStringLiteral("<absent>")), value);
        QCOMPARE(item.GetChildNodeCount(), 1);
        QCOMPARE(item.FindChildByNodeName("Leaf").GetNodeValue(), value);
    }
}

void tst_KelmDomNodeResolve::refusedValues_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("argument");

    QTest::newRow("root empty name") << "root" << QString();
    QTest::newRow("root name with space") << "root" << QStringLiteral("a b");
    QTest::newRow("child empty name") << "child" << QString();
    QTest::newRow("child name with digit first") << "child" << QStringLiteral("1abc");
    QTest::newRow("child name with markup") << "child" << QStringLiteral("<x>");
    QTest::newRow("attribute empty name") << "attributeName" << QString();
    QTest::newRow("attribute name with quote") << "attributeName" << QStringLiteral("a\"b");
    QTest::newRow("attribute NUL") << "attributeValue" << QString(QChar(0)) + "x";
    QTest::newRow("attribute control") << "attributeValue" << QStringLiteral("a\x01");
    QTest::newRow("attribute lone surrogate") << "attributeValue" << QString(QChar(0xd800)) + "a";
    QTest::newRow("text control") << "text" << QStringLiteral("1.0\x1f");
    QTest::newRow("text noncharacter") << "text" << QString(QChar(0xfffe)) + "a";
    QTest::newRow("text lone low surrogate") << "text" << QString(QChar(0xdc00));
    QTest::newRow("text blank with carriage return") << "text" << QStringLiteral(" \r\n");
}

void tst_KelmDomNodeResolve::refusedValues()
{
    QFETCH(QString, operation);
    QFETCH(QString, argument);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    KelmDomNodeResolve root;
    QVERIFY(root.CreateRootNode("Root"));
    KelmDomNodeResolve child = root.CreateChildNode("Child");
    QVERIFY(child.SetNodeValue("before"));
    QVERIFY(child.SetAttribute("attr", "before"));
    const QString beforePath = dir.filePath("before.xml");
    QVERIFY(root.SaveXML(beforePath));

    if (operation == "root") {
        QVERIFY(!root.CreateRootNode(argument));
        QCOMPARE(root.GetNodeName(), QStringLiteral("Root"));
    } else if (operation == "child") {
        QVERIFY(root.CreateChildNode(argument).GetNodeName().isEmpty());
    } else if (operation == "attributeName") {
        QVERIFY(!child.SetAttribute(argument, "value"));
    } else if (operation == "attributeValue") {
        QVERIFY(!child.SetAttribute("attr", argument));
    } else {
        QVERIFY(!child.SetNodeValue(argument));
    }

    // Nothing changed: the document saves to the same bytes.
    const QString afterPath = dir.filePath("after.xml");
    QVERIFY(root.SaveXML(afterPath));
    QCOMPARE(readFile(afterPath), readFile(beforePath));
}

void tst_KelmDomNodeResolve::onlyElementsAreChildren()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("mixed.xml");
    QVERIFY(writeFile(path,
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<Root>text before<!-- a comment --><A n=\"1\"/>\n"
                      "  <?pi data?><![CDATA[cdata]]><B n=\"2\">b</B>tail<A n=\"3\"/></Root>"));

    KelmDomNodeResolve root;
    QVERIFY(root.LoadXML(path));
    QCOMPARE(root.GetChildNodeCount(), 3);
    const QStringList expected = { "A1", "B2", "A3" };
    for (int i = 0; i < 3; ++i) {
        const KelmDomNodeResolve child = root.GetChild(i);
        QCOMPARE(child.GetNodeName() + child.GetAttribute("n", QString()), expected.at(i));
    }
    QVERIFY(root.GetChild(3).GetNodeName().isEmpty());
    QVERIFY(root.GetChild(-1).GetNodeName().isEmpty());
    QCOMPARE(root.FindChildByNodeName("A").GetAttribute("n", QString()), QStringLiteral("1"));
    QCOMPARE(root.FindChildByNodeName("B").GetNodeValue(), QStringLiteral("b"));
    QVERIFY(root.FindChildByNodeName("pi").GetNodeName().isEmpty());
    QVERIFY(root.FindChildByNodeName(QString()).GetNodeName().isEmpty());

    // Replacing the text leaves the child elements alone.
    QVERIFY(root.SetNodeValue("new"));
    QCOMPARE(root.GetChildNodeCount(), 3);
    QCOMPARE(root.FindChildByNodeName("B").GetNodeValue(), QStringLiteral("b"));
    QCOMPARE(root.GetNodeValue(), QStringLiteral("newb"));
}

void tst_KelmDomNodeResolve::childWalk()
{
    KelmDomNodeResolve root;
    QVERIFY(root.CreateRootNode("Root"));
    for (int i = 0; i < 50; ++i)
        QVERIFY(root.CreateChildNode("C").SetAttribute("i", QString::number(i)));

    // Forwards, backwards, jumps and repeats all give the child at the index.
    const QList<int> order = { 0, 1, 2, 2, 10, 3, 49, 48, 0, 25, 26, 49, 50, 7 };
    for (int index : order) {
        const KelmDomNodeResolve child = root.GetChild(index);
        QCOMPARE(child.GetAttribute("i", QStringLiteral("none")),
                 index < 50 ? QString::number(index) : QStringLiteral("none"));
    }

    // Children appended after a walk are found at the end, through this
    // object and through a copy taken before.
    const KelmDomNodeResolve copy = root;
    QCOMPARE(root.GetChild(49).GetAttribute("i", QString()), QStringLiteral("49"));
    QVERIFY(root.CreateChildNode("D").SetAttribute("i", "50"));
    QCOMPARE(root.GetChildNodeCount(), 51);
    QCOMPARE(root.GetChild(50).GetNodeName(), QStringLiteral("D"));
    QCOMPARE(copy.GetChild(50).GetNodeName(), QStringLiteral("D"));
    QCOMPARE(copy.GetChild(49).GetAttribute("i", QString()), QStringLiteral("49"));

    // A new document through the same object starts the walk afresh.
    QVERIFY(root.CreateRootNode("Other"));
    QCOMPARE(root.GetChildNodeCount(), 0);
    QVERIFY(root.GetChild(0).GetNodeName().isEmpty());
}

void tst_KelmDomNodeResolve::childrenShareDocument()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    KelmDomNodeResolve root;
    QVERIFY(root.CreateRootNode("Root"));
    KelmDomNodeResolve a = root.CreateChildNode("A");
    KelmDomNodeResolve found = root.FindChildByNodeName("A");
    QVERIFY(found.SetAttribute("x", "1"));
    KelmDomNodeResolve b = a.CreateChildNode("B");
    QVERIFY(b.SetNodeValue("deep"));
    QCOMPARE(a.GetAttribute("x", QString()), QStringLiteral("1"));

    // Saved from a child, the whole document is written.
    const QString path = dir.filePath("shared.xml");
    QVERIFY(b.SaveXML(path));
    KelmDomNodeResolve loaded;
    QVERIFY(loaded.LoadXML(path));
    QCOMPARE(loaded.GetNodeName(), QStringLiteral("Root"));
    QCOMPARE(loaded.FindChildByNodeName("A").GetAttribute("x", QString()), QStringLiteral("1"));
    QCOMPARE(loaded.FindChildByNodeName("A").FindChildByNodeName("B").GetNodeValue(), QStringLiteral("deep"));

    // Loading another file into the root leaves earlier children with theirs.
    QVERIFY(writeFile(dir.filePath("other.xml"), "<Other/>"));
    QVERIFY(root.LoadXML(dir.filePath("other.xml")));
    QCOMPARE(root.GetNodeName(), QStringLiteral("Other"));
    QCOMPARE(b.GetNodeValue(), QStringLiteral("deep"));
}

void tst_KelmDomNodeResolve::noElement()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    KelmDomNodeResolve none;
    QVERIFY(none.GetNodeName().isEmpty());
    QVERIFY(none.GetNodeValue().isEmpty());
    QCOMPARE(none.GetAttribute("a", "default"), QStringLiteral("default"));
    QCOMPARE(none.GetChildNodeCount(), 0);
    QVERIFY(none.GetChild(0).GetNodeName().isEmpty());
    QVERIFY(none.FindChildByNodeName("A").GetNodeName().isEmpty());
    QVERIFY(none.CreateChildNode("A").GetNodeName().isEmpty());
    QVERIFY(!none.SetNodeValue("v"));
    QVERIFY(!none.SetAttribute("a", "v"));
    QVERIFY(!none.SaveXML(dir.filePath("none.xml")));
    QVERIFY(!QFile::exists(dir.filePath("none.xml")));
}

void tst_KelmDomNodeResolve::saveFailureKeepsFile_data()
{
    QTest::addColumn<QString>("failure");

    QTest::newRow("destination is a directory") << "directory";
    QTest::newRow("missing parent directory") << "parent";
    QTest::newRow("empty path") << "empty";
    QTest::newRow("disk full") << "full";
}

void tst_KelmDomNodeResolve::saveFailureKeepsFile()
{
    QFETCH(QString, failure);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath("doc.xml");
    const QByteArray old = "<Root><Old/></Root>";
    if (failure == "directory")
        QVERIFY(QDir().mkdir(path));
    else if (failure == "parent")
        path = dir.filePath("missing/doc.xml");
    else if (failure == "empty")
        path.clear();
    else
        QVERIFY(writeFile(path, old));

    KelmDomNodeResolve root;
    QVERIFY(root.CreateRootNode("Root"));
    for (int i = 0; i < 200; ++i)
        QVERIFY(root.CreateChildNode("New").SetNodeValue(QString(40, QLatin1Char('x'))));

    if (failure == "full") {
        FileSizeLimit limit(64);
        if (!limit.isActive())
            QSKIP("cannot cap the file size here");
        QVERIFY(!root.SaveXML(path));
    } else {
        QVERIFY(!root.SaveXML(path));
    }

    if (failure == "directory")
        QVERIFY(QFileInfo(path).isDir());
    else if (failure == "full")
        QCOMPARE(readFile(path), old);
    // No temporary file is left behind.
    const QStringList entries = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    const bool nothingThere = failure == "parent" || failure == "empty";
    QCOMPARE(entries, nothingThere ? QStringList() : QStringList { "doc.xml" });
}

void tst_KelmDomNodeResolve::saveWritesUtf8Declaration()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A file that declared another encoding is written back as UTF-8, and
    // the declaration says so.
    const QString path = dir.filePath("latin1.xml");
    QVERIFY(writeFile(path, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<Root a=\"\xe9\">\xe9</Root>"));

    KelmDomNodeResolve root;
    QVERIFY(root.LoadXML(path));
    QCOMPARE(root.GetNodeValue(), QStringLiteral("é"));
    QVERIFY(root.SaveXML(path));

    const QByteArray saved = readFile(path);
    QVERIFY2(saved.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"), saved.constData());
    QVERIFY(saved.contains("<Root a=\"\xc3\xa9\">\xc3\xa9</Root>"));
    QCOMPARE(saved.count("<?xml"), 1);

    KelmDomNodeResolve reloaded;
    QVERIFY(reloaded.LoadXML(path));
    QCOMPARE(reloaded.GetAttribute("a", QString()), QStringLiteral("é"));
}

QTEST_GUILESS_MAIN(tst_KelmDomNodeResolve)
#include "tst_kelmdomnoderesolve.moc"
