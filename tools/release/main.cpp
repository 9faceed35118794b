// tarvex-release: the publisher's tool. Makes signing keys, packs module
// trees into packets, signs the release document of a site, verifies it, and
// publishes the site for an ordinary web server.

#include "releasetool.h"
#include "sitepublisher.h"

#include <QCoreApplication>
#include <QMap>
#include <QSet>

#include <cstdio>

namespace {

const char usageText[] =
    "Usage: tarvex-release COMMAND [OPTIONS]\n"
    "\n"
    "  keygen --out FILE\n"
    "      Writes a new Ed25519 private key to FILE (PEM, mode 0600) and its\n"
    "      public key to FILE.pub.\n"
    "  pack --root SITE --tree DIR --module ID --version V --release-date YYYYMMDDhhmm\n"
    "       [--desc TEXT] [--icon-url URL] [--base-tree OLDDIR --base-version OLDV]\n"
    "      Packs DIR (laid out like the application directory) with 7z into\n"
    "      SITE/packets/ID-V.7z and adds or replaces the module's entry, with the\n"
    "      packet's size and SHA-256, in SITE/manifest.json.\n"
    "      With --base-tree, also packs SITE/packets/ID-OLDV-V.delta.7z, which\n"
    "      turns OLDDIR (the module as installed at OLDV) into DIR: unchanged\n"
    "      files are left out, changed ones become zstd patches, new ones go in\n"
    "      whole. The entry lists it under \"Deltas\"; packing again with another\n"
    "      base adds one more, while the full packet stays the same.\n"
    "  sign --root SITE --key FILE [--key FILE ...] [--expires YYYY-MM-DDThh:mm:ssZ]\n"
    "      Writes SITE/release.json: the signed release document of every module\n"
    "      of the manifest, with a serial one above the previous one. The private\n"
    "      keys must be readable by their owner only. Default expiry: 30 days.\n"
    "  verify --root SITE --public FILE.pub [--public FILE.pub ...]\n"
    "      Checks the signature, the expiry, the manifest against the document,\n"
    "      and the size and SHA-256 of every packet, delta packets included.\n"
    "  rotate --key FILE [--key FILE ...] --public FILE.pub [--public FILE.pub ...]\n"
    "         [--threshold N] --out FILE\n"
    "      Writes a key rotation: the list of the --public keys (N of them must\n"
    "      sign each release, default 1), signed by the --key keys that the\n"
    "      installations trust now. Put it into a module's tree as\n"
    "      Conf/System/TrustedKeys.json and pack it: installations accept it only\n"
    "      with valid signatures of their current keys.\n"
    "  publish --root SITE --out DIR --prefix P --path P [--key TOKENKEY]\n"
    "          [--listen HOST:PORT]\n"
    "      Writes a static site for nginx into DIR: site/answer.json (the version\n"
    "      answer, with the signed document), site/packets/, server.conf (a server\n"
    "      block to include) and nginx.conf, which \"nginx -p DIR -c nginx.conf\"\n"
    "      runs as it stands. With --key, nginx checks the token itself (njs).\n"
    "      Packet URLs are http://HOST:PORT/packets/...; default 127.0.0.1:8080.\n"
    "  --help\n"
    "      Shows this text.\n"
    "\n"
    "Exit status: 0 success, 1 failure (the reason on stderr), 64 wrong command line.\n";

constexpr int usageExitCode = 64;

struct Command
{
    const char *name;
    QStringList required;
    QStringList optional;
    QStringList repeatable;
};

int usageError(const QString &text)
{
    std::fprintf(stderr, "tarvex-release: %s\nTry \"tarvex-release --help\".\n", qPrintable(text));
    return usageExitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        std::fputs(usageText, stdout);
        return 0;
    }
    if (arguments.isEmpty())
        return usageError(QStringLiteral("no command given"));

