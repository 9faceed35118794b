#include "clioptions.h"

#include "platform/download.h"

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
    OptLimitRate
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
    default: return QString();
    }
}

} // namespace

bool parseCliArguments(const QStringList &arguments, CliOptions &options, QString &strError)
{
    options = CliOptions();
    strError.clear();

    // --help wins wherever it stands, so that "tarvex-upgrade servers write
    // --help" helps instead of complaining about missing options.
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            options.command = CliOptions::CommandHelp;
            return true;
        }
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
        } else {
            strError = QStringLiteral("trust needs \"add\" or \"show\"");
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
        case OptSolutionInfo: options.strSolutionInfoPath = value; break;
        case OptFile: options.strServerFilePath = value; break;
        case OptCurrent: options.strCurrent = value; break;
        case OptPrefix: options.strPrefix = value; break;
        case OptPath: options.strPath = value; break;
        case OptKey: options.strKey = value; break;
        case OptPublic: options.strPublicKeyPath = value; break;
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
                strError = QStringLiteral("--server needs NAME=URL, got \"%1\"").arg(value);
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
            strError = QStringLiteral("servers write needs at least one --server NAME=URL");
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
    return true;
}

QString cliUsageText()
{
    return QStringLiteral(
        "Usage: tarvex-upgrade COMMAND [OPTIONS]\n"
        "\n"
        "Checks, downloads and applies upgrades of the installation that this\n"
        "program stands in, and maintains its upgrade server list.\n"
        "\n"
        "Commands:\n"
        "  check [--solution-info FILE] [--json]\n"
        "      Asks the current upgrade server which module versions it offers and\n"
        "      lists the installed modules that need an upgrade.\n"
        "  download [--solution-info FILE] [--limit-rate RATE] [--json]\n"
        "      The check, then downloads and unpacks what needs an upgrade into Tmp/\n"
        "      and stages the new module versions with it. Ctrl+C stops the download\n"
        "      and removes Tmp/; the bytes already received wait in Tmp.download/ and\n"
        "      the next download continues from them where the server allows it.\n"
        "      Interrupted transfers are retried and continued; a module's mirrors\n"
        "      are tried after its own URL. --limit-rate holds the download to RATE\n"
        "      bytes per second: 500K, 1M, 2.5M or a plain number. With a trusted key,\n"
        "      a signed delta from the installed version is taken instead of the full\n"
        "      packet; if anything about it fails, the full packet comes after all.\n"
        "  apply [--json]\n"
        "      Copies the staged upgrade into the installation, with a backup of every\n"
        "      replaced file and a rollback on failure.\n"
        "  servers show [--file FILE] [--show-key] [--json]\n"
        "      Prints the upgrade server list; the key is masked unless --show-key.\n"
        "  servers write [--file FILE] --server NAME=URL [--server NAME=URL ...]\n"
        "                --current NAME --prefix PREFIX --path PATH --key KEY\n"
        "      Writes the upgrade server list, its settings encrypted. URL is\n"
        "      HOST[:PORT]: the servers named \"test\" and \"inter\" are asked over\n"
        "      HTTP, all others over HTTPS.\n"
        "  trust add --public FILE\n"
        "      Trusts the release signing key of the PEM public key FILE (as made by\n"
        "      \"tarvex-release keygen\"). From then on every check needs a release\n"
        "      document signed by a trusted key, and every packet its signed size and\n"
        "      SHA-256.\n"
        "  trust show [--json]\n"
        "      Lists the trusted release keys and the last accepted release serial.\n"
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
        "Environment (download): TARVEX_DOWNLOAD_RETRIES (retries in a row without\n"
        "progress, per URL; default 5), TARVEX_DOWNLOAD_RETRY_WINDOW (seconds\n"
        "without progress after which no retry starts; default 300),\n"
        "TARVEX_DOWNLOAD_DEADLINE (seconds for a packet in all; default none),\n"
        "TARVEX_DOWNLOAD_LIMIT_RATE (as --limit-rate, which wins).\n"
        "\n"
        "Exit status: the engine's result code: 0 success, 2 no module needs an\n"
        "upgrade (download) or nothing is staged (apply), 3 not enough room to apply,\n"
        "4 network failure or download stopped, 5 temporary directory not creatable,\n"
        "6 server list unreadable, 7 writing failed, 8 solution information\n"
        "unreadable, 9 staging the solution information failed, 10 unpacking\n"
        "failed, 14 release not trusted, 15 packet not trusted, 16 packet URL over\n"
        "plain HTTP behind an HTTPS query; 64 for a wrong command line.\n");
}
