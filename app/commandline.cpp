#include "app/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

bool parseCommandLine(StartupOptions *options)
{
    if (!options)
        return false;
    return parseCommandLine(options, QCoreApplication::arguments());
}

bool parseCommandLine(StartupOptions *options, const QStringList &arguments)
{
    if (!options)
        return false;
    if (arguments.size() <= 1)
        return true;

    QCommandLineParser parser;
    // "-crash" is one option, not five one-letter ones.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption upgradeResult(QStringLiteral("ur"), QStringLiteral("upgrade result."),
                                           QStringLiteral("upgradeResult"), QString());
    const QCommandLineOption crash(QStringLiteral("crash"));
    parser.addOption(upgradeResult);
    parser.addOption(crash);

    // The error text is not shown: an invalid command line runs the plugin
    // as if no option had been given.
    if (!parser.parse(arguments))
        return false;

    if (parser.isSet(upgradeResult)) {
        // Accepted, but nothing acts on the upgrader's result yet; while it
        // is present the crash flag is not looked at.
        const QString result = parser.value(upgradeResult);
        Q_UNUSED(result)
    } else if (parser.isSet(crash)) {
        options->strExtraArg = "crash";
    }
    return true;
}
