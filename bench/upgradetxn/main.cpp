// bench_upgradetxn [--files N] [--changed C] [--total-mib M] [--runs R] [--dir PATH]
//
// An installation of N files (default 20000) holding M MiB (default 1024),
// with a staged packet that changes C of them (default 2000).
//
// Downtime: from the moment the launcher has exited with 2 (the upgrader is
// started then) to the moment the upgraded launcher starts, measured with the
// real upgrader and a stand-in launcher that notes the time it starts. The
// clean-up after the relaunch is not counted. Reference: "cp -a" of the
// changed files alone into the installation's volume.
//
// Journal cost: the apply of the same packet with the journal and with
// TARVEX_UPGRADE_NO_JOURNAL=1, in this process, alternately, R runs each
// (default 5); the median of each. Only in a build with TVX_FAULT_INJECTION.
//
// Every run starts after a sync, so that no earlier write is paid for.

#include "upgrade/transaction/journal.h"
#include "upgrade/transaction/staging.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString relativeOf(int i)
{
    return QStringLiteral("Solutions/m%1/f%2.bin").arg(i / 500).arg(i);
}

// Changed files are spread over the tree: every (N/C)th one.
bool stagePacket(const QString &app, int files, int changed, qint64 fileBytes)
{
    const int stride = qMax(1, files / qMax(1, changed));
    const QByteArray content(int(fileBytes), 'n');
    for (int i = 0, n = 0; i < files && n < changed; i += stride, ++n) {
        if (!writeFile(app + QLatin1String("/Tmp/Packet/") + relativeOf(i), content))
            return false;
    }
    return markPacketStaged(app + QLatin1String("/Tmp"), {});
}

qint64 nowNs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000000;
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help"))) {
        std::printf("bench_upgradetxn [--files N] [--changed C] [--total-mib M] [--runs R] [--dir PATH]\n"
                    "Downtime of the upgrader's hand-over against cp -a of the changed files, and\n"
                    "the apply with and without its journal.\n");
        return 0;
    }
    QString value;
    const int files = Bench::argValue(args, QStringLiteral("--files"), value) ? value.toInt() : 20000;
    const int changed = Bench::argValue(args, QStringLiteral("--changed"), value) ? value.toInt() : 2000;
    const qint64 mib = Bench::argValue(args, QStringLiteral("--total-mib"), value) ? value.toLongLong() : 1024;
    const int runs = Bench::argValue(args, QStringLiteral("--runs"), value) ? value.toInt() : 5;
    const qint64 fileBytes = mib * 1024 * 1024 / qMax(1, files);

    QTemporaryDir scratch(Bench::scratchTemplate(args, QStringLiteral("bench_upgradetxn")));
    const QString appDir = scratch.path() + QLatin1String("/app");
    std::printf("installation: %d files of %lld bytes, %d changed\n", files, fileBytes, changed);
    const QByteArray old(int(fileBytes), 'o');
    for (int i = 0; i < files; ++i) {
        if (!writeFile(appDir + QLatin1Char('/') + relativeOf(i), old))
            return 1;
    }
    // The stand-in launcher notes when it starts.
    writeFile(appDir + QLatin1String("/Tarvex"),
              "#!/bin/sh\ndate +%s%N > \"$(dirname \"$0\")/started.ns\"\n"
              // What the real launcher reports once its main form has returned.
              "[ -n \"$TARVEX_UPGRADE_HEALTH_FILE\" ] && echo returned > \"$TARVEX_UPGRADE_HEALTH_FILE\"\n");
    QFile(appDir + QLatin1String("/Tarvex")).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir().mkpath(appDir + QLatin1String("/Upgrade"));
    QFile::copy(QStringLiteral(TVX_BIN_DIR "/Upgrade/Upgrade"), appDir + QLatin1String("/Upgrade/Upgrade"));

    // Downtime, reference first.
    QVector<qint64> copyNs;
    QVector<qint64> downNs;
    for (int run = 0; run < runs; ++run) {
        if (!stagePacket(appDir, files, changed, fileBytes))
            return 1;
        const QString copyDir = scratch.path() + QLatin1String("/copy");
        QDir(copyDir).removeRecursively();
        ::sync();
        QElapsedTimer timer;
        timer.start();
        QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), appDir + QLatin1String("/Tmp/Packet"), copyDir});
        copyNs.append(timer.nsecsElapsed());

        QFile::remove(appDir + QLatin1String("/started.ns"));
        ::sync();
        QProcess upgrader;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARVEX_UPGRADE_HEALTH_SECONDS"), QStringLiteral("0"));
        upgrader.setProcessEnvironment(environment);
        upgrader.setWorkingDirectory(appDir);
        const qint64 exitedAt = nowNs();
        upgrader.start(appDir + QLatin1String("/Upgrade/Upgrade"),
                       {appDir + QLatin1String("/Tmp"), appDir + QLatin1String("/Tarvex")});
        upgrader.waitForFinished(600000);
        QFile started(appDir + QLatin1String("/started.ns"));
        if (upgrader.exitCode() != 0 || !started.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "the upgrader failed (%d)\n", upgrader.exitCode());
            return 1;
        }
        downNs.append(started.readAll().trimmed().toLongLong() - exitedAt);
    }
    const qint64 copy = Bench::median(copyNs);
    const qint64 down = Bench::median(downNs);
    std::printf("downtime: upgrader hand-over to relaunch %.1f ms, cp -a of the changed files %.1f ms: %.2fx\n",
                ms(down), ms(copy), double(down) / double(qMax<qint64>(1, copy)));

    // Journal cost, in this process.
#ifndef TVX_FAULT_INJECTION
    std::printf("journal: not measured: built without TVX_FAULT_INJECTION, which TARVEX_UPGRADE_NO_JOURNAL needs\n");
    return 0;
#else
    QVector<qint64> withNs;
    QVector<qint64> withoutNs;
    for (int run = 0; run < 2 * runs; ++run) {
        const bool isJournaled = run % 2 == 0;
        if (!stagePacket(appDir, files, changed, fileBytes))
            return 1;
        ::sync();
        qputenv("TARVEX_UPGRADE_NO_JOURNAL", isJournaled ? "0" : "1");
        CUpgradeTransaction transaction{CInstallLayout(appDir)};
        QElapsedTimer timer;
        timer.start();
        if (transaction.apply() != UPGRADE_OP_SUCCESS)
            return 1;
        (isJournaled ? withNs : withoutNs).append(timer.nsecsElapsed());
        transaction.finish();
    }
    const qint64 with = Bench::median(withNs);
    const qint64 without = Bench::median(withoutNs);
    std::printf("journal: apply with journal %.1f ms, without %.1f ms: %.2fx\n", ms(with), ms(without),
                double(with) / double(qMax<qint64>(1, without)));
    return 0;
#endif
}
