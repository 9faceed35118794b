#ifndef TVX_MAINFORMPLUGIN_H
#define TVX_MAINFORMPLUGIN_H

#include "app/iwidget.h"

#include <QObject>

// The demo main form: a window with the installed modules (from
// Solutions/SolutionInfo.xml under the application directory), the check
// for updates, the download with its progress, and buttons that end it with
// the result codes 2 (upgrade and restart), 1 (restart) and 3 (reload).
// Closing the window returns 0.
//
// Environment:
// - TARVEX_DEMO_UNATTENDED=1: check, download and hand over without clicks,
//   printing each step on stdout (see CUnattendedRun);
// - TARVEX_DEMO_RUN_RECORD=FILE: append one JSON line per run to FILE
//   (relative to the application directory): the installed versions at the
//   start, the result and what led to it;
// - TARVEX_SAMPLE_AUTOCLOSE_MS=N: close by itself after N milliseconds and
//   return 0 (not in the unattended mode, which ends by itself).
class MainFormPlugin : public QObject, public IWidget
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IWidget_iid)
    Q_INTERFACES(IWidget)

public:
    int Run(const std::string &strArgs) override;
};

#endif // TVX_MAINFORMPLUGIN_H
