// bench_apply [--files N] [--total-mib M] [--dir PATH]
//
// Stages a packet of N files (default 20000) holding M MiB (default 1024) in
// PATH/app/Tmp/Packet, over an installation PATH/app that already holds every
// one of those files with other content, so that every file is backed up.
// Then, after a sync each time, it times "cp -a" of the packet tree twice
// (the work of a backup plus a copy) and the apply step itself,
// upgradeTmpDirToDstDir, split into the copy (up to "copyDir success") and
// the rest: the flush to disk and the removal of Tmp, which is timed against
// "rm -rf" of the two copies. The installation is checked byte for byte
// afterwards.

#include "upgrade/transaction/applypacket.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>

namespace {

QElapsedTimer applyClock;
std::atomic<qint64> copyDoneNs{ -1 };

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg) {
        if (message == QLatin1String("copyDir success"))
            copyDoneNs = applyClock.nsecsElapsed();
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

double runTimed(const QString &program, const QStringList &arguments)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
        return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

double syncAll() { return runTimed(QStringLiteral("sync"), {}); }

struct Tree
{
    int files;
    qint64 average;
    QByteArray newData;
    QByteArray oldData;

    QString relativePath(int i) const
    {
        return QStringLiteral("m%1/d%2/f%3.bin").arg(i / 2000, 2, 10, QLatin1Char('0')).arg(i / 200, 3, 10, QLatin1Char('0')).arg(i);
    }
    qint64 size(int i) const { return average / 2 + qint64((quint64(i) * 7919u) % quint64(average)); }
    QByteArray content(int i, bool isNew) const
    {
        const QByteArray &data = isNew ? newData : oldData;
        const qint64 n = size(i);
        const qint64 offset = qint64((quint64(i) * 4099u) % quint64(data.size() - n));
        return QByteArray::fromRawData(data.constData() + offset, int(n));
    }
    bool write(const QString &root, bool isNew) const
    {
        for (int i = 0; i < files; ++i) {
            const QString path = root + QLatin1Char('/') + relativePath(i);
            if (i % 200 == 0)
                QDir().mkpath(QFileInfo(path).absolutePath());
            QFile f(path);
            const QByteArray bytes = content(i, isNew);
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                return false;
            }
        }
        return true;
    }
    bool check(const QString &root, bool isNew) const
    {
        for (int i = 0; i < files; ++i) {
            QFile f(root + QLatin1Char('/') + relativePath(i));
            if (!f.open(QIODevice::ReadOnly) || f.readAll() != content(i, isNew)) {
                std::fprintf(stderr, "%s differs\n", qPrintable(f.fileName()));
                return false;
            }
        }
        return true;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int files = 20000;
    qint64 totalMiB = 1024;
    QString value;
    if (Bench::argValue(args, QStringLiteral("--files"), value))
        files = qMax(1, value.toInt());
    if (Bench::argValue(args, QStringLiteral("--total-mib"), value))
        totalMiB = qMax<qint64>(1, value.toLongLong());
    QTemporaryDir tmp(Bench::scratchTemplate(args, QStringLiteral("bench_apply")));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    qInstallMessageHandler(handler);

    Tree tree;
    tree.files = files;
    tree.average = qMax<qint64>(2, totalMiB * 1024 * 1024 / files);
    const int pool = int(qMax<qint64>(8 * 1024 * 1024, tree.average * 4));
    tree.newData = QByteArray(pool, '\0');
    tree.oldData = QByteArray(pool, '\0');
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(tree.newData.data()), pool / 4);
    QRandomGenerator(2).fillRange(reinterpret_cast<quint32 *>(tree.oldData.data()), pool / 4);
    qint64 bytes = 0;
    for (int i = 0; i < files; ++i)
        bytes += tree.size(i);

    const QString appDir = tmp.filePath(QStringLiteral("app"));
    const QString tmpDir = appDir + QLatin1String("/Tmp");
    const QString packetDir = tmpDir + QLatin1String("/Packet");
    const QString backupDir = tmpDir + QLatin1String("/Backup");
    QElapsedTimer timer;
    timer.start();
    if (!tree.write(packetDir, true) || !tree.write(appDir, false))
        return 1;
    syncAll();
    std::printf("tree: %d files, %.1f MiB, staged and installed in %.1f s\n", files, bytes / 1048576.0,
                timer.elapsed() / 1000.0);

    const double cpA = runTimed(QStringLiteral("cp"), { QStringLiteral("-a"), packetDir, tmp.filePath(QStringLiteral("cpA")) });
    const double cpB = runTimed(QStringLiteral("cp"), { QStringLiteral("-a"), packetDir, tmp.filePath(QStringLiteral("cpB")) });
    const double cpSync = syncAll();
    if (cpA < 0 || cpB < 0)
        return 1;
    // The apply ends by removing Tmp, the packet and the backup: as many
    // files and bytes as the two copies. Their removal is the reference.
    const double rmBoth = runTimed(QStringLiteral("rm"), { QStringLiteral("-rf"), tmp.filePath(QStringLiteral("cpA")),
                                                           tmp.filePath(QStringLiteral("cpB")) });
    syncAll();

    applyClock.start();
    const UpgradeOpError result = upgradeTmpDirToDstDir(appDir, tmpDir, packetDir, backupDir);
    const double applySeconds = applyClock.nsecsElapsed() / 1e9;
    const double copySeconds = copyDoneNs.load() / 1e9;
    if (result != UPGRADE_OP_SUCCESS || QFileInfo::exists(tmpDir) || !tree.check(appDir, true)) {
        std::fprintf(stderr, "the apply failed (result %d)\n", int(result));
        return 1;
    }

    const double cpBoth = cpA + cpB;
    std::printf("cp -a twice: %.2f s (%.2f + %.2f), then sync %.2f s; rm -rf of both copies %.2f s\n", cpBoth, cpA,
                cpB, cpSync, rmBoth);
    std::printf("apply: %.2f s = copy with backup %.2f s + flush to disk and removal of Tmp %.2f s\n", applySeconds,
                copySeconds, applySeconds - copySeconds);
    std::printf("ratio apply / cp -a twice: %.2f (target at most 1.5); copy alone: %.2f; "
                "apply / (cp -a twice + sync + rm -rf of both): %.2f\n",
                applySeconds / cpBoth, copySeconds / cpBoth, applySeconds / (cpBoth + cpSync + rmBoth));
    return 0;
}
