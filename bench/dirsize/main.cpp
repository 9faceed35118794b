// bench_dirsize [--files N] [--per-dir K] [--dir PATH] [--repeat R]
//
// Builds a tree of N files (default 100000), K per directory (default 1000)
// below PATH (default a temporary directory), then measures it R times
// (default 5) with getDirSize and with "du -sb", alternating, warm cache.
// Prints the median of each and their ratio, and checks that both agree on
// the byte count.

#include "upgrade/files/freespace.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

// The product's log handler drops debug messages; so does the benchmark.
void dropDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int files = 100000;
    int perDir = 1000;
    int repeat = 5;
    QString value;
    if (Bench::argValue(args, QStringLiteral("--files"), value))
        files = qMax(1, value.toInt());
    if (Bench::argValue(args, QStringLiteral("--per-dir"), value))
        perDir = qMax(1, value.toInt());
    if (Bench::argValue(args, QStringLiteral("--repeat"), value))
        repeat = qMax(1, value.toInt());
    QTemporaryDir tmp(Bench::scratchTemplate(args, QStringLiteral("bench_dirsize")));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    qInstallMessageHandler(dropDebug);

    QElapsedTimer timer;
    timer.start();
    const QString root = tmp.filePath(QStringLiteral("tree"));
    const QByteArray content(4096, 'x');
    qint64 expectedBytes = 0;
    for (int i = 0; i < files; ++i) {
        const QString dir = root + QStringLiteral("/d%1/s%2").arg(i / (perDir * 10)).arg(i / perDir);
        if (i % perDir == 0 && !QDir().mkpath(dir)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(dir));
            return 1;
        }
        QFile f(dir + QStringLiteral("/f%1.dat").arg(i));
        const int size = (i * 37) % 4096;
        if (!f.open(QIODevice::WriteOnly) || f.write(content.constData(), size) != size) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
            return 1;
        }
        expectedBytes += size;
    }
    std::printf("tree: %d files, %lld bytes, built in %.1f s\n", files, expectedBytes, timer.elapsed() / 1000.0);

    QVector<double> ours;
    QVector<double> du;
    qint64 ourBytes = 0;
    qint64 duBytes = 0;
    int count = 0;
    for (int round = 0; round < repeat + 1; ++round) {
        count = 0;
        timer.restart();
        ourBytes = getDirSize(root, count);
        const double ourMs = timer.nsecsElapsed() / 1e6;

        QProcess process;
        timer.restart();
        process.start(QStringLiteral("du"), { QStringLiteral("-sb"), root });
        process.waitForFinished(-1);
        const double duMs = timer.nsecsElapsed() / 1e6;
        duBytes = process.readAllStandardOutput().split('\t').value(0).toLongLong();
        if (round == 0)
            continue; // warms the cache
        ours.append(ourMs);
        du.append(duMs);
    }

    // du counts the directories' own sizes too; getDirSize only files.
    std::printf("getDirSize: %lld bytes in %d files; du -sb: %lld bytes (with directories)\n", ourBytes, count, duBytes);
    if (ourBytes != expectedBytes || count != files) {
        std::fprintf(stderr, "getDirSize disagrees with the tree it measured\n");
        return 1;
    }
    const double ourMedian = Bench::median(ours);
    const double duMedian = Bench::median(du);
    std::printf("getDirSize median %.1f ms, du -sb median %.1f ms, ratio %.2f (target at most 1.5)\n", ourMedian,
                duMedian, duMedian > 0 ? ourMedian / duMedian : 0.0);
    return 0;
}
