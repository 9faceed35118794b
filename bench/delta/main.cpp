// bench_delta [--repeat R] [--dir PATH]
//
// Two real changes of our own build, each between two trees laid out like
// the demo module's packet (the main form plugin, the upgrader, the module's
// icon and texts):
// 1. the plugin library rebuilt with a one-line source difference (the build
//    makes both variants under one mapped source path);
// 2. the icon edited in a few bytes.
// For each, "tarvex-release pack --base-tree" makes the full and the delta
// packet. Printed: the delta's size against the full packet, and the patch
// of the changed files against bsdiff and "xdelta3 -e -9 -s" of the same
// files (when on PATH); then the median of R runs (default 5) of the client's
// work, 7z extraction of the delta and Delta::rebuild, against plain 7z
// extraction of the full packet. Every rebuild is checked byte for byte.

#include "upgrade/delta/delta.h"
#include "upgrade/files/archive.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const char usageText[] =
    "Usage: bench_delta [--repeat R] [--dir PATH]\n"
    "Delta packets of a rebuilt plugin library and of an edited icon against\n"
    "the full packet, bsdiff and xdelta3; rebuild time against plain 7z\n"
    "extraction of the full packet (median of R runs, default 5). Scratch\n"
    "files go below PATH (default: the system's temporary directory).\n";

const QString pluginName = QStringLiteral("Solutions/libMainFormPlugin.so");
const QString iconName = QStringLiteral("Solutions/Demo/Demo.ico");

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QMap<QString, QByteArray> hashTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(QDir(root).relativeFilePath(path),
                    QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha256));
    }
    return tree;
}

bool layOut(const QString &root, const QByteArray &plugin, const QByteArray &icon)
{
    const QByteArray upgrader = readAll(QStringLiteral(TVX_BIN_DIR "/Upgrade/Upgrade"));
    return !plugin.isEmpty() && !upgrader.isEmpty() && writeAll(root + '/' + pluginName, plugin)
        && writeAll(root + '/' + iconName, icon) && writeAll(root + QLatin1String("/Upgrade/Upgrade"), upgrader)
        && writeAll(root + QLatin1String("/Solutions/Demo/module.txt"), "Demo module\n")
        && writeAll(root + QLatin1String("/Solutions/Demo/readme.txt"),
                    "The demo module of the Tarvex upgrade loop.\n");
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
    return false;
}

// Bytes of what a differ makes from each changed file, or -1 when it is not on PATH.
qint64 baselineBytes(const QString &tool, const QStringList &changed, const QString &oldTree, const QString &newTree,
                     const QString &scratch)
{
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        return -1;
    qint64 total = 0;
    for (const QString &file : changed) {
        const QString out = scratch + QLatin1Char('/') + tool + QLatin1String(".patch");
        QFile::remove(out);
        const QString from = oldTree + QLatin1Char('/') + file, to = newTree + QLatin1Char('/') + file;
        const QStringList arguments = tool == QLatin1String("bsdiff")
            ? QStringList{from, to, out}
            : QStringList{QStringLiteral("-e"), QStringLiteral("-9"), QStringLiteral("-f"), QStringLiteral("-s"), from,
                          to, out};
        if (!run(program, arguments))
            return -1;
        total += QFileInfo(out).size();
    }
    return total;
}

QString bytesText(qint64 bytes, qint64 full)
{
    if (bytes < 0)
        return QStringLiteral("not found");
    return QStringLiteral("%1 bytes (%2% of the full packet)").arg(bytes, 9).arg(100.0 * bytes / full, 0, 'f', 3);
}

