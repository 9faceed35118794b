#include "clioptions.h"

#include "platform/download.h"

#include <QRegularExpression>
#include <QSet>

namespace {

enum OptionId {
    OptJson,
    OptShowKey,
    OptSolutionInfo,
    OptFile,
    OptServer,
    OptCurrent,
    OptPrefix,
    OptPath,
    OptKey,
    OptPublic,
    OptLimitRate,
    OptId,
    OptAllowUnsigned
};

struct OptionInfo
{
    const char *name;
    OptionId id;
    bool hasValue;
};

const OptionInfo optionTable[] = {
    {"json", OptJson, false},
    {"show-key", OptShowKey, false},
    {"solution-info", OptSolutionInfo, true},
    {"file", OptFile, true},
    {"server", OptServer, true},
    {"current", OptCurrent, true},
    {"prefix", OptPrefix, true},
    {"path", OptPath, true},
    {"key", OptKey, true},
    {"public", OptPublic, true},
    {"limit-rate", OptLimitRate, true},
    {"id", OptId, true},
    {"allow-unsigned", OptAllowUnsigned, false},
};

const OptionInfo *findOption(const QString &name)
{
    for (const OptionInfo &option : optionTable) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

QVector<OptionId> allowedOptions(CliOptions::Command command)
{
    switch (command) {
    case CliOptions::CommandCheck:
        return {OptSolutionInfo, OptJson};
    case CliOptions::CommandDownload:
        return {OptSolutionInfo, OptJson, OptLimitRate};
    case CliOptions::CommandApply:
        return {OptJson};
    case CliOptions::CommandServersShow:
        return {OptFile, OptShowKey, OptJson};
    case CliOptions::CommandServersWrite:
        return {OptFile, OptServer, OptCurrent, OptPrefix, OptPath, OptKey};
    case CliOptions::CommandTrustAdd:
        return {OptPublic};
    case CliOptions::CommandTrustShow:
        return {OptJson};
    case CliOptions::CommandTrustRemove:
        return {OptPublic, OptId};
    case CliOptions::CommandTrustReset:
        return {OptAllowUnsigned};
    default:
        return {};
    }
}

QString commandName(CliOptions::Command command)
{
    switch (command) {
    case CliOptions::CommandCheck: return QStringLiteral("check");
    case CliOptions::CommandDownload: return QStringLiteral("download");
    case CliOptions::CommandApply: return QStringLiteral("apply");
    case CliOptions::CommandServersShow: return QStringLiteral("servers show");
    case CliOptions::CommandServersWrite: return QStringLiteral("servers write");
    case CliOptions::CommandTrustAdd: return QStringLiteral("trust add");
    case CliOptions::CommandTrustShow: return QStringLiteral("trust show");
    case CliOptions::CommandTrustRemove: return QStringLiteral("trust remove");
    case CliOptions::CommandTrustReset: return QStringLiteral("trust reset");
    case CliOptions::CommandChannelShow: return QStringLiteral("channel show");
    case CliOptions::CommandChannelSet: return QStringLiteral("channel set");
    case CliOptions::CommandReportsOn: return QStringLiteral("reports on");
    case CliOptions::CommandReportsOff: return QStringLiteral("reports off");
    default: return QString();
    }
}

CliOptions::Command commandOf(const QStringList &arguments)
{
    static const struct { const char *first; const char *second; CliOptions::Command command; } names[] = {
        {"check", nullptr, CliOptions::CommandCheck},
        {"download", nullptr, CliOptions::CommandDownload},
        {"apply", nullptr, CliOptions::CommandApply},
        {"servers", "show", CliOptions::CommandServersShow},
        {"servers", "write", CliOptions::CommandServersWrite},
        {"trust", "add", CliOptions::CommandTrustAdd},
        {"trust", "show", CliOptions::CommandTrustShow},
        {"trust", "remove", CliOptions::CommandTrustRemove},
        {"trust", "reset", CliOptions::CommandTrustReset},
        {"channel", "show", CliOptions::CommandChannelShow},
        {"channel", "set", CliOptions::CommandChannelSet},
        {"reports", "on", CliOptions::CommandReportsOn},
        {"reports", "off", CliOptions::CommandReportsOff},
    };
    for (const auto &name : names) {
        if (arguments.value(0) == QLatin1String(name.first)
            && (!name.second || arguments.value(1) == QLatin1String(name.second)))
            return name.command;
    }
    return CliOptions::CommandNone;
}

// The server list's settings end up in URLs and in a file other programs
// read: a line break, an invisible character or, except in the key, a space
// is a slip of the command line, never a setting.
QString characterFault(const QString &strValue, bool isSpaceAllowed)
{
    for (const QChar c : strValue) {
        const QString code = QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("holds the control character %1").arg(code);
        if (c.category() == QChar::Other_Format)
            return QStringLiteral("holds the invisible character %1").arg(code);
        if (!isSpaceAllowed && c.isSpace())
            return QStringLiteral("holds a space (%1)").arg(code);
    }
    return QString();
}

} // namespace

bool parseCliArguments(const QStringList &arguments, CliOptions &options, QString &strError)
{
    options = CliOptions();
    strError.clear();

    // --help wins wherever it stands, so that "tarvex-upgrade servers write
    // --help" helps instead of complaining about missing options; after a
    // command it helps with that one.
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            options.command = CliOptions::CommandHelp;
            options.helpTopic = commandOf(arguments);
            return true;
        }
    }
    if (arguments.value(0) == QLatin1String("--version")) {
        options.command = CliOptions::CommandVersion;
        return true;
    }

    if (arguments.isEmpty()) {
        strError = QStringLiteral("no command given");
        return false;
    }

    int index = 0;
    const QString command = arguments.at(index++);
    if (command == QLatin1String("check")) {
        options.command = CliOptions::CommandCheck;
    } else if (command == QLatin1String("download")) {
        options.command = CliOptions::CommandDownload;
    } else if (command == QLatin1String("apply")) {
        options.command = CliOptions::CommandApply;
    } else if (command == QLatin1String("servers")) {
        if (index >= arguments.size()) {
            strError = QStringLiteral("servers needs \"show\" or \"write\"");
            return false;
        }
        const QString subCommand = arguments.at(index++);
        if (subCommand == QLatin1String("show")) {
            options.command = CliOptions::CommandServersShow;
        } else if (subCommand == QLatin1String("write")) {
            options.command = CliOptions::CommandServersWrite;
        } else {
            strError = QStringLiteral("unknown servers command \"%1\"").arg(subCommand);
            return false;
        }
    } else if (command == QLatin1String("trust")) {
        const QString subCommand = index < arguments.size() ? arguments.at(index++) : QString();
        if (subCommand == QLatin1String("add")) {
            options.command = CliOptions::CommandTrustAdd;
        } else if (subCommand == QLatin1String("show")) {
            options.command = CliOptions::CommandTrustShow;
        } else if (subCommand == QLatin1String("remove")) {
            options.command = CliOptions::CommandTrustRemove;
        } else if (subCommand == QLatin1String("reset")) {
            options.command = CliOptions::CommandTrustReset;
        } else {
            strError = QStringLiteral("trust needs \"add\", \"show\", \"remove\" or \"reset\"");
            return false;
        }
    } else if (command == QLatin1String("channel")) {
        const QString subCommand = index < arguments.size() ? arguments.at(index++) : QString();
        if (subCommand == QLatin1String("show")) {
            options.command = CliOptions::CommandChannelShow;
        } else if (subCommand == QLatin1String("set")) {
            options.command = CliOptions::CommandChannelSet;
            options.strChannel = arguments.value(index++);
            static const QRegularExpression pattern(QStringLiteral("^[a-z0-9][a-z0-9._-]{0,31}$"));
            if (!pattern.match(options.strChannel).hasMatch()) {
                strError = QStringLiteral("channel set takes a name of 1 to 32 of a-z, 0-9, \".\", \"_\", \"-\" "
                                          "(such as stable or beta), got \"%1\"")
                               .arg(options.strChannel);
                return false;
            }
        } else {
            strError = QStringLiteral("channel needs \"show\" or \"set NAME\"");
            return false;
        }
    } else if (command == QLatin1String("reports")) {
        const QString subCommand = index < arguments.size() ? arguments.at(index++) : QString();
        if (subCommand == QLatin1String("on")) {
            options.command = CliOptions::CommandReportsOn;
        } else if (subCommand == QLatin1String("off")) {
            options.command = CliOptions::CommandReportsOff;
        } else {
            strError = QStringLiteral("reports needs \"on\" or \"off\"");
            return false;
        }
    } else {
        strError = QStringLiteral("unknown command \"%1\"").arg(command);
        return false;
    }

    const QVector<OptionId> allowed = allowedOptions(options.command);
    QSet<int> seen;
    while (index < arguments.size()) {
        const QString argument = arguments.at(index++);
        if (!argument.startsWith(QLatin1String("--")) || argument.size() == 2) {
            strError = QStringLiteral("unexpected argument \"%1\"").arg(argument);
            return false;
        }
        QString name = argument.mid(2);
        QString value;
        bool hasInlineValue = false;
        const int equals = name.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = name.mid(equals + 1);
            name.truncate(equals);
            hasInlineValue = true;
        }

        const OptionInfo *option = findOption(name);
        if (!option) {
            strError = QStringLiteral("unknown option --%1").arg(name);
            return false;
        }
        if (!allowed.contains(option->id)) {
            strError = QStringLiteral("option --%1 does not apply to %2").arg(name, commandName(options.command));
            return false;
        }
        if (option->id != OptServer && seen.contains(option->id)) {
            strError = QStringLiteral("option --%1 given twice").arg(name);
            return false;
        }
        seen.insert(option->id);

        if (!option->hasValue) {
            if (hasInlineValue) {
                strError = QStringLiteral("option --%1 takes no value").arg(name);
                return false;
            }
        } else if (!hasInlineValue) {
            if (index >= arguments.size()) {
                strError = QStringLiteral("option --%1 needs a value").arg(name);
                return false;
            }
            value = arguments.at(index++);
        }
        // Every value option names a file or a setting that must not be
        // empty; saying so here beats a failure deep inside the operation.
        if (option->hasValue && value.isEmpty()) {
            strError = QStringLiteral("option --%1 needs a non-empty value").arg(name);
            return false;
        }

        switch (option->id) {
        case OptJson: options.isJson = true; break;
        case OptShowKey: options.isShowKey = true; break;
        case OptAllowUnsigned: options.isAllowingUnsigned = true; break;
        case OptSolutionInfo: options.strSolutionInfoPath = value; break;
        case OptFile: options.strServerFilePath = value; break;
        case OptCurrent: options.strCurrent = value; break;
        case OptPrefix: options.strPrefix = value; break;
        case OptPath: options.strPath = value; break;
        case OptKey: options.strKey = value; break;
        case OptPublic: options.strPublicKeyPath = value; break;
        case OptId: options.strKeyId = value; break;
        case OptLimitRate:
            options.llLimitRate = parseRate(value);
            if (options.llLimitRate <= 0) {
                strError = QStringLiteral("--limit-rate takes a rate such as 500K or 1M, got \"%1\"").arg(value);
                return false;
            }
            break;
        case OptServer: {
            const int separator = value.indexOf(QLatin1Char('='));
            const QString serverName = separator < 0 ? QString() : value.left(separator);
            const QString serverUrl = separator < 0 ? QString() : value.mid(separator + 1);
            if (serverName.isEmpty() || serverUrl.isEmpty()) {
                strError = QStringLiteral("--server needs NAME=HOST[:PORT], got \"%1\"").arg(value);
                return false;
            }
            // The engine puts the scheme in front itself (http for the
            // servers named "test" and "inter", https for any other): a
            // second one would make every request fail.
            if (serverUrl.contains(QLatin1String("://"))) {
                strError = QStringLiteral("--server takes HOST[:PORT] without a scheme, got \"%1\"").arg(serverUrl);
                return false;
            }
            for (const auto &server : qAsConst(options.vecServers)) {
                if (server.first == serverName) {
                    strError = QStringLiteral("server \"%1\" given twice").arg(serverName);
                    return false;
                }
            }
            options.vecServers.append(qMakePair(serverName, serverUrl));
            break;
        }
        }
    }

    if (options.command == CliOptions::CommandServersWrite) {
        if (options.vecServers.isEmpty()) {
            strError = QStringLiteral("servers write needs at least one --server NAME=HOST[:PORT]");
            return false;
        }
        const struct { int id; const char *name; } required[] = {
            {OptCurrent, "current"}, {OptPrefix, "prefix"}, {OptPath, "path"}, {OptKey, "key"}};
        for (const auto &option : required) {
            if (!seen.contains(option.id)) {
                strError = QStringLiteral("servers write needs --%1").arg(QLatin1String(option.name));
                return false;
            }
        }
        QVector<QPair<QString, QString>> values; // (option, value)
        for (const auto &server : qAsConst(options.vecServers))
            values.append(qMakePair(QStringLiteral("--server"), server.first + QLatin1Char('=') + server.second));
        values << qMakePair(QStringLiteral("--current"), options.strCurrent)
               << qMakePair(QStringLiteral("--prefix"), options.strPrefix)
               << qMakePair(QStringLiteral("--path"), options.strPath)
               << qMakePair(QStringLiteral("--key"), options.strKey);
        for (const auto &value : qAsConst(values)) {
            const QString fault = characterFault(value.second, value.first == QLatin1String("--key"));
            if (!fault.isEmpty()) {
                strError = QStringLiteral("%1 %2; write the value without it").arg(value.first, fault);
                return false;
            }
        }
        bool isCurrentKnown = false;
        for (const auto &server : qAsConst(options.vecServers))
            isCurrentKnown = isCurrentKnown || server.first == options.strCurrent;
        if (!isCurrentKnown) {
            strError = QStringLiteral("--current \"%1\" names none of the servers").arg(options.strCurrent);
            return false;
        }
    }
    if (options.command == CliOptions::CommandTrustAdd && options.strPublicKeyPath.isEmpty()) {
        strError = QStringLiteral("trust add needs --public FILE");
        return false;
    }
    if (options.command == CliOptions::CommandTrustRemove
        && options.strPublicKeyPath.isEmpty() == options.strKeyId.isEmpty()) {
        strError = QStringLiteral("trust remove needs --id ID or --public FILE");
        return false;
    }
    return true;
}

