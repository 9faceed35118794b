#ifndef TVX_MAINFORMPLUGIN_H
#define TVX_MAINFORMPLUGIN_H

#include "app/iwidget.h"

#include <QObject>

// A sample main form: a small window that shows the argument string it was
// given and a few cut-off texts, with buttons that end it with the result
// codes 0 (exit), 1 (restart) and 3 (reload).
//
// With TARVEX_SAMPLE_AUTOCLOSE_MS set it closes itself after that many
// milliseconds and returns 0, so that it also runs unattended.
class MainFormPlugin : public QObject, public IWidget
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IWidget_iid)
    Q_INTERFACES(IWidget)

public:
    int Run(const std::string &strArgs) override;
};

#endif // TVX_MAINFORMPLUGIN_H