bool benchCase(const QString &title, const QString &work, const QByteArray &oldPlugin, const QByteArray &newPlugin,
               const QByteArray &oldIcon, const QByteArray &newIcon, int repeat)
{
    const QString oldTree = work + QLatin1String("/old"), newTree = work + QLatin1String("/new");
    const QString site = work + QLatin1String("/site");
    if (!layOut(oldTree, oldPlugin, oldIcon) || !layOut(newTree, newPlugin, newIcon)) {
        std::fprintf(stderr, "cannot lay out the trees in %s\n", qPrintable(work));
        return false;
    }
    if (!run(QStringLiteral(TVX_PUBLISHER_BIN_DIR "/tarvex-release"),
             {QStringLiteral("pack"), QStringLiteral("--root"), site, QStringLiteral("--tree"), newTree,
              QStringLiteral("--module"), QStringLiteral("Demo"), QStringLiteral("--version"), QStringLiteral("2.0"),
              QStringLiteral("--release-date"), QStringLiteral("202406010900"), QStringLiteral("--base-tree"), oldTree,
              QStringLiteral("--base-version"), QStringLiteral("1.0")}))
        return false;
    const QString fullPacket = site + QLatin1String("/packets/Demo-2.0.7z");
    const QString deltaPacket = site + QLatin1String("/packets/Demo-1.0-2.0.delta.7z");
    const qint64 fullBytes = QFileInfo(fullPacket).size();

    const QMap<QString, QByteArray> oldHashes = hashTree(oldTree), newHashes = hashTree(newTree);
    QStringList changed;
    for (auto it = newHashes.cbegin(); it != newHashes.cend(); ++it) {
        if (oldHashes.value(it.key()) != it.value())
            changed << it.key();
    }

    // Timed rounds: what the client does with each packet.
    QVector<qint64> fullNs, unpackNs, rebuildNs;
    qint64 dataBytes = 0;
    for (int round = 0; round < repeat; ++round) {
        const QString roundDir = work + QStringLiteral("/round%1").arg(round);
        QElapsedTimer timer;
        timer.start();
        if (!do7z(QStringLiteral(TVX_SYSTEM_7Z), fullPacket, roundDir + QLatin1String("/full")))
            return false;
        fullNs << timer.nsecsElapsed();

        timer.restart();
        const QString unpacked = roundDir + QLatin1String("/delta");
        if (!do7z(QStringLiteral(TVX_SYSTEM_7Z), deltaPacket, unpacked))
            return false;
        unpackNs << timer.nsecsElapsed();
        timer.restart();
        Delta::Index index;
        QString error;
        if (!Delta::parseIndex(readAll(unpacked + QLatin1String("/delta.json")), index, error)
            || !Delta::rebuild(index, oldTree, unpacked, roundDir + QLatin1String("/out"), error)) {
            std::fprintf(stderr, "rebuild failed: %s\n", qPrintable(error));
            return false;
        }
        rebuildNs << timer.nsecsElapsed();
        if (hashTree(roundDir + QLatin1String("/out")) != newHashes) {
            std::fprintf(stderr, "the rebuilt tree differs from the new one\n");
            return false;
        }
        dataBytes = 0;
        for (const Delta::FileEntry &entry : qAsConst(index.vecFiles))
            dataBytes += entry.action == Delta::FileEntry::Keep ? 0 : QFileInfo(unpacked + '/' + entry.strData).size();
        QDir(roundDir).removeRecursively();
    }

    const auto ms = [](qint64 ns) { return QString::number(double(ns) / 1e6, 'f', 1); };
    std::printf("%s: %d of %d files changed (%s)\n", qPrintable(title), int(changed.size()), int(newHashes.size()),
                qPrintable(changed.join(QLatin1String(", "))));
    std::printf("  full packet        %9lld bytes\n", fullBytes);
    std::printf("  delta packet       %s\n", qPrintable(bytesText(QFileInfo(deltaPacket).size(), fullBytes)));
    std::printf("  its zstd data      %s\n", qPrintable(bytesText(dataBytes, fullBytes)));
    std::printf("  bsdiff             %s\n",
                qPrintable(bytesText(baselineBytes(QStringLiteral("bsdiff"), changed, oldTree, newTree, work), fullBytes)));
    std::printf("  xdelta3 -e -9 -s   %s\n",
                qPrintable(bytesText(baselineBytes(QStringLiteral("xdelta3"), changed, oldTree, newTree, work), fullBytes)));
    const qint64 unpack = Bench::median(unpackNs), rebuild = Bench::median(rebuildNs);
    std::printf("  delta: 7z x %s ms + rebuild %s ms = %s ms; full packet: 7z x %s ms (median of %d)\n",
                qPrintable(ms(unpack)), qPrintable(ms(rebuild)), qPrintable(ms(unpack + rebuild)),
                qPrintable(ms(Bench::median(fullNs))), repeat);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.contains(QLatin1String("--help"))) {
        std::fputs(usageText, stdout);
        return 0;
    }
    qInstallMessageHandler(quiet);
    QString value;
    const int repeat = Bench::argValue(args, QStringLiteral("--repeat"), value) ? qMax(1, value.toInt()) : 5;
    QTemporaryDir scratch(Bench::scratchTemplate(args, QStringLiteral("bench_delta")));
    if (!scratch.isValid()) {
        std::fprintf(stderr, "cannot create a scratch directory\n");
        return 1;
    }
    const QByteArray pluginA = readAll(QStringLiteral(TVX_DELTA_PLUGIN_A));
    const QByteArray pluginB = readAll(QStringLiteral(TVX_DELTA_PLUGIN_B));
    const QByteArray icon = readAll(QStringLiteral(TVX_DELTA_ICON));
    if (pluginA.isEmpty() || pluginB.isEmpty() || icon.size() < 64) {
        std::fprintf(stderr, "the plugin variants or the icon are missing: build the bench_delta target\n");
        return 1;
    }
    // A few pixels repainted.
    QByteArray editedIcon = icon;
    for (int i = 0; i < 6; ++i)
        editedIcon[icon.size() / 2 + i] = char(editedIcon.at(icon.size() / 2 + i) ^ 0x3c);

    std::printf("plugin builds: %d and %d bytes, %s\n", int(pluginA.size()), int(pluginB.size()),
                pluginA == pluginB ? "identical (the edited line did not reach the binary)" : "different");
    const bool ok = benchCase(QStringLiteral("library rebuilt"), scratch.filePath(QStringLiteral("library")), pluginA,
                              pluginB, icon, icon, repeat)
        && benchCase(QStringLiteral("icon edited"), scratch.filePath(QStringLiteral("icon")), pluginA, pluginA, icon,
                     editedIcon, repeat);
    return ok ? 0 : 1;
}
