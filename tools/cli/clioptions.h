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
        CommandTrustShow,
        CommandVersion,
        CommandTrustRemove,
        CommandTrustReset,
        CommandChannelShow,
        CommandChannelSet,
        CommandReportsOn,
        CommandReportsOff
    };

    Command command = CommandNone;
    Command helpTopic = CommandNone; // with CommandHelp: the command asked about, if any
    bool isJson = false;
    bool isShowKey = false;
    bool isAllowingUnsigned = false; // trust reset
    QString strSolutionInfoPath; // empty: the installation's own
    QString strServerFilePath;   // empty: the engine's own
    QVector<QPair<QString, QString>> vecServers; // (name, url), in command line order
    QString strCurrent;
    QString strPrefix;
    QString strPath;
    QString strKey;
    QString strPublicKeyPath; // trust add, trust remove
    QString strKeyId;         // trust remove
    QString strChannel;       // channel set
    qint64 llLimitRate = -1; // download --limit-rate, bytes per second; -1: not given
};

// The exit status for a command line that cannot be run (EX_USAGE).
constexpr int CliUsageExitCode = 64;

// Parses the arguments after the program name. On false, strError says what
// is wrong in one line.
bool parseCliArguments(const QStringList &arguments, CliOptions &options, QString &strError);

QString cliUsageText();
// The part of the usage text about one command; the whole text for CommandNone.
QString cliCommandHelp(CliOptions::Command command);

#endif // TVX_CLIOPTIONS_H