    const Command commands[] = {
        {"keygen", {QStringLiteral("out")}, {}, {}},
        {"pack",
         {QStringLiteral("root"), QStringLiteral("tree"), QStringLiteral("module"), QStringLiteral("version"),
          QStringLiteral("release-date")},
         {QStringLiteral("desc"), QStringLiteral("icon-url"), QStringLiteral("base-tree"), QStringLiteral("base-version")},
         {}},
        {"sign", {QStringLiteral("root"), QStringLiteral("key")}, {QStringLiteral("expires")}, {QStringLiteral("key")}},
        {"verify", {QStringLiteral("root"), QStringLiteral("public")}, {}, {QStringLiteral("public")}},
        {"rotate", {QStringLiteral("key"), QStringLiteral("public"), QStringLiteral("out")},
         {QStringLiteral("threshold")}, {QStringLiteral("key"), QStringLiteral("public")}},
        {"publish",
         {QStringLiteral("root"), QStringLiteral("out"), QStringLiteral("prefix"), QStringLiteral("path")},
         {QStringLiteral("key"), QStringLiteral("listen")},
         {}},
    };
    const Command *command = nullptr;
    for (const Command &candidate : commands) {
        if (arguments.first() == QLatin1String(candidate.name))
            command = &candidate;
    }
    if (!command)
        return usageError(QStringLiteral("unknown command \"%1\"").arg(arguments.first()));

    QMap<QString, QStringList> values;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString argument = arguments.at(i);
        if (!argument.startsWith(QLatin1String("--")))
            return usageError(QStringLiteral("unexpected argument \"%1\"").arg(argument));
        const QString name = argument.mid(2);
        if (!command->required.contains(name) && !command->optional.contains(name))
            return usageError(QStringLiteral("option --%1 does not apply to %2").arg(name, QLatin1String(command->name)));
        if (values.contains(name) && !command->repeatable.contains(name))
            return usageError(QStringLiteral("option --%1 given twice").arg(name));
        if (i + 1 >= arguments.size())
            return usageError(QStringLiteral("option --%1 needs a value").arg(name));
        const QString value = arguments.at(++i);
        // "--prefix ''" is a valid empty prefix; every other value names something.
        if (value.isEmpty() && name != QLatin1String("prefix") && name != QLatin1String("desc"))
            return usageError(QStringLiteral("option --%1 needs a non-empty value").arg(name));
        values[name].append(value);
    }
    for (const QString &name : command->required) {
        if (!values.contains(name))
            return usageError(QStringLiteral("%1 needs --%2").arg(QLatin1String(command->name), name));
    }
    const auto value = [&values](const char *name) { return values.value(QLatin1String(name)).value(0); };

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
        options.strBaseTree = value("base-tree");
        options.strBaseVersion = value("base-version");
        if (options.strBaseTree.isEmpty() != options.strBaseVersion.isEmpty())
            return usageError(QStringLiteral("--base-tree and --base-version go together"));
        return ReleaseTool::pack(options);
    }
    if (name == QLatin1String("sign"))
        return ReleaseTool::sign(value("root"), values.value(QStringLiteral("key")), value("expires"));
    if (name == QLatin1String("verify"))
        return ReleaseTool::verify(value("root"), values.value(QStringLiteral("public")));
    if (name == QLatin1String("rotate")) {
        bool ok = true;
        const int threshold = values.contains(QStringLiteral("threshold")) ? value("threshold").toInt(&ok) : 1;
        if (!ok)
            return usageError(QStringLiteral("--threshold takes a number"));
        return ReleaseTool::rotate(values.value(QStringLiteral("key")), values.value(QStringLiteral("public")), threshold,
                                   value("out"));
    }
    ReleaseTool::PublishOptions options;
    options.strRoot = value("root");
    options.strOut = value("out");
    options.strPrefix = value("prefix");
    options.strPath = value("path");
    options.strKey = value("key");
    if (values.contains(QStringLiteral("listen")))
        options.strListen = value("listen");
    return ReleaseTool::publish(options);
}
