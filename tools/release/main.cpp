// tarvex-release: the publisher's tool. Makes signing keys, packs module
// trees into packets, signs the release document of a site, verifies it,
// shows it, withdraws a bad release, and publishes the site for an ordinary
// web server or object storage.

#include "releasetool.h"
#include "sitepublisher.h"

#include <QCoreApplication>
#include <QMap>
#include <QRegularExpression>

#include <cstdio>

namespace {

const char usageHead[] =
    "Usage: tarvex-release COMMAND [OPTIONS]\n"
    "       tarvex-release COMMAND --help\n"
    "       tarvex-release --version\n"
    "\n";

const char usageTail[] =
    "Exit status: 0 success, 1 failure (the reason on stderr), 64 wrong command line.\n";

constexpr int usageExitCode = 64;

struct Command
{
    const char *name;
    QStringList required;
    QStringList optional;   // options with a value
    QStringList repeatable;
    QStringList flags;      // options without a value
    const char *help;
};

const Command commands[] = {
    {"keygen", {QStringLiteral("out")}, {}, {}, {},
     "  keygen --out FILE\n"
     "      Writes a new Ed25519 private key to FILE (PEM, mode 0600) and its\n"
     "      public key to FILE.pub.\n"},
    {"pack",
     {QStringLiteral("root"), QStringLiteral("tree"), QStringLiteral("module"), QStringLiteral("version"),
      QStringLiteral("release-date")},
     {QStringLiteral("desc"), QStringLiteral("icon-url"), QStringLiteral("notes"), QStringLiteral("base-tree"),
      QStringLiteral("base-version")},
     {},
     {QStringLiteral("allow-older"), QStringLiteral("dry-run")},
     "  pack --root SITE --tree DIR --module ID --version V --release-date YYYYMMDDhhmm\n"
     "       [--desc TEXT] [--icon-url URL] [--notes FILE]\n"
     "       [--base-tree OLDDIR --base-version OLDV]\n"
     "       [--allow-older] [--dry-run]\n"
     "      Packs DIR (laid out like the application directory) with 7z into\n"
     "      SITE/packets/ID-V.7z and adds or replaces the module's entry, with the\n"
     "      packet's size and SHA-256, in SITE/manifest.json; the entry it replaces\n"
     "      is kept in the manifest's history (for withdraw).\n"
     "      The release date must be later than the module's current one\n"
     "      (installations take only a later date); the same version may be packed\n"
     "      again under its own date. --allow-older lifts that rule.\n"
     "      A Conf/System/TrustedKeys.json in DIR (a key rotation) must be a key\n"
     "      list signed by the keys of the site's trust file (SITE/trust.json).\n"
     "      A tree holding a file name that is not valid UTF-8, or that Windows\n"
     "      cannot hold (<>:\"\\|?*, control characters, a trailing dot or space,\n"
     "      CON, AUX, LPT1 ...), is refused with the name: installations would\n"
     "      refuse the packet.\n"
     "      With --base-tree, also packs SITE/packets/ID-OLDV-V.delta.7z, which\n"
     "      turns OLDDIR (the module as installed at OLDV) into DIR: unchanged\n"
     "      files are left out, changed ones become zstd patches, new ones go in\n"
     "      whole. The entry lists it under \"Deltas\"; packing again with another\n"
     "      base adds one more, while the full packet stays the same.\n"
     "      --notes: the release notes, UTF-8 text of at most 16384 characters\n"
     "      (plain, or Markdown's headings \"# \", list items \"- \" and\n"
     "      **bold**), signed into the document and shown to users before the\n"
     "      download; installations never read them as HTML.\n"
     "      --dry-run checks everything and says what would be done.\n"},
    {"sign", {QStringLiteral("root"), QStringLiteral("key")},
     {QStringLiteral("expires"), QStringLiteral("mirror"), QStringLiteral("report-url")},
     {QStringLiteral("key"), QStringLiteral("mirror")},
     {QStringLiteral("dry-run")},
     "  sign --root SITE --key FILE [--key FILE ...] [--expires YYYY-MM-DDThh:mm:ssZ]\n"
     "       [--mirror URL ...] [--report-url URL] [--dry-run]\n"
     "      Writes SITE/release.json: the signed release document of every module\n"
     "      of the manifest, with a serial one above the previous one. The private\n"
     "      keys must be readable by their owner only. Default expiry: 30 days.\n"
     "      --mirror: the root of another copy of the published site (as\n"
     "      --base-url of publish), signed into the document; publish lists each\n"
     "      packet's place there as its mirror.\n"
     "      Warns when the keys do not satisfy the site's trust file\n"
     "      (SITE/trust.json: the keys installations trust once they took the\n"
     "      last signed release), and updates it when the release rotates keys.\n"
     "      --report-url: where installations send a short outcome report after\n"
     "      each upgrade (publish makes nginx accept them at that URL's path when\n"
     "      it lies on the published site); without it, no reports are sent.\n"},
    {"rollout set", {QStringLiteral("root"), QStringLiteral("module"), QStringLiteral("key")},
     {QStringLiteral("percent"), QStringLiteral("schedule"), QStringLiteral("channel"), QStringLiteral("expires"),
      QStringLiteral("report-url")},
     {QStringLiteral("key"), QStringLiteral("channel")},
     {QStringLiteral("dry-run")},
     "  rollout set --root SITE --module ID (--percent P | --schedule FILE)\n"
     "              [--channel NAME ...] --key FILE [--key FILE ...]\n"
     "              [--expires YYYY-MM-DDThh:mm:ssZ] [--report-url URL] [--dry-run]\n"
     "      Offers the module's current release to P % of the installations (a\n"
     "      whole number from 0 to 100): those whose bucket, 0-99, made from their\n"
     "      random installation id and the release, is below P. FILE is a\n"
     "      schedule, one \"YYYY-MM-DDThh:mm:ssZ PERCENT\" a line by time; an\n"
     "      installation reads it against its own clock, kept between the\n"
     "      document's signing time and its expiry. --channel: the channels the\n"
     "      release is offered on (default stable, which every installation\n"
     "      sees). The others are offered the previous release from the site's\n"
     "      history. Then signs the site again (serial one higher), keeping its\n"
     "      mirrors and report URL.\n"},
    {"rollout advance", {QStringLiteral("root"), QStringLiteral("module"), QStringLiteral("key")},
     {QStringLiteral("percent"), QStringLiteral("schedule"), QStringLiteral("expires"), QStringLiteral("report-url")},
     {QStringLiteral("key")},
     {QStringLiteral("dry-run")},
     "  rollout advance --root SITE --module ID (--percent P | --schedule FILE)\n"
     "                  --key FILE [--key FILE ...] [--expires YYYY-MM-DDThh:mm:ssZ]\n"
     "                  [--report-url URL] [--dry-run]\n"
     "      As set, for a release that has a rollout, but never lowers the share\n"
     "      it reaches now; it lifts a halt.\n"},
    {"rollout halt", {QStringLiteral("root"), QStringLiteral("module"), QStringLiteral("key")},
     {QStringLiteral("expires"), QStringLiteral("report-url")},
     {QStringLiteral("key")},
     {QStringLiteral("dry-run")},
     "  rollout halt --root SITE --module ID --key FILE [--key FILE ...]\n"
     "               [--expires YYYY-MM-DDThh:mm:ssZ] [--report-url URL] [--dry-run]\n"
     "      Stops offering the module's current release to installations that do\n"
     "      not have it; they are offered the previous release. Signed like any\n"
     "      release, with a higher serial: a replayed older document cannot lift\n"
     "      it. Those that have it keep it (withdraw takes it back).\n"},
    {"rollout status", {QStringLiteral("log")},
     {QStringLiteral("auto-halt-above"), QStringLiteral("min-reports"), QStringLiteral("root"), QStringLiteral("key"),
      QStringLiteral("expires")},
     {QStringLiteral("key")},
     {QStringLiteral("json")},
     "  rollout status --log FILE [--json]\n"
     "                 [--auto-halt-above PCT --root SITE --key FILE [--key FILE ...]\n"
     "                  [--min-reports N]]\n"
     "      Reads the outcome reports that nginx logged (OUT/logs/reports.log of\n"
     "      publish) and prints, per release and per range of ten buckets, the\n"
     "      installations seen, success, reverted and failed, and the median\n"
     "      download time. --auto-halt-above: halts (as rollout halt, signed with\n"
     "      the keys) each module whose current release has at least N reports\n"
     "      (default 1) of which more than PCT % were reverted or failed.\n"},
    {"verify", {QStringLiteral("root"), QStringLiteral("public")}, {}, {QStringLiteral("public")}, {},
     "  verify --root SITE --public FILE.pub [--public FILE.pub ...]\n"
     "      Checks the signature, the expiry, the manifest against the document,\n"
     "      and the size and SHA-256 of every packet, delta packets included.\n"},
    {"show", {QStringLiteral("root")}, {}, {}, {QStringLiteral("json")},
     "  show --root SITE [--json]\n"
     "      Lists what the site holds: every module with its version, release\n"
     "      date, packet size and deltas, its rollout and channels, whether the\n"
     "      manifest still matches the signed document, the document's serial,\n"
     "      expiry and signers, the site's trust file and the withdrawn releases.\n"},
    {"withdraw", {QStringLiteral("root"), QStringLiteral("module")}, {QStringLiteral("release-date")}, {},
     {QStringLiteral("dry-run")},
     "  withdraw --root SITE --module ID [--release-date YYYYMMDDhhmm] [--dry-run]\n"
     "      Offers the module's previous release again in place of the current\n"
     "      one: its packet under a new, later release date (default: now, and\n"
     "      always after the withdrawn one), with deltas from the withdrawn\n"
     "      version and from the previous one itself, so that installations on\n"
     "      either take a small download. Installations on the withdrawn release\n"
     "      go back through the ordinary upgrade; the others never see it again.\n"
     "      Then sign and publish as usual.\n"},
    {"rotate", {QStringLiteral("key"), QStringLiteral("public"), QStringLiteral("out")},
     {QStringLiteral("threshold")}, {QStringLiteral("key"), QStringLiteral("public")}, {},
     "  rotate --key FILE [--key FILE ...] --public FILE.pub [--public FILE.pub ...]\n"
     "         [--threshold N] --out FILE\n"
     "      Writes a key rotation: the list of the --public keys (N of them must\n"
     "      sign each release, default 1), signed by the --key keys. Put it into a\n"
     "      module's tree as Conf/System/TrustedKeys.json and pack it: installations\n"
     "      accept it only with valid signatures of their current keys. Sign it\n"
     "      with the old and the new keys, so that it stays valid for\n"
     "      installations on either (see the README's key rotation).\n"},
    {"publish", {QStringLiteral("root")},
     {QStringLiteral("out"), QStringLiteral("prefix"), QStringLiteral("path"), QStringLiteral("key"),
      QStringLiteral("listen"), QStringLiteral("base-url"), QStringLiteral("tls-cert"), QStringLiteral("tls-key"),
      QStringLiteral("s3"), QStringLiteral("bucket")},
     {},
     {QStringLiteral("dry-run")},
     "  publish --root SITE --out DIR --prefix P --path P [--key TOKENKEY]\n"
     "          [--listen HOST:PORT] [--tls-cert FILE --tls-key FILE]\n"
     "          [--base-url URL] [--dry-run]\n"
     "      Writes a static site for nginx into DIR: site/answer.json (the version\n"
     "      answer, with the signed document), site/release.json, site/packets/,\n"
     "      server.conf (a server block to include) and nginx.conf, which\n"
     "      \"nginx -p DIR -c nginx.conf\" runs as it stands. With --key, nginx\n"
     "      checks the token itself (njs). Packets are copied (hard-linked on the\n"
     "      same file system) into site/packets/ID/, a directory named after\n"
     "      their content that never changes; the answer is switched in last, by\n"
     "      rename, so that a running nginx keeps serving throughout and never\n"
     "      names a packet that is not there yet.\n"
     "      --tls-cert/--tls-key: nginx serves HTTPS with this certificate.\n"
     "      --base-url: where installations download the site's files (packet\n"
     "      URLs are URL/packets/...); default http(s)://LISTEN, and LISTEN is\n"
     "      127.0.0.1:8080 by default. The mirrors that sign recorded go into\n"
     "      the answer too.\n"
     "  publish --root SITE --s3 ENDPOINT --bucket BUCKET --base-url URL [--dry-run]\n"
     "      Uploads the same layout to S3 object storage (path style,\n"
     "      ENDPOINT/BUCKET/KEY, AWS Signature V4): the packets first, release.json\n"
     "      and answer.json last; objects already there are not sent again. A\n"
     "      missing bucket is created readable by everyone. URL is where\n"
     "      installations read the bucket anonymously (or a CDN in front of it).\n"
     "      Credentials: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, optionally\n"
     "      AWS_SESSION_TOKEN; the region is AWS_REGION or AWS_DEFAULT_REGION\n"
     "      (default us-east-1).\n"},
};

int usageError(const QString &text, const char *command = nullptr)
{
    std::fprintf(stderr, "tarvex-release: %s\nTry \"tarvex-release %s--help\".\n", qPrintable(text),
                 command ? (QByteArray(command) + ' ').constData() : "");
    return usageExitCode;
}

void printUsage()
{
    std::fputs(usageHead, stdout);
    for (const Command &command : commands)
        std::fputs(command.help, stdout);
    std::fputs("  --version\n      Prints the tool's version.\n\n", stdout);
    std::fputs(usageTail, stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--version")) {
        std::printf("tarvex-release %s\n", TVX_VERSION);
        return 0;
    }
    // "rollout" takes one more word: rollout set, advance, halt, status.
    const int nameWords = arguments.value(0) == QLatin1String("rollout") ? 2 : 1;
    const QString commandName = arguments.mid(0, nameWords).join(QLatin1Char(' '));
    const Command *command = nullptr;
    for (const Command &candidate : commands) {
        if (commandName == QLatin1String(candidate.name))
            command = &candidate;
    }
    // --help wins wherever it stands: after a command, that command's help.
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        if (command)
            std::printf("%s%s\n%s", usageHead, command->help, usageTail);
        else
            printUsage();
        return 0;
    }
    if (arguments.isEmpty())
        return usageError(QStringLiteral("no command given"));
    if (!command)
        return usageError(QStringLiteral("unknown command \"%1\"").arg(commandName));

