#ifndef TVX_PLATFORMNAMES_H
#define TVX_PLATFORMNAMES_H

#include <QLatin1String>
#include <QChar>

// Every platform-dependent file name of the product lives here.
namespace PlatformNames {

#ifdef Q_OS_WIN
inline QLatin1String launcherFileName() { return QLatin1String("Tarvex.exe"); }
inline QLatin1String mainFormPluginFileName() { return QLatin1String("MainFormPlugin.dll"); }
inline QLatin1String upgraderFileName() { return QLatin1String("Upgrade.exe"); }
inline QLatin1String sevenZipFileName() { return QLatin1String("7z.exe"); }
inline QLatin1String toolBoxFileName() { return QLatin1String("ToolBox.exe"); }
inline QLatin1String upgradeToolFileName() { return QLatin1String("tarvex-upgrade.exe"); }
inline QLatin1String releaseToolFileName() { return QLatin1String("tarvex-release.exe"); }
inline char pathListSeparator() { return ';'; }
#else
inline QLatin1String launcherFileName() { return QLatin1String("Tarvex"); }
inline QLatin1String mainFormPluginFileName() { return QLatin1String("libMainFormPlugin.so"); }
inline QLatin1String upgraderFileName() { return QLatin1String("Upgrade"); }
inline QLatin1String sevenZipFileName() { return QLatin1String("7z"); }
inline QLatin1String toolBoxFileName() { return QLatin1String("ToolBox"); }
inline QLatin1String upgradeToolFileName() { return QLatin1String("tarvex-upgrade"); }
inline QLatin1String releaseToolFileName() { return QLatin1String("tarvex-release"); }
inline char pathListSeparator() { return ':'; }
#endif

} // namespace PlatformNames

#endif // TVX_PLATFORMNAMES_H
