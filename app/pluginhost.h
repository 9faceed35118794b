#ifndef TVX_PLUGINHOST_H
#define TVX_PLUGINHOST_H

#include <QString>

#include <string>

QT_FORWARD_DECLARE_CLASS(QPluginLoader)

// Loads the main form plugin from the solutions directory through loader and
// runs it with "Tarvex", followed by " " and extraArg when that is not empty.
// Returns the plugin's result code, or -1 when it cannot be loaded or does not
// implement IWidget. The loader stays loaded; the caller unloads it.
int runMainFormPlugin(QPluginLoader *loader, std::string extraArg);

// The file that runMainFormPlugin loads.
QString mainFormPluginPath();

#endif // TVX_PLUGINHOST_H