    QMap<QString, QStringList> values;
    for (int i = nameWords; i < arguments.size(); ++i) {
        const QString argument = arguments.at(i);
        if (!argument.startsWith(QLatin1String("--")))
            return usageError(QStringLiteral("unexpected argument \"%1\"").arg(argument), command->name);
        const QString name = argument.mid(2);
        const bool isFlag = command->flags.contains(name);
        if (!isFlag && !command->required.contains(name) && !command->optional.contains(name))
            return usageError(QStringLiteral("option --%1 does not apply to %2").arg(name, QLatin1String(command->name)),
                              command->name);
        if (values.contains(name) && !command->repeatable.contains(name))
            return usageError(QStringLiteral("option --%1 given twice").arg(name), command->name);
        if (isFlag) {
            values[name].append(QString());
            continue;
        }
        if (i + 1 >= arguments.size())
            return usageError(QStringLiteral("option --%1 needs a value").arg(name), command->name);
        const QString value = arguments.at(++i);
        // "--prefix ''" is a valid empty prefix; every other value names something.
        if (value.isEmpty() && name != QLatin1String("prefix") && name != QLatin1String("desc"))
            return usageError(QStringLiteral("option --%1 needs a non-empty value").arg(name), command->name);
        values[name].append(value);
    }
    for (const QString &name : command->required) {
        if (!values.contains(name))
            return usageError(QStringLiteral("%1 needs --%2").arg(QLatin1String(command->name), name), command->name);
    }
    const auto value = [&values](const char *name) { return values.value(QLatin1String(name)).value(0); };
    const auto isSet = [&values](const char *name) { return values.contains(QLatin1String(name)); };
    const bool isDryRun = isSet("dry-run");

