// The fast reader of signed documents against Qt's own JSON parser: for
// each text, both accept it or both refuse it, and what is accepted reads
// back the same, value for value. Where Qt bends the grammar (a raw tab in
// a string, "1.", an unknown escape), the reader keeps to it: our own tool
// writes none of them.

#include "upgrade/trust/jsonview.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

using Trust::CJsonText;
using Trust::CJsonView;

namespace {

// The view's value and Qt's, compared deeply; the path says where they part.
QString difference(const CJsonView &view, const QJsonValue &value, const QString &path)
{
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        if (!view.isObject() || view.size() < object.size())
            return path;
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QString inner = difference(view.value(it.key().toUtf8().constData()), it.value(),
                                             path + QLatin1Char('.') + it.key());
            if (!inner.isEmpty())
                return inner;
        }
        return QString();
    }
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        if (!view.isArray() || view.size() != array.size())
            return path;
        int i = 0;
        for (const CJsonView &element : view) {
            const QString where = path + QStringLiteral("[%1]").arg(i);
            // Walking and indexing reach the same element.
            QString inner = difference(element, array.at(i), where);
            if (inner.isEmpty())
                inner = difference(view.at(i), array.at(i), where);
            if (!inner.isEmpty())
                return inner;
            ++i;
        }
        return QString();
    }
    const bool isSame = (value.isString() && view.isString() && view.toString() == value.toString()
                         && view.utf8() == value.toString().toUtf8())
        || (value.isDouble() && view.isDouble() && view.toDouble() == value.toDouble())
        || (value.isBool() && view.isBool() && view.toBool() == value.toBool())
        || (value.isNull() && view.isNull());
    return isSame ? QString() : path;
}

QByteArray nested(int nDepth)
{
    return QByteArray(nDepth, '[') + QByteArray(nDepth, ']');
}

} // namespace

class tst_JsonView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sameAsQt_data();
    void sameAsQt();
    void lastKeyCounts();
    void mutatedDocuments();
};

// Release documents cut and changed at random places: the reader never
// takes what Qt refuses, and what both take reads the same.
void tst_JsonView::mutatedDocuments()
{
    const QByteArray base = R"({"expires":"2027-01-01T00:00:00Z","modules":[{"ID":"a\u00e9","Version":"1.0","Bytes":12,"Sha256":"00ff","Rollout":[[1,5],[2,100]],"Channels":["beta","stable"],"Previous":["0.9",202301010000,"p.7z",9,"ab"]},{"x":[true,false,null,-1.5e-3]}],"serial":7,"type":"tarvex-release"})";
    QRandomGenerator rng(42);
    const char alphabet[] = "{}[]\",:\\/ux0123456789eE+-.tfnrl \x80\xc3\xa9\xed\xf4";
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray text = base;
        const int edits = 1 + int(rng.bounded(4));
        for (int e = 0; e < edits; ++e) {
            const int at = int(rng.bounded(text.size() + 1));
            switch (rng.bounded(4)) {
            case 0: if (at < text.size()) text[at] = alphabet[rng.bounded(int(sizeof(alphabet) - 1))]; break;
            case 1: text.insert(at, alphabet[rng.bounded(int(sizeof(alphabet) - 1))]); break;
            case 2: if (at < text.size()) text.remove(at, 1); break;
            default: text.truncate(at); break;
            }
        }
        CJsonText json;
        const bool mine = json.parse(text);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        const bool qt = error.error == QJsonParseError::NoError;
        if (mine && !qt)
            QFAIL(text.toPercentEncoding("{}[]\",:\\/ ").constData());
        if (mine && document.isObject()) {
            ++accepted;
            const QString diff = difference(CJsonView(&json, 0), document.object(), QStringLiteral("$"));
            if (!diff.isEmpty())
                QFAIL(qPrintable(diff + " in " + QString::fromLatin1(text.toPercentEncoding("{}[]\",:\\/ "))));
        }
    }
    QVERIFY(accepted > 1000);
}

