#ifndef TVX_IWIDGET_H
#define TVX_IWIDGET_H

#include <QtPlugin>

#include <string>

// The main interface of the main form plugin. The order of the virtual
// functions is part of the contract with plugins built elsewhere: the
// destructor first, Run second.
class IWidget
{
public:
    virtual ~IWidget() {}
    // Runs the main form and its event loop; the result tells the launcher
    // what to do next: 1 restart, 2 upgrade, 3 reload, anything else end.
    virtual int Run(const std::string &strArgs) = 0;
};

#define IWidget_iid "com.KelmPluginAPI.IWidget(1.0)"
Q_DECLARE_INTERFACE(IWidget, IWidget_iid)

#endif // TVX_IWIDGET_H
