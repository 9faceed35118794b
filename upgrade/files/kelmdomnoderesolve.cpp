#include "upgrade/files/kelmdomnoderesolve.h"

#include "platform/readfile.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>
#include <QTextCodec>
#include <QTextStream>
#include <QVector>

#include <algorithm>
#include <cstring>

namespace KelmGUI {

namespace {

bool isNameStartChar(QChar c)
{
    const ushort u = c.unicode();
    if (u < 0x80)
        return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u == ':';
    return c.isLetter();
}

bool isNameChar(QChar c)
{
    const ushort u = c.unicode();
    if (u < 0x80)
        return isNameStartChar(c) || (u >= '0' && u <= '9') || u == '-' || u == '.';
    return c.isLetterOrNumber() || c.isMark();
}

// Element and attribute names: an XML Name from the Basic Multilingual Plane.
// QDom would create an element named "" or "a b" and write a file that no
// parser reads back, so the check is ours to make.
bool isValidName(const QString &name)
{
    if (name.isEmpty() || !isNameStartChar(name.at(0)))
        return false;
    for (int i = 1; i < name.size(); ++i) {
        if (!isNameChar(name.at(i)))
            return false;
    }
    return true;
}

// The characters XML 1.0 can carry. QDom writes the others as they are and
// reads them back altered or not at all.
bool isXmlText(const QString &text)
{
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const ushort u = text.at(i).unicode();
        if (u < 0x20) {
            if (u != 0x9 && u != 0xA && u != 0xD)
                return false;
        } else if (QChar::isHighSurrogate(u)) {
            if (i + 1 >= size || !QChar::isLowSurrogate(text.at(i + 1).unicode()))
                return false;
            ++i;
        } else if (QChar::isLowSurrogate(u) || u == 0xFFFE || u == 0xFFFF) {
            return false;
        }
    }
    return true;
}

// QDom's parser and its documents recurse once per level of elements, so a
// file nested deeply enough overflows the stack. No file of ours comes near
// this depth.
constexpr int MaxDepth = 256;
constexpr qint64 MaxXmlBytes = 64 * 1024 * 1024;

bool opensWith(const QByteArray &content, int at, const char *markup)
{
    const int length = int(qstrlen(markup));
    return content.size() - at >= length && std::memcmp(content.constData() + at, markup, size_t(length)) == 0;
}

int skipPast(const QByteArray &content, int from, const char *end)
{
    const int found = content.indexOf(end, from);
    return found < 0 ? content.size() : found + int(qstrlen(end));
}

// The bytes to scan for markup: ASCII-compatible encodings as they are,
// UTF-16 and UTF-32 (which QDom reads, with or without a byte order mark)
// converted to UTF-8, where a zero byte would hide every '/'.
QByteArray asciiCompatible(const QByteArray &content)
{
    QTextCodec *codec = QTextCodec::codecForUtfText(content, nullptr);
    if (!codec && content.size() >= 4) {
        static const struct
        {
            const char bytes[5];
            const char *name;
        } starts[] = {
            {{'<', 0, 0, 0, 0}, "UTF-32LE"},
            {{0, 0, 0, '<', 0}, "UTF-32BE"},
            {{'<', 0, '?', 0, 0}, "UTF-16LE"},
            {{0, '<', 0, '?', 0}, "UTF-16BE"},
        };
        for (const auto &start : starts) {
            if (std::memcmp(content.constData(), start.bytes, 4) == 0) {
                codec = QTextCodec::codecForName(start.name);
                break;
            }
        }
    }
    return codec && codec->mibEnum() != 106 ? codec->toUnicode(content).toUtf8() : content;
}

// Whether a '<' followed by c starts an element: a name starts with a
// letter, '_', ':' or a character beyond ASCII.
bool isNameStart(char c)
{
    const uchar u = uchar(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

// A lexical pass over the raw bytes, so that it holds for files that QDom
// reads and a stricter reader would refuse (undeclared entities or prefixes).
// Markup inside the internal subset of a DOCTYPE counts as depth too: entity
// values can carry elements that the parser expands in place.
bool isTooDeep(const QByteArray &content)
{
    const int size = content.size();
    int depth = 0;
    int i = content.indexOf('<');
    while (i >= 0 && i < size) {
        if (opensWith(content, i, "<!--")) {
            i = skipPast(content, i + 4, "-->");
        } else if (opensWith(content, i, "<![CDATA[")) {
            i = skipPast(content, i + 9, "]]>");
        } else if (opensWith(content, i, "<?")) {
            i = skipPast(content, i + 2, "?>");
        } else if (opensWith(content, i, "<!")) {
            // A DOCTYPE: quoted strings and a bracketed internal subset may hold '>'.
            // A quoted string is no nesting of the document; the elements it
            // holds nest only among themselves, where an entity expands.
            int brackets = 0;
            char quote = 0;
            int literalDepth = 0;
            for (++i; i < size; ++i) {
                const char c = content.at(i);
                if (quote) {
                    const char next = i + 1 < size ? content.at(i + 1) : 0;
                    if (c == quote) {
                        quote = 0;
                        literalDepth = 0;
                    } else if (c == '<' && next == '/') {
                        literalDepth = qMax(0, literalDepth - 1);
                    } else if (c == '/' && next == '>') {
                        literalDepth = qMax(0, literalDepth - 1);
                    } else if (c == '<' && isNameStart(next) && ++literalDepth > MaxDepth) {
                        return true;
                    }
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '[') {
                    ++brackets;
                } else if (c == ']') {
                    --brackets;
                } else if (c == '>' && brackets <= 0) {
                    ++i;
                    break;
                }
            }
        } else if (opensWith(content, i, "</")) {
            depth = qMax(0, depth - 1);
            i = skipPast(content, i + 2, ">");
        } else {
            char quote = 0;
            char previous = 0;
            for (++i; i < size; ++i) {
                const char c = content.at(i);
                if (quote) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
                previous = c;
            }
            if (previous != '/' && ++depth > MaxDepth)
                return true;
            ++i;
        }
        i = content.indexOf('<', i);
    }
    return false;
}

// QDom writes the attributes of an element in the order of a hash that is
// randomised per process, so the same records would give different bytes
// from one run to the next. This puts the attributes of every start tag QDom
// wrote in the order of their names and leaves every other character as it
// is. In QDom's output a '<' outside comments, CDATA sections, processing
// instructions and the DOCTYPE always starts a tag, and attribute values are
// quoted with '"' and never hold one.
QString sortAttributes(const QString &text)
{
    struct Attribute
    {
        QStringRef name;
        QStringRef whole; // the space before it included
    };

    const int size = text.size();
    QString sorted;
    sorted.reserve(size);
    QVector<Attribute> attributes;
    int copied = 0;
    int i = text.indexOf(QLatin1Char('<'));
    while (i >= 0 && i < size) {
        const QStringRef rest = text.midRef(i);
        if (rest.startsWith(QLatin1String("<!--"))) {
            i = text.indexOf(QLatin1String("-->"), i + 4);
        } else if (rest.startsWith(QLatin1String("<![CDATA["))) {
            i = text.indexOf(QLatin1String("]]>"), i + 9);
        } else if (rest.startsWith(QLatin1String("<?"))) {
            i = text.indexOf(QLatin1String("?>"), i + 2);
        } else if (rest.startsWith(QLatin1String("<!"))) {
            const int subset = text.indexOf(QLatin1Char('['), i);
            const int close = text.indexOf(QLatin1Char('>'), i);
            i = subset >= 0 && subset < close ? text.indexOf(QLatin1String("]>"), subset) : close;
        } else if (rest.startsWith(QLatin1String("</"))) {
            i = text.indexOf(QLatin1Char('>'), i);
        } else {
            int at = i + 1;
            while (at < size && text.at(at) != QLatin1Char(' ') && text.at(at) != QLatin1Char('/')
                   && text.at(at) != QLatin1Char('>'))
                ++at;
            const int first = at;
            attributes.clear();
            while (at < size && text.at(at) == QLatin1Char(' ')) {
                const int equals = text.indexOf(QLatin1String("=\""), at);
                const int quote = equals < 0 ? -1 : text.indexOf(QLatin1Char('"'), equals + 2);
                if (quote < 0)
                    return text; // not QDom's output: write it as it is
                attributes.append({text.midRef(at + 1, equals - at - 1), text.midRef(at, quote + 1 - at)});
                at = quote + 1;
            }
            if (attributes.size() > 1) {
                std::sort(attributes.begin(), attributes.end(),
                          [](const Attribute &a, const Attribute &b) { return a.name < b.name; });
                sorted += text.midRef(copied, first - copied);
                for (const Attribute &attribute : qAsConst(attributes))
                    sorted += attribute.whole;
                copied = at;
            }
            i = at;
        }
        if (i < 0)
            break;
        i = text.indexOf(QLatin1Char('<'), i + 1);
    }
    sorted += text.midRef(copied);
    return sorted;
}

} // namespace

KelmDomNodeResolve::KelmDomNodeResolve() = default;

KelmDomNodeResolve::KelmDomNodeResolve(const QDomElement &element, const QDomDocument &document)
    : m_element(element), m_document(document)
{
}

void KelmDomNodeResolve::resetChildCursor() const
{
    m_cursorChild = QDomElement();
    m_cursorIndex = -1;
}

bool KelmDomNodeResolve::LoadXML(const QString &path)
{
    // Parsing from memory is markedly faster than from the device. A
    // solution file lists modules, not their files: far below the bound.
    QByteArray content;
    QString readError;
    if (!readFileBounded(path, MaxXmlBytes, content, readError)) {
        qInfo().noquote() << "LoadXML cannot read:" << readError;
        return false;
    }

    if (isTooDeep(asciiCompatible(content))) {
        qInfo() << "LoadXML nested deeper than" << MaxDepth << "levels in" << path;
        return false;
    }

    // Parse into a document of its own, so that a failure leaves this object
    // and every child taken from it as they were.
    QDomDocument document;
    QString error;
    int line = 0;
    int column = 0;
    if (!document.setContent(content, &error, &line, &column)) {
        qInfo() << "LoadXML cannot parse" << path << "line" << line << "column" << column << error;
        return false;
    }
    const QDomElement root = document.documentElement();
    if (root.isNull()) {
        qInfo() << "LoadXML no root element in" << path;
        return false;
    }

    m_document = document;
    m_element = root;
    resetChildCursor();
    return true;
}

bool KelmDomNodeResolve::SaveXML(const QString &path)
{
    if (path.isEmpty() || m_document.isNull() || m_document.documentElement().isNull())
        return false;

    // The declaration follows the stream's codec, so that it always says what
    // the bytes are, whatever a loaded file declared. Serialising in memory
    // and writing once is several times faster than streaming to the file.
    QString text;
    {
        QTextStream stream(&text, QIODevice::WriteOnly);
        stream.setCodec("UTF-8");
        m_document.save(stream, 4, QDomNode::EncodingFromTextStream);
    }
    const QByteArray bytes = sortAttributes(text).toUtf8();
    text.clear();

    // Unbuffered: QSaveFile::commit() does not notice a short write in the
    // flush of its buffer (a full disk) and would put a truncated file in
    // place. Written directly, a short write shows in the count.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qInfo() << "SaveXML cannot open" << path << file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size()) {
        qInfo() << "SaveXML cannot write" << path << file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qInfo() << "SaveXML cannot replace" << path << file.errorString();
        return false;
    }
    return true;
}

bool KelmDomNodeResolve::CreateRootNode(const QString &name)
{
    if (!isValidName(name))
        return false;

    QDomDocument document;
    QDomElement root = document.createElement(name);
    if (root.isNull() || document.appendChild(root).isNull())
        return false;

    m_document = document;
    m_element = root;
    resetChildCursor();
    return true;
}

KelmDomNodeResolve KelmDomNodeResolve::CreateChildNode(const QString &name)
{
    if (m_element.isNull() || !isValidName(name))
        return KelmDomNodeResolve();

    QDomElement child = m_document.createElement(name);
    if (child.isNull() || m_element.appendChild(child).isNull())
        return KelmDomNodeResolve();
    return KelmDomNodeResolve(child, m_document);
}

KelmDomNodeResolve KelmDomNodeResolve::FindChildByNodeName(const QString &name) const
{
    // firstChildElement() with an empty name would match any element.
    if (m_element.isNull() || name.isEmpty())
        return KelmDomNodeResolve();

    const QDomElement child = m_element.firstChildElement(name);
    if (child.isNull())
        return KelmDomNodeResolve();
    return KelmDomNodeResolve(child, m_document);
}

int KelmDomNodeResolve::GetChildNodeCount() const
{
    int count = 0;
    for (QDomElement child = m_element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement())
        ++count;
    return count;
}

KelmDomNodeResolve KelmDomNodeResolve::GetChild(int index) const
{
    if (m_element.isNull() || index < 0)
        return KelmDomNodeResolve();

    // Children are only appended, so the cursor's index stays right as long
    // as its element is still ours; anything else starts from the front.
    QDomElement child;
    int at = 0;
    if (m_cursorIndex >= 0 && m_cursorIndex <= index && m_cursorChild.parentNode() == m_element) {
        child = m_cursorChild;
        at = m_cursorIndex;
    } else {
        child = m_element.firstChildElement();
    }
    while (!child.isNull() && at < index) {
        child = child.nextSiblingElement();
        ++at;
    }
    if (child.isNull())
        return KelmDomNodeResolve();

    m_cursorChild = child;
    m_cursorIndex = index;
    return KelmDomNodeResolve(child, m_document);
}

QString KelmDomNodeResolve::GetNodeName() const
{
    return m_element.tagName();
}

QString KelmDomNodeResolve::GetNodeValue() const
{
    // A leaf with one text hands out the text node's own string, shared
    // rather than copied: reading a large file allocates much less.
    const QDomNode first = m_element.firstChild();
    if (!first.isNull() && first.nextSibling().isNull() && (first.isText() || first.isCDATASection()))
        return first.nodeValue();
    return m_element.text();
}

bool KelmDomNodeResolve::SetNodeValue(const QString &value)
{
    if (m_element.isNull() || !isXmlText(value))
        return false;

    // The parser drops text made of white space only; a CDATA section keeps
    // it. CDATA cannot hold a carriage return, which the parser would turn
    // into a line feed: such a value cannot be stored faithfully.
    const bool blank = !value.isEmpty() && value.trimmed().isEmpty();
    if (blank && value.contains(QLatin1Char('\r')))
        return false;

    // The usual case, a leaf holding one text: change it in place.
    QDomNode first = m_element.firstChild();
    if (!blank && !value.isEmpty() && !first.isNull() && first.nodeType() == QDomNode::TextNode
        && first.nextSibling().isNull()) {
        first.setNodeValue(value);
        return true;
    }

    // Replace the text only; child elements stay where they are.
    for (QDomNode node = m_element.firstChild(); !node.isNull();) {
        const QDomNode next = node.nextSibling();
        if (node.isText() || node.isCDATASection())
            m_element.removeChild(node);
        node = next;
    }
    if (value.isEmpty())
        return true;

    const QDomNode text = blank ? QDomNode(m_document.createCDATASection(value))
                                : QDomNode(m_document.createTextNode(value));
    return !m_element.insertBefore(text, m_element.firstChild()).isNull();
}

QString KelmDomNodeResolve::GetAttribute(const QString &name, const QString &defaultValue) const
{
    if (m_element.isNull())
        return defaultValue;
    return m_element.attribute(name, defaultValue);
}

bool KelmDomNodeResolve::SetAttribute(const QString &name, const QString &value)
{
    if (m_element.isNull() || !isValidName(name) || !isXmlText(value))
        return false;
    m_element.setAttribute(name, value);
    return true;
}

} // namespace KelmGUI
