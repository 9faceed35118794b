#ifndef TVX_JSONVIEW_H
#define TVX_JSONVIEW_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace Trust {

// A strict JSON reader for large documents that are read once: the text is
// split into a flat list of tokens in one pass, and values are decoded only
// when asked for. A release document of ten thousand modules reads several
// times faster than through QJsonDocument, which builds a tree of every value
// first. The accessors follow QJsonValue's, so that code reads the same.
//
// Strict as QJsonDocument::fromJson is: RFC 8259 grammar, UTF-8 only, no
// trailing text; nesting deeper than MaxDepth is refused as well. Of a key
// given twice, the last one counts.
class CJsonText
{
public:
    static constexpr int MaxDepth = 64;

    // The text must outlive this object and every view of it.
    bool parse(const QByteArray &baText);
    QString errorString() const { return m_strError; }

    struct Token
    {
        enum Type : std::uint8_t { Null, False, True, Number, String, Array, Object };
        Type type;
        bool hasEscapes;      // strings: decoded through the slow path
        std::uint32_t begin;  // the first byte of the value; strings: after the quote
        std::uint32_t end;    // after the last byte; strings: at the closing quote
        std::uint32_t size;   // containers: elements, or key-value pairs
        std::uint32_t next;   // the token after this value and everything in it
    };

    const QByteArray &text() const { return m_baText; }
    const Token &token(int nIndex) const { return m_vecTokens[std::size_t(nIndex)]; }

private:
    friend class CJsonReader;
    QByteArray m_baText;
    std::vector<Token> m_vecTokens;
    QString m_strError;
};

// One value of a parsed text, or none (undefined: a missing key, an index out of range).
class CJsonView
{
public:
    CJsonView() = default;
    CJsonView(const CJsonText *pText, int nIndex) : m_pText(pText), m_nIndex(nIndex) {}

    bool isUndefined() const { return m_nIndex < 0; }
    bool isNull() const { return is(CJsonText::Token::Null); }
    bool isBool() const { return is(CJsonText::Token::True) || is(CJsonText::Token::False); }
    bool isDouble() const { return is(CJsonText::Token::Number); }
    bool isString() const { return is(CJsonText::Token::String); }
    bool isArray() const { return is(CJsonText::Token::Array); }
    bool isObject() const { return is(CJsonText::Token::Object); }

    bool toBool(bool isDefault = false) const;
    double toDouble(double dDefault = 0) const;
    QString toString() const; // empty unless a string
    // The string's bytes, without a copy when it holds no escapes; valid
    // while the text lives.
    QByteArray utf8() const;
    // Arrays and objects: their number of elements, or of keys.
    int size() const;
    bool isEmpty() const { return size() == 0; }

    // Arrays: the element at nIndex (walks from the first: for short arrays).
    CJsonView at(int nIndex) const;
    // Objects: the value of a key, the last one if given twice.
    CJsonView value(const char *pKey) const;
    bool contains(const char *pKey) const { return !value(pKey).isUndefined(); }

    // The elements of an array, or the values of an object, in order.
    class Iterator
    {
    public:
        Iterator(const CJsonText *pText, int nIndex, bool isObject)
            : m_pText(pText), m_nIndex(nIndex), m_isObject(isObject) {}
        CJsonView operator*() const { return CJsonView(m_pText, m_isObject ? m_nIndex + 1 : m_nIndex); }
        Iterator &operator++();
        bool operator!=(const Iterator &other) const { return m_nIndex != other.m_nIndex; }

    private:
        const CJsonText *m_pText;
        int m_nIndex;
        bool m_isObject;
    };
    Iterator begin() const;
    Iterator end() const;

private:
    bool is(CJsonText::Token::Type type) const { return m_nIndex >= 0 && m_pText->token(m_nIndex).type == type; }
    bool keyEquals(int nKeyIndex, const char *pKey) const;

    const CJsonText *m_pText = nullptr;
    int m_nIndex = -1;
};

} // namespace Trust

#endif // TVX_JSONVIEW_H
