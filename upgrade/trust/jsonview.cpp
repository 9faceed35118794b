#include "upgrade/trust/jsonview.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace Trust {

class CJsonReader
{
public:
    explicit CJsonReader(CJsonText &text)
        : m_text(text)
        , m_pBegin(reinterpret_cast<const unsigned char *>(text.m_baText.constData()))
        , m_p(m_pBegin)
        , m_pEnd(m_pBegin + text.m_baText.size())
    {
    }

    bool run()
    {
        skipSpace();
        // As for QJsonDocument, a text is an object or an array.
        if (m_p == m_pEnd || (*m_p != '{' && *m_p != '['))
            return fail("no object or array");
        if (!readValue(0))
            return false;
        skipSpace();
        return m_p == m_pEnd || fail("text after the value");
    }

private:
    bool fail(const char *pWhat)
    {
        m_text.m_strError = QStringLiteral("%1 at byte %2").arg(QLatin1String(pWhat)).arg(m_p - m_pBegin);
        return false;
    }

    void skipSpace()
    {
        while (m_p < m_pEnd && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    std::uint32_t offset() const { return std::uint32_t(m_p - m_pBegin); }

    std::size_t push(CJsonText::Token::Type type)
    {
        m_text.m_vecTokens.push_back(CJsonText::Token{type, false, offset(), offset(), 0, 0});
        return m_text.m_vecTokens.size() - 1;
    }

    void close(std::size_t nIndex)
    {
        CJsonText::Token &token = m_text.m_vecTokens[nIndex];
        token.end = offset();
        token.next = std::uint32_t(m_text.m_vecTokens.size());
    }

    bool readValue(int nDepth)
    {
        if (m_p == m_pEnd)
            return fail("a value missing");
        switch (*m_p) {
        case '{':
        case '[':
            return readContainer(nDepth);
        case '"':
            return readString();
        case 't':
            return readLiteral("true", CJsonText::Token::True);
        case 'f':
            return readLiteral("false", CJsonText::Token::False);
        case 'n':
            return readLiteral("null", CJsonText::Token::Null);
        default:
            return readNumber();
        }
    }

    bool readContainer(int nDepth)
    {
        if (nDepth >= CJsonText::MaxDepth)
            return fail("nesting too deep");
        const bool isObject = *m_p == '{';
        const unsigned char closing = isObject ? '}' : ']';
        const std::size_t index = push(isObject ? CJsonText::Token::Object : CJsonText::Token::Array);
        ++m_p;
        skipSpace();
        std::uint32_t count = 0;
        if (m_p < m_pEnd && *m_p == closing) {
            ++m_p;
        } else {
            for (;;) {
                if (isObject) {
                    if (m_p == m_pEnd || *m_p != '"')
                        return fail("a key missing");
                    if (!readString())
                        return false;
                    skipSpace();
                    if (m_p == m_pEnd || *m_p != ':')
                        return fail("':' missing");
                    ++m_p;
                    skipSpace();
                }
                if (!readValue(nDepth + 1))
                    return false;
                ++count;
                skipSpace();
                if (m_p < m_pEnd && *m_p == ',') {
                    ++m_p;
                    skipSpace();
                    continue;
                }
                if (m_p < m_pEnd && *m_p == closing) {
                    ++m_p;
                    break;
                }
                return fail(isObject ? "',' or '}' missing" : "',' or ']' missing");
            }
        }
        close(index);
        m_text.m_vecTokens[index].size = count;
        return true;
    }

    bool readLiteral(const char *pWord, CJsonText::Token::Type type)
    {
        const std::size_t length = std::strlen(pWord);
        if (std::size_t(m_pEnd - m_p) < length || std::memcmp(m_p, pWord, length) != 0)
            return fail("an invalid literal");
        const std::size_t index = push(type);
        m_p += length;
        close(index);
        return true;
    }

    bool isDigit() const { return m_p < m_pEnd && *m_p >= '0' && *m_p <= '9'; }

    bool readNumber()
    {
        const unsigned char *pStart = m_p;
        const std::size_t index = push(CJsonText::Token::Number);
        if (m_p < m_pEnd && *m_p == '-')
            ++m_p;
        if (!isDigit())
            return fail("an invalid value");
        if (*m_p == '0') {
            ++m_p;
        } else {
            while (isDigit())
                ++m_p;
        }
        if (m_p < m_pEnd && *m_p == '.') {
            ++m_p;
            if (!isDigit())
                return fail("an invalid number");
            while (isDigit())
                ++m_p;
        }
        if (m_p < m_pEnd && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p < m_pEnd && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (!isDigit())
                return fail("an invalid number");
            while (isDigit())
                ++m_p;
        }
        // What is not plainly a whole number that a double holds exactly
        // must still be one that a double holds at all.
        const bool isPlainInteger = m_p - pStart <= 15
            && std::all_of(pStart, m_p, [](unsigned char c) { return c == '-' || (c >= '0' && c <= '9'); });
        if (!isPlainInteger) {
            bool isOk = false;
            const double value = QByteArray(reinterpret_cast<const char *>(pStart), int(m_p - pStart)).toDouble(&isOk);
            if (!isOk || !std::isfinite(value))
                return fail("a number out of range");
        }
        close(index);
        return true;
    }

    static bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

    // One character of UTF-8 beyond ASCII, as QJsonDocument accepts it: no
    // overlong forms, no surrogates, nothing above U+10FFFF.
    bool skipUtf8()
    {
        const unsigned char lead = *m_p;
        int length = 0;
        unsigned int minimum = 0;
        unsigned int code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            minimum = 0x80;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            minimum = 0x800;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            minimum = 0x10000;
            code = lead & 0x07;
        } else {
            return fail("invalid UTF-8");
        }
        if (m_pEnd - m_p < length)
            return fail("invalid UTF-8");
        for (int i = 1; i < length; ++i) {
            if (!isContinuation(m_p[i]))
                return fail("invalid UTF-8");
            code = (code << 6) | (m_p[i] & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return fail("invalid UTF-8");
        m_p += length;
        return true;
    }

    static bool isHex(unsigned char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    bool readString()
    {
        ++m_p; // the opening quote
        const std::size_t index = push(CJsonText::Token::String);
        bool hasEscapes = false;
        for (;;) {
            if (m_p == m_pEnd)
                return fail("a string not closed");
            const unsigned char c = *m_p;
            if (c == '"')
                break;
            if (c < 0x20)
                return fail("a control character in a string");
            if (c == '\\') {
                hasEscapes = true;
                ++m_p;
                if (m_p == m_pEnd || !std::strchr("\"\\/bfnrtu", *m_p) || *m_p == 0)
                    return fail("an invalid escape");
                if (*m_p == 'u') {
                    if (m_pEnd - m_p < 5 || !isHex(m_p[1]) || !isHex(m_p[2]) || !isHex(m_p[3]) || !isHex(m_p[4]))
                        return fail("an invalid escape");
                    m_p += 4;
                }
                ++m_p;
            } else if (c < 0x80) {
                ++m_p;
            } else if (!skipUtf8()) {
                return false;
            }
        }
        close(index);
        m_text.m_vecTokens[index].hasEscapes = hasEscapes;
        ++m_p; // the closing quote
        return true;
    }

    CJsonText &m_text;
    const unsigned char *m_pBegin;
    const unsigned char *m_p;
    const unsigned char *m_pEnd;
};

bool CJsonText::parse(const QByteArray &baText)
{
    m_baText = baText;
    m_vecTokens.clear();
    m_strError.clear();
    if (baText.size() >= std::numeric_limits<std::int32_t>::max()) {
        m_strError = QStringLiteral("too large");
        return false;
    }
    // A release document has about one token for every nine bytes; room
    // for more costs address space only, a reallocation copies them all.
    m_vecTokens.reserve(std::size_t(baText.size() / 4 + 16));
    CJsonReader reader(*this);
    if (!reader.run()) {
        m_vecTokens.clear();
        return false;
    }
    return true;
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

// A string whose escapes were checked when the text was read.
QString decodeEscaped(const char *p, const char *pEnd)
{
    QString result;
    result.reserve(int(pEnd - p));
    while (p < pEnd) {
        const char *run = p;
        while (p < pEnd && *p != '\\')
            ++p;
        if (p > run)
            result += QString::fromUtf8(run, int(p - run));
        if (p == pEnd)
            break;
        ++p;
        const char escape = *p++;
        switch (escape) {
        case 'b': result += QLatin1Char('\b'); break;
        case 'f': result += QLatin1Char('\f'); break;
        case 'n': result += QLatin1Char('\n'); break;
        case 'r': result += QLatin1Char('\r'); break;
        case 't': result += QLatin1Char('\t'); break;
        case 'u': {
            // UTF-16 code units: a pair of surrogates joins in the QString.
            const ushort unit = ushort(hexValue(p[0]) << 12 | hexValue(p[1]) << 8 | hexValue(p[2]) << 4 | hexValue(p[3]));
            result += QChar(unit);
            p += 4;
            break;
        }
        default: result += QLatin1Char(escape); break; // " \ /
        }
    }
    return result;
}

} // namespace

bool CJsonView::toBool(bool isDefault) const
{
    if (is(CJsonText::Token::True))
        return true;
    if (is(CJsonText::Token::False))
        return false;
    return isDefault;
}

double CJsonView::toDouble(double dDefault) const
{
    if (!isDouble())
        return dDefault;
    const CJsonText::Token &token = m_pText->token(m_nIndex);
    const char *p = m_pText->text().constData() + token.begin;
    const char *pEnd = m_pText->text().constData() + token.end;
    // Whole numbers of up to 15 digits, nearly all of a release document's,
    // are exact without a conversion of text.
    const bool isNegative = *p == '-';
    const char *digits = p + (isNegative ? 1 : 0);
    if (pEnd - digits <= 15) {
        qint64 value = 0;
        const char *q = digits;
        for (; q < pEnd && *q >= '0' && *q <= '9'; ++q)
            value = value * 10 + (*q - '0');
        if (q == pEnd)
            return double(isNegative ? -value : value);
    }
    bool isOk = false;
    const double value = QByteArray(p, int(pEnd - p)).toDouble(&isOk);
    return isOk ? value : dDefault;
}

QString CJsonView::toString() const
{
    if (!isString())
        return QString();
    const CJsonText::Token &token = m_pText->token(m_nIndex);
    const char *p = m_pText->text().constData() + token.begin;
    if (!token.hasEscapes)
        return QString::fromUtf8(p, int(token.end - token.begin));
    return decodeEscaped(p, m_pText->text().constData() + token.end);
}

QByteArray CJsonView::utf8() const
{
    if (!isString())
        return QByteArray();
    const CJsonText::Token &token = m_pText->token(m_nIndex);
    if (token.hasEscapes)
        return toString().toUtf8();
    return QByteArray::fromRawData(m_pText->text().constData() + token.begin, int(token.end - token.begin));
}

int CJsonView::size() const
{
    return isArray() || isObject() ? int(m_pText->token(m_nIndex).size) : 0;
}

CJsonView CJsonView::at(int nIndex) const
{
    if (!isArray() || nIndex < 0 || nIndex >= size())
        return CJsonView();
    int index = m_nIndex + 1;
    for (int i = 0; i < nIndex; ++i)
        index = int(m_pText->token(index).next);
    return CJsonView(m_pText, index);
}

bool CJsonView::keyEquals(int nKeyIndex, const char *pKey) const
{
    const CJsonText::Token &key = m_pText->token(nKeyIndex);
    if (key.hasEscapes)
        return CJsonView(m_pText, nKeyIndex).toString() == QLatin1String(pKey);
    const std::size_t length = std::strlen(pKey);
    return key.end - key.begin == length && std::memcmp(m_pText->text().constData() + key.begin, pKey, length) == 0;
}

CJsonView CJsonView::value(const char *pKey) const
{
    if (!isObject())
        return CJsonView();
    int found = -1;
    int index = m_nIndex + 1;
    for (std::uint32_t i = 0; i < m_pText->token(m_nIndex).size; ++i) {
        if (keyEquals(index, pKey))
            found = index + 1;
        index = int(m_pText->token(index + 1).next);
    }
    return found < 0 ? CJsonView() : CJsonView(m_pText, found);
}

CJsonView::Iterator &CJsonView::Iterator::operator++()
{
    m_nIndex = int(m_pText->token(m_isObject ? m_nIndex + 1 : m_nIndex).next);
    return *this;
}

CJsonView::Iterator CJsonView::begin() const
{
    if (!isArray() && !isObject())
        return end();
    return Iterator(m_pText, m_nIndex + 1, isObject());
}

CJsonView::Iterator CJsonView::end() const
{
    if (!isArray() && !isObject())
        return Iterator(m_pText, -1, false);
    return Iterator(m_pText, int(m_pText->token(m_nIndex).next), isObject());
}

} // namespace Trust
