#ifndef TVX_CLIOPTIONS_H
#define TVX_CLIOPTIONS_H

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// The command line of tarvex-upgrade, parsed but not yet checked against
// the installation.
struct CliOptions
{
    enum Command {
        CommandNone,
        CommandHelp,
        CommandCheck,
        CommandDownload,
        CommandApply,
        CommandServersShow,
        CommandServersWrite,
        CommandTrustAdd,
        CommandTrustShow
    };

    Command command = CommandNone;
    bool isJson = false;
    bool isShowKey = false;
    QString strSolutionInfoPath; // empty: the installation's own
    QString strServerFilePath;   // empty: the engine's own
    QVector<QPair<QString, QString>> vecServers; // (name, url), in command line order
    QString strCurrent;
    QString strPrefix;
    QString strPath;
    QString strKey;
    QString strPublicKeyPath; // trust add
    qint64 llLimitRate = -1; // download --limit-rate, bytes per second; -1: not given
};

// The exit status for a command line that cannot be run (EX_USAGE).
constexpr int CliUsageExitCode = 64;

// Parses the arguments after the program name. On false, strError says what
// is wrong in one line.
bool parseCliArguments(const QStringList &arguments, CliOptions &options, QString &strError);

QString cliUsageText();

#endif // TVX_CLIOPTIONS_H
