#include "upgrade/files/kelmdomnoderesolve.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qInfo() << "LoadXML cannot open" << path << file.errorString();
        return false;
    }
    // Parsing from memory is markedly faster than from the device.
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        qInfo() << "LoadXML cannot read" << path << file.errorString();
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
    const QByteArray bytes = text.toUtf8();
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