namespace {

const char usageHead[] =
    "Usage: tarvex-upgrade COMMAND [OPTIONS]\n"
    "       tarvex-upgrade COMMAND --help\n"
    "       tarvex-upgrade --version\n"
    "\n"
    "Checks, downloads and applies upgrades of the installation that this\n"
    "program stands in, and maintains its upgrade server list.\n"
    "\n";

const struct
{
    CliOptions::Command command;
    const char *text;
} commandHelp[] = {
    {CliOptions::CommandCheck,
     "  check [--solution-info FILE] [--json]\n"
     "      Asks the current upgrade server which module versions it offers and\n"
     "      lists the installed modules that need an upgrade.\n"},
    {CliOptions::CommandDownload,
     "  download [--solution-info FILE] [--limit-rate RATE] [--json]\n"
     "      The check, then downloads and unpacks what needs an upgrade into Tmp/\n"
     "      and stages the new module versions with it. Ctrl+C, SIGTERM and SIGHUP\n"
     "      stop the download and remove Tmp/ (a second one ends it at once); the\n"
     "      bytes already received wait in Tmp.download/ and the next download\n"
     "      continues from them where the server allows it. Only 7z packets are\n"
     "      unpacked, and a packet holding a file name that is not valid UTF-8 or\n"
     "      that Windows cannot hold is refused as a whole (10).\n"
     "      Interrupted transfers are retried and continued; a module's mirrors\n"
     "      are tried after its own URL. --limit-rate holds the download to RATE\n"
     "      bytes per second: 500K, 1M, 2.5M or a plain number. With a trusted key,\n"
     "      a signed delta from the installed version is taken instead of the full\n"
     "      packet; if anything about it fails, the full packet comes after all.\n"},
    {CliOptions::CommandApply,
     "  apply [--json]\n"
     "      Copies the staged upgrade into the installation, with a backup of every\n"
     "      replaced file and a rollback on failure.\n"},
    {CliOptions::CommandServersShow,
     "  servers show [--file FILE] [--show-key] [--json]\n"
     "      Prints the upgrade server list; the key is masked unless --show-key.\n"},
    {CliOptions::CommandServersWrite,
     "  servers write [--file FILE] --server NAME=HOST[:PORT] [--server ...]\n"
     "                --current NAME --prefix PREFIX --path PATH --key KEY\n"
     "      Writes the upgrade server list, its settings encrypted. The query is\n"
     "      SCHEME://HOST[:PORT]PREFIX PATH/NUMBER with the token MD5(PATH/NUMBER\n"
     "      KEY) in a header; the scheme follows the server's name: \"test\" and\n"
     "      \"inter\" are asked over HTTP, every other name over HTTPS. Values with\n"
     "      control or invisible characters, and all but KEY with spaces, are\n"
     "      refused.\n"},
    {CliOptions::CommandTrustAdd,
     "  trust add --public FILE\n"
     "      Trusts the release signing key of the PEM public key FILE (as made by\n"
     "      \"tarvex-release keygen\"); a file that holds a private key is refused.\n"
     "      From then on every check needs a release document signed by a trusted\n"
     "      key, and every packet its signed size and SHA-256. A trust file or\n"
     "      serial record that is damaged or missing then refuses every check (14).\n"},
    {CliOptions::CommandTrustShow,
     "  trust show [--json]\n"
     "      Lists the trusted release keys and the last accepted release serial.\n"},
    {CliOptions::CommandTrustRemove,
     "  trust remove --id ID | --public FILE\n"
     "      Stops trusting a release key (ID as trust show lists it). The last key\n"
     "      is not removed: without a key nothing would be verified.\n"},
    {CliOptions::CommandTrustReset,
     "  trust reset [--allow-unsigned]\n"
     "      The way out of a damaged trust state, logged in Log/Print.log: keeps\n"
     "      the keys of a readable trust file and forgets the serial of the last\n"
     "      accepted release, so the next signed release is accepted whatever its\n"
     "      serial. With --allow-unsigned, removes the trusted keys and the serial\n"
     "      record instead: the installation takes unsigned releases again.\n"},
    {CliOptions::CommandChannelShow,
     "  channel show\n"
     "      Prints the release channel the installation follows (stable unless set).\n"},
    {CliOptions::CommandChannelSet,
     "  channel set NAME\n"
     "      Follows channel NAME (1 to 32 of a-z, 0-9, \".\", \"_\", \"-\"; such as\n"
     "      stable or beta) from the next check: the releases signed for it are\n"
     "      offered, and every newer stable one. A switch never downgrades: a\n"
     "      module stays as it is until a release newer than the installed one\n"
     "      is offered.\n"},
    {CliOptions::CommandReportsOn,
     "  reports on\n"
     "      After each upgrade, sends one short outcome report (a random id per\n"
     "      release, the versions, result codes, download method, bytes and times;\n"
     "      nothing about the user or the machine) to the report URL of the signed\n"
     "      release document, if it names one. This is the default.\n"},
    {CliOptions::CommandReportsOff,
     "  reports off\n"
     "      Sends no outcome reports; upgrades are unchanged.\n"},
};

const char usageTail[] =
    "\n"
    "Defaults: FILE of --solution-info is Solutions/SolutionInfo.xml and FILE of\n"
    "--file is Conf/System/UpgradeServerCluster.xml, both under the directory\n"
    "of this program.\n"
    "\n"
    "--json prints one JSON document: {\"result\", \"resultName\", \"needUpgrade\",\n"
    "\"serverModules\"} (and for download \"progress\" and \"packets\": per packet\n"
    "its id, the url that served it, bytesResumed from an earlier run,\n"
    "bytesReceived over the network, attempts, method \"delta\" or \"full\",\n"
    "bytesFull, bytesDelta, bytesSaved and deltaFallback, why an offered delta\n"
    "was not used).\n"
    "\n"
    "Environment: TARVEX_DOWNLOAD_RETRIES (retries in a row without progress,\n"
    "per URL; default 5), TARVEX_DOWNLOAD_RETRY_WINDOW (seconds without progress\n"
    "after which no retry starts; default 300), TARVEX_DOWNLOAD_DEADLINE\n"
    "(seconds for a packet in all; default none), TARVEX_DOWNLOAD_LIMIT_RATE (as\n"
    "--limit-rate, which wins), CURL_CA_BUNDLE (a PEM file of the certificate\n"
    "authorities to trust for HTTPS instead of the system's).\n"
    "\n"
    "Exit status: the engine's result code: 0 success, 2 no module needs an\n"
    "upgrade (download) or nothing is staged (apply), 3 not enough room to apply,\n"
    "4 network failure or download stopped, 5 temporary directory not creatable,\n"
    "6 server list unreadable, 7 writing failed, 8 solution information\n"
    "unreadable, 9 staging the solution information failed, 10 unpacking\n"
    "failed, 14 release not trusted (or the trust state damaged), 15 packet\n"
    "not trusted, 16 packet URL over plain HTTP behind an HTTPS query; 64 for\n"
    "a wrong command line.\n";

} // namespace

QString cliCommandHelp(CliOptions::Command command)
{
    QString text = QLatin1String(usageHead) + QLatin1String(command == CliOptions::CommandNone ? "Commands:\n" : "");
    for (const auto &help : commandHelp) {
        if (command == CliOptions::CommandNone || help.command == command)
            text += QLatin1String(help.text);
    }
    return text + QLatin1String(usageTail);
}

QString cliUsageText()
{
    return cliCommandHelp(CliOptions::CommandNone);
}