void tst_JsonView::sameAsQt_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("isValid");
    QTest::addColumn<bool>("isQtLenient"); // Qt accepts it all the same

    QTest::newRow("empty object") << QByteArray("{}") << true << false;
    QTest::newRow("white space around") << QByteArray(" \t\r\n{ \"a\" : [ 1 , 2 ] }\n ") << true << false;
    QTest::newRow("every kind") << QByteArray("{\"s\":\"x\",\"n\":-1.5e3,\"t\":true,\"f\":false,\"z\":null,"
                                              "\"a\":[[],{}],\"o\":{\"p\":{\"q\":[0]}}}")
                                << true << false;
    QTest::newRow("escapes") << QByteArray(R"({"e":"\"\\\/\b\f\n\r\t\u0041\u00e9\u20ac"})") << true << false;
    QTest::newRow("surrogate pair") << QByteArray(R"({"e":"\ud83d\ude00 and a"})") << true << false;
    QTest::newRow("UTF-8 of 2, 3 and 4 bytes") << QByteArray("{\"u\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}") << true << false;
    QTest::newRow("an escaped key") << QByteArray(R"({"I\u0044":"x"})") << true << false;
    QTest::newRow("integers exactly") << QByteArray("{\"a\":[0,-0,9007199254740992,123456789012345,1e2,2.50]}") << true << false;
    QTest::newRow("a large number") << QByteArray("{\"a\":12345678901234567890123}") << true << false;

    QTest::newRow("empty text") << QByteArray() << false << false;
    QTest::newRow("cut short") << QByteArray("{\"a\":[1,2") << false << false;
    QTest::newRow("string not closed") << QByteArray("{\"a\":\"b}") << false << false;
    QTest::newRow("trailing comma in an object") << QByteArray("{\"a\":1,}") << false << false;
    QTest::newRow("trailing comma in an array") << QByteArray("{\"a\":[1,]}") << false << false;
    QTest::newRow("a key that is no string") << QByteArray("{a:1}") << false << false;
    QTest::newRow("colon missing") << QByteArray("{\"a\" 1}") << false << false;
    QTest::newRow("leading zero") << QByteArray("{\"a\":01}") << false << false;
    QTest::newRow("plus sign") << QByteArray("{\"a\":+1}") << false << false;
    QTest::newRow("lone minus") << QByteArray("{\"a\":-}") << false << false;
    QTest::newRow("point without digits") << QByteArray("{\"a\":1.}") << false << true;
    QTest::newRow("exponent without digits") << QByteArray("{\"a\":1e}") << false << false;
    QTest::newRow("literal misspelt") << QByteArray("{\"a\":tru}") << false << false;
    QTest::newRow("control character in a string") << QByteArray("{\"a\":\"x\ty\"}") << false << true;
    QTest::newRow("unknown escape") << QByteArray(R"({"a":"\x41"})") << false << true;
    QTest::newRow("short unicode escape") << QByteArray(R"({"a":"\u12"})") << false << false;
    QTest::newRow("overlong UTF-8") << QByteArray("{\"a\":\"\xc0\xaf\"}") << false << false;
    QTest::newRow("UTF-8 of a surrogate") << QByteArray("{\"a\":\"\xed\xa0\x80\"}") << false << false;
    QTest::newRow("UTF-8 beyond U+10FFFF") << QByteArray("{\"a\":\"\xf4\x90\x80\x80\"}") << false << false;
    QTest::newRow("UTF-8 cut") << QByteArray("{\"a\":\"\xe2\x82\"}") << false << false;
    QTest::newRow("stray continuation byte") << QByteArray("{\"a\":\"\x80\"}") << false << false;
    QTest::newRow("text after the value") << QByteArray("{} {}") << false << false;
    QTest::newRow("a NUL after the value") << QByteArray("{}\0", 3) << false << false;
}

void tst_JsonView::sameAsQt()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, isValid);
    QFETCH(bool, isQtLenient);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    QCOMPARE(error.error == QJsonParseError::NoError, isValid || isQtLenient);

    CJsonText json;
    QCOMPARE(json.parse(text), isValid);
    QCOMPARE(json.errorString().isEmpty(), isValid);
    if (isValid)
        QCOMPARE(difference(CJsonView(&json, 0), document.object(), QStringLiteral("$")), QString());
}

void tst_JsonView::lastKeyCounts()
{
    // Qt keeps the last of a key given twice; so does the view, and
    // nesting stops at its bound, not at Qt's.
    CJsonText json;
    QVERIFY(json.parse(R"({"a":1,"b":2,"a":"x"})"));
    QCOMPARE(CJsonView(&json, 0).value("a").toString(), QStringLiteral("x"));
    QCOMPARE(QJsonDocument::fromJson(R"({"a":1,"b":2,"a":"x"})").object().value("a").toString(), QStringLiteral("x"));
    QVERIFY(json.parse(nested(CJsonText::MaxDepth)));
    QVERIFY(!json.parse(nested(CJsonText::MaxDepth + 1)));
}

QTEST_GUILESS_MAIN(tst_JsonView)
#include "tst_jsonview.moc"
