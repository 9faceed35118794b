#include "app/ctvxapplication.h"

#include <QtTest>

#include <QComboBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolTip>

// Counts the events a widget is actually given.
template<typename Base>
class Counting : public Base
{
public:
    using Base::Base;
    int count(QEvent::Type type) const { return m_counts.value(type); }

protected:
    bool event(QEvent *event) override
    {
        ++m_counts[event->type()];
        return Base::event(event);
    }

private:
    QHash<int, int> m_counts;
};

// A widget without any of the text properties.
class PlainWidget : public Counting<QWidget>
{
public:
    bool toolTipRequested = false;

protected:
    bool event(QEvent *event) override
    {
        if (event->type() == QEvent::ToolTip)
            toolTipRequested = true;
        return Counting<QWidget>::event(event);
    }
};

class tst_CTVXApplication : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void nullArguments();
    void labelToolTip_data();
    void labelToolTip();
    void ownToolTip_data();
    void ownToolTip();
    void lineEdit_data();
    void lineEdit();
    void comboBox();
    void buttonText();
    void noTextProperty();
    void toolTipOnNonWidget();
    void toolTipThatIsNoHelpEvent();
    void fontChangeSwallowed();
    void otherEventsDelivered();

private:
    static bool requestToolTip(QWidget *widget);
    static QString longText() { return QStringLiteral("A text far too long to fit into a narrow widget"); }
};

static const QPoint toolTipPos(40, 30);

bool tst_CTVXApplication::requestToolTip(QWidget *widget)
{
    QHelpEvent event(QEvent::ToolTip, QPoint(2, 2), toolTipPos);
    return QCoreApplication::sendEvent(widget, &event);
}

void tst_CTVXApplication::init()
{
    QVERIFY(qobject_cast<CTVXApplication *>(QCoreApplication::instance()));
}

void tst_CTVXApplication::cleanup()
{
    QToolTip::hideText();
    QTRY_VERIFY(!QToolTip::isVisible());
}

void tst_CTVXApplication::nullArguments()
{
    QEvent event(QEvent::User);
    QObject object;
    QVERIFY(!qApp->notify(nullptr, &event));
    QVERIFY(!qApp->notify(&object, nullptr));
}

void tst_CTVXApplication::labelToolTip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("delivered");

    QTest::newRow("fits") << QStringLiteral("Short") << 400 << false << false;
    QTest::newRow("cut") << longText() << 30 << true << false;
    QTest::newRow("one character cut") << QStringLiteral("W") << 1 << true << false;
    // An empty label's text is null: no text property at all.
    QTest::newRow("no text") << QString() << 10 << false << true;
}

void tst_CTVXApplication::labelToolTip()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(bool, shown);
    QFETCH(bool, delivered);

    Counting<QLabel> label(text);
    label.setFixedWidth(width);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));

    // Handled either way: the label never sees the request.
    requestToolTip(&label);
    QCOMPARE(label.count(QEvent::ToolTip), delivered ? 1 : 0);
    QCOMPARE(QToolTip::isVisible(), shown);
    if (shown)
        QCOMPARE(QToolTip::text(), text);
}

void tst_CTVXApplication::ownToolTip_data()
{
    QTest::addColumn<QString>("toolTip");

    QTest::newRow("text") << QStringLiteral("my own tip");
    QTest::newRow("empty but set") << QStringLiteral("");
}

void tst_CTVXApplication::ownToolTip()
{
    QFETCH(QString, toolTip);

    Counting<QLabel> label(longText());
    label.setFixedWidth(30);
    label.setToolTip(toolTip);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));

    requestToolTip(&label);
    QCOMPARE(label.count(QEvent::ToolTip), 1);
    // The widget's own tooltip logic decides: its tip or none, never the cut text.
    QCOMPARE(QToolTip::isVisible(), !toolTip.isEmpty());
    if (!toolTip.isEmpty())
        QCOMPARE(QToolTip::text(), toolTip);
}

void tst_CTVXApplication::lineEdit_data()
{
    QTest::addColumn<int>("echoMode");
    QTest::addColumn<bool>("delivered");
    QTest::addColumn<bool>("shown");

    QTest::newRow("normal") << int(QLineEdit::Normal) << true << true;
    QTest::newRow("no echo") << int(QLineEdit::NoEcho) << true << true;
    QTest::newRow("password echo on edit") << int(QLineEdit::PasswordEchoOnEdit) << true << true;
    QTest::newRow("password") << int(QLineEdit::Password) << false << false;
}

