#ifndef TVX_KELMDOMNODERESOLVE_H
#define TVX_KELMDOMNODERESOLVE_H

#include <QDomDocument>
#include <QDomElement>
#include <QString>

namespace KelmGUI {

// One element of one XML document. Children share the document, so a change
// made through any of them is written by SaveXML on the object that loaded or
// created it. A default-constructed object stands for no element.
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
    KelmDomNodeResolve GetChild(int index) const;

    QString GetNodeName() const;
    QString GetNodeValue() const;
    bool SetNodeValue(const QString &value);
    QString GetAttribute(const QString &name, const QString &defaultValue) const;
    bool SetAttribute(const QString &name, const QString &value);

private:
    KelmDomNodeResolve(const QDomElement &element, const QDomDocument &document);

    QDomElement m_element;
    QDomDocument m_document;
};

} // namespace KelmGUI

#endif // TVX_KELMDOMNODERESOLVE_H