    const QString name = QLatin1String(command->name);
    if (name == QLatin1String("keygen"))
        return ReleaseTool::keygen(value("out"));
    if (name == QLatin1String("pack")) {
        ReleaseTool::PackOptions options;
        options.strRoot = value("root");
        options.strTree = value("tree");
        options.strModule = value("module");
        options.strVersion = value("version");
        options.strReleaseDate = value("release-date");
        options.strDesc = value("desc");
        options.strIconUrl = value("icon-url");
        options.strNotesFile = value("notes");
        options.strBaseTree = value("base-tree");
        options.strBaseVersion = value("base-version");
        options.isAllowOlder = isSet("allow-older");
        options.isDryRun = isDryRun;
        if (options.strBaseTree.isEmpty() != options.strBaseVersion.isEmpty())
            return usageError(QStringLiteral("--base-tree and --base-version go together"), command->name);
        return ReleaseTool::pack(options);
    }
    if (name == QLatin1String("sign"))
        return ReleaseTool::sign(value("root"), values.value(QStringLiteral("key")), value("expires"),
                                 values.value(QStringLiteral("mirror")), value("report-url"), isDryRun);
    if (name == QLatin1String("verify"))
        return ReleaseTool::verify(value("root"), values.value(QStringLiteral("public")));
    if (name == QLatin1String("show"))
        return ReleaseTool::show(value("root"), isSet("json"));
    if (name == QLatin1String("withdraw"))
        return ReleaseTool::withdraw(value("root"), value("module"), value("release-date"), isDryRun);
    if (name.startsWith(QLatin1String("rollout "))) {
        ReleaseTool::RolloutOptions rollout;
        rollout.strRoot = value("root");
        rollout.strModule = value("module");
        rollout.listKeyFiles = values.value(QStringLiteral("key"));
        rollout.strExpires = value("expires");
        rollout.strReportUrl = value("report-url");
        rollout.listChannels = values.value(QStringLiteral("channel"));
        rollout.strScheduleFile = value("schedule");
        rollout.isDryRun = isDryRun;
        if (name == QLatin1String("rollout halt"))
            return ReleaseTool::rolloutHalt(rollout);
        if (name == QLatin1String("rollout status")) {
            ReleaseTool::RolloutStatusOptions status;
            status.strLogFile = value("log");
            status.isJson = isSet("json");
            status.halt = rollout;
            status.hasAutoHalt = isSet("auto-halt-above");
            bool ok = true;
            if (status.hasAutoHalt) {
                status.dAutoHaltAbove = value("auto-halt-above").toDouble(&ok);
                if (!ok || status.dAutoHaltAbove < 0 || status.dAutoHaltAbove >= 100)
                    return usageError(QStringLiteral("--auto-halt-above takes a percentage from 0 to below 100, got "
                                                     "\"%1\"").arg(value("auto-halt-above")),
                                      command->name);
                if (!isSet("root") || !isSet("key"))
                    return usageError(QStringLiteral("--auto-halt-above signs the halt: it needs --root and --key"),
                                      command->name);
            }
            if (isSet("min-reports")) {
                status.nMinReports = value("min-reports").toInt(&ok);
                if (!ok || status.nMinReports < 1 || !status.hasAutoHalt)
                    return usageError(QStringLiteral("--min-reports takes a whole number of at least 1, with "
                                                     "--auto-halt-above"),
                                      command->name);
            }
            return ReleaseTool::rolloutStatus(status);
        }
        if (isSet("percent") == isSet("schedule"))
            return usageError(QStringLiteral("give --percent or --schedule, one of them"), command->name);
        if (isSet("percent")) {
            // A whole number only: "0.1" or "25%" must not be read as some other share.
            static const QRegularExpression percentPattern(QStringLiteral("^[0-9]{1,3}$"));
            rollout.hasPercent = true;
            rollout.nPercent = value("percent").toInt();
            if (!percentPattern.match(value("percent")).hasMatch() || rollout.nPercent > 100)
                return usageError(QStringLiteral("--percent takes a whole number from 0 to 100, got \"%1\"")
                                      .arg(value("percent")),
                                  command->name);
        }
        return name == QLatin1String("rollout set") ? ReleaseTool::rolloutSet(rollout)
                                                    : ReleaseTool::rolloutAdvance(rollout);
    }
    if (name == QLatin1String("rotate")) {
        bool ok = true;
        const int threshold = isSet("threshold") ? value("threshold").toInt(&ok) : 1;
        if (!ok)
            return usageError(QStringLiteral("--threshold takes a number"), command->name);
        return ReleaseTool::rotate(values.value(QStringLiteral("key")), values.value(QStringLiteral("public")), threshold,
                                   value("out"));
    }