void tst_CTVXApplication::lineEdit()
{
    QFETCH(int, echoMode);
    QFETCH(bool, delivered);
    QFETCH(bool, shown);

    Counting<QLineEdit> edit(longText());
    edit.setEchoMode(QLineEdit::EchoMode(echoMode));
    edit.setFixedWidth(40);
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));

    // "Delivered" here means the request counts as handled; the line edit
    // itself is never given it.
    QCOMPARE(requestToolTip(&edit), delivered);
    QCOMPARE(edit.count(QEvent::ToolTip), 0);
    QCOMPARE(QToolTip::isVisible(), shown);
    if (shown)
        QCOMPARE(QToolTip::text(), longText());
}

void tst_CTVXApplication::comboBox()
{
    Counting<QComboBox> combo;
    QVERIFY(!combo.property("text").isValid());
    combo.addItem(longText());
    combo.setFixedWidth(50);
    combo.show();
    QVERIFY(QTest::qWaitForWindowExposed(&combo));

    QVERIFY(requestToolTip(&combo));
    QCOMPARE(combo.count(QEvent::ToolTip), 0);
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), longText());
}

void tst_CTVXApplication::buttonText()
{
    Counting<QPushButton> button(longText());
    button.setFixedWidth(40);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));

    QVERIFY(requestToolTip(&button));
    QCOMPARE(button.count(QEvent::ToolTip), 0);
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), longText());
}

void tst_CTVXApplication::noTextProperty()
{
    PlainWidget widget;
    widget.resize(10, 10);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));

    requestToolTip(&widget);
    QVERIFY(widget.toolTipRequested);
    QVERIFY(!QToolTip::isVisible());
}

void tst_CTVXApplication::toolTipOnNonWidget()
{
    // Not a widget: delivered as usual, nothing looked up.
    Counting<QObject> object;
    object.setProperty("text", longText());
    QHelpEvent event(QEvent::ToolTip, QPoint(), toolTipPos);
    QCoreApplication::sendEvent(&object, &event);
    QCOMPARE(object.count(QEvent::ToolTip), 1);
    QVERIFY(!QToolTip::isVisible());
}

void tst_CTVXApplication::toolTipThatIsNoHelpEvent()
{
    Counting<QLabel> label(longText());
    label.setFixedWidth(30);
    QEvent event(QEvent::ToolTip);
    QCoreApplication::sendEvent(&label, &event);
    QCOMPARE(label.count(QEvent::ToolTip), 1);
}

// Restores the application font a test changed.
class AppFontRestorer
{
public:
    AppFontRestorer() : m_font(QApplication::font()) {}
    ~AppFontRestorer() { QApplication::setFont(m_font); }

private:
    QFont m_font;
};

void tst_CTVXApplication::fontChangeSwallowed()
{
    AppFontRestorer restorer;
    Counting<QLabel> label(QStringLiteral("label"));
    Counting<QLineEdit> edit(QStringLiteral("edit"));
    label.show();
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    const QFont labelFont = label.font();
    const QFont editFont = edit.font();

    QFont bigger = QApplication::font();
    bigger.setPointSize(bigger.pointSize() + 11);
    QApplication::setFont(bigger);
    QCoreApplication::processEvents();

    QCOMPARE(label.count(QEvent::ApplicationFontChange), 0);
    QCOMPARE(edit.count(QEvent::ApplicationFontChange), 0);
    QCOMPARE(label.font(), labelFont);
    QCOMPARE(edit.font(), editFont);

    // Sent directly, it is swallowed too.
    QEvent event(QEvent::ApplicationFontChange);
    QVERIFY(QCoreApplication::sendEvent(&label, &event));
    QCOMPARE(label.count(QEvent::ApplicationFontChange), 0);
}

void tst_CTVXApplication::otherEventsDelivered()
{
    Counting<QLabel> label(longText());
    QEvent user(QEvent::User);
    QCoreApplication::sendEvent(&label, &user);
    QCoreApplication::postEvent(&label, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    QCOMPARE(label.count(QEvent::User), 2);

    // A font change of the widget itself is an ordinary event.
    QFont font = label.font();
    font.setPointSize(font.pointSize() + 5);
    label.setFont(font);
    QCOMPARE(label.count(QEvent::FontChange), 1);
}

int main(int argc, char *argv[])
{
    CTVXApplication app(argc, argv);
    tst_CTVXApplication test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ctvxapplication.moc"
