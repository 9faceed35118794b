#ifndef TVX_KELMDOMNODERESOLVE_H
#define TVX_KELMDOMNODERESOLVE_H

#include <QDomDocument>
#include <QDomElement>
#include <QString>

namespace KelmGUI {

// One element of one XML document. Children share the document, so a change
// made through any of them is written by SaveXML on the object that loaded or
// created it. A default-constructed object stands for no element.
//
// Only elements count as children: text, comments and processing
// instructions are skipped by GetChildNodeCount, GetChild and
// FindChildByNodeName. Children are only ever appended, never removed, so an
// index names the same child for the life of the document.
//
// SaveXML writes UTF-8 with an XML declaration and an indentation of four
// spaces. Values and names that XML 1.0 cannot carry are refused by the
// setters, so whatever SaveXML writes reads back through LoadXML unchanged.
class KelmDomNodeResolve
{
public:
    KelmDomNodeResolve();

    bool LoadXML(const QString &path);
    // Replaces the file atomically: a failed save leaves the old file as it was.
    bool SaveXML(const QString &path);
    bool CreateRootNode(const QString &name);

    KelmDomNodeResolve CreateChildNode(const QString &name);
    KelmDomNodeResolve FindChildByNodeName(const QString &name) const;
    int GetChildNodeCount() const;
    // Constant time when called with ascending indexes on the same object.
    KelmDomNodeResolve GetChild(int index) const;

    QString GetNodeName() const;
    QString GetNodeValue() const;
    bool SetNodeValue(const QString &value);
    QString GetAttribute(const QString &name, const QString &defaultValue) const;
    bool SetAttribute(const QString &name, const QString &value);

private:
    KelmDomNodeResolve(const QDomElement &element, const QDomDocument &document);
    void resetChildCursor() const;

    QDomElement m_element;
    QDomDocument m_document;

    // Last child handed out by GetChild, so that walking the children in
    // order does not restart from the first one at every step.
    mutable QDomElement m_cursorChild;
    mutable int m_cursorIndex = -1;
};

} // namespace KelmGUI

#endif // TVX_KELMDOMNODERESOLVE_H