    ReleaseTool::PublishOptions options;
    options.strRoot = value("root");
    options.strOut = value("out");
    options.strPrefix = value("prefix");
    options.strPath = value("path");
    options.strKey = value("key");
    if (isSet("listen"))
        options.strListen = value("listen");
    options.strBaseUrl = value("base-url");
    options.strTlsCert = value("tls-cert");
    options.strTlsKey = value("tls-key");
    options.strS3Endpoint = value("s3");
    options.strBucket = value("bucket");
    options.isDryRun = isDryRun;
    // The two destinations take different options: say so before anything is read.
    if (isSet("s3") || isSet("bucket")) {
        if (!isSet("s3") || !isSet("bucket") || !isSet("base-url"))
            return usageError(QStringLiteral("publish to object storage needs --s3, --bucket and --base-url"),
                              command->name);
        for (const char *other : {"out", "prefix", "path", "key", "listen", "tls-cert", "tls-key"}) {
            if (isSet(other))
                return usageError(QStringLiteral("option --%1 does not apply to a publish with --s3")
                                      .arg(QLatin1String(other)),
                                  command->name);
        }
        return ReleaseTool::publishToS3(options);
    }
    for (const char *needed : {"out", "prefix", "path"}) {
        if (!isSet(needed))
            return usageError(QStringLiteral("publish needs --%1 (or --s3 and --bucket)").arg(QLatin1String(needed)),
                              command->name);
    }
    if (isSet("tls-cert") != isSet("tls-key"))
        return usageError(QStringLiteral("--tls-cert and --tls-key go together"), command->name);
    return ReleaseTool::publish(options);
}
