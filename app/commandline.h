#ifndef TVX_COMMANDLINE_H
#define TVX_COMMANDLINE_H

#include <QStringList>

#include <string>

// What the command line asks of the start-up sequence.
struct StartupOptions
{
    // Appended to the main form plugin's argument string; "crash" or empty.
    std::string strExtraArg;
};

// Fills options from QCoreApplication::arguments(). False when options is
// null or the command line cannot be parsed; options then keeps its defaults.
bool parseCommandLine(StartupOptions *options);

// The same for a given argument list, whose first entry is the program.
bool parseCommandLine(StartupOptions *options, const QStringList &arguments);

#endif // TVX_COMMANDLINE_H
